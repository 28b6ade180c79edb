// LinkedFetchBench.cpp - what fetching linked pages side by side saves: one
// pass of 200 new records, each with one linked page, against a local server
// that answers each linked page after 20 ms.
//
// Three contenders, each a fresh task (so every record is new) on the same
// page and server, with one warm-up pass each and then ROUNDS passes each,
// run in turn (A, B, C, A, B, C, ...); the medians are reported:
//   sequential  one linked page after another, nothing holding requests back
//               (the way passes fetched before);
//   K=2         two requests to the host at once (the default);
//   K=1         one request to the host at once.
// Usage: bench_linked_fetch [ROUNDS] [RECORDS] [DELAY_MS]
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/Task.h"
#include "http/HostLimiter.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Key(const std::string& strName, const std::string& strValue)
{
    return "<" + strName + ">" + strValue + "</" + strName + ">";
}

std::string Definition(const std::string& strUrl)
{
    return "<root><general>" + Key("taskname", "bench") + Key("frequence", "3600") + Key("autoload", "0")
        + "</general><network>" + Key("url", strUrl) + Key("refurl", "") + Key("method", "0") + "</network>"
        + "<location>" + Key("path", "html@body@table@tr") + Key("step", "#tr") + "<data>" + Key("type", "0")
        + Key("name", "name") + Key("path", "@td") + Key("order", "1") + Key("only", "1") + "</data>"
        + "<data>" + Key("type", "4") + Key("name", "detail") + Key("path", "@td#td@a") + Key("order", "2")
        + Key("only", "0") + Key("attribute", "href") + Key("splitter", ",") + "<location>"
        + Key("path", "html@body@p") + Key("step", "") + "<data>" + Key("type", "0") + Key("name", "text")
        + Key("path", "") + Key("order", "1") + Key("only", "0") + "</data></location></data>"
        + "</location></root>";
}

struct SContender {
    const char* pszName;
    int nConnections;
    bool bParallel;
    std::vector<double> aMs;
};

double Median(std::vector<double> a)
{
    std::sort(a.begin(), a.end());
    const std::size_t n = a.size();
    return n % 2 == 1 ? a[n / 2] : (a[n / 2 - 1] + a[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int nRecords = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    const int nDelayMs = argc > 3 ? std::max(0, std::atoi(argv[3])) : 20;

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    std::string strList;
    server.Get("/list", [&](const httplib::Request&, httplib::Response& res) { res.set_content(strList, "text/html"); });
    server.Get(R"(/item/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(nDelayMs));
        res.set_content("<html><body><p>detail " + req.matches[1].str() + "</p></body></html>", "text/html");
    });
    const int nPort = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    strList = "<html><body><table>\n";
    for (int i = 0; i < nRecords; ++i) {
        strList += "<tr><td>item " + std::to_string(i) + "</td><td><a href=\"http://127.0.0.1:"
            + std::to_string(nPort) + "/item/" + std::to_string(i) + "\">more</a></td></tr>\n";
    }
    strList += "</table></body></html>\n";
    const std::string strDef = Definition("http://127.0.0.1:" + std::to_string(nPort) + "/list");

    std::vector<SContender> aContenders = {
        { "sequential", CHostLimiter::MAX_CONNECTIONS, false, {} },
        { "K=2", 2, true, {} },
        { "K=1", 1, true, {} },
    };
    bool bOk = true;
    auto RunOne = [&](SContender& c, bool bRecord) {
        CHostLimiter::Instance().Configure(c.nConnections, 0);
        CTask task;
        task.LoadDefinition(strDef.c_str());
        task.SetParallelFetches(c.bParallel);
        const auto t0 = Clock::now();
        task.RunPass();
        const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (task.GetDataList().GetCount() != static_cast<std::size_t>(nRecords)
            || task.GetDataList().GetRow(static_cast<std::size_t>(nRecords - 1))[1]
                != "detail " + std::to_string(nRecords - 1)) {
            std::fprintf(stderr, "%s: the pass did not keep %d complete records\n", c.pszName, nRecords);
            bOk = false;
        }
        if (bRecord)
            c.aMs.push_back(dMs);
    };
    for (SContender& c : aContenders)
        RunOne(c, false);
    for (int r = 0; r < nRounds; ++r) {
        for (SContender& c : aContenders)
            RunOne(c, true);
    }
    server.stop();
    serverThread.join();

    std::printf("pass of %d new records, one linked page each, answered after %d ms; %d rounds, medians\n",
                nRecords, nDelayMs, nRounds);
    const double dSequential = Median(aContenders[0].aMs);
    for (const SContender& c : aContenders) {
        const double dMedian = Median(c.aMs);
        std::printf("  %-10s  median %8.1f ms  (min %8.1f, max %8.1f)  %.2fx the sequential pass's speed\n",
                    c.pszName, dMedian, *std::min_element(c.aMs.begin(), c.aMs.end()),
                    *std::max_element(c.aMs.begin(), c.aMs.end()), dSequential / dMedian);
    }
    return bOk ? 0 : 1;
}
