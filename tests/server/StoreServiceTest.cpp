// StoreServiceTest.cpp - the store's answers without HTTP: sessions, owners,
// refusals, examples and administration, on a temporary SQLite file.
#include "PostgresServer.h"
#include "StoreService.h"

#include "store/BlobCodec.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

using namespace quarvex;

namespace {

const std::int64_t DAY = 24 * 3600;

class StoreServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (StorePostgresMissing())
            GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
        char szDir[] = "/tmp/qxstore-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        m_strDb = StoreDbForTest(m_strDir);
        m_pService = MakeService();
        std::string strError;
        ASSERT_TRUE(m_pService->AddUser("alice", "alice-pw", strError)) << strError;
        ASSERT_TRUE(m_pService->AddUser("bob", "bob-pw", strError)) << strError;
    }
    void TearDown() override
    {
        m_pService.reset();
        std::filesystem::remove_all(m_strDir);
    }

    // The cheapest Argon2id the library allows keeps the tests quick.
    std::unique_ptr<CStoreService> MakeService(unsigned long long nOpsLimit = crypto_pwhash_OPSLIMIT_MIN,
                                               std::size_t nMemLimit = crypto_pwhash_MEMLIMIT_MIN)
    {
        StoreOptions options;
        options.nPwOpsLimit = nOpsLimit;
        options.nPwMemLimit = nMemLimit;
        options.nNameFreeFailures = 3;
        options.nAddressFreeFailures = 6;
        options.nLockBaseSeconds = 60;
        options.fnNow = [this] { return m_nNow; };
        options.nMaxTasksPerAccount = m_quota.nMaxTasks;
        options.nMaxBytesPerAccount = m_quota.nMaxBytes;
        auto pService = std::make_unique<CStoreService>(options);
        std::string strError;
        EXPECT_TRUE(pService->Open(m_strDb, strError)) << strError;
        return pService;
    }

    std::string Login(const std::string& strName, const std::string& strPassword, const char* pszAddr = "10.0.0.1")
    {
        return m_pService->Login({ { "udata1", strName }, { "udata2", strPassword }, { "udata3", "" } }, pszAddr);
    }
    // The token as the client reads it from the reply.
    static std::string Token(const std::string& strReply)
    {
        if (strReply.size() != 47)
            return "";
        std::string strToken;
        for (int i = 1; i < 30; i += 2)
            strToken += strReply[static_cast<std::size_t>(i)];
        return strToken + strReply.substr(30);
    }
    std::string Add(const std::string& strToken, const std::string& strText, const std::string& strKey = MakeBlobKey())
    {
        return m_pService->SaveTask(
            { { "udata1", strToken }, { "udata2", EncodeTaskBlob(strText, strKey) }, { "udata3", strKey } });
    }
    std::string Update(const std::string& strToken, const std::string& strId, const std::string& strText,
                       const std::string& strKey = MakeBlobKey())
    {
        return m_pService->SaveTask({ { "udata1", strToken },
                                      { "udata2", EncodeTaskBlob(strText, strKey) },
                                      { "udata3", strKey },
                                      { "udata4", strId } });
    }
    std::string Load(const std::string& strId, const std::string& strToken)
    {
        return m_pService->LoadTask({ { "udata1", strId }, { "udata2", strToken } });
    }
    std::string List(const std::string& strToken) { return m_pService->ListTasks({ { "udata1", strToken } }); }
    std::string Delete(const std::string& strToken, const std::string& strId)
    {
        return m_pService->DeleteTask({ { "udata1", strToken }, { "udata2", strId } });
    }

    std::string Versions(const std::string& strToken)
    {
        return m_pService->ListTaskVersions({ { "udata1", strToken } });
    }
    std::string Lease(const std::string& strToken, const std::string& strHolder, const std::string& strWant,
                      const std::string& strTtl = "60", const std::string& strId = "")
    {
        StoreForm form{ { "udata1", strToken }, { "udata2", strHolder }, { "udata3", strWant }, { "udata4", strTtl } };
        if (!strId.empty())
            form["udata5"] = strId;
        return m_pService->LeaseTasks(form);
    }
    std::string Renew(const std::string& strToken, const std::string& strHolder, const std::string& strList,
                      const std::string& strTtl = "60")
    {
        return m_pService->RenewLeases(
            { { "udata1", strToken }, { "udata2", strHolder }, { "udata3", strTtl }, { "udata4", strList } });
    }
    std::string Release(const std::string& strToken, const std::string& strHolder, const std::string& strId,
                        const std::string& strFence)
    {
        return m_pService->ReleaseLease(
            { { "udata1", strToken }, { "udata2", strHolder }, { "udata3", strId }, { "udata4", strFence } });
    }

    std::string m_strDir;
    std::string m_strDb;  // The SQLite file or PostgreSQL database under test.
    std::int64_t m_nNow = 1700000000;
    TaskQuota m_quota{ StoreOptions().nMaxTasksPerAccount, StoreOptions().nMaxBytesPerAccount };
    std::unique_ptr<CStoreService> m_pService;
};

} // namespace

TEST(StoreTextTest, LoginReplyAndTaskIdShapes)
{
    const std::string strToken = MakeSessionToken();
    ASSERT_EQ(strToken.size(), 32u);
    const std::string strReply = MakeLoginReply(strToken);
    ASSERT_EQ(strReply.size(), 47u);
    std::string strRead;
    for (std::size_t i = 1; i <= 29; i += 2)
        strRead += strReply[i];
    EXPECT_EQ(strRead + strReply.substr(30), strToken);
    EXPECT_NE(MakeSessionToken(), strToken);

    const std::string strId = MakeTaskId();
    ASSERT_EQ(strId.size(), 38u) << strId;
    EXPECT_EQ(strId.front(), '{');
    EXPECT_EQ(strId.back(), '}');
    for (std::size_t nDash : { 9u, 14u, 19u, 24u })
        EXPECT_EQ(strId[nDash], '-') << strId;
    EXPECT_EQ(strId.find_first_of("abcdef"), std::string::npos) << strId;
}

TEST_F(StoreServiceTest, TaskLifeCycle)
{
    const std::string strToken = Token(Login("alice", "alice-pw"));
    ASSERT_EQ(strToken.size(), 32u);
    EXPECT_EQ(List(strToken), CStoreService::EMPTY_LIST);

    const std::string strId = Add(strToken, "\r\n<root></root>");
    ASSERT_EQ(strId.size(), 38u) << strId;
    const std::string strId2 = Add(strToken, std::string(100, 'x'));
    EXPECT_EQ(List(strToken), strId + "#" + strId2 + "#");
    EXPECT_EQ(DecodeTaskReply(Load(strId, strToken)), "\r\n<root></root>");

    const std::string strKey = MakeBlobKey();
    EXPECT_EQ(Update(strToken, strId, "<root>changed</root>", strKey), strKey);
    EXPECT_EQ(DecodeTaskReply(Load(strId, strToken)), "<root>changed</root>");

    EXPECT_EQ(Delete(strToken, strId), "ok");
    EXPECT_EQ(Delete(strToken, strId), CStoreService::FAILED);
    EXPECT_EQ(Load(strId, strToken), CStoreService::FAILED);
    EXPECT_EQ(List(strToken), strId2 + "#");

    // A name compares without regard to case, and a new login leaves the
    // old session usable.
    const std::string strToken2 = Token(Login("ALICE", "alice-pw"));
    ASSERT_EQ(strToken2.size(), 32u);
    EXPECT_NE(strToken2, strToken);
    EXPECT_EQ(List(strToken), strId2 + "#");
}

TEST_F(StoreServiceTest, ATokenReachesOnlyItsOwnAccount)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strBob = Token(Login("bob", "bob-pw"));
    const std::string strId = Add(strAlice, "<root>alice</root>");
    ASSERT_EQ(strId.size(), 38u);

    EXPECT_EQ(Load(strId, strBob), CStoreService::FAILED);
    EXPECT_EQ(Load(strId, ""), CStoreService::FAILED);  // not an example
    EXPECT_EQ(Update(strBob, strId, "<root>bob</root>"), CStoreService::FAILED);
    EXPECT_EQ(Delete(strBob, strId), CStoreService::FAILED);
    EXPECT_EQ(List(strBob), CStoreService::EMPTY_LIST);
    EXPECT_EQ(DecodeTaskReply(Load(strId, strAlice)), "<root>alice</root>");

    for (const std::string& strBad : { std::string(), std::string(32, '0'), strAlice.substr(1), strAlice + "0" }) {
        EXPECT_EQ(List(strBad), CStoreService::FAILED) << strBad;
        EXPECT_EQ(Add(strBad, "<root/>"), CStoreService::FAILED) << strBad;
        EXPECT_EQ(Delete(strBad, strId), CStoreService::FAILED) << strBad;
    }
    EXPECT_EQ(List(strAlice), strId + "#");
}

TEST_F(StoreServiceTest, SessionsExpireAfterThirtyIdleDays)
{
    const std::string strToken = Token(Login("alice", "alice-pw"));
    const std::string strId = Add(strToken, "<root/>");
    m_nNow += 29 * DAY;
    EXPECT_EQ(List(strToken), strId + "#");  // use renews the session
    m_nNow += 29 * DAY;
    EXPECT_EQ(List(strToken), strId + "#");
    m_nNow += 30 * DAY + 1;
    EXPECT_EQ(List(strToken), CStoreService::FAILED);
    EXPECT_EQ(Load(strId, strToken), CStoreService::FAILED);
    EXPECT_EQ(Add(strToken, "<root/>"), CStoreService::FAILED);
    EXPECT_EQ(Delete(strToken, strId), CStoreService::FAILED);
    EXPECT_EQ(List(Token(Login("alice", "alice-pw"))), strId + "#");
}

TEST_F(StoreServiceTest, MalformedBlobsAndKeysAreRefused)
{
    const std::string strToken = Token(Login("alice", "alice-pw"));
    const std::string strKey = MakeBlobKey();
    const std::string strBlob = EncodeTaskBlob("<root>text</root>", strKey);
    struct { std::string strBlob; std::string strKey; bool bOk; } cases[] = {
        { strBlob, strKey, true },
        { "", strKey, true },                                     // the empty definition
        { strBlob, "0123456789abcdef0123456789ABCDEF", true },    // hex of either case
        { strBlob, strKey.substr(1), false },
        { strBlob, strKey + "0", false },
        { strBlob, "0123456789ABCDEF0123456789ABCDEG", false },
        { strBlob.substr(0, strBlob.size() - 1), strKey, false }, // not whole blocks
        { "a" + strBlob.substr(1), strKey, false },               // lower case
        { "W" + strBlob.substr(1), strKey, false },
    };
    for (const auto& c : cases) {
        const std::string strReply =
            m_pService->SaveTask({ { "udata1", strToken }, { "udata2", c.strBlob }, { "udata3", c.strKey } });
        EXPECT_EQ(strReply.size() == 38, c.bOk) << c.strBlob << " / " << c.strKey << " -> " << strReply;
    }
    EXPECT_EQ(Update(strToken, "{00000000-0000-0000-0000-000000000000}", "<root/>"), CStoreService::FAILED);
}

TEST_F(StoreServiceTest, ExamplesAreOpenToEveryone)
{
    EXPECT_EQ(List("example"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Login("example", "anything"), CStoreService::FAILED);  // no password yet

    const std::optional<std::string> id = m_pService->AddExample("<root>example</root>");
    ASSERT_TRUE(id.has_value());
    const std::optional<std::string> idEmpty = m_pService->AddExample("");
    ASSERT_TRUE(idEmpty.has_value());
    EXPECT_EQ(List("example"), *id + "#" + *idEmpty + "#");
    EXPECT_EQ(DecodeTaskReply(Load(*id, "")), "<root>example</root>");
    EXPECT_EQ(DecodeTaskReply(Load(*idEmpty, "")), "");
    EXPECT_EQ(Login("example", "anything"), CStoreService::FAILED);  // still no password

    // An example is public, not shared: no other account can change it.
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    EXPECT_EQ(Update(strAlice, *id, "<root>vandal</root>"), CStoreService::FAILED);
    EXPECT_EQ(Delete(strAlice, *id), CStoreService::FAILED);

    // Giving the example account a password opens it for maintenance.
    std::string strError;
    ASSERT_TRUE(m_pService->AddUser("example", "ex-pw", strError)) << strError;
    EXPECT_FALSE(m_pService->AddUser("example", "other", strError));
    const std::string strExample = Token(Login("Example", "ex-pw"));
    ASSERT_EQ(strExample.size(), 32u);
    EXPECT_EQ(Delete(strExample, *idEmpty), "ok");
    EXPECT_EQ(List("example"), *id + "#");
}

TEST_F(StoreServiceTest, LoginFailuresAreSlowedPerNameAndAddress)
{
    EXPECT_EQ(Login("alice", "wrong"), CStoreService::FAILED);
    EXPECT_EQ(Login("nobody", "alice-pw"), CStoreService::FAILED);
    EXPECT_EQ(Login("alice", ""), CStoreService::FAILED);
    EXPECT_EQ(Token(Login("alice", "alice-pw")).size(), 32u);  // a success clears the name

    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Login("alice", "wrong", "10.0.0.2"), CStoreService::FAILED);
    // Locked: even the right password is refused, from any address.
    EXPECT_EQ(Login("alice", "alice-pw", "10.0.0.3"), CStoreService::FAILED);
    EXPECT_EQ(Token(Login("bob", "bob-pw", "10.0.0.3")).size(), 32u);
    m_nNow += 60;
    EXPECT_EQ(Token(Login("alice", "alice-pw", "10.0.0.3")).size(), 32u);

    // One address guessing across many names is locked out as a whole.
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Login("name" + std::to_string(i), "x", "10.0.0.9"), CStoreService::FAILED);
    EXPECT_EQ(Login("bob", "bob-pw", "10.0.0.9"), CStoreService::FAILED);
    EXPECT_EQ(Token(Login("bob", "bob-pw", "10.0.0.8")).size(), 32u);
}

TEST_F(StoreServiceTest, NamesAreBytesAndOnlyAsciiLettersFoldCase)
{
    // Names are kept as the bytes they came in, whatever their encoding;
    // only ASCII letters compare without regard to case.
    std::string strError;
    const std::string strGbk = "\xD5\xC5\xC8\xFD";  // a GBK name, no valid UTF-8
    ASSERT_TRUE(m_pService->AddUser(strGbk, "gbk-pw", strError)) << strError;
    ASSERT_TRUE(m_pService->AddUser("\xC3\xA4nne", "lower-pw", strError)) << strError;   // "änne"
    ASSERT_TRUE(m_pService->AddUser("\xC3\x84NNE", "upper-pw", strError)) << strError;   // "ÄNNE": another account
    EXPECT_FALSE(m_pService->AddUser("\xC3\xA4NNE", "x", strError));                    // "äNNE" is "änne"
    EXPECT_EQ(Token(Login(strGbk, "gbk-pw")).size(), 32u);
    EXPECT_EQ(Token(Login("\xC3\xA4NnE", "lower-pw")).size(), 32u);
    EXPECT_EQ(Token(Login("\xC3\x84nne", "upper-pw")).size(), 32u);
    EXPECT_EQ(Login("\xC3\x84nne", "lower-pw"), CStoreService::FAILED);
    EXPECT_EQ(Load(std::string("{\xFF}"), Token(Login(strGbk, "gbk-pw"))), CStoreService::FAILED);
}

TEST_F(StoreServiceTest, NamesNoAccountCanHaveNeverReachTheThrottle)
{
    // Refused before they are counted: the guessing address is not locked
    // by them (six free failures here), and nothing of them is kept.
    const std::string strHuge(1024 * 1024, 'n');
    for (const std::string& strName : { strHuge, std::string(65, 'a'), std::string("al\tice") }) {
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(Login(strName, "x", "10.0.0.7"), CStoreService::FAILED);
    }
    EXPECT_EQ(Token(Login("alice", "alice-pw", "10.0.0.7")).size(), 32u);
    // The longest name an account may have is still counted.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Login(std::string(64, 'a'), "x", "10.0.0.8"), CStoreService::FAILED);
    std::string strError;
    ASSERT_TRUE(m_pService->AddUser(std::string(64, 'a'), "pw", strError)) << strError;
    EXPECT_EQ(Login(std::string(64, 'a'), "pw", "10.0.0.9"), CStoreService::FAILED);  // locked
}

TEST_F(StoreServiceTest, ParallelGuessesAreCountedBeforeTheHash)
{
    // 64 wrong passwords for one name at the same moment. One after another,
    // the fourth would lock the name for a minute; all 64 counted would lock
    // it (and the address) for the longest lock-out. A hash of the cost a
    // real store uses keeps the guesses in flight together.
    m_pService = MakeService(2, 19 * 1024 * 1024);
    std::string strError;
    ASSERT_TRUE(m_pService->SetPassword("alice", "alice-pw", strError)) << strError;
    std::latch start(64);
    std::vector<std::thread> aThreads;
    for (int i = 0; i < 64; ++i) {
        aThreads.emplace_back([this, i, &start] {
            start.arrive_and_wait();
            EXPECT_EQ(Login("alice", "guess" + std::to_string(i), "10.0.0.5"), CStoreService::FAILED);
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    EXPECT_EQ(Login("alice", "alice-pw", "10.0.0.6"), CStoreService::FAILED);  // locked for now
    m_nNow += 61;
    EXPECT_EQ(Token(Login("alice", "alice-pw", "10.0.0.6")).size(), 32u);
    EXPECT_EQ(Token(Login("bob", "bob-pw", "10.0.0.5")).size(), 32u);
}

TEST_F(StoreServiceTest, HonestLoginsInFlightTogetherFromOneAddressAllPass)
{
    // An office behind one address: 24 people log in at the same moment,
    // far more than the address's six free failures. Hashes of real cost
    // keep the logins in flight together.
    m_pService = MakeService(2, 19 * 1024 * 1024);
    std::string strError;
    for (int i = 0; i < 24; ++i)
        ASSERT_TRUE(m_pService->AddUser("user" + std::to_string(i), "pw" + std::to_string(i), strError)) << strError;
    std::latch start(24);
    std::atomic<int> nPassed{ 0 };
    std::vector<std::thread> aThreads;
    for (int i = 0; i < 24; ++i) {
        aThreads.emplace_back([this, i, &start, &nPassed] {
            start.arrive_and_wait();
            if (Token(Login("user" + std::to_string(i), "pw" + std::to_string(i), "10.0.0.4")).size() == 32)
                ++nPassed;
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    EXPECT_EQ(nPassed.load(), 24);
}

TEST_F(StoreServiceTest, QuotasBoundTasksAndBytesPerAccount)
{
    // A key of 32 and a 16-byte text (26 base-32 characters) take 58 bytes.
    m_quota = { 3, 58 * 3 + 20 };
    m_pService = MakeService();
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strBob = Token(Login("bob", "bob-pw"));
    const std::string strText(16, 't');
    std::vector<std::string> aIds;
    for (int i = 0; i < 3; ++i) {
        aIds.push_back(Add(strAlice, strText));
        ASSERT_EQ(aIds.back().size(), 38u) << aIds.back();
    }
    EXPECT_EQ(Add(strAlice, strText), CStoreService::FAILED);  // a fourth task
    EXPECT_EQ(Add(strBob, strText).size(), 38u);                // other accounts are apart
    EXPECT_EQ(Delete(strAlice, aIds[2]), "ok");
    // Two tasks of 58 leave 78 bytes: a 40-byte text (64 characters, 96 in
    // all) does not fit; as a change of one of them an 80-byte text (160 in
    // all) does not either, a 24-byte one (71) does.
    EXPECT_EQ(Add(strAlice, std::string(40, 't')), CStoreService::FAILED);
    EXPECT_EQ(Update(strAlice, aIds[0], std::string(80, 't')), CStoreService::FAILED);
    EXPECT_EQ(DecodeTaskReply(Load(aIds[0], strAlice)), strText);  // unchanged
    const std::string strKey = MakeBlobKey();
    EXPECT_EQ(Update(strAlice, aIds[0], std::string(24, 'u'), strKey), strKey);
    EXPECT_EQ(Update(strAlice, aIds[0], "", strKey), strKey);  // shrinking always fits
    aIds.pop_back();

    // Saves in parallel cannot pass the count together.
    m_quota = { 8, 1 << 20 };
    m_pService = MakeService();
    std::atomic<int> nAdded{ 0 };
    std::vector<std::thread> aThreads;
    for (int i = 0; i < 16; ++i) {
        aThreads.emplace_back([&] {
            if (Add(strAlice, strText).size() == 38)
                ++nAdded;
        });
    }
    for (std::thread& thread : aThreads)
        thread.join();
    EXPECT_EQ(nAdded.load(), 6);
}

TEST_F(StoreServiceTest, AFileFromBeforeQuotasCountsItsTasks)
{
    if (StoreTestsOnPostgres())
        GTEST_SKIP() << "only SQLite files come from before quotas";
    // The tasks table as files written before quotas have it: no size.
    m_pService.reset();
    const std::string strPath = m_strDir + "/old.db";
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &pDb), SQLITE_OK);
    const char* pszSql =
        "CREATE TABLE accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " pwhash TEXT NOT NULL DEFAULT '');"
        "CREATE TABLE tasks(seq INTEGER PRIMARY KEY, guid TEXT NOT NULL UNIQUE,"
        " account INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, key TEXT NOT NULL,"
        " blob TEXT NOT NULL, created INTEGER NOT NULL, updated INTEGER NOT NULL);"
        "INSERT INTO accounts(id, name) VALUES(1, 'carol');"
        "INSERT INTO tasks(guid, account, key, blob, created, updated)"
        " VALUES('{OLD}', 1, '0123456789ABCDEF0123456789ABCDEF', printf('%.100c', '0'), 0, 0);";
    ASSERT_EQ(sqlite3_exec(pDb, pszSql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(pDb);
    sqlite3_close(pDb);

    StoreOptions options;
    options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    options.nMaxBytesPerAccount = 132 + 57;  // the old task and one byte short of a 16-byte one
    m_pService = std::make_unique<CStoreService>(options);
    std::string strError;
    ASSERT_TRUE(m_pService->Open(strPath, strError)) << strError;
    ASSERT_TRUE(m_pService->AddUser("carol", "pw", strError)) << strError;
    const std::string strToken = Token(Login("carol", "pw"));
    EXPECT_EQ(List(strToken), "{OLD}#");
    EXPECT_EQ(Versions(strToken), "{OLD}:1#");  // versions start at 1 in old files too
    EXPECT_EQ(Add(strToken, std::string(16, 't')), CStoreService::FAILED);
    EXPECT_EQ(Add(strToken, std::string(8, 't')).size(), 38u);  // 45 bytes
}

TEST_F(StoreServiceTest, AnExampleImportedTwiceIsKeptOnce)
{
    bool bAdded = false;
    const std::optional<std::string> id = m_pService->AddExample("<root>one</root>", &bAdded);
    ASSERT_TRUE(id.has_value());
    EXPECT_TRUE(bAdded);
    const std::optional<std::string> idOther = m_pService->AddExample("<root>two</root>", &bAdded);
    ASSERT_TRUE(idOther.has_value());
    EXPECT_TRUE(bAdded);
    EXPECT_EQ(m_pService->AddExample("<root>one</root>", &bAdded), id);
    EXPECT_FALSE(bAdded);
    // What reads back the same is the same example.
    EXPECT_EQ(m_pService->AddExample(std::string("<root>two</root>\0tail", 21), &bAdded), idOther);
    EXPECT_FALSE(bAdded);
    // A changed text is another example.
    const std::optional<std::string> idChanged = m_pService->AddExample("<root>one </root>", &bAdded);
    EXPECT_TRUE(bAdded);
    EXPECT_EQ(List("example"), *id + "#" + *idOther + "#" + *idChanged + "#");
    // Users' tasks of the same text do not count.
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    ASSERT_EQ(Add(strAlice, "<root>three</root>").size(), 38u);
    EXPECT_NE(m_pService->AddExample("<root>three</root>", &bAdded), std::nullopt);
    EXPECT_TRUE(bAdded);
}

TEST_F(StoreServiceTest, AdministrationAndReopening)
{
    std::string strError;
    EXPECT_FALSE(m_pService->AddUser("alice", "x", strError));
    EXPECT_FALSE(m_pService->AddUser("", "x", strError));
    EXPECT_FALSE(m_pService->AddUser("carol", "", strError));
    EXPECT_FALSE(m_pService->AddUser(std::string("ca\nrol"), "x", strError));
    EXPECT_FALSE(m_pService->SetPassword("nobody", "x", strError));
    EXPECT_FALSE(m_pService->DeleteUser("nobody", strError));

    const std::string strOld = Token(Login("alice", "alice-pw"));
    const std::string strId = Add(strOld, "<root>kept</root>");
    ASSERT_TRUE(m_pService->SetPassword("alice", "new-pw", strError)) << strError;
    EXPECT_EQ(List(strOld), CStoreService::FAILED);  // a new password ends old sessions
    EXPECT_EQ(Login("alice", "alice-pw"), CStoreService::FAILED);

    // Everything is on disk: a fresh service on the same file sees it.
    m_pService = MakeService();
    const std::string strNew = Token(Login("alice", "new-pw"));
    EXPECT_EQ(DecodeTaskReply(Load(strId, strNew)), "<root>kept</root>");

    ASSERT_TRUE(m_pService->DeleteUser("alice", strError)) << strError;
    EXPECT_EQ(List(strNew), CStoreService::FAILED);
    ASSERT_TRUE(m_pService->AddUser("alice", "again", strError)) << strError;
    EXPECT_EQ(List(Token(Login("alice", "again"))), CStoreService::EMPTY_LIST);
}

TEST_F(StoreServiceTest, VersionsGrowWithEverySaveAndStayInTheAccount)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strBob = Token(Login("bob", "bob-pw"));
    EXPECT_EQ(Versions(strAlice), CStoreService::EMPTY_LIST);
    const std::string strOne = Add(strAlice, "<root>one</root>");
    const std::string strTwo = Add(strAlice, "<root>two</root>");
    ASSERT_EQ(strTwo.size(), 38u);
    EXPECT_EQ(Versions(strAlice), strOne + ":1#" + strTwo + ":1#");
    ASSERT_EQ(Update(strAlice, strTwo, "<root>two b</root>").size(), 32u);
    ASSERT_EQ(Update(strAlice, strTwo, "<root>two c</root>").size(), 32u);
    EXPECT_EQ(Versions(strAlice), strOne + ":1#" + strTwo + ":3#");
    // A refused update changes nothing.
    EXPECT_EQ(Update(strBob, strTwo, "<root>bob's</root>"), CStoreService::FAILED);
    EXPECT_EQ(Versions(strAlice), strOne + ":1#" + strTwo + ":3#");
    EXPECT_EQ(Versions(strBob), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Versions(std::string(32, 'A')), CStoreService::FAILED);
    EXPECT_EQ(Versions(""), CStoreService::FAILED);
    ASSERT_EQ(Delete(strAlice, strOne), "ok");
    EXPECT_EQ(Versions(strAlice), strTwo + ":3#");
    // The examples are listed as their list is: by anyone.
    const std::optional<std::string> example = m_pService->AddExample("<root>ex</root>");
    ASSERT_TRUE(example.has_value());
    EXPECT_EQ(Versions(CStoreService::EXAMPLE_ACCOUNT), *example + ":1#");
}

TEST_F(StoreServiceTest, LeasesGoToOneHolderAtATimeAndExpire)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strBob = Token(Login("bob", "bob-pw"));
    const std::string strA = Add(strAlice, "<root>a</root>");
    const std::string strB = Add(strAlice, "<root>b</root>");
    const std::string strC = Add(strAlice, "<root>c</root>");
    ASSERT_EQ(strC.size(), 38u);

    EXPECT_EQ(Lease(strAlice, "runner-1", "2"), strA + ":1:60#" + strB + ":1:60#");
    EXPECT_EQ(Lease(strAlice, "runner-2", "5"), strC + ":1:60#");
    EXPECT_EQ(Lease(strAlice, "runner-2", "5"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Lease(strAlice, "runner-1", "5"), CStoreService::EMPTY_LIST);  // what it holds is not granted twice
    // Another account sees none of them.
    EXPECT_EQ(Lease(strBob, "runner-1", "5"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Renew(strBob, "runner-1", strA + ":1#"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Release(strBob, "runner-1", strA, "1"), CStoreService::FAILED);

    // Renewed in time, a lease is kept under its number.
    m_nNow += 50;
    EXPECT_EQ(Renew(strAlice, "runner-1", strA + ":1#" + strB + ":1#"), strA + ":1:60#" + strB + ":1:60#");
    m_nNow += 50;  // runner-1's leases now end at +110, runner-2's ended at +60
    EXPECT_EQ(Lease(strAlice, "runner-3", "5"), strC + ":2:60#");
    // runner-2 lost its task to runner-3: the renewal leaves it out, and a
    // renewal under someone else's holder name or number keeps nothing.
    EXPECT_EQ(Renew(strAlice, "runner-2", strC + ":1#"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Renew(strAlice, "runner-2", strC + ":2#"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Renew(strAlice, "runner-3", strC + ":1#"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Renew(strAlice, "runner-3", strC + ":2#", "30"), strC + ":2:30#");
    EXPECT_EQ(Release(strAlice, "runner-2", strC, "2"), CStoreService::FAILED);

    // A lease past its end that nobody took is still its holder's.
    m_nNow += 20;
    EXPECT_EQ(Renew(strAlice, "runner-1", strA + ":1#"), strA + ":1:60#");
    EXPECT_EQ(Lease(strAlice, "runner-2", "5"), strB + ":2:60#");
    EXPECT_EQ(Renew(strAlice, "runner-1", strB + ":1#"), CStoreService::EMPTY_LIST);
    // An unknown session leases nothing.
    EXPECT_EQ(Lease(std::string(32, 'A'), "runner-1", "5"), CStoreService::FAILED);
    EXPECT_EQ(Renew("", "runner-1", strA + ":1#"), CStoreService::FAILED);
}

TEST_F(StoreServiceTest, FencingNumbersNeverRepeatForATaskId)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strId = Add(strAlice, "<root>a</root>");
    ASSERT_EQ(strId.size(), 38u);
    EXPECT_EQ(Lease(strAlice, "r1", "1"), strId + ":1:60#");
    EXPECT_EQ(Release(strAlice, "r1", strId, "2"), CStoreService::FAILED);  // not the number it holds
    EXPECT_EQ(Release(strAlice, "r1", strId, "1"), "ok");
    EXPECT_EQ(Release(strAlice, "r1", strId, "1"), CStoreService::FAILED);
    EXPECT_EQ(Renew(strAlice, "r1", strId + ":1#"), CStoreService::EMPTY_LIST);  // released is gone
    EXPECT_EQ(Lease(strAlice, "r1", "1"), strId + ":2:60#");  // the same holder gets a new number

    // A deleted task's lease is gone, and a task added again under the same
    // id goes on from the number it had.
    ASSERT_EQ(Delete(strAlice, strId), "ok");
    EXPECT_EQ(Renew(strAlice, "r1", strId + ":2#"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Lease(strAlice, "r1", "1"), CStoreService::EMPTY_LIST);
    const std::optional<StoreAccount> alice = m_pService->GetDb().FindAccount("alice");
    ASSERT_TRUE(alice.has_value());
    const std::string strKey = MakeBlobKey();
    ASSERT_TRUE(m_pService->GetDb().AddTask(alice->nId, strId, { strKey, EncodeTaskBlob("<root>a</root>", strKey) },
                                            m_nNow));
    EXPECT_EQ(Lease(strAlice, "r2", "1"), strId + ":3:60#");

    // The numbers are on disk.
    m_pService = MakeService();
    const std::string strAgain = Token(Login("alice", "alice-pw"));
    m_nNow += 61;
    EXPECT_EQ(Lease(strAgain, "r3", "1"), strId + ":4:60#");
}

TEST_F(StoreServiceTest, OneNamedTaskIsLeasedOrRenewedByItsHolder)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strBob = Token(Login("bob", "bob-pw"));
    const std::string strA = Add(strAlice, "<root>a</root>");
    const std::string strB = Add(strAlice, "<root>b</root>");
    ASSERT_EQ(strB.size(), 38u);
    EXPECT_EQ(Lease(strAlice, "desk", "0", "60", strB), strB + ":1:60#");
    EXPECT_EQ(Lease(strAlice, "runner", "0", "60", strB), CStoreService::EMPTY_LIST);
    m_nNow += 30;
    EXPECT_EQ(Lease(strAlice, "desk", "0", "60", strB), strB + ":1:60#");  // a renewal: same number
    m_nNow += 59;
    EXPECT_EQ(Lease(strAlice, "runner", "5"), strA + ":1:60#");
    m_nNow += 1;
    EXPECT_EQ(Lease(strAlice, "runner", "0", "60", strB), strB + ":2:60#");
    EXPECT_EQ(Lease(strBob, "runner", "0", "60", strA), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Lease(strAlice, "runner", "0", "60", "{00000000-0000-0000-0000-000000000000}"),
              CStoreService::EMPTY_LIST);
}

TEST_F(StoreServiceTest, HostileLeaseRequestsAreBoundedOrRefused)
{
    const std::string strAlice = Token(Login("alice", "alice-pw"));
    const std::string strId = Add(strAlice, "<root>a</root>");
    ASSERT_EQ(strId.size(), 38u);
    // Holder names: 1 to 64 printable ASCII bytes without spaces.
    EXPECT_EQ(Lease(strAlice, "", "1"), CStoreService::FAILED);
    EXPECT_EQ(Lease(strAlice, std::string(65, 'h'), "1"), CStoreService::FAILED);
    for (const char* psz : { "a b", "a\nb", "a\x7F", "r\xC3\xA9", "a\tb" })
        EXPECT_EQ(Lease(strAlice, psz, "1"), CStoreService::FAILED) << psz;
    EXPECT_EQ(Lease(strAlice, std::string("a\0b", 3), "1"), CStoreService::FAILED);
    // Numbers: decimal digits only; out-of-range ones are clamped.
    for (const char* psz : { "", "-1", "1.5", " 1", "0x10", "1234567890123456789" })
        EXPECT_EQ(Lease(strAlice, "r", psz), CStoreService::FAILED) << psz;
    EXPECT_EQ(Lease(strAlice, "r", "1", "abc"), CStoreService::FAILED);
    EXPECT_EQ(Lease(strAlice, "r", "0"), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Lease(strAlice, std::string(64, 'h'), "999999999", "999999999"), strId + ":1:3600#");
    EXPECT_EQ(Renew(strAlice, std::string(64, 'h'), strId + ":1#", "0"), strId + ":1:1#");
    EXPECT_EQ(Lease(strAlice, "r", "1", "60", "not#an:id"), CStoreService::FAILED);
    EXPECT_EQ(Lease(strAlice, "r", "1", "60", std::string(65, 'x')), CStoreService::FAILED);
    // Renewal lists: every piece "ID:FENCE#", at most 1000 of them.
    for (const std::string& strList : std::vector<std::string>{ strId + ":1", strId + "#", strId + ":x#", ":1#", strId + ":1:1#",
                                        strId + ":-1#" })
        EXPECT_EQ(Renew(strAlice, std::string(64, 'h'), strList), CStoreService::FAILED) << strList;
    EXPECT_EQ(Renew(strAlice, "r", ""), CStoreService::EMPTY_LIST);
    std::string strMany;
    for (int i = 0; i < 1000; ++i)
        strMany += strId + ":1#";
    EXPECT_EQ(Renew(strAlice, "r", strMany), CStoreService::EMPTY_LIST);
    EXPECT_EQ(Renew(strAlice, "r", strMany + strId + ":1#"), CStoreService::FAILED);
    EXPECT_EQ(Release(strAlice, "r", strId, ""), CStoreService::FAILED);
    EXPECT_EQ(Release(strAlice, "", strId, "1"), CStoreService::FAILED);
}
