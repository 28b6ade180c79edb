// Thread.h - the owner of one thread. It never detaches: the owner asks its
// thread to end by its own means (a quit message, a quit event) and then
// Join()s; the destructor joins as a last resort.
#pragma once

#include "Event.h"

#include <functional>
#include <mutex>
#include <thread>

class CThread
{
public:
    CThread() : m_endedEvent(CEvent::INITIAL_SET) {}
    ~CThread() { Join(); }
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Joins a thread left from an earlier Start() first (so it must have been
    // asked to end), then runs fnMain on a new thread. False when the system
    // could not create one.
    bool Start(std::function<void()> fnMain);
    // Waits without limit for the thread to end and reaps it; does nothing
    // when no thread was started. Safe from several threads at once.
    void Join();

    // True from Start() until the thread's function has returned.
    bool IsRunning() const { return !m_endedEvent.IsSet(); }
    // True once the thread's function has returned (or none runs); false when
    // nTimeoutMs (-1: no limit) ran out first.
    bool WaitForEnd(int nTimeoutMs) const { return m_endedEvent.Wait(nTimeoutMs); }
    const CEvent& GetEndedEvent() const { return m_endedEvent; }

private:
    std::mutex  m_mutex;  // Guards m_hThread between Start() and Join().
    std::thread m_hThread;
    CEvent      m_endedEvent;  // Set when no thread runs.
};
