// LoginThrottle.cpp - failure counting with doubling lock-outs.
#include "LoginThrottle.h"

#include <algorithm>
#include <vector>

namespace quarvex {

namespace {

// Entries beyond this are pruned; a flood of names cannot grow the table
// without bound.
constexpr std::size_t MAX_ENTRIES = 100000;

// What one entry costs besides its key's bytes: the key's string object, the
// counters, and the hash node with its bucket pointer.
constexpr std::size_t ENTRY_OVERHEAD = sizeof(std::string) + 3 * sizeof(std::int64_t) + 4 * sizeof(void*);

std::size_t EntryBytes(const std::string& strKey)
{
    // A key past the short-string buffer has a heap block of its own.
    return ENTRY_OVERHEAD + (strKey.size() >= sizeof(std::string) ? strKey.size() + 1 : 0);
}

} // namespace

void CountThrottleFailure(ThrottleEntry& entry, std::int64_t nNow, int nFreeFailures, std::int64_t nBaseSeconds,
                          std::int64_t nMaxSeconds)
{
    // A key that has been quiet for the longest lock-out starts afresh.
    if (entry.nFailures > 0 && nNow - entry.nLastFailure > nMaxSeconds)
        entry = ThrottleEntry();
    ++entry.nFailures;
    entry.nLastFailure = nNow;
    const int nOver = entry.nFailures - nFreeFailures;
    if (nOver > 0) {
        std::int64_t nLock = nBaseSeconds;
        for (int i = 1; i < nOver && nLock < nMaxSeconds; ++i)
            nLock *= 2;
        entry.nLockedUntil = nNow + std::min(nLock, nMaxSeconds);
    }
}

CLoginThrottle::CLoginThrottle(int nFreeFailures, std::int64_t nBaseSeconds, std::int64_t nMaxSeconds,
                               std::size_t nMaxBytes)
    : m_nFreeFailures(nFreeFailures), m_nBaseSeconds(nBaseSeconds), m_nMaxSeconds(nMaxSeconds),
      m_nMaxBytes(nMaxBytes)
{
}

bool CLoginThrottle::IsAllowed(const std::string& strKey, std::int64_t nNow)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapEntries.find(strKey);
    return it == m_mapEntries.end() || nNow >= it->second.nLockedUntil;
}

bool CLoginThrottle::Reserve(const std::string& strKey, std::int64_t nNow)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapEntries.find(strKey);
    if (it != m_mapEntries.end() && nNow < it->second.nLockedUntil)
        return false;
    CountFailureLocked(strKey, nNow);
    return true;
}

void CLoginThrottle::CancelReservation(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapEntries.find(strKey);
    if (it == m_mapEntries.end())
        return;
    Entry& entry = it->second;
    if (--entry.nFailures <= 0)
        EraseLocked(it);
    else if (entry.nFailures <= m_nFreeFailures)
        entry.nLockedUntil = 0;
}

void CLoginThrottle::RecordFailure(const std::string& strKey, std::int64_t nNow)
{
    std::lock_guard lock(m_mutex);
    CountFailureLocked(strKey, nNow);
}

void CLoginThrottle::CountFailureLocked(const std::string& strKey, std::int64_t nNow)
{
    auto it = m_mapEntries.find(strKey);
    if (it == m_mapEntries.end()) {
        const std::size_t nNeed = EntryBytes(strKey);
        m_nBytes += nNeed;
        if (IsFullLocked())
            PruneLocked(nNow);
        // A key too large for the whole table is never kept; the caller
        // bounds keys far below this.
        if (nNeed > m_nMaxBytes) {
            m_nBytes -= nNeed;
            return;
        }
        it = m_mapEntries.emplace(strKey, Entry()).first;
    }
    CountThrottleFailure(it->second, nNow, m_nFreeFailures, m_nBaseSeconds, m_nMaxSeconds);
}

void CLoginThrottle::RecordSuccess(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapEntries.find(strKey);
    if (it != m_mapEntries.end())
        EraseLocked(it);
}

std::size_t CLoginThrottle::GetMemoryUse()
{
    std::lock_guard lock(m_mutex);
    return m_nBytes;
}

std::size_t CLoginThrottle::GetEntryCount()
{
    std::lock_guard lock(m_mutex);
    return m_mapEntries.size();
}

void CLoginThrottle::EraseLocked(std::unordered_map<std::string, Entry>::iterator it)
{
    m_nBytes -= EntryBytes(it->first);
    m_mapEntries.erase(it);
}

bool CLoginThrottle::IsFullLocked() const
{
    return m_mapEntries.size() >= MAX_ENTRIES || m_nBytes > m_nMaxBytes;
}

void CLoginThrottle::PruneLocked(std::int64_t nNow)
{
    for (auto it = m_mapEntries.begin(); it != m_mapEntries.end();) {
        if (nNow >= it->second.nLockedUntil && nNow - it->second.nLastFailure > m_nMaxSeconds)
            EraseLocked(it++);
        else
            ++it;
    }
    // Still full of fresh entries: forget the oldest half rather than grow.
    if (IsFullLocked() && !m_mapEntries.empty()) {
        std::vector<std::int64_t> aTimes;
        aTimes.reserve(m_mapEntries.size());
        for (const auto& [strKey, entry] : m_mapEntries)
            aTimes.push_back(entry.nLastFailure);
        std::nth_element(aTimes.begin(), aTimes.begin() + aTimes.size() / 2, aTimes.end());
        const std::int64_t nMedian = aTimes[aTimes.size() / 2];
        for (auto it = m_mapEntries.begin(); it != m_mapEntries.end();) {
            if (it->second.nLastFailure <= nMedian)
                EraseLocked(it++);
            else
                ++it;
        }
    }
}

} // namespace quarvex
