// MariaDbSinkTest.cpp - type 2 through Connector/C and type 1 through the
// MariaDB ODBC driver, both against one private MariaDB server that this
// program starts on 127.0.0.1 and stops at the end.
#include "DbTestSupport.h"
#include "MariaDbServer.h"

#include <mysql.h>

#include <cstdio>
#include <regex>
#include <sys/wait.h>

namespace {

const char s_szMariaDbOdbcDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so";

CMariaDbServer* s_pServer = nullptr;

class CMariaDbEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string strError;
        ASSERT_TRUE(m_server.Start(strError)) << strError;
        s_pServer = &m_server;
    }
    void TearDown() override
    {
        s_pServer = nullptr;
        m_server.Stop();
    }

private:
    CMariaDbServer m_server;
};

const ::testing::Environment* const s_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new CMariaDbEnvironment);

// The test's own connection, in utf8mb4 so that bytes come back as stored.
struct CTestConnection {
    MYSQL* m_pConn = mysql_init(nullptr);
    CTestConnection()
    {
        mysql_options(m_pConn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (mysql_real_connect(m_pConn, "127.0.0.1", CMariaDbServer::ACCOUNT, CMariaDbServer::PASSWORD,
                               CMariaDbServer::DATABASE, s_pServer->Port(), nullptr, 0) == nullptr)
            ADD_FAILURE() << mysql_error(m_pConn);
    }
    ~CTestConnection() { mysql_close(m_pConn); }
};

bool MariaExec(const std::string& strSql)
{
    CTestConnection conn;
    if (mysql_real_query(conn.m_pConn, strSql.data(), strSql.size()) != 0) {
        ADD_FAILURE() << strSql << ": " << mysql_error(conn.m_pConn);
        return false;
    }
    return true;
}

DbRows MariaQuery(const std::string& strSql)
{
    CTestConnection conn;
    DbRows rows;
    if (mysql_real_query(conn.m_pConn, strSql.data(), strSql.size()) != 0) {
        ADD_FAILURE() << strSql << ": " << mysql_error(conn.m_pConn);
        return rows;
    }
    MYSQL_RES* pResult = mysql_store_result(conn.m_pConn);
    if (pResult == nullptr)
        return rows;
    const unsigned nFields = mysql_num_fields(pResult);
    while (MYSQL_ROW row = mysql_fetch_row(pResult)) {
        const unsigned long* pLengths = mysql_fetch_lengths(pResult);
        std::vector<DbCell> aRow;
        for (unsigned i = 0; i < nFields; ++i)
            aRow.push_back(row[i] ? DbCell(std::string(row[i], pLengths[i])) : std::nullopt);
        rows.push_back(std::move(aRow));
    }
    mysql_free_result(pResult);
    return rows;
}

// A fresh table for one test.
void Recreate(const std::string& strTable, const std::string& strColumns)
{
    MariaExec("drop table if exists " + strTable);
    MariaExec("create table " + strTable + " (" + strColumns + ") default charset=utf8mb4");
}

CDbSettings NativeSettings(const std::string& strTable)
{
    CDbSettings settings;
    settings.m_nType = DB_TYPE_MYSQL;
    settings.m_strServer = s_pServer->HostPort();
    settings.m_strDatabase = CMariaDbServer::DATABASE;
    settings.m_strAccount = CMariaDbServer::ACCOUNT;
    settings.m_strPassword = CMariaDbServer::PASSWORD;
    settings.m_strTable = strTable;
    return settings;
}

CDbSettings OdbcSettings()
{
    CDbSettings settings;
    settings.m_nType = DB_TYPE_ODBC;
    settings.m_strServer = std::string("DRIVER=") + s_szMariaDbOdbcDriver
                           + ";SERVER=127.0.0.1;PORT=" + std::to_string(s_pServer->Port());
    settings.m_strDatabase = CMariaDbServer::DATABASE;
    settings.m_strAccount = CMariaDbServer::ACCOUNT;
    settings.m_strPassword = CMariaDbServer::PASSWORD;
    return settings;
}

CRowBackend OdbcBackend()
{
    CRowBackend backend;
    backend.m_settings = OdbcSettings();
    backend.m_fnExec = [](const std::string& strSql) { return MariaExec(strSql); };
    backend.m_fnQuery = [](const std::string& strSql) { return MariaQuery(strSql); };
    backend.m_strCreateItems =
        "create table items (id int auto_increment primary key, title varchar(5) default 'dflt', price double,"
        " qty int, amount decimal(10,2), day date, stamp datetime, added bigint, addedtext varchar(40),"
        " body longblob, note varchar(10) default 'n', other varchar(10) default 'o', nul varchar(10) default 'z',"
        " tm time, nowday date)"
        " default charset=utf8mb4";
    return backend;
}

const std::vector<CDbColumn> s_aColumns = { { "name", false }, { "qty", false }, { "price", false },
                                            { "file", true } };

} // namespace

// Every column of the table is written, in table order: fields found by name
// whatever the case, and everything that is no reference written as 0 or ''.
TEST(MySqlSinkTest, StatementRules)
{
    Recreate("rules", "id int auto_increment primary key, Title varchar(40), qty int, price double,"
                      " note varchar(20), body blob, path varchar(200), nowtext varchar(20), nownum int,"
                      " nul varchar(10), skip int, mixed varchar(10)");
    CTempDir dir;
    const std::string strFile = PathIn(dir, "saved.bin");
    const std::string strContent("by'tes\0\\x", 9);
    WriteFile(strFile, strContent);

    CDbSettings settings = NativeSettings("rules");
    settings.m_aFieldNames = { "title", "QTY", "price", "body", "path", "nowtext", "nownum", "nul", "skip",
                               "mixed", "nosuch" };
    settings.m_aFieldValues = { "<@@name@@>", "<@@qty@@>", "<@@price@@>", "<@#file#@>", "<@@file@@>", "<@NOW@>",
                                "<@NOW@>", "<@NULL@>", "<@SKIP@>", "x<@@name@@>", "<@@name@@>" };
    const std::string strName = "O'Brien \\ 一二";
    CLogLines log;
    {
        auto pSink = CreateDatabaseSink(settings, s_aColumns, log.Fn());
        ASSERT_TRUE(pSink->Open()) << log.All();
        ASSERT_TRUE(pSink->InsertRecord({ strName, "42", "3.5", strFile })) << log.All();
        ASSERT_TRUE(pSink->InsertRecord({ "b", "-7", "1e3", strFile + ".missing" })) << log.All();
    }
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();

    const DbRows rows = MariaQuery("select * from rules order by id");
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<DbCell> aFirst = { "1", strName, "42", "3.5", "", strContent, strFile, "", "0", "", "0", "" };
    EXPECT_EQ(rows[0], aFirst);
    const std::vector<DbCell> aSecond = { "2", "b", "-7", "1000", "", "", strFile + ".missing", "", "0", "", "0", "" };
    EXPECT_EQ(rows[1], aSecond);
}

// A numeric column receives a number unquoted. An empty value leaves the
// item empty and the server refuses the statement; any other text is quoted,
// so it cannot add rows or SQL of its own.
TEST(MySqlSinkTest, NumericColumnsTakeOnlyNumbersUnquoted)
{
    Recreate("nums", "a int, b varchar(10)");
    CDbSettings settings = NativeSettings("nums");
    settings.m_aFieldNames = { "a", "b" };
    settings.m_aFieldValues = { "<@@qty@@>", "<@@name@@>" };
    struct { const char* pszQty; bool bOk; const char* pszReason; } cases[] = {
        { "", false, "You have an error in your SQL syntax" },
        { "1,'x'),(2", false, "Data truncated" },
        { "12abc", false, "Data truncated" },
        { "+12", true, "" },
    };
    for (const auto& c : cases) {
        CLogLines log;
        auto pSink = CreateDatabaseSink(settings, s_aColumns, log.Fn());
        ASSERT_TRUE(pSink->Open()) << log.All();
        EXPECT_EQ(pSink->InsertRecord({ "n", c.pszQty }), c.bOk) << c.pszQty;
        if (!c.bOk) {
            ASSERT_EQ(log.m_aLines.size(), 1u) << c.pszQty;
            EXPECT_EQ(log.m_aLines[0].rfind("保存摘取到的内容到数据库失败！原因：", 0), 0u) << log.m_aLines[0];
            EXPECT_NE(log.m_aLines[0].find(c.pszReason), std::string::npos) << log.m_aLines[0];
        }
    }
    const DbRows rows = MariaQuery("select a, b from nums");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "12");
}

TEST(MySqlSinkTest, ConnectionAndTableFailures)
{
    struct { const char* pszCase; std::string strServer, strDb, strPassword; const char* pszReason; } cases[] = {
        { "password", s_pServer->HostPort(), CMariaDbServer::DATABASE, "wrong", "Access denied" },
        { "database", s_pServer->HostPort(), "nosuchdb", CMariaDbServer::PASSWORD, "Unknown database 'nosuchdb'" },
        { "server", "127.0.0.1:1", CMariaDbServer::DATABASE, CMariaDbServer::PASSWORD, "Can't connect" },
    };
    for (const auto& c : cases) {
        CDbSettings settings = NativeSettings("rules");
        settings.m_strServer = c.strServer;
        settings.m_strDatabase = c.strDb;
        settings.m_strPassword = c.strPassword;
        CLogLines log;
        EXPECT_FALSE(CreateDatabaseSink(settings, s_aColumns, log.Fn())->Open()) << c.pszCase;
        ASSERT_EQ(log.m_aLines.size(), 1u) << c.pszCase;
        EXPECT_TRUE(std::regex_match(log.m_aLines[0],
                                     std::regex("连接数据库失败！原因：.+。摘取到的内容将无法保存到数据库。")))
            << log.m_aLines[0];
        EXPECT_NE(log.m_aLines[0].find(c.pszReason), std::string::npos) << log.m_aLines[0];
        std::string strReason;
        EXPECT_FALSE(TestDatabaseConnection(settings, strReason)) << c.pszCase;
        EXPECT_NE(strReason.find(c.pszReason), std::string::npos) << strReason;
    }

    // A missing table shows on the first insert, with the table's name.
    CDbSettings settings = NativeSettings("nosuch");
    settings.m_aFieldNames = { "a" };
    settings.m_aFieldValues = { "<@@name@@>" };
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, s_aColumns, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    EXPECT_FALSE(pSink->InsertRecord({ "x" }));
    ASSERT_EQ(log.m_aLines.size(), 1u);
    EXPECT_EQ(log.m_aLines[0], "保存摘取到的内容到数据库失败！原因：无法获取表nosuch的信息，可能该表不存在。");

    std::string strReason;
    EXPECT_TRUE(TestDatabaseConnection(NativeSettings(""), strReason)) << strReason;
}

// A type the Database page does not offer connects like MySQL and stores
// nothing.
TEST(MySqlSinkTest, UnknownTypeConnectsButStoresNothing)
{
    Recreate("untouched", "a varchar(10)");
    CDbSettings settings = NativeSettings("untouched");
    settings.m_nType = 7;
    settings.m_aFieldNames = { "a" };
    settings.m_aFieldValues = { "<@@name@@>" };
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, s_aColumns, log.Fn());
    ASSERT_TRUE(pSink->Open()) << log.All();
    EXPECT_TRUE(pSink->InsertRecord({ "x" }));
    EXPECT_TRUE(MariaQuery("select * from untouched").empty());
}

TEST(MariaDbOdbcSinkTest, EveryTemplateRule)
{
    MariaExec("drop table if exists items");
    CTempDir dir;
    CRowBackend backend = OdbcBackend();
    CheckRowRules(backend, dir.GetPath());
}

TEST(MariaDbOdbcSinkTest, MissingTableAndRefusedInsert)
{
    MariaExec("drop table if exists strict1");
    CRowBackend backend = OdbcBackend();
    CheckRowFailures(backend);
}

TEST(MariaDbOdbcSinkTest, ConnectionFailuresCarryTheDriversReason)
{
    CDbSettings settings = OdbcSettings();
    settings.m_strTable = "items";
    settings.m_aFieldNames = { "title" };
    settings.m_aFieldValues = { "<@@name@@>" };
    settings.m_strPassword = "wrong";
    CLogLines log;
    EXPECT_FALSE(CreateDatabaseSink(settings, s_aColumns, log.Fn())->Open());
    ASSERT_EQ(log.m_aLines.size(), 1u);
    EXPECT_NE(log.m_aLines[0].find("Access denied"), std::string::npos) << log.m_aLines[0];

    std::string strReason;
    EXPECT_FALSE(TestDatabaseConnection(settings, strReason));
    EXPECT_NE(strReason.find("Access denied"), std::string::npos) << strReason;
    EXPECT_TRUE(TestDatabaseConnection(OdbcSettings(), strReason)) << strReason;
    settings.m_strServer = "nosuchdsn";
    EXPECT_FALSE(TestDatabaseConnection(settings, strReason));
    EXPECT_NE(strReason.find("Data source name not found"), std::string::npos) << strReason;
}

namespace {

// Runs quarvex-cli with arguments; its exit status and standard output.
int RunCli(const std::string& strArgs, std::string& strOut)
{
    const std::string strCommand = std::string(QUARVEX_CLI) + " " + strArgs + " 2>/dev/null";
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr)
        return -1;
    strOut.clear();
    char szBuffer[512];
    size_t nRead;
    while ((nRead = fread(szBuffer, 1, sizeof(szBuffer), pPipe)) > 0)
        strOut.append(szBuffer, nRead);
    const int nStatus = pclose(pPipe);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

} // namespace

TEST(DbTestCommandTest, PrintsTheResultAndExitsWithIt)
{
    const std::string strServer = s_pServer->HostPort();
    const std::string strOdbc = std::string("'DRIVER=") + s_szMariaDbOdbcDriver
                                + ";SERVER=127.0.0.1;PORT=" + std::to_string(s_pServer->Port()) + "'";
    struct { std::string strArgs; int nStatus; std::string strOut; } cases[] = {
        { "--type 2 --server " + strServer + " --database quarvex_test --account quarvex --password secret", 0,
          "连接成功！\n" },
        { "--type 2 --server " + strServer + " --database nosuchdb --account quarvex --password secret", 1,
          "连接失败！原因：Unknown database 'nosuchdb'\n" },
        { "--type 1 --server " + strOdbc + " --database quarvex_test --account quarvex --password secret", 0,
          "连接成功！\n" },
        { "--type 0 --server /nonexistent/dir/x.db", 1, "连接失败！原因：unable to open database file\n" },
        { "--type 3 --server x", 2, "" },      // no such type
        { "--server x", 2, "" },               // --type missing
        { "--type 0 --server", 2, "" },        // value missing
        { "--type 0 --server x --port 1", 2, "" },
    };
    for (const auto& c : cases) {
        std::string strOut;
        EXPECT_EQ(RunCli("dbtest " + c.strArgs, strOut), c.nStatus) << c.strArgs;
        EXPECT_EQ(strOut, c.strOut) << c.strArgs;
    }
}

// For the tests that run whole tasks against the same server.
DbRows MariaQueryRows(const std::string& strSql)
{
    return MariaQuery(strSql);
}

bool MariaExecSql(const std::string& strSql)
{
    return MariaExec(strSql);
}

const CMariaDbServer& MariaServer()
{
    return *s_pServer;
}
