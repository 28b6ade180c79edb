// RunnerLog.cpp - CRunnerLog.
#include "RunnerLog.h"

#include "RunnerText.h"
#include "platform/LocalTime.h"

namespace quarvex {

void CRunnerLog::Write(std::string_view strWho, std::string_view strText)
{
    Emit(FormatLocalTimeNow("%Y-%m-%d %H:%M:%S"), strWho, strText);
}

void CRunnerLog::WriteTaskLine(std::string_view strTask, std::string_view strLine)
{
    // The task writes "[time]:text\r\n"; the time is kept as it stands.
    if (strLine.size() > 2 && strLine[0] == '[') {
        const std::size_t nEnd = strLine.find("]:");
        if (nEnd != std::string_view::npos && nEnd < 40) {
            Emit(strLine.substr(1, nEnd - 1), strTask, strLine.substr(nEnd + 2));
            return;
        }
    }
    Write(strTask, strLine);
}

void CRunnerLog::Emit(std::string_view strTime, std::string_view strWho, std::string_view strText)
{
    const std::string strBody = OneLine(strText);
    if (strBody.empty())
        return;
    std::string strLine;
    strLine.reserve(strTime.size() + strWho.size() + strBody.size() + 8);
    strLine += '[';
    strLine += OneLine(strTime);
    strLine += "] ";
    strLine += strWho.empty() ? std::string("(unnamed task)") : OneLine(strWho);
    strLine += ": ";
    strLine += strBody;
    strLine += '\n';
    std::lock_guard lock(m_mutex);
    std::fwrite(strLine.data(), 1, strLine.size(), m_pOut);
    std::fflush(m_pOut);
}

} // namespace quarvex
