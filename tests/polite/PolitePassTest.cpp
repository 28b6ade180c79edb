// A task's passes at scale: linked pages fetched side by side keep their
// records in page order, retries after 503 and Retry-After, robots.txt on
// and off, and a stop ending every wait (host queue, retry delay, linked
// fetches) within a second.
#include "engine/Task.h"
#include "http/HostLimiter.h"
#include "http/Robots.h"
#include "RawServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string Key(const std::string& strName, const std::string& strValue)
{
    return "<" + strName + ">" + strValue + "</" + strName + ">";
}

// A task whose page lists items in a table; with bLinked each row's second
// cell links to a detail page whose paragraph is the second column.
std::string Definition(const std::string& strUrl, bool bLinked, const std::string& strNetworkExtra = "",
                       int nPeriod = 60)
{
    std::string s = "<root><general>" + Key("taskname", "polite") + Key("frequence", std::to_string(nPeriod))
        + Key("autoload", "0") + "</general><network>" + Key("url", strUrl) + Key("refurl", "")
        + Key("method", "0") + Key("timeout", "20") + strNetworkExtra + "</network>"
        + "<location>" + Key("path", "html@body@table@tr") + Key("step", "#tr")
        + "<data>" + Key("type", "0") + Key("name", "name") + Key("path", "@td") + Key("order", "1")
        + Key("only", "1") + "</data>";
    if (bLinked) {
        s += "<data>" + Key("type", "4") + Key("name", "detail") + Key("path", "@td#td@a") + Key("order", "2")
            + Key("only", "0") + Key("attribute", "href") + Key("splitter", ",")
            + "<location>" + Key("path", "html@body@p") + Key("step", "") + "<data>" + Key("type", "0")
            + Key("name", "text") + Key("path", "") + Key("order", "1") + Key("only", "0") + "</data>"
            + "</location></data>";
    }
    s += "</location></root>";
    return s;
}

std::string ListPage(int nItems, int nPort)
{
    std::string s = "<html><body><table>\n";
    for (int i = 0; i < nItems; ++i) {
        s += "<tr><td>item" + std::to_string(i) + "</td><td><a href=\"http://127.0.0.1:" + std::to_string(nPort)
            + "/item/" + std::to_string(i) + "\">more</a></td></tr>\n";
    }
    return s + "</table></body></html>";
}

std::string Answer(const std::string& strStatus, const std::string& strBody, const std::string& strExtra = "")
{
    return "HTTP/1.1 " + strStatus + "\r\nContent-Type: text/html\r\nContent-Length: "
        + std::to_string(strBody.size()) + "\r\n" + strExtra + "\r\n" + strBody;
}

std::string Target(const std::string& strRequest)
{
    const std::size_t nStart = strRequest.find(' ');
    const std::size_t nEnd = strRequest.find(' ', nStart + 1);
    return nStart == std::string::npos || nEnd == std::string::npos ? std::string()
                                                                    : strRequest.substr(nStart + 1, nEnd - nStart - 1);
}

// A site scripted by the test: fnRoute answers each target. It notes how many
// requests were being answered at once.
struct SSite {
    std::function<std::string(const std::string& strTarget, int nIndex)> fnRoute;
    std::mutex mutex;
    std::vector<std::string> aTargets;
    int nActive = 0;
    int nMaxActive = 0;
    std::unique_ptr<CRawServer> pServer;

    SSite()
    {
        pServer = std::make_unique<CRawServer>([this](CRawConnection& conn) {
            for (;;) {
                const std::string strRequest = conn.ReadRequest(30000);
                if (strRequest.empty())
                    return;
                int nIndex;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    aTargets.push_back(Target(strRequest));
                    nIndex = static_cast<int>(aTargets.size()) - 1;
                    nMaxActive = std::max(nMaxActive, ++nActive);
                }
                const std::string strAnswer = fnRoute(Target(strRequest), nIndex);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    --nActive;
                }
                if (strAnswer.empty()) {
                    conn.WaitForStop();
                    return;
                }
                if (!conn.Send(strAnswer))
                    return;
            }
        });
    }
    int Count(const std::string& strTarget)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count(aTargets.begin(), aTargets.end(), strTarget));
    }
    std::string Url(const std::string& strPath) const { return pServer->GetUrl(strPath); }
    int Port() const { return pServer->GetPort(); }
};

class CCollector : public ITaskObserver
{
public:
    void OnRowAdded(const CDataRow& aRow) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aRows.push_back(aRow);
    }
    void OnLog(const std::string& strLine) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strLog += strLine;
        m_cv.notify_all();
    }
    std::vector<CDataRow> Rows()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_aRows;
    }
    std::string Log()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_strLog;
    }
    bool WaitForLog(const std::string& strText, int nMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nMs),
                             [&]() { return m_strLog.find(strText) != std::string::npos; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CDataRow> m_aRows;
    std::string m_strLog;
};

// Runs one pass directly and waits until every notification arrived.
bool RunOnePass(CTask& task, CCollector& collector)
{
    task.SetObserver(&collector);
    const bool bFetched = task.RunPass();
    task.WaitNotified(10000);
    return bFetched;
}

// Starts the worker, waits until strLogText appears (the wait to be cut is
// under way), asks for a stop and says how long the worker took to end.
long long StopDuring(CTask& task, CCollector& collector, const std::string& strLogText,
                     const std::function<bool()>& fnWaiting = nullptr)
{
    task.SetPassLimit(1);
    EXPECT_TRUE(task.Start(&collector));
    if (!strLogText.empty()) {
        EXPECT_TRUE(collector.WaitForLog(strLogText, 20000)) << collector.Log();
    }
    if (fnWaiting) {
        const Clock::time_point t0 = Clock::now();
        while (!fnWaiting() && MsSince(t0) < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Let the wait settle in.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Clock::time_point tStop = Clock::now();
    task.RequestStop();
    EXPECT_TRUE(task.WaitForEnd(20000));
    const long long nMs = MsSince(tStop);
    task.StopAndWait();
    task.WaitNotified(10000);
    return nMs;
}

class PolitePass : public testing::Test
{
protected:
    void SetUp() override
    {
        CHostLimiter::Instance().Reset();
        CHostLimiter::Instance().Configure(2, 0);
        CRobotsCache::Instance().Clear();
    }
    void TearDown() override { CHostLimiter::Instance().Reset(); }
};

TEST_F(PolitePass, ParallelLinkedPagesKeepPageOrder)
{
    const int nItems = 12;
    SSite site;
    site.fnRoute = [&](const std::string& strTarget, int) {
        if (strTarget == "/list")
            return Answer("200 OK", ListPage(nItems, site.Port()));
        const int i = std::atoi(strTarget.c_str() + 6);
        // Early items answer slowest, so later ones finish first.
        std::this_thread::sleep_for(std::chrono::milliseconds((nItems - i) * 15));
        return Answer("200 OK", "<html><body><p>detail" + std::to_string(i) + "</p></body></html>");
    };
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(Definition(site.Url("/list"), true).c_str()));
    CCollector collector;
    ASSERT_TRUE(RunOnePass(task, collector));
    const std::vector<CDataRow> aRows = collector.Rows();
    ASSERT_EQ(aRows.size(), static_cast<std::size_t>(nItems)) << collector.Log();
    for (int i = 0; i < nItems; ++i) {
        ASSERT_EQ(aRows[i].size(), 2u);
        EXPECT_EQ(aRows[i][0], "item" + std::to_string(i));
        EXPECT_EQ(aRows[i][1], "detail" + std::to_string(i));
    }
    // Two at once, as many as the host may take, and never more.
    EXPECT_EQ(site.nMaxActive, 2);
    // The data list holds them in the same order.
    ASSERT_EQ(task.GetDataList().GetCount(), static_cast<std::size_t>(nItems));

    // A second pass finds nothing new and fetches no linked page again.
    CCollector second;
    ASSERT_TRUE(RunOnePass(task, second));
    EXPECT_TRUE(second.Rows().empty());
    EXPECT_EQ(site.Count("/item/0"), 1);
}

TEST_F(PolitePass, OneConnectionPerHostFetchesOneAfterAnother)
{
    CHostLimiter::Instance().Configure(1, 0);
    SSite site;
    site.fnRoute = [&](const std::string& strTarget, int) {
        if (strTarget == "/list")
            return Answer("200 OK", ListPage(4, site.Port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Answer("200 OK", "<html><body><p>d" + strTarget.substr(6) + "</p></body></html>");
    };
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(Definition(site.Url("/list"), true).c_str()));
    CCollector collector;
    ASSERT_TRUE(RunOnePass(task, collector));
    ASSERT_EQ(collector.Rows().size(), 4u);
    EXPECT_EQ(collector.Rows()[3][1], "d3");
    EXPECT_EQ(site.nMaxActive, 1);
}

TEST_F(PolitePass, RetriesAfter503ThenSucceeds)
{
    SSite site;
    std::atomic<int> nCalls{ 0 };
    site.fnRoute = [&](const std::string&, int) {
        if (nCalls++ < 2)
            return Answer("503 Service Unavailable", "busy");
        return Answer("200 OK", "<html><body><table><tr><td>a</td></tr></table></body></html>");
    };
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(
        Definition(site.Url("/page"), false, Key("retries", "3") + Key("retrydelay", "1")).c_str()));
    CCollector collector;
    const Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(RunOnePass(task, collector)) << collector.Log();
    // Two retries: about 1 s, then about 2 s, each give or take a quarter.
    EXPECT_GE(MsSince(t0), 2000);
    EXPECT_EQ(nCalls.load(), 3);
    ASSERT_EQ(collector.Rows().size(), 1u);
    const std::string strLog = collector.Log();
    EXPECT_NE(strLog.find("第1次重试"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("第2次重试"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("503"), std::string::npos) << strLog;

    // Without retries a 503 fails the pass at once, as it always did.
    nCalls = 0;
    CTask plain;
    ASSERT_TRUE(plain.LoadDefinition(Definition(site.Url("/page"), false).c_str()));
    CCollector plainLog;
    EXPECT_FALSE(RunOnePass(plain, plainLog));
    EXPECT_EQ(nCalls.load(), 1);
    // A 404 is no passing failure: not retried.
    site.fnRoute = [&](const std::string&, int) {
        ++nCalls;
        return Answer("404 Not Found", "no");
    };
    nCalls = 0;
    CCollector notFound;
    EXPECT_FALSE(RunOnePass(task, notFound));
    EXPECT_EQ(nCalls.load(), 1);
}

TEST_F(PolitePass, RetryAfterIsHonouredOrLeftToTheNextPass)
{
    SSite site;
    std::atomic<int> nCalls{ 0 };
    std::string strRetryAfter = "1";
    site.fnRoute = [&](const std::string&, int) {
        if (nCalls++ == 0)
            return Answer("429 Too Many Requests", "slow down", "Retry-After: " + strRetryAfter + "\r\n");
        return Answer("200 OK", "<html><body><table><tr><td>a</td></tr></table></body></html>");
    };
    CTask task;
    // A long first delay: only the server's Retry-After can make it short.
    ASSERT_TRUE(task.LoadDefinition(
        Definition(site.Url("/page"), false, Key("retries", "2") + Key("retrydelay", "50"), 30).c_str()));
    CCollector collector;
    const Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(RunOnePass(task, collector)) << collector.Log();
    EXPECT_GE(MsSince(t0), 900);
    EXPECT_LT(MsSince(t0), 20000);
    EXPECT_EQ(nCalls.load(), 2);
    EXPECT_NE(collector.Log().find("1.0秒后第1次重试"), std::string::npos) << collector.Log();

    // A Retry-After past the next pass (30 s away) moves the page to it.
    nCalls = 0;
    strRetryAfter = "3600";
    CCollector later;
    const Clock::time_point t1 = Clock::now();
    EXPECT_FALSE(RunOnePass(task, later));
    EXPECT_LT(MsSince(t1), 10000);
    EXPECT_EQ(nCalls.load(), 1);
    EXPECT_NE(later.Log().find("留待下一次运行"), std::string::npos) << later.Log();
}

TEST_F(PolitePass, RobotsTxtOnAndOff)
{
    SSite site;
    site.fnRoute = [&](const std::string& strTarget, int) {
        if (strTarget == "/robots.txt")
            return Answer("200 OK", "User-agent: *\nAllow: /\n\nUser-agent: Quarvex\nDisallow: /private\n",
                          "");
        return Answer("200 OK", "<html><body><table><tr><td>a</td></tr></table></body></html>");
    };
    CTask off;
    ASSERT_TRUE(off.LoadDefinition(Definition(site.Url("/private/page"), false).c_str()));
    CCollector offLog;
    EXPECT_TRUE(RunOnePass(off, offLog));
    EXPECT_EQ(site.Count("/robots.txt"), 0);

    CTask on;
    ASSERT_TRUE(on.LoadDefinition(Definition(site.Url("/private/page"), false, Key("robots", "1")).c_str()));
    CCollector onLog;
    EXPECT_FALSE(RunOnePass(on, onLog));
    EXPECT_EQ(site.Count("/private/page"), 1);  // only the pass without robots.txt
    EXPECT_NE(onLog.Log().find("robots.txt不允许获取"), std::string::npos) << onLog.Log();
    EXPECT_NE(onLog.Log().find("Disallow: /private"), std::string::npos) << onLog.Log();

    // An allowed page of the same site is fetched; robots.txt is not asked again.
    CTask allowed;
    ASSERT_TRUE(allowed.LoadDefinition(Definition(site.Url("/public"), false, Key("robots", "1")).c_str()));
    CCollector allowedLog;
    EXPECT_TRUE(RunOnePass(allowed, allowedLog)) << allowedLog.Log();
    EXPECT_EQ(site.Count("/robots.txt"), 1);
}

TEST_F(PolitePass, StopEndsTheHostQueueWait)
{
    SSite site;
    site.fnRoute = [&](const std::string&, int) { return Answer("200 OK", "x"); };
    CHostLimiter::Instance().Configure(1, 0);
    // Another task holds the host's only turn.
    ASSERT_TRUE(CHostLimiter::Instance().Acquire("127.0.0.1", nullptr));
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(Definition(site.Url("/page"), false).c_str()));
    CCollector collector;
    const long long nMs =
        StopDuring(task, collector, "", []() { return CHostLimiter::Instance().Waiting("127.0.0.1") == 1; });
    EXPECT_LT(nMs, 1000);
    EXPECT_EQ(site.Count("/page"), 0);
    EXPECT_EQ(CHostLimiter::Instance().Waiting("127.0.0.1"), 0);
    CHostLimiter::Instance().Release("127.0.0.1");
}

TEST_F(PolitePass, StopEndsTheRetryWait)
{
    SSite site;
    site.fnRoute = [&](const std::string&, int) { return Answer("503 Service Unavailable", "busy"); };
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(
        Definition(site.Url("/page"), false, Key("retries", "5") + Key("retrydelay", "60"), 3600).c_str()));
    CCollector collector;
    const long long nMs = StopDuring(task, collector, "次重试");
    EXPECT_LT(nMs, 1000);
    EXPECT_EQ(site.Count("/page"), 1);
}

TEST_F(PolitePass, StopEndsParallelLinkedFetchesAndKeepsNothingHalfDone)
{
    SSite site;
    site.fnRoute = [&](const std::string& strTarget, int) {
        if (strTarget == "/list")
            return Answer("200 OK", ListPage(6, site.Port()));
        return std::string();  // linked pages never answer
    };
    CTask task;
    ASSERT_TRUE(task.LoadDefinition(Definition(site.Url("/list"), true).c_str()));
    CCollector collector;
    const long long nMs = StopDuring(task, collector, "", [&]() { return site.Count("/item/1") == 1; });
    EXPECT_LT(nMs, 1000);
    EXPECT_TRUE(collector.Rows().empty());
    EXPECT_EQ(task.GetDataList().GetCount(), 0u);
}

} // namespace
