// DbSinkBench.cpp - one pass of 10,000 new records of five columns into each
// back-end: a SQLite file, a private MariaDB server through Connector/C, and
// the same server through its ODBC driver. Prints inserts per second, and
// what a SQLite record costs that comes after a pause and is committed on
// its own. The SQLite file lies in /tmp.
//   db_sink_bench [COUNT] [--durable]
// Every MariaDB insert is its own transaction, so with the server's default
// of flushing its log at every commit the figure is the disk's fsync rate,
// not the sink's. The server therefore flushes once a second
// (innodb_flush_log_at_trx_commit=2) unless --durable is given.
#include "DatabaseSink.h"
#include "MariaDbServer.h"

#include <mysql.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

const char s_szOdbcDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so";

std::vector<std::vector<std::string>> MakeRecords(int nCount)
{
    std::vector<std::vector<std::string>> aRecords;
    aRecords.reserve(static_cast<size_t>(nCount));
    for (int i = 0; i < nCount; ++i) {
        aRecords.push_back({ "商品标题 number " + std::to_string(i), std::to_string(i % 1000) + ".25",
                             std::to_string(i), "http://127.0.0.1/item?id=" + std::to_string(i),
                             "2006-05-01 13:02:03" });
    }
    return aRecords;
}

void SetFields(CDbSettings& settings)
{
    settings.m_strTable = "bench";
    settings.m_aFieldNames = { "title", "price", "qty", "url", "day" };
    settings.m_aFieldValues = { "<@@title@@>", "<@@price@@>", "<@@qty@@>", "<@@url@@>", "<@@day@@>" };
}

// Runs one pass; the time from Open to the end of Release, in seconds, or a
// negative figure when a record failed.
double RunPass(const CDbSettings& settings, const std::vector<std::vector<std::string>>& aRecords)
{
    const std::vector<CDbColumn> aColumns = { { "title", false }, { "price", false }, { "qty", false },
                                              { "url", false }, { "day", false } };
    std::string strLog;
    auto pSink = CreateDatabaseSink(settings, aColumns, [&strLog](const std::string& str) { strLog += str + "\n"; });
    const auto tStart = std::chrono::steady_clock::now();
    if (!pSink->Open()) {
        std::fprintf(stderr, "%s", strLog.c_str());
        return -1;
    }
    for (const auto& aRecord : aRecords) {
        if (!pSink->InsertRecord(aRecord)) {
            std::fprintf(stderr, "%s", strLog.c_str());
            return -1;
        }
    }
    pSink->Release();
    const auto tEnd = std::chrono::steady_clock::now();
    if (!strLog.empty())
        std::fprintf(stderr, "%s", strLog.c_str());
    return std::chrono::duration<double>(tEnd - tStart).count();
}

void Report(const char* pszName, int nCount, double dSeconds, double dTarget)
{
    if (dSeconds < 0) {
        std::printf("%-22s failed\n", pszName);
        return;
    }
    const double dRate = nCount / dSeconds;
    std::printf("%-22s %6d rows in %7.3f s = %9.0f rows/s (target %.0f) %s\n", pszName, nCount, dSeconds, dRate,
                dTarget, dRate >= dTarget ? "ok" : "BELOW TARGET");
}

// A record that comes after a pause (a linked page, a web post) is written
// and committed on its own; this is what such a record pays for its commit.
void ReportAfterPauses(const CDbSettings& settings, const std::vector<std::vector<std::string>>& aRecords)
{
    const std::vector<CDbColumn> aColumns = { { "title", false }, { "price", false }, { "qty", false },
                                              { "url", false }, { "day", false } };
    std::string strLog;
    auto pSink = CreateDatabaseSink(settings, aColumns, [&strLog](const std::string& str) { strLog += str + "\n"; });
    if (!pSink->Open()) {
        std::fprintf(stderr, "%s", strLog.c_str());
        return;
    }
    const int nRecords = std::min<int>(20, static_cast<int>(aRecords.size()));
    std::vector<double> aMs;
    for (int i = 0; i < nRecords; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto tStart = std::chrono::steady_clock::now();
        if (!pSink->InsertRecord(aRecords[static_cast<size_t>(i)])) {
            std::fprintf(stderr, "%s", strLog.c_str());
            return;
        }
        aMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - tStart).count());
    }
    pSink->Release();
    std::sort(aMs.begin(), aMs.end());
    std::printf("%-22s %6d rows, each after a 300 ms pause: median %.1f ms per row (range %.1f-%.1f)\n",
                "SQLite (after pauses)", nRecords, aMs[aMs.size() / 2], aMs.front(), aMs.back());
}

bool MariaExec(unsigned nPort, const std::string& strSql)
{
    MYSQL* pConn = mysql_init(nullptr);
    bool bOk = mysql_real_connect(pConn, "127.0.0.1", CMariaDbServer::ACCOUNT, CMariaDbServer::PASSWORD,
                                  CMariaDbServer::DATABASE, nPort, nullptr, 0) != nullptr
               && mysql_query(pConn, strSql.c_str()) == 0;
    if (!bOk)
        std::fprintf(stderr, "%s\n", mysql_error(pConn));
    mysql_close(pConn);
    return bOk;
}

} // namespace

int main(int argc, char** argv)
{
    int nCount = 10000;
    bool bDurable = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--durable")
            bDurable = true;
        else
            nCount = std::atoi(argv[i]);
    }
    if (nCount <= 0) {
        std::fputs("usage: db_sink_bench [COUNT] [--durable]\n", stderr);
        return 2;
    }
    const auto aRecords = MakeRecords(nCount);

    char szDir[] = "/tmp/quarvex-dbbench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    const std::string strDb = std::string(szDir) + "/bench.db";
    sqlite3* pDb = nullptr;
    sqlite3_open(strDb.c_str(), &pDb);
    sqlite3_exec(pDb, "create table bench (id integer primary key, title varchar(100), price real, qty int,"
                      " url varchar(200), day datetime)", nullptr, nullptr, nullptr);
    sqlite3_close(pDb);
    CDbSettings sqlite;
    sqlite.m_nType = DB_TYPE_SQLITE;
    sqlite.m_strServer = strDb;
    SetFields(sqlite);
    Report("SQLite", nCount, RunPass(sqlite, aRecords), 20000);
    ReportAfterPauses(sqlite, aRecords);
    std::filesystem::remove_all(szDir);

    CMariaDbServer server;
    std::string strError;
    std::vector<std::string> aOptions;
    if (!bDurable)
        aOptions.push_back("--innodb-flush-log-at-trx-commit=2");
    std::printf("MariaDB log flush: %s\n", bDurable ? "at every commit" : "once a second");
    if (!server.Start(strError, aOptions)) {
        std::fprintf(stderr, "MariaDB: %s\n", strError.c_str());
        return 1;
    }
    const char szCreate[] = "create table bench (id int auto_increment primary key, title varchar(100),"
                            " price double, qty int, url varchar(200), day datetime) default charset=utf8mb4";
    CDbSettings native;
    native.m_nType = DB_TYPE_MYSQL;
    native.m_strServer = server.HostPort();
    native.m_strDatabase = CMariaDbServer::DATABASE;
    native.m_strAccount = CMariaDbServer::ACCOUNT;
    native.m_strPassword = CMariaDbServer::PASSWORD;
    SetFields(native);
    // The native statement lists every column; the key, named by no field,
    // gets 0 and the server numbers the rows itself.
    MariaExec(server.Port(), szCreate);
    Report("MariaDB (Connector/C)", nCount, RunPass(native, aRecords), 3000);

    CDbSettings odbc = native;
    odbc.m_nType = DB_TYPE_ODBC;
    odbc.m_strServer = std::string("DRIVER=") + s_szOdbcDriver + ";SERVER=127.0.0.1;PORT="
                       + std::to_string(server.Port());
    SetFields(odbc);
    MariaExec(server.Port(), "drop table bench");
    MariaExec(server.Port(), szCreate);
    Report("MariaDB (ODBC)", nCount, RunPass(odbc, aRecords), 2000);
    return 0;
}
