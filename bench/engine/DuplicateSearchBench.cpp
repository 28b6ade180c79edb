// DuplicateSearchBench.cpp - what recognising new records costs when the data
// list is large: 10,000 records per pass against 100,000 kept rows.
//
// Two figures: the key lookups and appends alone, and a whole pass over a
// local page of 10,000 records (half of them kept already) with 100,000 rows
// kept, against the same pass with only the 5,000 matching rows kept. Both
// passes extract and keep the same 5,000 new records, so the difference is
// what the 95,000 further rows cost the duplicate search.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/Task.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

constexpr int KEPT_ROWS = 100000;
constexpr int PASS_RECORDS = 10000;
constexpr int ROUNDS = 5;

std::string Key(int i)
{
    return "item-" + std::to_string(i) + "-\xd6\xd0";
}

// Half of a pass's records are already kept, half are new.
double LookupsOnly()
{
    double dBest = 1e9;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        CDataList list;
        list.SetKeyColumns({0});
        for (int i = 0; i < KEPT_ROWS; ++i)
            list.Append({Key(i), "12.50", "2026-12-01"});
        const auto t0 = Clock::now();
        int nNew = 0;
        for (int i = 0; i < PASS_RECORDS; ++i) {
            CDataRow aRecord = {Key(KEPT_ROWS - PASS_RECORDS / 2 + i), "", ""};
            if (!list.ContainsKey(aRecord)) {
                list.Append(aRecord);
                ++nNew;
            }
        }
        dBest = std::min(dBest, Ms(Clock::now() - t0));
        if (nNew != PASS_RECORDS / 2)
            std::fprintf(stderr, "unexpected count of new records: %d\n", nNew);
    }
    return dBest;
}

std::string MakePage()
{
    std::string s = "<html><body><table>\n";
    for (int i = 0; i < PASS_RECORDS; ++i)
        s += "<tr><td>" + Key(KEPT_ROWS - PASS_RECORDS / 2 + i) + "</td><td>12.50</td></tr>\n";
    s += "</table></body></html>\n";
    return s;
}

double PassMs(const std::string& strDef, int nFirstKept)
{
    double dBest = 1e9;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        CTask task;
        task.LoadDefinition(strDef.c_str());
        for (int i = nFirstKept; i < KEPT_ROWS; ++i)
            task.GetDataList().Append({Key(i), "12.50"});
        const auto t0 = Clock::now();
        task.RunPass();
        dBest = std::min(dBest, Ms(Clock::now() - t0));
        const std::size_t nExpected = static_cast<std::size_t>(KEPT_ROWS - nFirstKept + PASS_RECORDS / 2);
        if (task.GetDataList().GetCount() != nExpected)
            std::fprintf(stderr, "the pass kept %zu rows, not %zu\n", task.GetDataList().GetCount(),
                         nExpected);
    }
    return dBest;
}

} // namespace

int main()
{
    std::printf("key lookups and appends, %d records against %d rows: %.2f ms (best of %d)\n",
                PASS_RECORDS, KEPT_ROWS, LookupsOnly(), ROUNDS);

    httplib::Server server;
    const std::string strPage = MakePage();
    server.Get("/page", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(strPage, "text/html");
    });
    const int nPort = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });

    const std::string strDef =
        "<root><network><url>http://127.0.0.1:" + std::to_string(nPort) +
        "/page</url></network><location><path>html@body@table@tr</path><step>#tr</step>"
        "<data><type>0</type><name>name</name><path>@td</path><order>1</order><only>1</only></data>"
        "<data><type>0</type><name>price</name><path>@td#td</path><order>2</order></data>"
        "</location></root>";
    const double dFew = PassMs(strDef, KEPT_ROWS - PASS_RECORDS / 2);
    const double dFull = PassMs(strDef, 0);
    std::printf("whole pass of %d records, %d rows kept: %.2f ms; %d rows kept: %.2f ms; "
                "difference %.2f ms (best of %d)\n",
                PASS_RECORDS, PASS_RECORDS / 2, dFew, KEPT_ROWS, dFull, dFull - dFew, ROUNDS);

    server.stop();
    thread.join();
    return 0;
}
