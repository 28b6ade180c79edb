// DataListTest.cpp - the key index answers exactly what a scan of every row
// comparing the key columns byte for byte would answer.
#include <gtest/gtest.h>

#include <random>

#include "engine/DataList.h"

namespace {

// The matching rule written as plainly as possible, to check the index by.
bool ScanForKey(const std::vector<CDataRow>& aRows, const std::vector<int>& aKeys,
                const CDataRow& aRecord)
{
    for (const CDataRow& aRow : aRows) {
        bool bAll = true;
        for (int k : aKeys)
            bAll = bAll && aRow[k] == aRecord[k];
        if (bAll)
            return true;
    }
    return false;
}

} // namespace

TEST(DataListTest, KeyMatchingEdgeCases)
{
    CDataList list;
    list.SetKeyColumns({0, 2});
    list.Append({"a", "x", "b"});
    list.Append({"ab", "y", ""});
    struct { CDataRow aRecord; bool bFound; const char* pszWhy; } cases[] = {
        { {"a", "other", "b"}, true, "non-key columns do not count" },
        { {"A", "x", "b"}, false, "case counts" },
        { {"a", "x", "b "}, false, "a trailing blank counts" },
        { {"ab", "", ""}, true, "empty key value matches empty" },
        { {"a", "", "b"}, true, "second key column present" },
        { {"", "", "ab"}, false, "bytes do not move between key columns" },
        { {"a", "", "bb"}, false, "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(list.ContainsKey(c.aRecord), c.bFound) << c.pszWhy;
}

TEST(DataListTest, WithoutKeyColumnsAnyRowMatches)
{
    CDataList list;
    list.SetKeyColumns({});
    EXPECT_FALSE(list.ContainsKey({"first"}));
    list.Append({"first"});
    EXPECT_TRUE(list.ContainsKey({"anything else"}));
    list.RemoveRows(0, 1);
    EXPECT_FALSE(list.ContainsKey({"anything else"}));
}

TEST(DataListTest, RemovedRowsAreForgottenButDuplicatesStay)
{
    CDataList list;
    list.SetKeyColumns({0});
    list.Append({"k", "1"});
    list.Append({"k", "2"});
    list.Append({"m", "3"});
    list.RemoveRows(0, 1);
    EXPECT_TRUE(list.ContainsKey({"k", ""})) << "the second row with the key is still there";
    list.RemoveRows(0, 1);
    EXPECT_FALSE(list.ContainsKey({"k", ""}));
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetRow(0), (CDataRow{"m", "3"}));
    list.RemoveRows(5, 2);      // past the end: nothing
    list.RemoveRows(0, 100);    // clipped to the list
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_TRUE(list.GetRow(0).empty());
}

TEST(DataListTest, ChangingKeyColumnsRebuildsTheIndex)
{
    CDataList list;
    list.SetKeyColumns({0});
    list.Append({"a", "b"});
    list.SetKeyColumns({1});
    EXPECT_FALSE(list.ContainsKey({"a", "z"}));
    EXPECT_TRUE(list.ContainsKey({"z", "b"}));
}

TEST(DataListTest, IndexAgreesWithScanOnRandomRows)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 3);
    const char* apszValues[] = {"", "a", "aa", "\xd6\xd0"};
    const std::vector<int> aKeys = {0, 1};
    CDataList list;
    list.SetKeyColumns(aKeys);
    std::vector<CDataRow> aMirror;
    for (int i = 0; i < 400; ++i) {
        CDataRow aRecord = {apszValues[pick(rng)], apszValues[pick(rng)], apszValues[pick(rng)]};
        ASSERT_EQ(list.ContainsKey(aRecord), ScanForKey(aMirror, aKeys, aRecord)) << i;
        if (pick(rng) == 0 && !aMirror.empty()) {
            const std::size_t n = static_cast<std::size_t>(pick(rng)) % aMirror.size();
            list.RemoveRows(n, 1);
            aMirror.erase(aMirror.begin() + static_cast<std::ptrdiff_t>(n));
        } else {
            list.Append(aRecord);
            aMirror.push_back(aRecord);
        }
    }
    EXPECT_EQ(list.GetRows(), aMirror);
}

TEST(DataListTest, PackedRowsComeBackByteForByte)
{
    // Rows across many blocks, cells whose lengths need several varint
    // bytes, a row larger than a block, zero bytes, empty rows and cells.
    CDataList list;
    list.SetKeyColumns({0});
    std::vector<CDataRow> aExpected;
    for (int i = 0; i < 20000; ++i)
        aExpected.push_back({"k" + std::to_string(i), std::string(i % 300, 'x'), std::string("a\0b", 3)});
    aExpected.push_back({});
    aExpected.push_back({"", ""});
    aExpected.push_back({"huge", std::string((1 << 20) + 17, 'h')});
    aExpected.push_back({"after huge", "y"});
    for (const CDataRow& aRow : aExpected)
        list.Append(aRow);

    ASSERT_EQ(list.GetCount(), aExpected.size());
    EXPECT_EQ(list.GetRows(), aExpected);
    EXPECT_EQ(list.GetRow(12345), aExpected[12345]);
    EXPECT_TRUE(list.ContainsKey({"k19999"}));
    EXPECT_TRUE(list.ContainsKey({""}));
    EXPECT_TRUE(list.ContainsKey({"after huge"}));
    EXPECT_FALSE(list.ContainsKey({"k20000"}));

    list.RemoveRows(100, 19900);
    aExpected.erase(aExpected.begin() + 100, aExpected.begin() + 20000);
    EXPECT_EQ(list.GetRows(), aExpected);
    EXPECT_FALSE(list.ContainsKey({"k150"}));
    EXPECT_TRUE(list.ContainsKey({"k99"}));
    EXPECT_TRUE(list.ContainsKey({"huge"}));

    list.Clear();
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_FALSE(list.ContainsKey({"k99"}));
    list.Append({"again"});
    EXPECT_TRUE(list.ContainsKey({"again"}));
    EXPECT_EQ(list.GetRow(0), CDataRow{"again"});
}

TEST(DataListTest, ReplacedRowsKeepTheirPlaceStateAndIndex)
{
    CDataList list;
    list.SetKeyColumns({0});
    list.Append({"k1", "old"});
    list.Append({"k2", "v2"});
    EXPECT_EQ(list.GetRowState(0), ROW_KEPT);
    list.SetRowState(0, ROW_CHANGED);
    ASSERT_TRUE(list.ReplaceRow(0, {"k1", "new and longer"}));
    EXPECT_EQ(list.GetRow(0), (CDataRow{"k1", "new and longer"}));
    EXPECT_EQ(list.GetRow(1), (CDataRow{"k2", "v2"}));
    EXPECT_EQ(list.GetRowState(0), ROW_CHANGED);
    EXPECT_EQ(list.FindKey({"k2", ""}), 1);
    EXPECT_FALSE(list.ReplaceRow(2, {"k3"}));
    EXPECT_EQ(list.GetRowState(7), ROW_KEPT);

    // A replacement with another key moves the row in the index as well.
    ASSERT_TRUE(list.ReplaceRow(1, {"k9", "v9"}));
    EXPECT_FALSE(list.ContainsKey({"k2"}));
    EXPECT_EQ(list.FindKey({"k9"}), 1);

    // States follow their rows when rows before them are removed.
    list.SetRowState(1, ROW_GONE);
    list.RemoveRows(0, 1);
    EXPECT_EQ(list.GetRowState(0), ROW_GONE);
    EXPECT_EQ(list.GetRow(0), (CDataRow{"k9", "v9"}));
}

TEST(DataListTest, ManyReplacementsDoNotGrowWithoutBound)
{
    CDataList list;
    list.SetKeyColumns({0});
    for (int i = 0; i < 100; ++i)
        list.Append({"key" + std::to_string(i), std::string(100, 'a')});
    // Each round replaces every row; the stale bytes must be dropped on the
    // way, and the rows must still read back exactly.
    for (int nRound = 0; nRound < 300; ++nRound) {
        for (int i = 0; i < 100; ++i)
            list.ReplaceRow(static_cast<std::size_t>(i), {"key" + std::to_string(i), std::string(100, 'a' + nRound % 26)});
    }
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(list.GetRow(static_cast<std::size_t>(i))[1], std::string(100, 'a' + 299 % 26));
        EXPECT_EQ(list.FindKey({"key" + std::to_string(i)}), i);
    }
}
