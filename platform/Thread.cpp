// Thread.cpp - CThread.
#include "Thread.h"

#include <system_error>

bool CThread::Start(std::function<void()> fnMain)
{
    std::lock_guard lock(m_mutex);
    if (m_hThread.joinable())
        m_hThread.join();
    m_endedEvent.Reset();
    try {
        m_hThread = std::thread([this, fnMain = std::move(fnMain)] {
            fnMain();
            m_endedEvent.Set();
        });
    } catch (const std::system_error&) {
        m_endedEvent.Set();
        return false;
    }
    return true;
}

void CThread::Join()
{
    std::lock_guard lock(m_mutex);
    if (m_hThread.joinable())
        m_hThread.join();
}
