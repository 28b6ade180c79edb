// HtmlParseTest.cpp - tree shapes and node spans the reader builds.
#include "HtmlDoc.h"
#include "HtmlTestUtil.h"

#include <gtest/gtest.h>

#include <string>

TEST(HtmlParseTest, TreeShapes)
{
    struct { const char* pszPage; const char* pszTree; } cases[] = {
        { "", "" },
        { "plain text only", "\"plain text only\"" },
        { "<div>x</div>", "div[\"x\"] /div" },
        { "<div>abc", "div[\"abc\"]" },
        { "<div><div>x</div></div>", "div[div[\"x\"] /div] /div" },
        { "<b><b>x</b></b>", "b b[\"x\"] /b /b" },
        { "<b>b</b>", "b[\"b\"] /b" },
        { "<table><tr><td>a</td><td>b</td></tr></table>",
          "table[tr[td[\"a\"] /td td[\"b\"] /td] /tr] /table" },
        { "<p>a<p>b", "p[\"a\"] p[\"b\"]" },
        { "<ul><li>a<li>b</ul>", "ul[li[\"a\"] li[\"b\"]] /ul" },
        // An end tag closes every element opened inside the one it names.
        { "<div><p><b>x</div>y", "div[p[b[\"x\"]]] /div \"y\"" },
        // An end tag that names no open element stays a child and closes nothing.
        { "<div>a</span>b</div>", "div[\"a\" /span \"b\"] /div" },
        { "<div>a</br>b</div>", "div[\"a\" /br \"b\"] /div" },
        { "</p>x", "/p \"x\"" },
        // Same-name start tags close p, li, td ... but div and span nest.
        { "<span>a<span>b</span>c</span>", "span[\"a\" span[\"b\"] /span \"c\"] /span" },
        { "<div><p>a<p>b</div>", "div[p[\"a\"] p[\"b\"]] /div" },
        { "<a><p><p>x</a>", "a[p p[\"x\"]] /a" },
        { "<table><tr><td>1<td>2<tr><td>3</table>",
          "table[tr[td[\"1\"] td[\"2\" tr[td[\"3\"]]]]] /table" },
        // Empty elements.
        { "<br>x", "br \"x\"" },
        { "<br/>x", "br/ \"x\"" },
        { "<col><frame><img src=a>", "col frame img" },
        { "<div/>x", "div/ \"x\"" },
        { "<div />x", "div \"x\"" },
        { "<!DOCTYPE html><html></html>", "!DOCTYPE html /html" },
        // Texts keep a "<" that starts no tag.
        { "a < b", "\"a < b\"" },
        { "a <3 b<", "\"a <3 b<\"" },
        { "x<", "\"x<\"" },
        { "<", "\"<\"" },
        { "< p>", "\"< p>\"" },
        // Comments.
        { "<!-- a --->b", "!-- \"b\"" },
        { "<!-- a", "!--" },
        { "<!-->x", "!--" },
        { "<!x>y", "!x \"y\"" },
        { "<!", "!" },
        { "</", "/" },
        { "</>x", "/ \"x\"" },
        // A tag cut off by the end of the text has no content.
        { "<div class=a", "div" },
        { "<div>a</div", "div[\"a\"] /div" },
        // Raw text of script and style.
        { "<script>var s='</script>';</script>x", "script[\"var s='</script>';\"] /script \"x\"" },
        { "<script src=x></script>", "script[\"\"] /script" },
        { "<style>p{}</STYLE>", "style[\"p{}\"] /STYLE" },
        { "<script>a\"b</script>", "script[\"a\"b</script>\"]" },
        { "<script>'a\\'</script>'</script>", "script[\"'a\\'</script>'\"] /script" },
        { "<script>x</scriptx>y</script>", "script[\"x\" /scriptx \"y\"] /script" },
        { "<script>", "script[\"\"]" },
        // Names compare without regard to ASCII case.
        { "<DIV>x</div>", "DIV[\"x\"] /div" },
        { "<Td>x</TD>", "Td[\"x\"] /TD" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(DescribeTree(c.pszPage), c.pszTree) << c.pszPage;
}

TEST(HtmlParseTest, NodeSpansPointIntoThePage)
{
    const char* pszPage = "<div id=a>x</div><!--c-->";
    CHtmlDoc doc;
    doc.Parse(pszPage);
    const CHtmlNode* pDiv = doc.GetFirst();
    ASSERT_NE(pDiv, nullptr);
    EXPECT_EQ(pDiv->GetStart(), pszPage);
    EXPECT_EQ(pDiv->GetEnd(), pszPage + 11);  // content ends where "</div>" starts
    EXPECT_EQ(pDiv->GetName(), "div");
    const CHtmlNode* pText = pDiv->GetFirstChild();
    EXPECT_EQ(pText->GetNameStart(), pText->GetStart());
    EXPECT_EQ(pText->GetNameEnd(), pText->GetEnd());
    const CHtmlNode* pEnd = pDiv->GetNext();
    EXPECT_EQ(pEnd->GetKind(), CHtmlNode::KIND_END_TAG);
    EXPECT_EQ(pEnd->GetStart(), pszPage + 11);
    EXPECT_EQ(pEnd->GetEnd(), pszPage + 17);
    const CHtmlNode* pComment = pEnd->GetNext();
    EXPECT_EQ(pComment->GetKind(), CHtmlNode::KIND_COMMENT);
    EXPECT_EQ(pComment->GetNameStart(), pszPage + 21);  // after "<!--"
    EXPECT_EQ(pComment->GetNameEnd(), pszPage + 24);    // its closing ">"
    EXPECT_EQ(pComment->GetEnd(), pszPage + 25);

    // An unterminated comment's name runs to the end of the text.
    const char* pszOpen = "<!-- a";
    doc.Parse(pszOpen);
    EXPECT_EQ(doc.GetFirst()->GetNameEnd(), pszOpen + 6);
    EXPECT_EQ(doc.GetFirst()->GetEnd(), pszOpen + 6);
}

TEST(HtmlParseTest, ElementEndsAfterItsTagWhenEmpty)
{
    const char* pszPage = "<br>x<div/>";
    CHtmlDoc doc;
    doc.Parse(pszPage);
    EXPECT_EQ(doc.GetFirst()->GetEnd(), pszPage + 4);
    EXPECT_EQ(doc.GetFirst()->GetNext()->GetNext()->GetEnd(), pszPage + 11);
}

TEST(HtmlParseTest, ParseReplacesThePreviousTreeAndAcceptsNull)
{
    CHtmlDoc doc;
    doc.Parse("<p>a</p>");
    EXPECT_EQ(doc.GetNodeCount(), 3u);
    doc.Parse(nullptr);
    EXPECT_EQ(doc.GetFirst(), nullptr);
    EXPECT_EQ(doc.FindPath(""), nullptr);
    doc.Parse("x");
    EXPECT_EQ(doc.GetNodeCount(), 1u);
}

TEST(HtmlParseTest, LengthFormReadsZeroBytesAsText)
{
    const std::string strPage("<p>a\0b</p>", 10);
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    std::string strText;
    doc.GetFirst()->AppendText(strText);
    EXPECT_EQ(strText, std::string("a\0b", 3));

    doc.Parse(strPage.c_str());  // the zero-terminated form stops at the zero
    std::string strTree;
    DescribeChain(doc.GetFirst(), strTree);
    EXPECT_EQ(strTree, "p[\"a\"]");
}

TEST(HtmlParseTest, ContainerTableHoldsExactlyTheContentTags)
{
    const char* apszContainers[] = {
        "a", "abbr", "acronym", "address", "applet", "b", "bdo", "big", "blockquote", "body",
        "button", "caption", "center", "cite", "code", "colgroup", "dd", "del", "dfn", "dir",
        "div", "dl", "dt", "em", "fieldset", "font", "form", "frameset", "h1", "h2",
        "h3", "h4", "h5", "h6", "head", "html", "i", "iframe", "ins", "kbd",
        "label", "legend", "li", "map", "menu", "noframes", "noscript", "object", "ol", "optgroup",
        "option", "p", "pre", "q", "s", "samp", "script", "select", "small", "span",
        "strike", "strong", "style", "sub", "sup", "table", "tbody", "td", "textarea", "tfoot",
        "th", "thead", "title", "tr", "tt", "u", "ul", "var",
    };
    for (const char* psz : apszContainers) {
        EXPECT_TRUE(IsContainerTag(psz)) << psz;
        std::string strUpper(psz);
        for (char& c : strUpper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(IsContainerTag(strUpper)) << strUpper;
    }
    for (const char* psz : { "br", "img", "input", "hr", "meta", "link", "col", "frame", "t",
                             "tablex", "", "!doctype", "h7", "section", "\xe4\xb8\xad" })
        EXPECT_FALSE(IsContainerTag(psz)) << psz;
}

// Hostile nesting must neither overflow the stack nor take quadratic time.
TEST(HtmlParseTest, DeepNestingParsesAndRenders)
{
    const int nDepth = 1000000;
    std::string strPage;
    for (int i = 0; i < nDepth; ++i)
        strPage += "<div>";
    strPage += "x";
    for (int i = 0; i < 1000; ++i)
        strPage += "</span>";  // each looks for an open span
    CHtmlDoc doc;
    doc.Parse(strPage.c_str());
    const CHtmlNode* pNode = doc.GetFirst();
    int nLevels = 0;
    while (pNode != nullptr && pNode->GetKind() == CHtmlNode::KIND_ELEMENT) {
        ++nLevels;
        pNode = pNode->GetFirstChild();
    }
    EXPECT_EQ(nLevels, nDepth);
    std::string strText, strInner;
    doc.GetFirst()->AppendText(strText);
    EXPECT_EQ(strText, "x");

    strPage.clear();
    for (int i = 0; i < 200000; ++i)
        strPage += "<p>";  // each closes the previous one: a long sibling chain
    doc.Parse(strPage.c_str());
    size_t nSiblings = 0;
    for (pNode = doc.GetFirst(); pNode != nullptr; pNode = pNode->GetNext())
        ++nSiblings;
    EXPECT_EQ(nSiblings, 200000u);
}

TEST(HtmlParseTest, RealPagesParseIntoExpectedShapes)
{
    for (const char* pszFile : { "python-tutorial-appetite.html", "postgresql-catalog-pg-language.html" }) {
        const std::string strPage = ReadTestFile(pszFile);
        ASSERT_FALSE(strPage.empty()) << pszFile;
        CHtmlDoc doc;
        doc.Parse(strPage.data(), strPage.size());
        // Every node lies inside the page and every child inside its parent.
        std::vector<const CHtmlNode*> stack { doc.GetFirst() };
        size_t nNodes = 0;
        while (!stack.empty()) {
            const CHtmlNode* p = stack.back();
            stack.pop_back();
            for (; p != nullptr; p = p->GetNext()) {
                ++nNodes;
                ASSERT_GE(p->GetStart(), strPage.data());
                ASSERT_LE(p->GetEnd(), strPage.data() + strPage.size());
                ASSERT_LE(p->GetNameEnd(), p->GetEnd() + 0);
                for (const CHtmlNode* c = p->GetFirstChild(); c != nullptr; c = c->GetNext()) {
                    ASSERT_GE(c->GetStart(), p->GetStart());
                    ASSERT_LE(c->GetEnd(), p->GetEnd()) << pszFile << " at " << (p->GetStart() - strPage.data());
                }
                if (p->GetFirstChild() != nullptr)
                    stack.push_back(p->GetFirstChild());
            }
        }
        EXPECT_EQ(nNodes, doc.GetNodeCount()) << pszFile;
        // The page's <title> is reachable by a picker-style path.
        const CHtmlNode* pTitle = doc.FindPath("html@head@title");
        ASSERT_NE(pTitle, nullptr) << pszFile;
        std::string strTitle;
        pTitle->AppendText(strTitle);
        EXPECT_FALSE(strTitle.empty()) << pszFile;
    }
}

TEST(HtmlParseTest, ReparsingReusesTheDocument)
{
    // A large page, a small one, then the large one again: every tree must
    // be whole, whatever memory the document kept from the page before.
    std::string strLarge;
    for (int i = 0; i < 30000; ++i)
        strLarge += "<p>" + std::to_string(i);
    CHtmlDoc doc;
    for (const std::string& strPage : { strLarge, std::string("<b>x</b>"), strLarge, std::string() }) {
        doc.Parse(strPage.data(), strPage.size());
        size_t nNodes = 0;
        for (const CHtmlNode* p = doc.GetFirst(); p != nullptr; p = p->GetNext())
            nNodes += 1 + (p->GetFirstChild() != nullptr ? 1 : 0);
        EXPECT_EQ(nNodes, doc.GetNodeCount());
    }
    EXPECT_EQ(doc.GetFirst(), nullptr);
}
