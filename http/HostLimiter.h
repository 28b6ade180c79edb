// HostLimiter.h - how hard the whole process may press one host: at most K
// requests in flight to it at once and at least M ms between the starts of two
// of them. Every task's page, linked pages, linked files and web posts wait
// here for their turn, first come first served.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

class CEvent;

class CHostLimiter
{
public:
    enum { DEFAULT_CONNECTIONS = 2, DEFAULT_INTERVAL_MS = 0, MAX_CONNECTIONS = 64,
           MAX_INTERVAL_MS = 3600000 };

    CHostLimiter() = default;
    CHostLimiter(const CHostLimiter&) = delete;
    CHostLimiter& operator=(const CHostLimiter&) = delete;

    // The one limiter every task of the process shares.
    static CHostLimiter& Instance();

    // K and M for every host; out-of-range values are brought into range
    // (K at least 1). Requests already waiting see the new values at once.
    void Configure(int nConnections, int nIntervalMs);
    int GetConnections() const;
    int GetIntervalMs() const;
    // Raises one host's interval to at least nIntervalMs (a robots.txt
    // Crawl-delay); never lowers it below the general one.
    void RaiseHostInterval(std::string_view strHost, int nIntervalMs);
    // Forgets every host (tests).
    void Reset();

    // Waits for a turn at strHost. True when the request may start now (the
    // caller must Release the host when it is over); false when pStop (may be
    // null) was set first: the waiter leaves the queue at once.
    bool Acquire(std::string_view strHost, const CEvent* pStop);
    void Release(std::string_view strHost);

    // How many requests to strHost are in flight / waiting (tests, logs).
    int InFlight(std::string_view strHost) const;
    int Waiting(std::string_view strHost) const;

    // The key a URL's host is counted under: the host name in lower case.
    static std::string HostKey(std::string_view strHost);

private:
    using Clock = std::chrono::steady_clock;
    struct SHost {
        int nInFlight = 0;
        int nIntervalMs = 0;  // Raised interval for this host; 0: the general one.
        bool bStarted = false;
        Clock::time_point tLastStart;
        std::deque<std::uint64_t> aQueue;  // Waiting tickets, oldest first.
    };

    SHost& HostFor(const std::string& strKey);
    void DropIfIdle(const std::string& strKey);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, SHost> m_aHosts;
    std::uint64_t m_nNextTicket = 1;
    int m_nConnections = DEFAULT_CONNECTIONS;
    int m_nIntervalMs = DEFAULT_INTERVAL_MS;
};

// A turn at one host, released when it goes out of scope.
class CHostTurn
{
public:
    CHostTurn() = default;
    ~CHostTurn() { Release(); }
    CHostTurn(const CHostTurn&) = delete;
    CHostTurn& operator=(const CHostTurn&) = delete;

    // Waits for a turn at the host of strUrl (limiter: the shared one when
    // null); false when pStop was set first. A URL without a host needs no
    // turn and is granted at once.
    bool Acquire(std::string_view strUrl, const CEvent* pStop, CHostLimiter* pLimiter = nullptr);
    // The same for a host name.
    bool AcquireHost(std::string_view strHost, const CEvent* pStop, CHostLimiter* pLimiter = nullptr);
    void Release();
    bool IsHeld() const { return m_pLimiter != nullptr; }

private:
    CHostLimiter* m_pLimiter = nullptr;
    std::string m_strHost;
};
