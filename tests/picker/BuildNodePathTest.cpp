// BuildNodePathTest.cpp - node paths from the browser's element model, and
// the plain "table@tbody" replacement used when no page text is at hand.
#include "ElementModel.h"

#include <gtest/gtest.h>

using namespace quarvex;

namespace {

// html > body > table > tbody > three rows of two cells; returns the index of
// the cell (nRow, nCell), both counted from 0.
int BuildTable(CElementModel& model, int nRow, int nCell)
{
    const int nHtml = model.Add("HTML", -1);
    model.Add("HEAD", nHtml);
    const int nBody = model.Add("BODY", nHtml);
    const int nTable = model.Add("TABLE", nBody);
    const int nTbody = model.Add("TBODY", nTable);
    int nWanted = -1;
    for (int r = 0; r < 3; ++r) {
        const int nTr = model.Add("TR", nTbody);
        for (int c = 0; c < 2; ++c) {
            const int nTd = model.Add("TD", nTr);
            if (r == nRow && c == nCell)
                nWanted = nTd;
        }
    }
    return nWanted;
}

} // namespace

TEST(BuildNodePathTest, SecondCellOfThirdRow)
{
    CElementModel model;
    const int nCell = BuildTable(model, 2, 1);
    const std::string strPath = BuildNodePath(model, nCell);
    EXPECT_EQ(strPath, "html@body@table@tbody@tr#tr#tr@td#td");
    EXPECT_EQ(ReplaceTableTbody(strPath), "html@body@table@tr#tr#tr@td#td");
    EXPECT_EQ(BuildNodePath(model, BuildTable(model, 0, 0)), "html@body@table@tbody@tr@td");
}

TEST(BuildNodePathTest, StepsCountOnlyEarlierSiblingsOfTheSameTag)
{
    struct { const char* apszChildren[5]; int nPick; const char* pszPath; } cases[] = {
        { { "TD", "TD", "TD" }, 2, "tr@td#td#td" },
        { { "TH", "TD", "TH", "TD", "TD" }, 4, "tr@td#td#td" },  // other tags do not count
        { { "td", "Td", "TD" }, 2, "tr@td#td#td" },              // case is ignored
        { { "TD", "TD", "TD" }, 0, "tr@td" },
        { { "SPAN", "TD" }, 0, "tr@span" },
    };
    for (const auto& c : cases) {
        CElementModel model;
        const int nTr = model.Add("TR", -1);
        int nPicked = -1;
        for (int i = 0; i < 5 && c.apszChildren[i] != nullptr; ++i) {
            const int n = model.Add(c.apszChildren[i], nTr);
            if (i == c.nPick)
                nPicked = n;
        }
        EXPECT_EQ(BuildNodePath(model, nPicked), c.pszPath) << c.pszPath;
    }
}

TEST(BuildNodePathTest, ElementWithoutParentIsItsLowerCaseTag)
{
    CElementModel model;
    EXPECT_EQ(BuildNodePath(model, model.Add("HTML", -1)), "html");
    EXPECT_EQ(BuildNodePath(model, 7), "");   // no such element
    EXPECT_EQ(BuildNodePath(model, -1), "");
}

TEST(BuildNodePathTest, DeepDocumentNeedsNoRecursion)
{
    CElementModel model;
    int n = model.Add("HTML", -1);
    for (int i = 0; i < 100000; ++i)
        n = model.Add("DIV", n);
    const std::string strPath = BuildNodePath(model, n);
    EXPECT_EQ(strPath.size(), 4 + 100000 * 4u);
    EXPECT_EQ(strPath.substr(0, 12), "html@div@div");
}

TEST(BuildNodePathTest, TableTbodyReplacedAtEveryOccurrence)
{
    struct { const char* pszIn; const char* pszOut; } cases[] = {
        { "html@body@table@tbody@tr#tr#tr@td#td", "html@body@table@tr#tr#tr@td#td" },
        { "html@body@table@tbody#tbody@tr", "html@body@table#tbody@tr" },
        { "table@tbody@tr@td@table@tbody@tr", "table@tr@td@table@tr" },
        { "html@body@div", "html@body@div" },
        { "", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceTableTbody(c.pszIn), c.pszOut) << c.pszIn;
}
