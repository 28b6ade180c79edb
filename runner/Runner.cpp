// Runner.cpp - CRunner.
#include "Runner.h"

#include "engine/RecordState.h"
#include "http/HttpSession.h"
#include "server/StoreService.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <strings.h>
#include <unistd.h>

namespace quarvex {

namespace {

constexpr char RUNNER[] = "quarvex-runner";

std::int64_t NowUnix()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

std::string MakeHolderName()
{
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) != 0)
        szHost[0] = '\0';
    std::string strHolder;
    for (const char* p = szHost; *p != '\0' && strHolder.size() < 40; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        strHolder += c > 0x20 && c < 0x7F ? static_cast<char>(c) : '_';
    }
    if (strHolder.empty())
        strHolder = "runner";
    return strHolder + ":" + std::to_string(static_cast<long>(getpid()));
}

CRunner::CRunner(CStoreClient& store, CRunnerLog& log, SRunnerSetup setup)
    : m_store(store), m_log(log), m_setup(std::move(setup)), m_nStarted(NowUnix()), m_tLastRenewal(Clock::now())
{
}

CRunner::~CRunner()
{
    StopAll();
}

StoreLogin CRunner::Login()
{
    const StoreLogin eLogin = m_store.Login(m_setup.strUser, m_setup.strPassword);
    switch (eLogin) {
    case StoreLogin::OK:
        m_log.Write(RUNNER, "logged in to the task store as " + m_setup.strUser);
        break;
    case StoreLogin::REFUSED:
        m_log.Write(RUNNER, "the task store refused the login of " + m_setup.strUser + " (name or password wrong)");
        break;
    case StoreLogin::NETWORK:
        m_log.Write(RUNNER, "the task store at " + m_store.GetServer() + " could not be reached (error " +
                                std::to_string(m_store.GetLastError()) + ")");
        break;
    case StoreLogin::UNEXPECTED:
        m_log.Write(RUNNER, "the task store at " + m_store.GetServer() + " gave an unexpected login reply");
        break;
    }
    return eLogin;
}

bool CRunner::ListAccount(std::vector<StoreTaskVersion>& aTasks)
{
    aTasks.clear();
    if (!m_bNoVersions) {
        if (m_store.ListTaskVersions(aTasks))
            return true;
        // A store older than the version list answers it with an error
        // status; any other failure of the exchange is a failed list.
        if (m_store.GetLastError() != 0 && m_store.GetLastError() != HTTP_ERR_STATUS)
            return false;
        // Answered, but with no list: an expired session, or a store that
        // keeps no versions.
        if (m_store.GetLastError() == 0 && Login() == StoreLogin::OK && m_store.ListTaskVersions(aTasks))
            return true;
    }
    std::vector<std::string> aIds;
    bool bListed = m_store.ListTasks(aIds);
    if (!bListed && m_bNoVersions && m_store.GetLastError() == 0 && Login() == StoreLogin::OK)
        bListed = m_store.ListTasks(aIds);
    if (!bListed)
        return false;
    if (!m_bNoVersions) {
        m_bNoVersions = true;
        m_log.Write(RUNNER, "the task store keeps no task versions: every relist loads every definition");
    }
    for (const std::string& strId : aIds)
        aTasks.push_back({ strId, -1 });
    return true;
}

bool CRunner::FindEntry(const std::string& strId, SEntry& entry) const
{
    std::lock_guard lock(m_mutex);
    for (const SEntry& e : m_aEntries) {
        if (e.pTask->GetId() == strId) {
            entry = e;
            return true;
        }
    }
    return false;
}

bool CRunner::Relist()
{
    std::vector<StoreTaskVersion> aListed;
    if (!ListAccount(aListed)) {
        m_log.Write(RUNNER, "listing the account's tasks failed; the tasks keep running as they are");
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_nLastRelist = NowUnix();
        if (m_bStopping)
            return true;
    }

    // The account's tasks in the store's order, then the chosen examples.
    struct SWanted {
        std::string strId;
        bool bExample;
        std::int64_t nVersion;
    };
    std::vector<SWanted> aWanted;
    std::set<std::string> setWanted;
    std::vector<std::string> aListedIds;
    for (const StoreTaskVersion& task : aListed) {
        if (setWanted.insert(task.strId).second) {
            aWanted.push_back({ task.strId, false, task.nVersion });
            aListedIds.push_back(task.strId);
        }
    }
    const bool bExampleUser = strcasecmp(m_setup.strUser.c_str(), CStoreService::EXAMPLE_ACCOUNT) == 0;
    if (!m_setup.aChosenExamples.empty() && !bExampleUser && !m_setup.bLeases) {
        std::vector<std::string> aOffered;
        if (m_store.ListExamples(aOffered)) {
            for (const std::string& strId : m_setup.aChosenExamples) {
                if (std::find(aOffered.begin(), aOffered.end(), strId) != aOffered.end() &&
                    setWanted.insert(strId).second)
                    aWanted.push_back({ strId, true, -1 });
            }
        } else {
            // Without the example list, the examples running now stay.
            std::lock_guard lock(m_mutex);
            for (const SEntry& entry : m_aEntries) {
                if (entry.bExample && setWanted.insert(entry.pTask->GetId()).second)
                    aWanted.push_back({ entry.pTask->GetId(), true, -1 });
            }
        }
    }

    // Deleted tasks stop first, all at once, then are waited for.
    std::vector<std::string> aGone;
    {
        std::lock_guard lock(m_mutex);
        m_aListed = aListedIds;
        for (const SEntry& entry : m_aEntries) {
            if (setWanted.count(entry.pTask->GetId()) == 0)
                aGone.push_back(entry.pTask->GetId());
        }
    }
    StopAndDrop(aGone, "no longer in the account: stopped and dropped");

    std::vector<SEntry> aEntries;
    aEntries.reserve(aWanted.size());
    for (const SWanted& wanted : aWanted) {
        SEntry entry;
        const bool bKnown = FindEntry(wanted.strId, entry);
        // With leases, a task runs here only while this runner holds it.
        if (m_setup.bLeases && !wanted.bExample && !(bKnown && entry.bLeased))
            continue;
        if (bKnown && wanted.nVersion >= 0 && wanted.nVersion == entry.nVersion) {
            aEntries.push_back(entry);
            continue;
        }
        const std::optional<std::string> text =
            m_store.LoadTask(wanted.strId, wanted.bExample ? std::string() : m_store.GetToken());
        if (!text) {
            // A task that cannot be loaded now keeps running as it was.
            m_log.Write(bKnown ? entry.pTask->GetName() : wanted.strId,
                        "loading the definition from the store failed; " +
                            std::string(bKnown ? "it keeps running as it was" : "it is tried again at the next relist"));
            if (bKnown)
                aEntries.push_back(entry);
            continue;
        }
        if (!bKnown) {
            entry = SEntry();
            entry.bExample = wanted.bExample;
        }
        entry.pTask = Apply(wanted.strId, *text, entry.bLeased ? entry.lease.nFence : 0);
        entry.nVersion = wanted.nVersion;
        aEntries.push_back(entry);
    }
    std::lock_guard lock(m_mutex);
    // Leases taken meanwhile by no one else than this thread: none; the
    // entries are exactly the ones kept above.
    m_aEntries = std::move(aEntries);
    return true;
}

std::shared_ptr<CRunnerTask> CRunner::Apply(const std::string& strId, const std::string& strText, std::int64_t nFence)
{
    SEntry entry;
    std::shared_ptr<CRunnerTask> pTask = FindEntry(strId, entry) ? entry.pTask : nullptr;
    if (pTask && pTask->GetText() == strText)
        return pTask;
    const char* pszWhat = "loaded";
    if (pTask) {
        // Changed in the store: the pass in progress ends, then the new
        // definition runs.
        pTask->StopAndWait();
        pszWhat = "changed in the store: reloaded";
    } else {
        pTask = std::make_shared<CRunnerTask>(strId, m_log, m_setup.pAlarms, m_setup.fnSlip);
        if (!m_setup.strDataDir.empty())
            pTask->GetTask().SetRecordStateFile(RecordStatePathForId(m_setup.strDataDir, strId));
    }
    if (!pTask->Load(strText)) {
        m_log.Write(strId, "not a task definition (no root element); not run");
        return pTask;
    }
    if (nFence > 0)
        pTask->GetTask().SetFence(nFence);
    StartIfWanted(*pTask, pszWhat);
    return pTask;
}

void CRunner::StartIfWanted(CRunnerTask& task, const char* pszWhat)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bStopping)
            return;
    }
    if (!task.ShouldRun()) {
        m_log.Write(task.GetName(), std::string(pszWhat) + "; not started (autoload off or no period)");
        return;
    }
    if (task.Start())
        m_log.Write(task.GetName(), std::string(pszWhat) + " and started, every " +
                                        std::to_string(task.GetTask().GetPeriod()) + " s");
    else
        m_log.Write(task.GetName(), std::string(pszWhat) + "; its thread could not be started");
}

void CRunner::StopAndDrop(const std::vector<std::string>& aIds, const std::string& strWhy)
{
    if (aIds.empty())
        return;
    std::vector<std::shared_ptr<CRunnerTask>> aTasks;
    {
        std::lock_guard lock(m_mutex);
        for (const SEntry& entry : m_aEntries) {
            if (std::find(aIds.begin(), aIds.end(), entry.pTask->GetId()) != aIds.end())
                aTasks.push_back(entry.pTask);
        }
    }
    for (const auto& pTask : aTasks)
        pTask->RequestStop();
    for (const auto& pTask : aTasks) {
        pTask->StopAndWait();
        m_log.Write(pTask->GetName(), strWhy);
    }
    std::lock_guard lock(m_mutex);
    m_aEntries.erase(std::remove_if(m_aEntries.begin(), m_aEntries.end(),
                                    [&](const SEntry& entry) {
                                        return std::find(aIds.begin(), aIds.end(), entry.pTask->GetId()) !=
                                               aIds.end();
                                    }),
                     m_aEntries.end());
}

void CRunner::LeaseCycle()
{
    if (!m_setup.bLeases)
        return;
    std::vector<StoreLease> aHeld;
    std::size_t nListed = 0;
    bool bListed = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_bStopping)
            return;
        for (const SEntry& entry : m_aEntries) {
            if (entry.bLeased)
                aHeld.push_back(entry.lease);
        }
        nListed = m_aListed.size();
        bListed = m_nLastRelist != 0;
    }
    const int nTtl = m_setup.nLeaseSeconds;
    const Clock::time_point tNow = Clock::now();
    if (!aHeld.empty()) {
        std::vector<StoreLease> aKept;
        if (!m_store.RenewLeases(m_setup.strHolder, aHeld, nTtl, aKept)) {
            // The store may give a lease away once it expires: the tasks stop
            // well before that, while no other runner can have them yet.
            if (tNow - m_tLastRenewal > std::chrono::milliseconds(nTtl * 2000 / 3)) {
                std::vector<std::string> aIds;
                for (const StoreLease& lease : aHeld)
                    aIds.push_back(lease.strId);
                StopAndDrop(aIds, "its lease could not be renewed in time: stopped");
            } else {
                m_log.Write(RUNNER, "renewing " + std::to_string(aHeld.size()) + " leases failed; trying again");
            }
            return;
        }
        m_tLastRenewal = tNow;
        std::vector<std::string> aLost;
        for (const StoreLease& lease : aHeld) {
            if (std::none_of(aKept.begin(), aKept.end(), [&](const StoreLease& k) { return k.strId == lease.strId; }))
                aLost.push_back(lease.strId);
        }
        StopAndDrop(aLost, "its lease was lost: stopped (another runner may run it now)");
        aHeld = aKept;
    }

    int nWant = bListed ? static_cast<int>(nListed) - static_cast<int>(aHeld.size()) : 1000;
    if (nWant <= 0)
        return;
    nWant = std::min(nWant, 1000);
    std::vector<StoreLease> aGranted;
    if (!m_store.LeaseTasks(m_setup.strHolder, nWant, nTtl, aGranted)) {
        // Said once per run of failures; a store without leases runs nothing
        // here rather than everything on every runner.
        if (!m_bLeaseFailed)
            m_log.Write(RUNNER, "asking the store for task leases failed (error " +
                                    std::to_string(m_store.GetLastError()) +
                                    "); a store without leases needs --no-lease");
        m_bLeaseFailed = true;
        return;
    }
    m_bLeaseFailed = false;
    if (aHeld.empty())
        m_tLastRenewal = tNow;
    // Loading and starting many tasks takes time on this thread, which also
    // renews: past a third of the lease period the rest is given back, to
    // be taken in the next cycles, so the next renewal comes in time.
    const auto tGiveBack = tNow + std::chrono::milliseconds(nTtl * 1000 / 3);
    int nGivenBack = 0;
    for (const StoreLease& lease : aGranted) {
        if (Clock::now() > tGiveBack) {
            m_store.ReleaseLease(m_setup.strHolder, lease);
            ++nGivenBack;
            continue;
        }
        const std::optional<std::string> text = m_store.LoadTask(lease.strId, m_store.GetToken());
        if (!text) {
            // Someone else may load it; this runner gives it back.
            m_store.ReleaseLease(m_setup.strHolder, lease);
            m_log.Write(lease.strId, "leased, but its definition could not be loaded: lease given back");
            continue;
        }
        SEntry entry;
        entry.bLeased = true;
        entry.lease = lease;
        m_log.Write(TaskNameOf(*text), "lease taken (fencing number " + std::to_string(lease.nFence) + ")");
        entry.pTask = Apply(lease.strId, *text, lease.nFence);
        std::lock_guard lock(m_mutex);
        m_aEntries.push_back(entry);
    }
    if (nGivenBack > 0)
        m_log.Write(RUNNER, "gave back " + std::to_string(nGivenBack) + " leases not started in time; taken later");
    // The status lists the tasks in the store's order.
    std::lock_guard lock(m_mutex);
    std::map<std::string, std::size_t> order;
    for (std::size_t i = 0; i < m_aListed.size(); ++i)
        order.emplace(m_aListed[i], i);
    std::stable_sort(m_aEntries.begin(), m_aEntries.end(), [&](const SEntry& a, const SEntry& b) {
        const auto itA = order.find(a.pTask->GetId());
        const auto itB = order.find(b.pTask->GetId());
        return (itA == order.end() ? order.size() : itA->second) < (itB == order.end() ? order.size() : itB->second);
    });
}

void CRunner::RequestStopAll()
{
    std::vector<SEntry> aEntries;
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
        aEntries = m_aEntries;
    }
    for (const SEntry& entry : aEntries)
        entry.pTask->RequestStop();
}

bool CRunner::AnyRunning() const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_aEntries.begin(), m_aEntries.end(),
                       [](const SEntry& entry) { return entry.pTask->IsRunning(); });
}

void CRunner::StopAll()
{
    RequestStopAll();
    std::vector<SEntry> aEntries;
    {
        std::lock_guard lock(m_mutex);
        aEntries = m_aEntries;
    }
    for (const SEntry& entry : aEntries)
        entry.pTask->StopAndWait();
    ReleaseAll();
}

void CRunner::ReleaseAll()
{
    std::vector<StoreLease> aHeld;
    {
        std::lock_guard lock(m_mutex);
        for (SEntry& entry : m_aEntries) {
            if (entry.bLeased)
                aHeld.push_back(entry.lease);
            entry.bLeased = false;
        }
    }
    // Given back, the tasks can be taken by another runner at once.
    for (const StoreLease& lease : aHeld)
        m_store.ReleaseLease(m_setup.strHolder, lease);
    if (!aHeld.empty())
        m_log.Write(RUNNER, "gave back " + std::to_string(aHeld.size()) + " leases");
}

SRunnerStatus CRunner::GetStatus() const
{
    std::vector<SEntry> aEntries;
    SRunnerStatus status;
    {
        std::lock_guard lock(m_mutex);
        aEntries = m_aEntries;
        status.bStopping = m_bStopping;
        status.nLastRelist = m_nLastRelist;
        status.nStarted = m_nStarted;
    }
    status.aTasks.reserve(aEntries.size());
    for (const SEntry& entry : aEntries) {
        status.aTasks.push_back(entry.pTask->GetStatus());
        if (entry.pTask->IsRunning())
            ++status.nRunning;
        if (entry.bLeased)
            ++status.nLeasesHeld;
    }
    return status;
}

std::size_t CRunner::GetTaskCount() const
{
    std::lock_guard lock(m_mutex);
    return m_aEntries.size();
}

} // namespace quarvex
