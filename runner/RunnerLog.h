// RunnerLog.h - the runner's log on standard error: one line per event,
// each with the time and the name of the task it concerns.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace quarvex {

class CRunnerLog {
public:
    explicit CRunnerLog(std::FILE* pOut = stderr) : m_pOut(pOut) {}

    // "[YYYY-MM-DD HH:MM:SS] WHO: text"; WHO is the task's name, or
    // "quarvex-runner" for the runner's own events. Safe from any thread.
    void Write(std::string_view strWho, std::string_view strText);
    // A task's own log line "[time]:text\r\n", with its time kept.
    void WriteTaskLine(std::string_view strTask, std::string_view strLine);

private:
    void Emit(std::string_view strTime, std::string_view strWho, std::string_view strText);

    std::FILE* m_pOut;
    std::mutex m_mutex;
};

} // namespace quarvex
