// Runner.h - CRunner: the account's tasks without a window. It keeps the
// running set in line with the store: every relist loads what was added or
// changed (by the version the store keeps per task), starts what should run,
// and stops what was deleted. With leases, it runs only the tasks it holds a
// lease on: it takes free ones, renews its own and stops a task whose lease
// it lost. The runner's own thread calls Relist, LeaseCycle and the stop
// calls; the status server's threads read GetStatus at any time.
#pragma once

#include "RunnerLog.h"
#include "RunnerTask.h"
#include "store/StoreClient.h"

#include <chrono>
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
    // tasks when the store still offers them (none for the "example" user,
    // none with leases: every runner would run them).
    std::vector<std::string> aChosenExamples;
    // Where the tasks keep their records; empty: in memory only.
    std::string strDataDir;
    // Leases: each task runs on the one runner that holds its lease.
    bool bLeases = false;
    int nLeaseSeconds = 60;
    std::string strHolder;  // This runner's name at the store: 1-64 printable bytes, no spaces.
    IAlarmSink* pAlarms = nullptr;
    CRunnerTask::FnSlip fnSlip;
};

class CRunner {
public:
    CRunner(CStoreClient& store, CRunnerLog& log, SRunnerSetup setup);
    // Stops every task and waits for them; leases are given back.
    ~CRunner();
    CRunner(const CRunner&) = delete;
    CRunner& operator=(const CRunner&) = delete;

    // Logs in; REFUSED and NETWORK as the store client says.
    StoreLogin Login();
    // Lists the account (logging in again once when the session has expired)
    // and brings the tasks in line: new ones are loaded and started (with
    // leases: only those this runner holds), changed ones reloaded and
    // restarted, deleted ones stopped. False, with every task left as it
    // was, when the list could not be had.
    bool Relist();
    // With leases: renews the leases held (a task whose lease is lost stops
    // at once), then takes free tasks and starts them. Call every lease
    // period / 3. Without leases it does nothing.
    void LeaseCycle();
    // Asks every task to stop, as a stop request does; does not wait.
    void RequestStopAll();
    bool AnyRunning() const;
    // Stops every task, waits for each, and gives the leases back.
    void StopAll();

    SRunnerStatus GetStatus() const;
    std::size_t GetTaskCount() const;

private:
    using Clock = std::chrono::steady_clock;
    struct SEntry {
        std::shared_ptr<CRunnerTask> pTask;
        bool bExample = false;
        std::int64_t nVersion = -1;  // -1: not known (examples, stores without versions)
        bool bLeased = false;
        StoreLease lease;
    };
    // The account's ids and versions (versions -1 when the store has none).
    bool ListAccount(std::vector<StoreTaskVersion>& aTasks);
    bool FindEntry(const std::string& strId, SEntry& entry) const;
    // Brings one listed task in line with its text; the new or kept task.
    std::shared_ptr<CRunnerTask> Apply(const std::string& strId, const std::string& strText, std::int64_t nFence);
    void StartIfWanted(CRunnerTask& task, const char* pszWhat);
    // Stops the tasks (all at once, then waits for each) and drops them.
    void StopAndDrop(const std::vector<std::string>& aIds, const std::string& strWhy);
    void ReleaseAll();

    CStoreClient& m_store;
    CRunnerLog& m_log;
    const SRunnerSetup m_setup;
    bool m_bNoVersions = false;  // The store does not answer the version list: texts are compared.
    bool m_bLeaseFailed = false;  // The last lease request failed (said once).

    mutable std::mutex m_mutex;  // Guards the entries and the status fields below.
    std::vector<SEntry> m_aEntries;
    std::vector<std::string> m_aListed;  // The account's ids of the last relist, in order.
    bool m_bStopping = false;
    std::int64_t m_nLastRelist = 0;
    const std::int64_t m_nStarted;
    Clock::time_point m_tLastRenewal;
};

// "host:pid", cut to what the store takes.
std::string MakeHolderName();

} // namespace quarvex
