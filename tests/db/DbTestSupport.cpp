// DbTestSupport.cpp - helpers of the database tests, and the rules every row
// back-end (SQLite, ODBC) must follow whatever database is behind it.
#include "DbTestSupport.h"

#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>

bool SqliteExec(const std::string& strPath, const std::string& strSql, std::string* pError)
{
    sqlite3* pDb = nullptr;
    bool bOk = sqlite3_open(strPath.c_str(), &pDb) == SQLITE_OK;
    char* pszError = nullptr;
    bOk = bOk && sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, &pszError) == SQLITE_OK;
    if (!bOk && pError != nullptr)
        *pError = pszError ? pszError : sqlite3_errmsg(pDb);
    sqlite3_free(pszError);
    sqlite3_close(pDb);
    return bOk;
}

DbRows SqliteQuery(const std::string& strPath, const std::string& strSql)
{
    DbRows rows;
    sqlite3* pDb = nullptr;
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_open(strPath.c_str(), &pDb) == SQLITE_OK
        && sqlite3_prepare_v2(pDb, strSql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            std::vector<DbCell> row;
            for (int i = 0; i < sqlite3_column_count(pStmt); ++i) {
                if (sqlite3_column_type(pStmt, i) == SQLITE_NULL) {
                    row.emplace_back(std::nullopt);
                } else {
                    const void* pData = sqlite3_column_blob(pStmt, i);
                    const int nLen = sqlite3_column_bytes(pStmt, i);
                    row.emplace_back(std::string(static_cast<const char*>(pData), pData ? nLen : 0));
                }
            }
            rows.push_back(std::move(row));
        }
    } else {
        ADD_FAILURE() << "query failed: " << strSql << ": " << sqlite3_errmsg(pDb);
    }
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    return rows;
}

void WriteFile(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream file(strPath, std::ios::binary);
    file.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size()));
}

namespace {

double Number(const DbCell& cell)
{
    return cell ? std::strtod(cell->c_str(), nullptr) : -1e300;
}

} // namespace

void CheckRowRules(CRowBackend& backend, const std::string& strScratchDir)
{
    ASSERT_TRUE(backend.m_fnExec(backend.m_strCreateItems));
    const std::string strFile = strScratchDir + "/saved.bin";
    WriteFile(strFile, std::string("bytes\0x", 7));

    CDbSettings settings = backend.m_settings;
    settings.m_strTable = "items";
    settings.m_aFieldNames = { "title", "price", "qty", "amount", "day", "stamp", "added", "addedtext",
                               "body", "note", "other", "nul", "Title", "nosuch", "tm", "nowday" };
    settings.m_aFieldValues = { "<@@name@@>", "<@@price@@>", "<@@qty@@>", "<@@amount@@>", "<@@day@@>",
                                "<@@day@@>", "<@NOW@>", "<@NOW@>", "<@#file#@>", "", "x<@@name@@>",
                                "<@NULL@>", "<@@qty@@>", "<@@name@@>", "<@@day@@>", "<@NOW@>" };
    const std::vector<CDbColumn> aColumns = { { "name", false }, { "price", false }, { "qty", false },
                                              { "amount", false }, { "day", false }, { "file", true } };
    CLogLines log;
    const std::time_t tBefore = std::time(nullptr);
    {
        auto pSink = CreateDatabaseSink(settings, aColumns, log.Fn());
        ASSERT_TRUE(pSink->Open()) << log.All();
        EXPECT_TRUE(pSink->InsertRecord({ "O'Brien's", "3.5x", "42abc", "1,234.50", "2006/5/1 13:02:03", strFile }))
            << log.All();
        EXPECT_TRUE(pSink->InsertRecord({ "一二三四五六", "abc", "", "abc", "abc", strFile + ".missing" }))
            << log.All();
        pSink->Release();
    }
    const std::time_t tAfter = std::time(nullptr);
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();

    const DbRows rows = backend.m_fnQuery(
        "select title, price, qty, amount, day, stamp, added, addedtext, body, note, other, nul, tm, nowday"
        " from items order by id");
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<DbCell>& r1 = rows[0];
    const std::vector<DbCell>& r2 = rows[1];
    ASSERT_EQ(r1.size(), 14u);
    EXPECT_EQ(r1[0], "O'Bri");                                  // bound, then cut to five characters
    EXPECT_DOUBLE_EQ(Number(r1[1]), 3.5);                       // leading number
    EXPECT_EQ(Number(r1[2]), 42);                               // leading digits
    if (backend.m_bDecimalColumns) {
        EXPECT_DOUBLE_EQ(Number(r1[3]), 1234.5);                // grouped amount
        EXPECT_EQ(r2[3], std::nullopt);                         // no amount
    }
    EXPECT_EQ(r1[4], "2006-05-01");
    EXPECT_EQ(r1[5].value_or("NULL").substr(0, 19), "2006-05-01 13:02:03");
    EXPECT_GE(Number(r1[6]), static_cast<double>(tBefore));     // now: seconds since 1970
    EXPECT_LE(Number(r1[6]), static_cast<double>(tAfter));
    EXPECT_TRUE(std::regex_match(r1[7].value_or(""), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << r1[7].value_or("NULL");
    EXPECT_EQ(r1[8], std::string("bytes\0x", 7));               // the saved file's bytes
    EXPECT_EQ(r1[9], "n");                                      // empty template: the default
    EXPECT_EQ(r1[10], "o");                                     // mixed template: not set
    EXPECT_EQ(r1[11], std::nullopt);                            // NULL; "Title" matched nothing
    EXPECT_EQ(r1[12], "13:02:03");                              // the time of a date and time
    const std::string strToday = r1[7].value_or("").substr(0, 10);
    EXPECT_EQ(r1[13].value_or("NULL").substr(0, 10), strToday); // now into a date column

    EXPECT_EQ(r2[0], "一二三四五");
    EXPECT_DOUBLE_EQ(Number(r2[1]), 0);
    EXPECT_EQ(Number(r2[2]), 0);
    EXPECT_EQ(r2[4], std::nullopt);                             // no date
    EXPECT_EQ(r2[5], std::nullopt);
    EXPECT_EQ(r2[8], std::nullopt);                             // file missing: not set
    EXPECT_EQ(r2[12], std::nullopt);
}

void CheckRowFailures(CRowBackend& backend)
{
    CDbSettings settings = backend.m_settings;
    settings.m_strTable = "nosuch";
    settings.m_aFieldNames = { "a" };
    settings.m_aFieldValues = { "<@@name@@>" };
    const std::vector<CDbColumn> aColumns = { { "name", false } };
    {
        CLogLines log;
        auto pSink = CreateDatabaseSink(settings, aColumns, log.Fn());
        EXPECT_FALSE(pSink->Open());
        ASSERT_EQ(log.m_aLines.size(), 1u);
        EXPECT_TRUE(std::regex_match(log.m_aLines[0],
                                     std::regex("连接数据库失败！原因：.*nosuch.*。摘取到的内容将无法保存到数据库。")))
            << log.m_aLines[0];
    }

    ASSERT_TRUE(backend.m_fnExec("create table strict1 (id integer primary key, a varchar(10) not null)"));
    settings.m_strTable = "strict1";
    settings.m_aFieldValues = { "<@NULL@>" };
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, aColumns, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    EXPECT_FALSE(pSink->InsertRecord({ "x" }));
    ASSERT_EQ(log.m_aLines.size(), 1u);
    EXPECT_EQ(log.m_aLines[0].rfind("保存摘取到的内容到数据库失败！原因：", 0), 0u) << log.m_aLines[0];
    EXPECT_GT(log.m_aLines[0].size(), std::string("保存摘取到的内容到数据库失败！原因：。").size()) << log.m_aLines[0];
}
