// RunnerTask.h - one task of the runner: the CTask, and the observer that
// counts its passes, times them, judges its yield and logs what it says.
// The observer's calls come from the task's notification thread; the status
// is read from the status server's threads, so it is kept under a lock.
#pragma once

#include "Breakage.h"
#include "RunnerLog.h"
#include "engine/Task.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace quarvex {

struct STaskStatus {
    std::string strId;
    std::string strName;
    std::string strState;  // "running", "stopped", "idle" (not started), "invalid"
    int nPeriod = 0;
    std::int64_t nPasses = 0;
    std::int64_t nFailedPasses = 0;
    std::int64_t nSeen = 0;          // records seen, summed over passes
    std::int64_t nNew = 0;           // new records, summed over passes
    std::int64_t nPending = 0;       // deliveries not yet made
    std::int64_t nLastPassEnd = 0;   // seconds since 1970; 0: none yet
    std::int64_t nLastNewRecord = 0; // the end of the last pass with a new record
    int nLastSeen = 0;
    int nLastNew = 0;
    double dLastDuration = 0;        // seconds the last pass took
    double dLastSlip = 0;            // seconds the last pass started late
    bool bBroken = false;
    bool bFailing = false;
};

// A task's alarm was raised or cleared.
struct STaskAlarm {
    std::string strId;
    std::string strName;
    std::string strAlarm;  // "broken" or "failing"
    bool bRaised = false;
    std::int64_t nTime = 0;
    std::string strDetail;
};

class IAlarmSink {
public:
    virtual ~IAlarmSink() = default;
    // From a task's notification thread; must not wait on the network.
    virtual void OnAlarm(const STaskAlarm& alarm) = 0;
};

class CRunnerTask : public ITaskObserver {
public:
    // Called at the start of every pass after the first with how late it
    // began (seconds past the end of the last pass plus the period).
    using FnSlip = std::function<void(double dSlip)>;

    CRunnerTask(std::string strId, CRunnerLog& log, IAlarmSink* pAlarms, FnSlip fnSlip = FnSlip());
    ~CRunnerTask() override;
    CRunnerTask(const CRunnerTask&) = delete;
    CRunnerTask& operator=(const CRunnerTask&) = delete;

    // Loads (or reloads) the definition; the worker must not be running.
    // False when the text is no task definition.
    bool Load(const std::string& strText);
    // autoload set and a positive period: the task starts by itself.
    bool ShouldRun() const;
    bool Start();
    void RequestStop() { m_task.RequestStop(); }
    void StopAndWait();
    bool IsRunning() const { return m_task.IsRunning(); }

    const std::string& GetId() const { return m_strId; }
    const std::string& GetText() const { return m_strText; }
    std::string GetName() const;
    STaskStatus GetStatus() const;
    CTask& GetTask() { return m_task; }

    // ITaskObserver
    void OnCountdownRange(int nMax) override;
    void OnCountdown(int nPos) override;
    void OnLog(const std::string& strLine) override;
    void OnPassNote(EPassNote eNote) override;
    void OnPassEnd(bool bFetched, int nSeen, int nNew) override;
    void OnPendingDeliveries(std::size_t nPending) override;
    void OnStopped() override;

private:
    using Clock = std::chrono::steady_clock;

    void RaiseOrClear(const char* pszAlarm, bool bRaised, const std::string& strDetail, std::int64_t nNow);

    const std::string m_strId;
    CRunnerLog& m_log;
    IAlarmSink* m_pAlarms;
    FnSlip m_fnSlip;
    std::string m_strText;  // The definition text loaded last.

    mutable std::mutex m_mutex;  // Guards everything below, up to m_task.
    STaskStatus m_status;
    CBreakageWatch m_watch;
    int m_nCountdownMax = 0;
    bool m_bNoted = false;
    EPassNote m_eNote = EPassNote::NOT_MODIFIED;
    bool m_bHaveEnd = false;
    Clock::time_point m_tPassStart;
    Clock::time_point m_tPassEnd;

    CTask m_task;  // Last: stopped and its notifications ended before the rest goes.
};

} // namespace quarvex
