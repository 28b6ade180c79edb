// Retry decisions: which failures are retried, doubling delays with jitter,
// Retry-After in seconds and as a date, and the next pass as the limit.
#include "http/HttpSession.h"
#include "http/RetryPolicy.h"

#include <gtest/gtest.h>

namespace {

TEST(RetryPolicy, RetriesOnlyPassingFailures)
{
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_CONNECT, 0));
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_TIMEOUT, 0));
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_SOCKET, 0));
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_STATUS, 503));
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_STATUS, 500));
    EXPECT_TRUE(IsRetryableFailure(HTTP_ERR_STATUS, 429));
    EXPECT_FALSE(IsRetryableFailure(HTTP_ERR_STATUS, 404));
    EXPECT_FALSE(IsRetryableFailure(HTTP_ERR_STATUS, 407));
    EXPECT_FALSE(IsRetryableFailure(HTTP_ERR_INTERRUPTED, 0));
    EXPECT_FALSE(IsRetryableFailure(HTTP_ERR_INVALID_URL, 0));
    EXPECT_FALSE(IsRetryableFailure(HTTP_OK, 200));
}

TEST(RetryPolicy, DelaysDoubleWithJitterAndStayBounded)
{
    CRetryPolicy policy(3, 2, 42);
    for (int nRetry = 1; nRetry <= 4; ++nRetry) {
        const int nBase = 2000 << (nRetry - 1);
        for (int i = 0; i < 20; ++i) {
            const int nMs = policy.DelayMs(nRetry);
            EXPECT_GE(nMs, nBase * 3 / 4);
            EXPECT_LE(nMs, nBase * 5 / 4);
        }
    }
    EXPECT_LE(policy.DelayMs(60), CRetryPolicy::MAX_DELAY_S * 1000 * 5 / 4);
    EXPECT_EQ(CRetryPolicy(-1, 0).GetRetries(), 0);
    EXPECT_EQ(CRetryPolicy(1000, 5).GetRetries(), static_cast<int>(CRetryPolicy::MAX_RETRIES));
    // No delay given: one second.
    CRetryPolicy policy0(1, 0, 1);
    EXPECT_GE(policy0.DelayMs(1), 750);
    EXPECT_LE(policy0.DelayMs(1), 1250);
}

TEST(RetryPolicy, ReadsRetryAfter)
{
    // 1994-11-06 08:49:37 UTC
    const std::int64_t nDate = 784111777;
    EXPECT_EQ(ParseRetryAfter("120", 0), 120);
    EXPECT_EQ(ParseRetryAfter(" 7 \r", 0), 7);
    EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:49:37 GMT", nDate - 30), 30);
    EXPECT_EQ(ParseRetryAfter("Sunday, 06-Nov-94 08:49:37 GMT", nDate - 30), 30);
    EXPECT_EQ(ParseRetryAfter("Sun Nov  6 08:49:37 1994", nDate - 30), 30);
    EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:49:37 GMT", nDate + 100), 0);
    EXPECT_EQ(ParseRetryAfter("99999999999999999999999", 0), 366LL * 86400);
    EXPECT_EQ(ParseRetryAfter("", 0), -1);
    EXPECT_EQ(ParseRetryAfter("-5", 0), -1);
    EXPECT_EQ(ParseRetryAfter("soon", 0), -1);
    EXPECT_EQ(ParseRetryAfter("Sun, 36 Foo 1994 08:49:37 GMT", 0), -1);
}

TEST(RetryPolicy, PlansAgainstTheNextPass)
{
    int nWait = -1;
    EXPECT_EQ(PlanRetry(2000, -1, 60000, nWait), RETRY_WAIT);
    EXPECT_EQ(nWait, 2000);
    // Retry-After wins over the policy's delay, short or long.
    EXPECT_EQ(PlanRetry(2000, 5, 60000, nWait), RETRY_WAIT);
    EXPECT_EQ(nWait, 5000);
    EXPECT_EQ(PlanRetry(8000, 0, 60000, nWait), RETRY_WAIT);
    EXPECT_EQ(nWait, 0);
    // Beyond the next pass: the page waits for that pass.
    EXPECT_EQ(PlanRetry(2000, 120, 60000, nWait), RETRY_NEXT_PASS);
    EXPECT_EQ(PlanRetry(70000, -1, 60000, nWait), RETRY_NEXT_PASS);
    // No next pass (a single run): wait as asked.
    EXPECT_EQ(PlanRetry(2000, 120, -1, nWait), RETRY_WAIT);
    EXPECT_EQ(nWait, 120000);
}

} // namespace
