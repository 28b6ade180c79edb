// RetryPolicy.cpp - retry decisions and Retry-After.
#include "RetryPolicy.h"

#include "http/HttpSession.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

namespace {

constexpr std::int64_t YEAR_S = 366LL * 86400;

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", and the two obsolete forms
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994".
bool ParseHttpDate(const std::string& str, std::int64_t& nTime)
{
    static const char* const s_aMonths[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    char szMonth[4] = {};
    int nDay = 0, nYear = 0, h = 0, mi = 0, s = 0;
    int nUsed = 0;
    const char* psz = str.c_str();
    const char* pComma = std::strchr(psz, ',');
    bool bOk = false;
    if (pComma != nullptr) {
        if (std::sscanf(pComma + 1, " %d %3s %d %d:%d:%d GMT%n", &nDay, szMonth, &nYear, &h, &mi, &s, &nUsed) == 6)
            bOk = true;
        else if (std::sscanf(pComma + 1, " %d-%3s-%d %d:%d:%d GMT%n", &nDay, szMonth, &nYear, &h, &mi, &s, &nUsed) == 6) {
            nYear += nYear < 70 ? 2000 : (nYear < 100 ? 1900 : 0);
            bOk = true;
        }
    } else if (std::sscanf(psz, "%*3s %3s %d %d:%d:%d %d%n", szMonth, &nDay, &h, &mi, &s, &nYear, &nUsed) == 6) {
        bOk = true;
    }
    if (!bOk)
        return false;
    int nMonth = -1;
    for (int i = 0; i < 12; ++i) {
        if (strcasecmp(szMonth, s_aMonths[i]) == 0)
            nMonth = i + 1;
    }
    if (nMonth < 0 || nDay < 1 || nDay > 31 || nYear < 1970 || nYear > 9999 || h < 0 || h > 23 || mi < 0
        || mi > 59 || s < 0 || s > 60)
        return false;
    nTime = DaysFromCivil(nYear, static_cast<unsigned>(nMonth), static_cast<unsigned>(nDay)) * 86400
        + h * 3600 + mi * 60 + s;
    return true;
}

} // namespace

bool IsRetryableFailure(int nError, int nStatus)
{
    switch (nError) {
    case HTTP_ERR_HOST_NOT_FOUND:
    case HTTP_ERR_SOCKET:
    case HTTP_ERR_CONNECT:
    case HTTP_ERR_TIMEOUT:
        return true;
    case HTTP_ERR_STATUS:
        return nStatus == 429 || (nStatus >= 500 && nStatus <= 599);
    default:
        return false;
    }
}

std::int64_t ParseRetryAfter(std::string_view strValue, std::int64_t nNow)
{
    while (!strValue.empty() && (strValue.front() == ' ' || strValue.front() == '\t'))
        strValue.remove_prefix(1);
    while (!strValue.empty() && (strValue.back() == ' ' || strValue.back() == '\t' || strValue.back() == '\r'))
        strValue.remove_suffix(1);
    if (strValue.empty() || strValue.size() > 64)
        return -1;
    if (std::all_of(strValue.begin(), strValue.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::int64_t n = 0;
        for (char c : strValue) {
            n = n * 10 + (c - '0');
            if (n > YEAR_S)
                return YEAR_S;
        }
        return n;
    }
    std::int64_t nTime = 0;
    if (!ParseHttpDate(std::string(strValue), nTime))
        return -1;
    return std::clamp<std::int64_t>(nTime - nNow, 0, YEAR_S);
}

CRetryPolicy::CRetryPolicy(int nRetries, int nDelayS, std::uint32_t nSeed)
    : m_nRetries(std::clamp(nRetries, 0, static_cast<int>(MAX_RETRIES))),
      m_nDelayS(std::clamp(nDelayS <= 0 ? 1 : nDelayS, 1, static_cast<int>(MAX_DELAY_S))),
      m_random(nSeed)
{
}

int CRetryPolicy::DelayMs(int nRetry)
{
    std::int64_t nMs = static_cast<std::int64_t>(m_nDelayS) * 1000;
    for (int i = 1; i < nRetry && nMs < MAX_DELAY_S * 1000LL; ++i)
        nMs *= 2;
    nMs = std::min<std::int64_t>(nMs, MAX_DELAY_S * 1000LL);
    std::uniform_int_distribution<std::int64_t> jitter(-nMs / 4, nMs / 4);
    return static_cast<int>(std::max<std::int64_t>(nMs + jitter(m_random), 1));
}

ERetryPlan PlanRetry(int nPolicyDelayMs, std::int64_t nRetryAfterS, std::int64_t nUntilNextPassMs,
                     int& nWaitMs)
{
    std::int64_t nWait = nPolicyDelayMs;
    if (nRetryAfterS >= 0)
        nWait = nRetryAfterS * 1000;  // The server knows best when it is back.
    if (nUntilNextPassMs >= 0 && nWait >= nUntilNextPassMs) {
        nWaitMs = 0;
        return RETRY_NEXT_PASS;
    }
    nWaitMs = static_cast<int>(std::min<std::int64_t>(nWait, static_cast<std::int64_t>(CRetryPolicy::MAX_DELAY_S) * 1000 * 24));
    return RETRY_WAIT;
}
