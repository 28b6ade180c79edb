// TaskLeases.cpp - taking, renewing and giving back the desktop's leases.
#include "TaskLeases.h"

#include "http/HttpSession.h"

#include <algorithm>
#include <chrono>

#include <unistd.h>

namespace quarvex {

namespace {

// A renewal that takes longer than this fails; the next one is due then.
constexpr int MAX_CALL_MS = 30000;

CStoreClient BoundedCopy(const CStoreClient& store, int nTtlSeconds)
{
    CStoreClient copy(store);
    copy.SetCallLimit(std::clamp(nTtlSeconds * 1000 / 3, 1000, MAX_CALL_MS));
    return copy;
}

} // namespace

CTaskLeases::CTaskLeases(const CStoreClient& store, std::string strHolder, int nTtlSeconds, LostFn fnLost)
    : m_base(BoundedCopy(store, std::max(1, nTtlSeconds)))
    , m_strHolder(std::move(strHolder))
    , m_nTtlSeconds(std::max(1, nTtlSeconds))
    , m_fnLost(std::move(fnLost))
{
    m_thread = std::thread([this] { ThreadMain(); });
}

CTaskLeases::~CTaskLeases()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::int64_t CTaskLeases::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string CTaskLeases::MakeHolderName()
{
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) != 0)
        szHost[0] = '\0';
    std::string strHost;
    for (const char* p = szHost; *p != '\0' && strHost.size() < 40; ++p) {
        const char c = *p;
        const bool bPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                            c == '-' || c == '_';
        strHost += bPlain ? c : '_';
    }
    if (strHost.empty())
        strHost = "host";
    return "desktop:" + strHost + ":" + std::to_string(static_cast<long>(getpid()));
}

CTaskLeases::EGrant CTaskLeases::Acquire(const std::string& strId)
{
    std::lock_guard<std::mutex> call(m_callMutex);
    {
        // A release not yet sent would give back the grant asked for now.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aToRelease.erase(std::remove_if(m_aToRelease.begin(), m_aToRelease.end(),
                                          [&](const StoreLease& lease) { return lease.strId == strId; }),
                           m_aToRelease.end());
    }
    CStoreClient client(m_base);
    std::optional<StoreLease> lease = client.LeaseTask(m_strHolder, strId, m_nTtlSeconds);
    if (lease) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held[strId] = SHeld{ *lease, NowMs() };
        return EGrant::GRANTED;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.erase(strId);
    }
    switch (client.GetLastError()) {
    case HTTP_ERR_STATUS:
        // An error status for the request itself: a store from before
        // leases, which answers requests it does not know that way.
        return EGrant::NO_LEASES;
    case HTTP_OK:
        // The store answered and granted nothing.
        return EGrant::ELSEWHERE;
    default:
        return EGrant::UNREACHABLE;
    }
}

void CTaskLeases::Release(const std::string& strId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_held.find(strId);
        if (it == m_held.end())
            return;
        m_aToRelease.push_back(it->second.lease);
        m_held.erase(it);
    }
    m_wake.notify_all();
}

bool CTaskLeases::Holds(const std::string& strId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.count(strId) != 0;
}

void CTaskLeases::ThreadMain()
{
    const auto period = std::chrono::milliseconds(std::max(200, m_nTtlSeconds * 1000 / 3));
    auto nextRenewal = std::chrono::steady_clock::now() + period;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_until(lock, nextRenewal, [this] { return m_bQuit || !m_aToRelease.empty(); });
        }
        bool bQuit = false;
        {
            // The call lock first, as Acquire takes it: a grant asked for
            // meanwhile has already dropped its stale release.
            std::lock_guard<std::mutex> call(m_callMutex);
            std::vector<StoreLease> aRelease;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bQuit = m_bQuit;
                aRelease.swap(m_aToRelease);
                if (bQuit) {
                    for (const auto& held : m_held)
                        aRelease.push_back(held.second.lease);
                    m_held.clear();
                }
            }
            CStoreClient client(m_base);
            for (const StoreLease& lease : aRelease)
                client.ReleaseLease(m_strHolder, lease);
        }
        if (bQuit)
            return;
        if (std::chrono::steady_clock::now() >= nextRenewal) {
            RenewAll();
            nextRenewal = std::chrono::steady_clock::now() + period;
        }
    }
}

void CTaskLeases::RenewAll()
{
    std::vector<std::string> aLost;
    {
        std::lock_guard<std::mutex> call(m_callMutex);
        std::vector<StoreLease> aLeases;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& held : m_held)
                aLeases.push_back(held.second.lease);
        }
        if (aLeases.empty())
            return;
        CStoreClient client(m_base);
        std::vector<StoreLease> aKept;
        const bool bAnswered = client.RenewLeases(m_strHolder, aLeases, m_nTtlSeconds, aKept);
        const std::int64_t nNow = NowMs();
        const std::int64_t nPeriodMs = std::max(200, m_nTtlSeconds * 1000 / 3);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const StoreLease& lease : aLeases) {
            auto it = m_held.find(lease.strId);
            if (it == m_held.end() || it->second.lease.nFence != lease.nFence)
                continue;  // Given back meanwhile.
            if (bAnswered) {
                const bool bKept = std::any_of(aKept.begin(), aKept.end(),
                                               [&](const StoreLease& kept) { return kept.strId == lease.strId; });
                if (bKept) {
                    it->second.nRenewedMs = nNow;
                    continue;
                }
            } else if (nNow + nPeriodMs < it->second.nRenewedMs + m_nTtlSeconds * 1000LL) {
                // Not answered, but the lease lasts past the next attempt.
                continue;
            }
            // Taken by another holder, or about to run out unrenewed: from
            // then on a runner may start the task.
            aLost.push_back(lease.strId);
            m_held.erase(it);
        }
    }
    for (const std::string& strId : aLost)
        m_fnLost(strId);
}

} // namespace quarvex
