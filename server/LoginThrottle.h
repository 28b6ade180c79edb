// LoginThrottle.h - slows password guessing. Each key (an account name or a
// client address) may fail a few times freely; after that it is locked out
// for a time that doubles with every further failure. Callers on several
// threads share one throttle; it takes its own lock.
#pragma once

#include "StoreDbApi.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quarvex {

// One key's failures, wherever they are kept.
struct ThrottleEntry {
    int nFailures = 0;
    std::int64_t nLockedUntil = 0;
    std::int64_t nLastFailure = 0;
};
// Counts one failure at nNow: nFreeFailures pass, the next locks for
// nBaseSeconds, doubling up to nMaxSeconds; a key quiet for the longest
// lock-out starts afresh.
void CountThrottleFailure(ThrottleEntry& entry, std::int64_t nNow, int nFreeFailures, std::int64_t nBaseSeconds,
                          std::int64_t nMaxSeconds);

class CLoginThrottle : public ILoginThrottle {
public:
    // nFreeFailures failures pass unhindered; the next locks the key for
    // nBaseSeconds, then twice that, up to nMaxSeconds. The table keeps at
    // most nMaxBytes of keys and bookkeeping, forgetting the oldest failures
    // first when a flood of keys fills it.
    CLoginThrottle(int nFreeFailures, std::int64_t nBaseSeconds, std::int64_t nMaxSeconds,
                   std::size_t nMaxBytes = 16 * 1024 * 1024);

    // True when the key may try a password at nNow.
    bool IsAllowed(const std::string& strKey, std::int64_t nNow) override;
    // Checks and counts in one step: when the key may try at nNow, counts
    // the attempt as a failure in advance and returns true. Parallel
    // attempts thus see each other: no more of them pass than one after
    // another would.
    bool Reserve(const std::string& strKey, std::int64_t nNow) override;
    // Takes back one reserved attempt that turned out not to be a failure;
    // a lock-out it caused is lifted when the remaining failures are free.
    void CancelReservation(const std::string& strKey) override;
    void RecordFailure(const std::string& strKey, std::int64_t nNow) override;
    // Forgets every failure of the key.
    void RecordSuccess(const std::string& strKey) override;

    // What the table holds now, by the same reckoning as its limit.
    std::size_t GetMemoryUse();
    std::size_t GetEntryCount();

private:
    using Entry = ThrottleEntry;
    void CountFailureLocked(const std::string& strKey, std::int64_t nNow);
    void EraseLocked(std::unordered_map<std::string, Entry>::iterator it);
    // Keeps the table bounded against floods of made-up keys.
    void PruneLocked(std::int64_t nNow);
    bool IsFullLocked() const;

    const int m_nFreeFailures;
    const std::int64_t m_nBaseSeconds;
    const std::int64_t m_nMaxSeconds;
    const std::size_t m_nMaxBytes;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_mapEntries;
    std::size_t m_nBytes = 0;  // Reckoned size of m_mapEntries.
};

} // namespace quarvex
