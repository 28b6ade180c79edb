// Runner.cpp - CRunner.
#include "Runner.h"

#include "server/StoreService.h"

#include <algorithm>
#include <ctime>
#include <set>
#include <strings.h>

namespace quarvex {

namespace {

constexpr char RUNNER[] = "quarvex-runner";

std::int64_t NowUnix()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

CRunner::CRunner(CStoreClient& store, CRunnerLog& log, SRunnerSetup setup)
    : m_store(store), m_log(log), m_setup(std::move(setup)), m_nStarted(NowUnix())
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

bool CRunner::Relist()
{
    std::vector<std::string> aIds;
    if (!m_store.ListTasks(aIds)) {
        // An expired session answers "failed": one new login, one more try.
        if (m_store.GetLastError() != 0 || Login() != StoreLogin::OK || !m_store.ListTasks(aIds)) {
            m_log.Write(RUNNER, "listing the account's tasks failed; the tasks keep running as they are");
            return false;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_nLastRelist = NowUnix();
        if (m_bStopping)
            return true;
    }

    // The account's tasks in the store's order, then the chosen examples.
    std::vector<std::pair<std::string, bool>> aWanted;
    std::set<std::string> setWanted;
    for (const std::string& strId : aIds) {
        if (setWanted.insert(strId).second)
            aWanted.emplace_back(strId, false);
    }
    const bool bExampleUser = strcasecmp(m_setup.strUser.c_str(), CStoreService::EXAMPLE_ACCOUNT) == 0;
    if (!m_setup.aChosenExamples.empty() && !bExampleUser) {
        std::vector<std::string> aOffered;
        if (m_store.ListExamples(aOffered)) {
            for (const std::string& strId : m_setup.aChosenExamples) {
                if (std::find(aOffered.begin(), aOffered.end(), strId) != aOffered.end() &&
                    setWanted.insert(strId).second)
                    aWanted.emplace_back(strId, true);
            }
        } else {
            // Without the example list, the examples running now stay.
            std::lock_guard lock(m_mutex);
            for (const SEntry& entry : m_aEntries) {
                if (entry.bExample && setWanted.insert(entry.pTask->GetId()).second)
                    aWanted.emplace_back(entry.pTask->GetId(), true);
            }
        }
    }

    // Deleted tasks stop first, all at once, then are waited for.
    std::vector<std::shared_ptr<CRunnerTask>> aGone;
    {
        std::lock_guard lock(m_mutex);
        for (const SEntry& entry : m_aEntries) {
            if (setWanted.count(entry.pTask->GetId()) == 0)
                aGone.push_back(entry.pTask);
        }
    }
    for (const auto& pTask : aGone)
        pTask->RequestStop();
    for (const auto& pTask : aGone) {
        pTask->StopAndWait();
        m_log.Write(pTask->GetName(), "no longer in the account: stopped and dropped");
    }

    std::vector<SEntry> aEntries;
    aEntries.reserve(aWanted.size());
    for (const auto& [strId, bExample] : aWanted) {
        const std::optional<std::string> text = m_store.LoadTask(strId, bExample ? std::string() : m_store.GetToken());
        std::shared_ptr<CRunnerTask> pTask;
        if (text) {
            pTask = Apply(strId, *text);
        } else {
            // A task that cannot be loaded now keeps running as it was.
            pTask = Find(strId);
            m_log.Write(pTask ? pTask->GetName() : strId,
                        "loading the definition from the store failed; " +
                            std::string(pTask ? "it keeps running as it was" : "it is tried again at the next relist"));
        }
        if (pTask)
            aEntries.push_back({ pTask, bExample });
    }
    std::lock_guard lock(m_mutex);
    m_aEntries = std::move(aEntries);
    return true;
}

std::shared_ptr<CRunnerTask> CRunner::Find(const std::string& strId) const
{
    std::lock_guard lock(m_mutex);
    for (const SEntry& entry : m_aEntries) {
        if (entry.pTask->GetId() == strId)
            return entry.pTask;
    }
    return nullptr;
}

std::shared_ptr<CRunnerTask> CRunner::Apply(const std::string& strId, const std::string& strText)
{
    std::shared_ptr<CRunnerTask> pTask = Find(strId);
    if (pTask && pTask->GetText() == strText)
        return pTask;
    if (pTask) {
        // Changed in the store: the pass in progress ends, then the new
        // definition runs.
        pTask->StopAndWait();
        if (!pTask->Load(strText)) {
            m_log.Write(strId, "the changed definition is not a task definition (no root element); the task stays stopped");
            return pTask;
        }
        StartIfWanted(*pTask, "changed in the store: reloaded");
        return pTask;
    }
    pTask = std::make_shared<CRunnerTask>(strId, m_log, m_setup.pAlarms, m_setup.fnSlip);
    if (!pTask->Load(strText)) {
        m_log.Write(strId, "not a task definition (no root element); not run");
        return pTask;
    }
    StartIfWanted(*pTask, "loaded");
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
    }
    return status;
}

std::size_t CRunner::GetTaskCount() const
{
    std::lock_guard lock(m_mutex);
    return m_aEntries.size();
}

} // namespace quarvex
