// Task.cpp - CTask: loading a definition, the worker thread and its schedule,
// the log and the web post. The run pass itself is in RunPass.cpp.
#include "Task.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/LocalTime.h"
#include "html/LocationLoader.h"
#include "html/PageCharset.h"
#include "http/PoliteFetch.h"
#include "http/RetryPolicy.h"
#include "http/Url.h"
#include "markup/TaskDef.h"
#include "platform/ProgramDir.h"

using quarvex::CMarkupNode;

namespace {

int ReadInt(const CMarkupNode* pElement, const char* pszKey)
{
    return quarvex::GetKeyNumber(pElement, pszKey);
}

std::string ReadText(const CMarkupNode* pElement, const char* pszKey)
{
    return std::string(quarvex::GetKeyText(pElement, pszKey));
}

// The optional keys of a task's record life.
constexpr char KEY_CHANGES[] = "changes";              // general: "1" compares kept records
constexpr char KEY_GONE[] = "gone";                    // general: passes unseen before GONE
constexpr char KEY_POSTCHANGES[] = "postchanges";      // network: "1" posts CHANGED records
constexpr char KEY_UPDATECHANGES[] = "updatechanges";  // database: "1" updates CHANGED rows
// More passes than this would never end in GONE within a lifetime.
constexpr int MAX_GONE_PASSES = 1000000;

} // namespace

CTask::CTask()
{
    // No single wait is limited; the whole exchange is (m_nDeadline), and
    // RequestStop cuts it short.
    m_session.m_nTimeout = -1;
    m_fetchOptions.pCookies = &m_cookies;
    m_session.m_pOptions = &m_fetchOptions;
    m_session.m_nDeadline = m_nTimeout * 1000;
}

CTask::~CTask()
{
    StopAndWait();
    FreeLocations();
}

void CTask::FreeLocations()
{
    m_columns.Clear();
    m_aColumnInfo.clear();
    delete m_pLocations;
    m_pLocations = nullptr;
}

bool CTask::LoadDefinition(const char* pszText)
{
    // A pass walks the forest and the columns that a reload replaces, so a
    // running worker is ended first; the caller starts the task again.
    StopAndWait();
    FreeLocations();
    m_cookies.Clear();
    m_session.m_strETag.clear();
    m_session.m_strLastModified.clear();
    m_session.m_strIfNoneMatch.clear();
    m_session.m_strIfModifiedSince.clear();
    m_fetchOptions = SFetchOptions();
    m_fetchOptions.pCookies = &m_cookies;
    m_aRefusedHeaders.clear();
    m_bChanges = 0;
    m_nGonePasses = 0;
    m_bPostChanges = 0;
    m_bUpdateChanges = 0;
    m_bCannotUpdateLogged = false;
    m_defDoc.Parse(pszText);
    const CMarkupNode* pRoot = m_defDoc.FindTopLevel(quarvex::KEY_ROOT);
    if (pRoot == nullptr) {
        BuildColumnIndex();
        return false;
    }
    if (const CMarkupNode* p = pRoot->FindChild(quarvex::KEY_GENERAL))
        LoadGeneral(p);
    if (const CMarkupNode* p = pRoot->FindChild(quarvex::KEY_NETWORK))
        LoadNetwork(p);
    if (const CMarkupNode* p = pRoot->FindChild(quarvex::KEY_DATABASE))
        LoadDatabase(p);
    m_pLocations = LoadLocations(m_defDoc);
    if (m_pLocations != nullptr)
        m_pLocations->CollectDataNodes(m_columns);
    BuildColumnIndex();
    OpenRecordState();
    return true;
}

void CTask::LoadGeneral(const CMarkupNode* pElement)
{
    m_strTaskName = ReadText(pElement, quarvex::KEY_TASKNAME);
    m_nPeriod = ReadInt(pElement, quarvex::KEY_FREQUENCE);
    m_bAutoLoad = ReadInt(pElement, quarvex::KEY_AUTOLOAD);
    m_bChanges = ReadInt(pElement, KEY_CHANGES) == 1 ? 1 : 0;
    m_nGonePasses = std::clamp(ReadInt(pElement, KEY_GONE), 0, MAX_GONE_PASSES);
}

void CTask::LoadNetwork(const CMarkupNode* pElement)
{
    m_strPageUrl = ReadText(pElement, quarvex::KEY_URL);
    m_strReferer = ReadText(pElement, quarvex::KEY_REFURL);
    m_nMethod = ReadInt(pElement, quarvex::KEY_METHOD);

    // Names and values go out as they stand: the definition holds them in
    // the form the site expects.
    m_strParams.clear();
    for (const CMarkupNode* p = pElement->FindChild(quarvex::KEY_PARAMETER); p != nullptr;
         p = p->NextSameName()) {
        const std::string strName = ReadText(p, quarvex::KEY_NAME);
        if (strName.empty())
            continue;
        m_strParams += m_strParams.empty() ? '?' : '&';
        m_strParams += strName;
        m_strParams += '=';
        m_strParams += ReadText(p, quarvex::KEY_VALUE);
    }

    if (const CMarkupNode* pAuth = pElement->FindChild(quarvex::KEY_AUTHENTICATION)) {
        m_strAuthName = ReadText(pAuth, quarvex::KEY_NAME);
        m_strAuthPass = ReadText(pAuth, quarvex::KEY_PASS);
        m_session.m_strAuthorization = BasicAuthorization(m_strAuthName + ':' + m_strAuthPass);
    } else {
        m_strAuthName.clear();
        m_strAuthPass.clear();
        m_session.m_strAuthorization.clear();
    }

    // A page exchange always ends: a silent or dripping server costs the
    // pass at most this long, and the next period tries again.
    const int nTimeout = ReadInt(pElement, quarvex::KEY_TIMEOUT);
    m_nTimeout = nTimeout > 0 ? std::min<int>(nTimeout, MAX_TIMEOUT) : DEFAULT_TIMEOUT;
    m_session.m_nDeadline = m_nTimeout * 1000;

    m_nRetries = std::clamp(ReadInt(pElement, quarvex::KEY_RETRIES), 0, static_cast<int>(CRetryPolicy::MAX_RETRIES));
    m_nRetryDelay = std::clamp(ReadInt(pElement, quarvex::KEY_RETRYDELAY), 0, static_cast<int>(CRetryPolicy::MAX_DELAY_S));
    m_bRobots = ReadInt(pElement, quarvex::KEY_ROBOTS) != 0 ? 1 : 0;

    m_bWebPost = ReadInt(pElement, quarvex::KEY_WEBPOST);
    m_nWebPostMethod = ReadInt(pElement, quarvex::KEY_WEBPOSTMETHOD);
    m_strWebPostUrl = ReadText(pElement, quarvex::KEY_WEBPOSTURL);
    m_strWebPostVar = ReadText(pElement, quarvex::KEY_WEBPOSTVAR);
    m_bPostChanges = ReadInt(pElement, KEY_POSTCHANGES) == 1 ? 1 : 0;
    LoadWebOptions(pElement);
}

void CTask::LoadWebOptions(const CMarkupNode* pElement)
{
    m_fetchOptions.strCharset = ReadText(pElement, quarvex::KEY_CHARSET);
    m_fetchOptions.strUserAgent = ReadText(pElement, quarvex::KEY_USERAGENT);
    if (!IsSafeHeaderValue(m_fetchOptions.strUserAgent)) {
        m_aRefusedHeaders.push_back("User-Agent");
        m_fetchOptions.strUserAgent.clear();
    }
    m_fetchOptions.aHeaders.clear();
    for (const CMarkupNode* p = pElement->FindChild(quarvex::KEY_HEADER); p != nullptr; p = p->NextSameName()) {
        std::string strName = ReadText(p, quarvex::KEY_NAME);
        std::string strValue = ReadText(p, quarvex::KEY_VALUE);
        if (CheckExtraHeader(strName, strValue).empty())
            m_fetchOptions.aHeaders.emplace_back(std::move(strName), std::move(strValue));
        else
            m_aRefusedHeaders.push_back(strName);
    }
    // Form values go out in the page's charset when the task names one.
    const std::string strCharset = CanonicalCharset(m_fetchOptions.strCharset);
    if (!strCharset.empty() && strCharset != "UTF-8")
        m_strParams = ConvertFromUtf8(m_strParams, strCharset);
}

void CTask::LoadDatabase(const CMarkupNode* pElement)
{
    m_nDbType = ReadInt(pElement, quarvex::KEY_TYPE);
    m_bSaveToDb = ReadInt(pElement, quarvex::KEY_SAVETODB);
    m_strDbServer = ReadText(pElement, quarvex::KEY_SERVER);
    m_strDbName = ReadText(pElement, quarvex::KEY_DATABASE);
    m_strDbAccount = ReadText(pElement, quarvex::KEY_ACCOUNT);
    m_strDbPassword = ReadText(pElement, quarvex::KEY_PASSWORD);
    m_strTableName = ReadText(pElement, quarvex::KEY_TABLENAME);
    m_bUpdateChanges = ReadInt(pElement, KEY_UPDATECHANGES) == 1 ? 1 : 0;
    m_aFieldNames.clear();
    m_aFieldValues.clear();
    for (const CMarkupNode* p = pElement->FindChild(quarvex::KEY_DATAFIELD); p != nullptr;
         p = p->NextSameName()) {
        m_aFieldNames.push_back(ReadText(p, quarvex::KEY_NAME));
        m_aFieldValues.push_back(ReadText(p, quarvex::KEY_VALUE));
    }
}

void CTask::BuildColumnIndex()
{
    m_aKeyColumns.clear();
    m_aOtherColumns.clear();
    m_aColumnInfo.clear();
    for (std::size_t i = 0; i < m_columns.GetCount(); ++i) {
        const CDataNode* pNode = m_columns.GetAt(i);
        (pNode->m_bKey ? m_aKeyColumns : m_aOtherColumns).push_back(static_cast<int>(i));
        m_aColumnInfo.push_back({pNode->m_strName, pNode->m_nType == CDataNode::TYPE_LINKED_FILE});
    }
    m_dataList.SetKeyColumns(m_aKeyColumns);
}

std::vector<std::string> CTask::GetColumnNames() const
{
    std::vector<std::string> aNames;
    for (const CDbColumn& column : m_aColumnInfo)
        aNames.push_back(column.m_strName);
    return aNames;
}

int CTask::FindColumn(std::string_view strTemplate) const
{
    return FindTemplateColumn(strTemplate, m_aColumnInfo);
}

void CTask::Notify(CTaskNotifier::Call fnCall)
{
    m_notifier.Post(m_pObserver, std::move(fnCall));
}

void CTask::Log(std::string_view strText)
{
    std::string strLine = "[";
    strLine += quarvex::FormatLocalTimeNow("%Y-%m-%d %H:%M:%S");
    strLine += "]:";
    strLine += strText;
    strLine += "\r\n";
    Notify([strLine = std::move(strLine)](ITaskObserver& o) { o.OnLog(strLine); });
}

// ---- the worker thread ----

bool CTask::Start(ITaskObserver* pObserver)
{
    StopAndWait();
    m_pObserver = pObserver;
    return m_hWorker.Start([this] { ThreadMain(); });
}

void CTask::RequestStop()
{
    // The worker waits for its page on the stop event as well, and stops its
    // session itself: the session is only ever driven from the worker
    // thread, so no request can slip in after the stop.
    m_stopEvent.Set();
    m_queue.PostQuit();
}

void CTask::StopAndWait()
{
    RequestStop();
    m_hWorker.Join();
    // With the worker gone the stop has done its work; a pass run directly
    // afterwards must not find it still standing.
    m_stopEvent.Reset();
    int nMessage;
    while (m_queue.Take(nMessage)) {
    }
}

void CTask::RunNow()
{
    m_queue.Post(MSG_RUN);
}

bool CTask::DrainMessages()
{
    bool bQuit = false;
    int nMessage;
    while (m_queue.Take(nMessage)) {
        if (nMessage == CMessageQueue::MSG_QUIT)
            bQuit = true;
    }
    return !bQuit && !m_stopEvent.IsSet();
}

void CTask::ThreadMain()
{
    // A period below one second would never wait, so the worker would never
    // look at its queue and could not be stopped.
    const int nPeriod = m_nPeriod > 0 ? m_nPeriod : 1;
    const int nPassLimit = m_nPassLimit;
    int nPasses = 0;
    Notify([nPeriod](ITaskObserver& o) { o.OnCountdownRange(nPeriod); });

    bool bRun = DrainMessages();
    while (bRun) {
        Notify([nPeriod](ITaskObserver& o) { o.OnCountdown(nPeriod); });
        bool bInput = false;
        while (!bInput) {
            RunPass();
            Notify([](ITaskObserver& o) {
                o.OnActivity(0);
                o.OnCountdown(0);
            });
            if (nPassLimit > 0 && ++nPasses >= nPassLimit) {
                bRun = false;
                break;
            }
            // Any message ends the countdown: "quit" ends the thread, any
            // other starts a pass at once and the countdown again from 0.
            for (int i = 0; i < nPeriod;) {
                if (m_queue.WaitForInput(1000)) {
                    bInput = true;
                    break;
                }
                ++i;
                Notify([i](ITaskObserver& o) { o.OnCountdown(i); });
            }
        }
        if (bRun)
            bRun = DrainMessages();
    }
    Notify([](ITaskObserver& o) {
        o.OnCountdown(0);
        o.OnStopped();
    });
}

// ---- the web post ----

bool CTask::PostRecord(const std::vector<std::string>& aRecord)
{
    // A session of its own: the page's credentials never reach the target.
    // A target that never answers holds the pass no longer than a page would.
    CHttpPostSession session;
    session.m_nDeadline = m_nTimeout * 1000;
    // The post takes its turn at the target's host like any request, and a
    // stop ends its wait.
    session.m_bHostTurns = true;
    session.m_pStopEvent = &m_stopEvent;
    const std::string strText = SubstituteWebPost(m_strWebPostVar, aRecord, m_aColumnInfo);
    if (m_nWebPostMethod != 0)
        session.Post(m_strWebPostUrl.c_str(), "", strText.c_str());
    else
        session.Get((m_strWebPostUrl + "?" + strText).c_str(), "");
    // The wait keeps the posts in order and before the record's database
    // insert; a post the target did not take (an error status, a broken
    // connection) is said in the log.
    WaitStoppable(session, &m_stopEvent);
    if (session.m_nError != HTTP_OK) {
        Log("WEB POST失败：" + session.DescribeError());
        return false;
    }
    // Only a 2xx answer means the target took the record; a redirect or an
    // informational end is no delivery.
    if (session.m_nStatus < 200 || session.m_nStatus > 299) {
        Log("WEB POST失败：服务器返回状态" + std::to_string(session.m_nStatus) + "。");
        return false;
    }
    return true;
}

