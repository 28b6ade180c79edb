// ExtractOnce.cpp - a task pass without outputs, for previews and checks.
#include "ExtractOnce.h"

#include <vector>

#include "Task.h"
#include "platform/LocalTime.h"

namespace {

void AppendLogLine(std::string& strLog, const std::string& strText)
{
    strLog += "[";
    strLog += quarvex::FormatLocalTimeNow("%Y-%m-%d %H:%M:%S");
    strLog += "]:";
    strLog += strText;
    strLog += "\r\n";
}

// Turns every linked-file column of the forest, linked pages included, into
// an attribute column on the same link: the value becomes the address the
// task would download, and nothing reaches the disk.
void DisarmLinkedFiles(CLocation* pFirst)
{
    std::vector<CLocation*> aPending;
    if (pFirst != nullptr)
        aPending.push_back(pFirst);
    while (!aPending.empty()) {
        CLocation* pChain = aPending.back();
        aPending.pop_back();
        for (CLocation* p = pChain; p != nullptr; p = p->m_pNext) {
            for (CDataNode* pData = p->m_pFirstData; pData != nullptr; pData = pData->m_pNext) {
                if (pData->m_nType == CDataNode::TYPE_LINKED_FILE)
                    pData->m_nType = CDataNode::TYPE_ATTRIBUTE;
                if (pData->m_pLinked != nullptr)
                    aPending.push_back(pData->m_pLinked);
            }
            if (p->m_pFirstChild != nullptr)
                aPending.push_back(p->m_pFirstChild);
        }
    }
}

} // namespace

CExtractOnce::CExtractOnce() : m_pTask(std::make_unique<CTask>()) {}

CExtractOnce::~CExtractOnce() = default;

void CExtractOnce::Cancel()
{
    m_bCancel = true;
    m_pTask->RequestStop();
}

bool CExtractOnce::Run(const quarvex::CMarkupDoc& def, CExtractResult& result)
{
    result = CExtractResult();
    std::string strText;
    def.SaveToString(strText);
    m_pTask->LoadDefinition(strText.c_str());
    // Loading ends any worker and clears a stop that came before it; a
    // Cancel in that window is still seen here.
    if (m_bCancel) {
        result.m_bCancelled = true;
        return false;
    }
    return m_pTask->ExtractOnce(result, m_bCancel);
}

bool CExtractOnce::RunOnPage(const quarvex::CMarkupDoc& def, const std::string& strPage, const std::string& strUrl,
                             CExtractResult& result)
{
    result = CExtractResult();
    std::string strText;
    def.SaveToString(strText);
    m_pTask->LoadDefinition(strText.c_str());
    if (m_bCancel) {
        result.m_bCancelled = true;
        return false;
    }
    return m_pTask->ExtractFromPage(strPage, strUrl, result, m_bCancel);
}

bool CTask::ExtractOnce(CExtractResult& result, const std::atomic<bool>& bCancel)
{
    result.m_aColumnNames = GetColumnNames();
    if (m_pLocations == nullptr) {
        AppendLogLine(result.m_strLog, "没有定义任何区块，无需摘取。");
        return false;
    }
    DisarmLinkedFiles(m_pLocations);

    // A preview always reads the whole page: no validators are sent.
    m_session.m_strIfNoneMatch.clear();
    m_session.m_strIfModifiedSince.clear();
    if (m_nMethod != 0) {
        const std::string strBody = m_strParams.empty() ? std::string() : m_strParams.substr(1);
        m_session.Start(true, m_strPageUrl, m_strReferer.c_str(), strBody);
    } else {
        m_session.Start(false, m_strPageUrl + m_strParams, m_strReferer.c_str(), std::string());
    }
    CWebSession::EStep eStep;
    for (;;) {
        WaitForPage();
        if (bCancel) {
            result.m_bCancelled = true;
            return false;
        }
        eStep = m_session.TakeResponse();
        if (eStep != CWebSession::STEP_REDIRECT)
            break;
    }
    if (eStep != CWebSession::STEP_DONE || m_session.GetPageBody().empty()) {
        if (!m_session.m_strFailure.empty())
            AppendLogLine(result.m_strLog, m_session.m_strFailure);
        AppendLogLine(result.m_strLog, "无法从" + m_strPageUrl + "获取网页内容。错误原因：" + m_session.DescribeError());
        return false;
    }
    result.m_bFetched = true;
    const std::string strCharsetLine = ParsePage();
    if (!strCharsetLine.empty())
        AppendLogLine(result.m_strLog, strCharsetLine);
    result.m_strPage = m_strPage;
    AppendLogLine(result.m_strLog, "成功从" + m_strPageUrl + "取得网页内容。");
    return WalkOnce(result, bCancel);
}

bool CTask::ExtractFromPage(const std::string& strPage, const std::string& strUrl, CExtractResult& result,
                            const std::atomic<bool>& bCancel)
{
    result.m_aColumnNames = GetColumnNames();
    if (m_pLocations == nullptr) {
        AppendLogLine(result.m_strLog, "没有定义任何区块，无需摘取。");
        return false;
    }
    DisarmLinkedFiles(m_pLocations);
    const std::string& strAddress = strUrl.empty() ? m_strPageUrl : strUrl;
    if (strPage.empty()) {
        AppendLogLine(result.m_strLog, "没有" + strAddress + "的网页内容。");
        return false;
    }
    result.m_bFetched = true;
    // The text is UTF-8 already (converted when it was fetched): parsed as it
    // stands, the tree pointing into this task's own copy.
    m_pageDoc.Clear();
    m_strPage = strPage;
    m_pageDoc.Parse(m_strPage.data(), m_strPage.size());
    m_pageDoc.SetPageUrl(strAddress);
    m_pageDoc.m_pFetchOptions = &m_fetchOptions;
    result.m_strPage = m_strPage;
    AppendLogLine(result.m_strLog, "使用已取得的" + strAddress + "网页内容。");
    return WalkOnce(result, bCancel);
}

bool CTask::WalkOnce(CExtractResult& result, const std::atomic<bool>& bCancel)
{
    // A private list, so that records repeating a key within the page are
    // dropped exactly as a first pass of the task drops them.
    CDataList seen;
    seen.SetKeyColumns(m_aKeyColumns);
    const size_t nColumns = m_columns.GetCount();
    std::vector<std::string> aRecord(nColumns);
    const int nDepth = m_pLocations->Depth();
    if (m_pLocations->Resolve(m_pageDoc)) {
        for (;;) {
            if (bCancel) {
                result.m_bCancelled = true;
                break;
            }
            ++result.m_nSeen;
            for (std::string& strValue : aRecord)
                strValue.clear();
            for (int k : m_aKeyColumns)
                m_columns.GetAt(k)->GetValue(aRecord[static_cast<size_t>(k)]);
            if (nColumns > 0 && !seen.ContainsKey(aRecord)) {
                for (int k : m_aOtherColumns)
                    m_columns.GetAt(k)->GetValue(aRecord[static_cast<size_t>(k)]);
                seen.Append(aRecord);
                if (result.m_aRecords.size() < CExtractOnce::MAX_RECORDS)
                    result.m_aRecords.push_back(aRecord);
            }
            if (!m_pLocations->StepForest(nDepth))
                break;
        }
    }
    // The page tree and the blocks' nodes go with the text they point into.
    m_pLocations->ClearNodes();
    m_pageDoc.Clear();
    m_strPage.clear();
    if (result.m_bCancelled)
        return false;
    AppendLogLine(result.m_strLog, "成功摘取到" + std::to_string(result.m_nSeen) + "条记录。其中有" +
                                       std::to_string(seen.GetCount()) + "条新记录被处理。");
    return true;
}
