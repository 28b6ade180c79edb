// MessageQueue.h - the order queue of a worker thread: other threads post
// small integer messages, the worker waits for input and takes them in order.
// MSG_QUIT is an ordinary message; the worker decides what it means.
#pragma once

#include "Event.h"

#include <deque>
#include <mutex>

class CMessageQueue
{
public:
    enum { MSG_QUIT = 0 };  // Callers number their own messages from 1.

    CMessageQueue() = default;
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    // Any thread.
    void Post(int nMessage);
    void PostQuit() { Post(MSG_QUIT); }

    // Worker side. Takes the oldest message into nMessage; false when the
    // queue is empty (nMessage unchanged). Never waits.
    bool Take(int& nMessage);
    // True as soon as a message is waiting; false when nTimeoutMs (-1: no
    // limit) ran out first. Takes nothing.
    bool WaitForInput(int nTimeoutMs) const { return m_inputEvent.Wait(nTimeoutMs); }
    // Set exactly while messages are waiting, so that a worker can wait for
    // input and for other events in one WaitForAny().
    const CEvent& GetInputEvent() const { return m_inputEvent; }

private:
    std::mutex      m_mutex;
    std::deque<int> m_aPending;  // Oldest first; guarded by m_mutex.
    CEvent          m_inputEvent;
};
