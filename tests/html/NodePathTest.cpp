// NodePathTest.cpp - the node path language over parsed pages.
#include "HtmlDoc.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The text of the node a path finds, or "(none)".
std::string TextAt(const char* pszPage, const char* pszPath)
{
    CHtmlDoc doc;
    doc.Parse(pszPage);
    const CHtmlNode* pNode = doc.FindPath(pszPath);
    if (pNode == nullptr)
        return "(none)";
    std::string strOut;
    pNode->AppendOuterHtml(strOut);
    return strOut;
}

const char s_szTable[] =
    "<table>\n"
    "<tr><td>a1</td><td>a2</td></tr>\n"
    "<!-- tr -->\n"
    "<TR><td>b1</td><Td>b2</td></tr>\n"
    "<tr><td>c1</td><td>c2</td></tr>\n"
    "</table>";

} // namespace

TEST(NodePathTest, Steps)
{
    struct { const char* pszPage; const char* pszPath; const char* pszOuter; } cases[] = {
        { s_szTable, "table@tr@td", "<td>a1</td>" },
        { s_szTable, "table@tr@td#td", "<td>a2</td>" },
        { s_szTable, "table@tr#tr@td", "<td>b1</td>" },   // skips text, end tag, comment
        { s_szTable, "table@tr#tr#tr@td", "<td>c1</td>" },
        { s_szTable, "table@tr#tr#tr#tr", "(none)" },
        { s_szTable, "TABLE@TR@TD#TD", "<td>a2</td>" },
        { s_szTable, "table@tr#tr@TD#td", "<Td>b2</Td>" },
        { s_szTable, "t", "(none)" },                      // a prefix is not a name
        { s_szTable, "table@tr@td@", "a1" },               // '@' reaches the text
        { s_szTable, "table@tr@td@@", "(none)" },          // a text has no children
        { s_szTable, "table@tr@td@#", "(none)" },
        { s_szTable, "table#", "</table>" },
        { s_szTable, "table@", "\n" },
        { "<br><p>x</p>", "br@", "(none)" },
        { "x<p>y</p>", "p", "<p>y</p>" },
        { "<!-- p --></p><p>y</p>", "p", "<p>y</p>" },    // names skip comments and end tags
        { "<p>a</p>", "p##", "(none)" },
        { "", "", "(none)" },
        { "<a>1</a><b>2</b>", "b", "<b>2</b>" },
        { "<a>1</a><b>2</b>", "a#b", "<b>2</b>" },  // '#' lands on a's end tag, 'b' skips on
    };
    for (const auto& c : cases)
        EXPECT_EQ(TextAt(c.pszPage, c.pszPath), c.pszOuter) << c.pszPath;
    // An empty path stays on the first node.
    EXPECT_EQ(TextAt("x<p>", ""), "x");
}

TEST(NodePathTest, NamesMatchOnlyStartTags)
{
    CHtmlDoc doc;
    doc.Parse("td<!--td--></td><td>x</td>");
    const CHtmlNode* pNode = doc.FindPath("td");
    ASSERT_NE(pNode, nullptr);
    EXPECT_EQ(pNode->GetKind(), CHtmlNode::KIND_ELEMENT);
    EXPECT_EQ(std::string(pNode->GetStart(), pNode->GetEnd()), "<td>x");
}

TEST(NodePathTest, PathFromANodeReachesItsFollowingSiblings)
{
    CHtmlDoc doc;
    doc.Parse(s_szTable);
    const CHtmlNode* pRow = doc.FindPath("table@tr");
    ASSERT_NE(pRow, nullptr);
    const CHtmlNode* pNext = pRow->FindPath("#tr");
    ASSERT_NE(pNext, nullptr);
    EXPECT_EQ(pNext->GetName(), "TR");
    EXPECT_EQ(pRow->FindPath("tr"), pRow);  // a name matching the node stays on it
    EXPECT_EQ(pRow->FindPath(""), pRow);
}
