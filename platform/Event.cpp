// Event.cpp - CEvent over an eventfd, and the poll()-based wait on several.
#include "Event.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Time left of a limit that started at tStart; -1 stays "no limit".
int RemainingMs(int nTimeoutMs, Clock::time_point tStart)
{
    if (nTimeoutMs < 0)
        return -1;
    const auto nElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count();
    return nElapsed >= nTimeoutMs ? 0 : static_cast<int>(nTimeoutMs - nElapsed);
}

} // namespace

CEvent::CEvent(EInitial nInitial)
{
    m_hEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Without its descriptor an event could neither wake a poll() nor be
    // waited on; every thread hand-over would break silently, so stop here.
    if (m_hEvent < 0)
        std::abort();
    if (nInitial == INITIAL_SET)
        Set();
}

CEvent::~CEvent()
{
    close(m_hEvent);
}

void CEvent::Set()
{
    std::lock_guard lock(m_mutex);
    if (m_bSet.load(std::memory_order_relaxed))
        return;
    // The flag first: whoever the descriptor wakes must find it set. The
    // release pairs with IsSet(), so what the setter wrote before is seen.
    m_bSet.store(true, std::memory_order_release);
    const std::uint64_t nOne = 1;
    while (write(m_hEvent, &nOne, sizeof nOne) < 0 && errno == EINTR) {
    }
}

void CEvent::Reset()
{
    std::lock_guard lock(m_mutex);
    if (!m_bSet.load(std::memory_order_relaxed))
        return;
    m_bSet.store(false, std::memory_order_relaxed);
    std::uint64_t nCount = 0;
    while (read(m_hEvent, &nCount, sizeof nCount) < 0 && errno == EINTR) {
    }
}

bool CEvent::Wait(int nTimeoutMs) const
{
    return WaitForAny({ this }, nTimeoutMs) == 0;
}

int WaitForAny(std::initializer_list<const CEvent*> aEvents, int nTimeoutMs,
               int hSocket, short nSocketEvents, short* pnSocketReady)
{
    pollfd aPoll[16];
    const CEvent* apEvent[16];
    int nCount = 0;
    int nEventIndex[16];
    int nIndex = 0;
    // Sixteen slots hold every wait this program makes; a longer list is a
    // programming error that must not quietly drop an event.
    if (aEvents.size() > 15)
        return WAIT_FAILED;
    for (const CEvent* pEvent : aEvents) {
        if (pEvent != nullptr) {
            aPoll[nCount] = { pEvent->GetWaitHandle(), POLLIN, 0 };
            apEvent[nCount] = pEvent;
            nEventIndex[nCount] = nIndex;
            ++nCount;
        }
        ++nIndex;
    }
    const int nSocketSlot = nCount;
    if (hSocket >= 0)
        aPoll[nCount++] = { hSocket, nSocketEvents, 0 };

    const auto tStart = Clock::now();
    for (;;) {
        const int nReady = poll(aPoll, static_cast<nfds_t>(nCount), RemainingMs(nTimeoutMs, tStart));
        if (nReady < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        if (nReady == 0)
            return WAIT_TIMEOUT;
        // The descriptor may still read as ready for an instant after another
        // thread's Reset(); the flag decides, and the wait goes on if it is clear.
        if (pnSocketReady != nullptr)
            *pnSocketReady = hSocket >= 0 ? aPoll[nSocketSlot].revents : 0;
        for (int i = 0; i < nSocketSlot; ++i) {
            if (aPoll[i].revents != 0 && apEvent[i]->IsSet())
                return nEventIndex[i];
        }
        if (hSocket >= 0 && aPoll[nSocketSlot].revents != 0)
            return WAIT_SOCKET;
        if (RemainingMs(nTimeoutMs, tStart) == 0)
            return WAIT_TIMEOUT;
    }
}
