// Runner.h - CRunner: the account's tasks without a window. It keeps the
// running set in line with the store: every relist loads what was added or
// changed, starts what should run, and stops what was deleted. The runner's
// own thread calls Relist and the stop calls; the status server's threads
// read GetStatus at any time.
#pragma once

#include "RunnerLog.h"
#include "RunnerTask.h"
#include "store/StoreClient.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quarvex {

struct SRunnerStatus {
    std::vector<STaskStatus> aTasks;  // In the order the store lists them, examples last.
    int nRunning = 0;
    int nLeasesHeld = 0;
    bool bStopping = false;
    std::int64_t nLastRelist = 0;     // Seconds since 1970 of the last relist that reached the store.
    std::int64_t nStarted = 0;        // When the runner started.
};

struct SRunnerSetup {
    std::string strUser;
    std::string strPassword;
    // Example ids that Config.dat chose; loaded after the account's own
    // tasks when the store still offers them (none for the "example" user).
    std::vector<std::string> aChosenExamples;
    IAlarmSink* pAlarms = nullptr;
    CRunnerTask::FnSlip fnSlip;
};

class CRunner {
public:
    CRunner(CStoreClient& store, CRunnerLog& log, SRunnerSetup setup);
    // Stops every task and waits for them.
    ~CRunner();
    CRunner(const CRunner&) = delete;
    CRunner& operator=(const CRunner&) = delete;

    // Logs in; REFUSED and NETWORK as the store client says.
    StoreLogin Login();
    // Lists the account (logging in again once when the session has expired)
    // and brings the tasks in line: new ones are loaded and started, changed
    // ones reloaded and restarted, deleted ones stopped. False, with every
    // task left as it was, when the list could not be had.
    bool Relist();
    // Asks every task to stop, as a stop request does; does not wait.
    void RequestStopAll();
    bool AnyRunning() const;
    // Stops every task and waits for each.
    void StopAll();

    SRunnerStatus GetStatus() const;
    std::size_t GetTaskCount() const;

private:
    struct SEntry {
        std::shared_ptr<CRunnerTask> pTask;
        bool bExample = false;
    };
    std::shared_ptr<CRunnerTask> Find(const std::string& strId) const;
    // Brings one listed task in line with its text.
    std::shared_ptr<CRunnerTask> Apply(const std::string& strId, const std::string& strText);
    void StartIfWanted(CRunnerTask& task, const char* pszWhat);

    CStoreClient& m_store;
    CRunnerLog& m_log;
    const SRunnerSetup m_setup;

    mutable std::mutex m_mutex;  // Guards the entries and the status fields below.
    std::vector<SEntry> m_aEntries;
    bool m_bStopping = false;
    std::int64_t m_nLastRelist = 0;
    const std::int64_t m_nStarted;
};

} // namespace quarvex
