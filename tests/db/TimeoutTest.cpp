// TimeoutTest.cpp - a server that accepts and then never answers, or a file
// another program keeps locked, must not hold a pass for ever: every
// back-end gives up after its time-out (one second here) with a reason.
#include "DbTestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Accepts every connection on 127.0.0.1 and never sends a byte.
class CSilentServer {
public:
    CSilentServer()
    {
        m_hListen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof(address);
        if (bind(m_hListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_hListen, 8) != 0
            || getsockname(m_hListen, reinterpret_cast<sockaddr*>(&address), &nLen) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CSilentServer()
    {
        m_bStop = true;
        m_thread.join();
        for (int h : m_aAccepted)
            close(h);
        close(m_hListen);
    }
    unsigned Port() const { return m_nPort; }

private:
    void Run()
    {
        while (!m_bStop) {
            pollfd entry { m_hListen, POLLIN, 0 };
            if (poll(&entry, 1, 100) > 0) {
                const int h = accept(m_hListen, nullptr, nullptr);
                if (h >= 0)
                    m_aAccepted.push_back(h);
            }
        }
    }

    int m_hListen = -1;
    unsigned m_nPort = 0;
    std::atomic<bool> m_bStop { false };
    std::vector<int> m_aAccepted;  // Only the server thread touches it until join.
    std::thread m_thread;
};

// Opens a sink and reports how long Open took; Open must fail.
double OpenAndFail(const CDbSettings& settings, CLogLines& log)
{
    const auto tStart = std::chrono::steady_clock::now();
    auto pSink = CreateDatabaseSink(settings, { { "name", false } }, log.Fn());
    EXPECT_FALSE(pSink->Open());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
}

} // namespace

TEST(DbTimeoutTest, SilentServerIsGivenUp)
{
    CSilentServer server;
    CDbSettings native;
    native.m_nType = DB_TYPE_MYSQL;
    native.m_strServer = "127.0.0.1:" + std::to_string(server.Port());
    native.m_strDatabase = "x";
    native.m_strTable = "t";
    native.m_nTimeoutSeconds = 1;
    CDbSettings odbc = native;
    odbc.m_nType = DB_TYPE_ODBC;
    odbc.m_strServer = "DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so;SERVER=127.0.0.1;PORT="
                       + std::to_string(server.Port());
    for (const CDbSettings* pSettings : { &native, &odbc }) {
        CLogLines log;
        // The bound only tells a time-out from a hang; the time-out is 1 s.
        EXPECT_LT(OpenAndFail(*pSettings, log), 20.0) << pSettings->m_strServer;
        ASSERT_EQ(log.m_aLines.size(), 1u);
        EXPECT_EQ(log.m_aLines[0].rfind("连接数据库失败！原因：", 0), 0u) << log.m_aLines[0];
        std::string strReason;
        EXPECT_FALSE(TestDatabaseConnection(*pSettings, strReason));
        EXPECT_FALSE(strReason.empty());
    }
}

TEST(DbTimeoutTest, LockedSqliteFileIsGivenUp)
{
    CTempDir dir;
    const std::string strPath = PathIn(dir, "locked.db");
    ASSERT_TRUE(SqliteExec(strPath, "create table t (a text)"));
    sqlite3* pHolder = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &pHolder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pHolder, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);

    CDbSettings settings;
    settings.m_nType = DB_TYPE_SQLITE;
    settings.m_strServer = strPath;
    settings.m_strTable = "t";
    settings.m_aFieldNames = { "a" };
    settings.m_aFieldValues = { "<@@name@@>" };
    settings.m_nTimeoutSeconds = 1;
    CLogLines log;
    EXPECT_LT(OpenAndFail(settings, log), 20.0);
    ASSERT_EQ(log.m_aLines.size(), 1u);
    EXPECT_EQ(log.m_aLines[0], "连接数据库失败！原因：database is locked。摘取到的内容将无法保存到数据库。");
    sqlite3_exec(pHolder, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(pHolder);
}
