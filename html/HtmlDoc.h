// HtmlDoc.h - the page tree: a forgiving one-pass HTML reader whose nodes are
// positions into the page text. The text is borrowed: it must outlive the
// document and stay unchanged while the tree lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CHtmlDoc;

// One token of the page: a text run, an element (start tag or declaration),
// an end tag or a comment. Nodes live in their document's node pool; the
// links below point to siblings and children and own nothing.
class CHtmlNode {
public:
    // The kind is also the distance from the node's start to its name.
    enum Kind : uint8_t { KIND_TEXT = 0, KIND_ELEMENT = 1, KIND_END_TAG = 2, KIND_COMMENT = 4 };

    Kind GetKind() const { return static_cast<Kind>(m_nKind); }
    const CHtmlNode* GetNext() const { return m_pNext; }
    const CHtmlNode* GetFirstChild() const { return m_pFirstChild; }

    // Spans into the page text. For an element, the end is where its content
    // ends (its closing token's start, or after ">" when it has no content).
    const char* GetStart() const { return m_pStart; }
    const char* GetEnd() const { return m_pStart + m_nLen; }
    const char* GetNameStart() const { return m_pStart + m_nKind; }
    const char* GetNameEnd() const { return m_pStart + m_nKind + m_nNameLen; }
    std::string_view GetName() const { return { GetNameStart(), m_nNameLen }; }

    // True when this is a start tag whose name equals strName ignoring ASCII case.
    bool IsElement(std::string_view strName) const;

    // Follows a node path ('@' first child, '#' next sibling, a name skips to
    // the next start tag of that name) from this node; null when it runs off
    // the tree. An empty path returns this node.
    const CHtmlNode* FindPath(std::string_view strPath) const;

    // The renderings append to strOut and never clear it first.
    void AppendText(std::string& strOut) const;
    // The text as a reader sees it: each text run with its character
    // references decoded ("Tom &amp; Jerry" reads "Tom & Jerry").
    void AppendDecodedText(std::string& strOut) const;
    void AppendInnerHtml(std::string& strOut) const;
    void AppendOuterHtml(std::string& strOut) const;

    // Sets strOut to the value of the attribute strName (ASCII case ignored)
    // and returns true; returns false and leaves strOut alone when the node is
    // not an element, the attribute is missing, has no value or strName is
    // empty. Only the node's own tag is read, never the text after it.
    bool GetAttribute(std::string_view strName, std::string& strOut) const;

private:
    friend class CHtmlDoc;
    friend class CHtmlReader;

    void AppendTextRuns(std::string& strOut, bool bDecode) const;

    // Only a document makes nodes; the reader fills in every field.
    CHtmlNode() = default;

    CHtmlNode* m_pNext;        // Next sibling; in the same pool, not owned.
    CHtmlNode* m_pFirstChild;  // First child; in the same pool, not owned.
    const char* m_pStart;      // Into the page text; not owned.
    uint32_t m_nLen;           // Bytes from the start to the node's end.
    uint32_t m_nNameLen;
    uint8_t m_nKind;
};

// Owns every node of one parsed page. Pages are limited to 4 GiB - 2 bytes;
// the rest of a longer text is ignored.
class CHtmlDoc {
public:
    CHtmlDoc();
    ~CHtmlDoc();
    CHtmlDoc(const CHtmlDoc&) = delete;
    CHtmlDoc& operator=(const CHtmlDoc&) = delete;

    // Replaces the tree by the tree of pszText, read up to its terminating
    // zero; null leaves the document empty. Never fails.
    void Parse(const char* pszText);
    // The same over nLen bytes; a zero byte is an ordinary character here.
    void Parse(const char* pText, size_t nLen);
    // Destroys the tree and frees its memory.
    void Clear();

    const CHtmlNode* GetFirst() const { return m_pFirst; }
    // The first start tag named strName (ASCII case ignored) anywhere in the
    // tree, in document order; null when there is none.
    const CHtmlNode* FindElement(std::string_view strName) const;

    // Where the page came from, set after Parse by whoever fetched it: the
    // base address is the page's address, or what its first <base href>
    // names read against it. Links of the page are resolved against it.
    void SetPageUrl(std::string_view strUrl);
    const std::string& GetBaseUrl() const { return m_strBaseUrl; }
    // How further pages linked from this one are to be fetched (cookies,
    // headers); null for the defaults. Not owned.
    const struct SFetchOptions* m_pFetchOptions = nullptr;
    // FindPath from the first top-level node; null when the document is empty.
    const CHtmlNode* FindPath(std::string_view strPath) const;
    size_t GetNodeCount() const { return m_nNodes; }

private:
    friend class CHtmlReader;

    CHtmlNode* NewNode();
    static size_t BlockSize(size_t nBlock);

    CHtmlNode* m_pFirst = nullptr;  // First top-level node, in m_aBlocks.
    std::string m_strBaseUrl;
    // Nodes are carved from blocks that grow geometrically, so a page costs a
    // few large allocations instead of one per node, and freeing the tree
    // never walks it. A new parse reuses the blocks of the previous one (a
    // task parses much the same page every pass, and memory the process
    // already holds is much cheaper than fresh memory) and frees the blocks
    // it did not need.
    std::vector<std::unique_ptr<CHtmlNode[]>> m_aBlocks;
    size_t m_nBlock = 0;      // Block that new nodes come from, when any.
    size_t m_nBlockUsed = 0;  // Nodes used in that block.
    size_t m_nNodes = 0;
};

// Whether strName (ASCII case ignored) is one of the tags whose elements have
// content; every other start tag is empty.
bool IsContainerTag(std::string_view strName);
