// PoliteFetch.cpp - robots.txt check, retries and stoppable waits around one
// exchange.
#include "PoliteFetch.h"

#include "http/HostLimiter.h"
#include "http/HttpPostSession.h"
#include "http/RetryPolicy.h"
#include "http/Robots.h"
#include "http/Url.h"
#include "platform/Event.h"

#include <ctime>
#include <strings.h>
#include <cstdio>
#include <thread>

namespace {

thread_local const SFetchPolicy* t_pPolicy = nullptr;

constexpr int STOP_POLL_MS = 100;

void Say(const SFetchPolicy& policy, const std::string& strLine)
{
    if (policy.fnLog)
        policy.fnLog(strLine);
}

bool IsStopped(const SFetchPolicy& policy)
{
    return policy.pStop != nullptr && policy.pStop->IsSet();
}

// robots.txt of the site, fetched through the limiter like any request.
CRobotsCache::SFetched FetchRobots(const std::string& strRobotsUrl, const SFetchPolicy& policy)
{
    CRobotsCache::SFetched fetched;
    CHttpPostSession session;
    session.m_bHostTurns = policy.bHostTurns;
    session.m_pStopEvent = policy.pStop;
    session.m_nDeadline = 30000;
    session.Get(strRobotsUrl.c_str(), "");
    bool bDone = WaitStoppable(session, policy.pStop);
    // A site that moved its file says so with a redirect, followed once.
    if (bDone && session.m_nError == HTTP_OK && session.FollowRedirect())
        bDone = WaitStoppable(session, policy.pStop);
    if (!bDone || IsStopped(policy)) {
        fetched.bStopped = true;
        return fetched;
    }
    if (session.m_nError == HTTP_OK || session.m_nError == HTTP_ERR_STATUS)
        fetched.nStatus = session.m_nStatus;
    fetched.strBody.assign(session.GetBody().substr(0, CRobotsRules::MAX_BYTES));
    return fetched;
}

// False (with the reason logged) when robots.txt forbids strUrl.
EPoliteResult CheckRobots(const std::string& strUrl, const SFetchPolicy& policy)
{
    std::string strRobotsUrl, strTarget, strSite;
    if (!RobotsLocation(strUrl, strRobotsUrl, strTarget, strSite))
        return POLITE_DONE;  // Not a web address: the exchange will say so.
    CRobotsRules rules;
    const bool bKnown = CRobotsCache::Instance().GetRules(
        strUrl, [&](const std::string& strAddress) { return FetchRobots(strAddress, policy); }, rules,
        static_cast<std::int64_t>(std::time(nullptr)));
    if (!bKnown)
        return POLITE_STOPPED;
    if (rules.GetCrawlDelayMs() > 0) {
        std::string strHost, strPath;
        int nPort = 0;
        bool bSecure = false;
        if (ParseUrl(strUrl, strHost, strPath, nPort, &bSecure))
            CHostLimiter::Instance().RaiseHostInterval(strHost, rules.GetCrawlDelayMs());
    }
    if (rules.IsAllowed(strTarget))
        return POLITE_DONE;
    const std::string strRule = rules.FindDecidingRule(strTarget);
    Say(policy, "robots.txt不允许获取" + strUrl + "（" + strRule + "），未获取。");
    return POLITE_FORBIDDEN;
}

} // namespace

const SFetchPolicy* CurrentFetchPolicy()
{
    return t_pPolicy;
}

CFetchPolicyScope::CFetchPolicyScope(const SFetchPolicy* pPolicy) : m_pPrevious(t_pPolicy)
{
    t_pPolicy = pPolicy;
}

CFetchPolicyScope::~CFetchPolicyScope()
{
    t_pPolicy = m_pPrevious;
}

bool WaitStoppable(CHttpSession& session, const CEvent* pStop)
{
    for (;;) {
        if (pStop != nullptr && pStop->IsSet()) {
            session.Stop();
            session.WaitForResponse(-1);
            return false;
        }
        if (pStop == nullptr) {
            session.WaitForResponse(-1);
            return true;
        }
        if (WaitForAny({ pStop, &session.m_hDoneEvent }, STOP_POLL_MS) == 1
            && session.WaitForResponse(STOP_POLL_MS))
            return true;
    }
}

std::string ResponseHeaderValue(const CHttpSession& session, const std::string& strName)
{
    const std::string& strHeader = session.m_strHeader;
    std::size_t nLine = strHeader.find('\n');
    while (nLine != std::string::npos && nLine + 1 < strHeader.size()) {
        const std::size_t nStart = nLine + 1;
        nLine = strHeader.find('\n', nStart);
        const std::size_t nEnd = nLine == std::string::npos ? strHeader.size() : nLine;
        if (nEnd - nStart > strName.size() && strHeader[nStart + strName.size()] == ':'
            && strncasecmp(strHeader.c_str() + nStart, strName.c_str(), strName.size()) == 0) {
            std::string strValue = strHeader.substr(nStart + strName.size() + 1, nEnd - nStart - strName.size() - 1);
            while (!strValue.empty() && (strValue.back() == '\r' || strValue.back() == ' '))
                strValue.pop_back();
            while (!strValue.empty() && strValue.front() == ' ')
                strValue.erase(0, 1);
            return strValue;
        }
    }
    return std::string();
}

EPoliteResult PoliteExchange(CHttpSession& session, const std::string& strUrl, const SFetchPolicy* pPolicy,
                             const std::function<void()>& fnExchange)
{
    if (pPolicy == nullptr) {
        fnExchange();
        return session.m_nError == HTTP_OK ? POLITE_DONE : POLITE_FAILED;
    }
    const SFetchPolicy& policy = *pPolicy;
    session.m_bHostTurns = policy.bHostTurns;
    session.m_pStopEvent = policy.pStop;
    if (policy.bRobots) {
        const EPoliteResult eRobots = CheckRobots(strUrl, policy);
        if (eRobots != POLITE_DONE)
            return IsStopped(policy) ? POLITE_STOPPED : eRobots;
    }
    CRetryPolicy retry(policy.nRetries, policy.nRetryDelayS);
    for (int nRetry = 1;; ++nRetry) {
        fnExchange();
        if (IsStopped(policy))
            return POLITE_STOPPED;
        if (session.m_nError == HTTP_OK)
            return POLITE_DONE;
        if (nRetry > retry.GetRetries() || !IsRetryableFailure(session.m_nError, session.m_nStatus))
            return POLITE_FAILED;
        const std::int64_t nRetryAfter = session.m_nError == HTTP_ERR_STATUS
            ? ParseRetryAfter(ResponseHeaderValue(session, "Retry-After"), std::time(nullptr)) : -1;
        std::int64_t nUntilNext = -1;
        if (policy.bHasNextPass) {
            nUntilNext = std::chrono::duration_cast<std::chrono::milliseconds>(
                             policy.tNextPass - std::chrono::steady_clock::now()).count();
            if (nUntilNext < 0)
                nUntilNext = 0;
        }
        int nWaitMs = 0;
        const std::string strWhy = session.DescribeError();
        if (PlanRetry(retry.DelayMs(nRetry), nRetryAfter, nUntilNext, nWaitMs) == RETRY_NEXT_PASS) {
            Say(policy, "获取" + strUrl + "失败（" + strWhy + "），重试须等到下一次运行之后，留待下一次运行。");
            return POLITE_NEXT_PASS;
        }
        char szSeconds[32];
        std::snprintf(szSeconds, sizeof(szSeconds), "%.1f", nWaitMs / 1000.0);
        Say(policy, "获取" + strUrl + "失败（" + strWhy + "），" + szSeconds + "秒后第" + std::to_string(nRetry)
                        + "次重试。");
        if (policy.pStop != nullptr ? policy.pStop->Wait(nWaitMs)
                                    : (std::this_thread::sleep_for(std::chrono::milliseconds(nWaitMs)), false))
            return POLITE_STOPPED;
    }
}
