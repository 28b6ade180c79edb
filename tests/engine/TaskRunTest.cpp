// TaskRunTest.cpp - passes against a local site whose pages change: which
// records are new, what the web post receives, and how the worker thread
// counts down, runs on request and stops.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "TaskTestSupport.h"
#include "engine/Task.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

class TaskRunTest : public ::testing::Test {
protected:
    // Loads the definition and sends the task's notifications to m_observer.
    void Load(const CDefOptions& options)
    {
        ASSERT_TRUE(m_task.LoadDefinition(MakeDefinition(options).c_str()));
        m_task.SetObserver(&m_observer);
    }
    CDefOptions PageOptions()
    {
        CDefOptions o;
        o.strUrl = m_site.Url("/page");
        return o;
    }
    std::vector<std::string> Logs()
    {
        EXPECT_TRUE(m_task.WaitNotified(5000));
        return m_observer.LogTexts();
    }

    CTestSite m_site;
    CRecordingObserver m_observer;
    CTask m_task;  // Declared last: stopped and gone before the observer and site.
};

TEST_F(TaskRunTest, OnlyNewRecordsBecomeRows)
{
    Load(PageOptions());
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetRows(),
              (std::vector<CDataRow>{{"a", "1"}, {"b", "2"}, {"c", "3"}}));

    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetCount(), 3u) << "the same page again holds nothing new";

    // A new row on top, and a known key with another price: only the first is new.
    m_site.SetPage(MakeTablePage({{"d", "4"}, {"a", "9"}, {"b", "2"}, {"c", "3"}}));
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetRows().back(), (CDataRow{"d", "4"}));
    EXPECT_EQ(m_task.GetDataList().GetCount(), 4u);

    const std::vector<std::string> aLog = Logs();
    const std::string strFetched = "成功从" + m_site.Url("/page") + "取得网页内容。\r\n";
    ASSERT_EQ(aLog.size(), 6u);
    EXPECT_EQ(aLog[0], strFetched);
    EXPECT_EQ(aLog[1], "成功摘取到3条记录。其中有3条新记录被处理。\r\n\r\n");
    EXPECT_EQ(aLog[3], "成功摘取到3条记录。其中有0条新记录被处理。\r\n\r\n");
    EXPECT_EQ(aLog[5], "成功摘取到4条记录。其中有1条新记录被处理。\r\n\r\n");
    EXPECT_EQ(m_observer.m_aRows.size(), 4u);
}

TEST_F(TaskRunTest, DuplicateKeysWithinAPassAndRemovedRows)
{
    Load(PageOptions());
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"a", "2"}, {"b", "3"}}));
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetRows(), (std::vector<CDataRow>{{"a", "1"}, {"b", "3"}}))
        << "the second 'a' matches the row made for the first";

    // A row the user removed between passes is forgotten: its record is new again.
    m_task.GetDataList().RemoveRows(0, 1);
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetRows(), (std::vector<CDataRow>{{"b", "3"}, {"a", "1"}}));
}

TEST_F(TaskRunTest, WithoutKeyColumnsOnlyTheFirstRecordIsKept)
{
    CDefOptions o = PageOptions();
    o.aNodes[0].bKey = false;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(m_task.RunPass());
    m_site.SetPage(MakeTablePage({{"c", "3"}}));
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetRows(), (std::vector<CDataRow>{{"a", "1"}}));
}

TEST_F(TaskRunTest, BlockNotFoundAndFailedFetches)
{
    CDefOptions o = PageOptions();
    o.strBlockPath = "html@body@div";
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    EXPECT_TRUE(m_task.RunPass()) << "the page was fetched, whatever was extracted";
    m_site.SetPage("");  // Content-Length: 0 is a failed fetch
    EXPECT_FALSE(m_task.RunPass());
    // Each task delivers on its own thread: let this one finish first so the
    // shared log keeps the order of the passes.
    ASSERT_TRUE(m_task.WaitNotified(5000));

    CTask other;
    other.SetObserver(&m_observer);
    CDefOptions bad = PageOptions();
    bad.strUrl = "ftp://127.0.0.1/";
    ASSERT_TRUE(other.LoadDefinition(MakeDefinition(bad).c_str()));
    EXPECT_FALSE(other.RunPass());
    ASSERT_TRUE(other.WaitNotified(5000));

    const std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 4u);
    EXPECT_EQ(aLog[1], "成功摘取到0条记录。其中有0条新记录被处理。\r\n\r\n");
    EXPECT_EQ(aLog[2], "无法从" + m_site.Url("/page") + "获取网页内容。错误原因：成功完成\r\n");
    EXPECT_EQ(aLog[3], "无法从ftp://127.0.0.1/获取网页内容。错误原因：URL无效\r\n");
    EXPECT_EQ(m_task.GetDataList().GetCount(), 0u);
}

TEST_F(TaskRunTest, RecordsWithoutColumnsMakeNoRows)
{
    CDefOptions o = PageOptions();
    o.aNodes.clear();
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(m_task.RunPass());
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetCount(), 0u);
    const std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 4u);
    EXPECT_EQ(aLog[3], "成功摘取到2条记录。其中有0条新记录被处理。\r\n\r\n");
}

TEST_F(TaskRunTest, ParametersGoIntoTheQueryOrTheBody)
{
    CDefOptions o = PageOptions();
    o.aParams = {{"a", "1"}, {"", "x"}, {"c", "x%20y"}};
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.RunPass());

    o.nMethod = 1;
    Load(o);
    ASSERT_TRUE(m_task.RunPass());

    std::lock_guard lock(m_site.m_mutex);
    ASSERT_EQ(m_site.m_aPageRequests.size(), 2u);
    EXPECT_EQ(m_site.m_aPageRequests[0].strMethod, "GET");
    EXPECT_EQ(m_site.m_aPageRequests[0].strTarget, "/page?a=1&c=x%20y");
    EXPECT_EQ(m_site.m_aPageRequests[1].strMethod, "POST");
    EXPECT_EQ(m_site.m_aPageRequests[1].strTarget, "/page");
    EXPECT_EQ(m_site.m_aPageRequests[1].strBody, "a=1&c=x%20y");
}

TEST_F(TaskRunTest, WebPostReceivesTheSubstitutedText)
{
    struct { int nMethod; const char* pszVar; const char* pszTarget; const char* pszBody; } cases[] = {
        { 0, "n=<@@name@@>&p=<@@price@@>&x=<@NOW@>", "/post?n=a&p=1&x=<@NOW@>", "" },
        { 0, "", "/post?", "" },
        { 1, "n=<@@name@@>&n2=<@@name@@> & <@@nobody@@>", "/post", "n=a&n2=a & <@@nobody@@>" },
    };
    for (const auto& c : cases) {
        CDefOptions o = PageOptions();
        o.bWebPost = true;
        o.nWebPostMethod = c.nMethod;
        o.strWebPostUrl = m_site.Url("/post");
        o.strWebPostVar = c.pszVar;
        Load(o);
        m_task.GetDataList().Clear();
        m_site.SetPage(MakeTablePage({{"a", "1"}}));
        {
            std::lock_guard lock(m_site.m_mutex);
            m_site.m_aPosts.clear();
        }
        ASSERT_TRUE(m_task.RunPass()) << c.pszVar << "\n" << ::testing::PrintToString(Logs());
        // The post is waited for before the pass goes on, so it has arrived.
        std::lock_guard lock(m_site.m_mutex);
        ASSERT_EQ(m_site.m_aPosts.size(), 1u) << c.pszVar;
        EXPECT_EQ(m_site.m_aPosts[0].strMethod, c.nMethod ? "POST" : "GET") << c.pszVar;
        EXPECT_EQ(m_site.m_aPosts[0].strTarget, c.pszTarget) << c.pszVar;
        EXPECT_EQ(m_site.m_aPosts[0].strBody, c.pszBody) << c.pszVar;
    }
}

TEST_F(TaskRunTest, DatabaseOutputWithoutABackEndIsLoggedOnce)
{
    CDefOptions o = PageOptions();
    o.bSaveToDb = true;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.RunPass());  // No fields: no connection, nothing logged.
    EXPECT_EQ(Logs().size(), 2u);
    EXPECT_EQ(m_task.GetDataList().GetCount(), 1u);
}

TEST_F(TaskRunTest, NewRecordsReachASqliteTable)
{
    const std::string strFile = (std::filesystem::temp_directory_path() /
                                 ("quarvex-task-" + std::to_string(::getpid()) + ".db")).string();
    std::filesystem::remove(strFile);
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(strFile.c_str(), &pDb), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pDb, "create table t(name text, price text)", nullptr, nullptr, nullptr),
              SQLITE_OK);

    CDefOptions o = PageOptions();
    o.bSaveToDb = true;
    o.nDbType = 0;
    o.strDbServer = strFile;
    o.strTable = "t";
    o.aFields = {{"name", "<@@name@@>"}, {"price", "<@@price@@>"}};
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(m_task.RunPass());
    m_site.SetPage(MakeTablePage({{"c", "3"}, {"a", "1"}, {"b", "2"}}));
    ASSERT_TRUE(m_task.RunPass());

    std::string strRows;
    auto fnRow = [](void* pOut, int nCols, char** apszValues, char**) {
        for (int i = 0; i < nCols; ++i)
            *static_cast<std::string*>(pOut) += std::string(apszValues[i]) + (i + 1 < nCols ? "=" : ";");
        return 0;
    };
    ASSERT_EQ(sqlite3_exec(pDb, "select name, price from t order by rowid", fnRow, &strRows, nullptr),
              SQLITE_OK);
    sqlite3_close(pDb);
    EXPECT_EQ(strRows, "a=1;b=2;c=3;");

    // A database that cannot be opened costs the rows nothing.
    std::filesystem::remove(strFile);
    m_site.SetPage(MakeTablePage({{"d", "4"}}));
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_EQ(m_task.GetDataList().GetCount(), 4u);
    const std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 7u);
    EXPECT_EQ(aLog[5].rfind("连接数据库失败！", 0), 0u) << aLog[5];
    EXPECT_EQ(aLog[6], "成功摘取到1条记录。其中有1条新记录被处理。\r\n\r\n");
}

// ---- the worker thread ----

TEST_F(TaskRunTest, CountdownAndPassesFollowThePeriod)
{
    CDefOptions o = PageOptions();
    o.nPeriod = 1;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") >= 2; }, 5000));
    m_task.StopAndWait();
    ASSERT_TRUE(m_task.WaitNotified(5000));

    // range 1, full bar during the pass, back to 0, one second counted (full
    // again) and straight into the next pass.
    std::vector<std::string> aKinds;
    std::vector<int> aValues;
    for (const auto& e : m_observer.m_aEvents) {
        aKinds.push_back(e.strKind);
        aValues.push_back(e.nValue);
    }
    ASSERT_GE(aKinds.size(), 9u);
    const std::vector<std::string> aFirst = {"range", "countdown", "pass", "activity",
                                             "countdown", "countdown", "pass"};
    EXPECT_EQ(std::vector<std::string>(aKinds.begin(), aKinds.begin() + 7), aFirst);
    EXPECT_EQ(std::vector<int>(aValues.begin(), aValues.begin() + 2), (std::vector<int>{1, 1}));
    EXPECT_EQ(aValues[4], 0);
    EXPECT_EQ(aValues[5], 1);
    EXPECT_EQ(aKinds.back(), "stopped");
    EXPECT_EQ(aKinds[aKinds.size() - 2], "countdown");
    EXPECT_EQ(aValues[aValues.size() - 2], 0);
}

TEST_F(TaskRunTest, ActivityStepsOncePerSecondOfWaiting)
{
    CDefOptions o = PageOptions();
    o.strUrl = m_site.Url("/hang");
    Load(o);
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("step") >= 2; }, 5000));
    m_task.StopAndWait();
}

TEST_F(TaskRunTest, StopDuringThePageWaitEndsThePassAtOnce)
{
    CDefOptions o = PageOptions();
    o.strUrl = m_site.Url("/hang");
    Load(o);
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_site.WaitUntil([&] { return m_site.m_nHanging >= 1; }, 5000));
    m_task.RequestStop();
    EXPECT_TRUE(m_task.WaitForEnd(1000)) << "a server that never answers must not hold the task";
    m_task.StopAndWait();
    const std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 1u);
    EXPECT_EQ(aLog[0], "无法从" + m_site.Url("/hang") + "获取网页内容。错误原因：连接被中断\r\n");
}

TEST_F(TaskRunTest, ErrorStatusesAndSilentServersEndThePassWithTheirReason)
{
    Load(PageOptions());
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPageStatus = 404;
    }
    EXPECT_FALSE(m_task.RunPass()) << "an error page is no page to extract from";
    EXPECT_EQ(m_task.GetDataList().GetCount(), 0u);

    // The definition's own limit ends a page that never comes; the worker
    // then waits for its next period as after any failed fetch.
    CDefOptions o = PageOptions();
    o.strUrl = m_site.Url("/hang");
    o.nTimeout = 1;
    o.nPeriod = 3600;
    Load(o);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("failed") >= 2; }, 8000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    EXPECT_TRUE(m_task.IsRunning()) << "the worker counts down to its next pass";
    m_task.StopAndWait();

    const std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 2u);
    EXPECT_EQ(aLog[0], "无法从" + m_site.Url("/page") + "获取网页内容。错误原因：服务器返回错误状态 404\r\n");
    EXPECT_EQ(aLog[1], "无法从" + m_site.Url("/hang") + "获取网页内容。错误原因：连接超时\r\n");
}

TEST_F(TaskRunTest, AWebPostTheTargetRefusesIsLogged)
{
    CDefOptions o = PageOptions();
    o.bWebPost = true;
    o.strWebPostUrl = m_site.Url("/post");
    o.strWebPostVar = "n=<@@name@@>";
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostStatus = 500;
    }
    ASSERT_TRUE(m_task.RunPass());
    std::vector<std::string> aLog = Logs();
    ASSERT_EQ(aLog.size(), 3u);
    EXPECT_EQ(aLog[1], "WEB POST失败：服务器返回错误状态 500\r\n");

    // A target that never answers costs the pass the task's own limit.
    o.strWebPostUrl = m_site.Url("/hang");
    o.nTimeout = 1;
    Load(o);
    m_site.SetPage(MakeTablePage({{"b", "2"}}));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_task.RunPass());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
    aLog = Logs();
    ASSERT_EQ(aLog.size(), 6u);
    EXPECT_EQ(aLog[4], "WEB POST失败：连接超时\r\n");
}

TEST_F(TaskRunTest, StopDuringTheCountdownAndRunNow)
{
    CDefOptions o = PageOptions();
    o.nPeriod = 3600;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") == 1; }, 5000));
    m_task.RunNow();
    // The period is an hour, so a second pass within seconds came from RunNow.
    EXPECT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") == 2; }, 3000))
        << "a message during the countdown starts a pass at once";
    m_task.RequestStop();
    EXPECT_TRUE(m_task.WaitForEnd(1000));
}

TEST_F(TaskRunTest, PeriodBelowOneCountsAsOneSecond)
{
    CDefOptions o = PageOptions();
    o.nPeriod = -5;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") >= 2; }, 5000));
    m_task.RequestStop();
    EXPECT_TRUE(m_task.WaitForEnd(1000));
    std::lock_guard lock(m_observer.m_mutex);
    EXPECT_EQ(m_observer.m_aEvents[0].nValue, 1) << "the countdown range";
}

TEST_F(TaskRunTest, StopsWithinASecondWhileTheViewIsBusy)
{
    // A view that does not return until the stopping thread lets it: the
    // stop must not wait for it.
    class CBusyObserver : public ITaskObserver {
    public:
        void OnLog(const std::string&) override { m_released.wait(); }
        std::shared_future<void> m_released;
    } busy;
    std::promise<void> release;
    busy.m_released = release.get_future().share();
    // Whatever fails below, the view is let go and the task has stopped
    // before busy goes out of scope.
    struct CRelease {
        std::promise<void>& release;
        CTask& task;
        bool bDone = false;
        ~CRelease()
        {
            if (!bDone)
                release.set_value();
            task.StopAndWait();
            task.WaitNotified(5000);
        }
    } guard{release, m_task};

    CDefOptions o = PageOptions();
    o.nPeriod = 1;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.Start(&busy));
    ASSERT_TRUE(m_site.WaitUntil([&] { return m_site.m_aPageRequests.size() >= 2; }, 5000))
        << "passes go on while the view is stuck";
    const auto tStart = std::chrono::steady_clock::now();
    m_task.StopAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(1));
    release.set_value();
    guard.bDone = true;
    EXPECT_TRUE(m_task.WaitNotified(5000));
}

TEST_F(TaskRunTest, StartAgainAndReloadEndTheRunningWorker)
{
    CDefOptions o = PageOptions();
    o.nPeriod = 3600;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_TRUE(m_task.Start(&m_observer));
    ASSERT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") == 1; }, 5000));
    // The second start ends the first worker and passes again at once.
    ASSERT_TRUE(m_task.Start(&m_observer));
    EXPECT_TRUE(m_observer.WaitUntil([&] { return m_observer.CountLocked("pass") == 2; }, 3000));
    EXPECT_EQ(m_observer.Count("stopped"), 1);
    // A reload stops the worker instead of pulling the forest from under it.
    Load(o);
    EXPECT_FALSE(m_task.IsRunning());
    ASSERT_TRUE(m_task.WaitNotified(5000));
    EXPECT_EQ(m_observer.Count("stopped"), 2);
}

TEST_F(TaskRunTest, PassLimitEndsTheWorker)
{
    CDefOptions o = PageOptions();
    o.nPeriod = 1;
    Load(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    m_task.SetPassLimit(1);
    ASSERT_TRUE(m_task.Start(&m_observer));
    EXPECT_TRUE(m_task.WaitForEnd(5000));
    ASSERT_TRUE(m_task.WaitNotified(5000));
    EXPECT_EQ(m_observer.Count("pass"), 1);
    EXPECT_EQ(m_observer.Count("stopped"), 1);
}

} // namespace
