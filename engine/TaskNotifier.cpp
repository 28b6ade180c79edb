// TaskNotifier.cpp - the delivery thread of a task's notifications.
#include "TaskNotifier.h"

#include <chrono>
#include <utility>

#include "TaskObserver.h"

CTaskNotifier::~CTaskNotifier()
{
    {
        std::lock_guard lock(m_mutex);
        m_bQuit = true;
        m_aQueue.clear();
    }
    m_cvWork.notify_all();
    if (m_hThread.joinable())
        m_hThread.join();
}

void CTaskNotifier::Post(ITaskObserver* pObserver, Call fnCall)
{
    if (pObserver == nullptr)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_bQuit)
            return;
        m_aQueue.push_back({pObserver, std::move(fnCall)});
        if (!m_hThread.joinable())
            m_hThread = std::thread(&CTaskNotifier::ThreadMain, this);
    }
    m_cvWork.notify_one();
}

bool CTaskNotifier::WaitDelivered(int nTimeoutMs)
{
    std::unique_lock lock(m_mutex);
    auto fnIdle = [this] { return m_bQuit || (m_aQueue.empty() && !m_bBusy); };
    if (nTimeoutMs < 0) {
        m_cvIdle.wait(lock, fnIdle);
        return true;
    }
    return m_cvIdle.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), fnIdle);
}

void CTaskNotifier::ThreadMain()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cvWork.wait(lock, [this] { return m_bQuit || !m_aQueue.empty(); });
        if (m_bQuit)
            break;
        CItem item = std::move(m_aQueue.front());
        m_aQueue.pop_front();
        m_bBusy = true;
        lock.unlock();
        // The observer runs outside the lock so that the worker can go on
        // queueing while a view takes its time.
        item.fnCall(*item.pObserver);
        lock.lock();
        m_bBusy = false;
        if (m_aQueue.empty())
            m_cvIdle.notify_all();
    }
    m_bBusy = false;
    m_cvIdle.notify_all();
}
