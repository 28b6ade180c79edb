// StoreServerTest.cpp - the store on HTTP, in-process on 127.0.0.1: replies,
// refusals of oversized and malformed bodies, and starting and stopping.
#include "GuardedHttpServer.h"
#include "PostgresServer.h"
#include "StoreServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

using namespace quarvex;

namespace {

class StoreServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (StorePostgresMissing())
            GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
        char szDir[] = "/tmp/qxserver-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        m_pServer = std::make_unique<CStoreServer>(options);
        std::string strError;
        ASSERT_TRUE(m_pServer->Open(StoreDbForTest(m_strDir), strError)) << strError;
        ASSERT_TRUE(m_pServer->GetService().AddUser("alice", "pw", strError)) << strError;
        ASSERT_TRUE(m_pServer->Start("127.0.0.1", 0, strError, 4)) << strError;
        ASSERT_GT(m_pServer->GetPort(), 0);
        m_pClient = std::make_unique<httplib::Client>("127.0.0.1", m_pServer->GetPort());
        m_pClient->set_read_timeout(10, 0);
    }
    void TearDown() override
    {
        m_pClient.reset();
        m_pServer.reset();
        std::filesystem::remove_all(m_strDir);
    }

    std::string m_strDir;
    std::unique_ptr<CStoreServer> m_pServer;
    std::unique_ptr<httplib::Client> m_pClient;
};

const char s_szForm[] = "application/x-www-form-urlencoded";

// A blocking TCP connection to 127.0.0.1:nPort from the loopback address
// pszSource, so a test can play several clients; -1 on failure.
int ConnectFrom(const char* pszSource, int nPort)
{
    const int hSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, pszSource, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(nPort));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (hSocket < 0 || bind(hSocket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        connect(hSocket, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
        if (hSocket >= 0)
            close(hSocket);
        return -1;
    }
    return hSocket;
}

void SendText(int hSocket, const std::string& strText)
{
    for (std::size_t nDone = 0; nDone < strText.size();) {
        const ssize_t n = send(hSocket, strText.data() + nDone, strText.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        nDone += static_cast<std::size_t>(n);
    }
}

// Reads until the server closes the connection or nLimitMs passes; what
// arrived, and in *pbClosed whether the close came.
std::string ReadUntilClosed(int hSocket, int nLimitMs, bool* pbClosed)
{
    std::string strText;
    *pbClosed = false;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
    for (;;) {
        const auto nLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
        pollfd poll1{ hSocket, POLLIN, 0 };
        if (nLeft <= 0 || poll(&poll1, 1, static_cast<int>(nLeft)) <= 0)
            return strText;
        char aBuffer[4096];
        const ssize_t n = recv(hSocket, aBuffer, sizeof(aBuffer), 0);
        if (n <= 0) {
            *pbClosed = true;
            return strText;
        }
        strText.append(aBuffer, static_cast<std::size_t>(n));
    }
}

// Connections that send a text every 300 ms on a thread of their own until
// stopped; they are closed when this goes, also when a test fails early.
struct CSlowClients {
    std::vector<int> aSockets;
    std::atomic<bool> bDripping{ false };
    std::thread dripper;

    void Start(const std::string& strText)
    {
        bDripping = true;
        dripper = std::thread([this, strText] {
            while (bDripping) {
                for (int hSocket : aSockets)
                    SendText(hSocket, strText);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
        });
    }
    void Stop()
    {
        bDripping = false;
        if (dripper.joinable())
            dripper.join();
    }
    ~CSlowClients()
    {
        Stop();
        for (int hSocket : aSockets)
            close(hSocket);
    }
};

} // namespace

TEST_F(StoreServerTest, AnswersTheFivePaths)
{
    auto res = m_pClient->Post("/qx/login.asp", "udata1=alice&udata2=pw&udata3=", s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body.size(), 47u);

    struct { const char* pszPath; const char* pszBody; const char* pszReply; } cases[] = {
        { "/qx/login.asp",    "udata1=alice&udata2=bad&udata3=", "failed" },
        { "/qx/tasklist.asp", "udata1=example",                  "empty" },
        { "/qx/tasklist.asp", "udata1=0123456789ABCDEF0123456789ABCDEF", "failed" },
        { "/qx/taskdata.asp", "udata1=%7Bnone%7D&udata2=",       "failed" },
        { "/qx/savetask.asp", "udata1=x&udata2=&udata3=",        "failed" },
        { "/qx/deltask.asp",  "udata1=x&udata2=y",               "failed" },
    };
    for (const auto& c : cases) {
        res = m_pClient->Post(c.pszPath, c.pszBody, s_szForm);
        ASSERT_TRUE(res) << c.pszPath;
        EXPECT_EQ(res->status, 200) << c.pszPath;
        EXPECT_EQ(res->body, c.pszReply) << c.pszPath << " " << c.pszBody;
    }
}

TEST_F(StoreServerTest, RefusesBadRequests)
{
    auto res = m_pClient->Post("/qx/tasklist.asp", "udata1=%zz", s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(res->body, "failed");

    // Over 4 MiB: refused without the body being taken in.
    res = m_pClient->Post("/qx/savetask.asp", std::string(STORE_MAX_BODY + 1, 'A'), s_szForm);
    if (res) {
        EXPECT_EQ(res->status, 413);
    }
    // Exactly 4 MiB is read, and refused for what it says.
    res = m_pClient->Post("/qx/savetask.asp", "udata1=x&udata2=" + std::string(STORE_MAX_BODY - 16, '0'), s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "failed");

    res = m_pClient->Get("/qx/tasklist.asp?udata1=example");
    ASSERT_TRUE(res);
    EXPECT_NE(res->status, 200);
    res = m_pClient->Post("/qx/other.asp", "udata1=example", s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    // The server still answers after all of that.
    res = m_pClient->Post("/qx/tasklist.asp", "udata1=example", s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "empty");
}

TEST(StoreServerStartTest, StartsAndStopsAtOnceAndRefusesABusyPort)
{
    if (StorePostgresMissing())
        GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
    char szDir[] = "/tmp/qxserver-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string strError;
    {
        CStoreServer first;
        ASSERT_TRUE(first.Open(StoreDbForTest(szDir), strError)) << strError;
        ASSERT_TRUE(first.Start("127.0.0.1", 0, strError)) << strError;
        CStoreServer second;
        ASSERT_TRUE(second.Open(StoreDbForTest(szDir), strError)) << strError;
        EXPECT_FALSE(second.Start("127.0.0.1", first.GetPort(), strError));
        first.Stop();
        first.Stop();
        EXPECT_EQ(first.GetPort(), 0);
    }
    CStoreServer unopened;
    EXPECT_FALSE(unopened.Open("/nonexistent-dir/x.db", strError));
    std::filesystem::remove_all(szDir);
}

TEST(StoreServerSlowClientTest, SlowClientsFromOneAddressCannotLockOthersOut)
{
    if (StorePostgresMissing())
        GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
    char szDir[] = "/tmp/qxserver-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    StoreOptions options;
    options.nHeaderSeconds = 2;
    CStoreServer server(options);
    std::string strError;
    ASSERT_TRUE(server.Open(StoreDbForTest(szDir), strError)) << strError;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, strError)) << strError;

    // 64 connections from 127.0.0.2 that start a request and then send one
    // header line now and then, never its end.
    CSlowClients slow;
    for (int i = 0; i < 64; ++i) {
        const int hSocket = ConnectFrom("127.0.0.2", server.GetPort());
        ASSERT_GE(hSocket, 0) << "connection " << i;
        SendText(hSocket, "POST /qx/tasklist.asp HTTP/1.1\r\nHost: store\r\n");
        slow.aSockets.push_back(hSocket);
    }
    slow.Start("X-Slow: 1\r\n");

    // Another client is answered all the while; the limit is generous.
    httplib::Client client("127.0.0.1", server.GetPort());
    client.set_read_timeout(8, 0);
    for (int i = 0; i < 3; ++i) {
        auto res = client.Post("/qx/tasklist.asp", "udata1=example", s_szForm);
        ASSERT_TRUE(res) << "request " << i << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->body, CStoreService::EMPTY_LIST);
    }

    // Most of the slow ones were turned away at once, and the server ends
    // the rest once their header is overdue, dripping or not.
    int nRefused = 0;
    for (int hSocket : slow.aSockets) {
        bool bClosed = false;
        const std::string strReply = ReadUntilClosed(hSocket, 20000, &bClosed);
        EXPECT_TRUE(bClosed) << "a connection still open after 20 s: " << strReply;
        if (strReply.rfind("HTTP/1.1 503", 0) == 0)
            ++nRefused;
    }
    EXPECT_GE(nRefused, 64 - options.nConnectionsPerAddress);
    slow.Stop();
    server.Stop();
    std::filesystem::remove_all(szDir);
}

TEST(StoreServerSlowClientTest, AnEndlessHeaderIsCutOff)
{
    if (StorePostgresMissing())
        GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
    char szDir[] = "/tmp/qxserver-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    CStoreServer server;
    std::string strError;
    ASSERT_TRUE(server.Open(StoreDbForTest(szDir), strError)) << strError;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, strError, 4)) << strError;

    // 4,000 short header lines: each within the library's line limit, 200 KB
    // in all, and the request itself would be answered.
    std::string strRequest = "POST /qx/tasklist.asp HTTP/1.1\r\nHost: store\r\n";
    for (int i = 0; i < 4000; ++i)
        strRequest += "X-Filler-" + std::to_string(i) + ": " + std::string(32, 'f') + "\r\n";
    strRequest += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 14\r\n\r\nudata1=example";
    const int hSocket = ConnectFrom("127.0.0.1", server.GetPort());
    ASSERT_GE(hSocket, 0);
    std::thread sender([&] { SendText(hSocket, strRequest); });
    bool bClosed = false;
    const std::string strReply = ReadUntilClosed(hSocket, 20000, &bClosed);
    sender.join();
    EXPECT_TRUE(bClosed);
    EXPECT_EQ(strReply.find("200 OK"), std::string::npos) << strReply;
    close(hSocket);

    // A request of ordinary size on a new connection is answered.
    httplib::Client client("127.0.0.1", server.GetPort());
    client.set_read_timeout(8, 0);
    auto res = client.Post("/qx/tasklist.asp", "udata1=example", s_szForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, CStoreService::EMPTY_LIST);
    server.Stop();
    std::filesystem::remove_all(szDir);
}

TEST(ConnectionGateTest, CountsPerAddressAndInAll)
{
    CConnectionGate gate(2, 3);
    EXPECT_TRUE(gate.Enter("a"));
    EXPECT_TRUE(gate.Enter("a"));
    EXPECT_FALSE(gate.Enter("a"));
    EXPECT_TRUE(gate.Enter("b"));
    EXPECT_FALSE(gate.Enter("c"));  // three open in all
    gate.Leave("a");
    EXPECT_TRUE(gate.Enter("c"));
    gate.Leave("b");
    gate.Leave("b");  // more than entered: harmless
    EXPECT_TRUE(gate.Enter("a"));
    EXPECT_FALSE(gate.Enter("a"));

    struct { int nFamily; const char* pszAddr; const char* pszKey; } cases[] = {
        { AF_INET,  "192.0.2.7",                    "192.0.2.7" },
        { AF_INET6, "::ffff:192.0.2.7",             "192.0.2.7" },        // the same client over IPv6
        { AF_INET6, "2001:db8:1:2:aaaa:bbbb:cc:dd", "2001:db8:1:2::/64" },
        { AF_INET6, "2001:db8:1:2::1",              "2001:db8:1:2::/64" },
        { AF_INET6, "::1",                          "::/64" },
    };
    for (const auto& c : cases) {
        sockaddr_storage addr{};
        addr.ss_family = static_cast<sa_family_t>(c.nFamily);
        void* pTarget = c.nFamily == AF_INET ? static_cast<void*>(&reinterpret_cast<sockaddr_in&>(addr).sin_addr)
                                             : static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(addr).sin6_addr);
        ASSERT_EQ(inet_pton(c.nFamily, c.pszAddr, pTarget), 1) << c.pszAddr;
        EXPECT_EQ(ClientKeyOf(reinterpret_cast<sockaddr*>(&addr)), c.pszKey) << c.pszAddr;
    }
}

namespace {

// A request sent from the loopback address pszSource, with X-Forwarded-For
// when pszForwarded is given; the connection is closed after the reply.
std::string SendFrom(const char* pszSource, int nPort, const char* pszForwarded, const std::string& strPath,
                     const std::string& strBody)
{
    const int hSocket = ConnectFrom(pszSource, nPort);
    if (hSocket < 0)
        return "no connection";
    std::string strRequest = "POST " + strPath + " HTTP/1.1\r\nHost: store\r\nConnection: close\r\n";
    if (pszForwarded != nullptr)
        strRequest += std::string("X-Forwarded-For: ") + pszForwarded + "\r\n";
    strRequest += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                  std::to_string(strBody.size()) + "\r\n\r\n" + strBody;
    SendText(hSocket, strRequest);
    bool bClosed = false;
    std::string strReply = ReadUntilClosed(hSocket, 10000, &bClosed);
    close(hSocket);
    const std::size_t nBody = strReply.find("\r\n\r\n");
    return strReply.rfind("HTTP/1.1 200", 0) == 0 && nBody != std::string::npos ? strReply.substr(nBody + 4)
                                                                                : strReply.substr(0, 12);
}

// A request whose body never ends: it holds its connection (and its
// client's share) until closed.
int HoldFrom(const char* pszSource, int nPort, const char* pszForwarded)
{
    const int hSocket = ConnectFrom(pszSource, nPort);
    if (hSocket < 0)
        return -1;
    std::string strRequest = "POST /qx/tasklist.asp HTTP/1.1\r\nHost: store\r\n";
    if (pszForwarded != nullptr)
        strRequest += std::string("X-Forwarded-For: ") + pszForwarded + "\r\n";
    strRequest += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100\r\n\r\nudata1=";
    SendText(hSocket, strRequest);
    return hSocket;
}

} // namespace

TEST(StoreServerProxyTest, ForwardedAddressesCountOnlyForNamedProxies)
{
    char szDir[] = "/tmp/qxserver-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    StoreOptions options;
    options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    options.nAddressFreeFailures = 2;
    options.nNameFreeFailures = 100;
    options.nLockBaseSeconds = 600;
    options.nConnectionsPerAddress = 2;
    options.aTrustedProxies = { "127.0.0.3", "::ffff:127.0.0.5" };
    CStoreServer server(options);
    std::string strError;
    ASSERT_TRUE(server.Open(std::string(szDir) + "/store.db", strError)) << strError;
    ASSERT_TRUE(server.GetService().AddUser("alice", "pw", strError)) << strError;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, strError, 16)) << strError;
    const int nPort = server.GetPort();
    const std::string strGood = "udata1=alice&udata2=pw&udata3=";
    const std::string strBad = "udata1=alice&udata2=guess&udata3=";

    // Guesses through the proxy lock out the client they came from, not
    // the proxy's other clients.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.1", "/qx/login.asp", strBad), "failed");
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.1", "/qx/login.asp", strGood), "failed");
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.2", "/qx/login.asp", strGood).size(), 47u);
    // The client's own claims left of what the proxy appended count for nothing.
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.2, 10.0.0.1", "/qx/login.asp", strGood), "failed");
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.1, 10.0.0.2", "/qx/login.asp", strGood).size(), 47u);
    // A second named proxy in the chain is looked through.
    EXPECT_EQ(SendFrom("127.0.0.5", nPort, "10.0.0.1, 127.0.0.3", "/qx/login.asp", strGood), "failed");
    // A request without the header counts against the proxy itself.
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, nullptr, "/qx/login.asp", strGood).size(), 47u);

    // From anyone else the header is ignored: the guesses lock out the peer.
    for (int i = 0; i < 4; ++i) {
        const std::string strFake = "10.0.1." + std::to_string(i);
        EXPECT_EQ(SendFrom("127.0.0.4", nPort, strFake.c_str(), "/qx/login.asp", strBad), "failed");
    }
    EXPECT_EQ(SendFrom("127.0.0.4", nPort, "10.0.0.2", "/qx/login.asp", strGood), "failed");

    // Connection shares: the proxy may hold more than one address's share;
    // each forwarded client has its own.
    std::vector<int> aHeld;
    for (int i = 0; i < 2; ++i) {
        aHeld.push_back(HoldFrom("127.0.0.3", nPort, "10.0.0.7"));
        ASSERT_GE(aHeld.back(), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both counted
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.7", "/qx/tasklist.asp", "udata1=example"), "HTTP/1.1 503");
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.8", "/qx/tasklist.asp", "udata1=example"), "empty");
    // Not so for others: two connections fill 127.0.0.4's share, whatever
    // they claim.
    for (int i = 0; i < 2; ++i) {
        const std::string strFake = "10.0.2." + std::to_string(i);
        aHeld.push_back(HoldFrom("127.0.0.4", nPort, strFake.c_str()));
        ASSERT_GE(aHeld.back(), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(SendFrom("127.0.0.4", nPort, "10.0.2.9", "/qx/tasklist.asp", "udata1=example"), "HTTP/1.1 503");
    for (int hSocket : aHeld)
        close(hSocket);
    // Once the held requests are gone, the shares are free again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(SendFrom("127.0.0.3", nPort, "10.0.0.7", "/qx/tasklist.asp", "udata1=example"), "empty");
    server.Stop();
    std::filesystem::remove_all(szDir);
}

TEST(ConnectionGateTest, ForwardedClientKeys)
{
    EXPECT_EQ(NormaliseAddress("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(NormaliseAddress(" 192.0.2.7:8080 "), "192.0.2.7");
    EXPECT_EQ(NormaliseAddress("[2001:DB8::1]:443"), "2001:db8::1");
    EXPECT_EQ(NormaliseAddress("::ffff:192.0.2.7"), "192.0.2.7");
    for (const char* psz : { "", "unknown", "192.0.2", "192.0.2.7.1", "[::1", "_hidden", "1.2.3.4:5:6" })
        EXPECT_EQ(NormaliseAddress(psz), "") << psz;

    const std::vector<std::string> aTrusted{ "192.0.2.1", "192.0.2.2" };
    EXPECT_EQ(ForwardedClientKey("", aTrusted, "proxy"), "proxy");
    EXPECT_EQ(ForwardedClientKey("203.0.113.9", aTrusted, "proxy"), "203.0.113.9");
    EXPECT_EQ(ForwardedClientKey("1.1.1.1, 203.0.113.9", aTrusted, "proxy"), "203.0.113.9");
    EXPECT_EQ(ForwardedClientKey("203.0.113.9,192.0.2.2", aTrusted, "proxy"), "203.0.113.9");
    EXPECT_EQ(ForwardedClientKey("192.0.2.2, 192.0.2.1", aTrusted, "proxy"), "192.0.2.2");
    EXPECT_EQ(ForwardedClientKey("203.0.113.9, garbage", aTrusted, "proxy"), "proxy");
    EXPECT_EQ(ForwardedClientKey("garbage, 192.0.2.1", aTrusted, "proxy"), "192.0.2.1");
    EXPECT_EQ(ForwardedClientKey("2001:db8:1:2::99", aTrusted, "proxy"), "2001:db8:1:2::/64");
    // A long made-up chain is not walked to its end.
    std::string strLong;
    for (int i = 0; i < 10000; ++i)
        strLong += "192.0.2.1,";
    EXPECT_EQ(ForwardedClientKey(strLong + "192.0.2.1", aTrusted, "proxy"), "192.0.2.1");
}
