// MarkupNodeTest.cpp - paths, lookups and changes on a tree.
#include "markup/MarkupDoc.h"

#include <gtest/gtest.h>

#include <string>

using quarvex::CMarkupDoc;
using quarvex::CMarkupNode;

namespace {

const char s_szDefinition[] =
    "<root>"
    "<general><taskname>news</taskname><frequence>60</frequence></general>"
    "<network><url>http://127.0.0.1/</url><webposturl>u</webposturl><webpost>1</webpost>"
    "<parameter><name>a</name><value>1</value></parameter>"
    "<parameter><name>b</name><value>2</value></parameter></network>"
    "<location><name>L1</name></location>"
    "<location><name>L2</name></location>"
    "</root>"
    "<node>1</node>text<node>2</node>";

std::string Format(const CMarkupDoc& doc)
{
    std::string strOut;
    doc.SaveToString(strOut);
    return strOut;
}

// Text of what the path finds: "(null)" when nothing, the text of a text
// node, "<name>" for an element.
std::string Describe(const CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return "(null)";
    if (pNode->IsText())
        return pNode->GetName() != nullptr ? pNode->GetName() : "(decl)";
    return "<" + std::string(pNode->GetNameView()) + ">";
}

} // namespace

TEST(MarkupPathTest, PathsFromTheDocument)
{
    CMarkupDoc doc;
    doc.Parse(s_szDefinition);
    struct {
        const char* pszPath;
        const char* pszFound;
    } cases[] = {
        { "", "<root>" },
        { "root", "<root>" },
        { "root@general", "<general>" },
        { "root@general@", "<taskname>" },         // a trailing '@' is the first child
        { "root@general@@", "news" },
        { "root@general@frequence@", "60" },
        { "root@network@parameter@value@", "1" },
        { "root@network@parameter#parameter@value@", "2" },
        { "root@network@parameter#parameter#parameter", "(null)" },
        { "root@network@webpost", "<webpost>" },     // whole names: not webposturl
        { "root@network@webpos", "(null)" },
        { "root@location#location@name@", "L2" },
        { "node", "<node>" },
        { "node#node", "<node>" },                   // passes over the text between
        { "node#node@", "2" },
        { "node#", "text" },
        { "text", "(null)" },                        // texts never match a name
        { "root@missing", "(null)" },
        { "ROOT", "(null)" },                        // case-sensitive
        { "root@general@taskname@@", "(null)" },     // a text has no children
        { "root#####", "(null)" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(Describe(doc.FindPath(c.pszPath)), c.pszFound) << c.pszPath;

    CMarkupDoc empty;
    EXPECT_EQ(empty.FindPath("root"), nullptr);
    EXPECT_EQ(empty.FindPath(""), nullptr);
}

TEST(MarkupPathTest, RelativePathsFromAnElement)
{
    CMarkupDoc doc;
    doc.Parse(s_szDefinition);
    CMarkupNode* pRoot = doc.FindPath("root");
    ASSERT_NE(pRoot, nullptr);
    CMarkupNode* pFirst = pRoot->FindPath("@location");
    ASSERT_NE(pFirst, nullptr);
    EXPECT_STREQ(pFirst->GetChildValue("name"), "L1");
    CMarkupNode* pSecond = pFirst->FindPath("#location");
    ASSERT_NE(pSecond, nullptr);
    EXPECT_STREQ(pSecond->GetChildValue("name"), "L2");
    EXPECT_EQ(pSecond->FindPath("#location"), nullptr);
    EXPECT_EQ(pFirst->NextSameName(), pSecond);
    EXPECT_EQ(pSecond->NextSameName(), nullptr);
    EXPECT_EQ(pFirst->FindPath(nullptr), pFirst);
}

TEST(MarkupNodeTest, LookupsMatchWholeNamesOfElementsOnly)
{
    CMarkupDoc doc;
    doc.Parse("<n><url>ab</url><webposturl>x</webposturl><webpost>1</webpost><k></k></n>"
              "<m>url<url>y</url></m><e><a>inner</a></e>");
    CMarkupNode* pN = doc.FindPath("n");
    EXPECT_STREQ(pN->GetChildValue("webpost"), "1");
    EXPECT_STREQ(pN->GetChildValue("url"), "ab");
    EXPECT_EQ(pN->GetChildValue("web"), nullptr);
    EXPECT_EQ(pN->GetChildValue("k"), nullptr);      // a key without text
    EXPECT_EQ(pN->GetChildValue("none"), nullptr);
    // The text "url" is a value, not the key url.
    CMarkupNode* pM = doc.FindPath("m");
    EXPECT_EQ(pM->FindChild("url"), pM->GetFirstChild()->GetNext());
    EXPECT_STREQ(pM->GetChildValue("url"), "y");
    // An element holding elements has no value.
    EXPECT_EQ(doc.FindPath("e")->GetFirstChild(), doc.FindPath("e@a"));
    CMarkupDoc outer;
    outer.Parse("<o><e><a>inner</a></e></o>");
    EXPECT_EQ(outer.FindPath("o")->GetChildValue("e"), nullptr);
}

TEST(MarkupNodeTest, NextSameNameSkipsTextsAndOtherNames)
{
    CMarkupDoc doc;
    doc.Parse("<r><p>1</p>p<q>x</q><p>2</p></r>");
    CMarkupNode* pFirst = doc.FindPath("r@p");
    ASSERT_NE(pFirst, nullptr);
    CMarkupNode* pSecond = pFirst->NextSameName();
    ASSERT_NE(pSecond, nullptr);
    EXPECT_STREQ(pSecond->GetFirstChild()->GetName(), "2");
    EXPECT_EQ(pSecond->NextSameName(), nullptr);
}

TEST(MarkupNodeTest, SetChildValueCreatesOnWrite)
{
    CMarkupDoc doc;
    doc.Parse("<g><a>old</a><b></b><c><x>1</x></c><d>keep</d></g>");
    CMarkupNode* pG = doc.FindPath("g");
    pG->SetChildValue("a", "new");   // replaced in place
    pG->SetChildValue("b", "filled");  // a key without text gets one
    pG->SetChildValue("z", "added");   // a missing key goes last
    pG->SetChildValue("c", "t");       // the children of c survive
    EXPECT_EQ(Format(doc),
              "\r\n<g>\r\n\t<a>new</a>\r\n\t<b>filled</b>\r\n\t<c>t\r\n\t\t<x>1</x></c>"
              "\r\n\t<d>keep</d>\r\n\t<z>added</z>\r\n</g>");
    EXPECT_STREQ(pG->GetChildValue("c"), "t");
    ASSERT_NE(doc.FindPath("g@c@x@"), nullptr);
    EXPECT_STREQ(doc.FindPath("g@c@x@")->GetName(), "1");
}

TEST(MarkupNodeTest, RemoveChildAnywhereInTheChain)
{
    const char* apszNames[] = { "a", "b", "c" };
    const char* apszLeft[] = { "\r\n<r>\r\n\t<b>2</b>\r\n\t<c>3</c>\r\n</r>",
                               "\r\n<r>\r\n\t<a>1</a>\r\n\t<c>3</c>\r\n</r>",
                               "\r\n<r>\r\n\t<a>1</a>\r\n\t<b>2</b>\r\n</r>" };
    for (int i = 0; i < 3; ++i) {
        CMarkupDoc doc;
        doc.Parse("<r><a>1</a><b>2</b><c>3</c></r>");
        CMarkupNode* pR = doc.FindPath("r");
        EXPECT_TRUE(pR->RemoveChild(pR->FindChild(apszNames[i])));
        EXPECT_EQ(Format(doc), apszLeft[i]) << apszNames[i];
    }

    CMarkupDoc doc;
    doc.Parse("<r><a>1</a></r><s><b>2</b></s>");
    CMarkupNode* pR = doc.FindPath("r");
    EXPECT_FALSE(pR->RemoveChild(nullptr));
    EXPECT_FALSE(pR->RemoveChild(doc.FindPath("s@b")));  // not a child of r: left alone
    EXPECT_TRUE(pR->RemoveChild(pR->GetFirstChild()));
    EXPECT_EQ(Format(doc), "\r\n<r></r>\r\n<s>\r\n\t<b>2</b>\r\n</s>");
}

TEST(MarkupNodeTest, AppendAndSetValueBuildWhatIsWritten)
{
    CMarkupDoc doc;
    CMarkupNode* pA = new CMarkupNode("a");
    doc.AppendTopLevel(pA);
    doc.AppendTopLevel(new CMarkupNode("b"));
    CMarkupNode* pX = new CMarkupNode("x");
    pA->AppendChild(pX);
    pX->AppendSibling(new CMarkupNode("y"));
    EXPECT_EQ(pX->GetNext()->GetParent(), pA);
    pX->AppendChild(new CMarkupNode("v<1>", CMarkupNode::KIND_TEXT));
    pX->SetValue("renamed");
    EXPECT_EQ(Format(doc), "\r\n<a>\r\n\t<renamed>v&lt;1&gt;</renamed>\r\n\t<y></y>\r\n</a>\r\n<b></b>");
    EXPECT_EQ(doc.FindTopLevel("b"), pA->GetNext());
    EXPECT_EQ(doc.FindTopLevel("c"), nullptr);
}

TEST(MarkupNodeTest, CopiesAreDeepAndIndependent)
{
    CMarkupDoc doc;
    doc.Parse("<?xml?>lead<root><general><taskname>a</taskname></general><e></e>"
              "<location><data><path>@p</path></data></location></root></stray><tail>t</tail>");
    CMarkupDoc copy;
    copy.Parse("<old>1</old>");
    copy.CopyFrom(doc);
    EXPECT_EQ(Format(copy), Format(doc));
    EXPECT_EQ(copy.GetFirstNode()->GetName(), nullptr);  // the declaration node stays nameless
    EXPECT_EQ(copy.FindTopLevel("stray")->GetKind(), CMarkupNode::KIND_END_TAG);
    CMarkupNode* pData = copy.FindPath("root@location@data");
    ASSERT_NE(pData, nullptr);
    EXPECT_EQ(pData->GetParent(), copy.FindPath("root@location"));
    EXPECT_EQ(pData->GetFirstChild()->GetParent(), pData);

    // Changing the copy leaves the original alone.
    copy.FindPath("root@general")->SetChildValue("taskname", "b");
    copy.FindPath("root")->RemoveChild(copy.FindPath("root@location"));
    EXPECT_STREQ(doc.FindPath("root@general@taskname@")->GetName(), "a");
    EXPECT_NE(doc.FindPath("root@location@data@path"), nullptr);

    // A clone takes the subtree but not the siblings.
    CMarkupNode* pGeneral = doc.FindPath("root@general")->Clone();
    EXPECT_EQ(pGeneral->GetNext(), nullptr);
    EXPECT_EQ(pGeneral->GetParent(), nullptr);
    EXPECT_STREQ(pGeneral->GetChildValue("taskname"), "a");
    delete pGeneral;

    copy.CopyFrom(copy);
    EXPECT_FALSE(copy.IsEmpty());
    CMarkupDoc empty;
    copy.CopyFrom(empty);
    EXPECT_TRUE(copy.IsEmpty());
}
