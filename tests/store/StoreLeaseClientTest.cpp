// StoreLeaseClientTest.cpp - task versions and leases through the client,
// against the real store on loopback: holders competing, hand-over after
// expiry, fencing numbers, renewal after a loss, release; and the reply
// rules against a canned server.
#include "CannedServer.h"
#include "StoreClient.h"

#include "StoreServer.h"
#include "PostgresServer.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

using namespace quarvex;

namespace {

class StoreLeaseClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (StorePostgresMissing())
            GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
        char szDir[] = "/tmp/qxlease-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
    }
    void TearDown() override
    {
        m_pServer.reset();
        std::filesystem::remove_all(m_strDir);
    }
    // A store with alice's account; on the test's clock when bFakeClock.
    void StartServer(bool bFakeClock)
    {
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        if (bFakeClock)
            options.fnNow = [this] { return m_nNow.load(); };
        m_pServer = std::make_unique<CStoreServer>(options);
        std::string strError;
        ASSERT_TRUE(m_pServer->Open(StoreDbForTest(m_strDir), strError)) << strError;
        ASSERT_TRUE(m_pServer->GetService().AddUser("alice", "alice pw", strError)) << strError;
        ASSERT_TRUE(m_pServer->GetService().AddUser("bob", "bob pw", strError)) << strError;
        ASSERT_TRUE(m_pServer->Start("127.0.0.1", 0, strError, 4)) << strError;
        m_strServer = "127.0.0.1:" + std::to_string(m_pServer->GetPort());
    }
    std::vector<std::string> AddTasks(CStoreClient& client, int nCount)
    {
        std::vector<std::string> aIds;
        for (int i = 0; i < nCount; ++i) {
            const std::optional<std::string> id = client.AddTask("<root>" + std::to_string(i) + "</root>");
            EXPECT_TRUE(id.has_value());
            aIds.push_back(id.value_or(""));
        }
        return aIds;
    }
    static std::set<std::string> IdsOf(const std::vector<StoreLease>& aLeases)
    {
        std::set<std::string> ids;
        for (const StoreLease& lease : aLeases)
            ids.insert(lease.strId);
        return ids;
    }

    std::string m_strDir;
    std::string m_strServer;
    std::atomic<std::int64_t> m_nNow{ 1700000000 };
    std::unique_ptr<CStoreServer> m_pServer;
};

} // namespace

TEST_F(StoreLeaseClientTest, VersionsFollowSaves)
{
    StartServer(true);
    CStoreClient client(m_strServer);
    ASSERT_EQ(client.Login("alice", "alice pw"), StoreLogin::OK);
    std::vector<StoreTaskVersion> aTasks{ { "stale", 9 } };
    ASSERT_TRUE(client.ListTaskVersions(aTasks));
    EXPECT_TRUE(aTasks.empty());
    const std::vector<std::string> aIds = AddTasks(client, 2);
    ASSERT_TRUE(client.UpdateTask(aIds[1], "<root>changed</root>"));
    ASSERT_TRUE(client.ListTaskVersions(aTasks));
    ASSERT_EQ(aTasks.size(), 2u);
    EXPECT_EQ(aTasks[0].strId, aIds[0]);
    EXPECT_EQ(aTasks[0].nVersion, 1);
    EXPECT_EQ(aTasks[1].strId, aIds[1]);
    EXPECT_EQ(aTasks[1].nVersion, 2);

    CStoreClient loggedOut(m_strServer);
    EXPECT_FALSE(loggedOut.ListTaskVersions(aTasks));
}

TEST_F(StoreLeaseClientTest, TwoHoldersCompeteEachTaskGoesToOne)
{
    StartServer(true);
    CStoreClient one(m_strServer), two(m_strServer);
    ASSERT_EQ(one.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_EQ(two.Login("alice", "alice pw"), StoreLogin::OK);
    const std::vector<std::string> aIds = AddTasks(one, 6);

    // Both ask for every task at once; each task goes to exactly one.
    std::vector<StoreLease> aOne, aTwo;
    bool bOne = false, bTwo = false;
    std::thread t1([&] { bOne = one.LeaseTasks("runner-1", 6, 60, aOne); });
    std::thread t2([&] { bTwo = two.LeaseTasks("runner-2", 6, 60, aTwo); });
    t1.join();
    t2.join();
    ASSERT_TRUE(bOne && bTwo);
    EXPECT_EQ(aOne.size() + aTwo.size(), 6u);
    std::set<std::string> all = IdsOf(aOne);
    for (const std::string& strId : IdsOf(aTwo))
        EXPECT_TRUE(all.insert(strId).second) << strId << " granted twice";
    EXPECT_EQ(all, std::set<std::string>(aIds.begin(), aIds.end()));
    for (const StoreLease& lease : aOne) {
        EXPECT_EQ(lease.nFence, 1);
        EXPECT_EQ(lease.nTtlSeconds, 60);
    }
    // A named task held by the other is refused.
    const StoreLease& held = aOne.empty() ? aTwo.front() : aOne.front();
    CStoreClient& other = aOne.empty() ? one : two;
    EXPECT_FALSE(other.LeaseTask(aOne.empty() ? "runner-1" : "runner-2", held.strId, 60).has_value());

    // Another account leases none of them.
    CStoreClient bob(m_strServer);
    ASSERT_EQ(bob.Login("bob", "bob pw"), StoreLogin::OK);
    std::vector<StoreLease> aBob;
    ASSERT_TRUE(bob.LeaseTasks("runner-1", 6, 60, aBob));
    EXPECT_TRUE(aBob.empty());
}

TEST_F(StoreLeaseClientTest, ExpiredLeasesAreHandedOverUnderAGrowingFence)
{
    StartServer(true);
    CStoreClient one(m_strServer), two(m_strServer);
    ASSERT_EQ(one.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_EQ(two.Login("alice", "alice pw"), StoreLogin::OK);
    const std::vector<std::string> aIds = AddTasks(one, 2);

    std::vector<StoreLease> aOne, aTwo, aKept;
    ASSERT_TRUE(one.LeaseTasks("runner-1", 10, 30, aOne));
    ASSERT_EQ(aOne.size(), 2u);
    m_nNow += 20;
    // Renewed in time: kept under the same number.
    ASSERT_TRUE(one.RenewLeases("runner-1", aOne, 30, aKept));
    ASSERT_EQ(aKept.size(), 2u);
    EXPECT_EQ(aKept[0].nFence, 1);
    ASSERT_TRUE(two.LeaseTasks("runner-2", 10, 30, aTwo));
    EXPECT_TRUE(aTwo.empty());

    // runner-1 stops renewing; runner-2 takes over after the lease ran out.
    m_nNow += 31;
    ASSERT_TRUE(two.LeaseTasks("runner-2", 10, 30, aTwo));
    ASSERT_EQ(aTwo.size(), 2u);
    EXPECT_EQ(aTwo[0].nFence, 2);
    EXPECT_EQ(aTwo[1].nFence, 2);
    // The late renewal learns it lost both; the request itself succeeded.
    ASSERT_TRUE(one.RenewLeases("runner-1", aOne, 30, aKept));
    EXPECT_TRUE(aKept.empty());
    EXPECT_FALSE(one.ReleaseLease("runner-1", aOne[0]));

    // Released, a task is free at once, and the next grant counts on.
    ASSERT_TRUE(two.ReleaseLease("runner-2", aTwo[0]));
    EXPECT_FALSE(two.ReleaseLease("runner-2", aTwo[0]));
    const std::optional<StoreLease> again = one.LeaseTask("runner-1", aTwo[0].strId, 30);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->nFence, 3);
    // Asked again by its holder, the task keeps its number.
    const std::optional<StoreLease> same = one.LeaseTask("runner-1", aTwo[0].strId, 30);
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(same->nFence, 3);

    // A deleted task's lease is gone.
    ASSERT_TRUE(two.DeleteTask(aTwo[1].strId));
    ASSERT_TRUE(two.RenewLeases("runner-2", { aTwo[1] }, 30, aKept));
    EXPECT_TRUE(aKept.empty());
}

TEST_F(StoreLeaseClientTest, AShortLeaseRunsOutOnTheRealClock)
{
    StartServer(false);
    CStoreClient one(m_strServer), two(m_strServer);
    ASSERT_EQ(one.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_EQ(two.Login("alice", "alice pw"), StoreLogin::OK);
    AddTasks(one, 1);
    std::vector<StoreLease> aOne, aTwo, aKept;
    ASSERT_TRUE(one.LeaseTasks("runner-1", 1, 1, aOne));
    ASSERT_EQ(aOne.size(), 1u);
    ASSERT_TRUE(two.LeaseTasks("runner-2", 1, 1, aTwo));
    EXPECT_TRUE(aTwo.empty());
    // A second lease lasts a whole second, not to the next full second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_TRUE(two.LeaseTasks("runner-2", 1, 1, aTwo));
    ASSERT_EQ(aTwo.size(), 1u);
    EXPECT_EQ(aTwo[0].nFence, aOne[0].nFence + 1);
    ASSERT_TRUE(one.RenewLeases("runner-1", aOne, 1, aKept));
    EXPECT_TRUE(aKept.empty());
}

TEST(StoreLeaseReplyTest, ReplyRules)
{
    EXPECT_TRUE(SplitLeaseList("empty").empty());
    EXPECT_TRUE(SplitLeaseList("failed").empty());
    const std::vector<StoreLease> aLeases = SplitLeaseList("{A}:1:60#{B}:x:60#{C}:2#{D}:3:4:5#:1:1#{E}:7:99999999#{F}:18:30#tail");
    ASSERT_EQ(aLeases.size(), 2u);
    EXPECT_EQ(aLeases[0].strId, "{A}");
    EXPECT_EQ(aLeases[0].nFence, 1);
    EXPECT_EQ(aLeases[0].nTtlSeconds, 60);
    EXPECT_EQ(aLeases[1].strId, "{F}");
    EXPECT_EQ(aLeases[1].nFence, 18);
    const std::vector<StoreTaskVersion> aTasks = SplitVersionList("{A}:3#{B}:#{C}:-1#{D}:12345678901234567890#{E}:7#");
    ASSERT_EQ(aTasks.size(), 2u);
    EXPECT_EQ(aTasks[0].strId, "{A}");
    EXPECT_EQ(aTasks[0].nVersion, 3);
    EXPECT_EQ(aTasks[1].strId, "{E}");

    CCannedServer server;
    CStoreClient client(server.GetServer());
    std::vector<StoreTaskVersion> aVersions;
    server.AddReply("failed");
    EXPECT_FALSE(client.ListTaskVersions(aVersions));
    server.AddReply("");
    EXPECT_FALSE(client.ListTaskVersions(aVersions));
    std::vector<StoreLease> aGranted, aKept;
    server.AddReply("failed");
    EXPECT_FALSE(client.LeaseTasks("h", 1, 60, aGranted));
    server.AddReply("empty");
    EXPECT_TRUE(client.LeaseTasks("h", 1, 60, aGranted));
    EXPECT_TRUE(aGranted.empty());
    // A renewal reply naming leases that were not asked for keeps none of them.
    server.AddReply("{A}:2:60#{B}:1:60#");
    EXPECT_TRUE(client.RenewLeases("h", { { "{A}", 1, 60 } }, 60, aKept));
    EXPECT_TRUE(aKept.empty());
    // A named lease must be the task asked for.
    server.AddReply("{B}:1:60#");
    EXPECT_FALSE(client.LeaseTask("h", "{A}", 60).has_value());
    server.AddReply("OK");
    EXPECT_FALSE(client.ReleaseLease("h", { "{A}", 1, 60 }));

    // The exact bodies: every value encoded, numbers as decimal.
    server.AddReply("ok");
    EXPECT_TRUE(client.ReleaseLease("host a&b", { "{A}", 12, 60 }));
    server.AddReply("empty");
    client.RenewLeases("h", { { "{A}", 1, 0 }, { "{B}", 2, 0 } }, 30, aKept);
    const std::vector<std::string> aRequests = server.GetRequests();
    ASSERT_GE(aRequests.size(), 2u);
    const std::string& strRelease = aRequests[aRequests.size() - 2];
    EXPECT_NE(strRelease.find("POST /qx/release.asp "), std::string::npos);
    EXPECT_NE(strRelease.find("\r\n\r\nudata1=&udata2=host+a%26b&udata3=%7BA%7D&udata4=12"), std::string::npos)
        << strRelease;
    const std::string& strRenew = aRequests.back();
    EXPECT_NE(strRenew.find("POST /qx/renew.asp "), std::string::npos);
    EXPECT_NE(strRenew.find("&udata3=30&udata4=%7BA%7D%3A1%23%7BB%7D%3A2%23"), std::string::npos) << strRenew;
}
