// HtmlDoc.cpp - reading a page into nodes, and the renderings of a node.
// Reading keeps the open elements on a stack of its own rather than on the
// call stack, so a page nested a million levels deep parses like any other.
#include "HtmlDoc.h"

#include "CharRef.h"
#include "http/UrlResolve.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Space, tab, line feed, vertical tab, form feed, carriage return; bytes
// above 127 are never whitespace.
inline bool IsSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool IsLetter(unsigned char c)
{
    return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}

inline unsigned char LowerAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualNoCase(const char* pA, const char* pB, size_t nLen)
{
    for (size_t i = 0; i < nLen; ++i) {
        if (LowerAscii(static_cast<unsigned char>(pA[i])) != LowerAscii(static_cast<unsigned char>(pB[i])))
            return false;
    }
    return true;
}

inline bool NamesEqual(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && EqualNoCase(a.data(), b.data(), a.size());
}

// Tags whose elements have content, sorted by byte value for bisection.
const char* const s_apszContainerTags[] = {
    "a", "abbr", "acronym", "address", "applet", "b", "bdo", "big", "blockquote", "body",
    "button", "caption", "center", "cite", "code", "colgroup", "dd", "del", "dfn", "dir",
    "div", "dl", "dt", "em", "fieldset", "font", "form", "frameset", "h1", "h2",
    "h3", "h4", "h5", "h6", "head", "html", "i", "iframe", "ins", "kbd",
    "label", "legend", "li", "map", "menu", "noframes", "noscript", "object", "ol", "optgroup",
    "option", "p", "pre", "q", "s", "samp", "script", "select", "small", "span",
    "strike", "strong", "style", "sub", "sup", "table", "tbody", "td", "textarea", "tfoot",
    "th", "thead", "title", "tr", "tt", "u", "ul", "var",
};
constexpr int CONTAINER_COUNT = static_cast<int>(std::size(s_apszContainerTags));
static_assert(CONTAINER_COUNT == 78);

// Index into s_apszContainerTags, or -1.
int FindContainerTag(const char* pName, size_t nLen)
{
    int nLow = 0;
    int nHigh = CONTAINER_COUNT - 1;
    while (nLow <= nHigh) {
        const int nMid = (nLow + nHigh) / 2;
        const unsigned char* pTag = reinterpret_cast<const unsigned char*>(s_apszContainerTags[nMid]);
        int nCmp = 0;
        size_t i = 0;
        for (; i < nLen; ++i) {
            const unsigned char c = LowerAscii(static_cast<unsigned char>(pName[i]));
            if (pTag[i] == 0 || pTag[i] < c) {
                nCmp = 1;
                break;
            }
            if (pTag[i] > c) {
                nCmp = -1;
                break;
            }
        }
        if (nCmp == 0 && pTag[i] != 0)
            nCmp = -1;  // The name is a proper prefix of the tag.
        if (nCmp == 0)
            return nMid;
        if (nCmp > 0)
            nLow = nMid + 1;
        else
            nHigh = nMid - 1;
    }
    return -1;
}

// A stack that lives in the caller's frame while it is shallow, which covers
// every ordinary page, and moves to the heap only for deep trees.
template <typename T>
class CSmallStack {
public:
    void Push(T value)
    {
        if (m_nCount < std::size(m_aLocal))
            m_aLocal[m_nCount] = value;
        else
            m_aMore.push_back(value);
        ++m_nCount;
    }
    T Pop()
    {
        --m_nCount;
        if (m_nCount < std::size(m_aLocal))
            return m_aLocal[m_nCount];
        T value = m_aMore.back();
        m_aMore.pop_back();
        return value;
    }
    bool IsEmpty() const { return m_nCount == 0; }

private:
    T m_aLocal[64];
    std::vector<T> m_aMore;
    size_t m_nCount = 0;
};

} // namespace

bool IsContainerTag(std::string_view strName)
{
    return FindContainerTag(strName.data(), strName.size()) >= 0;
}

// ---------------------------------------------------------------------------
// Reading

// One element whose content is being read.
struct SOpenElement {
    CHtmlNode* pElem;
    CHtmlNode* pLast;  // Last node of its child chain so far.
    int nTag;          // Index of its name among the container tags.
};

class CHtmlReader {
public:
    CHtmlReader(CHtmlDoc& doc, const char* pText, const char* pEnd)
        : m_doc(doc), m_pEnd(pEnd), m_p(pText)
    {
        std::fill(std::begin(m_anOpen), std::end(m_anOpen), 0u);
        m_nScript = FindContainerTag("script", 6);
        m_nStyle = FindContainerTag("style", 5);
        m_nDiv = FindContainerTag("div", 3);
        m_nSpan = FindContainerTag("span", 4);
    }

    void Run();

private:
    CHtmlNode* NewNode(const char* pStart, const char* pEnd, uint8_t nKind, size_t nNameLen)
    {
        CHtmlNode* pNode = m_doc.NewNode();
        pNode->m_pNext = nullptr;
        pNode->m_pFirstChild = nullptr;
        pNode->m_pStart = pStart;
        pNode->m_nLen = static_cast<uint32_t>(pEnd - pStart);
        pNode->m_nNameLen = static_cast<uint32_t>(nNameLen);
        pNode->m_nKind = nKind;
        return pNode;
    }
    static void SetEnd(CHtmlNode* pNode, const char* pEnd)
    {
        pNode->m_nLen = static_cast<uint32_t>(pEnd - pNode->m_pStart);
    }

    CHtmlNode* ReadToken(int& nTag);
    CHtmlNode* ReadText(const char* pStart);
    void ReadRawText(SOpenElement& open);
    void Push(CHtmlNode* pElem, int nTag);
    void Deliver(CHtmlNode* pToken, CHtmlNode* pPending);
    void AppendTopLevel(CHtmlNode* pNode);
    static void AppendChain(CHtmlNode*& pLast, CHtmlNode* pNode);

    CHtmlDoc& m_doc;
    const char* const m_pEnd;
    const char* m_p;  // Next byte to read.
    CHtmlNode* m_pTopLast = nullptr;
    std::vector<SOpenElement> m_aOpen;
    // Open elements per container tag: an end tag closes elements further
    // out only when one of them has its name, and counting answers that
    // without walking a stack that a hostile page can make very deep.
    uint32_t m_anOpen[CONTAINER_COUNT];
    int m_nScript, m_nStyle, m_nDiv, m_nSpan;
};

// Appends pNode (and whatever siblings are already linked behind it) to the
// chain whose last node is pLast.
void CHtmlReader::AppendChain(CHtmlNode*& pLast, CHtmlNode* pNode)
{
    pLast->m_pNext = pNode;
    pLast = pNode;
    while (pLast->m_pNext != nullptr)
        pLast = pLast->m_pNext;
}

void CHtmlReader::AppendTopLevel(CHtmlNode* pNode)
{
    if (m_pTopLast == nullptr) {
        m_doc.m_pFirst = pNode;
        m_pTopLast = pNode;
        while (m_pTopLast->m_pNext != nullptr)
            m_pTopLast = m_pTopLast->m_pNext;
    } else {
        AppendChain(m_pTopLast, pNode);
    }
}

CHtmlNode* CHtmlReader::ReadText(const char* pStart)
{
    // The first byte never ends the run: either it is not "<", or it is a
    // "<" that starts no tag.
    const char* p = pStart + 1;
    for (;;) {
        p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(m_pEnd - p)));
        if (p == nullptr) {
            p = m_pEnd;
            break;
        }
        if (p + 1 < m_pEnd) {
            const unsigned char c = static_cast<unsigned char>(p[1]);
            if (IsLetter(c) || c == '!' || c == '/')
                break;
        }
        ++p;
    }
    m_p = p;
    return NewNode(pStart, p, CHtmlNode::KIND_TEXT, static_cast<size_t>(p - pStart));
}

// Reads the token at m_p. nTag is set to the container index when the token
// is an element whose content must be read next, otherwise to -1.
CHtmlNode* CHtmlReader::ReadToken(int& nTag)
{
    nTag = -1;
    const char* const pStart = m_p;
    if (*pStart != '<' || pStart + 1 >= m_pEnd)
        return ReadText(pStart);
    const unsigned char c1 = static_cast<unsigned char>(pStart[1]);

    if (c1 == '!' && pStart + 3 < m_pEnd && pStart[2] == '-' && pStart[3] == '-') {
        // Comment. The search for "-->" starts after "<!--", so "<!-->" is
        // not a whole comment.
        const char* pName = pStart + 4;
        for (const char* p = pName; p + 2 < m_pEnd; ++p) {
            p = static_cast<const char*>(std::memchr(p, '-', static_cast<size_t>(m_pEnd - 2 - p)));
            if (p == nullptr)
                break;
            if (p[1] == '-' && p[2] == '>') {
                m_p = p + 3;
                return NewNode(pStart, p + 3, CHtmlNode::KIND_COMMENT, static_cast<size_t>(p + 2 - pName));
            }
        }
        m_p = m_pEnd;
        return NewNode(pStart, m_pEnd, CHtmlNode::KIND_COMMENT, static_cast<size_t>(m_pEnd - pName));
    }

    if (c1 == '/') {
        const char* pName = pStart + 2;
        const char* p = pName;
        while (p < m_pEnd && *p != '>' && !IsSpace(static_cast<unsigned char>(*p)))
            ++p;
        const size_t nNameLen = static_cast<size_t>(p - pName);
        const char* pGt = static_cast<const char*>(std::memchr(p, '>', static_cast<size_t>(m_pEnd - p)));
        m_p = pGt != nullptr ? pGt + 1 : m_pEnd;
        return NewNode(pStart, m_p, CHtmlNode::KIND_END_TAG, nNameLen);
    }

    if (c1 != '!' && !IsLetter(c1))
        return ReadText(pStart);

    // An element: the name runs to whitespace or ">", so "<br/>" is named
    // "br/"; the attributes are skipped up to the first ">" whatever their
    // quotes say, and read only when asked for.
    const char* pName = pStart + 1;
    const char* p = pName + 1;
    while (p < m_pEnd && *p != '>' && !IsSpace(static_cast<unsigned char>(*p)))
        ++p;
    const size_t nNameLen = static_cast<size_t>(p - pName);
    const char* pGt = static_cast<const char*>(std::memchr(p, '>', static_cast<size_t>(m_pEnd - p)));
    if (pGt == nullptr) {
        m_p = m_pEnd;
        return NewNode(pStart, m_pEnd, CHtmlNode::KIND_ELEMENT, nNameLen);
    }
    m_p = pGt + 1;
    CHtmlNode* pNode = NewNode(pStart, m_p, CHtmlNode::KIND_ELEMENT, nNameLen);
    if (pGt[-1] != '/')
        nTag = FindContainerTag(pName, nNameLen);
    return pNode;
}

// The text of a script or style element is read raw up to its own end tag.
// Quoted strings are skipped whole, so '</script>' inside a string literal
// does not end the script.
void CHtmlReader::ReadRawText(SOpenElement& open)
{
    const std::string_view strName = open.pElem->GetName();
    const char* const pStart = m_p;
    const char* p = pStart;
    while (p < m_pEnd) {
        const char c = *p;
        if (c == '"' || c == '\'') {
            ++p;
            while (p < m_pEnd) {
                if (*p == '\\') {
                    p += (m_pEnd - p >= 2) ? 2 : 1;
                    continue;
                }
                if (*p++ == c)
                    break;
            }
            continue;
        }
        if (c == '<' && m_pEnd - p >= 2 && p[1] == '/' &&
            static_cast<size_t>(m_pEnd - (p + 2)) >= strName.size() &&
            EqualNoCase(p + 2, strName.data(), strName.size()))
            break;
        ++p;
    }
    m_p = p;
    CHtmlNode* pText = NewNode(pStart, p, CHtmlNode::KIND_TEXT, static_cast<size_t>(p - pStart));
    open.pElem->m_pFirstChild = pText;
    open.pLast = pText;
}

void CHtmlReader::Push(CHtmlNode* pElem, int nTag)
{
    ++m_anOpen[nTag];
    m_aOpen.push_back({ pElem, nullptr, nTag });
    if (nTag == m_nScript || nTag == m_nStyle)
        ReadRawText(m_aOpen.back());
}

// Hands a finished token to the element being read (or to the top level).
// pPending is an end tag that reading the token left for the element, one
// that closes an element further out. Whenever an element ends here, it
// becomes the finished token of the element around it, until one keeps it.
void CHtmlReader::Deliver(CHtmlNode* pToken, CHtmlNode* pPending)
{
    for (;;) {
        if (m_aOpen.empty()) {
            AppendTopLevel(pToken);
            // A pending close always names an open element, so none reaches
            // the top level; keep it rather than lose it if one ever did.
            if (pPending != nullptr)
                AppendTopLevel(pPending);
            return;
        }
        SOpenElement& open = m_aOpen.back();
        CHtmlNode* const pElem = open.pElem;
        const uint8_t nKind = pToken->m_nKind;

        // A token of the element's own name closes it: its end tag, or a
        // start tag of the same name (only div and span nest).
        if ((nKind == CHtmlNode::KIND_END_TAG ||
             (nKind == CHtmlNode::KIND_ELEMENT && open.nTag != m_nDiv && open.nTag != m_nSpan)) &&
            NamesEqual(pToken->GetName(), pElem->GetName())) {
            pElem->m_pNext = pToken;
            SetEnd(pElem, pToken->m_pStart);
            --m_anOpen[open.nTag];
            m_aOpen.pop_back();
            pToken = pElem;
            continue;  // pPending, if any, moves out with the element.
        }

        // An end tag that names an element further out closes this one and
        // everything up to that element.
        if (nKind == CHtmlNode::KIND_END_TAG) {
            const int nTag = FindContainerTag(pToken->GetNameStart(), pToken->m_nNameLen);
            if (nTag >= 0 && m_anOpen[nTag] > 0) {
                SetEnd(pElem, pToken->m_pStart);
                --m_anOpen[open.nTag];
                m_aOpen.pop_back();
                pPending = pToken;
                pToken = pElem;
                continue;
            }
        }

        if (open.pLast == nullptr) {
            pElem->m_pFirstChild = pToken;
            open.pLast = pToken;
            while (open.pLast->m_pNext != nullptr)
                open.pLast = open.pLast->m_pNext;
        } else {
            AppendChain(open.pLast, pToken);
        }
        if (pPending == nullptr)
            return;

        SetEnd(pElem, pPending->m_pStart);
        --m_anOpen[open.nTag];
        m_aOpen.pop_back();
        if (NamesEqual(pPending->GetName(), pElem->GetName())) {
            pElem->m_pNext = pPending;
            pPending = nullptr;
        }
        pToken = pElem;
    }
}

void CHtmlReader::Run()
{
    while (m_p < m_pEnd) {
        int nTag;
        CHtmlNode* pToken = ReadToken(nTag);
        if (nTag >= 0)
            Push(pToken, nTag);
        else
            Deliver(pToken, nullptr);
    }
    // Elements still open at the end of the text end there, innermost first.
    while (!m_aOpen.empty()) {
        CHtmlNode* pElem = m_aOpen.back().pElem;
        SetEnd(pElem, m_pEnd);
        --m_anOpen[m_aOpen.back().nTag];
        m_aOpen.pop_back();
        Deliver(pElem, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Document

CHtmlDoc::CHtmlDoc() = default;
CHtmlDoc::~CHtmlDoc() = default;

void CHtmlDoc::Clear()
{
    m_pFirst = nullptr;
    m_strBaseUrl.clear();
    m_aBlocks.clear();
    m_nBlock = 0;
    m_nBlockUsed = 0;
    m_nNodes = 0;
}

// Blocks double from 256 nodes up to 64 Ki nodes (2.5 MB), so a small page
// costs one allocation and a large one wastes little.
size_t CHtmlDoc::BlockSize(size_t nBlock)
{
    return nBlock >= 8 ? 65536 : size_t(256) << nBlock;
}

CHtmlNode* CHtmlDoc::NewNode()
{
    if (m_aBlocks.empty()) {
        m_aBlocks.emplace_back(new CHtmlNode[BlockSize(0)]);
        m_nBlock = 0;
        m_nBlockUsed = 0;
    } else if (m_nBlockUsed == BlockSize(m_nBlock)) {
        ++m_nBlock;
        if (m_nBlock == m_aBlocks.size())
            m_aBlocks.emplace_back(new CHtmlNode[BlockSize(m_nBlock)]);
        m_nBlockUsed = 0;
    }
    ++m_nNodes;
    return &m_aBlocks[m_nBlock][m_nBlockUsed++];
}

void CHtmlDoc::Parse(const char* pszText)
{
    Parse(pszText, pszText != nullptr ? std::strlen(pszText) : 0);
}

void CHtmlDoc::Parse(const char* pText, size_t nLen)
{
    m_pFirst = nullptr;
    m_strBaseUrl.clear();
    m_nBlock = 0;
    m_nBlockUsed = 0;
    m_nNodes = 0;
    if (pText != nullptr && nLen > 0) {
        // Node spans are 32-bit; no page this tool fetches comes near the limit.
        const size_t nMax = UINT32_MAX - 1;
        if (nLen > nMax)
            nLen = nMax;
        CHtmlReader reader(*this, pText, pText + nLen);
        reader.Run();
    }
    const size_t nKeep = m_nNodes == 0 ? 0 : m_nBlock + 1;
    m_aBlocks.resize(std::min(nKeep, m_aBlocks.size()));
}

const CHtmlNode* CHtmlDoc::FindPath(std::string_view strPath) const
{
    if (m_pFirst == nullptr)
        return nullptr;
    return m_pFirst->FindPath(strPath);
}

// ---------------------------------------------------------------------------
// Node operations

bool CHtmlNode::IsElement(std::string_view strName) const
{
    return m_nKind == KIND_ELEMENT && NamesEqual(GetName(), strName);
}

const CHtmlNode* CHtmlNode::FindPath(std::string_view strPath) const
{
    const CHtmlNode* pNode = this;
    size_t i = 0;
    while (i < strPath.size()) {
        const char c = strPath[i];
        if (c == '@') {
            pNode = pNode->m_pFirstChild;
            ++i;
        } else if (c == '#') {
            pNode = pNode->m_pNext;
            ++i;
        } else {
            size_t nEnd = strPath.find_first_of("@#", i);
            if (nEnd == std::string_view::npos)
                nEnd = strPath.size();
            const std::string_view strName = strPath.substr(i, nEnd - i);
            while (pNode != nullptr && !pNode->IsElement(strName))
                pNode = pNode->m_pNext;
            i = nEnd;
        }
        if (pNode == nullptr)
            return nullptr;
    }
    return pNode;
}

void CHtmlNode::AppendText(std::string& strOut) const
{
    AppendTextRuns(strOut, false);
}

void CHtmlNode::AppendDecodedText(std::string& strOut) const
{
    AppendTextRuns(strOut, true);
}

void CHtmlNode::AppendTextRuns(std::string& strOut, bool bDecode) const
{
    // Pre-order over this node and its descendants (not its siblings); the
    // stack holds the sibling to continue with after each subtree.
    CSmallStack<const CHtmlNode*> stack;
    const CHtmlNode* pNode = this;
    for (;;) {
        const CHtmlNode* pDown = nullptr;
        if (pNode->m_nKind == KIND_TEXT) {
            const char* p = pNode->m_pStart;
            const char* pEnd = pNode->GetEnd();
            while (p < pEnd && IsSpace(static_cast<unsigned char>(*p)))
                ++p;
            while (pEnd > p && IsSpace(static_cast<unsigned char>(pEnd[-1])))
                --pEnd;
            if (bDecode)
                AppendDecodedCharRefs(std::string_view(p, static_cast<size_t>(pEnd - p)), CHARREF_TEXT, strOut);
            else
                strOut.append(p, static_cast<size_t>(pEnd - p));
        } else if (pNode->m_nKind == KIND_ELEMENT) {
            const std::string_view strName = pNode->GetName();
            if (NamesEqual(strName, "br"))
                strOut.append("\r\n");
            else if (!NamesEqual(strName, "script") && !NamesEqual(strName, "style"))
                pDown = pNode->m_pFirstChild;
        }
        if (pDown != nullptr) {
            if (pNode != this && pNode->m_pNext != nullptr)
                stack.Push(pNode->m_pNext);
            pNode = pDown;
            continue;
        }
        pNode = pNode != this ? pNode->m_pNext : nullptr;
        if (pNode == nullptr) {
            if (stack.IsEmpty())
                return;
            pNode = stack.Pop();
        }
    }
}

void CHtmlNode::AppendInnerHtml(std::string& strOut) const
{
    if (m_nKind == KIND_TEXT || m_nKind == KIND_COMMENT) {
        strOut.append(m_pStart, m_nLen);
        return;
    }
    if (m_nKind != KIND_ELEMENT)
        return;
    const char* pGt = static_cast<const char*>(std::memchr(m_pStart, '>', m_nLen));
    if (pGt != nullptr)
        strOut.append(pGt + 1, static_cast<size_t>(GetEnd() - (pGt + 1)));
}

void CHtmlNode::AppendOuterHtml(std::string& strOut) const
{
    strOut.append(m_pStart, m_nLen);
    // Only an element is closed here; any other node is its own source.
    if (m_nKind == KIND_ELEMENT) {
        strOut.append("</");
        strOut.append(GetNameStart(), m_nNameLen);
        strOut.push_back('>');
    }
}

bool CHtmlNode::GetAttribute(std::string_view strName, std::string& strOut) const
{
    if (m_nKind != KIND_ELEMENT || strName.empty())
        return false;
    const char* p = GetNameEnd();
    // The scan ends with the tag: at its first ">", or where the node ends
    // when the tag has none.
    const char* pLimit = GetEnd();
    if (const char* pGt = static_cast<const char*>(std::memchr(p, '>', static_cast<size_t>(pLimit - p))))
        pLimit = pGt + 1;

    auto SkipSpace = [&] {
        while (p < pLimit && IsSpace(static_cast<unsigned char>(*p)))
            ++p;
    };
    for (;;) {
        SkipSpace();
        if (p >= pLimit)
            return false;
        const char* pAttr = p;
        while (p < pLimit && *p != '=' && *p != '>' && !IsSpace(static_cast<unsigned char>(*p)))
            ++p;
        const std::string_view strAttr(pAttr, static_cast<size_t>(p - pAttr));
        if (p >= pLimit || *p == '>')
            return false;
        SkipSpace();
        if (p >= pLimit)
            return false;
        if (*p != '=')
            continue;  // No value: this character starts the next attribute.
        ++p;
        SkipSpace();
        if (p >= pLimit || *p == '>')
            return false;
        const bool bMatch = NamesEqual(strAttr, strName);
        std::string strValue;
        if (*p == '"' || *p == '\'') {
            const char cQuote = *p++;
            while (p < pLimit) {
                const char c = *p;
                if (c == '\\') {
                    // The backslash is dropped and the next byte kept.
                    if (++p >= pLimit)
                        break;
                    if (bMatch)
                        strValue.push_back(*p);
                    ++p;
                    continue;
                }
                if (c == cQuote) {
                    ++p;
                    break;
                }
                if (c == '>')
                    break;
                if (bMatch)
                    strValue.push_back(c);
                ++p;
            }
        } else {
            const char* pValue = p;
            while (p < pLimit && *p != '>' && !IsSpace(static_cast<unsigned char>(*p)))
                ++p;
            if (bMatch)
                strValue.assign(pValue, static_cast<size_t>(p - pValue));
        }
        if (bMatch) {
            strOut = std::move(strValue);
            return true;
        }
    }
}

const CHtmlNode* CHtmlDoc::FindElement(std::string_view strName) const
{
    // Pre-order without recursion: a hostile page may nest without limit.
    CSmallStack<const CHtmlNode*> stack;
    const CHtmlNode* pNode = m_pFirst;
    while (pNode != nullptr) {
        if (pNode->IsElement(strName))
            return pNode;
        if (pNode->m_pFirstChild != nullptr) {
            if (pNode->m_pNext != nullptr)
                stack.Push(pNode->m_pNext);
            pNode = pNode->m_pFirstChild;
            continue;
        }
        pNode = pNode->m_pNext;
        if (pNode == nullptr && !stack.IsEmpty())
            pNode = stack.Pop();
    }
    return nullptr;
}

void CHtmlDoc::SetPageUrl(std::string_view strUrl)
{
    m_strBaseUrl.assign(strUrl);
    const CHtmlNode* pBase = FindElement("base");
    std::string strHref;
    if (pBase != nullptr && pBase->GetAttribute("href", strHref) && !strHref.empty())
        m_strBaseUrl = ResolveUrl(strUrl, DecodeCharRefs(strHref, CHARREF_ATTRIBUTE));
}
