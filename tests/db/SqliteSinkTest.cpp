// SqliteSinkTest.cpp - type 0 against real SQLite files, and type 1 through
// the SQLite ODBC driver, named by path so no ini file has to change.
#include "DbBackends.h"
#include "DbTestSupport.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

const char s_szSqliteOdbcDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

const char s_szCreateItems[] =
    "create table items (id integer primary key, title varchar(5) default 'dflt', price real, qty int,"
    " amount decimal(10,2), day date, stamp datetime, added bigint, addedtext varchar(40), body blob,"
    " note varchar(10) default 'n', other varchar(10) default 'o', nul varchar(10) default 'z',"
    " tm time, nowday date)";

CRowBackend SqliteBackend(const std::string& strPath, int nType)
{
    CRowBackend backend;
    backend.m_settings.m_nType = nType;
    if (nType == DB_TYPE_SQLITE) {
        backend.m_settings.m_strServer = strPath;
    } else {
        backend.m_settings.m_strServer = std::string("DRIVER=") + s_szSqliteOdbcDriver;
        backend.m_settings.m_strDatabase = strPath;
        backend.m_bDecimalColumns = false;
    }
    backend.m_fnExec = [strPath](const std::string& strSql) {
        std::string strError;
        const bool bOk = SqliteExec(strPath, strSql, &strError);
        EXPECT_TRUE(bOk) << strSql << ": " << strError;
        return bOk;
    };
    backend.m_fnQuery = [strPath](const std::string& strSql) { return SqliteQuery(strPath, strSql); };
    backend.m_strCreateItems = s_szCreateItems;
    return backend;
}

CDbSettings OneFieldSettings(const std::string& strServer)
{
    CDbSettings settings;
    settings.m_nType = DB_TYPE_SQLITE;
    settings.m_strServer = strServer;
    settings.m_strTable = "t";
    settings.m_aFieldNames = { "a" };
    settings.m_aFieldValues = { "<@@name@@>" };
    return settings;
}

} // namespace

TEST(SqliteSinkTest, EveryTemplateRule)
{
    CTempDir dir;
    CRowBackend backend = SqliteBackend(PathIn(dir, "rules.db"), DB_TYPE_SQLITE);
    CheckRowRules(backend, dir.GetPath());
}

TEST(SqliteSinkTest, MissingTableAndRefusedInsert)
{
    CTempDir dir;
    ASSERT_TRUE(SqliteExec(PathIn(dir, "f.db"), "create table other (x)"));
    CRowBackend backend = SqliteBackend(PathIn(dir, "f.db"), DB_TYPE_SQLITE);
    CheckRowFailures(backend);
}

TEST(SqliteOdbcSinkTest, EveryTemplateRule)
{
    CTempDir dir;
    CRowBackend backend = SqliteBackend(PathIn(dir, "rules.db"), DB_TYPE_ODBC);
    CheckRowRules(backend, dir.GetPath());
}

TEST(SqliteOdbcSinkTest, MissingTableAndRefusedInsert)
{
    CTempDir dir;
    ASSERT_TRUE(SqliteExec(PathIn(dir, "f.db"), "create table other (x)"));
    CRowBackend backend = SqliteBackend(PathIn(dir, "f.db"), DB_TYPE_ODBC);
    CheckRowFailures(backend);
}

// Nothing may create a database the user did not make: neither the sink nor
// the connection test.
TEST(SqliteSinkTest, MissingFileIsNeverCreated)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "absent.db");
    CLogLines log;
    auto pSink = CreateDatabaseSink(OneFieldSettings(strPath), { { "name", false } }, log.Fn());
    EXPECT_FALSE(pSink->Open());
    ASSERT_EQ(log.m_aLines.size(), 1u);
    EXPECT_EQ(log.m_aLines[0], "连接数据库失败！原因：unable to open database file。摘取到的内容将无法保存到数据库。");
    pSink.reset();

    std::string strReason;
    EXPECT_FALSE(TestDatabaseConnection(OneFieldSettings(strPath), strReason));
    EXPECT_EQ(strReason, "unable to open database file");
    EXPECT_FALSE(std::filesystem::exists(strPath));

    WriteFile(strPath, "not a database, just text\n");
    EXPECT_FALSE(TestDatabaseConnection(OneFieldSettings(strPath), strReason));
    EXPECT_EQ(strReason, "file is not a database");
    ASSERT_TRUE(SqliteExec(PathIn(dir, "real.db"), "create table t (a)"));
    EXPECT_TRUE(TestDatabaseConnection(OneFieldSettings(PathIn(dir, "real.db")), strReason)) << strReason;
}

// True when a writer that will not wait at all can take the file now.
static bool FileIsFree(const std::string& strPath)
{
    sqlite3* pDb = nullptr;
    bool bFree = sqlite3_open(strPath.c_str(), &pDb) == SQLITE_OK
                 && sqlite3_exec(pDb, "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(pDb, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(pDb);
    return bFree;
}

// Other tasks may write the same file, and a pass may wait on the network
// between two records: no transaction stays open between calls, whatever
// the sinks do in turn. The first record is written at once; those that
// follow closely are written together a moment later or on release.
TEST(SqliteSinkTest, NoLockIsHeldBetweenRecords)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "tx.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text)"));
    CDbSettings settings = OneFieldSettings(strPath);
    settings.m_nTimeoutSeconds = 1;
    CLogLines log;
    auto pFirst = CreateDatabaseSink(settings, { { "name", false } }, log.Fn());
    auto pSecond = CreateDatabaseSink(settings, { { "name", false } }, log.Fn());
    ASSERT_TRUE(pFirst->Open()) << log.All();
    ASSERT_TRUE(pSecond->Open()) << log.All();
    ASSERT_TRUE(pFirst->InsertRecord({ "first0" })) << log.All();
    EXPECT_EQ(SqliteQuery(strPath, "select a from t"), (DbRows{ { "first0" } }));
    for (int i = 0; i < 5; ++i) {
        if (i > 0) {
            ASSERT_TRUE(pFirst->InsertRecord({ "first" + std::to_string(i) })) << log.All();
        }
        EXPECT_TRUE(FileIsFree(strPath)) << i;
        ASSERT_TRUE(pSecond->InsertRecord({ "second" + std::to_string(i) })) << log.All();
        EXPECT_TRUE(FileIsFree(strPath)) << i;
    }
    pFirst->Release();
    pFirst->Release();  // a second release does nothing
    EXPECT_FALSE(pFirst->InsertRecord({ "late" }));
    pSecond.reset();
    EXPECT_EQ(SqliteQuery(strPath, "select count(*) from t")[0][0], "10");
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();
}

// Records that keep coming are written in batches while they come, not only
// when the pass ends.
TEST(SqliteSinkTest, CloseRecordsAreWrittenWithinAMoment)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "batch.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text)"));
    CLogLines log;
    auto pSink = CreateDatabaseSink(OneFieldSettings(strPath), { { "name", false } }, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    int nInserted = 0;
    const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto fnCount = [&strPath] { return std::stoi(*SqliteQuery(strPath, "select count(*) from t")[0][0]); };
    while (fnCount() < 2 && std::chrono::steady_clock::now() < tGiveUp) {
        ASSERT_TRUE(pSink->InsertRecord({ "row" + std::to_string(nInserted++) })) << log.All();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(fnCount(), 2) << "the second batch was never written";
    pSink->Release();
    EXPECT_EQ(fnCount(), nInserted);
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();
}

// A record the database refuses in the middle of a batch: those before it
// are kept, it and the rest are not written, and the sink takes no more.
TEST(SqliteSinkTest, RefusedRecordInABatchKeepsTheOnesBefore)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "refuse.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text check (a <> 'bad'))"));
    CLogLines log;
    auto pSink = CreateDatabaseSink(OneFieldSettings(strPath), { { "name", false } }, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    bool bOk = true;
    for (const char* pszValue : { "a", "b", "c", "bad", "d" }) {
        if (bOk)
            bOk = pSink->InsertRecord({ pszValue });
    }
    pSink->Release();
    EXPECT_EQ(SqliteQuery(strPath, "select a from t order by rowid"), (DbRows{ { "a" }, { "b" }, { "c" } }));
    ASSERT_EQ(log.m_aLines.size(), 1u) << log.All();
    EXPECT_EQ(log.m_aLines[0], "保存摘取到的内容到数据库失败！原因：CHECK constraint failed: a <> 'bad'。");
    EXPECT_FALSE(pSink->InsertRecord({ "e" }));
}

// A writer that holds the file for a moment is waited for, not failed.
TEST(SqliteSinkTest, WaitsForAnotherWritersShortLock)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "wait.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text)"));
    sqlite3* pHolder = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &pHolder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pHolder, "begin immediate; insert into t values ('holder')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::thread holder([pHolder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(pHolder, "commit", nullptr, nullptr, nullptr);
    });
    CLogLines log;
    auto pSink = CreateDatabaseSink(OneFieldSettings(strPath), { { "name", false } }, log.Fn());
    EXPECT_TRUE(pSink->Open()) << log.All();
    EXPECT_TRUE(pSink->InsertRecord({ "sink" })) << log.All();
    holder.join();
    sqlite3_close(pHolder);
    pSink.reset();
    EXPECT_EQ(SqliteQuery(strPath, "select a from t order by rowid"), (DbRows{ { "holder" }, { "sink" } }));
}

// A relative file name starts in the program directory; a name that only
// looks like SQL is still just a value.
TEST(SqliteSinkTest, RelativePathAndHostileValues)
{
    CTempDir dir;
    ASSERT_TRUE(SqliteExec(PathIn(dir, "rel.db"), "create table t (a text); create table keep (x)"));
    CDbSettings settings = OneFieldSettings("rel.db");
    settings.m_strProgramDir = dir.GetPath();  // no trailing '/': one is added
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, { { "name", false } }, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    const std::string strHostile = "x'); drop table keep; --";
    ASSERT_TRUE(pSink->InsertRecord({ strHostile }));
    pSink.reset();  // destruction releases and commits
    EXPECT_EQ(SqliteQuery(PathIn(dir, "rel.db"), "select a from t")[0][0], strHostile);
    EXPECT_EQ(SqliteQuery(PathIn(dir, "rel.db"), "select count(*) from keep")[0][0], "0");
}

// Templates that set no column at all still insert a row of defaults.
TEST(SqliteSinkTest, RecordSettingNoColumnInsertsDefaults)
{
    CTempDir dir;
    ASSERT_TRUE(SqliteExec(PathIn(dir, "d.db"), "create table t (a text default 'd', b int default 7)"));
    CDbSettings settings = OneFieldSettings(PathIn(dir, "d.db"));
    settings.m_aFieldValues = { "<@SKIP@>" };
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, { { "name", false } }, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    ASSERT_TRUE(pSink->InsertRecord({ "v" })) << log.All();
    pSink->Release();
    const DbRows rows = SqliteQuery(PathIn(dir, "d.db"), "select a, b from t");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "d");
    EXPECT_EQ(rows[0][1], "7");
}

TEST(OdbcConnectionStringTest, ServerDatabaseAccountPassword)
{
    const std::string strTimeouts = ";CONN_TIMEOUT=30;READ_TIMEOUT=30;WRITE_TIMEOUT=30";
    struct { const char* pszServer; const char* pszDb; const char* pszUser; const char* pszPass; std::string strOut; }
    cases[] = {
        { "mydsn", "", "", "", "DSN=mydsn" + strTimeouts },
        { "mydsn", "shop", "sa", "pw", "DSN=mydsn;DATABASE=shop;UID=sa;PWD=pw" + strTimeouts },
        { "DRIVER=x;SERVER=h;", "db", "", "", "DRIVER=x;SERVER=h;DATABASE=db" + strTimeouts },
        { "mydsn", "", "u", "a;b}c", "DSN=mydsn;UID=u;PWD={a;b}}c}" + strTimeouts },  // braced, '}' doubled
        { "DSN=d;read_timeout=5", "", "", "", "DSN=d;read_timeout=5;CONN_TIMEOUT=30;WRITE_TIMEOUT=30" },
    };
    for (const auto& c : cases) {
        CDbSettings settings;
        settings.m_strServer = c.pszServer;
        settings.m_strDatabase = c.pszDb;
        settings.m_strAccount = c.pszUser;
        settings.m_strPassword = c.pszPass;
        EXPECT_EQ(BuildOdbcConnectionString(settings), c.strOut) << c.pszServer;
    }
}
