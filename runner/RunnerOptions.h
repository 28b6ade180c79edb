// RunnerOptions.h - quarvex-runner's command line.
#pragma once

#include <string>

namespace quarvex {

struct SRunnerOptions {
    std::string strServer;        // --server: the task store, "host[:port]" or "https://host[:port]"
    std::string strStoreDb;       // --store-db: a private store in this process, on this SQLite file
    std::string strUser;          // --user
    std::string strPasswordFile;  // --password-file; else $QUARVEX_PASSWORD
    std::string strDataDir;       // --data-dir: where the tasks keep their records
    std::string strRecordsDb;     // --records-db: a PostgreSQL database for the records instead
    std::string strConfig;        // --config: Config.dat; default: the program directory's
    std::string strListenHost = "127.0.0.1";
    int nListenPort = 0;          // Filled with DEFAULT_STATUS_PORT unless --listen says otherwise.
    bool bNoStatus = false;       // --listen none
    int nRelistSeconds = 30;      // --relist
    int nLeaseSeconds = 60;       // --lease
    bool bNoLease = false;        // --no-lease
};

// Reads argv[1..argc-1]; false with strError (the usage is the caller's).
bool ParseRunnerOptions(int argc, char** argv, SRunnerOptions& options, std::string& strError);
// The usage text.
const char* RunnerUsage();
// The password: the first line of --password-file, else $QUARVEX_PASSWORD.
bool ReadRunnerPassword(const SRunnerOptions& options, std::string& strPassword, std::string& strError);

} // namespace quarvex
