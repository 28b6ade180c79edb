// RecordStateTest.cpp - records that survive restarts: no record is new (nor
// posted, nor inserted) twice across restarts, a sink that is down gets
// every record later and in order, kept records change, go and come back,
// and a state that cannot be used costs the task nothing but its memory.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "TaskTestSupport.h"
#include "engine/RecordState.h"
#include "engine/RecordStore.h"
#include "engine/Task.h"
#include "PostgresServer.h"
#include "TempDir.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

// Every record event, as "new:a", "changed:a", "gone:b", "back:b".
class CEventObserver : public CRecordingObserver {
public:
    void OnRecordEvent(ERecordEvent eEvent, std::size_t, const CDataRow& aRow) override
    {
        static const char* const s_apsz[] = { "new", "changed", "gone", "back" };
        std::lock_guard lock(m_mutex);
        m_aRecordEvents.push_back(std::string(s_apsz[static_cast<int>(eEvent)]) + ":" + (aRow.empty() ? "" : aRow[0]));
    }
    std::vector<std::string> TakeEvents()
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> a;
        a.swap(m_aRecordEvents);
        return a;
    }
    std::vector<std::string> m_aRecordEvents;
};

std::string QueryRows(const std::string& strFile, const char* pszSql)
{
    sqlite3* pDb = nullptr;
    std::string strRows;
    if (sqlite3_open(strFile.c_str(), &pDb) != SQLITE_OK) {
        sqlite3_close(pDb);
        return "cannot open";
    }
    auto fnRow = [](void* pOut, int nCols, char** apszValues, char**) {
        for (int i = 0; i < nCols; ++i)
            *static_cast<std::string*>(pOut) += std::string(apszValues[i] ? apszValues[i] : "NULL") + (i + 1 < nCols ? "=" : ";");
        return 0;
    };
    if (sqlite3_exec(pDb, pszSql, fnRow, &strRows, nullptr) != SQLITE_OK)
        strRows = std::string("error: ") + sqlite3_errmsg(pDb);
    sqlite3_close(pDb);
    return strRows;
}

void MakeTable(const std::string& strFile)
{
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(strFile.c_str(), &pDb), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pDb, "create table t(name text, price text)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(pDb);
}

class RecordStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (RecordPostgresMissing())
            GTEST_SKIP() << "QUARVEX_TEST_RECORDS=postgresql, but PostgreSQL is not installed";
        m_strState = RecordStateForTest(m_strState);
    }
    CDefOptions Options()
    {
        CDefOptions o;
        o.strUrl = m_site.Url("/page");
        o.bWebPost = true;
        o.nWebPostMethod = 1;
        o.strWebPostUrl = m_site.Url("/post");
        o.strWebPostVar = "name=<@@name@@>&price=<@@price@@>";
        o.bSaveToDb = true;
        o.nDbType = 0;
        o.strDbServer = m_strDb;
        o.strTable = "t";
        o.aFields = {{"name", "<@@name@@>"}, {"price", "<@@price@@>"}};
        return o;
    }
    // A fresh task on the state file, as after a restart.
    std::unique_ptr<CTask> Open(const std::string& strDef)
    {
        auto pTask = std::make_unique<CTask>();
        pTask->SetObserver(&m_observer);
        pTask->SetRecordStateFile(m_strState);
        pTask->SetDeliveryRetryBase(0);
        EXPECT_TRUE(pTask->LoadDefinition(strDef.c_str()));
        return pTask;
    }
    std::vector<std::string> Posts()
    {
        std::lock_guard lock(m_site.m_mutex);
        std::vector<std::string> a;
        for (const auto& post : m_site.m_aPosts)
            a.push_back(post.strBody);
        return a;
    }
    std::vector<std::string> Logs(CTask& task)
    {
        EXPECT_TRUE(task.WaitNotified(5000));
        return m_observer.LogTexts();
    }
    static bool HasLine(const std::vector<std::string>& aLog, const std::string& strPart)
    {
        for (const std::string& s : aLog) {
            if (s.find(strPart) != std::string::npos)
                return true;
        }
        return false;
    }

    CTempDir m_dir;
    std::string m_strState = m_dir.GetPath() + "/data/task.records";
    std::string m_strDb = m_dir.GetPath() + "/out.db";
    CTestSite m_site;
    CEventObserver m_observer;
};

TEST_F(RecordStateTest, RestartMakesNothingNewTwice)
{
    MakeTable(m_strDb);
    const std::string strDef = MakeDefinition(Options());
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    {
        auto pTask = Open(strDef);
        ASSERT_TRUE(pTask->RunPass());
        EXPECT_EQ(pTask->GetDataList().GetCount(), 2u);
    }
    // The restarted task shows the kept rows before its first pass.
    auto pTask = Open(strDef);
    EXPECT_EQ(pTask->GetDataList().GetRows(), (std::vector<CDataRow>{{"a", "1"}, {"b", "2"}}));
    m_site.SetPage(MakeTablePage({{"c", "3"}, {"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(Posts(), (std::vector<std::string>{"name=a&price=1", "name=b&price=2", "name=c&price=3"}));
    EXPECT_EQ(QueryRows(m_strDb, "select name, price from t order by rowid"), "a=1;b=2;c=3;");
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_WEBPOST) + pTask->GetPendingDeliveries(SINK_DATABASE), 0u);
    EXPECT_TRUE(HasLine(Logs(*pTask), "其中有1条新记录被处理。"));

    // Reset forgets them: the same page is new again.
    std::string strError;
    ASSERT_TRUE(pTask->ResetRecords(strError)) << strError;
    EXPECT_EQ(pTask->GetDataList().GetCount(), 0u);
    pTask.reset();
    pTask = Open(strDef);
    EXPECT_EQ(pTask->GetDataList().GetCount(), 0u);
    ASSERT_TRUE(pTask->RunPass());
    EXPECT_EQ(pTask->GetDataList().GetCount(), 3u);
}

TEST_F(RecordStateTest, SinksDownForThreePassesGetEveryRecordOnceInOrder)
{
    // No table file yet and the post target answers 503: both sinks down.
    const std::string strDef = MakeDefinition(Options());
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostStatus = 503;
    }
    auto pTask = Open(strDef);
    Rows aPage;
    for (int nPass = 0; nPass < 3; ++nPass) {
        aPage.insert(aPage.begin(), {"r" + std::to_string(nPass), std::to_string(nPass)});
        m_site.SetPage(MakeTablePage(aPage));
        ASSERT_TRUE(pTask->RunPass());
    }
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_WEBPOST), 3u);
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_DATABASE), 3u);
    // Each pass tried the head of the queue once and nothing after it.
    EXPECT_EQ(Posts().size(), 3u);
    EXPECT_EQ(Posts(), (std::vector<std::string>(3, "name=r0&price=0")));

    // A restart in between loses nothing either.
    pTask.reset();
    pTask = Open(strDef);
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_WEBPOST), 3u);
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostStatus = 200;
        m_site.m_aPosts.clear();
    }
    MakeTable(m_strDb);
    aPage.insert(aPage.begin(), {"r3", "3"});
    m_site.SetPage(MakeTablePage(aPage));
    ASSERT_TRUE(pTask->RunPass());
    EXPECT_EQ(Posts(), (std::vector<std::string>{"name=r0&price=0", "name=r1&price=1", "name=r2&price=2",
                                                 "name=r3&price=3"}));
    EXPECT_EQ(QueryRows(m_strDb, "select name from t order by rowid"), "r0;r1;r2;r3;");
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_WEBPOST), 0u);
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_DATABASE), 0u);
    EXPECT_TRUE(HasLine(Logs(*pTask), "有6条记录等待发送（WEB POST 3条，数据库 3条）。"));

    // Once delivered, never again.
    ASSERT_TRUE(pTask->RunPass());
    pTask.reset();
    pTask = Open(strDef);
    ASSERT_TRUE(pTask->RunPass());
    EXPECT_EQ(Posts().size(), 4u);
    EXPECT_EQ(QueryRows(m_strDb, "select count(*) from t"), "4;");
}

TEST_F(RecordStateTest, FailedSinkWaitsLongerAfterEachFailure)
{
    CDefOptions o = Options();
    o.bSaveToDb = false;
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostStatus = 500;
    }
    auto pTask = Open(MakeDefinition(o));
    pTask->SetDeliveryRetryBase(60000);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->RunPass());
    // One attempt, then the queue waits a minute: no hammering.
    EXPECT_EQ(Posts().size(), 1u);
    EXPECT_EQ(pTask->GetPendingDeliveries(SINK_WEBPOST), 1u);
}

TEST_F(RecordStateTest, ChangedGoneAndBack)
{
    MakeTable(m_strDb);
    CDefOptions o = Options();
    std::string strDef = MakeDefinition(o);
    // changes on, GONE after two unseen passes, changed records posted again
    // and their table rows updated.
    strDef.replace(strDef.find("</general>"), 0, "<changes>1</changes><gone>2</gone>");
    strDef.replace(strDef.find("</network>"), 0, "<postchanges>1</postchanges>");
    strDef.replace(strDef.find("</database>"), 0, "<updatechanges>1</updatechanges>");
    auto pTask = Open(strDef);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(pTask->RunPass());
    m_site.SetPage(MakeTablePage({{"a", "9"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(m_observer.TakeEvents(), (std::vector<std::string>{"new:a", "new:b", "changed:a"}));
    EXPECT_EQ(pTask->GetDataList().GetRow(0), (CDataRow{"a", "9"}));
    EXPECT_EQ(pTask->GetDataList().GetRowState(0), ROW_CHANGED);
    EXPECT_EQ(Posts().back(), "name=a&price=9");
    EXPECT_EQ(QueryRows(m_strDb, "select name, price from t order by rowid"), "a=9;b=2;");

    // A failed fetch counts for nothing; the second parsed pass without b
    // makes it GONE.
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPageStatus = 500;
    }
    EXPECT_FALSE(pTask->RunPass());
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPageStatus = 200;
    }
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(m_observer.TakeEvents(), std::vector<std::string>{});
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(m_observer.TakeEvents(), (std::vector<std::string>{"gone:b"}));
    EXPECT_EQ(pTask->GetDataList().GetRowState(1), ROW_GONE);

    // GONE survives a restart; back again it is not delivered again.
    const std::size_t nPosts = Posts().size();
    pTask.reset();
    pTask = Open(strDef);
    EXPECT_EQ(pTask->GetDataList().GetRowState(1), ROW_GONE);
    EXPECT_EQ(pTask->GetDataList().GetRowState(0), ROW_CHANGED);
    m_site.SetPage(MakeTablePage({{"a", "9"}, {"b", "2"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(m_observer.TakeEvents(), (std::vector<std::string>{"back:b"}));
    EXPECT_EQ(pTask->GetDataList().GetRowState(1), ROW_KEPT);
    EXPECT_EQ(Posts().size(), nPosts);
    EXPECT_EQ(QueryRows(m_strDb, "select count(*) from t"), "2;");

    std::string strCsv, strError;
    ASSERT_TRUE(ExportRecords(m_strState, EExportFormat::CSV, 0, strCsv, strError)) << strError;
    EXPECT_EQ(strCsv, "\xEF\xBB\xBFname,price\r\na,9\r\nb,2\r\n");
    std::string strJson;
    ASSERT_TRUE(ExportRecords(m_strState, EExportFormat::JSONL, 0, strJson, strError)) << strError;
    EXPECT_EQ(strJson.find("{\"name\":\"a\",\"price\":\"9\",\"state\":\"changed\",\"first_seen\":\""), 0u)
        << strJson;
    EXPECT_TRUE(ExportRecords(m_strState, EExportFormat::CSV, std::time(nullptr) + 3600, strCsv, strError));
    EXPECT_EQ(strCsv, "\xEF\xBB\xBFname,price\r\n");
}

TEST_F(RecordStateTest, WithoutChangesOnlyNewRecordsAreEvaluated)
{
    CDefOptions o = Options();
    o.bSaveToDb = false;
    auto pTask = Open(MakeDefinition(o));
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(pTask->RunPass());
    m_site.SetPage(MakeTablePage({{"a", "2"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->WaitNotified(5000));
    EXPECT_EQ(m_observer.TakeEvents(), (std::vector<std::string>{"new:a"}));
    EXPECT_EQ(pTask->GetDataList().GetRow(0), (CDataRow{"a", "1"}));
    EXPECT_EQ(Posts().size(), 1u);
}

TEST_F(RecordStateTest, KeyColumnEditClearsOtherEditsKeep)
{
    CDefOptions o = Options();
    o.bSaveToDb = false;
    auto pTask = Open(MakeDefinition(o));
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(pTask->RunPass());

    // Another period and post text: the records still fit.
    o.nPeriod = 30;
    o.strWebPostVar = "n=<@@name@@>";
    ASSERT_TRUE(pTask->LoadDefinition(MakeDefinition(o).c_str()));
    EXPECT_EQ(pTask->GetDataList().GetCount(), 2u);

    // The price becomes a key column as well: they no longer do.
    o.aNodes[1].bKey = true;
    ASSERT_TRUE(pTask->LoadDefinition(MakeDefinition(o).c_str()));
    EXPECT_EQ(pTask->GetDataList().GetCount(), 0u);
    EXPECT_TRUE(HasLine(Logs(*pTask), "任务的关键列或列已改变，保存的2条记录已清除。"));
    pTask.reset();
    pTask = Open(MakeDefinition(o));
    EXPECT_EQ(pTask->GetDataList().GetCount(), 0u);
    ASSERT_TRUE(pTask->RunPass());
    EXPECT_EQ(pTask->GetDataList().GetCount(), 2u);
}

TEST_F(RecordStateTest, CorruptOrUnwritableStateRunsInMemory)
{
    if (RecordTestsOnPostgres())
        GTEST_SKIP() << "a corrupt file is a file's trouble";
    std::filesystem::create_directories(m_dir.GetPath() + "/data");
    const std::string strGarbage(8192, 'x');
    std::ofstream(m_strState, std::ios::binary) << strGarbage;
    CDefOptions o = Options();
    o.bSaveToDb = false;
    auto pTask = Open(MakeDefinition(o));
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(pTask->RunPass());
    ASSERT_TRUE(pTask->RunPass());
    EXPECT_EQ(pTask->GetDataList().GetCount(), 1u);
    EXPECT_EQ(Posts().size(), 1u);
    int nSaid = 0;
    for (const std::string& s : Logs(*pTask))
        nSaid += s.find("无法打开记录状态文件") != std::string::npos;
    EXPECT_EQ(nSaid, 1) << "said once, not every pass";
    // The file is left as it was: nothing of the user's is thrown away.
    std::ifstream file(m_strState, std::ios::binary);
    std::string strNow((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(strNow, strGarbage);
    std::string strOut, strError;
    EXPECT_FALSE(ExportRecords(m_strState, EExportFormat::CSV, 0, strOut, strError));
    EXPECT_FALSE(strError.empty());
}

TEST_F(RecordStateTest, OlderFenceIsRefused)
{
    CDefOptions o = Options();
    o.bSaveToDb = false;
    const std::string strDef = MakeDefinition(o);
    auto pOld = Open(strDef);
    pOld->SetFence(5);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(pOld->RunPass());
    auto pNew = Open(strDef);
    pNew->SetFence(6);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(pNew->RunPass());
    EXPECT_EQ(Posts().size(), 2u);
    // The holder whose lease was lost writes and posts nothing more.
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    ASSERT_TRUE(pOld->RunPass());
    EXPECT_EQ(Posts().size(), 2u);
    EXPECT_TRUE(HasLine(Logs(*pOld), "不再保存记录，也不再发送"));
    pOld.reset();
    pNew.reset();
    std::string strCsv, strError;
    ASSERT_TRUE(ExportRecords(m_strState, EExportFormat::CSV, 0, strCsv, strError));
    EXPECT_EQ(strCsv, "\xEF\xBB\xBFname,price\r\na,1\r\nb,2\r\n");
}

TEST(RecordStatePathTest, NamesStayInTheFolder)
{
    EXPECT_EQ(RecordStatePathForId("/d", "abc-1"), "/d/abc-1.records");
    const std::string strHostile = RecordStatePathForId("/d/", "../../etc/passwd");
    EXPECT_EQ(strHostile.rfind("/d/", 0), 0u);
    EXPECT_EQ(strHostile.find('/', 3), std::string::npos) << strHostile;
    EXPECT_NE(RecordStatePathForId("/d", "a/b"), RecordStatePathForId("/d", "a_b"));
    EXPECT_NE(RecordStatePathForFile("/d", "/x/task.dat"), RecordStatePathForFile("/d", "/y/task.dat"));
    EXPECT_EQ(RecordStatePathForFile("/d", "/x/task.dat"), RecordStatePathForFile("/d", "/x/task.dat"));

    CDataRow aRow;
    EXPECT_FALSE(UnpackRow("\x05\x01", 2, aRow));
    EXPECT_FALSE(UnpackRow("\x01\xff\xff\xff\xff\x0f", 6, aRow));
    const std::string strPacked = PackRow({"", "a\0b", std::string(300, 'z')});
    ASSERT_TRUE(UnpackRow(strPacked.data(), strPacked.size(), aRow));
    EXPECT_EQ(aRow[2].size(), 300u);
}

} // namespace
