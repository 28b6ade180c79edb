// AlarmPoster.h - sends each raised or cleared alarm as a JSON POST to the
// address Config.dat names (general "alarmurl"), one at a time on a thread
// of its own, each bounded in time, so a slow or dead receiver holds up
// neither the tasks nor the runner's exit.
#pragma once

#include "RunnerLog.h"
#include "RunnerTask.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace quarvex {

inline constexpr char CONFIG_ALARMURL[] = "alarmurl";

// The JSON document of one alarm.
std::string AlarmJson(const STaskAlarm& alarm);

class CAlarmPoster : public IAlarmSink {
public:
    enum { POST_LIMIT_MS = 10000, MAX_QUEUED = 1000 };

    // An empty strUrl posts nothing. The URL must be http:// or https://.
    CAlarmPoster(std::string strUrl, CRunnerLog& log);
    // Ends the thread; a post in progress is cut short.
    ~CAlarmPoster() override;

    // Queues the alarm and returns at once; past MAX_QUEUED the oldest goes.
    void OnAlarm(const STaskAlarm& alarm) override;
    // Waits up to nTimeoutMs for the queue to empty (tests, orderly exit).
    bool WaitIdle(int nTimeoutMs);
    // Posted and failed posts so far.
    int GetPosted() const;
    int GetFailed() const;

private:
    void ThreadMain();

    const std::string m_strUrl;
    CRunnerLog& m_log;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::condition_variable m_cvIdle;
    std::deque<std::string> m_aQueue;  // JSON bodies.
    bool m_bQuit = false;
    bool m_bBusy = false;
    int m_nPosted = 0;
    int m_nFailed = 0;
    std::thread m_hThread;
};

} // namespace quarvex
