// Location.h - record blocks (CLocation), the columns they carry (CDataNode)
// and the column list ordered by column order (CDataNodeList). Blocks hold
// nodes of a page tree between calls; those are valid only while that tree
// lives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CHtmlDoc;
class CHtmlNode;
class CLocation;
class CDataNodeList;

// One column of a record: where it lies relative to its block's node and how
// the node found there becomes text.
class CDataNode {
public:
    enum Type {
        TYPE_TEXT = 0,
        TYPE_INNER_HTML = 1,
        TYPE_OUTER_HTML = 2,
        TYPE_ATTRIBUTE = 3,
        TYPE_LINKED_PAGE = 4,
        TYPE_LINKED_FILE = 5,
    };

    CDataNode() = default;
    ~CDataNode();  // Deletes m_pLinked and the rest of the chain behind it.
    CDataNode(const CDataNode&) = delete;
    CDataNode& operator=(const CDataNode&) = delete;

    // Empties strOut and fills it with this column's value for the current
    // record: the local time for a time-stamp path, otherwise the rendering
    // of the node the path finds from the owning block's node (empty when
    // there is none). Linked pages and files are fetched here, synchronously.
    void GetValue(std::string& strOut) const;
    // Appends the values of the linked page's first record, joined by the
    // splitter. pNode is the page node holding the link.
    void GetLinkedPage(const CHtmlNode* pNode, std::string& strOut) const;
    // Downloads the linked file into the directory and sets strOut to the
    // path it was saved under (left empty when the download failed).
    void GetLinkedFile(const CHtmlNode* pNode, std::string& strOut) const;

    int m_nType = TYPE_TEXT;
    int m_nOrder = 0;  // Column order; signed.
    bool m_bKey = false;
    std::string m_strPath;       // Relative to the owning block's node, or a time-stamp name.
    std::string m_strName;       // Column name.
    std::string m_strAttribute;  // Attribute taken (type 3) or link attribute (types 4, 5).
    std::string m_strOption;     // Splitter (type 4) or directory ending in '/' (type 5).
    CLocation* m_pLinked = nullptr;  // Forest applied to a linked page (type 4); owned.
    CLocation* m_pOwner = nullptr;   // Block this column belongs to; not owned.
    CDataNode* m_pNext = nullptr;    // Next column of the same block; owned.
};

// A record block: a path to the node of its first record and a step from one
// record's node to the next. A block owns its columns, its child blocks and
// the blocks after it in its chain.
class CLocation {
public:
    CLocation(std::string_view strPath, std::string_view strStep);
    ~CLocation();
    CLocation(const CLocation&) = delete;
    CLocation& operator=(const CLocation&) = delete;

    // Each takes ownership of its argument.
    void AddDataNode(CDataNode* pData);
    void AddChild(CLocation* pChild);
    void AddSibling(CLocation* pSibling);

    // Sets the node of this block, the blocks after it and all their
    // descendants to null.
    void ClearNodes();
    // Puts this chain and its descendants on the first record of the page;
    // false when any block is not found.
    bool Resolve(const CHtmlDoc& doc);
    // The same for a chain of child blocks, from their parent's node.
    bool ResolveRelative();
    // Steps the blocks of level nTarget (this chain being level nLevel) to
    // their next record; true when any block moved. A step that leads back
    // to the node it started from is no move.
    bool Advance(int nLevel, int nTarget);
    // Moves the forest starting at this chain to its next record, deepest
    // blocks first, like an odometer; false when no block can move.
    bool StepForest(int nDepth);
    // Depth of the forest starting at this chain; leaf blocks count 1.
    int Depth() const;
    // Adds every column of the forest: those of child blocks before those of
    // their parent, in chain order.
    void CollectDataNodes(CDataNodeList& list) const;

    std::string m_strPath;
    std::string m_strStep;  // Empty: one record per position of the parent.
    const CHtmlNode* m_pNode = nullptr;  // Current record's node; into the page tree, not owned.
    const CHtmlDoc* m_pDoc = nullptr;    // The tree m_pNode lies in, as Resolve found it; not owned.
    CDataNode* m_pFirstData = nullptr;   // Owned.
    CLocation* m_pFirstChild = nullptr;  // Owned.
    CLocation* m_pNext = nullptr;        // Owned.
    CLocation* m_pParent = nullptr;      // Not owned; null for a top-level block.

private:
    void ResolveEachChild();
    void SetDoc(const CHtmlDoc* pDoc);
};

// The columns of a forest, sorted by order (signed); columns of equal order
// keep the order in which they were added. The index is the column index.
// Does not own the columns.
class CDataNodeList {
public:
    void Add(CDataNode* pData);
    void Clear() { m_apNodes.clear(); }
    size_t GetCount() const { return m_apNodes.size(); }
    CDataNode* GetAt(size_t nIndex) const { return m_apNodes[nIndex]; }
    CDataNode* operator[](size_t nIndex) const { return m_apNodes[nIndex]; }

private:
    std::vector<CDataNode*> m_apNodes;
};
