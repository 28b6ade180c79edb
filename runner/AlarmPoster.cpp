// AlarmPoster.cpp - CAlarmPoster, with our own HTTP client.
#include "AlarmPoster.h"

#include "RunnerText.h"
#include "http/HttpPostSession.h"
#include "http/Url.h"

#include <chrono>

namespace quarvex {

namespace {

// A POST whose body is JSON: the form POST's request with its content type.
class CJsonPostSession : public CHttpPostSession {
public:
    ~CJsonPostSession() override { Stop(); }

protected:
    void ComposeRequest() override
    {
        CHttpPostSession::ComposeRequest();
        static const std::string s_strForm = "Content-Type: application/x-www-form-urlencoded\r\n";
        const std::size_t nAt = m_strRequest.find(s_strForm);
        if (nAt != std::string::npos)
            m_strRequest.replace(nAt, s_strForm.size(), "Content-Type: application/json\r\n");
    }
};

bool IsWebUrl(const std::string& strUrl)
{
    return strUrl.rfind("http://", 0) == 0 || strUrl.rfind("https://", 0) == 0;
}

} // namespace

std::string AlarmJson(const STaskAlarm& alarm)
{
    std::string strJson = "{\"task\":" + JsonQuote(alarm.strName);
    strJson += ",\"id\":" + JsonQuote(alarm.strId);
    strJson += ",\"alarm\":" + JsonQuote(alarm.strAlarm);
    strJson += ",\"state\":";
    strJson += alarm.bRaised ? "\"raised\"" : "\"cleared\"";
    strJson += ",\"time\":" + JsonQuote(IsoTimeUtc(alarm.nTime));
    strJson += ",\"detail\":" + JsonQuote(alarm.strDetail);
    strJson += "}";
    return strJson;
}

CAlarmPoster::CAlarmPoster(std::string strUrl, CRunnerLog& log) : m_strUrl(std::move(strUrl)), m_log(log)
{
    if (m_strUrl.empty())
        return;
    if (!IsWebUrl(m_strUrl) || m_strUrl.find_first_of("\r\n \t") != std::string::npos) {
        m_log.Write("quarvex-runner", "alarmurl is not an http:// or https:// address; alarms are not posted");
        return;
    }
    m_hThread = std::thread([this] { ThreadMain(); });
}

CAlarmPoster::~CAlarmPoster()
{
    {
        std::lock_guard lock(m_mutex);
        m_bQuit = true;
    }
    m_cvWork.notify_all();
    if (m_hThread.joinable())
        m_hThread.join();
}

void CAlarmPoster::OnAlarm(const STaskAlarm& alarm)
{
    if (!m_hThread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_aQueue.size() >= MAX_QUEUED) {
            m_aQueue.pop_front();
            ++m_nFailed;
        }
        m_aQueue.push_back(AlarmJson(alarm));
    }
    m_cvWork.notify_one();
}

bool CAlarmPoster::WaitIdle(int nTimeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_cvIdle.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                             [this] { return m_aQueue.empty() && !m_bBusy; });
}

int CAlarmPoster::GetPosted() const
{
    std::lock_guard lock(m_mutex);
    return m_nPosted;
}

int CAlarmPoster::GetFailed() const
{
    std::lock_guard lock(m_mutex);
    return m_nFailed;
}

void CAlarmPoster::ThreadMain()
{
    for (;;) {
        std::string strBody;
        {
            std::unique_lock lock(m_mutex);
            m_cvWork.wait(lock, [this] { return m_bQuit || !m_aQueue.empty(); });
            if (m_bQuit)
                break;
            strBody = std::move(m_aQueue.front());
            m_aQueue.pop_front();
            m_bBusy = true;
        }
        CJsonPostSession session;
        session.m_nTimeout = POST_LIMIT_MS;
        session.m_nDeadline = POST_LIMIT_MS;
        session.m_bKeepAlive = false;
        session.Post(m_strUrl.c_str(), "", strBody.c_str());
        // Waits in slices so that the runner's exit is not held for long.
        bool bDone = false;
        while (!bDone) {
            bDone = session.WaitForResponse(200);
            std::lock_guard lock(m_mutex);
            if (!bDone && m_bQuit)
                break;
        }
        if (!bDone)
            session.Stop();
        const bool bOk = bDone && session.m_nError == HTTP_OK;
        if (!bOk)
            m_log.Write("quarvex-runner", "alarm post to " + m_strUrl + " failed: " + session.DescribeError());
        {
            std::lock_guard lock(m_mutex);
            m_bBusy = false;
            if (bOk)
                ++m_nPosted;
            else
                ++m_nFailed;
            if (m_aQueue.empty())
                m_cvIdle.notify_all();
        }
    }
    std::lock_guard lock(m_mutex);
    m_bBusy = false;
    m_cvIdle.notify_all();
}

} // namespace quarvex
