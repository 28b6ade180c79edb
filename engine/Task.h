// Task.h - CTask: one extraction task. It holds the loaded definition, the
// page session, the block forest and its columns, the rows kept so far, and
// one worker thread that runs a pass at once and again every period.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DataList.h"
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
    // The web post of one new record; the response is not looked at.
    void PostRecord(const std::vector<std::string>& aRecord);
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
    std::string m_strStateFile;
    std::int64_t m_nFence = 0;

    int m_nPassLimit = 0;
    bool m_bParallelFetches = true;
    CEvent m_stopEvent;  // Set by RequestStop until the next Start.
    ITaskObserver* m_pObserver = nullptr;  // Not owned.
    CMessageQueue m_queue;                 // "Run now" and "quit" for the worker.
    CTaskNotifier m_notifier;              // Declared before m_hWorker: outlives it.
    CThread m_hWorker;
};
