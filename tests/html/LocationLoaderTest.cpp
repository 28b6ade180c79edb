// LocationLoaderTest.cpp - building block forests from task definitions.
#include "HtmlDoc.h"
#include "Location.h"
#include "LocationLoader.h"

#include "markup/MarkupDoc.h"
#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::unique_ptr<CLocation> Load(const std::string& strDef)
{
    quarvex::CMarkupDoc def;
    def.Parse(strDef.c_str());
    return std::unique_ptr<CLocation>(LoadLocations(def));
}

} // namespace

TEST(LocationLoaderTest, BlocksColumnsAndChildrenInDefinitionOrder)
{
    auto pForest = Load(
        "<root><general><taskname>t</taskname></general>"
        "<location><name>rows</name><path>html@body@table@tr</path><step>#tr</step>"
        "  <data><type>0</type><name>id</name><path>@td</path><order>1</order><only>1</only></data>"
        "  <data><type>3</type><path>@td@a</path><order>-2</order><attribute>href</attribute></data>"
        "  <location><path>@td#td</path><data><type>1</type><name>inner</name><order>7abc</order></data></location>"
        "  <location><path>@td#td#td</path></location>"
        "</location>"
        "<network><url>http://x/</url></network>"
        "<location><path>html@body@h1</path></location>"
        "</root>");
    ASSERT_NE(pForest, nullptr);
    EXPECT_EQ(pForest->m_strPath, "html@body@table@tr");
    EXPECT_EQ(pForest->m_strStep, "#tr");
    EXPECT_EQ(pForest->m_pParent, nullptr);
    ASSERT_NE(pForest->m_pNext, nullptr);
    EXPECT_EQ(pForest->m_pNext->m_strPath, "html@body@h1");
    EXPECT_EQ(pForest->m_pNext->m_strStep, "");
    EXPECT_EQ(pForest->m_pNext->m_pNext, nullptr);

    const CDataNode* pId = pForest->m_pFirstData;
    ASSERT_NE(pId, nullptr);
    EXPECT_EQ(pId->m_nType, CDataNode::TYPE_TEXT);
    EXPECT_EQ(pId->m_strName, "id");
    EXPECT_EQ(pId->m_strPath, "@td");
    EXPECT_EQ(pId->m_nOrder, 1);
    EXPECT_TRUE(pId->m_bKey);
    EXPECT_EQ(pId->m_pOwner, pForest.get());
    const CDataNode* pHref = pId->m_pNext;
    ASSERT_NE(pHref, nullptr);
    EXPECT_EQ(pHref->m_strName, "数据");  // no name: the default column name
    EXPECT_EQ(pHref->m_nOrder, -2);
    EXPECT_FALSE(pHref->m_bKey);
    EXPECT_EQ(pHref->m_strAttribute, "href");
    EXPECT_EQ(pHref->m_pNext, nullptr);

    const CLocation* pChild = pForest->m_pFirstChild;
    ASSERT_NE(pChild, nullptr);
    EXPECT_EQ(pChild->m_pParent, pForest.get());
    EXPECT_EQ(pChild->m_pFirstData->m_nOrder, 7);
    ASSERT_NE(pChild->m_pNext, nullptr);
    EXPECT_EQ(pChild->m_pNext->m_strPath, "@td#td#td");
    EXPECT_EQ(pChild->m_pNext->m_pParent, pForest.get());
    EXPECT_EQ(pForest->Depth(), 2);

    CDataNodeList columns;
    pForest->CollectDataNodes(columns);
    ASSERT_EQ(columns.GetCount(), 3u);
    EXPECT_EQ(columns[0]->m_nOrder, -2);
    EXPECT_EQ(columns[1]->m_strName, "id");
    EXPECT_EQ(columns[2]->m_strName, "inner");
}

TEST(LocationLoaderTest, LinkedPageTakesOnlyTheFirstLocation)
{
    auto pForest = Load(
        "<root><location><path>a</path>"
        "<data><type>4</type><path>@a</path><attribute>href</attribute><splitter>--</splitter>"
        "  <location><path>html@body@p</path><data><name>x</name></data></location>"
        "  <location><path>ignored</path></location>"
        "</data>"
        "<data><type>4</type><path>@b</path></data>"
        "</location></root>");
    ASSERT_NE(pForest, nullptr);
    const CDataNode* pLinked = pForest->m_pFirstData;
    ASSERT_NE(pLinked, nullptr);
    EXPECT_EQ(pLinked->m_nType, CDataNode::TYPE_LINKED_PAGE);
    EXPECT_EQ(pLinked->m_strOption, "--");
    ASSERT_NE(pLinked->m_pLinked, nullptr);
    EXPECT_EQ(pLinked->m_pLinked->m_strPath, "html@body@p");
    EXPECT_EQ(pLinked->m_pLinked->m_pNext, nullptr);
    EXPECT_EQ(pLinked->m_pLinked->m_pParent, nullptr);  // a linked page starts afresh
    EXPECT_EQ(pLinked->m_pLinked->m_pFirstData->m_strName, "x");
    EXPECT_EQ(pLinked->m_pNext->m_pLinked, nullptr);
    EXPECT_EQ(pLinked->m_pNext->m_strOption, "");

    // The linked forest's columns are not columns of the task.
    CDataNodeList columns;
    pForest->CollectDataNodes(columns);
    EXPECT_EQ(columns.GetCount(), 2u);
}

TEST(LocationLoaderTest, SaveDirectoryOfLinkedFiles)
{
    const std::string strProgramDir = quarvex::GetProgramDir();
    struct { const char* pszDirectory; std::string strOption; } cases[] = {
        { "", strProgramDir },
        { "files", strProgramDir + "files/" },
        { "files/", strProgramDir + "files/" },
        { "/var/tmp/pics", "/var/tmp/pics/" },
        { "/var/tmp/pics/", "/var/tmp/pics/" },
    };
    for (const auto& c : cases) {
        auto pForest = Load(std::string("<root><location><data><type>5</type><directory>") + c.pszDirectory +
                            "</directory></data></location></root>");
        ASSERT_NE(pForest, nullptr);
        EXPECT_EQ(pForest->m_pFirstData->m_strOption, c.strOption) << c.pszDirectory;
    }
    // The directory is read for linked files only.
    auto pText = Load("<root><location><data><type>0</type><directory>x</directory></data></location></root>");
    EXPECT_EQ(pText->m_pFirstData->m_strOption, "");
}

TEST(LocationLoaderTest, WrongElementsAndEmptyDefinitions)
{
    EXPECT_EQ(Load(""), nullptr);
    EXPECT_EQ(Load("<root><general></general></root>"), nullptr);
    EXPECT_EQ(Load("<location><path>a</path></location>"), nullptr);  // not under root

    quarvex::CMarkupDoc def;
    def.Parse("<data><type>2</type></data><location><path>p</path></location>");
    const quarvex::CMarkupNode* pData = def.GetFirstNode();
    EXPECT_EQ(LoadLocation(pData), nullptr);
    std::unique_ptr<CDataNode> pColumn(LoadDataNode(pData));
    ASSERT_NE(pColumn, nullptr);
    EXPECT_EQ(pColumn->m_nType, CDataNode::TYPE_OUTER_HTML);
    EXPECT_EQ(pColumn->m_strName, "数据");
    EXPECT_EQ(LoadDataNode(pData->GetNext()), nullptr);
    std::unique_ptr<CLocation> pBlock(LoadLocation(pData->GetNext()));
    ASSERT_NE(pBlock, nullptr);
    EXPECT_EQ(pBlock->m_strPath, "p");
    EXPECT_EQ(LoadLocation(nullptr), nullptr);
}

TEST(LocationLoaderTest, NestingIsBounded)
{
    std::string strDef = "<root>";
    for (int i = 0; i < 500; ++i)
        strDef += "<location><path>@</path>";
    for (int i = 0; i < 500; ++i)
        strDef += "</location>";
    strDef += "</root>";
    auto pForest = Load(strDef);
    ASSERT_NE(pForest, nullptr);
    EXPECT_EQ(pForest->Depth(), 64);
}

TEST(LocationLoaderTest, LoadedDefinitionExtractsRecords)
{
    auto pForest = Load(
        "<root><location><path>html@body@table@tr</path><step>#tr</step>"
        "<data><type>0</type><path>@td</path><order>1</order></data>"
        "<data><type>0</type><path>@td#td</path><order>2</order></data>"
        "</location></root>");
    CHtmlDoc doc;
    doc.Parse("<html><body><table><tr><td>1</td><td>2</td></tr><tr><td>3</td><td>4</td></tr></table>");
    CDataNodeList columns;
    pForest->CollectDataNodes(columns);
    ASSERT_TRUE(pForest->Resolve(doc));
    std::string strAll, strValue;
    do {
        for (size_t i = 0; i < columns.GetCount(); ++i) {
            columns[i]->GetValue(strValue);
            strAll += strValue + ";";
        }
    } while (pForest->StepForest(pForest->Depth()));
    EXPECT_EQ(strAll, "1;2;3;4;");
}
