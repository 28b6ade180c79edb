// Location.cpp - resolving and stepping record blocks over a page tree, and
// the values of their columns. Linked pages and files are in LinkedFetch.cpp.
#include "Location.h"

#include "CharRef.h"
#include "HtmlDoc.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <utility>

namespace {

struct STimeStamp {
    const char* pszPath;
    const char* pszFormat;
};

// Paths that stand for the local time rather than a place in the page.
const STimeStamp s_aTimeStamps[] = {
    { "@DATE", "%Y-%m-%d" },
    { "@TIME", "%H:%M:%S" },
    { "@DATETIME", "%Y-%m-%d %H:%M:%S" },
    { "@DATEHOUR", "%Y-%m-%d %H:00:00" },
    { "@DATEMINUTE", "%Y-%m-%d %H:%M:00" },
    { "@DATESECOND", "%Y-%m-%d %H:%M:%S" },
    { "@HOUR", "%H:00:00" },
    { "@MINUTE", "%H:%M:00" },
    { "@SECOND", "%H:%M:%S" },
};

const char* FindTimeStampFormat(const std::string& strPath)
{
    // Every time-stamp name is '@' and an upper-case letter; node paths
    // almost never are, so most columns are let through at once.
    if (strPath.size() < 5 || strPath[0] != '@' || strPath[1] < 'A' || strPath[1] > 'Z')
        return nullptr;
    for (const STimeStamp& stamp : s_aTimeStamps) {
        if (strPath == stamp.pszPath)
            return stamp.pszFormat;
    }
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// CDataNode

CDataNode::~CDataNode()
{
    delete m_pLinked;
    // The rest of the chain is freed in a loop, not through each node's
    // destructor, so a long column chain costs no stack.
    for (CDataNode* p = m_pNext; p != nullptr;) {
        CDataNode* pNext = std::exchange(p->m_pNext, nullptr);
        delete p;
        p = pNext;
    }
}

void CDataNode::GetValue(std::string& strOut) const
{
    strOut.clear();
    if (const char* pszFormat = FindTimeStampFormat(m_strPath)) {
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        char szTime[32];
        const size_t nLen = std::strftime(szTime, sizeof(szTime), pszFormat, &local);
        strOut.assign(szTime, nLen);
        return;
    }
    const CHtmlNode* pNode = m_pOwner != nullptr ? m_pOwner->m_pNode : nullptr;
    if (pNode != nullptr && !m_strPath.empty())
        pNode = pNode->FindPath(m_strPath);
    if (pNode == nullptr)
        return;
    switch (m_nType) {
    case TYPE_TEXT:
        pNode->AppendDecodedText(strOut);
        break;
    case TYPE_INNER_HTML:
        pNode->AppendInnerHtml(strOut);
        break;
    case TYPE_OUTER_HTML:
        pNode->AppendOuterHtml(strOut);
        break;
    case TYPE_ATTRIBUTE: {
        std::string strRaw;
        if (pNode->GetAttribute(m_strAttribute, strRaw))
            AppendDecodedCharRefs(strRaw, CHARREF_ATTRIBUTE, strOut);
        break;
    }
    case TYPE_LINKED_PAGE:
        if (m_pLinked != nullptr)
            GetLinkedPage(pNode, strOut);
        break;
    case TYPE_LINKED_FILE:
        GetLinkedFile(pNode, strOut);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// CLocation

CLocation::CLocation(std::string_view strPath, std::string_view strStep)
    : m_strPath(strPath), m_strStep(strStep)
{
}

CLocation::~CLocation()
{
    delete m_pFirstData;
    delete m_pFirstChild;
    for (CLocation* p = m_pNext; p != nullptr;) {
        CLocation* pNext = std::exchange(p->m_pNext, nullptr);
        delete p;
        p = pNext;
    }
}

void CLocation::AddDataNode(CDataNode* pData)
{
    pData->m_pOwner = this;
    if (m_pFirstData == nullptr) {
        m_pFirstData = pData;
        return;
    }
    CDataNode* pLast = m_pFirstData;
    while (pLast->m_pNext != nullptr)
        pLast = pLast->m_pNext;
    pLast->m_pNext = pData;
}

void CLocation::AddChild(CLocation* pChild)
{
    pChild->m_pParent = this;
    if (m_pFirstChild == nullptr)
        m_pFirstChild = pChild;
    else
        m_pFirstChild->AddSibling(pChild);
}

void CLocation::AddSibling(CLocation* pSibling)
{
    pSibling->m_pParent = m_pParent;
    CLocation* pLast = this;
    while (pLast->m_pNext != nullptr)
        pLast = pLast->m_pNext;
    pLast->m_pNext = pSibling;
}

void CLocation::ClearNodes()
{
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        p->m_pNode = nullptr;
        p->m_pDoc = nullptr;
        if (p->m_pFirstChild != nullptr)
            p->m_pFirstChild->ClearNodes();
    }
}

void CLocation::SetDoc(const CHtmlDoc* pDoc)
{
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        p->m_pDoc = pDoc;
        if (p->m_pFirstChild != nullptr)
            p->m_pFirstChild->SetDoc(pDoc);
    }
}

bool CLocation::Resolve(const CHtmlDoc& doc)
{
    ClearNodes();
    SetDoc(&doc);
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        p->m_pNode = doc.FindPath(p->m_strPath);
        if (p->m_pNode == nullptr)
            return false;
    }
    // Siblings first, then children, so that a block not found anywhere in
    // the chain fails the whole resolution before any child is looked up.
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        if (p->m_pFirstChild != nullptr && !p->m_pFirstChild->ResolveRelative())
            return false;
    }
    return true;
}

bool CLocation::ResolveRelative()
{
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        if (p->m_pParent == nullptr || p->m_pParent->m_pNode == nullptr)
            return false;
        p->m_pNode = p->m_pParent->m_pNode->FindPath(p->m_strPath);
        if (p->m_pNode == nullptr)
            return false;
    }
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        if (p->m_pFirstChild != nullptr && !p->m_pFirstChild->ResolveRelative())
            return false;
    }
    return true;
}

// After a block moves, every block below it starts again from its path. Each
// is resolved on its own: one that is not found stays null, with its own
// children, while its siblings are still resolved, so no column keeps the
// value of an earlier record.
void CLocation::ResolveEachChild()
{
    if (m_pFirstChild == nullptr)
        return;
    m_pFirstChild->ClearNodes();
    for (CLocation* p = m_pFirstChild; p != nullptr; p = p->m_pNext) {
        p->m_pNode = m_pNode != nullptr ? m_pNode->FindPath(p->m_strPath) : nullptr;
        p->m_pDoc = m_pDoc;
        if (p->m_pNode != nullptr)
            p->ResolveEachChild();
    }
}

bool CLocation::Advance(int nLevel, int nTarget)
{
    bool bMoved = false;
    for (CLocation* p = this; p != nullptr; p = p->m_pNext) {
        if (nLevel < nTarget) {
            if (p->m_pFirstChild != nullptr && p->m_pFirstChild->Advance(nLevel + 1, nTarget))
                bMoved = true;
            continue;
        }
        if (p->m_strStep.empty()) {
            p->m_pNode = nullptr;
            continue;
        }
        if (p->m_pNode == nullptr)
            continue;
        const CHtmlNode* pNext = p->m_pNode->FindPath(p->m_strStep);
        // A step made of names that match the current node finds that node
        // again; taking it for a move would repeat the record for ever.
        if (pNext == p->m_pNode)
            pNext = nullptr;
        p->m_pNode = pNext;
        if (pNext != nullptr) {
            bMoved = true;
            p->ResolveEachChild();
        }
    }
    return bMoved;
}

bool CLocation::StepForest(int nDepth)
{
    for (int nTarget = nDepth; nTarget >= 1; --nTarget) {
        if (Advance(1, nTarget))
            return true;
    }
    return false;
}

int CLocation::Depth() const
{
    int nDepth = 0;
    for (const CLocation* p = this; p != nullptr; p = p->m_pNext) {
        const int nOwn = 1 + (p->m_pFirstChild != nullptr ? p->m_pFirstChild->Depth() : 0);
        nDepth = std::max(nDepth, nOwn);
    }
    return nDepth;
}

void CLocation::CollectDataNodes(CDataNodeList& list) const
{
    for (const CLocation* p = this; p != nullptr; p = p->m_pNext) {
        if (p->m_pFirstChild != nullptr)
            p->m_pFirstChild->CollectDataNodes(list);
        for (CDataNode* pData = p->m_pFirstData; pData != nullptr; pData = pData->m_pNext)
            list.Add(pData);
    }
}

// ---------------------------------------------------------------------------
// CDataNodeList

void CDataNodeList::Add(CDataNode* pData)
{
    // Before the first entry of greater order, so equal orders keep the
    // order of addition.
    auto it = std::upper_bound(m_apNodes.begin(), m_apNodes.end(), pData->m_nOrder,
                               [](int nOrder, const CDataNode* p) { return nOrder < p->m_nOrder; });
    m_apNodes.insert(it, pData);
}
