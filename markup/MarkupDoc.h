// MarkupDoc.h - the small tag tree that task definitions and Config.dat are
// kept in: named elements, texts as leaves, no attributes, bytes stored as
// they are. A node owns its name, its first child and its next sibling.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarvex {

class CMarkupNode {
public:
    enum {
        KIND_TEXT = 0,     // m_pszName holds the text itself.
        KIND_ELEMENT = 1,
        KIND_END_TAG = 2,  // Only an end tag at the top level that closed nothing.
    };

    // Copies the name; the node starts unlinked. Kind KIND_ELEMENT or KIND_TEXT.
    explicit CMarkupNode(std::string_view name, int nKind = KIND_ELEMENT);
    // Destroys the name, the whole subtree and the rest of the sibling chain
    // behind this node. To delete one node alone, unlink it first.
    ~CMarkupNode();
    CMarkupNode(const CMarkupNode&) = delete;
    CMarkupNode& operator=(const CMarkupNode&) = delete;

    CMarkupNode* GetParent() const { return m_pParent; }
    CMarkupNode* GetNext() const { return m_pNext; }
    CMarkupNode* GetFirstChild() const { return m_pFirstChild; }
    int GetKind() const { return m_nKind; }
    bool IsText() const { return m_nKind == KIND_TEXT; }
    bool IsElement() const { return m_nKind == KIND_ELEMENT; }
    // The element's name or the text node's text; null only on the node that
    // a "<?xml" declaration leaves behind.
    const char* GetName() const { return m_pszName; }
    // The same as a view; empty for the declaration node.
    std::string_view GetNameView() const;

    // Replaces the name (the text, for a text node) by a copy of text.
    void SetValue(std::string_view text);

    // Appends pNode (and the sibling chain behind it) as the last child and
    // takes ownership; each appended node's parent becomes this node.
    void AppendChild(CMarkupNode* pNode);
    // Appends pNode at the end of this node's sibling chain and takes
    // ownership; its parent becomes this node's parent.
    void AppendSibling(CMarkupNode* pNode);
    // Unlinks pNode from this node's children, wherever it stands, and
    // destroys it with its subtree. Null, or a node that is not a child of
    // this one, changes nothing and returns false.
    bool RemoveChild(CMarkupNode* pNode);

    // First child, in chain order, that is not a text node and whose name is
    // exactly name (case-sensitive bytes); null if none.
    CMarkupNode* FindChild(std::string_view name) const;
    // First following sibling that is not a text node and has this node's
    // name; walks repeated elements such as <parameter> and <location>.
    CMarkupNode* NextSameName() const;
    // The text of the key FindChild(name): null when there is no such child
    // or its first child is not a text. Callers treat null as "".
    const char* GetChildValue(std::string_view name) const;
    // Create-on-write: sets the text of the key name, appending a text child
    // to a key without one, or appending a new key as the last child.
    void SetChildValue(std::string_view name, std::string_view value);

    // A deep copy of this node and its subtree, without its siblings; the
    // copy is unlinked and owned by the caller.
    CMarkupNode* Clone() const;

    // Path lookup from this node: '@' steps to the first child, '#' to the
    // next sibling, a name skips forward to the next element of that name.
    // An empty or null path returns this node.
    CMarkupNode* FindPath(const char* pszPath) const;

private:
    friend class CMarkupDoc;
    CMarkupNode() = default;  // The reader's nameless declaration node.
    // Frees a sibling chain with every subtree, without recursion.
    static void DeleteChain(CMarkupNode* pFirst);

    CMarkupNode* m_pParent = nullptr;      // Not owned.
    CMarkupNode* m_pNext = nullptr;        // Owned, with the rest of the chain.
    CMarkupNode* m_pFirstChild = nullptr;  // Owned, with its whole chain.
    int m_nKind = KIND_TEXT;
    char* m_pszName = nullptr;             // Owned (new[]); see GetName().
};

class CMarkupDoc {
public:
    // A text form longer than this is neither read nor written: a few
    // kilobytes is a large task definition, and a hostile file with very deep
    // nesting would otherwise ask for terabytes of indentation.
    static constexpr size_t MAX_TEXT_SIZE = size_t(256) << 20;

    CMarkupDoc() = default;
    ~CMarkupDoc();
    CMarkupDoc(const CMarkupDoc&) = delete;
    CMarkupDoc& operator=(const CMarkupDoc&) = delete;
    CMarkupDoc(CMarkupDoc&& other) noexcept;
    CMarkupDoc& operator=(CMarkupDoc&& other) noexcept;

    bool IsEmpty() const { return m_pFirstNode == nullptr; }
    CMarkupNode* GetFirstNode() const { return m_pFirstNode; }

    // Destroys the whole tree.
    void Clear();
    // Reads a whole regular file and parses it. A file that is missing, is
    // not a regular file, is larger than MAX_TEXT_SIZE or cannot be read
    // leaves the document as it was and returns false.
    bool LoadFile(const char* pszPath);
    // Replaces the content by the nodes read from the zero-terminated text;
    // null leaves the document empty. Never fails: any bytes give some tree.
    void Parse(const char* pszText);
    // Writes the text form, replacing the file whole (a temporary file beside
    // it, synced, then renamed over it); false when the document is empty,
    // its text form is too large, or the file cannot be created or written,
    // and the old file is then left as it was.
    bool SaveFile(const char* pszPath) const;
    // Appends the text form to strOut (never clears it first); false, with
    // nothing appended, when the document is empty or the text is too large.
    bool SaveToString(std::string& strOut) const;

    // Replaces the content by a deep copy of other's; the editor works on a
    // copy so that Cancel leaves the task's definition untouched.
    void CopyFrom(const CMarkupDoc& other);

    // FindPath from the first top-level node; null when the document is empty.
    CMarkupNode* FindPath(const char* pszPath) const;
    // First top-level node that is not a text and whose name is name.
    CMarkupNode* FindTopLevel(std::string_view name) const;
    // Appends pNode (with its sibling chain) to the top-level chain and takes
    // ownership.
    void AppendTopLevel(CMarkupNode* pNode);

private:
    CMarkupNode* m_pFirstNode = nullptr;  // Owns the top-level chain.
};

} // namespace quarvex
