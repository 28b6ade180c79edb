// FormBodyTest.cpp - the store's form body reader and its login throttle.
#include "FormBody.h"
#include "LoginThrottle.h"

#include <gtest/gtest.h>

using namespace quarvex;

TEST(FormBodyTest, DecodesFieldsAndRefusesMalformedBodies)
{
    struct { const char* pszBody; bool bOk; const char* pszU1; const char* pszU2; } cases[] = {
        { "udata1=a+b%2Dc&udata2=", true,  "a b-c", "" },
        { "udata1=%7Bx%7d",         true,  "{x}",   nullptr },  // either case of hex digit
        { "udata2=1&&udata1=2&",    true,  "2",     "1" },      // empty fields skipped
        { "udata1",                 true,  "",      nullptr },  // no '=': empty value
        { "udata1=a=b",             true,  "a=b",   nullptr },  // only the first '=' splits
        { "ud%61ta1=x",             true,  "x",     nullptr },  // names are decoded too
        { "udata1=%00z",            true,  nullptr, nullptr },  // zero byte kept, checked below
        { "",                       true,  nullptr, nullptr },
        { "udata1=%",               false, nullptr, nullptr },
        { "udata1=%4",              false, nullptr, nullptr },
        { "udata1=%G0",             false, nullptr, nullptr },
        { "udata1=%4%41",           false, nullptr, nullptr },
        { "udata1=1&udata1=2",      false, nullptr, nullptr },  // a name twice is ambiguous
        { "udata1=x&%=y",           false, nullptr, nullptr },
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> form{ { "stale", "value" } };
        ASSERT_EQ(ParseFormBody(c.pszBody, form), c.bOk) << c.pszBody;
        EXPECT_EQ(form.count("stale"), 0u) << c.pszBody;
        if (!c.bOk) {
            EXPECT_TRUE(form.empty()) << c.pszBody;
            continue;
        }
        if (c.pszU1 != nullptr) {
            EXPECT_EQ(form["udata1"], c.pszU1) << c.pszBody;
        }
        if (c.pszU2 != nullptr) {
            EXPECT_EQ(form["udata2"], c.pszU2) << c.pszBody;
        }
    }
    std::map<std::string, std::string> form;
    ASSERT_TRUE(ParseFormBody("udata1=%00z", form));
    EXPECT_EQ(form["udata1"], std::string("\0z", 2));
}

TEST(LoginThrottleTest, FreeFailuresThenDoublingLockouts)
{
    CLoginThrottle throttle(2, 10, 35);
    std::int64_t t = 1000;
    EXPECT_TRUE(throttle.IsAllowed("k", t));
    throttle.RecordFailure("k", t);
    throttle.RecordFailure("k", t);
    EXPECT_TRUE(throttle.IsAllowed("k", t));  // two free failures
    throttle.RecordFailure("k", t);
    EXPECT_FALSE(throttle.IsAllowed("k", t + 9));
    EXPECT_TRUE(throttle.IsAllowed("k", t + 10));
    EXPECT_TRUE(throttle.IsAllowed("other", t));

    t += 10;
    throttle.RecordFailure("k", t);  // fourth: 20 s
    EXPECT_FALSE(throttle.IsAllowed("k", t + 19));
    EXPECT_TRUE(throttle.IsAllowed("k", t + 20));
    t += 20;
    throttle.RecordFailure("k", t);  // fifth: 40 s, capped at 35
    EXPECT_FALSE(throttle.IsAllowed("k", t + 34));
    EXPECT_TRUE(throttle.IsAllowed("k", t + 35));

    throttle.RecordSuccess("k");
    throttle.RecordFailure("k", t);
    EXPECT_TRUE(throttle.IsAllowed("k", t));

    // Quiet for longer than the longest lock-out: counting starts afresh.
    throttle.RecordFailure("k", t);
    throttle.RecordFailure("k", t + 100);
    EXPECT_TRUE(throttle.IsAllowed("k", t + 100));
}

TEST(LoginThrottleTest, ReservationsCountBeforeTheCheckAndCanBeTakenBack)
{
    CLoginThrottle throttle(2, 10, 35);
    const std::int64_t t = 1000;
    // Three attempts in flight at once: the third is the one that locks,
    // as it would be one after another, and a fourth is refused outright.
    EXPECT_TRUE(throttle.Reserve("k", t));
    EXPECT_TRUE(throttle.Reserve("k", t));
    EXPECT_TRUE(throttle.Reserve("k", t));
    EXPECT_FALSE(throttle.Reserve("k", t));
    EXPECT_FALSE(throttle.IsAllowed("k", t + 9));
    // The third was no failure after all: back to two free ones.
    throttle.CancelReservation("k");
    EXPECT_TRUE(throttle.IsAllowed("k", t));
    throttle.CancelReservation("k");
    throttle.CancelReservation("k");
    throttle.CancelReservation("k");  // more than were reserved: harmless
    EXPECT_EQ(throttle.GetEntryCount(), 0u);
    EXPECT_EQ(throttle.GetMemoryUse(), 0u);
}

TEST(LoginThrottleTest, TableIsBoundedByMemoryNotOnlyByCount)
{
    const std::size_t nLimit = 256 * 1024;
    CLoginThrottle throttle(5, 2, 900, nLimit);
    std::int64_t t = 1000;
    // Long keys, each failing once, one second apart: far fewer than the
    // entry limit, far more bytes than the memory limit.
    for (int i = 0; i < 2000; ++i, ++t) {
        throttle.RecordFailure(std::to_string(i) + std::string(1000, 'x'), t);
        ASSERT_LE(throttle.GetMemoryUse(), nLimit) << i;
    }
    EXPECT_GT(throttle.GetEntryCount(), 50u);
    EXPECT_LT(throttle.GetEntryCount(), 260u);
    // The newest failures are the ones kept.
    const std::string strNewest = "1999" + std::string(1000, 'x');
    for (int i = 0; i < 5; ++i)
        throttle.RecordFailure(strNewest, t);
    EXPECT_FALSE(throttle.IsAllowed(strNewest, t));
    // A single key larger than the whole table is not kept at all.
    throttle.RecordFailure(std::string(nLimit + 1, 'y'), t);
    EXPECT_LE(throttle.GetMemoryUse(), nLimit);
}
