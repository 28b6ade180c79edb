// RunnerOptions.cpp - the command line of quarvex-runner.
#include "RunnerOptions.h"

#include "StatusServer.h"
#include "server/StoreServer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quarvex {

namespace {

bool ParseSeconds(const char* pszText, int nMin, int nMax, int& nValue)
{
    char* pszEnd = nullptr;
    errno = 0;
    const long n = std::strtol(pszText, &pszEnd, 10);
    if (errno != 0 || pszEnd == pszText || *pszEnd != '\0' || n < nMin || n > nMax)
        return false;
    nValue = static_cast<int>(n);
    return true;
}

} // namespace

const char* RunnerUsage()
{
    return "usage: quarvex-runner (--server URL | --store-db FILE) --user NAME [options]\n"
           "  runs the account's tasks without a window until SIGTERM or SIGINT\n"
           "  --server URL          the task store: host[:port] or https://host[:port]\n"
           "  --store-db FILE       a private task store inside the runner, on this SQLite file\n"
           "                        (the account is created when the file has none of that name)\n"
           "  --user NAME           the account; its password comes from $QUARVEX_PASSWORD\n"
           "  --password-file FILE  or from the first line of FILE\n"
           "  --data-dir DIR        where the tasks keep their records (created when missing)\n"
           "  --records-db URI      keep them in PostgreSQL instead (postgresql://...), where runners\n"
           "                        that hand tasks over to each other find them\n"
           "  --config FILE         Config.dat to read (default: the program directory's)\n"
           "  --listen ADDR:PORT    status over HTTP (default 127.0.0.1:9471; 'none': off)\n"
           "  --relist SECONDS      how often the account is listed again (default 30)\n"
           "  --lease SECONDS       task lease period when runners share an account (default 60)\n"
           "  --no-lease            take no leases: this runner alone runs the account's tasks\n"
           "  SIGHUP lists the account at once; a second SIGTERM or SIGINT exits at once\n";
}

bool ParseRunnerOptions(int argc, char** argv, SRunnerOptions& options, std::string& strError)
{
    options.nListenPort = DEFAULT_STATUS_PORT;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        const bool bHasValue = i + 1 < argc;
        auto Value = [&]() -> const char* { return argv[++i]; };
        if (strArg == "--no-lease") {
            options.bNoLease = true;
            continue;
        }
        if (strArg == "--help" || strArg == "-h") {
            strError.clear();
            return false;
        }
        if (!bHasValue) {
            strError = "unknown option or missing value: " + strArg;
            return false;
        }
        if (strArg == "--server") {
            options.strServer = Value();
            // The store client takes host[:port]; an http:// in front is the same.
            if (options.strServer.rfind("http://", 0) == 0)
                options.strServer.erase(0, 7);
            while (!options.strServer.empty() && options.strServer.back() == '/')
                options.strServer.pop_back();
        } else if (strArg == "--store-db") {
            options.strStoreDb = Value();
        } else if (strArg == "--user") {
            options.strUser = Value();
        } else if (strArg == "--password-file") {
            options.strPasswordFile = Value();
        } else if (strArg == "--data-dir") {
            options.strDataDir = Value();
        } else if (strArg == "--records-db") {
            options.strRecordsDb = Value();
            if (!IsPostgresUri(options.strRecordsDb)) {
                strError = "--records-db wants a postgresql:// URI, not " + options.strRecordsDb;
                return false;
            }
        } else if (strArg == "--config") {
            options.strConfig = Value();
        } else if (strArg == "--listen") {
            const std::string strListen = Value();
            if (strListen == "none") {
                options.bNoStatus = true;
            } else if (!SplitHostPort(strListen, DEFAULT_STATUS_PORT, options.strListenHost, options.nListenPort)) {
                strError = "--listen wants ADDR:PORT, not " + strListen;
                return false;
            }
        } else if (strArg == "--relist") {
            if (!ParseSeconds(Value(), 1, 86400, options.nRelistSeconds)) {
                strError = "--relist wants seconds from 1 to 86400";
                return false;
            }
        } else if (strArg == "--lease") {
            if (!ParseSeconds(Value(), 3, 86400, options.nLeaseSeconds)) {
                strError = "--lease wants seconds from 3 to 86400";
                return false;
            }
        } else {
            strError = "unknown option: " + strArg;
            return false;
        }
    }
    if (options.strServer.empty() == options.strStoreDb.empty()) {
        strError = "name the task store with exactly one of --server and --store-db";
        return false;
    }
    if (options.strUser.empty()) {
        strError = "--user is missing";
        return false;
    }
    return true;
}

bool ReadRunnerPassword(const SRunnerOptions& options, std::string& strPassword, std::string& strError)
{
    if (!options.strPasswordFile.empty()) {
        std::ifstream file(options.strPasswordFile, std::ios::binary);
        if (!file) {
            strError = "cannot read the password file " + options.strPasswordFile + ": " + std::strerror(errno);
            return false;
        }
        std::getline(file, strPassword);
        if (!strPassword.empty() && strPassword.back() == '\r')
            strPassword.pop_back();
        return true;
    }
    const char* pszPassword = std::getenv("QUARVEX_PASSWORD");
    if (pszPassword == nullptr) {
        strError = "no password: set QUARVEX_PASSWORD or name a --password-file";
        return false;
    }
    strPassword = pszPassword;
    return true;
}

} // namespace quarvex
