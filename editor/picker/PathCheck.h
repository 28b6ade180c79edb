// PathCheck.h - checks a path picked in the browser against the tree that our
// own parser builds from the page text, which is what the task will walk.
// The browser runs scripts and repairs markup; our parser does neither, so a
// picked path may miss, hit another node, or name an element the page text
// never had.
#pragma once

#include "html/HtmlDoc.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvex {

// What the browser said of the picked element.
struct SPickedElement {
    std::string strPath;   // BuildNodePath of the element, tbody steps included.
    std::string strTag;    // Lower case.
    std::string strText;   // Its text (UTF-8), script and style left out.
    bool bTextCut = false; // strText holds only the start of the text.
    // A few identifying attributes (id, name, href, src) with their values;
    // they tell apart elements without text, such as images.
    std::vector<std::pair<std::string, std::string>> aAttributes;
};

enum EPathCheck {
    CHECK_FOUND = 0,        // The path finds the same element in the page text.
    CHECK_MOVED = 1,        // It does not, but an element with the same tag and text is elsewhere.
    CHECK_DIFFERENT = 2,    // It finds another element, and nothing in the page text matches.
    CHECK_NOT_IN_PAGE = 3,  // It finds nothing and nothing matches: the page's scripts made it.
    CHECK_UNCHECKED = 4,    // The page text was empty or too large to search.
};

struct SPathCheck {
    EPathCheck nResult = CHECK_UNCHECKED;
    std::string strPath;       // The picked path with the browser's own tbody steps dropped.
    std::string strMatchPath;  // CHECK_MOVED: the path of the matching element in our tree.
    int nMatches = 0;          // How many elements of the page text match.
    std::string strValue;      // The value found at strPath (or strMatchPath when moved).
    bool bValueFound = false;
};

// Drops every tbody step right under a table that our tree of the same page
// does not have (the browser made it up for rows written straight into the
// table) and keeps those the page text writes itself. The whole step goes,
// "tbody#tbody" included: rows then count from the table's own children.
std::string DropInventedTbody(std::string_view strPath, const CHtmlDoc& doc);

// The path of pNode in doc, in the form the picker writes; empty when the
// node is not an element of doc or an ancestor's name cannot be written in a
// path (it holds '@' or '#').
std::string PathOfNode(const CHtmlDoc& doc, const CHtmlNode* pNode);

// The value of pNode for a node dialog type (0 block, 1 text, 2 inner HTML,
// 3 outer HTML, 4 attribute, 5 linked page, 6 linked file; the linked types
// show the link they would follow). Cut to nMaxBytes.
std::string RenderNodeValue(const CHtmlNode* pNode, int nType, std::string_view strAttribute,
                            size_t nMaxBytes = 4000);

// Text reduced for comparing the browser's view with ours: whitespace
// (ASCII and no-break space) removed and, when bEntities, the common
// character references decoded as the browser would.
std::string NormalizeText(std::string_view strText, bool bEntities);

// The whole check. nType and strAttribute choose the value shown.
SPathCheck CheckPickedPath(const CHtmlDoc& doc, const SPickedElement& picked, int nType,
                           std::string_view strAttribute);

// One line for the node dialog saying what the check found (UTF-8).
std::string DescribePathCheck(const SPathCheck& check, const SPickedElement& picked);

} // namespace quarvex
