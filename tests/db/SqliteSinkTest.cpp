// SqliteSinkTest.cpp - type 0 against real SQLite files, and type 1 through
// the SQLite ODBC driver, named by path so no ini file has to change.
#include "DbBackends.h"
#include "DbTestSupport.h"

#include <filesystem>

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

// The pass is one transaction: other readers see its rows only once the
// pass releases the database, and then all of them.
TEST(SqliteSinkTest, RowsAppearWhenThePassReleases)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "tx.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text)"));
    CLogLines log;
    auto pSink = CreateDatabaseSink(OneFieldSettings(strPath), { { "name", false } }, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(pSink->InsertRecord({ "row" + std::to_string(i) })) << log.All();
    EXPECT_EQ(SqliteQuery(strPath, "select count(*) from t")[0][0], "0");
    pSink->Release();
    EXPECT_EQ(SqliteQuery(strPath, "select count(*) from t")[0][0], "100");
    pSink->Release();  // a second release does nothing
    EXPECT_FALSE(pSink->InsertRecord({ "late" }));
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();
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
