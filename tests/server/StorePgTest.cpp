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
#include <libpq-fe.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

namespace {

std::unique_ptr<IStoreDb> OpenDb(const std::string& strUri)
{
    std::unique_ptr<IStoreDb> pDb = MakeStoreDb(strUri);
    std::string strError;
    EXPECT_TRUE(pDb->Open(strUri, strError)) << strError;
    return pDb;
}

} // namespace

TEST_F(StorePgTest, RunnersLeasingTogetherThroughTwoServersNeverShareATask)
{
    std::unique_ptr<IStoreDb> pFirst = OpenDb(m_strUri);
    std::unique_ptr<IStoreDb> pSecond = OpenDb(m_strUri);
    const std::optional<std::int64_t> account = pFirst->EnsureAccount("alice");
    ASSERT_TRUE(account.has_value());
    std::vector<std::string> aIds;
    for (int i = 0; i < 40; ++i) {
        aIds.push_back(MakeTaskId());
        ASSERT_TRUE(pFirst->AddTask(*account, aIds.back(), { MakeBlobKey(), "" }, 1)) << pFirst->GetLastError();
    }
    const std::int64_t nNowMs = 1700000000000;

    // Four runners, two on each server, each asking for up to 7 tasks at a
    // time until nothing is left.
    std::vector<std::vector<StoredLease>> aGranted(4);
    std::latch start(4);
    std::vector<std::thread> aThreads;
    for (int r = 0; r < 4; ++r) {
        aThreads.emplace_back([&, r] {
            IStoreDb& db = r % 2 == 0 ? *pFirst : *pSecond;
            start.arrive_and_wait();
            for (;;) {
                const std::optional<std::vector<StoredLease>> got =
                    db.LeaseTasks(*account, "runner" + std::to_string(r), 7, nNowMs, 60000);
                ASSERT_TRUE(got.has_value()) << db.GetLastError();
                if (got->empty())
                    break;
                aGranted[static_cast<std::size_t>(r)].insert(aGranted[static_cast<std::size_t>(r)].end(),
                                                            got->begin(), got->end());
            }
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    std::vector<std::string> aAll;
    for (const auto& aLeases : aGranted) {
        for (const StoredLease& lease : aLeases) {
            aAll.push_back(lease.strId);
            EXPECT_EQ(lease.nFence, 1) << lease.strId;
            EXPECT_EQ(lease.nExpiresMs, nNowMs + 60000);
        }
    }
    std::sort(aAll.begin(), aAll.end());
    std::vector<std::string> aSorted = aIds;
    std::sort(aSorted.begin(), aSorted.end());
    EXPECT_EQ(aAll, aSorted);  // each task once, none left out

    // runner0's leases run out; runner1 takes them over under new numbers,
    // and runner0 can neither renew nor release them any more.
    const std::vector<StoredLease>& aOld = aGranted[0];
    const std::int64_t nLaterMs = nNowMs + 60001;
    const std::optional<std::vector<StoredLease>> taken = pSecond->LeaseTasks(*account, "runner1", 100, nLaterMs, 60000);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->size(), 40u);  // every lease ran out at the same moment
    for (const StoredLease& lease : *taken)
        EXPECT_EQ(lease.nFence, 2) << lease.strId;
    const std::optional<std::vector<StoredLease>> renewed = pFirst->RenewLeases(*account, "runner0", aOld, nLaterMs, 60000);
    ASSERT_TRUE(renewed.has_value());
    EXPECT_TRUE(renewed->empty());
    if (!aOld.empty()) {
        EXPECT_FALSE(pFirst->ReleaseLease(*account, "runner0", aOld[0].strId, aOld[0].nFence));
    }
}

TEST_F(StorePgTest, ALeaseOfOneTaskRenewsReleasesAndEndsWithItsTask)
{
    std::unique_ptr<IStoreDb> pFirst = OpenDb(m_strUri);
    std::unique_ptr<IStoreDb> pSecond = OpenDb(m_strUri);
    const std::optional<std::int64_t> alice = pFirst->EnsureAccount("alice");
    const std::optional<std::int64_t> bob = pFirst->EnsureAccount("bob");
    ASSERT_TRUE(alice && bob);
    const std::string strId = MakeTaskId();
    ASSERT_TRUE(pFirst->AddTask(*alice, strId, { MakeBlobKey(), "" }, 1));

    std::optional<StoredLease> granted;
    ASSERT_TRUE(pFirst->LeaseTask(*alice, "desk", strId, 1000, 5000, granted));
    ASSERT_TRUE(granted.has_value());
    EXPECT_EQ(granted->nFence, 1);
    // Held: another holder gets nothing, through either server; another
    // account does not even see the task.
    ASSERT_TRUE(pSecond->LeaseTask(*alice, "runner", strId, 2000, 5000, granted));
    EXPECT_FALSE(granted.has_value());
    ASSERT_TRUE(pSecond->LeaseTask(*bob, "runner", strId, 2000, 5000, granted));
    EXPECT_FALSE(granted.has_value());
    // Asked again by its holder: the same number, a later end.
    ASSERT_TRUE(pSecond->LeaseTask(*alice, "desk", strId, 3000, 5000, granted));
    ASSERT_TRUE(granted.has_value());
    EXPECT_EQ(granted->nFence, 1);
    EXPECT_EQ(granted->nExpiresMs, 8000);
    EXPECT_FALSE(pSecond->ReleaseLease(*alice, "runner", strId, 1));
    EXPECT_TRUE(pSecond->ReleaseLease(*alice, "desk", strId, 1));
    ASSERT_TRUE(pFirst->LeaseTask(*alice, "runner", strId, 3500, 5000, granted));
    ASSERT_TRUE(granted.has_value());
    EXPECT_EQ(granted->nFence, 2);

    // Saving counts versions; deleting ends the lease.
    ASSERT_TRUE(pSecond->UpdateTask(*alice, strId, { MakeBlobKey(), "" }, 2));
    const std::optional<std::vector<StoredTaskVersion>> versions = pFirst->ListTaskVersions(*alice);
    ASSERT_TRUE(versions.has_value());
    ASSERT_EQ(versions->size(), 1u);
    EXPECT_EQ((*versions)[0].nVersion, 2);
    ASSERT_TRUE(pFirst->DeleteTask(*alice, strId));
    const std::optional<std::vector<StoredLease>> renewed =
        pSecond->RenewLeases(*alice, "runner", { *granted }, 4000, 5000);
    ASSERT_TRUE(renewed.has_value());
    EXPECT_TRUE(renewed->empty());
    ASSERT_TRUE(pFirst->LeaseTask(*alice, "runner", strId, 4000, 5000, granted));
    EXPECT_FALSE(granted.has_value());
}

TEST_F(StorePgTest, EndedConnectionsAreMadeAgainAndALostDatabaseIsAFailedReply)
{
    std::unique_ptr<CStoreService> pService = MakeService();
    std::string strError;
    ASSERT_TRUE(pService->AddUser("alice", "alice-pw", strError)) << strError;
    const std::string strToken = Login(*pService, "alice", "alice-pw");
    ASSERT_EQ(strToken.size(), 32u);
    ASSERT_EQ(Add(*pService, strToken, "<root/>").size(), 38u);

    // An administrator ends every session of the store (as a restart of the
    // database does): the next requests are answered all the same.
    {
        CPostgresServer* pServer = SharedPostgresServer(strError);
        ASSERT_NE(pServer, nullptr);
        PGconn* pAdmin = PQconnectdb(pServer->Uri("postgres").c_str());
        PGresult* pResult = PQexec(pAdmin, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                                           " WHERE application_name = 'quarvex-store'");
        EXPECT_EQ(PQresultStatus(pResult), PGRES_TUPLES_OK) << PQerrorMessage(pAdmin);
        PQclear(pResult);
        PQfinish(pAdmin);
    }
    EXPECT_EQ(pService->ListTasks({ { "udata1", strToken } }).size(), 39u);
    EXPECT_EQ(Add(*pService, strToken, "<root/>").size(), 38u);

    // A database server that is gone: replies say "failed", at once.
    CPostgresServer own;
    ASSERT_TRUE(own.Start(strError)) << strError;
    m_strUri = own.CreateDatabase(strError);
    ASSERT_FALSE(m_strUri.empty()) << strError;
    pService = MakeService();
    ASSERT_TRUE(pService->AddUser("bob", "bob-pw", strError)) << strError;
    const std::string strBob = Login(*pService, "bob", "bob-pw");
    ASSERT_EQ(strBob.size(), 32u);
    own.Stop();
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(pService->ListTasks({ { "udata1", strBob } }), CStoreService::FAILED);
    EXPECT_EQ(Add(*pService, strBob, "<root/>"), CStoreService::FAILED);
    EXPECT_EQ(Login(*pService, "bob", "bob-pw"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(10));
}
