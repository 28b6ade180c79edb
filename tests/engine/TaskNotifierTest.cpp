// TaskNotifierTest.cpp - notifications arrive in order and a slow observer
// never holds up the thread that posts them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "engine/TaskNotifier.h"
#include "engine/TaskObserver.h"

namespace {

class CRecordingObserver : public ITaskObserver {
public:
    void OnLog(const std::string& strLine) override { m_aLines.push_back(strLine); }
    std::vector<std::string> m_aLines;
};

class CBlockedObserver : public ITaskObserver {
public:
    void OnLog(const std::string&) override
    {
        ++m_nCalls;
        m_released.wait();
    }
    std::atomic<int> m_nCalls{0};
    std::shared_future<void> m_released;
};

} // namespace

TEST(TaskNotifierTest, DeliversInOrderAndWaitsUntilDelivered)
{
    CRecordingObserver observer;
    CTaskNotifier notifier;
    for (int i = 0; i < 100; ++i)
        notifier.Post(&observer, [i](ITaskObserver& o) { o.OnLog(std::to_string(i)); });
    ASSERT_TRUE(notifier.WaitDelivered(5000));
    ASSERT_EQ(observer.m_aLines.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(observer.m_aLines[i], std::to_string(i));
    notifier.Post(nullptr, [](ITaskObserver& o) { o.OnLog("dropped"); });
    EXPECT_TRUE(notifier.WaitDelivered(0)) << "a null observer queues nothing";
}

TEST(TaskNotifierTest, BlockedObserverDoesNotBlockThePoster)
{
    std::promise<void> release;
    CBlockedObserver observer;
    observer.m_released = release.get_future().share();
    {
        CTaskNotifier notifier;
        const auto tStart = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i)
            notifier.Post(&observer, [](ITaskObserver& o) { o.OnLog("x"); });
        EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(30));
        EXPECT_FALSE(notifier.WaitDelivered(50));
        release.set_value();
        // The destructor drops the rest and waits only for the call in progress.
    }
    EXPECT_GE(observer.m_nCalls.load(), 1);
    EXPECT_LT(observer.m_nCalls.load(), 1000 + 1);
}
