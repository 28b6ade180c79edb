// LinkedFetch.cpp - columns whose value comes from another page or file. Each
// fetch runs on the caller's thread through a session of its own and waits
// for it; the session's own time limit bounds every wait.
#include "Location.h"

#include "HtmlDoc.h"
#include "http/HttpPostSession.h"
#include "http/PoliteFetch.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct SCloseFile {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};

// Fetches strUrl with a default Referer; true when a non-empty body came back.
// The pass's policy (turns at the host, stop, retries, robots.txt) applies.
bool Fetch(CHttpPostSession& session, const std::string& strUrl)
{
    const SFetchPolicy* pPolicy = CurrentFetchPolicy();
    const CEvent* pStop = pPolicy != nullptr ? pPolicy->pStop : nullptr;
    const EPoliteResult eResult = PoliteExchange(session, strUrl, pPolicy, [&]() {
        session.Get(strUrl.c_str(), nullptr);
        WaitStoppable(session, pStop);
    });
    return eResult == POLITE_DONE && session.m_nError == HTTP_OK && session.m_nBodyLen > 0;
}

} // namespace

void CDataNode::GetLinkedPage(const CHtmlNode* pNode, std::string& strOut) const
{
    std::string strUrl;
    if (m_pLinked == nullptr || !pNode->GetAttribute(m_strAttribute, strUrl) || strUrl.empty())
        return;
    // The session holds the body the document points into, so it is
    // declared first and outlives the document.
    CHttpPostSession session;
    if (!Fetch(session, strUrl))
        return;
    CHtmlDoc doc;
    const std::string_view strBody = session.GetBody();
    doc.Parse(strBody.data(), strBody.size());
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
    std::string strLink;
    if (!pNode->GetAttribute(m_strAttribute, strLink) || strLink.empty())
        return;
    CHttpPostSession session;
    if (!Fetch(session, strLink))
        return;
    // One "302 Found" is followed; the file is then named after where it
    // really came from.
    if (session.FollowRedirect()) {
        const SFetchPolicy* pPolicy = CurrentFetchPolicy();
        WaitStoppable(session, pPolicy != nullptr ? pPolicy->pStop : nullptr);
        if (session.m_nError != HTTP_OK || session.m_nBodyLen <= 0)
            return;
        strLink = session.m_strUrl;
    }

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
    const std::string_view strBody = session.GetBody();
    std::fwrite(strBody.data(), 1, strBody.size(), pFile.get());
}
