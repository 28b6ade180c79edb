// LocationTest.cpp - resolving and stepping block forests, column values and
// column order.
#include "HtmlDoc.h"
#include "Location.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

CDataNode* MakeData(const char* pszPath, int nOrder, int nType = CDataNode::TYPE_TEXT,
                    const char* pszAttribute = "")
{
    CDataNode* pData = new CDataNode;
    pData->m_strPath = pszPath;
    pData->m_nOrder = nOrder;
    pData->m_nType = nType;
    pData->m_strAttribute = pszAttribute;
    pData->m_strName = pszPath;
    return pData;
}

// Walks the forest as a run pass does and returns every record, its values
// joined by '|'.
std::vector<std::string> Walk(CLocation& forest, const CHtmlDoc& doc, size_t nLimit = 1000)
{
    std::vector<std::string> aRecords;
    CDataNodeList columns;
    forest.CollectDataNodes(columns);
    if (!forest.Resolve(doc))
        return aRecords;
    const int nDepth = forest.Depth();
    do {
        std::string strRecord, strValue;
        for (size_t i = 0; i < columns.GetCount(); ++i) {
            columns[i]->GetValue(strValue);
            if (i > 0)
                strRecord += '|';
            strRecord += strValue;
        }
        aRecords.push_back(strRecord);
    } while (aRecords.size() < nLimit && forest.StepForest(nDepth));
    return aRecords;
}

const char s_szPage[] =
    "<html><body><h1>T</h1>\n"
    "<table>\n"
    "<tr><td>a1</td><td>a2</td></tr>\n"
    "<tr><td>b1</td><td>b2</td></tr>\n"
    "<tr><td>c1</td><td>c2</td></tr>\n"
    "</table></body></html>";

} // namespace

TEST(LocationTest, WorkedExampleYieldsOneRecordPerRow)
{
    CHtmlDoc doc;
    doc.Parse(s_szPage);
    CLocation forest("html@body@table@tr", "#tr");
    forest.AddDataNode(MakeData("@td", 1));
    forest.AddDataNode(MakeData("@td#td", 2));
    EXPECT_EQ(forest.Depth(), 1);
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> { "a1|a2", "b1|b2", "c1|c2" }));
}

TEST(LocationTest, TableBlockWithRowChild)
{
    CHtmlDoc doc;
    doc.Parse(s_szPage);
    CLocation forest("html@body@table", "");
    CLocation* pRow = new CLocation("@tr", "#tr");
    pRow->AddDataNode(MakeData("@td#td", 1));
    forest.AddChild(pRow);
    forest.AddDataNode(MakeData("#", 2, CDataNode::TYPE_OUTER_HTML));
    EXPECT_EQ(forest.Depth(), 2);
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> { "a2|</table>", "b2|</table>", "c2|</table>" }));
}

TEST(LocationTest, EmptyStepGivesOneRecordPerPage)
{
    CHtmlDoc doc;
    doc.Parse(s_szPage);
    CLocation forest("html@body@h1", "");
    forest.AddDataNode(MakeData("", 0));
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> { "T" }));
}

TEST(LocationTest, BlockNotFoundForTheFirstRecordGivesNoRecords)
{
    CHtmlDoc doc;
    doc.Parse(s_szPage);
    CLocation forest("html@body@table@tr", "#tr");
    forest.AddChild(new CLocation("@th", ""));
    EXPECT_TRUE(Walk(forest, doc).empty());

    CLocation missingSibling("html@body@table", "");
    missingSibling.AddSibling(new CLocation("html@body@ul", ""));
    EXPECT_TRUE(Walk(missingSibling, doc).empty());

    CHtmlDoc empty;
    CLocation anything("", "");
    EXPECT_FALSE(anything.Resolve(empty));
}

// Nested blocks step like an odometer: the inner block runs through its
// records, then the outer block moves and the inner one starts again.
TEST(LocationTest, NestedBlocksStepLikeAnOdometer)
{
    CHtmlDoc doc;
    doc.Parse("<div class=g><h2>A</h2><ul><li>1</li><li>2</li></ul></div>"
              "<div class=g><h2>B</h2><ul><li>3</li></ul></div>"
              "<div class=g><h2>C</h2><ul><li>4</li><li>5</li><li>6</li></ul></div>");
    CLocation forest("div", "#div");
    forest.AddDataNode(MakeData("@h2", 1));
    CLocation* pItem = new CLocation("@ul@li", "#li");
    pItem->AddDataNode(MakeData("", 2));
    forest.AddChild(pItem);
    EXPECT_EQ(Walk(forest, doc),
              (std::vector<std::string> { "A|1", "A|2", "B|3", "C|4", "C|5", "C|6" }));
}

TEST(LocationTest, ThreeLevelsWithSiblingBlocks)
{
    CHtmlDoc doc;
    doc.Parse("<table><tr><td><b>x</b><b>y</b></td><td>p</td></tr>"
              "<tr><td><b>z</b></td><td>q</td></tr></table>");
    CLocation forest("table@tr", "#tr");
    CLocation* pCell = new CLocation("@td", "");
    CLocation* pBold = new CLocation("@b", "#b");
    pBold->AddDataNode(MakeData("", 1));
    pCell->AddChild(pBold);
    forest.AddChild(pCell);
    CLocation* pSecond = new CLocation("@td#td", "");
    pSecond->AddDataNode(MakeData("", 2));
    forest.AddChild(pSecond);
    EXPECT_EQ(forest.Depth(), 3);
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> { "x|p", "y|p", "z|q" }));
}

// A step made of a name that matches the node it starts from must not count
// as a move, or the walk never ends.
TEST(LocationTest, StepThatFindsItsOwnNodeIsNoMove)
{
    CHtmlDoc doc;
    doc.Parse(s_szPage);
    for (const char* pszStep : { "tr", "TR" }) {
        CLocation forest("html@body@table@tr", pszStep);
        forest.AddDataNode(MakeData("@td", 1));
        const auto aRecords = Walk(forest, doc, 10);
        EXPECT_LE(aRecords.size(), 1u) << pszStep;
    }
    // The same inside a nested block: the outer block still steps.
    CLocation forest("html@body@table@tr", "#tr");
    CLocation* pCell = new CLocation("@td", "td");
    pCell->AddDataNode(MakeData("", 1));
    forest.AddChild(pCell);
    EXPECT_EQ(Walk(forest, doc, 10), (std::vector<std::string> { "a1", "b1", "c1" }));
}

// After a move, a child block that is not found on the new record is empty
// for it, and its siblings are still placed on the new record.
TEST(LocationTest, ChildBlocksNeverKeepAnEarlierRecord)
{
    CHtmlDoc doc;
    doc.Parse("<table>"
              "<tr><td><i>i1</i></td><td><b>b1</b></td></tr>"
              "<tr><td>none</td><td><b>b2</b></td></tr>"
              "<tr><td><i>i3</i></td><td><b>b3</b></td></tr>"
              "</table>");
    CLocation forest("table@tr", "#tr");
    CLocation* pItalic = new CLocation("@td@i", "");
    pItalic->AddDataNode(MakeData("", 1));
    CLocation* pInner = new CLocation("@", "");  // child of the italic block
    pInner->AddDataNode(MakeData("", 2, CDataNode::TYPE_INNER_HTML));
    pItalic->AddChild(pInner);
    forest.AddChild(pItalic);
    CLocation* pBold = new CLocation("@td#td@b", "");
    pBold->AddDataNode(MakeData("", 3));
    forest.AddChild(pBold);
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> { "i1|i1|b1", "||b2", "i3|i3|b3" }));
}

TEST(LocationTest, ColumnValuesByType)
{
    CHtmlDoc doc;
    doc.Parse("<div><a href='/x?y=1' class=k>Go <b>on</b></a></div>");
    CLocation forest("div", "");
    forest.AddDataNode(MakeData("@a", 1, CDataNode::TYPE_TEXT));
    forest.AddDataNode(MakeData("@a", 2, CDataNode::TYPE_INNER_HTML));
    forest.AddDataNode(MakeData("@a", 3, CDataNode::TYPE_OUTER_HTML));
    forest.AddDataNode(MakeData("@a", 4, CDataNode::TYPE_ATTRIBUTE, "HREF"));
    forest.AddDataNode(MakeData("@a", 5, CDataNode::TYPE_ATTRIBUTE, "title"));
    forest.AddDataNode(MakeData("@a", 6, CDataNode::TYPE_LINKED_PAGE, "href"));  // no linked forest
    forest.AddDataNode(MakeData("@a", 7, 9));                                     // unknown type
    forest.AddDataNode(MakeData("@p", 8, CDataNode::TYPE_TEXT));                  // not found
    EXPECT_EQ(Walk(forest, doc), (std::vector<std::string> {
        "Goon|Go <b>on</b>|<a href='/x?y=1' class=k>Go <b>on</b></a>|/x?y=1||||" }));
}

TEST(LocationTest, TimeStampColumnsIgnoreThePage)
{
    CLocation forest("nowhere", "");  // never resolved: its node stays null
    struct { const char* pszPath; const char* pszPattern; } cases[] = {
        { "@DATE", "\\d{4}-\\d\\d-\\d\\d" },
        { "@TIME", "\\d\\d:\\d\\d:\\d\\d" },
        { "@DATETIME", "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d" },
        { "@DATEHOUR", "\\d{4}-\\d\\d-\\d\\d \\d\\d:00:00" },
        { "@DATEMINUTE", "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:00" },
        { "@DATESECOND", "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d" },
        { "@HOUR", "\\d\\d:00:00" },
        { "@MINUTE", "\\d\\d:\\d\\d:00" },
        { "@SECOND", "\\d\\d:\\d\\d:\\d\\d" },
        { "@date", "" },  // names are case-sensitive; this is a path
        { "@DATEX", "" },
    };
    for (const auto& c : cases) {
        CDataNode* pData = MakeData(c.pszPath, 0, CDataNode::TYPE_ATTRIBUTE, "x");
        forest.AddDataNode(pData);
        std::string strValue = "old";
        pData->GetValue(strValue);
        EXPECT_TRUE(std::regex_match(strValue, std::regex(c.pszPattern))) << c.pszPath << " gave " << strValue;
    }
    // The date is today's.
    CDataNode* pDate = MakeData("@DATE", 0);
    forest.AddDataNode(pDate);
    std::string strValue;
    pDate->GetValue(strValue);
    char szToday[16];
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    std::strftime(szToday, sizeof(szToday), "%Y-%m-%d", &local);
    EXPECT_EQ(strValue, szToday);
}

TEST(LocationTest, ColumnsSortByOrderAndKeepAdditionOrderWhenEqual)
{
    // Child blocks' columns come before their parent's, then chain order.
    CLocation forest("a", "");
    CDataNode* pTop1 = MakeData("top1", 2);
    CDataNode* pTop2 = MakeData("top2", -1);
    forest.AddDataNode(pTop1);
    forest.AddDataNode(pTop2);
    CLocation* pChild = new CLocation("b", "");
    CDataNode* pChild1 = MakeData("child1", 2);
    CDataNode* pChild2 = MakeData("child2", 0);
    pChild->AddDataNode(pChild1);
    pChild->AddDataNode(pChild2);
    forest.AddChild(pChild);
    CLocation* pSibling = new CLocation("c", "");
    CDataNode* pSib1 = MakeData("sib1", 2);
    pSibling->AddDataNode(pSib1);
    forest.AddSibling(pSibling);

    CDataNodeList list;
    forest.CollectDataNodes(list);
    ASSERT_EQ(list.GetCount(), 5u);
    const CDataNode* apExpected[] = { pTop2, pChild2, pChild1, pTop1, pSib1 };
    for (size_t i = 0; i < list.GetCount(); ++i)
        EXPECT_EQ(list[i], apExpected[i]) << i << ": " << list[i]->m_strPath;

    // Many columns of one order keep their order past any growth step.
    CLocation many("x", "");
    std::vector<CDataNode*> apAdded;
    for (int i = 0; i < 40; ++i) {
        apAdded.push_back(MakeData("n", i % 2));
        many.AddDataNode(apAdded.back());
    }
    CDataNodeList manyList;
    many.CollectDataNodes(manyList);
    ASSERT_EQ(manyList.GetCount(), 40u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(manyList[i], apAdded[2 * i]);
        EXPECT_EQ(manyList[20 + i], apAdded[2 * i + 1]);
    }
}

TEST(LocationTest, DepthIsTheLongestBranch)
{
    CLocation forest("a", "");
    forest.AddSibling(new CLocation("b", ""));
    EXPECT_EQ(forest.Depth(), 1);
    CLocation* pDeep = new CLocation("c", "");
    pDeep->AddChild(new CLocation("d", ""));
    forest.m_pNext->AddChild(pDeep);
    EXPECT_EQ(forest.Depth(), 3);
    EXPECT_EQ(forest.m_pNext->m_pFirstChild->m_pParent, forest.m_pNext);
}
