// StorePgTest.cpp - what only the PostgreSQL store has: several store
// servers on one database, which must count login failures and quotas
// together, and create the tables together.
#include "ChildServer.h"
#include "PostgresServer.h"
#include "StoreService.h"
#include "TempDir.h"

#include "store/BlobCodec.h"
#include "store/StoreClient.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

using namespace quarvex;

namespace {

class StorePgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (CPostgresServer::FindBinDir().empty())
            GTEST_SKIP() << "PostgreSQL is not installed (Debian's postgresql package)";
        std::string strError;
        CPostgresServer* pServer = SharedPostgresServer(strError);
        ASSERT_NE(pServer, nullptr) << strError;
        m_strUri = pServer->CreateDatabase(strError);
        ASSERT_FALSE(m_strUri.empty()) << strError;
    }

    // One store server's service on the test database.
    std::unique_ptr<CStoreService> MakeService(std::int64_t nMaxTasks = 10000)
    {
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        options.nNameFreeFailures = 3;
        options.nAddressFreeFailures = 6;
        options.nLockBaseSeconds = 60;
        options.nMaxTasksPerAccount = nMaxTasks;
        options.fnNow = [this] { return m_nNow.load(); };
        auto pService = std::make_unique<CStoreService>(options);
        std::string strError;
        EXPECT_TRUE(pService->Open(m_strUri, strError)) << strError;
        return pService;
    }

    static std::string Login(CStoreService& service, const std::string& strName, const std::string& strPassword,
                             const char* pszAddr = "10.0.0.1")
    {
        const std::string strReply =
            service.Login({ { "udata1", strName }, { "udata2", strPassword }, { "udata3", "" } }, pszAddr);
        if (strReply.size() != 47)
            return "";
        std::string strToken;
        for (int i = 1; i < 30; i += 2)
            strToken += strReply[static_cast<std::size_t>(i)];
        return strToken + strReply.substr(30);
    }
    static std::string Add(CStoreService& service, const std::string& strToken, const std::string& strText)
    {
        const std::string strKey = MakeBlobKey();
        return service.SaveTask(
            { { "udata1", strToken }, { "udata2", EncodeTaskBlob(strText, strKey) }, { "udata3", strKey } });
    }

    std::string m_strUri;
    std::atomic<std::int64_t> m_nNow{ 1700000000 };
};

} // namespace

TEST_F(StorePgTest, TwoServersOnOneDatabaseShareTheLoginThrottle)
{
    std::unique_ptr<CStoreService> pFirst = MakeService();
    std::unique_ptr<CStoreService> pSecond = MakeService();
    std::string strError;
    ASSERT_TRUE(pFirst->AddUser("alice", "alice-pw", strError)) << strError;
    ASSERT_TRUE(pSecond->AddUser("bob", "bob-pw", strError)) << strError;

    // Each server sees the accounts the other made.
    EXPECT_EQ(Login(*pSecond, "alice", "alice-pw").size(), 32u);
    EXPECT_EQ(Login(*pFirst, "BOB", "bob-pw").size(), 32u);

    // Guesses spread over both servers count together: two on each are one
    // more than the three free failures, so the name is locked on both.
    for (CStoreService* pService : { pFirst.get(), pSecond.get(), pFirst.get(), pSecond.get() })
        EXPECT_EQ(Login(*pService, "alice", "wrong", "10.0.0.2"), "");
    EXPECT_EQ(Login(*pFirst, "alice", "alice-pw", "10.0.0.3"), "");
    EXPECT_EQ(Login(*pSecond, "alice", "alice-pw", "10.0.0.3"), "");
    EXPECT_EQ(Login(*pSecond, "bob", "bob-pw", "10.0.0.3").size(), 32u);
    m_nNow += 60;
    EXPECT_EQ(Login(*pSecond, "alice", "alice-pw", "10.0.0.3").size(), 32u);

    // One address guessing across many names, half through each server.
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Login(i % 2 == 0 ? *pFirst : *pSecond, "name" + std::to_string(i), "x", "10.0.0.9"), "");
    EXPECT_EQ(Login(*pFirst, "bob", "bob-pw", "10.0.0.9"), "");
    EXPECT_EQ(Login(*pSecond, "bob", "bob-pw", "10.0.0.9"), "");
    EXPECT_EQ(Login(*pSecond, "bob", "bob-pw", "10.0.0.8").size(), 32u);

    // A server started later, on the same database, knows the lock-outs.
    std::unique_ptr<CStoreService> pThird = MakeService();
    EXPECT_EQ(Login(*pThird, "bob", "bob-pw", "10.0.0.9"), "");
}

TEST_F(StorePgTest, ParallelGuessesThroughTwoServersAreCountedBeforeTheHash)
{
    std::unique_ptr<CStoreService> pFirst = MakeService();
    std::unique_ptr<CStoreService> pSecond = MakeService();
    std::string strError;
    ASSERT_TRUE(pFirst->AddUser("alice", "alice-pw", strError)) << strError;
    std::latch start(32);
    std::vector<std::thread> aThreads;
    for (int i = 0; i < 32; ++i) {
        aThreads.emplace_back([&, i] {
            start.arrive_and_wait();
            CStoreService& service = i % 2 == 0 ? *pFirst : *pSecond;
            EXPECT_EQ(Login(service, "alice", "guess" + std::to_string(i), "10.0.0.5"), "");
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    EXPECT_EQ(Login(*pFirst, "alice", "alice-pw", "10.0.0.6"), "");
    EXPECT_EQ(Login(*pSecond, "alice", "alice-pw", "10.0.0.6"), "");
    m_nNow += 61;
    EXPECT_EQ(Login(*pSecond, "alice", "alice-pw", "10.0.0.6").size(), 32u);
}

TEST_F(StorePgTest, TwoServersOnOneDatabaseShareTheQuota)
{
    std::unique_ptr<CStoreService> pFirst = MakeService(8);
    std::unique_ptr<CStoreService> pSecond = MakeService(8);
    std::string strError;
    ASSERT_TRUE(pFirst->AddUser("alice", "alice-pw", strError)) << strError;
    const std::string strToken = Login(*pFirst, "alice", "alice-pw");
    ASSERT_EQ(strToken.size(), 32u);
    // A session opened on one server is good on the other.
    ASSERT_EQ(Add(*pSecond, strToken, "<root>first</root>").size(), 38u);

    // 24 saves at once, half through each server: seven more fit.
    std::latch start(24);
    std::atomic<int> nAdded{ 0 };
    std::vector<std::thread> aThreads;
    for (int i = 0; i < 24; ++i) {
        aThreads.emplace_back([&, i] {
            start.arrive_and_wait();
            if (Add(i % 2 == 0 ? *pFirst : *pSecond, strToken, "<root>" + std::to_string(i) + "</root>").size() == 38)
                ++nAdded;
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    EXPECT_EQ(nAdded.load(), 7);
    const std::string strList = pSecond->ListTasks({ { "udata1", strToken } });
    EXPECT_EQ(std::count(strList.begin(), strList.end(), '#'), 8) << strList;
    EXPECT_EQ(Add(*pFirst, strToken, "<root>one more</root>"), CStoreService::FAILED);
}

TEST_F(StorePgTest, ServersStartingTogetherMakeTheTablesOnce)
{
    std::vector<std::unique_ptr<CStoreService>> aServices(4);
    std::latch start(4);
    std::vector<std::thread> aThreads;
    for (std::size_t i = 0; i < aServices.size(); ++i) {
        aThreads.emplace_back([&, i] {
            start.arrive_and_wait();
            aServices[i] = MakeService();
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    std::string strError;
    ASSERT_TRUE(aServices[0]->AddUser("carol", "pw", strError)) << strError;
    EXPECT_EQ(Login(*aServices[3], "carol", "pw").size(), 32u);
}

TEST_F(StorePgTest, AnUnreachableDatabaseIsAClearError)
{
    CStoreService service;
    std::string strError;
    EXPECT_FALSE(service.Open("postgresql://127.0.0.1:1/none?connect_timeout=2", strError));
    EXPECT_NE(strError.find("127.0.0.1"), std::string::npos) << strError;
}

TEST_F(StorePgTest, TwoStoreProgramsServeOneDatabase)
{
    // quarvex-store as an administrator runs it: the account made by one
    // command, two servers on the same database behind their own ports.
    const std::string strAdd = "echo 'alice pw' | '" QUARVEX_STORE_PROGRAM "' --db '" + m_strUri + "' adduser alice";
    ASSERT_EQ(std::system(strAdd.c_str()), 0) << strAdd;
    CChildServer aServers[2];
    std::string aAddresses[2];
    for (int i = 0; i < 2; ++i) {
        CChildServer::EStart eStart = CChildServer::EXITED;
        for (int nTry = 0; nTry < 3 && eStart == CChildServer::EXITED; ++nTry) {
            const int nPort = FindFreePort();
            aAddresses[i] = "127.0.0.1:" + std::to_string(nPort);
            eStart = aServers[i].Start({ QUARVEX_STORE_PROGRAM, "--db", m_strUri, "serve", "--listen", aAddresses[i],
                                         "--max-tasks", "2" },
                                       nPort, 30);
        }
        ASSERT_EQ(eStart, CChildServer::STARTED) << "server " << i;
    }

    CStoreClient first(aAddresses[0]);
    CStoreClient second(aAddresses[1]);
    ASSERT_EQ(first.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_EQ(second.Login("ALICE", "alice pw"), StoreLogin::OK);
    const std::optional<std::string> id = first.AddTask("<root>one</root>");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(second.LoadTask(*id, second.GetToken()), "<root>one</root>");
    EXPECT_TRUE(second.AddTask("<root>two</root>").has_value());
    // The quota of two holds across both servers.
    EXPECT_FALSE(first.AddTask("<root>three</root>").has_value());
    EXPECT_FALSE(second.AddTask("<root>three</root>").has_value());
    std::vector<std::string> aIds;
    ASSERT_TRUE(first.ListTasks(aIds));
    EXPECT_EQ(aIds.size(), 2u);
}
