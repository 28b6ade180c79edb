// RetryPolicy.h - when a failed exchange is worth another try and how long to
// wait first: failures to connect, time-outs, 5xx and 429 are tried again
// after growing delays (doubling, with jitter), a Retry-After the server
// gives taking precedence.
#pragma once

#include <cstdint>
#include <random>
#include <string_view>

// True for an exchange that may succeed when simply tried again: the
// connection failed or was cut, it timed out, or the server answered 5xx or
// 429. A stopped exchange (-12) and every other status are final.
bool IsRetryableFailure(int nError, int nStatus);

// The Retry-After value in seconds from nNow (Unix time): a number of seconds
// or an HTTP date. -1 when the value is neither; a date in the past gives 0.
// Large values are clamped to a year.
std::int64_t ParseRetryAfter(std::string_view strValue, std::int64_t nNow);

class CRetryPolicy
{
public:
    enum { MAX_RETRIES = 10, MAX_DELAY_S = 3600 };

    // nRetries tries after the first (0: none); nDelayS the first delay in
    // seconds (0 reads as 1). Both are brought into range.
    CRetryPolicy(int nRetries, int nDelayS, std::uint32_t nSeed = std::random_device()());

    int GetRetries() const { return m_nRetries; }
    // The wait before retry number nRetry (1 for the first), ms: the first
    // delay doubled nRetry-1 times, at most MAX_DELAY_S, with up to a quarter
    // more or less at random so that many tasks do not come back together.
    int DelayMs(int nRetry);

private:
    int m_nRetries = 0;
    int m_nDelayS = 1;
    std::mt19937 m_random;
};

// How a retry wait should go, given the policy's delay, the server's
// Retry-After (seconds, -1: none) and how long until the next pass is due (ms,
// -1: no next pass).
enum ERetryPlan {
    RETRY_WAIT,           // wait nWaitMs, then try again
    RETRY_NEXT_PASS,      // the wait would outlast the pass: leave it to the next one
};
ERetryPlan PlanRetry(int nPolicyDelayMs, std::int64_t nRetryAfterS, std::int64_t nUntilNextPassMs,
                     int& nWaitMs);
