// RunnerProcessTest.cpp - the real quarvex-runner against a real task store
// and a page server on loopback: relisting picks up added, changed and
// deleted tasks; SIGTERM stops every task and the runner exits; the metrics
// count what the passes did; a task whose page stops yielding raises the
// breakage alarm (log, metrics, JSON POST) and clears it again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TaskTestSupport.h"
#include "PostgresServer.h"
#include "ChildProcess.h"
#include "TempDir.h"
#include "server/StoreServer.h"
#include "store/StoreClient.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

using namespace quarvex;

namespace {

std::string ReadFileText(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream stream;
    stream << file.rdbuf();
    return stream.str();
}

bool WaitFor(const std::function<bool()>& fnDone, int nMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < tEnd) {
        if (fnDone())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fnDone();
}

std::string TaskText(const std::string& strName, const std::string& strUrl, bool bAutoLoad = true, int nPeriod = 1)
{
    CDefOptions o;
    o.strUrl = strUrl;
    o.nPeriod = nPeriod;
    std::string strText = MakeDefinition(o);
    auto Replace = [&strText](const std::string& strFrom, const std::string& strTo) {
        strText.replace(strText.find(strFrom), strFrom.size(), strTo);
    };
    Replace("<taskname>test</taskname>", "<taskname>" + strName + "</taskname>");
    if (bAutoLoad)
        Replace("<autoload>0</autoload>", "<autoload>1</autoload>");
    return strText;
}

class RunnerProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_store.Open(m_dir.GetPath() + "/store.db", strError)) << strError;
        ASSERT_TRUE(m_store.Start("127.0.0.1", 0, strError, 8)) << strError;
        ASSERT_TRUE(m_store.GetService().AddUser("alice", "secret", strError)) << strError;
        m_client.SetServer("127.0.0.1:" + std::to_string(m_store.GetPort()));
        ASSERT_EQ(m_client.Login("alice", "secret"), StoreLogin::OK);
        m_site.SetPage(MakeTablePage({ { "a", "1" }, { "b", "2" }, { "c", "3" } }));
        m_strConfig = m_dir.WriteFile("Config.dat", "<general><alarmurl>" + m_site.Url("/post") +
                                                        "</alarmurl></general>");
        m_nStatusPort = FindFreePort();
    }
    void TearDown() override
    {
        if (m_pid > 0)
            m_aOthers.push_back(m_pid);
        for (pid_t pid : m_aOthers) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts a runner whose status is on nPort and whose log goes to
    // strLogName in the test's folder; its process id.
    pid_t SpawnRunner(int nPort, const std::string& strLogName, std::vector<std::string> aExtra)
    {
        std::vector<std::string> aArgs = { QUARVEX_RUNNER, "--server", m_client.GetServer(), "--user", "alice",
                                           "--relist", "1", "--config", m_strConfig, "--listen",
                                           "127.0.0.1:" + std::to_string(nPort) };
        aArgs.insert(aArgs.end(), aExtra.begin(), aExtra.end());
        const std::vector<std::string> aEnv = { "QUARVEX_HOME=" + m_dir.GetPath(), "QUARVEX_PASSWORD=secret" };
        const pid_t pid = SpawnProgram(aArgs, std::string(), m_dir.GetPath() + "/" + strLogName, &aEnv);
        if (pid > 0)
            m_aOthers.push_back(pid);
        return pid;
    }
    void Spawn(std::vector<std::string> aExtra = { "--no-lease" })
    {
        m_pid = SpawnRunner(m_nStatusPort, "runner.err", aExtra);
        m_aOthers.pop_back();
        ASSERT_GT(m_pid, 0);
        ASSERT_TRUE(WaitFor([this] { return Get("/healthz") == "ok\n"; }, 20000)) << Log();
    }
    // Exit status, or -1 when the runner did not end within nMs.
    int WaitExit(int nMs)
    {
        const int nStatus = ::WaitExit(m_pid, nMs, false);
        if (nStatus >= 0)
            m_pid = -1;
        return nStatus;
    }
    std::string Get(const char* pszPath, int nPort = 0)
    {
        httplib::Client client("127.0.0.1", nPort != 0 ? nPort : m_nStatusPort);
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(5, 0);
        const auto result = client.Get(pszPath);
        return result && result->status == 200 ? result->body : std::string();
    }
    std::string Log() { return ReadFileText(m_dir.GetPath() + "/runner.err"); }
    // The value of one metric sample of the task named strName; -1 when absent.
    long long Metric(const std::string& strFamily, const std::string& strId)
    {
        const std::string strMetrics = Get("/metrics");
        const std::string strPrefix = strFamily + "{id=\"" + strId + "\"";
        const std::size_t nAt = strMetrics.find(strPrefix);
        if (nAt == std::string::npos)
            return -1;
        const std::size_t nValue = strMetrics.find("} ", nAt);
        return std::atoll(strMetrics.c_str() + nValue + 2);
    }
    int AlarmPosts(const std::string& strPart)
    {
        std::lock_guard lock(m_site.m_mutex);
        int n = 0;
        for (const auto& post : m_site.m_aPosts)
            n += post.strBody.find(strPart) != std::string::npos ? 1 : 0;
        return n;
    }

    // A task run every second from autoload that posts each new record's
    // name ("n=NAME") to the test site.
    std::string PostingTask(const std::string& strPageUrl)
    {
        CDefOptions o;
        o.strUrl = strPageUrl;
        o.nPeriod = 1;
        o.bWebPost = true;
        o.nWebPostMethod = 1;
        o.strWebPostUrl = m_site.Url("/post");
        o.strWebPostVar = "n=<@@name@@>";
        std::string strText = MakeDefinition(o);
        strText.replace(strText.find("<autoload>0</autoload>"), 22, "<autoload>1</autoload>");
        return strText;
    }

    // Runner A takes the task, posts r1..r3 and is frozen (SIGSTOP) while
    // its next page is on the way; runner B takes the task over when A's
    // lease ends and posts r4. When A wakes, its page brings r4 as well,
    // but its lease number is old: it delivers nothing. aRecordArgs say
    // where both keep the record state.
    void CheckStalePassDeliversNothingTwice(const std::vector<std::string>& aRecordArgs)
    {
        constexpr int LEASE = 3;
        httplib::Server pages;
        std::mutex pageMutex;
        std::string strPage = MakeTablePage({ { "r1", "1" }, { "r2", "2" }, { "r3", "3" } });
        bool bSlowNext = false;
        std::atomic<int> nSlowStarted{ 0 };
        pages.Get("/page", [&](const httplib::Request&, httplib::Response& res) {
            bool bSlow = false;
            std::string strNow;
            {
                std::lock_guard lock(pageMutex);
                bSlow = bSlowNext;
                bSlowNext = false;
                strNow = strPage;
            }
            if (bSlow) {
                ++nSlowStarted;
                std::this_thread::sleep_for(std::chrono::seconds(2));
            }
            res.set_content(strNow, "text/html");
        });
        const int nPagePort = pages.bind_to_any_port("127.0.0.1");
        std::thread pageThread([&] { pages.listen_after_bind(); });

        ASSERT_TRUE(m_client.AddTask(PostingTask("http://127.0.0.1:" + std::to_string(nPagePort) + "/page")));
        auto Posts = [this](const std::string& strBody) {
            std::lock_guard lock(m_site.m_mutex);
            int n = 0;
            for (const auto& post : m_site.m_aPosts)
                n += post.strBody == strBody ? 1 : 0;
            return n;
        };
        std::vector<std::string> aArgs = { "--lease", std::to_string(LEASE) };
        aArgs.insert(aArgs.end(), aRecordArgs.begin(), aRecordArgs.end());
        const pid_t pidA = SpawnRunner(m_nStatusPort, "a.err", aArgs);
        ASSERT_TRUE(WaitFor([&] { return Posts("n=r3") == 1; }, 20000)) << ReadFileText(m_dir.GetPath() + "/a.err");

        {
            std::lock_guard lock(pageMutex);
            strPage = MakeTablePage({ { "r1", "1" }, { "r2", "2" }, { "r3", "3" }, { "r4", "4" } });
            bSlowNext = true;
        }
        ASSERT_TRUE(WaitFor([&] { return nSlowStarted.load() == 1; }, 20000));
        kill(pidA, SIGSTOP);
        const pid_t pidB = SpawnRunner(FindFreePort(), "b.err", aArgs);
        ASSERT_GT(pidB, 0);
        EXPECT_TRUE(WaitFor([&] { return Posts("n=r4") >= 1; }, 20000)) << ReadFileText(m_dir.GetPath() + "/b.err");
        kill(pidA, SIGCONT);
        // A's page arrives, its lease renewal fails, and its task stops.
        ASSERT_TRUE(WaitFor([&] {
            return ReadFileText(m_dir.GetPath() + "/a.err").find("its lease was lost") != std::string::npos;
        }, 20000)) << ReadFileText(m_dir.GetPath() + "/a.err");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        for (const char* pszRecord : { "n=r1", "n=r2", "n=r3", "n=r4" })
            EXPECT_EQ(Posts(pszRecord), 1) << pszRecord << "\nA:\n" << ReadFileText(m_dir.GetPath() + "/a.err")
                                           << "\nB:\n" << ReadFileText(m_dir.GetPath() + "/b.err");
        pages.stop();
        pageThread.join();
    }

    CTempDir m_dir;
    CStoreServer m_store;
    CStoreClient m_client;
    CTestSite m_site;
    std::string m_strConfig;
    int m_nStatusPort = 0;
    pid_t m_pid = -1;
    std::vector<pid_t> m_aOthers;  // More runners, killed at the end.
};

} // namespace

TEST_F(RunnerProcessTest, RelistStartsAddedReloadsChangedAndStopsDeletedTasks)
{
    const auto idFirst = m_client.AddTask(TaskText("first", m_site.Url("/page")));
    const auto idManual = m_client.AddTask(TaskText("manual", m_site.Url("/page"), false));
    ASSERT_TRUE(idFirst && idManual);
    Spawn();
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_passes_total", *idFirst) >= 1; }, 20000)) << Log();
    // Without autoload the task is loaded and shown, never started.
    const std::string strTasks = Get("/tasks");
    EXPECT_NE(strTasks.find("\"name\":\"manual\",\"state\":\"idle\""), std::string::npos) << strTasks;
    EXPECT_EQ(Metric("quarvex_task_passes_total", *idManual), 0);

    const auto idSecond = m_client.AddTask(TaskText("second", m_site.Url("/page")));
    ASSERT_TRUE(idSecond);
    EXPECT_TRUE(WaitFor([&] { return Metric("quarvex_task_passes_total", *idSecond) >= 1; }, 20000)) << Log();

    ASSERT_TRUE(m_client.UpdateTask(*idFirst, TaskText("renamed", m_site.Url("/page"))));
    EXPECT_TRUE(WaitFor([&] { return Get("/tasks").find("\"name\":\"renamed\",\"state\":\"running\"") !=
                                     std::string::npos; }, 20000)) << Get("/tasks");
    EXPECT_NE(Log().find("renamed: changed in the store: reloaded and started"), std::string::npos) << Log();

    ASSERT_TRUE(m_client.DeleteTask(*idSecond));
    EXPECT_TRUE(WaitFor([&] { return Metric("quarvex_task_passes_total", *idSecond) == -1; }, 20000));
    EXPECT_NE(Log().find("second: no longer in the account: stopped and dropped"), std::string::npos) << Log();
    EXPECT_NE(Metric("quarvex_task_passes_total", *idFirst), -1);
    // Each task's own log lines carry its name.
    EXPECT_NE(Log().find("] renamed: 成功摘取到3条记录"), std::string::npos) << Log();
}

TEST_F(RunnerProcessTest, SigtermStopsTasksWaitingForTheirPageAndExits)
{
    ASSERT_TRUE(m_client.AddTask(TaskText("hanging", m_site.Url("/hang"))));
    ASSERT_TRUE(m_client.AddTask(TaskText("quick", m_site.Url("/page"))));
    Spawn();
    ASSERT_TRUE(m_site.WaitUntil([&] { return m_site.m_nHanging >= 1; }, 20000)) << Log();
    const auto tStart = std::chrono::steady_clock::now();
    kill(m_pid, SIGTERM);
    EXPECT_EQ(WaitExit(15000), 0) << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(10));
    const std::string strLog = Log();
    EXPECT_NE(strLog.find("stopping 2 tasks"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("all tasks ended; exiting"), std::string::npos) << strLog;
}

TEST_F(RunnerProcessTest, MetricsCountPassesAndRecords)
{
    const auto id = m_client.AddTask(TaskText("counted", m_site.Url("/page")));
    ASSERT_TRUE(id);
    Spawn();
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_passes_total", *id) >= 3; }, 30000)) << Log();
    const long long nPasses = Metric("quarvex_task_passes_total", *id);
    // Every pass sees the three rows; only the first finds them new.
    const long long nSeen = Metric("quarvex_task_records_seen_total", *id);
    EXPECT_GE(nSeen, 3 * nPasses);
    EXPECT_LE(nSeen, 3 * (nPasses + 1));
    EXPECT_EQ(Metric("quarvex_task_new_records_total", *id), 3);
    EXPECT_EQ(Metric("quarvex_task_failed_passes_total", *id), 0);
    EXPECT_GT(Metric("quarvex_task_last_pass_end_timestamp_seconds", *id), 1700000000);
    const std::string strMetrics = Get("/metrics");
    EXPECT_NE(strMetrics.find("quarvex_runner_tasks 1\n"), std::string::npos) << strMetrics;
    EXPECT_NE(strMetrics.find("quarvex_task_pass_duration_seconds{id=\"" + *id + "\",task=\"counted\"} "),
              std::string::npos);
    const std::string strPage = Get("/");
    EXPECT_NE(strPage.find("<td title=\"" + *id + "\">counted</td><td>running</td>"), std::string::npos) << strPage;
    EXPECT_NE(Get("/tasks").find("\"new_records\":3"), std::string::npos);
}

TEST_F(RunnerProcessTest, BreakageAndFailureAlarmsAreRaisedAndCleared)
{
    const auto id = m_client.AddTask(TaskText("watched", m_site.Url("/page")));
    ASSERT_TRUE(id);
    Spawn();
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_passes_total", *id) >= 1; }, 20000)) << Log();
    EXPECT_EQ(Metric("quarvex_task_broken", *id), 0);

    // The page still comes, but without a record.
    m_site.SetPage(MakeTablePage({}));
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_broken", *id) == 1; }, 30000)) << Log();
    EXPECT_NE(Log().find("watched: ALARM broken raised"), std::string::npos) << Log();
    EXPECT_TRUE(WaitFor([&] { return AlarmPosts("\"alarm\":\"broken\",\"state\":\"raised\"") == 1; }, 15000));
    {
        std::lock_guard lock(m_site.m_mutex);
        ASSERT_FALSE(m_site.m_aPosts.empty());
        EXPECT_EQ(m_site.m_aPosts[0].strMethod, "POST");
        EXPECT_EQ(m_site.m_aPosts[0].strBody.rfind("{\"task\":\"watched\",\"id\":\"" + *id + "\"", 0), 0u)
            << m_site.m_aPosts[0].strBody;
    }
    EXPECT_NE(Get("/").find("class=\"alarm\">broken<"), std::string::npos);

    m_site.SetPage(MakeTablePage({ { "a", "1" }, { "b", "2" } }));
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_broken", *id) == 0; }, 30000)) << Log();
    EXPECT_TRUE(WaitFor([&] { return AlarmPosts("\"alarm\":\"broken\",\"state\":\"cleared\"") == 1; }, 15000));

    // Errors from the server: failing, not broken.
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPageStatus = 500;
    }
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_failing", *id) == 1; }, 30000)) << Log();
    EXPECT_EQ(Metric("quarvex_task_broken", *id), 0);
    EXPECT_TRUE(WaitFor([&] { return AlarmPosts("\"alarm\":\"failing\",\"state\":\"raised\"") == 1; }, 15000));
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPageStatus = 200;
    }
    ASSERT_TRUE(WaitFor([&] { return Metric("quarvex_task_failing", *id) == 0; }, 30000)) << Log();
    EXPECT_GE(Metric("quarvex_task_failed_passes_total", *id), 3);
}

TEST_F(RunnerProcessTest, PrivateStoreFileGetsItsAccountAndWrongCommandLinesAreRefused)
{
    m_pid = -1;
    const std::string strDb = m_dir.GetPath() + "/private.db";
    std::vector<std::string> aArgs = { QUARVEX_RUNNER, "--store-db", strDb, "--user", "bob", "--listen",
                                       "127.0.0.1:" + std::to_string(m_nStatusPort), "--config", m_strConfig };
    std::vector<char*> apArgs;
    for (std::string& s : aArgs)
        apArgs.push_back(s.data());
    apArgs.push_back(nullptr);
    std::string strPassword = "QUARVEX_PASSWORD=pw";
    char* apEnv[] = { strPassword.data(), nullptr };
    const std::string strErr = m_dir.GetPath() + "/runner.err";
    m_pid = fork();
    if (m_pid == 0) {
        const int hErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(hErr, 2);
        execve(apArgs[0], apArgs.data(), apEnv);
        _exit(127);
    }
    ASSERT_TRUE(WaitFor([this] { return Get("/healthz") == "ok\n"; }, 20000)) << Log();
    EXPECT_NE(Log().find("created the account bob in " + strDb), std::string::npos) << Log();
    kill(m_pid, SIGINT);
    EXPECT_EQ(WaitExit(15000), 0) << Log();

    // Usage errors exit 2 and say what is wrong.
    struct { std::vector<std::string> aArgs; const char* pszSays; } cases[] = {
        { { "--user", "x" }, "exactly one of --server and --store-db" },
        { { "--server", "h", "--store-db", "f", "--user", "x" }, "exactly one of" },
        { { "--server", "h" }, "--user is missing" },
        { { "--server", "h", "--user", "x", "--relist", "0" }, "--relist wants" },
        { { "--server", "h", "--user", "x", "--listen", "a:b:c" }, "--listen wants" },
        { { "--server", "h", "--user", "x", "--bogus", "1" }, "unknown option" },
    };
    for (const auto& c : cases) {
        std::string strCommand = std::string(QUARVEX_RUNNER);
        for (const std::string& s : c.aArgs)
            strCommand += " '" + s + "'";
        strCommand += " 2>" + strErr;
        const int nStatus = std::system(strCommand.c_str());
        EXPECT_EQ(WEXITSTATUS(nStatus), 2) << strCommand;
        EXPECT_NE(Log().find(c.pszSays), std::string::npos) << strCommand << "\n" << Log();
    }
}

TEST_F(RunnerProcessTest, LeasesMoveToTheOtherRunnerAfterKill9)
{
    constexpr int LEASE = 3;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(m_client.AddTask(TaskText("shared " + std::to_string(i), m_site.Url("/page"))));
    auto Held = [this](int nPort) {
        const std::string strMetrics = Get("/metrics", nPort);
        const std::size_t nAt = strMetrics.find("\nquarvex_runner_leases_held ");
        return nAt == std::string::npos ? -1 : std::atoi(strMetrics.c_str() + nAt + 28);
    };
    const int nPortA = m_nStatusPort;
    const int nPortB = FindFreePort();
    const pid_t pidA = SpawnRunner(nPortA, "a.err", { "--lease", std::to_string(LEASE) });
    ASSERT_TRUE(WaitFor([&] { return Held(nPortA) == 4; }, 20000)) << ReadFileText(m_dir.GetPath() + "/a.err");
    const pid_t pidB = SpawnRunner(nPortB, "b.err", { "--lease", std::to_string(LEASE) });
    ASSERT_GT(pidB, 0);
    ASSERT_TRUE(WaitFor([&] { return Held(nPortB) == 0; }, 20000));
    // Each task runs on one runner only: B takes none while A renews.
    std::this_thread::sleep_for(std::chrono::seconds(2 * LEASE));
    EXPECT_EQ(Held(nPortB), 0) << ReadFileText(m_dir.GetPath() + "/b.err");
    EXPECT_EQ(Held(nPortA), 4);

    kill(pidA, SIGKILL);
    const auto tKilled = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return Held(nPortB) == 4; }, 20000)) << ReadFileText(m_dir.GetPath() + "/b.err");
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tKilled).count();
    EXPECT_LE(dSeconds, 2.0 * LEASE) << "taken over after " << dSeconds << " s";
    // And they run there.
    const std::string strB = ReadFileText(m_dir.GetPath() + "/b.err");
    EXPECT_NE(strB.find("shared 3: lease taken (fencing number "), std::string::npos) << strB;
    EXPECT_TRUE(WaitFor([&] { return Get("/tasks", nPortB).find("\"passes\":0") == std::string::npos; }, 20000));

    // An orderly exit gives the leases back at once.
    const pid_t pidC = SpawnRunner(nPortA, "c.err", { "--lease", "60" });
    ASSERT_GT(pidC, 0);
    ASSERT_TRUE(WaitFor([&] { return Held(nPortA) == 0; }, 20000));
    kill(pidB, SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return Held(nPortA) == 4; }, 20000)) << ReadFileText(m_dir.GetPath() + "/c.err");
}

// A runner frozen in the middle of a pass loses its lease; the other runner
// takes the task over and delivers the new record. When the frozen one
// wakes, its pass must not deliver that record again: its fencing number is
// older than the task's newest.
TEST_F(RunnerProcessTest, FencingKeepsAStalePassFromDeliveringTwice)
{
    CheckStalePassDeliversNothingTwice({ "--data-dir", m_dir.GetPath() + "/data" });
}

TEST_F(RunnerProcessTest, PendingDeliveriesShowWhileTheWebPostIsDown)
{
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostStatus = 503;
    }
    const auto id = m_client.AddTask(PostingTask(m_site.Url("/page")));
    ASSERT_TRUE(id);
    Spawn();
    // The three new records wait in the outbox while the target refuses them.
    EXPECT_TRUE(WaitFor([&] { return Metric("quarvex_task_pending_deliveries", *id) == 3; }, 20000)) << Log();
    EXPECT_EQ(Metric("quarvex_task_new_records_total", *id), 3);
}

TEST_F(RunnerProcessTest, FencingHoldsAcrossRunnersWithTheRecordsInPostgres)
{
    // The hand-over of the test above, with both runners keeping the
    // records in one PostgreSQL database, as runners on two machines do.
    if (CPostgresServer::FindBinDir().empty())
        GTEST_SKIP() << "PostgreSQL is not installed (Debian's postgresql package)";
    std::string strError;
    CPostgresServer* pServer = SharedPostgresServer(strError);
    ASSERT_NE(pServer, nullptr) << strError;
    const std::string strRecordsDb = pServer->CreateDatabase(strError);
    ASSERT_FALSE(strRecordsDb.empty()) << strError;
    CheckStalePassDeliversNothingTwice({ "--records-db", strRecordsDb });
}
