// RunnerBench.cpp - one runner with many tasks against a private nginx: how
// late passes start (schedule slip), resident memory per task, and the CPU
// the runner takes while the pages are unchanged (every pass a 304) or, with
// --full, parsed again each time. The store runs in this process and is
// used only before the measured window (relisting is timed on its own).
#include "NginxServer.h"
#include "TempDir.h"
#include "runner/Runner.h"
#include "server/StoreServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace quarvex;

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string strLine;
    while (std::getline(status, strLine)) {
        if (strLine.rfind("VmRSS:", 0) == 0)
            return std::atol(strLine.c_str() + 6);
    }
    return 0;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Page(int nRows)
{
    std::string s = "<html><head><title>bench</title></head><body>\n<table>\n";
    for (int i = 0; i < nRows; ++i)
        s += "<tr><td>item " + std::to_string(i) + "</td><td>" + std::to_string(i * 3 + 1) + ".50</td></tr>\n";
    s += "</table>\n</body></html>\n";
    return s;
}

std::string Definition(int nIndex, const std::string& strUrl, int nPeriod)
{
    return "<root><general><taskname>bench " + std::to_string(nIndex) + "</taskname><frequence>" +
           std::to_string(nPeriod) + "</frequence><autoload>1</autoload></general><network><url>" + strUrl +
           "</url><refurl></refurl><method>0</method><webpost>0</webpost></network><database><type>0</type>"
           "<savetodb>0</savetodb></database><location><path>html@body@table@tr</path><step>#tr</step>"
           "<data><type>0</type><name>name</name><path>@td</path><order>1</order><only>1</only></data>"
           "<data><type>0</type><name>price</name><path>@td#td</path><order>2</order><only>0</only></data>"
           "</location></root>";
}

double Percentile(std::vector<double> a, double dP)
{
    if (a.empty())
        return 0;
    std::sort(a.begin(), a.end());
    const std::size_t n = std::min(a.size() - 1, static_cast<std::size_t>(dP * (a.size() - 1) + 0.5));
    return a[n];
}

} // namespace

int main(int argc, char** argv)
{
    int nTasks = 1000;
    int nPeriod = 10;
    int nDuration = 300;
    int nRows = 10;
    bool bFull = false;
    for (int i = 1; i < argc; ++i) {
        const bool bValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--tasks") == 0 && bValue)
            nTasks = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--period") == 0 && bValue)
            nPeriod = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--duration") == 0 && bValue)
            nDuration = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--rows") == 0 && bValue)
            nRows = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--full") == 0)
            bFull = true;
        else {
            std::fprintf(stderr, "usage: bench_runner [--tasks N] [--period S] [--duration S] [--rows N] [--full]\n");
            return 2;
        }
    }
    if (nTasks < 1 || nPeriod < 1 || nDuration < 1 || nRows < 0)
        return 2;

    // Many threads per task: make sure the limit on open files is not the bound.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    CNginxServer nginx;
    nginx.WriteFile("page.html", Page(nRows));
    // --full: no validators are honoured, so every pass parses the page.
    if (!nginx.Start(bFull ? "etag off; if_modified_since off;" : "")) {
        std::fprintf(stderr, "nginx: %s\n", nginx.GetError().c_str());
        return 1;
    }
    CTempDir dir;
    CStoreServer store;
    std::string strError;
    if (!store.Open(dir.GetPath() + "/store.db", strError) || !store.Start("127.0.0.1", 0, strError, 8) ||
        !store.GetService().AddUser("bench", "bench", strError)) {
        std::fprintf(stderr, "store: %s\n", strError.c_str());
        return 1;
    }
    CStoreClient client("127.0.0.1:" + std::to_string(store.GetPort()));
    if (client.Login("bench", "bench") != StoreLogin::OK)
        return 1;
    for (int i = 0; i < nTasks; ++i) {
        if (!client.AddTask(Definition(i, nginx.GetUrl("/page.html"), nPeriod))) {
            std::fprintf(stderr, "adding task %d failed\n", i);
            return 1;
        }
    }

    std::FILE* pNull = std::fopen("/dev/null", "w");
    CRunnerLog log(pNull);
    std::mutex slipMutex;
    std::vector<double> aSlips;
    bool bMeasuring = false;
    SRunnerSetup setup;
    setup.strUser = "bench";
    setup.strPassword = "bench";
    setup.fnSlip = [&](double dSlip) {
        std::lock_guard lock(slipMutex);
        if (bMeasuring)
            aSlips.push_back(dSlip);
    };
    CStoreClient runnerStore(client.GetServer());
    CRunner runner(runnerStore, log, setup);
    if (runner.Login() != StoreLogin::OK)
        return 1;
    const long nRssBefore = ResidentKb();

    Clock::time_point tStart = Clock::now();
    double dCpuStart = CpuSeconds();
    runner.Relist();
    const double dFirstRelist = std::chrono::duration<double>(Clock::now() - tStart).count();
    const double dFirstRelistCpu = CpuSeconds() - dCpuStart;

    // Warm-up: two periods, so every task has run and counts down.
    std::this_thread::sleep_for(std::chrono::seconds(2 * nPeriod + 2));
    // An unchanged relist: the version list, and the definitions of changed
    // tasks (none here; a store without versions loads every one).
    tStart = Clock::now();
    dCpuStart = CpuSeconds();
    runner.Relist();
    const double dRelist = std::chrono::duration<double>(Clock::now() - tStart).count();
    const double dRelistCpu = CpuSeconds() - dCpuStart;

    std::int64_t nPassesBefore = 0;
    for (const STaskStatus& t : runner.GetStatus().aTasks)
        nPassesBefore += t.nPasses;
    {
        std::lock_guard lock(slipMutex);
        bMeasuring = true;
    }
    tStart = Clock::now();
    dCpuStart = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(nDuration));
    const double dCpu = CpuSeconds() - dCpuStart;
    const double dWall = std::chrono::duration<double>(Clock::now() - tStart).count();
    {
        std::lock_guard lock(slipMutex);
        bMeasuring = false;
    }
    const long nRssAfter = ResidentKb();
    const SRunnerStatus status = runner.GetStatus();
    std::int64_t nPasses = 0;
    std::int64_t nFailed = 0;
    std::int64_t nKeptText = 0;
    for (const STaskStatus& t : status.aTasks) {
        nPasses += t.nPasses;
        nFailed += t.nFailedPasses;
    }
    nPasses -= nPassesBefore;
    // What the kept records hold: the page's cells, once per task.
    for (int i = 0; i < nRows; ++i)
        nKeptText += static_cast<std::int64_t>(("item " + std::to_string(i)).size() +
                                               std::to_string(i * 3 + 1).size() + 3);
    nKeptText *= nTasks;

    std::vector<double> aCopy;
    {
        std::lock_guard lock(slipMutex);
        aCopy = aSlips;
    }
    std::printf("tasks %d, period %d s, %d rows, %s pages, measured %.0f s after %d s of warm-up\n", nTasks, nPeriod,
                nRows, bFull ? "changed (parsed every pass)" : "unchanged (304)", dWall, 2 * nPeriod + 2);
    std::printf("tasks running: %d of %zu; passes in the window: %lld (%.1f/s, expected %.1f/s), failed %lld\n",
                status.nRunning, status.aTasks.size(), static_cast<long long>(nPasses), nPasses / dWall,
                static_cast<double>(nTasks) / nPeriod, static_cast<long long>(nFailed));
    std::printf("schedule slip over %zu pass starts: p50 %.3f s, p99 %.3f s, max %.3f s\n", aCopy.size(),
                Percentile(aCopy, 0.50), Percentile(aCopy, 0.99), Percentile(aCopy, 1.0));
    std::printf("resident memory: %ld KB before the tasks, %ld KB after; %.1f KB per task "
                "(kept record text %.1f KB per task)\n",
                nRssBefore, nRssAfter, static_cast<double>(nRssAfter - nRssBefore) / nTasks,
                nKeptText / 1024.0 / nTasks);
    std::printf("CPU in the window: %.2f s of %.0f s = %.1f%% of one core (runner, without relists)\n", dCpu, dWall,
                100.0 * dCpu / dWall);
    std::printf("first relist (load and start every task): %.2f s wall, %.2f s CPU\n", dFirstRelist, dFirstRelistCpu);
    std::printf("unchanged relist: %.2f s wall, %.2f s CPU "
                "(runner and in-process store together)\n",
                dRelist, dRelistCpu);
    runner.StopAll();
    std::fclose(pNull);
    return 0;
}
