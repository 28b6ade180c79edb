// MarkupLargeTest.cpp - trees far larger and deeper than any task definition
// are read, written and destroyed without recursion running out of stack.
#include "markup/MarkupDoc.h"

#include <gtest/gtest.h>

#include <string>

using quarvex::CMarkupDoc;
using quarvex::CMarkupNode;

TEST(MarkupLargeTest, TenMegabyteDefinitionWithDeepNestingAndAMillionSiblings)
{
    const int nDepth = 3000;
    const int nSiblings = 1000000;
    std::string strText = "<root><general><taskname>big</taskname></general>";
    std::string strExpected = "\r\n<root>\r\n\t<general>\r\n\t\t<taskname>big</taskname>\r\n\t</general>";
    for (int i = 0; i < nDepth; ++i) {
        strText += "<location><path>@div</path>";
        strExpected += "\r\n" + std::string(size_t(i) + 1, '\t') + "<location>";
        strExpected += "\r\n" + std::string(size_t(i) + 2, '\t') + "<path>@div</path>";
    }
    for (int i = nDepth; i-- > 0;) {
        strText += "</location>";
        strExpected += "\r\n" + std::string(size_t(i) + 1, '\t') + "</location>";
    }
    for (int i = 0; i < nSiblings; ++i) {
        strText += "<data></data>";
        strExpected += "\r\n\t<data></data>";
    }
    strText += "</root>";
    strExpected += "\r\n</root>";
    ASSERT_GT(strText.size(), size_t(10) << 20);

    CMarkupDoc doc;
    doc.Parse(strText.c_str());
    int nLevels = 0;
    for (const CMarkupNode* p = doc.FindPath("root@location"); p != nullptr; p = p->FindPath("@location"))
        ++nLevels;
    EXPECT_EQ(nLevels, nDepth);
    int nData = 0;
    for (const CMarkupNode* p = doc.FindPath("root@data"); p != nullptr; p = p->NextSameName())
        ++nData;
    EXPECT_EQ(nData, nSiblings);

    std::string strFormatted;
    ASSERT_TRUE(doc.SaveToString(strFormatted));
    EXPECT_EQ(strFormatted.size(), strExpected.size());
    EXPECT_TRUE(strFormatted == strExpected);  // not EXPECT_EQ: no 20 MB failure message
}

TEST(MarkupLargeTest, MillionNestedElementsReadAndDestroyButAreNotWritten)
{
    const int nDepth = 1000000;
    std::string strText;
    strText.reserve(size_t(nDepth) * 3 + 1);
    for (int i = 0; i < nDepth; ++i)
        strText += "<a>";
    CMarkupDoc doc;
    doc.Parse(strText.c_str());
    int nLevels = 0;
    const CMarkupNode* pDeepest = nullptr;
    for (const CMarkupNode* p = doc.GetFirstNode(); p != nullptr; p = p->GetFirstChild()) {
        pDeepest = p;
        ++nLevels;
    }
    EXPECT_EQ(nLevels, nDepth);
    ASSERT_NE(pDeepest, nullptr);
    EXPECT_EQ(pDeepest->GetParent()->GetFirstChild(), pDeepest);

    CMarkupDoc copy;
    copy.CopyFrom(doc);
    int nCopied = 0;
    for (const CMarkupNode* p = copy.GetFirstNode(); p != nullptr; p = p->GetFirstChild())
        ++nCopied;
    EXPECT_EQ(nCopied, nDepth);

    // Its indentation alone would take about a terabyte.
    std::string strOut;
    EXPECT_FALSE(doc.SaveToString(strOut));
    EXPECT_TRUE(strOut.empty());
    doc.Clear();
    EXPECT_TRUE(doc.IsEmpty());
}

TEST(MarkupLargeTest, MillionTopLevelNodesAndLongChainsFreeInALoop)
{
    std::string strText;
    for (int i = 0; i < 500000; ++i)
        strText += "</e>t<x>";  // alternating stray end tags, texts and open elements
    CMarkupDoc doc;
    doc.Parse(strText.c_str());
    EXPECT_FALSE(doc.IsEmpty());
}
