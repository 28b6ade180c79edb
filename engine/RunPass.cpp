// RunPass.cpp - one pass of a task: fetch the page, parse it, walk the
// records, keep the new ones and hand them to the web post and the database.
#include "Task.h"

#include <algorithm>
#include <chrono>

#include "engine/LinkedFetchQueue.h"
#include "engine/db/DatabaseSink.h"
#include "html/PageCharset.h"
#include "http/HostLimiter.h"
#include "platform/ProgramDir.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a page wait may stay away from the stop event: well under the
// second within which a stopped task must let go of its page.
constexpr int STOP_POLL_MS = 100;
// How long past its deadline a page exchange may run before the pass stops it.
constexpr int GIVE_UP_GRACE_MS = 10000;

} // namespace

void CTask::WaitForPage()
{
    // The session ends the exchange at its deadline; should it not (a name
    // look-up that hangs), the pass gives up a little later all the same.
    const Clock::time_point tGiveUp = Clock::now() + std::chrono::milliseconds(m_session.m_nDeadline)
        + std::chrono::milliseconds(GIVE_UP_GRACE_MS);
    for (;;) {
        if (m_session.m_nDeadline >= 0 && Clock::now() >= tGiveUp) {
            m_session.Stop();
            m_session.WaitForResponse(-1);
            m_session.m_nError = HTTP_ERR_TIMEOUT;
            return;
        }
        // One slice of a second per activity step. The stop event is listed
        // first, so a stop request wins over everything else at once.
        const Clock::time_point tEnd = Clock::now() + std::chrono::milliseconds(1000);
        for (;;) {
            const long long nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        tEnd - Clock::now()).count();
            if (nLeft <= 0)
                break;
            const int nWait = static_cast<int>(nLeft);
            const int nReady = WaitForAny({&m_stopEvent, &m_session.m_hDoneEvent}, nWait);
            if (nReady == 0) {
                // Ends the socket thread; the exchange reports "连接被中断".
                m_session.Stop();
                m_session.WaitForResponse(-1);
                return;
            }
            // The response is complete, but a closing connection's thread
            // may still be ending; that wait is cut short too, so that the
            // stop event is looked at again within a tenth of a second.
            if (m_session.WaitForResponse(std::min(nWait, STOP_POLL_MS)))
                return;
        }
        Notify([](ITaskObserver& o) { o.OnActivityStep(); });
    }
}

SFetchPolicy CTask::MakeFetchPolicy()
{
    SFetchPolicy policy;
    policy.pStop = &m_stopEvent;
    policy.bHostTurns = true;
    policy.nRetries = m_nRetries;
    policy.nRetryDelayS = m_nRetryDelay;
    policy.bRobots = m_bRobots != 0;
    // The next pass comes a period after this one: retries never wait past it.
    policy.bHasNextPass = true;
    policy.tNextPass = Clock::now() + std::chrono::seconds(m_nPeriod > 0 ? m_nPeriod : 1);
    policy.fnLog = [this](const std::string& strLine) { Log(strLine); };
    return policy;
}

CTask::EFetch CTask::FetchPage(const SFetchPolicy& policy)
{
    for (const std::string& strName : m_aRefusedHeaders)
        Log("任务定义中的请求头“" + strName + "”不能由任务设置，已忽略。");
    m_aRefusedHeaders.clear();

    // The page's validators from the last pass make the request conditional.
    m_session.m_strIfNoneMatch = m_session.m_strETag;
    m_session.m_strIfModifiedSince = m_session.m_strLastModified;
    const bool bConditional = !m_session.m_strIfNoneMatch.empty() || !m_session.m_strIfModifiedSince.empty();
    // Every try takes its turn at the host; passing failures are tried
    // again as the task asks, and robots.txt is asked first when it wants.
    CWebSession::EStep eStep = CWebSession::STEP_FAILED;
    const std::string strPageUrl = m_nMethod != 0 ? m_strPageUrl : m_strPageUrl + m_strParams;
    const EPoliteResult ePolite = PoliteExchange(m_session, strPageUrl, &policy, [&]() {
        if (m_nMethod != 0) {
            const std::string strBody = m_strParams.empty() ? std::string() : m_strParams.substr(1);
            m_session.Start(true, m_strPageUrl, m_strReferer.c_str(), strBody);
        } else {
            m_session.Start(false, m_strPageUrl + m_strParams, m_strReferer.c_str(), std::string());
        }
        for (;;) {
            WaitForPage();
            eStep = m_session.TakeResponse();
            if (eStep != CWebSession::STEP_REDIRECT)
                break;
            Log("网页重定向到" + m_session.m_aRedirects.back() + "。");
        }
    });
    if (ePolite == POLITE_FORBIDDEN) {
        // The policy said why in the log.
        Notify([](ITaskObserver& o) {
            o.OnPassNote(ITaskObserver::EPassNote::ROBOTS_REFUSED);
            o.OnPassEnd(false, 0, 0);
        });
        return FETCH_FAILED;
    }

    if (eStep == CWebSession::STEP_NOT_MODIFIED) {
        // Nothing to parse, nothing new: the pass ends here, successfully.
        Log("网页" + m_strPageUrl + "自上次摘取后没有变化（304），本次不再摘取。\r\n");
        Notify([](ITaskObserver& o) {
            o.OnPassNote(ITaskObserver::EPassNote::NOT_MODIFIED);
            o.OnPassEnd(true, 0, 0);
        });
        return FETCH_UNCHANGED;
    }
    if (ePolite != POLITE_DONE || eStep != CWebSession::STEP_DONE || m_session.GetPageBody().empty()) {
        if (!m_session.m_strFailure.empty())
            Log(m_session.m_strFailure);
        Log("无法从" + m_strPageUrl + "获取网页内容。错误原因：" + m_session.DescribeError());
        Notify([](ITaskObserver& o) { o.OnPassEnd(false, 0, 0); });
        return FETCH_FAILED;
    }
    if (bConditional)
        Log("网页" + m_strPageUrl + "已有变化，重新摘取。");
    return FETCH_DONE;
}

std::string CTask::ParsePage()
{
    const std::string_view strBody = m_session.GetPageBody();
    const SPageCharset charset = DetectCharset(m_fetchOptions.strCharset, strBody,
                                               m_session.GetHeaderValue("Content-Type"));
    std::string strCharsetLine;
    if (charset.strName != "UTF-8") {
        static const char* const s_apszSource[] = { "任务设置", "字节序标记", "HTTP头Content-Type",
                                                    "网页的meta标签", "UTF-8检测", "默认字符集" };
        strCharsetLine = "网页按" + charset.strName + "字符集转换为UTF-8（依据：" + s_apszSource[charset.eSource] + "）。";
    }
    // The tree points into the page text; both are replaced together.
    m_pageDoc.Clear();
    m_strPage = ConvertToUtf8(strBody.substr(charset.nBomLen), charset.strName);
    m_pageDoc.Parse(m_strPage.data(), m_strPage.size());
    m_pageDoc.SetPageUrl(m_session.m_strFinalUrl);
    m_pageDoc.m_pFetchOptions = &m_fetchOptions;
    return strCharsetLine;
}

bool CTask::RunPass()
{
    if (m_pLocations == nullptr)
        return false;

    // A state file named after the definition was loaded is opened now.
    OpenRecordState();
    FlushHeldLog();
    // Deliveries still owed from earlier passes go first, oldest first, so
    // that nothing of this pass overtakes them.
    StartPassDeliveries();

    // Linked pages and files fetched below this pass, on this thread or the
    // fetch threads, follow the same policy.
    const SFetchPolicy policy = MakeFetchPolicy();
    const CFetchPolicyScope policyScope(&policy);
    const EFetch eFetch = FetchPage(policy);
    if (eFetch != FETCH_DONE) {
        FinishPassRecords(false);
        return eFetch == FETCH_UNCHANGED;
    }
    const std::string strCharsetLine = ParsePage();
    if (!strCharsetLine.empty())
        Log(strCharsetLine);
    Log("成功从" + m_strPageUrl + "取得网页内容。");

    const std::size_t nColumns = m_columns.GetCount();
    std::vector<std::string> aRecord(nColumns);
    const int nDepth = m_pLocations->Depth();
    int nSeen = 0;
    int nNew = 0;
    // A pass that fetched and parsed its page counts for GONE.
    {
        std::lock_guard lock(m_stateMutex);
        ++m_nPassNumber;
        m_bPassCounted = true;
        m_aSeenRows.clear();
        // Records are written in batches when nothing is fetched between
        // them; a linked page or file would hold a batch's deliveries back.
        m_bBatchWrites = std::none_of(m_aOtherColumns.begin(), m_aOtherColumns.end(), [this](int k) {
            const int nType = m_columns.GetAt(k)->m_nType;
            return nType == CDataNode::TYPE_LINKED_PAGE || nType == CDataNode::TYPE_LINKED_FILE;
        });
    }

    if (m_pLocations->Resolve(m_pageDoc)) {
        // The database is connected once the page gave records, as before
        // any record is kept (its failure is logged even on a pass with
        // nothing new).
        if (m_bSaveToDb != 0 && !m_aFieldNames.empty()) {
            std::lock_guard lock(m_stateMutex);
            PassSink();
        }

        // A new record is kept once all its columns are there: the data list
        // row first, then the web post, then the database.
        auto Keep = [&](const std::vector<std::string>& aKept) {
            KeepNewRecord(aKept);
            ++nNew;
        };
        // Linked pages and files of new records are fetched side by side
        // when a host may take more than one request at once; the records
        // are kept in page order all the same.
        CLinkedFetchQueue linked(m_bParallelFetches ? CHostLimiter::Instance().GetConnections() : 1, &policy);
        auto KeepFinished = [&](bool bWaitAll) {
            std::vector<std::string> aDone;
            while (linked.TakeFinished(aDone, bWaitAll)) {
                if (!m_stopEvent.IsSet())
                    Keep(aDone);
            }
        };

        for (;;) {
            ++nSeen;
            for (std::string& strValue : aRecord)
                strValue.clear();
            for (int k : m_aKeyColumns)
                m_columns.GetAt(k)->GetValue(aRecord[static_cast<std::size_t>(k)]);

            // Without columns a record has nothing to show: no row is made.
            // A record still waiting for its linked columns counts as kept.
            const std::ptrdiff_t nKept = nColumns > 0 ? m_dataList.FindKey(aRecord) : -1;
            if (nKept >= 0) {
                SeenAgain(static_cast<std::size_t>(nKept), aRecord);
            } else if (nColumns > 0 && !linked.ContainsKey(aRecord, m_aKeyColumns)) {
                // Expensive columns (linked pages and files) are fetched only
                // for records that are new.
                std::vector<std::pair<int, const CHtmlNode*>> aLinkedColumns;
                for (int k : m_aOtherColumns) {
                    const CDataNode* pData = m_columns.GetAt(k);
                    const CHtmlNode* pLinkNode = linked.IsParallel() ? FindLinkNode(*pData) : nullptr;
                    if (pLinkNode != nullptr)
                        aLinkedColumns.emplace_back(k, pLinkNode);
                    else
                        pData->GetValue(aRecord[static_cast<std::size_t>(k)]);
                }
                // A stopped pass keeps nothing whose fetch it cut short: the
                // record is still new next time.
                if (m_stopEvent.IsSet())
                    break;
                if (aLinkedColumns.empty() && linked.IsEmpty()) {
                    Keep(aRecord);
                } else {
                    linked.Add(aRecord, aLinkedColumns, m_columns);
                    KeepFinished(false);
                }
            }

            if (m_stopEvent.IsSet())
                break;

            // The deepest blocks step first; when none can, their parents
            // step and the children start again from their paths. A step
            // that leads back to where it started counts as no move, so a
            // step that cannot move ends the walk instead of repeating.
            if (!m_pLocations->StepForest(nDepth))
                break;
        }
        KeepFinished(true);
    }
    FinishPassRecords(!m_stopEvent.IsSet());

    Log("成功摘取到" + std::to_string(nSeen) + "条记录。其中有" + std::to_string(nNew) +
        "条新记录被处理。\r\n");
    Notify([nSeen, nNew](ITaskObserver& o) { o.OnPassEnd(true, nSeen, nNew); });
    return true;
}
