// SharedSqliteTest.cpp - two tasks writing one SQLite file. A pass that
// waits for a slow linked page between its records must not keep the file
// locked, or the other task's records are lost once its lock wait runs out.
#include "http/HostLimiter.h"
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>

#include "RawServer.h"
#include "TaskTestSupport.h"
#include "TempDir.h"
#include "engine/Task.h"

namespace {

// Linked detail pages: "/d1" is answered at once, every other one only when
// the test releases it, so the pass that asked waits on the network.
class CSlowDetails {
public:
    CSlowDetails()
        : m_server([this](CRawConnection& c) { Serve(c); })
    {
    }
    ~CSlowDetails() { Release(); }

    std::string Url(const char* pszPath) const { return m_server.GetUrl(pszPath); }
    // Waits until a request for a held page has arrived; false after nMs.
    bool WaitHeld(int nMs)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), [this] { return m_nHeld > 0; });
    }
    void Release()
    {
        std::lock_guard lock(m_mutex);
        m_bRelease = true;
        m_cv.notify_all();
    }

private:
    void Serve(CRawConnection& c)
    {
        const std::string strRequest = c.ReadRequest();
        if (strRequest.empty())
            return;
        const bool bFast = strRequest.rfind("GET /d1 ", 0) == 0;
        if (!bFast) {
            std::unique_lock lock(m_mutex);
            ++m_nHeld;
            m_cv.notify_all();
            // Bounded, so a broken test cannot hang the suite.
            m_cv.wait_for(lock, std::chrono::seconds(60), [this] { return m_bRelease; });
        }
        const std::string strBody = "<html><body><h1>detail</h1></body></html>";
        c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
               std::to_string(strBody.size()) + "\r\nConnection: close\r\n\r\n" + strBody);
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nHeld = 0;
    bool m_bRelease = false;
    CRawServer m_server;  // Declared last: its handlers end before the fields they use.
};

std::string QueryRows(const std::string& strFile)
{
    sqlite3* pDb = nullptr;
    std::string strRows;
    if (sqlite3_open_v2(strFile.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(pDb, 5000);
        auto fnRow = [](void* pOut, int nCols, char** apszValues, char**) {
            for (int i = 0; i < nCols; ++i)
                *static_cast<std::string*>(pOut) += std::string(apszValues[i] ? apszValues[i] : "NULL") +
                                                    (i + 1 < nCols ? "=" : ";");
            return 0;
        };
        if (sqlite3_exec(pDb, "select name, detail from t order by name", fnRow, &strRows, nullptr) != SQLITE_OK)
            strRows = std::string("error: ") + sqlite3_errmsg(pDb);
    }
    sqlite3_close(pDb);
    return strRows;
}

} // namespace

TEST(SharedSqliteTest, LinkedPageWaitLeavesTheFileToTheOtherTask)
{
    CTempDir dir;
    const std::string strFile = dir.GetPath() + "/shared.db";
    {
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open(strFile.c_str(), &pDb), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(pDb, "create table t(name text, detail text)", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(pDb);
    }
    CSlowDetails details;
    // Every test site is on 127.0.0.1, so the process's per-host limit would
    // make B queue behind A's held linked pages; the sites stand for
    // different hosts here.
    CHostLimiter::Instance().Configure(8, 0);

    // Task A: three rows, each with a linked detail page whose heading is the
    // second column.
    CTestSite siteA;
    std::string strPageA = "<html><body><table>";
    for (int i = 1; i <= 3; ++i)
        strPageA += "<tr><td>a" + std::to_string(i) + "</td><td><a href=\"" +
                    details.Url(("/d" + std::to_string(i)).c_str()) + "\">more</a></td></tr>";
    siteA.SetPage(strPageA + "</table></body></html>");
    CDefOptions a;
    a.strUrl = siteA.Url("/page");
    a.aNodes = {{0, "name", "@td", 1, true, ""}, {4, "detail", "@td#td@a", 2, false, "href"}};
    a.bSaveToDb = true;
    a.nDbType = 0;
    a.strDbServer = strFile;
    a.strTable = "t";
    a.aFields = {{"name", "<@@name@@>"}, {"detail", "<@@detail@@>"}};
    std::string strDefA = MakeDefinition(a);
    const std::string strLinkedEnd = "<attribute>href</attribute></data>";
    const std::size_t nLinked = strDefA.find(strLinkedEnd);
    ASSERT_NE(nLinked, std::string::npos);
    strDefA.insert(nLinked + strLinkedEnd.size() - 7,
                   "<splitter>|</splitter><location><path>html@body@h1</path><step></step>"
                   "<data><type>0</type><name>h</name><path></path><order>1</order></data></location>");

    // Task B: ten plain rows into the same table.
    CTestSite siteB;
    std::vector<std::pair<std::string, std::string>> aRowsB;
    for (int i = 0; i < 10; ++i)
        aRowsB.push_back({"b" + std::to_string(i), "plain"});
    siteB.SetPage(MakeTablePage(aRowsB));
    CDefOptions b;
    b.strUrl = siteB.Url("/page");
    b.bSaveToDb = true;
    b.nDbType = 0;
    b.strDbServer = strFile;
    b.strTable = "t";
    b.aFields = {{"name", "<@@name@@>"}, {"detail", "<@@price@@>"}};

    CRecordingObserver observerA, observerB;
    CTask taskA, taskB;
    ASSERT_TRUE(taskA.LoadDefinition(strDefA.c_str()));
    ASSERT_TRUE(taskB.LoadDefinition(MakeDefinition(b).c_str()));
    taskA.SetObserver(&observerA);
    taskB.SetObserver(&observerB);

    std::future<bool> passA = std::async(std::launch::async, [&taskA] { return taskA.RunPass(); });
    // A has stored a1 and now waits for the page of a2.
    ASSERT_TRUE(details.WaitHeld(20000));
    std::future<bool> passB = std::async(std::launch::async, [&taskB] { return taskB.RunPass(); });
    // B's lock wait gives up after 30 seconds; it must not need to wait at all.
    const bool bBDone = passB.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(bBDone) << "task B is locked out while task A waits for a linked page";
    std::string strWhileWaiting = QueryRows(strFile);
    details.Release();
    ASSERT_TRUE(passA.get());
    ASSERT_TRUE(passB.get());

    std::string strExpectedB;
    for (int i = 0; i < 10; ++i)
        strExpectedB += "b" + std::to_string(i) + "=plain;";
    EXPECT_EQ(strWhileWaiting, "a1=detail;" + strExpectedB);
    EXPECT_EQ(QueryRows(strFile), "a1=detail;a2=detail;a3=detail;" + strExpectedB);
    ASSERT_TRUE(taskB.WaitNotified(5000));
    for (const std::string& strLine : observerB.LogTexts())
        EXPECT_EQ(strLine.find("数据库失败"), std::string::npos) << strLine;
}
