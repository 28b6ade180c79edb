// RunnerTask.cpp - CRunnerTask.
#include "RunnerTask.h"

#include "engine/RecordStore.h"

#include <algorithm>
#include <ctime>
#include <string>

namespace quarvex {

namespace {

std::int64_t NowUnix()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

CRunnerTask::CRunnerTask(std::string strId, CRunnerLog& log, IAlarmSink* pAlarms, FnSlip fnSlip)
    : m_strId(std::move(strId)), m_log(log), m_pAlarms(pAlarms), m_fnSlip(std::move(fnSlip))
{
    m_status.strId = m_strId;
    m_status.strState = "idle";
}

CRunnerTask::~CRunnerTask()
{
    m_task.StopAndWait();
    m_task.WaitNotified(-1);
}

bool CRunnerTask::Load(const std::string& strText)
{
    const bool bLoaded = m_task.LoadDefinition(strText.c_str());
    m_strText = strText;
    std::lock_guard lock(m_mutex);
    m_status.strName = bLoaded ? m_task.GetTaskName() : std::string();
    m_status.nPeriod = bLoaded ? m_task.GetPeriod() : 0;
    m_status.strState = bLoaded ? "idle" : "invalid";
    // A new definition yields what it yields: it is judged afresh.
    m_watch = CBreakageWatch();
    m_status.bBroken = false;
    m_status.bFailing = false;
    m_bHaveEnd = false;
    return bLoaded;
}

bool CRunnerTask::ShouldRun() const
{
    std::lock_guard lock(m_mutex);
    return m_status.strState != "invalid" && m_task.GetAutoLoad() && m_task.GetPeriod() > 0;
}

bool CRunnerTask::Start()
{
    {
        std::lock_guard lock(m_mutex);
        m_status.strState = "running";
        m_bHaveEnd = false;
    }
    if (m_task.Start(this))
        return true;
    std::lock_guard lock(m_mutex);
    m_status.strState = "stopped";
    return false;
}

void CRunnerTask::StopAndWait()
{
    m_task.StopAndWait();
    // The last notifications (the end of a pass, OnStopped) land before the
    // caller reloads or drops the task.
    m_task.WaitNotified(10000);
}

std::string CRunnerTask::GetName() const
{
    std::lock_guard lock(m_mutex);
    return m_status.strName;
}

STaskStatus CRunnerTask::GetStatus() const
{
    // The outbox is the task's own, read under its lock.
    std::int64_t nPending = 0;
    for (int nSink = 0; nSink < SINK_COUNT; ++nSink)
        nPending += static_cast<std::int64_t>(m_task.GetPendingDeliveries(nSink));
    std::lock_guard lock(m_mutex);
    STaskStatus status = m_status;
    status.nPending = nPending;
    return status;
}

void CRunnerTask::OnCountdownRange(int nMax)
{
    std::lock_guard lock(m_mutex);
    m_nCountdownMax = nMax;
}

void CRunnerTask::OnCountdown(int nPos)
{
    // The countdown shows full exactly when a pass begins.
    if (nPos != m_nCountdownMax)
        return;
    double dSlip = 0;
    bool bSlip = false;
    {
        std::lock_guard lock(m_mutex);
        m_tPassStart = Clock::now();
        m_bNoted = false;
        if (m_bHaveEnd) {
            const auto tDue = m_tPassEnd + std::chrono::seconds(m_nCountdownMax);
            dSlip = std::chrono::duration<double>(m_tPassStart - tDue).count();
            if (dSlip < 0)
                dSlip = 0;
            m_status.dLastSlip = dSlip;
            bSlip = true;
        }
        m_bHaveEnd = false;
    }
    if (bSlip && m_fnSlip)
        m_fnSlip(dSlip);
}

void CRunnerTask::OnLog(const std::string& strLine)
{
    m_log.WriteTaskLine(GetName(), strLine);
}

void CRunnerTask::OnPassNote(EPassNote eNote)
{
    std::lock_guard lock(m_mutex);
    m_bNoted = true;
    m_eNote = eNote;
}

void CRunnerTask::OnPassEnd(bool bFetched, int nSeen, int nNew)
{
    const std::int64_t nNow = NowUnix();
    bool bBrokenChanged = false;
    bool bFailingChanged = false;
    bool bBroken = false;
    bool bFailing = false;
    std::string strBrokenDetail;
    {
        std::lock_guard lock(m_mutex);
        const Clock::time_point tEnd = Clock::now();
        CBreakageWatch::EPass ePass = bFetched ? CBreakageWatch::PASS_PARSED : CBreakageWatch::PASS_FAILED;
        if (m_bNoted)
            ePass = m_eNote == EPassNote::NOT_MODIFIED ? CBreakageWatch::PASS_UNCHANGED
                                                       : CBreakageWatch::PASS_REFUSED;
        m_bNoted = false;
        ++m_status.nPasses;
        if (ePass == CBreakageWatch::PASS_FAILED)
            ++m_status.nFailedPasses;
        m_status.nSeen += nSeen;
        m_status.nNew += nNew;
        m_status.nLastSeen = nSeen;
        m_status.nLastNew = nNew;
        m_status.nLastPassEnd = nNow;
        if (nNew > 0)
            m_status.nLastNewRecord = nNow;
        m_status.dLastDuration = std::chrono::duration<double>(tEnd - m_tPassStart).count();
        m_tPassEnd = tEnd;
        m_bHaveEnd = true;

        m_watch.AddPass(ePass, nSeen);
        bBroken = m_watch.IsBroken();
        bFailing = m_watch.IsFailing();
        bBrokenChanged = bBroken != m_status.bBroken;
        bFailingChanged = bFailing != m_status.bFailing;
        m_status.bBroken = bBroken;
        m_status.bFailing = bFailing;
        if (bBrokenChanged) {
            char szMedian[32];
            std::snprintf(szMedian, sizeof szMedian, "%g", m_watch.GetMedian());
            strBrokenDetail = "last page gave " + std::to_string(nSeen) + " records; median of the pages before: " +
                              szMedian;
        }
    }
    if (bBrokenChanged)
        RaiseOrClear("broken", bBroken, strBrokenDetail, nNow);
    if (bFailingChanged)
        RaiseOrClear("failing", bFailing,
                     bFailing ? "the last 3 fetches of the page failed" : "the page was fetched again", nNow);
}

void CRunnerTask::OnPendingDeliveries(std::size_t nPending)
{
    std::lock_guard lock(m_mutex);
    m_status.nPending = static_cast<std::int64_t>(nPending);
}

void CRunnerTask::OnStopped()
{
    std::lock_guard lock(m_mutex);
    if (m_status.strState == "running")
        m_status.strState = "stopped";
    m_bHaveEnd = false;
}

void CRunnerTask::RaiseOrClear(const char* pszAlarm, bool bRaised, const std::string& strDetail, std::int64_t nNow)
{
    STaskAlarm alarm;
    alarm.strId = m_strId;
    alarm.strName = GetName();
    alarm.strAlarm = pszAlarm;
    alarm.bRaised = bRaised;
    alarm.nTime = nNow;
    alarm.strDetail = strDetail;
    m_log.Write(alarm.strName, std::string("ALARM ") + pszAlarm + (bRaised ? " raised: " : " cleared: ") + strDetail);
    if (m_pAlarms)
        m_pAlarms->OnAlarm(alarm);
}

} // namespace quarvex
