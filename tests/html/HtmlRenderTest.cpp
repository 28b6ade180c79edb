// HtmlRenderTest.cpp - text, inner HTML, outer HTML and attribute values.
#include "HtmlDoc.h"
#include "HtmlTestUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum Render { TEXT, INNER, OUTER };

std::string RenderPath(const char* pszPage, const char* pszPath, Render render)
{
    CHtmlDoc doc;
    doc.Parse(pszPage);
    const CHtmlNode* pNode = doc.FindPath(pszPath);
    if (pNode == nullptr)
        return "(none)";
    std::string strOut;
    switch (render) {
    case TEXT: pNode->AppendText(strOut); break;
    case INNER: pNode->AppendInnerHtml(strOut); break;
    case OUTER: pNode->AppendOuterHtml(strOut); break;
    }
    return strOut;
}

} // namespace

TEST(HtmlRenderTest, Renderings)
{
    struct { const char* pszPage; const char* pszPath; Render render; const char* pszOut; } cases[] = {
        { "<div>x</div>", "div", TEXT, "x" },
        { "<div>x</div>", "div", INNER, "x" },
        { "<div>x</div>", "div", OUTER, "<div>x</div>" },
        { "<div>abc", "div", INNER, "abc" },
        { "<div>abc", "div", OUTER, "<div>abc</div>" },
        { "<table><tr><td>a</td><td>b</td></tr></table>", "table", TEXT, "ab" },
        { "<p> a <b> b </b>\n c </p>", "p", TEXT, "abc" },
        { "<p>one<br>two<BR>three</p>", "p", TEXT, "one\r\ntwo\r\nthree" },
        { "<br>", "br", TEXT, "\r\n" },
        { "<p>a<br/>b</p>", "p", TEXT, "ab" },  // 'br/' is not br
        { "<p>a<script>var x;</script><style>p{}</style><!-- c -->b</p>", "p", TEXT, "ab" },
        { "<p>&amp; &lt;</p>", "p", TEXT, "&amp; &lt;" },  // entities stay as written
        { "<p>  \r\n </p>", "p", TEXT, "" },
        { "<p class='x'>a<b>b</b></p>", "p", INNER, "a<b>b</b>" },
        { "<p class='x'>a<b>b</b></p>", "p", OUTER, "<p class='x'>a<b>b</b></p>" },
        { "<p>a<p>b", "p", OUTER, "<p>a</p>" },  // the closing tag is added
        { "<img src=a.png>", "img", INNER, "" },
        { "<img src=a.png>", "img", OUTER, "<img src=a.png></img>" },
        { "<div class=x", "div", INNER, "" },  // the tag never ends
        { "<ul><li>a<li>b</ul>", "ul", INNER, "<li>a<li>b" },
        // A text, comment or end tag is its own source.
        { "abc<p>", "", OUTER, "abc" },
        { "abc<p>", "", INNER, "abc" },
        { "<!-- c -->", "", OUTER, "<!-- c -->" },
        { "<!-- c -->", "", INNER, "<!-- c -->" },
        { "<!-- c -->", "", TEXT, "" },
        { "</p>x", "", OUTER, "</p>" },
        { "</p>x", "", INNER, "" },
        { "</p>x", "", TEXT, "" },
        { "<div>x</div>", "div#", OUTER, "</div>" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(RenderPath(c.pszPage, c.pszPath, c.render), c.pszOut) << c.pszPage << " / " << c.render;
}

TEST(HtmlRenderTest, AppendNeverClears)
{
    CHtmlDoc doc;
    doc.Parse("<p>x</p>");
    std::string strOut = "keep:";
    doc.GetFirst()->AppendText(strOut);
    doc.GetFirst()->AppendInnerHtml(strOut);
    doc.GetFirst()->AppendOuterHtml(strOut);
    EXPECT_EQ(strOut, "keep:xx<p>x</p>");
}

TEST(HtmlRenderTest, AttributeValues)
{
    struct { const char* pszTag; const char* pszName; bool bFound; const char* pszValue; } cases[] = {
        { "<a href='x.html'>", "href", true, "x.html" },
        { "<a href=\"x.html\">", "href", true, "x.html" },
        { "<a HREF='x.html'>", "href", true, "x.html" },
        { "<a href='x.html'>", "HRef", true, "x.html" },
        { "<a href=x.html>", "href", true, "x.html" },
        { "<a h=1 href=2>", "href", true, "2" },
        { "<a hrefx=1 href=2>", "href", true, "2" },
        { "<input disabled name=q>", "disabled", false, "" },
        { "<input disabled name=q>", "name", true, "q" },
        { "<a href=''>", "href", true, "" },
        { "<a href = \"y\" >", "href", true, "y" },
        { "<a title='it\\'s' href=z>", "title", true, "it's" },
        { "<a title='it\\'s' href=z>", "href", true, "z" },
        { "<a title='a\"b'>", "title", true, "a\"b" },
        { "<a title='a>b' href=z>", "title", true, "a" },  // ">" ends the value
        { "<a title='a>b' href=z>", "href", false, "" },   // and the tag
        { "<a href=>", "href", false, "" },
        { "<a href=", "href", false, "" },
        { "<a href='abc", "href", true, "abc" },
        { "<a href='ab\\", "href", true, "ab" },
        { "<a>", "href", false, "" },
        { "<a href=x>", "", false, "" },
        { "<a href=x/>", "href", true, "x/" },
        { "<img src=a.png/>", "src", true, "a.png/" },
    };
    for (const auto& c : cases) {
        CHtmlDoc doc;
        doc.Parse(c.pszTag);
        std::string strValue = "unchanged";
        EXPECT_EQ(doc.GetFirst()->GetAttribute(c.pszName, strValue), c.bFound) << c.pszTag << " " << c.pszName;
        EXPECT_EQ(strValue, c.bFound ? c.pszValue : "unchanged") << c.pszTag << " " << c.pszName;
    }
}

TEST(HtmlRenderTest, OnlyElementsHaveAttributes)
{
    // A text node followed by a tag must not lend that tag's attributes.
    CHtmlDoc doc;
    doc.Parse("x href=1 <a href=2>y</a><!-- href=3 -->");
    std::string strValue;
    for (const CHtmlNode* p = doc.GetFirst(); p != nullptr; p = p->GetNext()) {
        const bool bFound = p->GetAttribute("href", strValue);
        EXPECT_EQ(bFound, p->GetKind() == CHtmlNode::KIND_ELEMENT) << std::string(p->GetStart(), p->GetEnd());
    }
    EXPECT_EQ(strValue, "2");
}

TEST(HtmlRenderTest, AttributeScanStopsAtTheTag)
{
    // An escaped ">" in a quoted value would otherwise run on into the text.
    const char* pszPage = "<img alt='a\\>b' src=z>c='d'";
    CHtmlDoc doc;
    doc.Parse(pszPage);
    std::string strValue;
    EXPECT_TRUE(doc.GetFirst()->GetAttribute("alt", strValue));
    EXPECT_EQ(strValue, "a>");
    EXPECT_FALSE(doc.GetFirst()->GetAttribute("c", strValue));
}

TEST(HtmlRenderTest, RealPageCells)
{
    const std::string strPage = ReadTestFile("postgresql-catalog-pg-language.html");
    CHtmlDoc doc;
    doc.Parse(strPage.data(), strPage.size());
    const CHtmlNode* pTitle = doc.FindPath("html@head@title");
    ASSERT_NE(pTitle, nullptr);
    std::string strOut;
    pTitle->AppendText(strOut);
    EXPECT_EQ(strOut, "53.29.\xC2\xA0pg_language");  // a no-break space is not whitespace

    const CHtmlNode* pLink = doc.FindPath("html@head@link#link");
    ASSERT_NE(pLink, nullptr);
    strOut.clear();
    EXPECT_TRUE(pLink->GetAttribute("href", strOut));
    EXPECT_EQ(strOut, "pgsql-docs@lists.postgresql.org");

    // The navigation header: the first row's heading and the "Prev" link.
    const CHtmlNode* pNav = doc.FindPath("html@body@div@table@tr");
    ASSERT_NE(pNav, nullptr);
    strOut.clear();
    pNav->AppendText(strOut);
    EXPECT_EQ(strOut, "53.29.\xC2\xA0pg_language");
    const CHtmlNode* pPrev = pNav->FindPath("#tr@td@a");
    ASSERT_NE(pPrev, nullptr);
    strOut.clear();
    pPrev->AppendOuterHtml(strOut);
    EXPECT_EQ(strOut, "<a accesskey=\"p\" href=\"catalog-pg-init-privs.html\" title=\"53.28.\xC2\xA0pg_init_privs\">Prev</a>");
}
