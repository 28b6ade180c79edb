// MarkupReadTest.cpp - reading text into a tree and writing it back, compared
// byte for byte.
#include "markup/MarkupDoc.h"

#include <gtest/gtest.h>

#include <string>

using quarvex::CMarkupDoc;
using quarvex::CMarkupNode;

namespace {

std::string Format(const char* pszText)
{
    CMarkupDoc doc;
    doc.Parse(pszText);
    std::string strOut;
    doc.SaveToString(strOut);
    return strOut;
}

} // namespace

TEST(MarkupReadTest, CanonicalTextsRoundTripByteForByte)
{
    const char* apszTexts[] = {
        "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n\t<savepassword>0</savepassword>\r\n</general>",
        "\r\n<taskname>abc</taskname>",
        "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n\t<savepassword>0</savepassword>\r\n\t"
        "<server>127.0.0.1:8080</server>\r\n</general>\r\n<example>\r\n\t<taskid>12</taskid>\r\n\t"
        "<taskid>7</taskid>\r\n</example>\r\n<account>\r\n\t<username>li</username>\r\n\t"
        "<password>p&lt;w&gt;d</password>\r\n</account>",
        "\r\n<root>\r\n\t<location>\r\n\t\t<name>区块</name>\r\n\t\t<data>\r\n\t\t\t<type>4</type>\r\n\t\t\t"
        "<location>\r\n\t\t\t\t<path>@body@div</path>\r\n\t\t\t</location>\r\n\t\t</data>\r\n\t</location>\r\n</root>",
        "\r\n<empty></empty>",
    };
    for (const char* pszText : apszTexts)
        EXPECT_EQ(Format(pszText), pszText) << pszText;
}

TEST(MarkupReadTest, ReaderEdgeCases)
{
    struct {
        const char* pszIn;
        const char* pszOut;
    } cases[] = {
        { "<a>  lead and trail  </a>", "\r\n<a>lead and trail  </a>" },  // leading blanks lost
        { "<a>\r\n\t\v\fx</a>", "\r\n<a>x</a>" },
        { "<a></a>", "\r\n<a></a>" },                           // empty value: key without text
        { "<a/>", "\r\n<a/></a/>" },                            // the name runs to ">"
        { "<a />", "\r\n<a></a>" },
        { "<a x=\"1\" y>v</a>", "\r\n<a>v</a>" },               // attributes are not read
        { "<x>abc</y>", "\r\n<x>abc</x>" },                     // end tag names play no part
        { "<a>&lt;b&gt; &amp; &lt</a>", "\r\n<a>&lt;b&gt; &amp; &lt</a>" },
        { "<a&lt;b>v</a&lt;b>", "\r\n<a&lt;b>v</a&lt;b>" },     // names unescape too
        { "</stray><a>v</a>", "\r\n<stray></stray>\r\n<a>v</a>" },  // end tag closing nothing
        { "</ab cd>", "\r\n<ab></ab>" },
        { "</a", "\r\n<a></a>" },
        { "<?xml version=\"1.0\"?><a>v</a>", "\r\n<a>v</a>" },
        { "<?xml never closed <a>v</a>", "" },                  // the declaration eats the rest
        { "<a><?xml ?><b>v</b></a>", "\r\n<a>\r\n\t<b>v</b></a>" },  // counts as a text
        { "<a", "\r\n<a></a>" },                                // ends before ">": no children
        { "<a x", "\r\n<a></a>" },
        { "<a><b>v", "\r\n<a>\r\n\t<b>v</b>\r\n</a>" },         // open elements end with the text
        { "<a>v</a></a></b>", "\r\n<a>v</a>\r\n<a></a>\r\n<b></b>" },
        { "top <a>v</a>", "top \r\n<a>v</a>" },                 // texts stay at the top level
        { "<a>t<b>x</b></a>", "\r\n<a>t\r\n\t<b>x</b></a>" },   // a text first: no line before </a>
        { "<>v</>", "\r\n<>v</>" },                             // an empty name is a name
        { "   \r\n\t ", "" },
        { "", "" },
        { "<a>v</a>\r\n", "\r\n<a>v</a>" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(Format(c.pszIn), c.pszOut) << c.pszIn;
}

TEST(MarkupReadTest, TreeShapeOfMixedInput)
{
    CMarkupDoc doc;
    doc.Parse("<?xml?></x><a>t<b>u</b></a>");
    CMarkupNode* pDecl = doc.GetFirstNode();
    ASSERT_NE(pDecl, nullptr);
    EXPECT_EQ(pDecl->GetKind(), CMarkupNode::KIND_TEXT);
    EXPECT_EQ(pDecl->GetName(), nullptr);
    CMarkupNode* pEnd = pDecl->GetNext();
    ASSERT_NE(pEnd, nullptr);
    EXPECT_EQ(pEnd->GetKind(), CMarkupNode::KIND_END_TAG);
    EXPECT_STREQ(pEnd->GetName(), "x");
    CMarkupNode* pA = pEnd->GetNext();
    ASSERT_NE(pA, nullptr);
    EXPECT_TRUE(pA->IsElement());
    EXPECT_EQ(pA->GetParent(), nullptr);
    ASSERT_NE(pA->GetFirstChild(), nullptr);
    EXPECT_STREQ(pA->GetFirstChild()->GetName(), "t");
    CMarkupNode* pB = pA->GetFirstChild()->GetNext();
    ASSERT_NE(pB, nullptr);
    EXPECT_EQ(pB->GetParent(), pA);
    EXPECT_STREQ(pB->GetFirstChild()->GetName(), "u");
    EXPECT_EQ(pB->GetFirstChild()->GetParent(), pB);
    EXPECT_EQ(pA->GetNext(), nullptr);

    // A kind-2 node is never taken for an element by a path.
    EXPECT_EQ(doc.FindPath("x"), nullptr);
    EXPECT_EQ(doc.FindTopLevel("x"), pEnd);
}

TEST(MarkupReadTest, ValuesRoundTripThroughEscapes)
{
    struct {
        const char* pszValue;
        const char* pszReadBack;  // null: the key reads back without text
    } cases[] = {
        { "a<b>c", "a<b>c" },
        { "&lt;", "<" },          // a literal escape is not kept as written
        { "x&y", "x&y" },
        { "", nullptr },
        { "  lead", "lead" },
        { "trail  ", "trail  " },
        { "中文 GBK \xb0\xa1", "中文 GBK \xb0\xa1" },  // bytes are never converted
    };
    for (const auto& c : cases) {
        CMarkupDoc doc;
        doc.AppendTopLevel(new CMarkupNode("root"));
        doc.GetFirstNode()->SetChildValue("v", c.pszValue);
        std::string strText;
        ASSERT_TRUE(doc.SaveToString(strText));
        CMarkupDoc back;
        back.Parse(strText.c_str());
        const char* pszGot = back.GetFirstNode()->GetChildValue("v");
        if (c.pszReadBack == nullptr)
            EXPECT_EQ(pszGot, nullptr) << c.pszValue;
        else
            EXPECT_STREQ(pszGot, c.pszReadBack) << c.pszValue;
    }
}

TEST(MarkupReadTest, ParseReplacesAndNullEmpties)
{
    CMarkupDoc doc;
    doc.Parse("<a>1</a>");
    doc.Parse("<b>2</b>");
    EXPECT_EQ(doc.FindPath("a"), nullptr);
    EXPECT_NE(doc.FindPath("b"), nullptr);
    doc.Parse(nullptr);
    EXPECT_TRUE(doc.IsEmpty());
    std::string strOut = "kept";
    EXPECT_FALSE(doc.SaveToString(strOut));
    EXPECT_EQ(strOut, "kept");
}

TEST(MarkupReadTest, SaveToStringAppends)
{
    CMarkupDoc doc;
    doc.Parse("<a>v</a>");
    std::string strOut = "before";
    ASSERT_TRUE(doc.SaveToString(strOut));
    EXPECT_EQ(strOut, "before\r\n<a>v</a>");
}
