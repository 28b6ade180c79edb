// The host limiter: K requests in flight and M ms between starts, held for
// sixteen tasks at once; first come first served; a stop leaves the queue.
#include "http/HostLimiter.h"
#include "http/HttpPostSession.h"
#include "platform/Event.h"
#include "RawServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

bool WaitUntil(const std::function<bool()>& fnReady, int nTimeoutMs = 10000)
{
    const Clock::time_point t0 = Clock::now();
    while (!fnReady()) {
        if (MsSince(t0) > nTimeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A server that notes when each request arrived and how many were being
// answered at that moment, and answers after nDelayMs.
struct SArrivals {
    std::mutex mutex;
    std::vector<long long> aArrivalMs;
    int nActive = 0;
    int nMaxActive = 0;
    Clock::time_point t0 = Clock::now();
};

CRawServer::Handler SlowHandler(SArrivals& log, int nDelayMs)
{
    return [&log, nDelayMs](CRawConnection& conn) {
        for (;;) {
            const std::string strRequest = conn.ReadRequest();
            if (strRequest.empty())
                return;
            {
                std::lock_guard<std::mutex> lock(log.mutex);
                log.aArrivalMs.push_back(MsSince(log.t0));
                log.nMaxActive = std::max(log.nMaxActive, ++log.nActive);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
            {
                std::lock_guard<std::mutex> lock(log.mutex);
                --log.nActive;
            }
            conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        }
    };
}

// Sixteen tasks, each fetching nPages pages of one host through the limiter.
void RunTasks(CHostLimiter& limiter, const std::string& strUrl, int nTasks, int nPages, std::atomic<int>& nOk)
{
    std::vector<std::thread> aTasks;
    for (int i = 0; i < nTasks; ++i) {
        aTasks.emplace_back([&]() {
            CHttpPostSession session;
            for (int n = 0; n < nPages; ++n) {
                CHostTurn turn;
                if (!turn.Acquire(strUrl, nullptr, &limiter))
                    return;
                session.Get(strUrl.c_str(), nullptr);
                session.WaitForResponse();
                if (session.m_nError == HTTP_OK)
                    ++nOk;
            }
        });
    }
    for (std::thread& t : aTasks)
        t.join();
}

TEST(HostLimiter, HoldsConnectionsPerHostAcrossSixteenTasks)
{
    SArrivals log;
    CRawServer server(SlowHandler(log, 60));
    CHostLimiter limiter;
    limiter.Configure(2, 0);
    std::atomic<int> nOk{ 0 };
    RunTasks(limiter, server.GetUrl("/page"), 16, 2, nOk);
    EXPECT_EQ(nOk.load(), 32);
    EXPECT_EQ(log.aArrivalMs.size(), 32u);
    EXPECT_LE(log.nMaxActive, 2);
    // Two at a time were in flight, not one: the limit is a limit, not a lock.
    EXPECT_EQ(log.nMaxActive, 2);
    EXPECT_EQ(limiter.InFlight("127.0.0.1"), 0);
    EXPECT_EQ(limiter.Waiting("127.0.0.1"), 0);
}

TEST(HostLimiter, HoldsIntervalBetweenStarts)
{
    SArrivals log;
    CRawServer server(SlowHandler(log, 0));
    CHostLimiter limiter;
    limiter.Configure(4, 80);
    std::atomic<int> nOk{ 0 };
    RunTasks(limiter, server.GetUrl("/page"), 16, 1, nOk);
    EXPECT_EQ(nOk.load(), 16);
    ASSERT_EQ(log.aArrivalMs.size(), 16u);
    std::vector<long long> aSorted = log.aArrivalMs;
    std::sort(aSorted.begin(), aSorted.end());
    // Starts are 80 ms apart at the client; on a loaded machine an arrival
    // may lag its start, so single gaps get slack and the whole span less.
    for (std::size_t i = 1; i < aSorted.size(); ++i)
        EXPECT_GE(aSorted[i] - aSorted[i - 1], 30) << "arrival " << i;
    EXPECT_GE(aSorted.back() - aSorted.front(), 15 * 75);
}

TEST(HostLimiter, HostsAreCountedApartAndIgnoreLetterCase)
{
    CHostLimiter limiter;
    limiter.Configure(1, 0);
    ASSERT_TRUE(limiter.Acquire("Example.COM", nullptr));
    EXPECT_EQ(limiter.InFlight("example.com"), 1);
    // Another host is not held back by the first.
    ASSERT_TRUE(limiter.Acquire("other.example", nullptr));
    CEvent stop;
    stop.Set();
    // The same host in other letters is the same host: full, so a stopped
    // request does not get in.
    EXPECT_FALSE(limiter.Acquire("EXAMPLE.com", &stop));
    limiter.Release("example.com");
    limiter.Release("other.example");
    EXPECT_EQ(limiter.InFlight("example.com"), 0);
    // A release with nothing held changes nothing.
    limiter.Release("example.com");
    EXPECT_EQ(limiter.InFlight("example.com"), 0);
}

TEST(HostLimiter, FirstComeFirstServed)
{
    CHostLimiter limiter;
    limiter.Configure(1, 0);
    ASSERT_TRUE(limiter.Acquire("h", nullptr));
    std::mutex mutex;
    std::vector<int> aOrder;
    std::vector<std::thread> aWaiters;
    for (int i = 0; i < 5; ++i) {
        aWaiters.emplace_back([&, i]() {
            ASSERT_TRUE(limiter.Acquire("h", nullptr));
            {
                std::lock_guard<std::mutex> lock(mutex);
                aOrder.push_back(i);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            limiter.Release("h");
        });
        // Each waiter is queued before the next one comes.
        ASSERT_TRUE(WaitUntil([&]() { return limiter.Waiting("h") == i + 1; }));
    }
    limiter.Release("h");
    for (std::thread& t : aWaiters)
        t.join();
    EXPECT_EQ(aOrder, (std::vector<int>{ 0, 1, 2, 3, 4 }));
}

TEST(HostLimiter, StopLeavesTheQueueAtOnce)
{
    CHostLimiter limiter;
    // A full host and a long interval: both kinds of wait end on a stop.
    limiter.Configure(1, 600000);
    ASSERT_TRUE(limiter.Acquire("h", nullptr));
    CEvent stop;
    std::atomic<bool> bResult{ true };
    std::atomic<long long> nStoppedAfter{ -1 };
    Clock::time_point tStop;
    std::thread waiter([&]() {
        bResult = limiter.Acquire("h", &stop);
        nStoppedAfter = MsSince(tStop);
    });
    ASSERT_TRUE(WaitUntil([&]() { return limiter.Waiting("h") == 1; }));
    tStop = Clock::now();
    stop.Set();
    waiter.join();
    EXPECT_FALSE(bResult.load());
    EXPECT_LT(nStoppedAfter.load(), 1000);
    EXPECT_EQ(limiter.Waiting("h"), 0);

    // The interval alone (the host is free again but started just now).
    limiter.Release("h");
    stop.Reset();
    std::thread waiter2([&]() { bResult = limiter.Acquire("h", &stop); });
    ASSERT_TRUE(WaitUntil([&]() { return limiter.Waiting("h") == 1; }));
    tStop = Clock::now();
    stop.Set();
    waiter2.join();
    EXPECT_FALSE(bResult.load());
    EXPECT_LT(MsSince(tStop), 1000);
}

TEST(HostLimiter, CrawlDelayRaisesOneHostOnly)
{
    CHostLimiter limiter;
    limiter.Configure(4, 0);
    limiter.RaiseHostInterval("slow", 300);
    ASSERT_TRUE(limiter.Acquire("slow", nullptr));
    const Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(limiter.Acquire("slow", nullptr));
    EXPECT_GE(MsSince(t0), 250);
    const Clock::time_point t1 = Clock::now();
    ASSERT_TRUE(limiter.Acquire("fast", nullptr));
    ASSERT_TRUE(limiter.Acquire("fast", nullptr));
    EXPECT_LT(MsSince(t1), 250);
}

TEST(HostLimiter, TurnWithoutHostIsGrantedAndValuesAreBounded)
{
    CHostLimiter limiter;
    limiter.Configure(0, -5);
    EXPECT_EQ(limiter.GetConnections(), 1);
    EXPECT_EQ(limiter.GetIntervalMs(), 0);
    limiter.Configure(1000000, 2000000000);
    EXPECT_EQ(limiter.GetConnections(), static_cast<int>(CHostLimiter::MAX_CONNECTIONS));
    EXPECT_EQ(limiter.GetIntervalMs(), static_cast<int>(CHostLimiter::MAX_INTERVAL_MS));
    CHostTurn turn;
    EXPECT_TRUE(turn.Acquire("", nullptr, &limiter));
    EXPECT_FALSE(turn.IsHeld());
    EXPECT_TRUE(turn.Acquire("http://a.example/x", nullptr, &limiter));
    EXPECT_TRUE(turn.IsHeld());
    EXPECT_EQ(limiter.InFlight("a.example"), 1);
    turn.Release();
    EXPECT_EQ(limiter.InFlight("a.example"), 0);
}

} // namespace
