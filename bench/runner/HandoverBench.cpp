// HandoverBench.cpp - three quarvex-runner processes share one account
// through two quarvex-store servers on one PostgreSQL: kill -9 the runner
// holding the most tasks and measure how long until the others hold and
// run all of them, and count the records the web post received more than
// once. The runners share one data folder (one machine), so the record
// state and its fencing numbers are shared.
#include "ChildServer.h"
#include "NginxServer.h"
#include "PostgresServer.h"
#include "TempDir.h"
#include "store/StoreClient.h"

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quarvex;

namespace {

using Clock = std::chrono::steady_clock;

std::string Page(const std::vector<std::string>& aRows)
{
    std::string s = "<html><body><table>\n";
    for (const std::string& strRow : aRows)
        s += "<tr><td>" + strRow + "</td><td>1</td></tr>\n";
    return s + "</table></body></html>\n";
}

std::string Definition(int nIndex, const std::string& strPage, const std::string& strPost, int nPeriod)
{
    return "<root><general><taskname>t" + std::to_string(nIndex) + "</taskname><frequence>" +
           std::to_string(nPeriod) + "</frequence><autoload>1</autoload></general><network><url>" + strPage +
           "</url><refurl></refurl><method>0</method><webpost>1</webpost><webpostmethod>1</webpostmethod>"
           "<webposturl>" + strPost + "?task=" + std::to_string(nIndex) + "</webposturl><webpostvar>n=&lt;@@name@@&gt;"
           "</webpostvar></network><database><type>0</type><savetodb>0</savetodb></database><location>"
           "<path>html@body@table@tr</path><step>#tr</step><data><type>0</type><name>name</name><path>@td</path>"
           "<order>1</order><only>1</only></data></location></root>";
}

pid_t Spawn(std::vector<std::string> aArgs, const std::string& strLog, const std::string& strPassword)
{
    std::vector<char*> apArgs;
    for (std::string& s : aArgs)
        apArgs.push_back(s.data());
    apArgs.push_back(nullptr);
    std::string strEnv = "QUARVEX_PASSWORD=" + strPassword;
    char* apEnv[] = { strEnv.data(), nullptr };
    const pid_t pid = fork();
    if (pid == 0) {
        const int hLog = open(strLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(hLog, 2);
        execve(apArgs[0], apArgs.data(), apEnv);
        _exit(127);
    }
    return pid;
}

int LeasesHeld(int nPort)
{
    httplib::Client client("127.0.0.1", nPort);
    client.set_read_timeout(5, 0);
    const auto result = client.Get("/metrics");
    if (!result || result->status != 200)
        return -1;
    const std::size_t nAt = result->body.find("\nquarvex_runner_leases_held ");
    return nAt == std::string::npos ? -1 : std::atoi(result->body.c_str() + nAt + 28);
}

} // namespace

int main(int argc, char** argv)
{
    int nTasks = 300;
    int nLease = 10;
    int nPeriod = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--tasks") == 0)
            nTasks = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--lease") == 0)
            nLease = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--period") == 0)
            nPeriod = std::atoi(argv[i + 1]);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string strError;
    CPostgresServer pg;
    if (!pg.Start(strError)) {
        std::fprintf(stderr, "PostgreSQL: %s\n", strError.c_str());
        return 1;
    }
    const std::string strUri = pg.CreateDatabase(strError);
    if (strUri.empty()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", strError.c_str());
        return 1;
    }
    CTempDir dir;
    const std::string strAdd = "echo pw | " + std::string(QUARVEX_STORE) + " --db '" + strUri + "' adduser bench > " +
                               dir.GetPath() + "/adduser.log 2>&1";
    if (std::system(strAdd.c_str()) != 0) {
        std::fprintf(stderr, "adduser failed\n");
        return 1;
    }
    CChildServer stores[2];
    int anStorePorts[2];
    for (int i = 0; i < 2; ++i) {
        anStorePorts[i] = FindFreePort();
        if (stores[i].Start({ QUARVEX_STORE, "--db", strUri, "serve", "--listen",
                              "127.0.0.1:" + std::to_string(anStorePorts[i]) },
                            anStorePorts[i]) != CChildServer::STARTED) {
            std::fprintf(stderr, "store server %d did not start\n", i);
            return 1;
        }
    }

    // Pages: one per task, so every task has its own records.
    CNginxServer nginx;
    std::vector<std::string> aRows = { "a", "b", "c" };
    for (int i = 0; i < nTasks; ++i)
        nginx.WriteFile("p" + std::to_string(i) + ".html", Page(aRows));
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx: %s\n", nginx.GetError().c_str());
        return 1;
    }
    // The web post's receiver: every (task, record) it got, how often, when.
    httplib::Server posts;
    std::mutex postMutex;
    std::map<std::pair<std::string, std::string>, int> counts;
    std::map<std::string, Clock::time_point> lastNew;
    posts.Post("/post", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(postMutex);
        const std::string strTask = req.get_param_value("task");
        ++counts[{ strTask, req.body }];
        if (req.body == "n=new")
            lastNew[strTask] = Clock::now();
        res.set_content("ok", "text/plain");
    });
    const int nPostPort = posts.bind_to_any_port("127.0.0.1");
    std::thread postThread([&] { posts.listen_after_bind(); });
    const std::string strPost = "http://127.0.0.1:" + std::to_string(nPostPort) + "/post";

    CStoreClient client("127.0.0.1:" + std::to_string(anStorePorts[0]));
    if (client.Login("bench", "pw") != StoreLogin::OK)
        return 1;
    for (int i = 0; i < nTasks; ++i) {
        if (!client.AddTask(Definition(i, nginx.GetUrl("/p" + std::to_string(i) + ".html"), strPost, nPeriod)))
            return 1;
    }

    const std::string strData = dir.GetPath() + "/data";
    const std::string strConfig = dir.WriteFile("Config.dat", "<general></general>");
    pid_t aPids[3];
    int anPorts[3];
    for (int i = 0; i < 3; ++i) {
        anPorts[i] = FindFreePort();
        aPids[i] = Spawn({ QUARVEX_RUNNER, "--server", "127.0.0.1:" + std::to_string(anStorePorts[i % 2]), "--user",
                           "bench", "--lease", std::to_string(nLease), "--data-dir", strData, "--config", strConfig,
                           "--listen", "127.0.0.1:" + std::to_string(anPorts[i]) },
                         dir.GetPath() + "/runner" + std::to_string(i) + ".log", "pw");
    }
    auto AllDelivered = [&](const std::string& strBody, const std::set<std::string>& setTasks) {
        std::lock_guard lock(postMutex);
        for (const std::string& strTask : setTasks) {
            if (counts.count({ strTask, strBody }) == 0)
                return false;
        }
        return true;
    };
    std::set<std::string> setAll;
    for (int i = 0; i < nTasks; ++i)
        setAll.insert(std::to_string(i));
    const Clock::time_point tStart = Clock::now();
    while (!AllDelivered("n=c", setAll)) {
        if (Clock::now() - tStart > std::chrono::seconds(120)) {
            std::fprintf(stderr, "not every task delivered within 120 s\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    int anHeld[3];
    int nVictim = 0;
    for (int i = 0; i < 3; ++i) {
        anHeld[i] = LeasesHeld(anPorts[i]);
        if (anHeld[i] > anHeld[nVictim])
            nVictim = i;
    }
    std::printf("%d tasks, lease %d s, period %d s; leases held: %d, %d, %d; all delivered after %.1f s\n", nTasks,
                nLease, nPeriod, anHeld[0], anHeld[1], anHeld[2],
                std::chrono::duration<double>(Clock::now() - tStart).count());

    // Every page gains a record, and the busiest runner dies at once.
    aRows.push_back("new");
    for (int i = 0; i < nTasks; ++i)
        nginx.WriteFile("p" + std::to_string(i) + ".html", Page(aRows));
    kill(aPids[nVictim], SIGKILL);
    waitpid(aPids[nVictim], nullptr, 0);
    const Clock::time_point tKill = Clock::now();
    double dTakeover = -1;
    while (Clock::now() - tKill < std::chrono::seconds(6 * nLease)) {
        int nHeld = 0;
        for (int i = 0; i < 3; ++i)
            nHeld += i == nVictim ? 0 : std::max(0, LeasesHeld(anPorts[i]));
        if (nHeld == nTasks && dTakeover < 0)
            dTakeover = std::chrono::duration<double>(Clock::now() - tKill).count();
        if (dTakeover >= 0 && AllDelivered("n=new", setAll))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double dAllNew = std::chrono::duration<double>(Clock::now() - tKill).count();
    // Late stale passes would show up now.
    std::this_thread::sleep_for(std::chrono::seconds(2 * nPeriod));
    int nTwice = 0;
    int nMissing = 0;
    {
        std::lock_guard lock(postMutex);
        for (const auto& [key, n] : counts)
            nTwice += n > 1 ? 1 : 0;
        for (const std::string& strTask : setAll) {
            for (const char* pszRow : { "n=a", "n=b", "n=c", "n=new" })
                nMissing += counts.count({ strTask, pszRow }) == 0 ? 1 : 0;
        }
    }
    std::printf("killed runner %d (%d tasks): the others held all %d leases after %.1f s (two lease periods: %d s); "
                "every task delivered its new record %.1f s after the kill\n",
                nVictim, anHeld[nVictim], nTasks, dTakeover, 2 * nLease, dAllNew);
    std::printf("records delivered more than once: %d; records never delivered: %d (of %d)\n", nTwice, nMissing,
                4 * nTasks);
    for (int i = 0; i < 3; ++i) {
        if (i != nVictim) {
            kill(aPids[i], SIGTERM);
            waitpid(aPids[i], nullptr, 0);
        }
    }
    if (std::getenv("QUARVEX_BENCH_LOGS") != nullptr)
        std::system(("grep -h -i 'lease\\|renew' " + dir.GetPath() + "/runner*.log | sort | head -40").c_str());
    posts.stop();
    postThread.join();
    return 0;
}
