// HostLimiter.cpp - the per-host queue. Waiters sleep on one condition
// variable and look at their stop event at least every POLL_MS, so a stopped
// task leaves the queue well within a second.
#include "HostLimiter.h"
#include "platform/AsciiText.h"

#include "http/Url.h"
#include "platform/Event.h"

#include <algorithm>

namespace {

constexpr int POLL_MS = 50;

} // namespace

CHostLimiter& CHostLimiter::Instance()
{
    static CHostLimiter limiter;
    return limiter;
}

std::string CHostLimiter::HostKey(std::string_view strHost)
{
    return quarvex::LowerAscii(strHost);
}

void CHostLimiter::Configure(int nConnections, int nIntervalMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nConnections = std::clamp(nConnections, 1, static_cast<int>(MAX_CONNECTIONS));
        m_nIntervalMs = std::clamp(nIntervalMs, 0, static_cast<int>(MAX_INTERVAL_MS));
    }
    m_changed.notify_all();
}

int CHostLimiter::GetConnections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nConnections;
}

int CHostLimiter::GetIntervalMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nIntervalMs;
}

void CHostLimiter::RaiseHostInterval(std::string_view strHost, int nIntervalMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        SHost& host = HostFor(HostKey(strHost));
        host.nIntervalMs = std::max(host.nIntervalMs, std::clamp(nIntervalMs, 0, static_cast<int>(MAX_INTERVAL_MS)));
    }
    m_changed.notify_all();
}

void CHostLimiter::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aHosts.clear();
    m_nConnections = DEFAULT_CONNECTIONS;
    m_nIntervalMs = DEFAULT_INTERVAL_MS;
}

CHostLimiter::SHost& CHostLimiter::HostFor(const std::string& strKey)
{
    return m_aHosts[strKey];
}

void CHostLimiter::DropIfIdle(const std::string& strKey)
{
    // A host nobody uses is forgotten, so that a long run over many sites
    // keeps no entry per site it ever saw; a raised interval stays, and so
    // does the time of the last start while the interval still counts.
    const auto it = m_aHosts.find(strKey);
    if (it == m_aHosts.end())
        return;
    const SHost& host = it->second;
    if (host.nInFlight > 0 || !host.aQueue.empty() || host.nIntervalMs > 0)
        return;
    if (m_nIntervalMs > 0 && host.bStarted
        && Clock::now() < host.tLastStart + std::chrono::milliseconds(m_nIntervalMs))
        return;
    m_aHosts.erase(it);
}

bool CHostLimiter::Acquire(std::string_view strHost, const CEvent* pStop)
{
    const std::string strKey = HostKey(strHost);
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t nTicket = m_nNextTicket++;
    HostFor(strKey).aQueue.push_back(nTicket);
    for (;;) {
        // The map may have rehomed nothing (std::map keeps its nodes), but
        // another thread's Reset() may have dropped the entry: look it up anew.
        SHost& host = HostFor(strKey);
        if (std::find(host.aQueue.begin(), host.aQueue.end(), nTicket) == host.aQueue.end())
            host.aQueue.push_back(nTicket);
        if (pStop != nullptr && pStop->IsSet()) {
            host.aQueue.erase(std::find(host.aQueue.begin(), host.aQueue.end(), nTicket));
            DropIfIdle(strKey);
            lock.unlock();
            // The next in line may be free to go now.
            m_changed.notify_all();
            return false;
        }
        Clock::time_point tWake = Clock::now() + std::chrono::milliseconds(POLL_MS);
        if (host.aQueue.front() == nTicket && host.nInFlight < m_nConnections) {
            const int nInterval = std::max(host.nIntervalMs, m_nIntervalMs);
            const Clock::time_point tNow = Clock::now();
            const Clock::time_point tAllowed = host.tLastStart + std::chrono::milliseconds(nInterval);
            if (!host.bStarted || nInterval == 0 || tNow >= tAllowed) {
                host.aQueue.pop_front();
                ++host.nInFlight;
                host.bStarted = true;
                host.tLastStart = tNow;
                lock.unlock();
                m_changed.notify_all();
                return true;
            }
            tWake = std::min(tWake, tAllowed);
        }
        m_changed.wait_until(lock, tWake);
    }
}

void CHostLimiter::Release(std::string_view strHost)
{
    const std::string strKey = HostKey(strHost);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_aHosts.find(strKey);
        if (it == m_aHosts.end() || it->second.nInFlight == 0)
            return;
        --it->second.nInFlight;
        DropIfIdle(strKey);
    }
    m_changed.notify_all();
}

int CHostLimiter::InFlight(std::string_view strHost) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_aHosts.find(HostKey(strHost));
    return it == m_aHosts.end() ? 0 : it->second.nInFlight;
}

int CHostLimiter::Waiting(std::string_view strHost) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_aHosts.find(HostKey(strHost));
    return it == m_aHosts.end() ? 0 : static_cast<int>(it->second.aQueue.size());
}

bool CHostTurn::Acquire(std::string_view strUrl, const CEvent* pStop, CHostLimiter* pLimiter)
{
    Release();
    std::string strHost, strPath;
    int nPort = 0;
    bool bSecure = false;
    if ((!ParseUrl(strUrl, strHost, strPath, nPort, &bSecure)
         && !ParseUrl("http://" + std::string(strUrl), strHost, strPath, nPort, &bSecure))
        || strHost.empty())
        return pStop == nullptr || !pStop->IsSet();
    return AcquireHost(strHost, pStop, pLimiter);
}

bool CHostTurn::AcquireHost(std::string_view strHost, const CEvent* pStop, CHostLimiter* pLimiter)
{
    Release();
    if (strHost.empty())
        return pStop == nullptr || !pStop->IsSet();
    if (pLimiter == nullptr)
        pLimiter = &CHostLimiter::Instance();
    if (!pLimiter->Acquire(strHost, pStop))
        return false;
    m_pLimiter = pLimiter;
    m_strHost = strHost;
    return true;
}

void CHostTurn::Release()
{
    if (m_pLimiter != nullptr)
        m_pLimiter->Release(m_strHost);
    m_pLimiter = nullptr;
    m_strHost.clear();
}
