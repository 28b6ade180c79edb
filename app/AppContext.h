// AppContext.h - what the desktop application keeps for its whole run: the
// settings file, the task store client (and the store itself when it runs
// inside this process), the session, and the store's example tasks.
#pragma once

#include "markup/Settings.h"
#include "store/StoreClient.h"

#include <memory>
#include <string>
#include <vector>

namespace quarvex {

class CStoreServer;

// The caption of every message box.
inline constexpr char APP_TITLE[] = "Quarvex";
// A store exchange that takes longer than this fails as a network failure.
constexpr int STORE_CALL_LIMIT_MS = 30000;
// The manual when Config.dat names none.
inline constexpr char DEFAULT_HELP_URL[] = "https://quarvex.example.org/document.asp";
// The embedded store's database, in the program directory.
inline constexpr char EMBEDDED_STORE_FILE[] = "quarvex-store.db";
// A task's lease in the store, in seconds.
constexpr int DEFAULT_LEASE_SECONDS = 60;
// The folder of the tasks' kept records, in the program directory.
inline constexpr char RECORD_DIR_NAME[] = "data/";

class CAppContext {
public:
    // strProgramDir ends with '/'.
    explicit CAppContext(std::string strProgramDir);
    ~CAppContext();
    CAppContext(const CAppContext&) = delete;
    CAppContext& operator=(const CAppContext&) = delete;

    const std::string& GetProgramDir() const { return m_strProgramDir; }
    std::string GetConfigPath() const { return m_strProgramDir + CONFIG_FILE_NAME; }

    // Reads Config.dat (a missing file gives empty settings) and aims the
    // store client at the server it names; without one, starts the store
    // inside this process on 127.0.0.1. False (strError says why) when the
    // embedded store cannot start.
    bool Prepare(std::string& strError);
    // True when the store runs inside this process.
    bool IsEmbedded() const { return m_pEmbedded != nullptr; }
    CStoreServer* GetEmbedded() { return m_pEmbedded.get(); }

    // Step after a successful login: the remembered name and password are
    // set from the flags and Config.dat is written. False when writing failed.
    bool RememberLogin(const std::string& strName, const std::string& strPassword);
    // Lists the store's examples and queues the chosen ones (kept by id).
    void LoadExamples();

    std::string HelpUrl() const;
    // The folder of the tasks' kept records ("data/" in the program
    // directory, ending with '/'); empty when Config.dat turns them off.
    std::string GetRecordDir() const;

    CSettings m_settings;
    CStoreClient m_store;
    std::string m_strUserName;                 // As logged in.
    std::vector<StoreExample> m_aExamples;     // The store's, with their names.
    std::vector<std::string> m_aChosenExamples;  // Example ids to load this run.
    // How long a task's lease in the store lasts unless renewed (renewed
    // every third of it); a runner takes over a task within two of them
    // after this application stops renewing.
    int m_nLeaseSeconds = DEFAULT_LEASE_SECONDS;

private:
    std::string m_strProgramDir;
    std::unique_ptr<CStoreServer> m_pEmbedded;
};

// The example ids of aConfigured, in order, that the store still lists,
// each once; none when the login name is "example" in any letter case.
std::vector<std::string> ChooseExamples(const std::string& strUserName, const std::vector<std::string>& aConfigured,
                                        const std::vector<StoreExample>& aExamples);

} // namespace quarvex
