// TaskRecords.cpp - CTask's records across restarts: the record state, the
// outbox of deliveries still owed to the web post and the database, and the
// life of a kept record (new, changed, gone, back).
#include "Task.h"

#include "PgRecordStore.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "engine/db/DatabaseSink.h"
#include "platform/LocalTime.h"
#include "platform/ProgramDir.h"

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

// The longest wait between two attempts of a sink that keeps failing.
constexpr std::int64_t MAX_DELIVERY_DELAY_MS = 3600 * 1000;
// A batch of record writes ends after this many records or this long.
constexpr std::size_t MAX_BATCH_RECORDS = 100;
constexpr int MAX_BATCH_MS = 50;

} // namespace

// ---- opening, loading, resetting ----

std::string CTask::ColumnSignature() const
{
    // Names, kinds and key flags in column order: what a stored row's
    // meaning depends on. Other edits (addresses, periods, sinks) keep it.
    std::string strSignature;
    for (std::size_t i = 0; i < m_columns.GetCount(); ++i) {
        const CDataNode* pNode = m_columns.GetAt(i);
        strSignature += std::to_string(pNode->m_strName.size());
        strSignature += ':';
        strSignature += pNode->m_strName;
        strSignature += pNode->m_bKey ? "K" : "-";
        strSignature += std::to_string(pNode->m_nType);
        strSignature += ';';
    }
    return strSignature;
}

void CTask::HoldLog(std::string_view strText)
{
    // Lines of a load that happens before anyone listens are given at the
    // start of the next pass instead of being dropped.
    if (m_pObserver != nullptr) {
        Log(strText);
        return;
    }
    std::string strLine = "[";
    strLine += quarvex::FormatLocalTimeNow("%Y-%m-%d %H:%M:%S");
    strLine += "]:";
    strLine += strText;
    strLine += "\r\n";
    m_aHeldLog.push_back(std::move(strLine));
}

void CTask::FlushHeldLog()
{
    for (std::string& strLine : m_aHeldLog)
        Notify([strLine = std::move(strLine)](ITaskObserver& o) { o.OnLog(strLine); });
    m_aHeldLog.clear();
}

void CTask::SetRecordStateFile(const std::string& strPath)
{
    std::lock_guard lock(m_stateMutex);
    if (strPath == m_strStateFile)
        return;
    CommitBatch(false);
    m_strStateFile = strPath;
    m_pStore.reset();
    m_strOpenedStateFile.clear();
    ForgetOutbox();
}

void CTask::ForgetOutbox()
{
    for (auto& queue : m_aOutbox)
        queue.clear();
    m_aInFlight.fill(0);
    m_aAcks.clear();
}

void CTask::SetFence(std::int64_t nFence)
{
    std::lock_guard lock(m_stateMutex);
    CommitBatch(false);  // Written under the number it was begun with.
    m_nFence = nFence;
    m_bFenced = false;
    m_bFenceLogged = false;
}

void CTask::OpenRecordState()
{
    std::lock_guard lock(m_stateMutex);
    CommitBatch(false);
    if (m_strStateFile.empty())
        return;
    const std::string strSignature = ColumnSignature();
    if (m_pStore && m_strOpenedStateFile == m_strStateFile) {
        // A reload of the definition: the rows still fit unless their
        // columns changed.
        std::string strStored;
        if (m_pStore->GetMeta("signature", strStored) && strStored != strSignature)
            ClearForNewColumns(strSignature);
        return;
    }
    if (m_strFailedStateFile == m_strStateFile)
        return;  // Said once already; the task stays in memory.
    m_pStore = CreateRecordStore(m_strStateFile, false);
    std::string strError;
    if (!m_pStore->Open(strError) || !LoadRecordState(strSignature, strError)) {
        m_pStore.reset();
        m_strFailedStateFile = m_strStateFile;
        ForgetOutbox();
        HoldLog("无法打开记录状态文件" + m_strStateFile + "（" + strError + "），本任务的记录只保存在内存中。");
        return;
    }
    m_strOpenedStateFile = m_strStateFile;
}

void CTask::ClearForNewColumns(const std::string& strSignature)
{
    const std::int64_t nCount = m_pStore->CountRecords();
    std::size_t nPending = 0;
    for (const auto& queue : m_aOutbox)
        nPending += queue.size();
    if (!m_pStore->Begin() || !m_pStore->ClearAll() || !m_pStore->SetMeta("signature", strSignature)
        || !m_pStore->SetMeta("columns", PackRow(GetColumnNames())) || !m_pStore->Commit()) {
        m_pStore->Rollback();
        HoldLog("记录状态文件" + m_strStateFile + "写入失败（" + m_pStore->GetError() + "）。");
        return;
    }
    ForgetOutbox();
    m_dataList.Clear();
    Notify([](ITaskObserver& o) { o.OnRowsReset(); });
    std::string strLine = "任务的关键列或列已改变，保存的" + std::to_string(std::max<std::int64_t>(nCount, 0))
        + "条记录已清除";
    if (nPending > 0)
        strLine += "，" + std::to_string(nPending) + "条等待发送的记录不再发送";
    HoldLog(strLine + "。");
}

bool CTask::LoadRecordState(const std::string& strSignature, std::string& strError)
{
    std::string strStored;
    if (!m_pStore->GetMeta("signature", strStored)) {
        strError = m_pStore->GetError();
        return false;
    }
    if (strStored.empty()) {
        if (!m_pStore->Begin() || !m_pStore->SetMeta("signature", strSignature)
            || !m_pStore->SetMeta("columns", PackRow(GetColumnNames())) || !m_pStore->Commit()) {
            strError = m_pStore->GetError();
            return false;
        }
    } else if (strStored != strSignature) {
        ClearForNewColumns(strSignature);
    }
    std::string strPass;
    m_pStore->GetMeta("pass", strPass);
    m_nPassNumber = static_cast<std::uint32_t>(std::strtoul(strPass.c_str(), nullptr, 10));

    // The list becomes what the state holds, rows in the order they were
    // first kept; the key index is rebuilt on the way.
    m_dataList.Clear();
    const bool bRecords = m_pStore->ForEachRecord([this](SStoredRecord& record) {
        const std::size_t nIndex = m_dataList.Append(record.aRow);
        m_dataList.SetRowState(nIndex, static_cast<ERowState>(record.nState));
        m_dataList.SetRowSeen(nIndex, record.nSeenPass);
    });
    ForgetOutbox();
    const bool bDeliveries = bRecords && m_pStore->ForEachDelivery([this](SDelivery& delivery) {
        m_aOutbox[static_cast<std::size_t>(delivery.nSink)].push_back(std::move(delivery));
    });
    if (!bRecords || !bDeliveries) {
        strError = m_pStore->GetError();
        m_dataList.Clear();
        ForgetOutbox();
        Notify([](ITaskObserver& o) { o.OnRowsReset(); });
        return false;
    }
    Notify([](ITaskObserver& o) { o.OnRowsReset(); });
    return true;
}

bool CTask::ResetRecords(std::string& strError)
{
    strError.clear();
    std::lock_guard lock(m_stateMutex);
    // A pass in the middle of a batch: what it wrote is committed first and
    // then cleared with the rest.
    CommitBatch(false);
    if (!m_strStateFile.empty()) {
        std::unique_ptr<IRecordStore> pOwn;
        IRecordStore* pStore = m_pStore.get();
        if (pStore == nullptr) {
            // Not opened by this task (the command line's reset): the file
            // is opened only for this.
            pOwn = CreateRecordStore(m_strStateFile, false);
            if (!pOwn->Open(strError))
                return false;
            pStore = pOwn.get();
        }
        if (!pStore->Begin() || !pStore->ClearAll() || !pStore->Commit()) {
            strError = pStore->GetError();
            pStore->Rollback();
            return false;
        }
    }
    ForgetOutbox();
    m_dataList.Clear();
    Notify([](ITaskObserver& o) { o.OnRowsReset(); });
    return true;
}

// ---- writing ----

bool CTask::BeginStateWrite()
{
    CommitBatch(false);  // Every other write goes after the batch's records.
    if (!m_pStore || m_bFenced)
        return false;
    if (!m_pStore->Begin()) {
        StateWriteFailed();
        return false;
    }
    if (m_nFence > 0) {
        // A holder with a newer number has the task now: nothing of ours
        // may land any more.
        std::string strStored;
        m_pStore->GetMeta("fence", strStored);
        const long long nStored = std::strtoll(strStored.c_str(), nullptr, 10);
        if (nStored > m_nFence) {
            m_pStore->Rollback();
            m_bFenced = true;
            if (!m_bFenceLogged) {
                m_bFenceLogged = true;
                Log("记录状态已由更新的持有者（" + std::to_string(nStored) + "）接管，本任务（"
                    + std::to_string(m_nFence) + "）不再保存记录，也不再发送。");
            }
            return false;
        }
        if (nStored < m_nFence && !m_pStore->SetMeta("fence", std::to_string(m_nFence))) {
            m_pStore->Rollback();
            StateWriteFailed();
            return false;
        }
    }
    for (std::int64_t nId : m_aAcks) {
        if (!m_pStore->RemoveDelivery(nId)) {
            m_pStore->Rollback();
            StateWriteFailed();
            return false;
        }
    }
    return true;
}

bool CTask::CommitStateWrite()
{
    if (m_pStore->Commit()) {
        m_aAcks.clear();
        return true;
    }
    StateWriteFailed();
    return false;
}

void CTask::StateWriteFailed()
{
    if (m_bWriteFailLogged)
        return;
    m_bWriteFailLogged = true;
    Log("记录状态文件" + m_strStateFile + "写入失败（" + m_pStore->GetError() + "），未写入的记录只保存在内存中。");
}

// ---- delivering ----

std::int64_t CTask::NextTryAfter(int nAttempts) const
{
    std::int64_t nDelay = m_nDeliveryBaseMs;
    for (int i = 1; i < nAttempts && nDelay < MAX_DELIVERY_DELAY_MS; ++i)
        nDelay *= 2;
    return NowMs() + std::min(nDelay, MAX_DELIVERY_DELAY_MS);
}

CDatabaseSink* CTask::PassSink()
{
    if (m_bPassSinkTried)
        return m_bPassSinkUsable ? m_pPassSink.get() : nullptr;
    m_bPassSinkTried = true;
    CDbSettings settings;
    settings.m_nType = m_nDbType;
    settings.m_strServer = m_strDbServer;
    settings.m_strDatabase = m_strDbName;
    settings.m_strAccount = m_strDbAccount;
    settings.m_strPassword = m_strDbPassword;
    settings.m_strTable = m_strTableName;
    settings.m_aFieldNames = m_aFieldNames;
    settings.m_aFieldValues = m_aFieldValues;
    settings.m_strProgramDir = quarvex::GetProgramDir();
    m_pPassSink = CreateDatabaseSink(settings, m_aColumnInfo, [this](const std::string& strMessage) { Log(strMessage); });
    m_bPassSinkUsable = m_pPassSink->Open();
    return m_bPassSinkUsable ? m_pPassSink.get() : nullptr;
}

void CTask::AcknowledgeInFlight(int nSink)
{
    std::size_t& nInFlight = m_aInFlight[static_cast<std::size_t>(nSink)];
    auto& queue = m_aOutbox[static_cast<std::size_t>(nSink)];
    if (nInFlight == 0)
        return;
    // The removal rides on the next write of the state (the next record or
    // batch, or the end of the pass): one commit per record instead of two. A process
    // killed before it makes these deliveries once more; it never loses one.
    for (std::size_t i = 0; i < nInFlight; ++i)
        m_aAcks.push_back(queue[i].nId);
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(nInFlight));
    nInFlight = 0;
}

void CTask::DeliveryFailed(int nSink)
{
    auto& queue = m_aOutbox[static_cast<std::size_t>(nSink)];
    m_aSinkFailed[static_cast<std::size_t>(nSink)] = true;
    m_aInFlight[static_cast<std::size_t>(nSink)] = 0;
    if (queue.empty() || m_stopEvent.IsSet())
        return;  // A stop is no failure of the sink.
    SDelivery& head = queue.front();
    ++head.nAttempts;
    head.tNextTry = NextTryAfter(head.nAttempts);
    if (BeginStateWrite()) {
        if (m_pStore->PostponeDelivery(head.nId, head.nAttempts, head.tNextTry))
            CommitStateWrite();
        else
            m_pStore->Rollback();
    }
}

void CTask::DrainOutbox(int nSink)
{
    const std::size_t s = static_cast<std::size_t>(nSink);
    auto& queue = m_aOutbox[s];
    // Strictly in order: a delivery is attempted only once every earlier one
    // to the same sink went through.
    while (m_aInFlight[s] < queue.size() && !m_aSinkFailed[s] && !m_bFenced && !m_stopEvent.IsSet()) {
        const SDelivery& delivery = queue[m_aInFlight[s]];
        if (m_aInFlight[s] == 0 && delivery.tNextTry > NowMs())
            break;  // Still waiting after its last failure.
        if (nSink == SINK_WEBPOST) {
            if (!PostRecord(delivery.aRow)) {
                DeliveryFailed(nSink);
                break;
            }
            ++m_aInFlight[s];
            AcknowledgeInFlight(nSink);
            continue;
        }
        CDatabaseSink* pSink = PassSink();
        bool bOk = pSink != nullptr;
        if (bOk)
            bOk = delivery.nAction == ACTION_UPDATE ? UpdateInDatabase(*pSink, delivery.aRow)
                                                    : pSink->InsertRecord(delivery.aRow);
        if (!bOk) {
            m_bPassSinkUsable = false;
            DeliveryFailed(nSink);
            break;
        }
        ++m_aInFlight[s];
        // A sink that writes in batches has taken the record but maybe not
        // committed it: acknowledged only once nothing is kept back.
        if (!pSink->HasUnwritten())
            AcknowledgeInFlight(nSink);
    }
}

void CTask::FinishDatabaseDeliveries()
{
    if (!m_pPassSink)
        return;
    const bool bFlushed = m_bPassSinkUsable && m_pPassSink->Flush();
    if (bFlushed)
        AcknowledgeInFlight(SINK_DATABASE);
    else if (m_aInFlight[SINK_DATABASE] > 0)
        DeliveryFailed(SINK_DATABASE);
    m_pPassSink->Release();
    m_pPassSink.reset();
    m_bPassSinkTried = false;
    m_bPassSinkUsable = false;
}

void CTask::StartPassDeliveries()
{
    std::lock_guard lock(m_stateMutex);
    m_aSinkFailed.fill(false);
    m_bPassSinkTried = false;
    m_bPassSinkUsable = false;
    if (!m_pStore)
        return;
    const std::size_t nWeb = m_aOutbox[SINK_WEBPOST].size();
    const std::size_t nDb = m_aOutbox[SINK_DATABASE].size();
    if (nWeb + nDb == 0)
        return;
    Log("有" + std::to_string(nWeb + nDb) + "条记录等待发送（WEB POST " + std::to_string(nWeb) + "条，数据库 "
        + std::to_string(nDb) + "条）。");
    DrainOutbox(SINK_WEBPOST);
    DrainOutbox(SINK_DATABASE);
    NotifyPending();
}

void CTask::NotifyPending()
{
    const std::size_t nPending = m_aOutbox[SINK_WEBPOST].size() + m_aOutbox[SINK_DATABASE].size();
    Notify([nPending](ITaskObserver& o) { o.OnPendingDeliveries(nPending); });
}

std::size_t CTask::GetPendingDeliveries(int nSink) const
{
    std::lock_guard lock(m_stateMutex);
    return nSink >= 0 && nSink < SINK_COUNT ? m_aOutbox[static_cast<std::size_t>(nSink)].size() : 0;
}

// ---- the life of a record ----

bool CTask::UpdateInDatabase(CDatabaseSink& sink, const CDataRow& aRow)
{
    // The row to update is found by the fields that carry a key column as a
    // whole; anything else could match rows of other records.
    std::vector<std::string> aWhere;
    for (std::size_t i = 0; i < m_aFieldNames.size() && i < m_aFieldValues.size(); ++i) {
        const std::string& strTemplate = m_aFieldValues[i];
        if (strTemplate.size() < 7 || strTemplate.compare(0, 3, "<@@") != 0
            || strTemplate.compare(strTemplate.size() - 3, 3, "@@>") != 0)
            continue;
        const int nColumn = FindColumn(strTemplate);
        if (nColumn >= 0 && std::find(m_aKeyColumns.begin(), m_aKeyColumns.end(), nColumn) != m_aKeyColumns.end())
            aWhere.push_back(m_aFieldNames[i]);
    }
    if (aWhere.empty()) {
        if (!m_bCannotUpdateLogged) {
            m_bCannotUpdateLogged = true;
            Log("数据库字段中没有只取一个关键列的字段（<@@名称@@>），无法更新已改变的记录。");
        }
        return true;  // Nothing can ever be done with it: not held back.
    }
    return sink.UpdateRecord(aRow, aWhere);
}

void CTask::KeepNewRecord(const CDataRow& aRow)
{
    std::lock_guard lock(m_stateMutex);
    const std::size_t nIndex = m_dataList.Append(aRow);
    m_dataList.SetRowSeen(nIndex, m_nPassNumber);
    Notify([aRow, nIndex](ITaskObserver& o) {
        o.OnRowAdded(aRow);
        o.OnRecordEvent(ERecordEvent::NEW, nIndex, aRow);
    });
    StoreAndDeliver(aRow, ROW_KEPT, m_bWebPost != 0, m_bSaveToDb != 0 && !m_aFieldNames.empty(), ACTION_ADD);
}

void CTask::SeenAgain(std::size_t nIndex, CDataRow& aRecord)
{
    std::lock_guard lock(m_stateMutex);
    m_dataList.SetRowSeen(nIndex, m_nPassNumber);
    m_aSeenRows.push_back(nIndex);
    if (m_dataList.GetRowState(nIndex) == ROW_GONE) {
        // Back again: an ordinary kept record, not delivered again.
        m_dataList.SetRowState(nIndex, ROW_KEPT);
        Notify([nIndex, aRow = m_dataList.GetRow(nIndex)](ITaskObserver& o) {
            o.OnRecordEvent(ERecordEvent::BACK, nIndex, aRow);
        });
    }
    if (m_bChanges == 0 || m_aKeyColumns.empty())
        return;
    // Only what the page itself shows is compared; linked pages and files
    // are never fetched again for a kept record.
    CDataRow aRow = m_dataList.GetRow(nIndex);
    bool bChanged = false;
    for (int k : m_aOtherColumns) {
        const CDataNode* pData = m_columns.GetAt(k);
        if (pData->m_nType == CDataNode::TYPE_LINKED_PAGE || pData->m_nType == CDataNode::TYPE_LINKED_FILE)
            continue;
        const std::size_t i = static_cast<std::size_t>(k);
        pData->GetValue(aRecord[i]);
        if (i < aRow.size() && aRow[i] != aRecord[i]) {
            aRow[i] = aRecord[i];
            bChanged = true;
        }
    }
    if (!bChanged)
        return;
    m_dataList.ReplaceRow(nIndex, aRow);
    m_dataList.SetRowState(nIndex, ROW_CHANGED);
    Notify([nIndex, aRow](ITaskObserver& o) { o.OnRecordEvent(ERecordEvent::CHANGED, nIndex, aRow); });
    StoreAndDeliver(aRow, ROW_CHANGED, m_bWebPost != 0 && m_bPostChanges != 0,
                    m_bSaveToDb != 0 && !m_aFieldNames.empty() && m_bUpdateChanges != 0, ACTION_UPDATE);
}

void CTask::StoreAndDeliver(const CDataRow& aRow, std::uint8_t nState, bool bWeb, bool bDb, int nDbAction)
{
    if (m_pStore && (m_bBatchOpen || BeginStateWrite())) {
        // The record and what it owes the sinks land together, before any
        // attempt: a crash after the commit delivers it later, never not.
        SStoredRecord record;
        record.strKey = m_dataList.KeyOf(aRow);
        record.aRow = aRow;
        // A replaced record keeps the first-seen time it was stored with.
        record.tFirstSeen = record.tLastSeen = record.tLastChanged = std::time(nullptr);
        record.nState = nState;
        record.nSeenPass = m_nPassNumber;
        SDelivery web, db;
        web.nSink = SINK_WEBPOST;
        web.aRow = aRow;
        db.nSink = SINK_DATABASE;
        db.nAction = nDbAction;
        db.aRow = aRow;
        bool bOk = m_pStore->PutRecord(record);
        if (bOk && bWeb)
            bOk = m_pStore->AddDelivery(web);
        if (bOk && bDb)
            bOk = m_pStore->AddDelivery(db);
        if (bOk) {
            if (!m_bBatchOpen) {
                m_bBatchOpen = true;
                m_nBatchRecords = 0;
                m_tBatchOpened = std::chrono::steady_clock::now();
            }
            if (bWeb)
                m_aStaged[SINK_WEBPOST].push_back(std::move(web));
            if (bDb)
                m_aStaged[SINK_DATABASE].push_back(std::move(db));
            // The batch is held only while the walk fetches nothing, and
            // never long: a state shared with another holder waits for it.
            if (!m_bBatchWrites || ++m_nBatchRecords >= MAX_BATCH_RECORDS
                || std::chrono::steady_clock::now() - m_tBatchOpened >= std::chrono::milliseconds(MAX_BATCH_MS))
                CommitBatch(true);
            return;
        }
        // Nothing of the open batch was kept: its records go out as they
        // would without a state, this one after them.
        m_pStore->Rollback();
        StateWriteFailed();
        DeliverStaged(TakeStaged());
    }
    if (m_bFenced)
        return;  // Another holder delivers the task's records now.
    DeliverWithoutState(aRow, bWeb, bDb, nDbAction);
}

void CTask::DeliverWithoutState(const CDataRow& aRow, bool bWeb, bool bDb, int nDbAction)
{
    if (bWeb)
        PostRecord(aRow);
    if (!bDb || !m_bPassSinkUsable)
        return;
    const bool bOk = nDbAction == ACTION_UPDATE ? UpdateInDatabase(*m_pPassSink, aRow) : m_pPassSink->InsertRecord(aRow);
    if (!bOk)
        m_bPassSinkUsable = false;
}

CTask::StagedDeliveries CTask::TakeStaged()
{
    m_bBatchOpen = false;
    m_nBatchRecords = 0;
    StagedDeliveries aStaged;
    aStaged.swap(m_aStaged);
    return aStaged;
}

void CTask::DeliverStaged(const StagedDeliveries& aStaged)
{
    if (m_bFenced)
        return;
    // Web posts first, then inserts, as each record's were: the order per
    // sink is what is kept.
    for (const SDelivery& delivery : aStaged[SINK_WEBPOST])
        DeliverWithoutState(delivery.aRow, true, false, delivery.nAction);
    for (const SDelivery& delivery : aStaged[SINK_DATABASE])
        DeliverWithoutState(delivery.aRow, false, true, delivery.nAction);
}

void CTask::CommitBatch(bool bDeliver)
{
    if (!m_bBatchOpen)
        return;
    StagedDeliveries aStaged = TakeStaged();
    if (!CommitStateWrite()) {
        DeliverStaged(aStaged);
        return;
    }
    for (std::size_t s = 0; s < SINK_COUNT; ++s) {
        for (SDelivery& delivery : aStaged[s])
            m_aOutbox[s].push_back(std::move(delivery));
    }
    if (!bDeliver)
        return;
    DrainOutbox(SINK_WEBPOST);
    DrainOutbox(SINK_DATABASE);
    // A batch's deliveries are recorded as done at once, not with the next
    // batch: a process killed after them repeats none of them. (One record
    // at a time, the next record's write carries them, as cheaply.)
    if (m_bBatchWrites && !m_aAcks.empty() && BeginStateWrite())
        CommitStateWrite();
}

void CTask::FinishPassRecords(bool bCounted)
{
    std::lock_guard lock(m_stateMutex);
    // The last batch's deliveries are recorded as done by the write below.
    m_bBatchWrites = false;
    CommitBatch(true);
    FinishDatabaseDeliveries();
    if (m_pStore)
        NotifyPending();
    if (!m_bPassCounted) {
        // The page was not fetched and parsed: nothing was seen, but the
        // deliveries made at the start are recorded as done.
        if (m_pStore && !m_aAcks.empty() && BeginStateWrite())
            CommitStateWrite();
        return;
    }
    m_bPassCounted = false;
    if (!bCounted) {
        // A stopped walk saw only part of the page: it does not count
        // against the records it did not reach.
        --m_nPassNumber;
    }
    std::vector<std::size_t> aGone;
    if (bCounted && m_nGonePasses > 0 && m_nPassNumber >= static_cast<std::uint32_t>(m_nGonePasses))
        aGone = m_dataList.MarkGone(m_nPassNumber - static_cast<std::uint32_t>(m_nGonePasses));
    for (std::size_t nIndex : aGone) {
        Notify([nIndex, aRow = m_dataList.GetRow(nIndex)](ITaskObserver& o) {
            o.OnRecordEvent(ERecordEvent::GONE, nIndex, aRow);
        });
    }
    if (!m_pStore || !BeginStateWrite())
        return;
    const std::int64_t tNow = std::time(nullptr);
    bool bOk = m_pStore->SetMeta("pass", std::to_string(m_nPassNumber));
    for (std::size_t nIndex : m_aSeenRows) {
        if (!bOk)
            break;
        const CDataRow aRow = m_dataList.GetRow(nIndex);
        bOk = m_pStore->TouchRecord(m_dataList.KeyOf(aRow), tNow, m_dataList.GetRowSeen(nIndex),
                                    m_dataList.GetRowState(nIndex));
    }
    for (std::size_t nIndex : aGone) {
        if (!bOk)
            break;
        bOk = m_pStore->SetRecordState(m_dataList.KeyOf(m_dataList.GetRow(nIndex)), ROW_GONE);
    }
    m_aSeenRows.clear();
    if (!bOk) {
        m_pStore->Rollback();
        StateWriteFailed();
        return;
    }
    CommitStateWrite();
}
