// TaskNotifier.h - carries a task's notifications from its worker thread to
// its observer on a thread of its own, so the worker never waits for a view.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class ITaskObserver;

class CTaskNotifier {
public:
    using Call = std::function<void(ITaskObserver&)>;

    CTaskNotifier() = default;
    // Drops what is still queued and waits only for the call in progress.
    ~CTaskNotifier();
    CTaskNotifier(const CTaskNotifier&) = delete;
    CTaskNotifier& operator=(const CTaskNotifier&) = delete;

    // Queues fnCall for pObserver and returns at once; a null observer drops
    // it. The delivery thread starts with the first call.
    void Post(ITaskObserver* pObserver, Call fnCall);

    // Waits until everything queued so far has been delivered; false when
    // nTimeoutMs (-1: no limit) ran out first.
    bool WaitDelivered(int nTimeoutMs);

private:
    struct CItem {
        ITaskObserver* pObserver;
        Call fnCall;
    };

    void ThreadMain();

    std::mutex m_mutex;
    std::condition_variable m_cvWork;  // Something queued, or quit.
    std::condition_variable m_cvIdle;  // The queue ran empty.
    std::deque<CItem> m_aQueue;
    bool m_bQuit = false;
    bool m_bBusy = false;  // A call is being delivered outside the lock.
    std::thread m_hThread;
};
