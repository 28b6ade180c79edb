// LoginThrottle.cpp - failure counting with doubling lock-outs.
#include "LoginThrottle.h"

#include <algorithm>
#include <vector>

namespace quarvex {

namespace {

// Entries beyond this are pruned; a flood of names cannot grow the table
// without bound.
constexpr std::size_t MAX_ENTRIES = 100000;

} // namespace

CLoginThrottle::CLoginThrottle(int nFreeFailures, std::int64_t nBaseSeconds, std::int64_t nMaxSeconds)
    : m_nFreeFailures(nFreeFailures), m_nBaseSeconds(nBaseSeconds), m_nMaxSeconds(nMaxSeconds)
{
}

bool CLoginThrottle::IsAllowed(const std::string& strKey, std::int64_t nNow)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapEntries.find(strKey);
    return it == m_mapEntries.end() || nNow >= it->second.nLockedUntil;
}

void CLoginThrottle::RecordFailure(const std::string& strKey, std::int64_t nNow)
{
    std::lock_guard lock(m_mutex);
    if (m_mapEntries.size() >= MAX_ENTRIES)
        PruneLocked(nNow);
    Entry& entry = m_mapEntries[strKey];
    // A key that has been quiet for the longest lock-out starts afresh.
    if (entry.nFailures > 0 && nNow - entry.nLastFailure > m_nMaxSeconds)
        entry = Entry();
    ++entry.nFailures;
    entry.nLastFailure = nNow;
    const int nOver = entry.nFailures - m_nFreeFailures;
    if (nOver > 0) {
        std::int64_t nLock = m_nBaseSeconds;
        for (int i = 1; i < nOver && nLock < m_nMaxSeconds; ++i)
            nLock *= 2;
        entry.nLockedUntil = nNow + std::min(nLock, m_nMaxSeconds);
    }
}

void CLoginThrottle::RecordSuccess(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    m_mapEntries.erase(strKey);
}

void CLoginThrottle::PruneLocked(std::int64_t nNow)
{
    for (auto it = m_mapEntries.begin(); it != m_mapEntries.end();) {
        if (nNow >= it->second.nLockedUntil && nNow - it->second.nLastFailure > m_nMaxSeconds)
            it = m_mapEntries.erase(it);
        else
            ++it;
    }
    // Still full of fresh entries: forget the oldest half rather than grow.
    if (m_mapEntries.size() >= MAX_ENTRIES) {
        std::vector<std::int64_t> aTimes;
        aTimes.reserve(m_mapEntries.size());
        for (const auto& [strKey, entry] : m_mapEntries)
            aTimes.push_back(entry.nLastFailure);
        std::nth_element(aTimes.begin(), aTimes.begin() + aTimes.size() / 2, aTimes.end());
        const std::int64_t nMedian = aTimes[aTimes.size() / 2];
        for (auto it = m_mapEntries.begin(); it != m_mapEntries.end();) {
            if (it->second.nLastFailure <= nMedian)
                it = m_mapEntries.erase(it);
            else
                ++it;
        }
    }
}

} // namespace quarvex
