// ExtractOnceTest.cpp - the pass that writes nothing: the records of a page
// come back, and no web post, database row or linked file is produced.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "TaskTestSupport.h"
#include "engine/ExtractOnce.h"
#include "markup/MarkupDoc.h"

namespace {

quarvex::CMarkupDoc ParseDefinition(const std::string& strText)
{
    quarvex::CMarkupDoc doc;
    doc.Parse(strText.c_str());
    return doc;
}

TEST(ExtractOnceTest, ReturnsRecordsAndWritesNothing)
{
    CTestSite site;
    site.SetPage(MakeTablePage({{"a", "1"}, {"b", "<a href=\"/f/x.bin?v=1\">2</a>"}, {"a", "3"}}));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("extract-once-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path dbFile = dir / "rows.sqlite";
    { std::ofstream(dbFile) << "not a database"; }

    CDefOptions o;
    o.strUrl = site.Url("/page");
    o.bWebPost = true;
    o.nWebPostMethod = 1;
    o.strWebPostUrl = site.Url("/post");
    o.strWebPostVar = "n=<@@name@@>";
    o.bSaveToDb = true;
    o.nDbType = 0;
    o.strDbServer = dbFile.string();
    o.strTable = "t";
    o.aFields = {{"n", "<@@name@@>"}};
    o.aNodes.push_back({5, "file", "@td#td@a", 3, false, "href"});
    std::string strDef = MakeDefinition(o);
    // The linked file would be saved in dir.
    strDef.replace(strDef.find("<attribute>href</attribute>"), 27,
                   "<attribute>href</attribute><directory>" + dir.string() + "/</directory>");

    CExtractOnce extract;
    CExtractResult result;
    ASSERT_TRUE(extract.Run(ParseDefinition(strDef), result)) << result.m_strLog;
    EXPECT_TRUE(result.m_bFetched);
    EXPECT_EQ(result.m_aColumnNames, (std::vector<std::string>{"name", "price", "file"}));
    // The second "a" repeats a key: a first pass keeps two records of three.
    EXPECT_EQ(result.m_nSeen, 3);
    ASSERT_EQ(result.m_aRecords.size(), 2u);
    EXPECT_EQ(result.m_aRecords[0], (std::vector<std::string>{"a", "1", ""}));
    EXPECT_EQ(result.m_aRecords[1], (std::vector<std::string>{"b", "2", "/f/x.bin?v=1"}))
        << "a linked file shows the link it would download";
    EXPECT_NE(result.m_strPage.find("<table>"), std::string::npos);
    EXPECT_NE(result.m_strLog.find("成功摘取到3条记录。其中有2条新记录被处理。"), std::string::npos)
        << result.m_strLog;

    {
        std::lock_guard lock(site.m_mutex);
        EXPECT_TRUE(site.m_aPosts.empty());
        EXPECT_EQ(site.m_aPageRequests.size(), 1u) << "no linked file was fetched";
    }
    EXPECT_EQ(std::filesystem::file_size(dbFile), 14u) << "the database file is untouched";
    EXPECT_FALSE(std::filesystem::exists(dir / "x.bin"));
    std::filesystem::remove_all(dir);
}

// The editor's preview re-runs a definition on the page text the path check
// already fetched: nothing is fetched again, and that text (UTF-8 since the
// fetch) is not converted a second time although its meta tag still says GBK.
TEST(ExtractOnceTest, RunOnPageReadsTheFetchedTextAsItStands)
{
    CTestSite site;
    site.SetPage("<html><head><meta charset=\"gbk\"></head><body><table>"
                 "<tr><td>\xD6\xD0\xCE\xC4</td><td>1</td></tr><tr><td>b</td><td>2</td></tr></table></body></html>");
    CDefOptions o;
    o.strUrl = site.Url("/page");
    const quarvex::CMarkupDoc def = ParseDefinition(MakeDefinition(o));

    CExtractOnce extract;
    CExtractResult fetched;
    ASSERT_TRUE(extract.Run(def, fetched)) << fetched.m_strLog;
    ASSERT_EQ(fetched.m_aRecords.size(), 2u);
    EXPECT_EQ(fetched.m_aRecords[0][0], "中文");

    CExtractResult again;
    ASSERT_TRUE(extract.RunOnPage(def, fetched.m_strPage, o.strUrl, again)) << again.m_strLog;
    EXPECT_TRUE(again.m_bFetched);
    EXPECT_EQ(again.m_aColumnNames, fetched.m_aColumnNames);
    EXPECT_EQ(again.m_aRecords, fetched.m_aRecords);
    EXPECT_EQ(again.m_strPage, fetched.m_strPage);
    EXPECT_EQ(again.m_strLog.find("字符集转换"), std::string::npos) << again.m_strLog;
    {
        std::lock_guard lock(site.m_mutex);
        EXPECT_EQ(site.m_aPageRequests.size(), 1u) << "the page is not fetched again";
    }

    // No page text, or no block: said in the log, no records, no crash.
    CExtractResult empty;
    EXPECT_FALSE(extract.RunOnPage(def, "", o.strUrl, empty));
    EXPECT_TRUE(empty.m_aRecords.empty());
    EXPECT_FALSE(empty.m_strLog.empty());
}

TEST(ExtractOnceTest, FailureAndMissingBlocksAreLogged)
{
    CTestSite site;
    CDefOptions o;
    o.strUrl = "http://127.0.0.1:1/nothing";
    CExtractOnce extract;
    CExtractResult result;
    EXPECT_FALSE(extract.Run(ParseDefinition(MakeDefinition(o)), result));
    EXPECT_FALSE(result.m_bFetched);
    EXPECT_NE(result.m_strLog.find("无法从http://127.0.0.1:1/nothing获取网页内容。"), std::string::npos)
        << result.m_strLog;

    // A definition without blocks has nothing to fetch for.
    EXPECT_FALSE(extract.Run(ParseDefinition("<root><network><url>" + site.Url("/page") +
                                             "</url></network></root>"), result));
    EXPECT_TRUE(result.m_aRecords.empty());
    std::lock_guard lock(site.m_mutex);
    EXPECT_TRUE(site.m_aPageRequests.empty());
}

TEST(ExtractOnceTest, CancelEndsAPageThatNeverComes)
{
    CTestSite site;
    CDefOptions o;
    o.strUrl = site.Url("/hang");
    const quarvex::CMarkupDoc def = ParseDefinition(MakeDefinition(o));
    CExtractOnce extract;
    CExtractResult result;
    auto run = std::async(std::launch::async, [&] { return extract.Run(def, result); });
    ASSERT_TRUE(site.WaitUntil([&] { return site.m_nHanging > 0; }, 5000));
    extract.Cancel();
    ASSERT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(run.get());
    EXPECT_TRUE(result.m_bCancelled);
    EXPECT_TRUE(result.m_aRecords.empty());
}

} // namespace
