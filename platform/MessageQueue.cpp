// MessageQueue.cpp - CMessageQueue.
#include "MessageQueue.h"

void CMessageQueue::Post(int nMessage)
{
    std::lock_guard lock(m_mutex);
    m_aPending.push_back(nMessage);
    m_inputEvent.Set();
}

bool CMessageQueue::Take(int& nMessage)
{
    std::lock_guard lock(m_mutex);
    if (m_aPending.empty())
        return false;
    nMessage = m_aPending.front();
    m_aPending.pop_front();
    // The event is changed under the queue's lock so that it always agrees
    // with the queue: a Post() racing with this Take() cannot be left unseen.
    if (m_aPending.empty())
        m_inputEvent.Reset();
    return true;
}
