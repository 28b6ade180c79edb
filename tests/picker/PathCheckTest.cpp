// PathCheckTest.cpp - a browser pick checked against our own tree of the page
// text: tbody steps, renderings, matches elsewhere and script-made elements.
#include "PathCheck.h"

#include <gtest/gtest.h>

#include <string>

using namespace quarvex;

namespace {

SPickedElement Picked(const char* pszPath, const char* pszTag, const char* pszText)
{
    SPickedElement picked;
    picked.strPath = pszPath;
    picked.strTag = pszTag;
    picked.strText = pszText;
    return picked;
}

const char* const s_pszRows =
    "<html><body><table>\n"
    "<tr><td>a1</td><td>a2</td></tr>\n"
    "<tr><td>b1</td><td>b2</td></tr>\n"
    "<tr><td>c1</td><td><a href='c.html'>c2 &amp; more</a></td></tr>\n"
    "</table></body></html>";

} // namespace

TEST(PathCheckTest, TbodyKeptOnlyWhereThePageTextHasIt)
{
    const std::string strPage =
        "<html><body>"
        "<table><tr><td>x</td></tr></table>"
        "<table><tbody><tr><td>y</td></tr></tbody></table>"
        "<table><tbody><tr><td>z1</td></tr></tbody><tr><td>z2</td></tr></table>"
        "</body></html>";
    CHtmlDoc doc;
    doc.Parse(strPage.c_str());
    struct { const char* pszIn; const char* pszOut; const char* pszText; } cases[] = {
        { "html@body@table@tbody@tr@td", "html@body@table@tr@td", "x" },
        { "html@body@table#table@tbody@tr@td", "html@body@table#table@tbody@tr@td", "y" },
        // The browser opens a second tbody for the row written after </tbody>;
        // the page text has only the first, so the whole step goes.
        { "html@body@table#table#table@tbody#tbody@tr@td", "html@body@table#table#table@tr@td", "z2" },
        { "html@body@table#table#table@tbody@tr@td", "html@body@table#table#table@tbody@tr@td", "z1" },
        { "html@body@div@tbody", "html@body@div@tbody", nullptr },  // not under a table
    };
    for (const auto& c : cases) {
        const std::string strOut = DropInventedTbody(c.pszIn, doc);
        EXPECT_EQ(strOut, c.pszOut) << c.pszIn;
        if (c.pszText == nullptr)
            continue;
        const CHtmlNode* pNode = doc.FindPath(strOut);
        ASSERT_NE(pNode, nullptr) << c.pszIn;
        std::string strText;
        pNode->AppendText(strText);
        EXPECT_EQ(strText, c.pszText) << c.pszIn;
    }
}

TEST(PathCheckTest, FoundPathShowsTheValueOfEachType)
{
    CHtmlDoc doc;
    doc.Parse(s_pszRows);
    const SPickedElement picked = Picked("html@body@table@tbody@tr#tr#tr@td#td@a", "a", "c2 & more");
    struct { int nType; const char* pszAttribute; const char* pszValue; } cases[] = {
        { 0, "", "c2 &amp; more" },
        { 1, "", "c2 &amp; more" },
        { 2, "", "c2 &amp; more" },
        { 3, "", "<a href='c.html'>c2 &amp; more</a>" },
        { 4, "href", "c.html" },
        { 5, "href", "c.html" },
        { 4, "title", "" },
    };
    for (const auto& c : cases) {
        const SPathCheck check = CheckPickedPath(doc, picked, c.nType, c.pszAttribute);
        EXPECT_EQ(check.nResult, CHECK_FOUND) << c.nType;
        EXPECT_EQ(check.strPath, "html@body@table@tr#tr#tr@td#td@a");
        EXPECT_TRUE(check.bValueFound);
        EXPECT_EQ(check.strValue, c.pszValue) << c.nType << c.pszAttribute;
    }
}

TEST(PathCheckTest, MissingOrShiftedPathOffersTheMatchingNode)
{
    CHtmlDoc doc;
    doc.Parse(s_pszRows);
    // A script put a row in front: the browser's third row is our second.
    SPathCheck check = CheckPickedPath(doc, Picked("html@body@table@tbody@tr#tr#tr@td", "td", "b1"), 1, "");
    EXPECT_EQ(check.nResult, CHECK_MOVED);
    EXPECT_EQ(check.strMatchPath, "html@body@table@tr#tr@td");
    EXPECT_EQ(check.strValue, "b1");
    EXPECT_NE(DescribePathCheck(check, Picked("", "td", "b1")).find("html@body@table@tr#tr@td"), std::string::npos);

    // No html or body in the text: the browser made them up.
    CHtmlDoc bare;
    bare.Parse("<div>x</div>\n<p>hello <b>you</b></p>");
    check = CheckPickedPath(bare, Picked("html@body@p", "p", "hello you"), 1, "");
    EXPECT_EQ(check.nResult, CHECK_MOVED);
    EXPECT_EQ(check.strMatchPath, "p");
    EXPECT_EQ(check.strValue, "helloyou");
}

TEST(PathCheckTest, OfSeveralMatchesTheClosestPathIsOffered)
{
    CHtmlDoc doc;
    doc.Parse("<html><body><div><p>same</p></div><div><span>x</span><p>same</p></div></body></html>");
    const SPathCheck check = CheckPickedPath(doc, Picked("html@body@div#div@p#p", "p", "same"), 1, "");
    EXPECT_EQ(check.nResult, CHECK_MOVED);
    EXPECT_EQ(check.nMatches, 2);
    EXPECT_EQ(check.strMatchPath, "html@body@div#div@p");
}

TEST(PathCheckTest, ScriptMadeElementIsNotInThePage)
{
    CHtmlDoc doc;
    doc.Parse(s_pszRows);
    SPathCheck check = CheckPickedPath(doc, Picked("html@body@div", "div", "added by a script"), 1, "");
    EXPECT_EQ(check.nResult, CHECK_NOT_IN_PAGE);
    EXPECT_FALSE(check.bValueFound);
    EXPECT_NE(DescribePathCheck(check, Picked("", "div", "added by a script")).find("脚本"), std::string::npos);

    // A path that lands on an element whose text differs, with no match anywhere.
    check = CheckPickedPath(doc, Picked("html@body@table@tbody@tr@td", "td", "changed by a script"), 1, "");
    EXPECT_EQ(check.nResult, CHECK_DIFFERENT);
    EXPECT_EQ(check.strValue, "a1");
}

TEST(PathCheckTest, TextsCompareAsTheBrowserShowsThem)
{
    CHtmlDoc doc;
    doc.Parse("<html><body><p>a&amp;b&nbsp;c &#20013;&#x6587; &lt;x&gt;<br>\n"
              "<script>var s = 1;</script><style>p{}</style>end &bogus;</p>"
              "<p><img src='a.png'></p><p><img src='b.png'></p></body></html>");
    // The browser decodes references, and its text of the paragraph leaves
    // out script and style but keeps line breaks as whitespace.
    SPickedElement picked = Picked("html@body@p", "p", "a&b\xC2\xA0" "c 中文 <x>\nend &bogus;");
    EXPECT_EQ(CheckPickedPath(doc, picked, 1, "").nResult, CHECK_FOUND);

    picked.strText = "a&b";  // only the start of a long text
    picked.bTextCut = true;
    EXPECT_EQ(CheckPickedPath(doc, picked, 1, "").nResult, CHECK_FOUND);
    picked.bTextCut = false;  // the whole text differs: the path finds another paragraph
    EXPECT_EQ(CheckPickedPath(doc, picked, 1, "").nResult, CHECK_DIFFERENT);

    // Elements without text are told apart by their attributes.
    SPickedElement image = Picked("html@body@p@img", "img", "");
    image.aAttributes = { { "src", "b.png" } };
    const SPathCheck check = CheckPickedPath(doc, image, 4, "src");
    EXPECT_EQ(check.nResult, CHECK_MOVED);
    EXPECT_EQ(check.strMatchPath, "html@body@p#p#p@img");
    EXPECT_EQ(check.strValue, "b.png");
}

TEST(PathCheckTest, PathOfEveryElementLeadsBackToIt)
{
    CHtmlDoc doc;
    doc.Parse("<!DOCTYPE html><html><head><title>t</title></head><body>"
              "<ul><li>a<li>b</ul><p>x<p>y<div><div>in</div></div><b><b>z</b></b>"
              "<table><tr><td>1<td>2</tr><tr><td>3</table></body></html>");
    int nElements = 0;
    std::vector<const CHtmlNode*> aStack{ doc.GetFirst() };
    while (!aStack.empty()) {
        const CHtmlNode* p = aStack.back();
        aStack.pop_back();
        if (p == nullptr)
            continue;
        aStack.push_back(p->GetNext());
        aStack.push_back(p->GetFirstChild());
        if (p->GetKind() != CHtmlNode::KIND_ELEMENT)
            continue;
        ++nElements;
        const std::string strPath = PathOfNode(doc, p);
        EXPECT_EQ(doc.FindPath(strPath), p) << strPath;
    }
    EXPECT_GT(nElements, 15);
}

TEST(PathCheckTest, HostilePagesEndTheCheck)
{
    // Nested empty elements make every candidate's text walk long; the check
    // gives up instead of walking for ever.
    std::string strPage;
    for (int i = 0; i < 20000; ++i)
        strPage += "<div>";
    CHtmlDoc doc;
    doc.Parse(strPage.c_str());
    const SPathCheck check = CheckPickedPath(doc, Picked("html@body@div", "div", ""), 1, "");
    EXPECT_EQ(check.nResult, CHECK_UNCHECKED);

    CHtmlDoc empty;
    empty.Parse("");
    const SPathCheck none = CheckPickedPath(empty, Picked("html@body@table@tbody@tr", "tr", "x"), 0, "");
    EXPECT_EQ(none.nResult, CHECK_UNCHECKED);
    EXPECT_EQ(none.strPath, "html@body@table@tr");
}
