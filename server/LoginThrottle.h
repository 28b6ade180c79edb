// LoginThrottle.h - slows password guessing. Each key (an account name or a
// client address) may fail a few times freely; after that it is locked out
// for a time that doubles with every further failure. Callers on several
// threads share one throttle; it takes its own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quarvex {

class CLoginThrottle {
public:
    // nFreeFailures failures pass unhindered; the next locks the key for
    // nBaseSeconds, then twice that, up to nMaxSeconds.
    CLoginThrottle(int nFreeFailures, std::int64_t nBaseSeconds, std::int64_t nMaxSeconds);

    // True when the key may try a password at nNow.
    bool IsAllowed(const std::string& strKey, std::int64_t nNow);
    void RecordFailure(const std::string& strKey, std::int64_t nNow);
    void RecordSuccess(const std::string& strKey);

private:
    struct Entry {
        int nFailures = 0;
        std::int64_t nLockedUntil = 0;
        std::int64_t nLastFailure = 0;
    };
    // Keeps the table bounded against floods of made-up names.
    void PruneLocked(std::int64_t nNow);

    const int m_nFreeFailures;
    const std::int64_t m_nBaseSeconds;
    const std::int64_t m_nMaxSeconds;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_mapEntries;
};

} // namespace quarvex
