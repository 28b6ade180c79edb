// MarkupDoc.cpp - reading, writing and changing the markup tree. Nothing here
// recurses per nesting level or per sibling: a hostile file may nest a million
// elements or put a million at one level.
#include "markup/MarkupDoc.h"

#include "platform/FileReplace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quarvex {

namespace {

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\v' || ch == '\f';
}

// A copy of text on the heap, zero-terminated, with "&lt;" and "&gt;" turned
// back into "<" and ">". The two escapes cannot overlap, so one pass from the
// left gives what replacing all "&lt;" and then all "&gt;" would give.
char* CopyUnescaped(const char* pBegin, const char* pEnd)
{
    char* pszCopy = new char[static_cast<size_t>(pEnd - pBegin) + 1];
    char* pOut = pszCopy;
    for (const char* p = pBegin; p < pEnd;) {
        if (*p == '&' && pEnd - p >= 4 && p[2] == 't' && p[3] == ';' && (p[1] == 'l' || p[1] == 'g')) {
            *pOut++ = p[1] == 'l' ? '<' : '>';
            p += 4;
        } else {
            *pOut++ = *p++;
        }
    }
    *pOut = '\0';
    return pszCopy;
}

char* CopyName(std::string_view name)
{
    char* pszCopy = new char[name.size() + 1];
    std::memcpy(pszCopy, name.data(), name.size());
    pszCopy[name.size()] = '\0';
    return pszCopy;
}

// Counts the bytes of the text form, or appends them to a string, so that the
// size can be checked and reserved before anything is written.
struct CountSink {
    size_t nSize = 0;
    void Put(const char*, size_t nLen) { nSize += nLen; }
    void Tabs(size_t nCount) { nSize += nCount; }
    void Escaped(const char* pszName)
    {
        for (const char* p = pszName; *p != '\0'; ++p)
            nSize += (*p == '<' || *p == '>') ? 4 : 1;
    }
};

struct StringSink {
    std::string& strOut;
    void Put(const char* p, size_t nLen) { strOut.append(p, nLen); }
    void Tabs(size_t nCount) { strOut.append(nCount, '\t'); }
    void Escaped(const char* pszName)
    {
        const char* pRun = pszName;
        const char* p = pszName;
        for (; *p != '\0'; ++p) {
            if (*p == '<' || *p == '>') {
                strOut.append(pRun, static_cast<size_t>(p - pRun));
                strOut.append(*p == '<' ? "&lt;" : "&gt;", 4);
                pRun = p + 1;
            }
        }
        strOut.append(pRun, static_cast<size_t>(p - pRun));
    }
};

} // namespace

// ---------------------------------------------------------------- CMarkupNode

CMarkupNode::CMarkupNode(std::string_view name, int nKind)
    : m_nKind(nKind), m_pszName(CopyName(name))
{
}

CMarkupNode::~CMarkupNode()
{
    delete[] m_pszName;
    DeleteChain(std::exchange(m_pFirstChild, nullptr));
    DeleteChain(std::exchange(m_pNext, nullptr));
}

// Each node's children are spliced into the chain in front of its next
// sibling before the node is deleted alone, so neither depth nor chain length
// costs stack, and every chain is walked once.
void CMarkupNode::DeleteChain(CMarkupNode* pFirst)
{
    for (CMarkupNode* p = pFirst; p != nullptr;) {
        if (CMarkupNode* pChild = std::exchange(p->m_pFirstChild, nullptr)) {
            CMarkupNode* pLast = pChild;
            while (pLast->m_pNext != nullptr)
                pLast = pLast->m_pNext;
            pLast->m_pNext = p->m_pNext;
            p->m_pNext = pChild;
        }
        CMarkupNode* pNext = std::exchange(p->m_pNext, nullptr);
        delete p;
        p = pNext;
    }
}

std::string_view CMarkupNode::GetNameView() const
{
    return m_pszName != nullptr ? std::string_view(m_pszName) : std::string_view();
}

void CMarkupNode::SetValue(std::string_view text)
{
    char* pszCopy = CopyName(text);
    delete[] m_pszName;
    m_pszName = pszCopy;
}

void CMarkupNode::AppendChild(CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return;
    for (CMarkupNode* p = pNode; p != nullptr; p = p->m_pNext)
        p->m_pParent = this;
    if (m_pFirstChild == nullptr) {
        m_pFirstChild = pNode;
        return;
    }
    CMarkupNode* pLast = m_pFirstChild;
    while (pLast->m_pNext != nullptr)
        pLast = pLast->m_pNext;
    pLast->m_pNext = pNode;
}

void CMarkupNode::AppendSibling(CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return;
    for (CMarkupNode* p = pNode; p != nullptr; p = p->m_pNext)
        p->m_pParent = m_pParent;
    CMarkupNode* pLast = this;
    while (pLast->m_pNext != nullptr)
        pLast = pLast->m_pNext;
    pLast->m_pNext = pNode;
}

bool CMarkupNode::RemoveChild(CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return false;
    for (CMarkupNode** ppLink = &m_pFirstChild; *ppLink != nullptr; ppLink = &(*ppLink)->m_pNext) {
        if (*ppLink == pNode) {
            *ppLink = std::exchange(pNode->m_pNext, nullptr);
            delete pNode;
            return true;
        }
    }
    return false;
}

// A text node's "name" is its text; a value that happens to read "url" must
// not be taken for the key url, nor be given a child by SetChildValue.
CMarkupNode* CMarkupNode::FindChild(std::string_view name) const
{
    for (CMarkupNode* p = m_pFirstChild; p != nullptr; p = p->m_pNext) {
        if (p->m_nKind != KIND_TEXT && p->m_pszName != nullptr && name == p->m_pszName)
            return p;
    }
    return nullptr;
}

CMarkupNode* CMarkupNode::NextSameName() const
{
    if (m_pszName == nullptr)
        return nullptr;
    for (CMarkupNode* p = m_pNext; p != nullptr; p = p->m_pNext) {
        if (p->m_nKind != KIND_TEXT && p->m_pszName != nullptr && std::strcmp(p->m_pszName, m_pszName) == 0)
            return p;
    }
    return nullptr;
}

const char* CMarkupNode::GetChildValue(std::string_view name) const
{
    const CMarkupNode* pKey = FindChild(name);
    if (pKey == nullptr || pKey->m_pFirstChild == nullptr || pKey->m_pFirstChild->m_nKind != KIND_TEXT)
        return nullptr;
    return pKey->m_pFirstChild->m_pszName;
}

void CMarkupNode::SetChildValue(std::string_view name, std::string_view value)
{
    CMarkupNode* pKey = FindChild(name);
    if (pKey == nullptr) {
        pKey = new CMarkupNode(name, KIND_ELEMENT);
        pKey->AppendChild(new CMarkupNode(value, KIND_TEXT));
        AppendChild(pKey);
    } else if (pKey->m_pFirstChild == nullptr) {
        pKey->AppendChild(new CMarkupNode(value, KIND_TEXT));
    } else if (pKey->m_pFirstChild->m_nKind == KIND_TEXT) {
        pKey->m_pFirstChild->SetValue(value);
    } else {
        // The element holds elements: renaming its first child would corrupt
        // that child, so the text goes in front of the children instead.
        CMarkupNode* pText = new CMarkupNode(value, KIND_TEXT);
        pText->m_pParent = pKey;
        pText->m_pNext = pKey->m_pFirstChild;
        pKey->m_pFirstChild = pText;
    }
}

// Copies with an explicit stack of the elements whose children are being
// copied, so a deep tree costs heap, not call stack.
CMarkupNode* CMarkupNode::Clone() const
{
    auto copyAlone = [](const CMarkupNode& node) {
        CMarkupNode* pCopy = new CMarkupNode();
        pCopy->m_nKind = node.m_nKind;
        if (node.m_pszName != nullptr)
            pCopy->m_pszName = CopyName(node.m_pszName);
        return pCopy;
    };
    CMarkupNode* pRoot = copyAlone(*this);
    std::vector<std::pair<const CMarkupNode*, CMarkupNode*>> aOpen{ { this, pRoot } };
    const CMarkupNode* pSource = m_pFirstChild;
    CMarkupNode* pTail = nullptr;  // Last copy in the chain being built.
    while (!aOpen.empty()) {
        if (pSource == nullptr) {
            // The chain is done: carry on after its element, one level up.
            pSource = aOpen.back().first->m_pNext;
            pTail = aOpen.back().second;
            aOpen.pop_back();
            continue;
        }
        CMarkupNode* pParent = aOpen.back().second;
        CMarkupNode* pCopy = copyAlone(*pSource);
        pCopy->m_pParent = pParent;
        if (pTail != nullptr)
            pTail->m_pNext = pCopy;
        else
            pParent->m_pFirstChild = pCopy;
        pTail = pCopy;
        if (pSource->m_pFirstChild != nullptr) {
            aOpen.emplace_back(pSource, pCopy);
            pTail = nullptr;
            pSource = pSource->m_pFirstChild;
        } else {
            pSource = pSource->m_pNext;
        }
    }
    return pRoot;
}

CMarkupNode* CMarkupNode::FindPath(const char* pszPath) const
{
    // The tree hands out non-const nodes, as the document does.
    CMarkupNode* pNode = const_cast<CMarkupNode*>(this);
    const char* p = pszPath != nullptr ? pszPath : "";
    while (*p != '\0') {
        if (*p == '@') {
            pNode = pNode->m_pFirstChild;
            ++p;
        } else if (*p == '#') {
            pNode = pNode->m_pNext;
            ++p;
        } else {
            const char* pEnd = p;
            while (*pEnd != '\0' && *pEnd != '@' && *pEnd != '#')
                ++pEnd;
            const std::string_view name(p, static_cast<size_t>(pEnd - p));
            while (pNode != nullptr && !(pNode->m_nKind == KIND_ELEMENT && name == pNode->m_pszName))
                pNode = pNode->m_pNext;
            p = pEnd;
        }
        if (pNode == nullptr)
            return nullptr;
    }
    return pNode;
}

// ----------------------------------------------------------------- CMarkupDoc

CMarkupDoc::~CMarkupDoc()
{
    Clear();
}

CMarkupDoc::CMarkupDoc(CMarkupDoc&& other) noexcept
    : m_pFirstNode(std::exchange(other.m_pFirstNode, nullptr))
{
}

CMarkupDoc& CMarkupDoc::operator=(CMarkupDoc&& other) noexcept
{
    if (this != &other) {
        Clear();
        m_pFirstNode = std::exchange(other.m_pFirstNode, nullptr);
    }
    return *this;
}

void CMarkupDoc::Clear()
{
    delete std::exchange(m_pFirstNode, nullptr);
}

bool CMarkupDoc::LoadFile(const char* pszPath)
{
    if (pszPath == nullptr)
        return false;
    // Opened without blocking: opening a FIFO for reading would otherwise
    // wait for a writer. Only a regular file is read; a directory or device
    // has no length to read up to.
    struct CFileCloser {
        int hFile;
        ~CFileCloser() { if (hFile >= 0) close(hFile); }
    } const file{open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    const int hFile = file.hFile;
    if (hFile < 0)
        return false;
    struct stat st {};
    if (fstat(hFile, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > MAX_TEXT_SIZE)
        return false;
    const size_t nSize = static_cast<size_t>(st.st_size);
    std::unique_ptr<char[]> pBuffer(new char[nSize + 1]);
    size_t nRead = 0;
    while (nRead < nSize) {
        const ssize_t n = read(hFile, pBuffer.get() + nRead, nSize - nRead);
        if (n < 0 && errno == EINTR)
            continue;
        // A file that shrinks while being read is a failed read, not a
        // shorter text.
        if (n <= 0)
            return false;
        nRead += static_cast<size_t>(n);
    }
    pBuffer[nSize] = '\0';
    Parse(pBuffer.get());
    return true;
}

// Reads node after node without recursion. pOpen is the element whose child
// list is being read (null at the top level) and pTail the last node of the
// chain being read. While an element is open nothing else is appended to its
// parent, so when it closes it is the tail of its parent's chain.
void CMarkupDoc::Parse(const char* pszText)
{
    Clear();
    if (pszText == nullptr)
        return;

    CMarkupNode* pOpen = nullptr;
    CMarkupNode* pTail = nullptr;
    auto append = [&](CMarkupNode* pNode) {
        pNode->m_pParent = pOpen;
        if (pTail != nullptr)
            pTail->m_pNext = pNode;
        else if (pOpen != nullptr)
            pOpen->m_pFirstChild = pNode;
        else
            m_pFirstNode = pNode;
        pTail = pNode;
    };
    auto nameEnd = [](const char* p) {
        while (*p != '\0' && *p != '>' && !IsBlank(*p))
            ++p;
        return p;
    };

    const char* p = pszText;
    for (;;) {
        while (IsBlank(*p))
            ++p;
        if (*p == '\0')
            break;

        if (*p != '<') {
            const char* pEnd = std::strchr(p, '<');
            if (pEnd == nullptr)
                pEnd = p + std::strlen(p);
            CMarkupNode* pNode = new CMarkupNode();
            pNode->m_pszName = CopyUnescaped(p, pEnd);
            append(pNode);
            p = pEnd;
        } else if (std::strncmp(p, "<?xml", 5) == 0) {
            const char* pEnd = std::strstr(p + 5, "?>");
            p = pEnd != nullptr ? pEnd + 2 : p + std::strlen(p);
            append(new CMarkupNode());
        } else if (p[1] == '/') {
            const char* pName = p + 2;
            const char* pNameEnd = nameEnd(pName);
            const char* pClose = std::strchr(pNameEnd, '>');
            p = pClose != nullptr ? pClose + 1 : pNameEnd + std::strlen(pNameEnd);
            if (pOpen != nullptr) {
                // Any end tag closes the open element, whatever its name.
                pTail = pOpen;
                pOpen = pOpen->m_pParent;
            } else {
                append(new CMarkupNode(std::string_view(pName, static_cast<size_t>(pNameEnd - pName)),
                                       CMarkupNode::KIND_END_TAG));
            }
        } else {
            const char* pName = p + 1;
            const char* pNameEnd = nameEnd(pName);
            CMarkupNode* pNode = new CMarkupNode();
            pNode->m_nKind = CMarkupNode::KIND_ELEMENT;
            pNode->m_pszName = CopyUnescaped(pName, pNameEnd);
            append(pNode);
            const char* pClose = std::strchr(pNameEnd, '>');
            if (pClose == nullptr) {
                p = pNameEnd + std::strlen(pNameEnd);
            } else {
                p = pClose + 1;
                if (pClose[-1] != '/') {
                    pOpen = pNode;
                    pTail = nullptr;
                }
            }
        }
    }
}

namespace {

// Writes the text form of a top-level chain. The open elements are kept on a
// vector rather than the call stack; its size is the depth.
template <class Sink>
void WriteChain(const CMarkupNode* pFirst, Sink& sink)
{
    std::vector<const CMarkupNode*> aOpen;
    const CMarkupNode* p = pFirst;
    while (p != nullptr) {
        if (p->IsText()) {
            if (p->GetName() != nullptr)
                sink.Escaped(p->GetName());
        } else {
            sink.Put("\r\n", 2);
            sink.Tabs(aOpen.size());
            sink.Put("<", 1);
            sink.Escaped(p->GetName());
            sink.Put(">", 1);
            if (p->GetFirstChild() != nullptr) {
                aOpen.push_back(p);
                p = p->GetFirstChild();
                continue;
            }
            sink.Put("</", 2);
            sink.Escaped(p->GetName());
            sink.Put(">", 1);
        }
        while (p->GetNext() == nullptr && !aOpen.empty()) {
            p = aOpen.back();
            aOpen.pop_back();
            // An element that starts with a text (a key) closes on its own
            // line; one that starts with an element closes on a new line.
            if (!p->GetFirstChild()->IsText()) {
                sink.Put("\r\n", 2);
                sink.Tabs(aOpen.size());
            }
            sink.Put("</", 2);
            sink.Escaped(p->GetName());
            sink.Put(">", 1);
        }
        p = p->GetNext();
    }
}

} // namespace

bool CMarkupDoc::SaveToString(std::string& strOut) const
{
    if (m_pFirstNode == nullptr)
        return false;
    CountSink count;
    WriteChain(m_pFirstNode, count);
    if (count.nSize > MAX_TEXT_SIZE)
        return false;
    strOut.reserve(strOut.size() + count.nSize);
    StringSink sink{strOut};
    WriteChain(m_pFirstNode, sink);
    return true;
}

bool CMarkupDoc::SaveFile(const char* pszPath) const
{
    // The text is made first, and written beside the old file before it
    // takes the old one's place: a full disk or a crash half-way leaves the
    // previous settings whole rather than a cut file that still reads.
    std::string strText;
    if (pszPath == nullptr || !SaveToString(strText))
        return false;
    return ReplaceFile(pszPath, strText);
}

void CMarkupDoc::CopyFrom(const CMarkupDoc& other)
{
    if (this == &other)
        return;
    Clear();
    CMarkupNode* pTail = nullptr;
    for (const CMarkupNode* p = other.m_pFirstNode; p != nullptr; p = p->m_pNext) {
        CMarkupNode* pCopy = p->Clone();
        if (pTail != nullptr)
            pTail->m_pNext = pCopy;
        else
            m_pFirstNode = pCopy;
        pTail = pCopy;
    }
}

CMarkupNode* CMarkupDoc::FindPath(const char* pszPath) const
{
    return m_pFirstNode != nullptr ? m_pFirstNode->FindPath(pszPath) : nullptr;
}

CMarkupNode* CMarkupDoc::FindTopLevel(std::string_view name) const
{
    for (CMarkupNode* p = m_pFirstNode; p != nullptr; p = p->m_pNext) {
        if (p->m_nKind != CMarkupNode::KIND_TEXT && p->m_pszName != nullptr && name == p->m_pszName)
            return p;
    }
    return nullptr;
}

void CMarkupDoc::AppendTopLevel(CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return;
    if (m_pFirstNode == nullptr) {
        for (CMarkupNode* p = pNode; p != nullptr; p = p->m_pNext)
            p->m_pParent = nullptr;
        m_pFirstNode = pNode;
    } else {
        m_pFirstNode->AppendSibling(pNode);
    }
}

} // namespace quarvex
