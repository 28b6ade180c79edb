// ExtractOnce.h - one pass of a task definition that writes nothing: the page
// is fetched with the task's own client settings, parsed and walked, and the
// records come back to the caller instead of going to the data list, the web
// post, the database or linked files. The editor's preview and the node
// picker's path check run on it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "markup/MarkupDoc.h"

class CTask;

struct CExtractResult {
    bool m_bFetched = false;    // The page came back with a body.
    bool m_bCancelled = false;  // Cancel() ended the pass early.
    std::vector<std::string> m_aColumnNames;          // In column order.
    std::vector<std::vector<std::string>> m_aRecords;  // The records a first pass would keep.
    int m_nSeen = 0;            // Records walked, duplicates of a key included.
    std::string m_strLog;       // The pass's log lines, "[time]:text\r\n" each.
    std::string m_strPage;      // The page text as parsed; empty when not fetched.
};

// One extraction at a time; Run on any thread, Cancel from any other.
class CExtractOnce {
public:
    // At most this many records are kept; the walk still counts the rest.
    static constexpr size_t MAX_RECORDS = 100000;

    CExtractOnce();
    ~CExtractOnce();
    CExtractOnce(const CExtractOnce&) = delete;
    CExtractOnce& operator=(const CExtractOnce&) = delete;

    // Fetches the page the definition names and extracts its records. A
    // linked-file column gives the link it would download (nothing is
    // saved); linked pages are fetched and read as the task would. True when
    // the page was fetched, whatever was extracted; false with the failure
    // in the log, or when cancelled.
    bool Run(const quarvex::CMarkupDoc& def, CExtractResult& result);
    // The same extraction on a page text an earlier Run gave (its m_strPage:
    // UTF-8 already, so no charset conversion is made again) with strUrl as
    // its address; the page itself is not fetched. Linked pages still are.
    bool RunOnPage(const quarvex::CMarkupDoc& def, const std::string& strPage, const std::string& strUrl,
                   CExtractResult& result);
    // Ends a Run in progress within about a second (a linked page being
    // fetched runs to its own time limit); a Run started later sees it too.
    void Cancel();

private:
    std::atomic<bool> m_bCancel{false};
    std::unique_ptr<CTask> m_pTask;
};
