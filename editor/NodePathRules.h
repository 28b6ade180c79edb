// NodePathRules.h - how the task editor places blocks and fields in a task
// definition: full paths, the block a picked path belongs to, the relative
// paths it stores, and the trimming of a block's two picks. No Qt here, so
// every rule is tested without a window.
#pragma once

#include <string>
#include <string_view>

#include "markup/MarkupDoc.h"

namespace quarvex {

// The node dialog's type choices, in radio-button order: index 0 is a block
// (a <location>), index 1..6 a <data> element whose type key is index - 1.
inline constexpr int NODE_TYPE_COUNT = 7;
enum {
    NODE_BLOCK = 0,
    NODE_TEXT = 1,
    NODE_INNER_HTML = 2,
    NODE_OUTER_HTML = 3,
    NODE_ATTRIBUTE = 4,
    NODE_LINKED_PAGE = 5,
    NODE_LINKED_FILE = 6,
};
extern const char* const g_apszNodeTypeNames[NODE_TYPE_COUNT];

// Index of a shown type name (exact bytes), or -1.
int NodeTypeIndexFromName(std::string_view name);
// The dialog index of an element: 0 for a <location>, type + 1 for a <data>
// whose type reads 0..5, -1 for anything else (a stored type the editor does
// not know, or an element of another name).
int NodeTypeIndexOf(const CMarkupNode* pElem);
// What the tree and the list show as the type: the table entry, or the raw
// stored type text of a data element whose type is unknown.
std::string NodeTypeText(const CMarkupNode* pElem);

bool IsLocation(const CMarkupNode* pNode);
bool IsData(const CMarkupNode* pNode);

// The element's own path after the full path of the enclosing block; a
// block under root or under a linked-page field starts afresh.
std::string FullNodePath(const CMarkupNode* pElem);
// Empty when the block has no step; otherwise the parent block's full path
// (when the parent is a block), the block's path and its step.
std::string FullSiblingPath(const CMarkupNode* pLocation);
// The rest of text after its longest common prefix with base (the whole
// text when they share nothing).
std::string RelativePath(std::string_view text, std::string_view base);
// True when a block whose full path is base contains the node at path: base
// is a prefix of path that ends where a step ends (path goes on with '@' or
// '#', or ends there). An empty base contains everything.
bool PathContains(std::string_view base, std::string_view path);
// The deepest block, among pFirst, its following <location> siblings and
// their nested blocks, that contains path; null when none of the siblings
// does. Fields and their linked-page blocks are not searched.
CMarkupNode* FindContainingLocation(CMarkupNode* pFirst, std::string_view path);

// Cuts a block's first-record pick and second-record pick back to the step
// at which the two records differ; leaves both unchanged when they share no
// differing step (one is a suffix of the other, either is empty, or they
// differ only in their last step).
void TrimBlockPaths(std::string& strNode, std::string& strSibling);

// The node dialog's fields after its OK: absolute paths as picked or shown.
struct SNodeFields {
    int nType = NODE_BLOCK;   // Dialog index; -1 for a stored type the editor does not know.
    std::string strName;
    std::string strPath;      // Absolute node path.
    std::string strSibling;   // Absolute sibling path (blocks), already trimmed.
    std::string strOrder;
    bool bOnly = false;
    std::string strAttribute;
    std::string strOption;    // Splitter (linked page) or directory (linked file).
};

// The fields of an element as the modify command presets the dialog: the
// full path and the full sibling path, the splitter for a linked page and
// the directory otherwise.
SNodeFields ReadNodeFields(const CMarkupNode* pElem);

enum EAddResult {
    ADD_OK = 0,
    // A linked page's blocks are read from its first <location> only, so a
    // node outside that block cannot be placed under the field.
    ADD_SECOND_LINKED_BLOCK = 1,
};

// Adds a node to the definition. pOwner is the <root> element, or a <data>
// element of type linked page for a node of that page. On ADD_OK *ppNew is
// the new element (and *ppMadeBlock the "区块" block made to hold a field
// picked outside every block, or null). Nothing changes on a refusal.
EAddResult AddNode(CMarkupNode* pOwner, const SNodeFields& fields, CMarkupNode** ppNew,
                   CMarkupNode** ppMadeBlock = nullptr);

enum EModifyOrigin {
    MODIFY_FROM_MENU = 0,          // attribute written for the linked types and 标签属性值
    MODIFY_FROM_DOUBLE_CLICK = 1,  // attribute written for every field
};
// Writes the dialog's fields back into an existing element. The element
// stays what it is: a block keeps being a <location>, a field keeps its
// stored type whatever fields.nType says.
void ModifyNode(CMarkupNode* pElem, const SNodeFields& fields, EModifyOrigin nOrigin);

// The folder a linked-file directory names, as the engine will resolve it,
// and whether it is an existing folder. strProgramDir ends in '/'.
bool CheckSaveDirectory(std::string_view directory, std::string_view programDir,
                        std::string& strChecked);
// The directory as stored: typed text with a '/' appended when it has none.
std::string NormalizeSaveDirectory(std::string_view directory);

} // namespace quarvex
