// PathCheckJob.cpp - the path check's worker thread.
#include "PathCheckJob.h"

#include "engine/ExtractOnce.h"
#include "http/HttpPostSession.h"
#include "markup/TaskDef.h"

#include <chrono>

#include <QMetaObject>

namespace quarvex {

FFetchPage FetchByGet(std::string strUrl)
{
    return [strUrl = std::move(strUrl)](const std::atomic<bool>& bCancel, std::string& strPage, std::string& strError) {
        CHttpPostSession session;
        session.Get(strUrl.c_str(), nullptr);
        // Waits in short slices so that a cancel is seen within a fifth of a
        // second; the session's own time limit ends a silent server.
        while (!session.WaitForResponse(200)) {
            if (bCancel) {
                session.Stop();
                strError = "已取消";
                return false;
            }
        }
        if (session.m_nError == 0 && session.FollowRedirect())
            session.WaitForResponse();
        const std::string_view strBody = session.GetBody();
        if (session.m_nError != 0 || strBody.empty()) {
            strError = session.m_nError != 0 ? session.GetErrorText() : "网页内容为空";
            return false;
        }
        strPage.assign(strBody);
        return true;
    };
}

FFetchPage FetchAsTask(const CMarkupDoc& def, const std::string& strViewUrl)
{
    auto pDef = std::make_shared<CMarkupDoc>();
    pDef->CopyFrom(def);
    CMarkupNode* pNetwork = pDef->FindPath(PATH_NETWORK);
    if (pNetwork == nullptr)
        return FetchByGet(strViewUrl);
    const char* pszUrl = pNetwork->GetChildValue(KEY_URL);
    if (pszUrl == nullptr || *pszUrl == '\0')
        pNetwork->SetChildValue(KEY_URL, strViewUrl);
    // The first pick of a new task comes before any block, and an extraction
    // without blocks fetches nothing: a block on the first node of the page
    // makes it fetch (what it extracts is not used).
    if (pDef->FindPath(PATH_LOCATION) == nullptr) {
        if (CMarkupNode* pRoot = pDef->FindPath(KEY_ROOT)) {
            auto* pLocation = new CMarkupNode(KEY_LOCATION);
            pLocation->SetChildValue(KEY_PATH, "");
            pLocation->SetChildValue(KEY_STEP, "");
            pRoot->AppendChild(pLocation);
        }
    }
    return [pDef](const std::atomic<bool>& bCancel, std::string& strPage, std::string& strError) {
        CExtractOnce extract;
        CExtractResult result;
        // The extraction blocks; a watcher turns the job's cancel into its own.
        std::atomic<bool> bDone{false};
        std::thread watcher([&] {
            while (!bDone) {
                if (bCancel) {
                    extract.Cancel();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        const bool bOk = extract.Run(*pDef, result);
        bDone = true;
        watcher.join();
        if (!bOk || result.m_strPage.empty()) {
            strError = result.m_bCancelled ? "已取消" : result.m_strLog;
            while (!strError.empty() && (strError.back() == '\n' || strError.back() == '\r'))
                strError.pop_back();
            if (strError.empty())
                strError = "网页内容为空";
            return false;
        }
        strPage = std::move(result.m_strPage);
        return true;
    };
}

CPathCheckJob::CPathCheckJob(QObject* pParent)
    : QObject(pParent)
{
}

CPathCheckJob::~CPathCheckJob()
{
    Cancel();
}

void CPathCheckJob::Cancel()
{
    ++m_nJob;  // An outcome already on its way is dropped.
    if (m_pCancel)
        *m_pCancel = true;
    if (m_thread.joinable())
        m_thread.join();
    m_bDelivered = true;
}

void CPathCheckJob::Start(FFetchPage fnFetch, SPickedElement picked, int nType, std::string strAttribute)
{
    Cancel();
    const unsigned nJob = ++m_nJob;
    m_pCancel = std::make_shared<std::atomic<bool>>(false);
    m_bDelivered = false;
    m_thread = std::thread([this, nJob, pCancel = m_pCancel, fnFetch = std::move(fnFetch), picked = std::move(picked),
                            nType, strAttribute = std::move(strAttribute)]() mutable {
        auto pOutcome = std::make_shared<SCheckOutcome>();
        pOutcome->picked = std::move(picked);
        pOutcome->bFetched = fnFetch(*pCancel, pOutcome->strPage, pOutcome->strError);
        if (*pCancel)
            return;
        CHtmlDoc doc;
        doc.Parse(pOutcome->strPage.data(), pOutcome->strPage.size());
        pOutcome->check = CheckPickedPath(doc, pOutcome->picked, nType, strAttribute);
        // Widgets and this object's fields belong to the GUI thread: the
        // outcome travels in a queued call, dropped if the job is gone or a
        // newer check has started.
        QMetaObject::invokeMethod(this, [this, nJob, pOutcome] {
            if (nJob != m_nJob)
                return;
            if (m_thread.joinable())
                m_thread.join();
            m_outcome = std::move(*pOutcome);
            m_bDelivered = true;
            emit checked();
        }, Qt::QueuedConnection);
    });
}

} // namespace quarvex
