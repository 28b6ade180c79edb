// LinkedFetch.cpp - columns whose value comes from another page or file. Each
// fetch runs on the caller's thread through a session of its own and waits
// for it; the session's own time limit bounds every wait.
#include "Location.h"

#include "CharRef.h"
#include "HtmlDoc.h"
#include "PageCharset.h"
#include "http/UrlResolve.h"
#include "http/WebSession.h"
#include "http/PoliteFetch.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct SCloseFile {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};

// Fetches strUrl with a default Referer, following redirects; true when a
// non-empty body came back.
// The pass's policy (turns at the host, stop, retries, robots.txt) applies.
bool Fetch(CWebSession& session, const CHtmlDoc* pDoc, const std::string& strUrl)
{
    session.m_pOptions = pDoc != nullptr ? pDoc->m_pFetchOptions : nullptr;
    const SFetchPolicy* pPolicy = CurrentFetchPolicy();
    const CEvent* pStop = pPolicy != nullptr ? pPolicy->pStop : nullptr;
    CWebSession::EStep eStep = CWebSession::STEP_FAILED;
    const EPoliteResult eResult = PoliteExchange(session, strUrl, pPolicy, [&]() {
        session.Start(false, strUrl, nullptr, std::string());
        eStep = CWebSession::STEP_FAILED;
        while (WaitStoppable(session, pStop)) {
            eStep = session.TakeResponse();
            if (eStep != CWebSession::STEP_REDIRECT)
                return;
        }
    });
    return eResult == POLITE_DONE && eStep == CWebSession::STEP_DONE && !session.GetPageBody().empty();
}

// The address a link attribute names: its character references decoded,
// read against the base address of the page it is on, without fragment.
bool GetLinkAddress(const CHtmlNode* pNode, const CHtmlDoc* pDoc, const std::string& strAttribute,
                    std::string& strUrl)
{
    std::string strRaw;
    if (!pNode->GetAttribute(strAttribute, strRaw))
        return false;
    strUrl = DecodeCharRefs(strRaw, CHARREF_ATTRIBUTE);
    if (pDoc != nullptr && !pDoc->GetBaseUrl().empty())
        strUrl = ResolveUrl(pDoc->GetBaseUrl(), strUrl);
    strUrl = std::string(StripFragment(strUrl));
    return !strUrl.empty();
}

} // namespace

void CDataNode::GetLinkedPage(const CHtmlNode* pNode, std::string& strOut) const
{
    const CHtmlDoc* pPageDoc = m_pOwner != nullptr ? m_pOwner->m_pDoc : nullptr;
    std::string strUrl;
    if (m_pLinked == nullptr || !GetLinkAddress(pNode, pPageDoc, m_strAttribute, strUrl))
        return;
    CWebSession session;
    if (!Fetch(session, pPageDoc, strUrl))
        return;
    // The text is declared before the document, which points into it.
    const std::string_view strBody = session.GetPageBody();
    const SPageCharset charset = DetectCharset({}, strBody, session.GetHeaderValue("Content-Type"));
    const std::string strText = ConvertToUtf8(strBody.substr(charset.nBomLen), charset.strName);
    CHtmlDoc doc;
    doc.Parse(strText.data(), strText.size());
    doc.SetPageUrl(session.m_strFinalUrl);
    doc.m_pFetchOptions = session.m_pOptions;
    const std::lock_guard<std::mutex> lock(m_linkedMutex);
    CDataNodeList columns;
    m_pLinked->CollectDataNodes(columns);
    // Only the first record of a linked page is taken; its forest is never
    // stepped.
    if (m_pLinked->Resolve(doc)) {
        std::string strValue;
        for (size_t i = 0; i < columns.GetCount(); ++i) {
            columns[i]->GetValue(strValue);
            if (i > 0)
                strOut += m_strOption;
            strOut += strValue;
        }
    }
    // The forest must not keep nodes of a tree that ends here.
    m_pLinked->ClearNodes();
}

void CDataNode::GetLinkedFile(const CHtmlNode* pNode, std::string& strOut) const
{
    const CHtmlDoc* pPageDoc = m_pOwner != nullptr ? m_pOwner->m_pDoc : nullptr;
    std::string strUrl;
    if (!GetLinkAddress(pNode, pPageDoc, m_strAttribute, strUrl))
        return;
    CWebSession session;
    if (!Fetch(session, pPageDoc, strUrl))
        return;
    // Redirects are followed; the file is then named after where it really
    // came from.
    const std::string strLink = session.m_strFinalUrl;

    // The name is what follows the last '/' or '\' up to the first '?'.
    const size_t nSlash = strLink.find_last_of("/\\");
    if (nSlash == std::string::npos)
        return;
    const size_t nQuery = strLink.find('?', nSlash + 1);
    const std::string strName =
        strLink.substr(nSlash + 1, (nQuery == std::string::npos ? strLink.size() : nQuery) - nSlash - 1);
    strOut = m_strOption + strName;

    // A name that is no file name (empty, "." or "..", or cut short by a
    // zero byte) would write onto the directory itself or outside it, so
    // nothing is saved; the value still names the path, as for any file
    // that cannot be opened.
    if (strName.empty() || strName == "." || strName == ".." || strName.find('\0') != std::string::npos)
        return;
    std::unique_ptr<std::FILE, SCloseFile> pFile(std::fopen(strOut.c_str(), "wb"));
    if (pFile == nullptr)
        return;
    const std::string_view strBody = session.GetPageBody();
    std::fwrite(strBody.data(), 1, strBody.size(), pFile.get());
}
