// MessageQueueTest.cpp - the worker's message queue and the thread owner.
#include "platform/MessageQueue.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(MessageQueueTest, MessagesArriveInOrderAndInputClearsWhenDrained)
{
    CMessageQueue queue;
    int nMessage = -7;
    EXPECT_FALSE(queue.WaitForInput(0));
    EXPECT_FALSE(queue.Take(nMessage));
    EXPECT_EQ(nMessage, -7);

    queue.Post(1);
    queue.Post(2);
    queue.PostQuit();
    EXPECT_TRUE(queue.WaitForInput(0));
    EXPECT_TRUE(queue.GetInputEvent().IsSet());
    std::vector<int> aTaken;
    while (queue.Take(nMessage))
        aTaken.push_back(nMessage);
    EXPECT_EQ(aTaken, (std::vector<int>{ 1, 2, CMessageQueue::MSG_QUIT }));
    EXPECT_FALSE(queue.WaitForInput(0));
}

TEST(MessageQueueTest, WorkerSleepsInSlicesAndWakesForAPostFromAnotherThread)
{
    CMessageQueue queue;
    std::atomic<int> nPasses{ 0 };
    std::atomic<int> nSlices{ 0 };
    CThread worker;
    ASSERT_TRUE(worker.Start([&] {
        for (;;) {
            int nMessage;
            while (queue.Take(nMessage)) {
                if (nMessage == CMessageQueue::MSG_QUIT)
                    return;
                ++nPasses;
            }
            // Counting down between passes in short slices; input ends a
            // slice early, as a "run now" order must.
            if (!queue.WaitForInput(20))
                ++nSlices;
        }
    }));
    EXPECT_TRUE(worker.IsRunning());
    queue.Post(5);
    while (nPasses.load() == 0)
        std::this_thread::yield();
    queue.PostQuit();
    EXPECT_TRUE(worker.WaitForEnd(5000));
    worker.Join();
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(nPasses.load(), 1);
}

TEST(ThreadTest, StartAgainReapsTheEarlierThreadAndJoinWithoutThreadIsHarmless)
{
    CThread thread;
    thread.Join();
    EXPECT_TRUE(thread.WaitForEnd(0));
    std::atomic<int> nRuns{ 0 };
    ASSERT_TRUE(thread.Start([&] { ++nRuns; }));
    ASSERT_TRUE(thread.Start([&] { ++nRuns; }));
    thread.Join();
    EXPECT_EQ(nRuns.load(), 2);
    EXPECT_FALSE(thread.IsRunning());
}
