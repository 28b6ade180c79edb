// RecordStateBench.cpp - what keeping records across restarts costs.
//
// 1. Loading: a state file with 1,000,000 kept records of 5 columns is loaded
//    into a task (LoadDefinition with the file set): time, and the process's
//    resident memory before and after against the bytes of kept text.
// 2. A pass of 10,000 records of which 100 are new, with the record state
//    against the same pass kept in memory only (the same 9,900 rows kept
//    beforehand): the difference is what the state adds to the pass.
// 3. A pass that posts 1,000 new records to a local server, with the outbox
//    (record state) against without it.
// Each pair runs interleaved, the same page and rounds for both; medians.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "engine/RecordStore.h"
#include "engine/Task.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> a)
{
    std::sort(a.begin(), a.end());
    return a.empty() ? 0 : a[a.size() / 2];
}

long RssKb()
{
    std::ifstream file("/proc/self/statm");
    long nPages = 0, nResident = 0;
    file >> nPages >> nResident;
    return nResident * (sysconf(_SC_PAGESIZE) / 1024);
}

constexpr int ROUNDS = 5;
constexpr int POST_ROUNDS = 15;

std::string Definition(int nPort, int nColumns, bool bPost)
{
    std::string s = "<root><network><url>http://127.0.0.1:" + std::to_string(nPort) + "/page</url>";
    if (bPost)
        s += "<webpost>1</webpost><webpostmethod>1</webpostmethod><webposturl>http://127.0.0.1:"
             + std::to_string(nPort) + "/post</webposturl><webpostvar>a=&lt;@@c0@@&gt;</webpostvar>";
    s += "</network><location><path>html@body@table@tr</path><step>#tr</step>";
    std::string strPath = "@td";
    for (int i = 0; i < nColumns; ++i) {
        s += "<data><type>0</type><name>c" + std::to_string(i) + "</name><path>" + strPath + "</path><order>"
             + std::to_string(i + 1) + "</order><only>" + (i == 0 ? "1" : "0") + "</only></data>";
        strPath += "#td";
    }
    return s + "</location></root>";
}

// Row i of every table: a key and four more cells, about 20 bytes each.
CDataRow Row(int i)
{
    const std::string strI = std::to_string(i);
    return {"item-" + strI + "-abcdefghij", "title " + strI + " of the page", "2026-12-01 12:00:00",
            "12.50 " + strI + " yuan", "category-" + std::to_string(i % 97) + "-xyz"};
}

std::string Page(int nFirst, int nCount)
{
    std::string s = "<html><body><table>\n";
    for (int i = nFirst; i < nFirst + nCount; ++i) {
        s += "<tr>";
        for (const std::string& strCell : Row(i))
            s += "<td>" + strCell + "</td>";
        s += "</tr>\n";
    }
    return s + "</table></body></html>\n";
}

// A state file holding rows [0, nRows), as a task with this definition
// would have written it.
void WriteState(const std::string& strPath, const std::string& strDef, int nRows)
{
    std::filesystem::remove(strPath);
    std::filesystem::remove(strPath + "-wal");
    std::filesystem::remove(strPath + "-shm");
    {
        // The task writes the signature and the column names.
        CTask task;
        task.SetRecordStateFile(strPath);
        task.LoadDefinition(strDef.c_str());
    }
    auto pStore = CreateSqliteRecordStore(strPath, false);
    std::string strError;
    if (!pStore->Open(strError)) {
        std::fprintf(stderr, "cannot write %s: %s\n", strPath.c_str(), strError.c_str());
        std::exit(1);
    }
    CDataList keys;
    keys.SetKeyColumns({0});
    pStore->Begin();
    for (int i = 0; i < nRows; ++i) {
        SStoredRecord record;
        record.aRow = Row(i);
        record.strKey = keys.KeyOf(record.aRow);
        record.tFirstSeen = record.tLastSeen = record.tLastChanged = 1765000000;
        record.nSeenPass = 1;
        pStore->PutRecord(record);
    }
    pStore->SetMeta("pass", "1");
    pStore->Commit();
}

void CopyState(const std::string& strFrom, const std::string& strTo)
{
    for (const char* pszEnd : {"", "-wal", "-shm"}) {
        std::filesystem::remove(strTo + pszEnd);
        if (std::filesystem::exists(strFrom + pszEnd))
            std::filesystem::copy_file(strFrom + pszEnd, strTo + pszEnd);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int nLoadRows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::string strDir = std::filesystem::temp_directory_path() / ("quarvex-bench-records-" + std::to_string(getpid()));
    std::filesystem::create_directories(strDir);

    httplib::Server server;
    std::string strPage;
    std::mutex mutex;
    int nPosts = 0;
    server.Get("/page", [&](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex);
        res.set_content(strPage, "text/html");
    });
    server.Post("/post", [&](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(mutex);
        ++nPosts;
        res.set_content("ok", "text/plain");
    });
    const int nPort = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    const std::string strDef = Definition(nPort, 5, false);

    // 1. Loading.
    {
        const std::string strState = strDir + "/load.records";
        WriteState(strState, strDef, nLoadRows);
        std::size_t nText = 0;
        for (int i = 0; i < nLoadRows; ++i)
            for (const std::string& strCell : Row(i))
                nText += strCell.size();
        std::vector<double> aMs;
        long nGrowthKb = 0;
        for (int nRound = 0; nRound < ROUNDS; ++nRound) {
            const long nBefore = RssKb();
            auto pTask = std::make_unique<CTask>();
            pTask->SetRecordStateFile(strState);
            const auto t0 = Clock::now();
            pTask->LoadDefinition(strDef.c_str());
            aMs.push_back(Ms(Clock::now() - t0));
            if (nRound == 0)
                nGrowthKb = RssKb() - nBefore;
            if (pTask->GetDataList().GetCount() != static_cast<std::size_t>(nLoadRows))
                std::fprintf(stderr, "loaded %zu rows, not %d\n", pTask->GetDataList().GetCount(), nLoadRows);
        }
        std::printf("load %d kept records of 5 columns: median %.0f ms (of %d); memory +%.1f MiB for %.1f MiB "
                    "of kept text = %.2fx\n",
                    nLoadRows, Median(aMs), ROUNDS, nGrowthKb / 1024.0, nText / 1048576.0,
                    nGrowthKb * 1024.0 / static_cast<double>(nText));
    }

    // 2. A pass of 10,000 records, 100 new.
    {
        {
            std::lock_guard lock(mutex);
            strPage = Page(0, 10000);
        }
        const std::string strTemplate = strDir + "/pass-template.records";
        WriteState(strTemplate, strDef, 9900);
        const std::string strState = strDir + "/pass.records";
        std::vector<double> aWith, aWithout;
        for (int nRound = 0; nRound < ROUNDS; ++nRound) {
            {
                CTask task;
                task.LoadDefinition(strDef.c_str());
                for (int i = 0; i < 9900; ++i)
                    task.GetDataList().Append(Row(i));
                const auto t0 = Clock::now();
                task.RunPass();
                aWithout.push_back(Ms(Clock::now() - t0));
            }
            {
                CopyState(strTemplate, strState);
                CTask task;
                task.SetRecordStateFile(strState);
                task.LoadDefinition(strDef.c_str());
                const auto t0 = Clock::now();
                task.RunPass();
                aWith.push_back(Ms(Clock::now() - t0));
                if (task.GetDataList().GetCount() != 10000)
                    std::fprintf(stderr, "the pass kept %zu rows\n", task.GetDataList().GetCount());
            }
        }
        std::printf("pass of 10000 records, 100 new: in memory %.1f ms, with record state %.1f ms, "
                    "difference %.1f ms (medians of %d)\n",
                    Median(aWithout), Median(aWith), Median(aWith) - Median(aWithout), ROUNDS);
    }

    // 3. 1,000 new records posted.
    {
        {
            std::lock_guard lock(mutex);
            strPage = Page(0, 1000);
        }
        const std::string strPostDef = Definition(nPort, 5, true);
        const std::string strState = strDir + "/post.records";
        // Posting is ruled by the loopback server's thread wake-ups, which
        // vary from pass to pass: more rounds, and one of each unmeasured
        // first.
        std::vector<double> aWith, aWithout;
        for (int nRound = -1; nRound < POST_ROUNDS; ++nRound) {
            {
                CTask task;
                task.LoadDefinition(strPostDef.c_str());
                const auto t0 = Clock::now();
                task.RunPass();
                if (nRound >= 0)
                    aWithout.push_back(Ms(Clock::now() - t0));
            }
            {
                for (const char* pszEnd : {"", "-wal", "-shm"})
                    std::filesystem::remove(strState + pszEnd);
                CTask task;
                task.SetRecordStateFile(strState);
                task.LoadDefinition(strPostDef.c_str());
                const auto t0 = Clock::now();
                task.RunPass();
                if (nRound >= 0)
                    aWith.push_back(Ms(Clock::now() - t0));
                if (task.GetPendingDeliveries(SINK_WEBPOST) != 0)
                    std::fprintf(stderr, "%zu posts left pending\n", task.GetPendingDeliveries(SINK_WEBPOST));
            }
        }
        std::printf("pass posting 1000 new records: without outbox %.1f ms, with outbox %.1f ms, +%.1f%% "
                    "(medians of %d; %d posts received)\n",
                    Median(aWithout), Median(aWith), (Median(aWith) / Median(aWithout) - 1) * 100, POST_ROUNDS, nPosts);
    }

    server.stop();
    thread.join();
    std::filesystem::remove_all(strDir);
    return 0;
}
