// Task.h - CTask: one extraction task. It holds the loaded definition, the
// page session, the block forest and its columns, the rows kept so far, and
// one worker thread that runs a pass at once and again every period.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "DataList.h"
#include "RecordStore.h"
#include "TaskNotifier.h"
#include "TaskObserver.h"
#include "ValueTemplate.h"
#include "html/Location.h"
#include "html/HtmlDoc.h"
#include "http/CookieJar.h"
#include "http/FetchOptions.h"
#include "http/PoliteFetch.h"
#include "http/WebSession.h"
#include "markup/MarkupDoc.h"
#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Thread.h"

struct CExtractResult;
class CDatabaseSink;

class CTask {
public:
    CTask();
    // Stops the worker (waiting for a pass in progress), then frees the forest.
    ~CTask();
    CTask(const CTask&) = delete;
    CTask& operator=(const CTask&) = delete;

    // Replaces the definition by the one in pszText (zero-terminated; null
    // reads as empty). False when the text has no top-level "root" element;
    // the forest and the columns are emptied either way, while settings
    // whose element is missing keep their previous values. A running worker
    // is stopped first (its pass finishes); the task is not restarted.
    bool LoadDefinition(const char* pszText);

    // Ends a worker left from an earlier start, then starts a new one whose
    // first pass begins at once. Notifications go to pObserver (may be null),
    // which must outlive the task. False when the thread cannot be created.
    bool Start(ITaskObserver* pObserver);
    // Where notifications go (may be null); only while no worker runs, for
    // passes run directly with RunPass.
    void SetObserver(ITaskObserver* pObserver) { m_pObserver = pObserver; }
    // Asks the worker to end and cuts short a page wait in progress (within
    // a second); a pass that is extracting or writing runs to its end. Does
    // not wait. Safe from any thread.
    void RequestStop();
    // Asks the worker to end and waits for it. Never waits for the observer.
    void StopAndWait();
    // Starts a pass at once when the worker is counting down; a pass in
    // progress is followed by another at once.
    void RunNow();
    // True from Start until the worker thread has returned.
    bool IsRunning() const { return m_hWorker.IsRunning(); }
    // True once the worker has ended; false when nTimeoutMs (-1: no limit)
    // ran out first.
    bool WaitForEnd(int nTimeoutMs) const { return m_hWorker.WaitForEnd(nTimeoutMs); }
    // Makes the worker end by itself after nPasses passes (0: never). Takes
    // effect at the next Start.
    void SetPassLimit(int nPasses) { m_nPassLimit = nPasses; }
    // Whether the linked pages and files of a pass are fetched side by side
    // (as many at once as a host may take); on by default.
    void SetParallelFetches(bool bOn) { m_bParallelFetches = bOn; }
    // Waits until every notification queued so far reached the observer;
    // false when nTimeoutMs (-1: no limit) ran out first.
    bool WaitNotified(int nTimeoutMs) { return m_notifier.WaitDelivered(nTimeoutMs); }

    // One pass: fetch, parse, walk the records, keep and hand on the new
    // ones. True when the page was fetched, whatever was extracted.
    bool RunPass();
    // The next pass asks for the whole page, not only whether it changed.
    void ForgetPageValidators() { m_session.m_strETag.clear(); m_session.m_strLastModified.clear(); }
    // One pass that keeps nothing and writes nothing: the records go to
    // result (see ExtractOnce.h). Only while no worker runs; bCancel, with
    // RequestStop, ends it early.
    bool ExtractOnce(CExtractResult& result, const std::atomic<bool>& bCancel);
    // The same on a page text fetched before (already UTF-8) for strUrl:
    // the page itself is not fetched again nor converted a second time.
    bool ExtractFromPage(const std::string& strPage, const std::string& strUrl, CExtractResult& result,
                         const std::atomic<bool>& bCancel);
    // Sends one time-stamped line "[time]:text\r\n" to the log.
    void Log(std::string_view strText);
    // The web post of one record; true when the target answered 2xx. A
    // failure is said in the log.
    bool PostRecord(const std::vector<std::string>& aRecord);
    // Index of the column a template names as a whole, or -1.
    int FindColumn(std::string_view strTemplate) const;

    const std::string& GetTaskName() const { return m_strTaskName; }
    int GetPeriod() const { return m_nPeriod; }
    bool GetAutoLoad() const { return m_bAutoLoad != 0; }
    const CDataNodeList& GetColumns() const { return m_columns; }
    // Column names in column order, for list headers.
    std::vector<std::string> GetColumnNames() const;
    const quarvex::CMarkupDoc& GetDefinition() const { return m_defDoc; }
    // The Authorization value the page request carries; empty for none.
    const std::string& GetAuthorization() const { return m_session.m_strAuthorization; }
    // The rows kept; a view may read them and remove rows between passes.
    CDataList& GetDataList() { return m_dataList; }

    // Where the task keeps its records across restarts; empty: memory only (the default).
    // Set before LoadDefinition/Start; opening failures are logged once and the task runs memory-only.
    void SetRecordStateFile(const std::string& strPath);
    const std::string& GetRecordStateFile() const { return m_strStateFile; }
    // Empties the data list and the kept records (and the outbox); false + strError when the file could not be written.
    bool ResetRecords(std::string& strError);
    // Fencing (used by the runner's leases): writes and deliveries with a number older than the newest seen are refused.
    void SetFence(std::int64_t nFence);
    // How long a sink that failed waits before its first retry (doubled
    // after every further failure, up to an hour); 10 s unless set.
    void SetDeliveryRetryBase(int nMilliseconds) { m_nDeliveryBaseMs = nMilliseconds < 0 ? 0 : nMilliseconds; }
    // Deliveries written to the outbox and not yet acknowledged, per sink
    // (EDeliverySink).
    std::size_t GetPendingDeliveries(int nSink) const;

    enum { DEFAULT_TIMEOUT = 60, MAX_TIMEOUT = 86400 };

private:
    enum { MSG_RUN = 1 };  // Any message but quit starts a pass.

    void LoadGeneral(const quarvex::CMarkupNode* pElement);
    void LoadNetwork(const quarvex::CMarkupNode* pElement);
    void LoadDatabase(const quarvex::CMarkupNode* pElement);
    // The charset, header and User-Agent keys of <network>.
    void LoadWebOptions(const quarvex::CMarkupNode* pElement);
    // Fetches the page through redirects. Unless FETCH_DONE, the pass ends
    // there, its log lines and end notice already given.
    enum EFetch { FETCH_FAILED, FETCH_UNCHANGED, FETCH_DONE };
    EFetch FetchPage(const SFetchPolicy& policy);
    // Converts the fetched page to UTF-8 into m_strPage and parses it;
    // returns the log line that names a charset other than UTF-8, or empty.
    std::string ParsePage();
    // Walks the parsed page for ExtractOnce / ExtractFromPage.
    bool WalkOnce(CExtractResult& result, const std::atomic<bool>& bCancel);
    void BuildColumnIndex();
    void FreeLocations();

    // The record state and the outbox (TaskRecords.cpp).
    std::string ColumnSignature() const;
    void HoldLog(std::string_view strText);
    void FlushHeldLog();
    void OpenRecordState();
    bool LoadRecordState(const std::string& strSignature, std::string& strError);
    void ClearForNewColumns(const std::string& strSignature);
    // The deliveries held in memory are dropped (the state's are not touched).
    void ForgetOutbox();
    bool BeginStateWrite();
    bool CommitStateWrite();
    void StateWriteFailed();
    std::int64_t NextTryAfter(int nAttempts) const;
    CDatabaseSink* PassSink();
    void AcknowledgeInFlight(int nSink);
    void DeliveryFailed(int nSink);
    void DrainOutbox(int nSink);
    void FinishDatabaseDeliveries();
    void StartPassDeliveries();
    // A record and the deliveries it owes, written to the state and then
    // attempted; without a state (or when it cannot be written) delivered
    // at once as a task without a state always was.
    void StoreAndDeliver(const CDataRow& aRow, std::uint8_t nState, bool bWeb, bool bDb, int nDbAction);
    void DeliverWithoutState(const CDataRow& aRow, bool bWeb, bool bDb, int nDbAction);
    // Ends the open batch of record writes: committed, its deliveries queued
    // and, with bDeliver, attempted. A batch that cannot be committed is
    // delivered without the state.
    void CommitBatch(bool bDeliver);
    using StagedDeliveries = std::array<std::vector<SDelivery>, SINK_COUNT>;
    // Ends the open batch, handing over the deliveries staged in it.
    StagedDeliveries TakeStaged();
    // A batch that could not be kept: its deliveries go out without it.
    void DeliverStaged(const StagedDeliveries& aStaged);
    // Tells the observer how many deliveries wait in the outbox.
    void NotifyPending();
    bool UpdateInDatabase(CDatabaseSink& sink, const CDataRow& aRow);
    // A new record: its row, its state and its deliveries.
    void KeepNewRecord(const CDataRow& aRow);
    // A record whose key is kept at row nIndex; aRecord holds its key
    // columns and, with changes on, gets the columns that are compared.
    void SeenAgain(std::size_t nIndex, CDataRow& aRecord);
    // After the walk: seen times, GONE rows, the database's last commit.
    void FinishPassRecords(bool bCounted);

    void ThreadMain();
    // Takes every queued message; false when one of them was "quit".
    bool DrainMessages();
    // Waits for the page, stepping the activity bar once a second; stops the
    // session itself once a stop was requested.
    void WaitForPage();
    void Notify(CTaskNotifier::Call fnCall);
    // How this pass fetches: turns at each host, the stop event, retries
    // until the next pass is due, robots.txt.
    SFetchPolicy MakeFetchPolicy();

public:
    // Settings read from the definition; see LoadDefinition.
    int m_nPeriod = 0;
    int m_bAutoLoad = 0;
    std::string m_strTaskName;
    int m_nMethod = 0;
    std::string m_strPageUrl;
    std::string m_strReferer;
    std::string m_strParams;  // Empty, or "?" followed by name=value pairs joined by '&'.
    std::string m_strAuthName;
    std::string m_strAuthPass;
    int m_nTimeout = DEFAULT_TIMEOUT;  // Seconds a page exchange may take.
    int m_nRetries = 0;     // Tries after the first for passing failures.
    int m_nRetryDelay = 0;  // Seconds before the first retry; doubled each time.
    int m_bRobots = 0;      // Non-zero: robots.txt is honoured.
    int m_bWebPost = 0;
    int m_nWebPostMethod = 0;
    std::string m_strWebPostUrl;
    std::string m_strWebPostVar;
    int m_nDbType = 0;
    int m_bSaveToDb = 0;
    std::string m_strDbServer;
    std::string m_strDbName;
    std::string m_strDbAccount;
    std::string m_strDbPassword;
    std::string m_strTableName;
    std::vector<std::string> m_aFieldNames;   // Same length as m_aFieldValues.
    std::vector<std::string> m_aFieldValues;  // One value template per field.
    std::vector<int> m_aKeyColumns;           // Ascending column indexes of key nodes.
    std::vector<int> m_aOtherColumns;         // Ascending indexes of every other node.
    int m_bChanges = 0;        // root@general@changes: kept records are compared each pass.
    int m_nGonePasses = 0;     // root@general@gone: passes unseen before GONE (0: never).
    int m_bPostChanges = 0;    // root@network@postchanges: a CHANGED record is posted again.
    int m_bUpdateChanges = 0;  // root@database@updatechanges: a CHANGED record updates its row.

private:
    CWebSession m_session;       // The page session; bounded by m_nTimeout.
    // What every request of the task carries, and the cookies it keeps
    // across passes. Reloading the definition empties the jar and forgets
    // the page's validators, so an edited task extracts again at once.
    SFetchOptions m_fetchOptions;
    CCookieJar m_cookies;
    std::vector<std::string> m_aRefusedHeaders;  // Header keys refused at load, logged at the next pass.
    std::string m_strPage;       // Page bytes; every node of m_pageDoc points into them.
    CHtmlDoc m_pageDoc;          // Declared after m_strPage so it is destroyed first.
    quarvex::CMarkupDoc m_defDoc;
    CDataNodeList m_columns;     // Every data node of the forest by order; not owning.
    CLocation* m_pLocations = nullptr;  // First top-level block; owns the chain.
    std::vector<CDbColumn> m_aColumnInfo;  // Names and kinds of m_columns, in column order.
    CDataList m_dataList;

    // The record state; guarded by m_stateMutex, since a view may reset it
    // while the worker runs.
    mutable std::recursive_mutex m_stateMutex;
    std::string m_strStateFile;
    std::string m_strOpenedStateFile;  // The file m_pStore has open.
    std::string m_strFailedStateFile;  // Said once that it cannot be opened.
    std::unique_ptr<IRecordStore> m_pStore;  // Null: memory only.
    std::vector<std::string> m_aHeldLog;
    std::int64_t m_nFence = 0;
    bool m_bFenced = false;
    bool m_bFenceLogged = false;
    bool m_bWriteFailLogged = false;
    bool m_bCannotUpdateLogged = false;
    std::uint32_t m_nPassNumber = 0;   // Passes that fetched and parsed a page.
    bool m_bPassCounted = false;       // This pass raised m_nPassNumber.
    std::vector<std::size_t> m_aSeenRows;  // Rows the pass saw again.
    std::array<std::deque<SDelivery>, SINK_COUNT> m_aOutbox;
    std::array<std::size_t, SINK_COUNT> m_aInFlight{};  // Taken by the sink, not yet acknowledged.
    std::array<bool, SINK_COUNT> m_aSinkFailed{};       // Failed in this pass: no more tries.
    std::vector<std::int64_t> m_aAcks;  // Deliveries done, removed with the next state write.
    // A walk that fetches nothing between its records writes them in
    // batches: one commit for many records instead of one each. Staged
    // deliveries are in the open transaction and not attempted before it
    // commits, so a crash loses a batch's records from the state and with
    // them their deliveries: the records are new again at the next start.
    bool m_bBatchWrites = false;  // This walk may batch.
    bool m_bBatchOpen = false;    // A transaction holds staged records.
    std::size_t m_nBatchRecords = 0;
    std::chrono::steady_clock::time_point m_tBatchOpened;
    StagedDeliveries m_aStaged;
    int m_nDeliveryBaseMs = 10000;
    std::unique_ptr<CDatabaseSink> m_pPassSink;  // The pass's database connection.
    bool m_bPassSinkTried = false;
    bool m_bPassSinkUsable = false;

    int m_nPassLimit = 0;
    bool m_bParallelFetches = true;
    CEvent m_stopEvent;  // Set by RequestStop until the next Start.
    ITaskObserver* m_pObserver = nullptr;  // Not owned.
    CMessageQueue m_queue;                 // "Run now" and "quit" for the worker.
    CTaskNotifier m_notifier;              // Declared before m_hWorker: outlives it.
    CThread m_hWorker;
};
