// Event.h - a manual-reset event that poll() can watch, and a wait on several
// events plus one socket at once. Once Set(), every Wait() passes until Reset().
#pragma once

#include <atomic>
#include <initializer_list>
#include <mutex>

class CEvent
{
public:
    enum EInitial { INITIAL_RESET, INITIAL_SET };

    explicit CEvent(EInitial nInitial = INITIAL_RESET);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // Both may be called from any thread; calling either twice is harmless.
    void Set();
    void Reset();
    bool IsSet() const { return m_bSet.load(std::memory_order_acquire); }

    // True once the event is set; false when nTimeoutMs (-1: no limit) ran out
    // first or the wait itself failed.
    bool Wait(int nTimeoutMs = -1) const;

    // A descriptor that poll() reports readable exactly while the event is
    // set. Waits on several things at once watch it; nobody reads it but us.
    int GetWaitHandle() const { return m_hEvent; }

private:
    // Set() and Reset() change the flag and the descriptor's counter together
    // under the lock. Readers take no lock: a waiter woken by the descriptor
    // must not queue behind the thread that is still inside Set().
    std::mutex m_mutex;
    std::atomic<bool> m_bSet{ false };
    int  m_hEvent = -1;  // eventfd; its counter is non-zero exactly while set.
};

enum {
    WAIT_TIMEOUT = -1,  // the limit ran out
    WAIT_FAILED  = -2,  // poll() failed
    WAIT_SOCKET  = -3,  // the socket is ready; see nSocketReady
};

// Waits until one of aEvents is set or hSocket (when not -1) reports one of
// nSocketEvents (POLLIN, POLLOUT). Returns the index in aEvents of the first
// event that is set (earlier events win, so list the urgent ones first), else
// WAIT_SOCKET, WAIT_TIMEOUT or WAIT_FAILED. Whenever the wait ended on an
// event or the socket, *pnSocketReady holds the socket's poll() result (0:
// not ready), so a caller woken by an event also learns about the socket.
// nTimeoutMs -1 waits without limit. Null entries are skipped.
int WaitForAny(std::initializer_list<const CEvent*> aEvents, int nTimeoutMs,
               int hSocket = -1, short nSocketEvents = 0, short* pnSocketReady = nullptr);
