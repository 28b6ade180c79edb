// RunIntoDatabaseTest.cpp - the whole road: a task definition run by
// quarvex-cli against a page nginx serves, its new records stored in a table
// of each back-end, read back with the test's own connection.
#include "DbTestSupport.h"
#include "MariaDbServer.h"
#include "NginxServer.h"

#include <sys/wait.h>

#include <cstdio>
#include <string>

// Reads rows of the MariaDB test database; defined with the MariaDB tests.
DbRows MariaQueryRows(const std::string& strSql);
bool MariaExecSql(const std::string& strSql);
const CMariaDbServer& MariaServer();

namespace {

// Three records; the third row repeats the first's key, so a pass finds
// three records of which two are new.
const char s_szPage[] =
    "<html><body><table>"
    "<tr><td>O'Brien</td><td>42abc</td></tr>"
    "<tr><td>一二三四五六</td><td>7</td></tr>"
    "<tr><td>O'Brien</td><td>9</td></tr>"
    "</table></body></html>";

std::string EscapeMarkup(const std::string& str)
{
    std::string strOut;
    for (char c : str) {
        if (c == '<')
            strOut += "&lt;";
        else if (c == '>')
            strOut += "&gt;";
        else if (c == '&')
            strOut += "&amp;";
        else
            strOut += c;
    }
    return strOut;
}

// A definition whose blocks read the page above into the columns name and
// qty, run every second.
std::string MakeDefinition(const std::string& strUrl, const CDbSettings& db)
{
    std::string strDef = "<root>\n<general><taskname>db</taskname><frequence>1</frequence>"
                         "<autoload>0</autoload></general>\n"
                         "<network><url>" + EscapeMarkup(strUrl) + "</url><method>0</method>"
                         "<webpost>0</webpost></network>\n<database><type>" + std::to_string(db.m_nType)
                         + "</type><server>" + EscapeMarkup(db.m_strServer) + "</server><database>"
                         + EscapeMarkup(db.m_strDatabase) + "</database><account>" + EscapeMarkup(db.m_strAccount)
                         + "</account><password>" + EscapeMarkup(db.m_strPassword)
                         + "</password><savetodb>1</savetodb><tablename>" + EscapeMarkup(db.m_strTable)
                         + "</tablename>\n";
    for (size_t i = 0; i < db.m_aFieldNames.size(); ++i)
        strDef += "<datafield><name>" + EscapeMarkup(db.m_aFieldNames[i]) + "</name><value>"
                  + EscapeMarkup(db.m_aFieldValues[i]) + "</value></datafield>\n";
    strDef += "</database>\n<location><name>rows</name><path>html@body@table@tr</path><step>#tr</step>\n"
              "<data><type>0</type><name>name</name><path>@td</path><order>0</order><only>1</only></data>\n"
              "<data><type>0</type><name>qty</name><path>@td#td</path><order>1</order><only>0</only></data>\n"
              "</location>\n</root>\n";
    return strDef;
}

struct CRunResult {
    int m_nStatus = -1;
    std::string m_strLog;
};

// Two passes a second apart: the second finds nothing new, so nothing is
// stored twice.
CRunResult RunTwoPasses(const std::string& strDefPath, const std::string& strDataDir, const std::string& strLogPath)
{
    CRunResult result;
    const std::string strCommand = std::string(QUARVEX_CLI) + " run '" + strDefPath + "' --passes 2 --data-dir '"
                                   + strDataDir + "' >/dev/null 2>'" + strLogPath + "'";
    const int nStatus = std::system(strCommand.c_str());
    result.m_nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    FILE* pFile = std::fopen(strLogPath.c_str(), "rb");
    if (pFile != nullptr) {
        char szBuffer[4096];
        size_t nRead;
        while ((nRead = std::fread(szBuffer, 1, sizeof(szBuffer), pFile)) > 0)
            result.m_strLog.append(szBuffer, nRead);
        std::fclose(pFile);
    }
    return result;
}

class RunIntoDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nginx.WriteFile("list.html", s_szPage);
        ASSERT_TRUE(m_nginx.Start()) << m_nginx.GetError();
    }

    // Runs the task into the table the settings name; the log must show the
    // two new records, then none, and no database failure.
    void RunTask(CDbSettings db)
    {
        db.m_aFieldNames = { "name", "qty", "note" };
        db.m_aFieldValues = { "<@@name@@>", "<@@qty@@>", "" };
        const std::string strDef =
            m_dir.WriteFile("task.dat", MakeDefinition(m_nginx.GetUrl("/list.html"), db));
        const CRunResult result = RunTwoPasses(strDef, PathIn(m_dir, "data"), PathIn(m_dir, "run.log"));
        EXPECT_EQ(result.m_nStatus, 0) << result.m_strLog;
        const size_t nFirst = result.m_strLog.find("成功摘取到3条记录。其中有2条新记录被处理。");
        EXPECT_NE(nFirst, std::string::npos) << result.m_strLog;
        // The second pass finds nothing new: nginx answers it with a 304
        // (the page has not changed), which ends the pass before extraction.
        EXPECT_TRUE(result.m_strLog.find("成功摘取到3条记录。其中有0条新记录被处理。", nFirst) != std::string::npos
                    || result.m_strLog.find("没有变化（304）", nFirst) != std::string::npos)
            << result.m_strLog;
        EXPECT_EQ(result.m_strLog.find("数据库失败"), std::string::npos) << result.m_strLog;

        // A restart remembers both records: nothing is new, nothing is
        // inserted a second time (the callers count the rows).
        const CRunResult again = RunTwoPasses(strDef, PathIn(m_dir, "data"), PathIn(m_dir, "run2.log"));
        EXPECT_EQ(again.m_nStatus, 0) << again.m_strLog;
        EXPECT_NE(again.m_strLog.find("成功摘取到3条记录。其中有0条新记录被处理。"), std::string::npos) << again.m_strLog;
        EXPECT_EQ(again.m_strLog.find("其中有2条"), std::string::npos) << again.m_strLog;
        EXPECT_EQ(again.m_strLog.find("其中有1条"), std::string::npos) << again.m_strLog;
    }

    // Text cut to the column's five characters, the number's leading
    // digits, the default for the empty template.
    static void CheckRows(const DbRows& rows)
    {
        const DbRows expected = { { "O'Bri", "42", "n" }, { "一二三四五", "7", "n" } };
        EXPECT_EQ(rows, expected);
    }

    CTempDir m_dir;
    CNginxServer m_nginx;
};

const char s_szSqliteTable[] =
    "create table items (id integer primary key, name varchar(5), qty int, note varchar(5) default 'n')";
const char s_szMariaTable[] =
    "create table items (id int auto_increment primary key, name varchar(5), qty int,"
    " note varchar(5) default 'n') default charset=utf8mb4";

// The native back-end on the test server, storing into strTable.
CDbSettings NativeMariaDb(const std::string& strTable)
{
    CDbSettings db;
    db.m_nType = DB_TYPE_MYSQL;
    db.m_strServer = MariaServer().HostPort();
    db.m_strDatabase = CMariaDbServer::DATABASE;
    db.m_strAccount = CMariaDbServer::ACCOUNT;
    db.m_strPassword = CMariaDbServer::PASSWORD;
    db.m_strTable = strTable;
    return db;
}

} // namespace

TEST_F(RunIntoDatabaseTest, SqliteFile)
{
    const std::string strDb = PathIn(m_dir, "run.db");
    ASSERT_TRUE(SqliteExec(strDb, s_szSqliteTable));
    CDbSettings db;
    db.m_nType = DB_TYPE_SQLITE;
    db.m_strServer = strDb;
    db.m_strTable = "items";
    RunTask(db);
    CheckRows(SqliteQuery(strDb, "select name, qty, note from items order by id"));
}

TEST_F(RunIntoDatabaseTest, SqliteThroughOdbc)
{
    const std::string strDb = PathIn(m_dir, "run.db");
    ASSERT_TRUE(SqliteExec(strDb, s_szSqliteTable));
    CDbSettings db;
    db.m_nType = DB_TYPE_ODBC;
    db.m_strServer = "DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
    db.m_strDatabase = strDb;
    db.m_strTable = "items";
    RunTask(db);
    CheckRows(SqliteQuery(strDb, "select name, qty, note from items order by id"));
}

TEST_F(RunIntoDatabaseTest, MariaDbThroughOdbc)
{
    ASSERT_TRUE(MariaExecSql("drop table if exists items"));
    ASSERT_TRUE(MariaExecSql(s_szMariaTable));
    CDbSettings db;
    db.m_nType = DB_TYPE_ODBC;
    db.m_strServer = "DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so;SERVER=127.0.0.1;PORT="
                     + std::to_string(MariaServer().Port());
    db.m_strDatabase = CMariaDbServer::DATABASE;
    db.m_strAccount = CMariaDbServer::ACCOUNT;
    db.m_strPassword = CMariaDbServer::PASSWORD;
    db.m_strTable = "items";
    RunTask(db);
    CheckRows(MariaQueryRows("select name, qty, note from items order by id"));
}

// The native back-end writes every column: the key gets 0 (so the server
// numbers the row), "Name" is found by the field "name", the empty template
// gives '', and nothing is cut or converted.
TEST_F(RunIntoDatabaseTest, MariaDbNative)
{
    ASSERT_TRUE(MariaExecSql("drop table if exists items"));
    ASSERT_TRUE(MariaExecSql("create table items (id int auto_increment primary key, Name varchar(20),"
                             " qty varchar(10), note varchar(5) default 'n') default charset=utf8mb4"));
    CDbSettings db = NativeMariaDb("items");
    RunTask(db);
    const DbRows rows = MariaQueryRows("select Name, qty, note from items order by id");
    const DbRows expected = { { "O'Brien", "42abc", "" }, { "一二三四五六", "7", "" } };
    EXPECT_EQ(rows, expected);
}

// A task that keeps its records and watches them for changes updates the
// row of a changed record in place (found by the field that carries the key
// column) instead of inserting it again.
TEST_F(RunIntoDatabaseTest, MariaDbNativeUpdatesTheRowOfAChangedRecord)
{
    ASSERT_TRUE(MariaExecSql("drop table if exists changing"));
    ASSERT_TRUE(MariaExecSql("create table changing (id int auto_increment primary key, name varchar(20),"
                             " qty varchar(10)) default charset=utf8mb4"));
    CDbSettings db = NativeMariaDb("changing");
    db.m_aFieldNames = { "name", "qty" };
    db.m_aFieldValues = { "<@@name@@>", "<@@qty@@>" };
    std::string strDef = MakeDefinition(m_nginx.GetUrl("/list.html"), db);
    strDef.replace(strDef.find("</general>"), 0, "<changes>1</changes>");
    // The last one: the section's own database name closes a "database" too.
    strDef.replace(strDef.rfind("</database>"), 0, "<updatechanges>1</updatechanges>");
    const std::string strDefPath = m_dir.WriteFile("task.dat", strDef);
    const std::string strDataDir = PathIn(m_dir, "data");
    const CRunResult first = RunTwoPasses(strDefPath, strDataDir, PathIn(m_dir, "run.log"));
    ASSERT_EQ(first.m_nStatus, 0) << first.m_strLog;
    // The page repeats O'Brien with another quantity: the same pass sees the
    // record change, and its row is updated rather than inserted twice.
    ASSERT_EQ(MariaQueryRows("select name, qty from changing order by id"),
              (DbRows{ { "O'Brien", "9" }, { "一二三四五六", "7" } }));

    // A different length, so that no validator of the old page matches.
    m_nginx.WriteFile("list.html", "<html><body><table><tr><td>O'Brien</td><td>43</td></tr>"
                                   "<tr><td>一二三四五六</td><td>7</td></tr></table></body></html>");
    const CRunResult second = RunTwoPasses(strDefPath, strDataDir, PathIn(m_dir, "run2.log"));
    ASSERT_EQ(second.m_nStatus, 0) << second.m_strLog;
    EXPECT_EQ(second.m_strLog.find("数据库失败"), std::string::npos) << second.m_strLog;
    EXPECT_EQ(MariaQueryRows("select name, qty from changing order by id"),
              (DbRows{ { "O'Brien", "43" }, { "一二三四五六", "7" } }))
        << second.m_strLog;
}
