// StoreClientTest.cpp - the task store client: against the real store on
// loopback end to end, against a canned server for the reply rules, and the
// exact bytes of every request it sends.
#include "CannedServer.h"
#include "PostgresServer.h"
#include "StoreClient.h"

#include "StoreServer.h"
#include "http/Url.h"
#include "store/BlobCodec.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>

using namespace quarvex;

namespace {

const char s_szTask[] = "\r\n<root>\r\n\t<general>\r\n\t\t<taskname>股票行情</taskname>\r\n\t</general>\r\n</root>";

class StoreClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (StorePostgresMissing())
            GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
        char szDir[] = "/tmp/qxclient-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        options.fnNow = [this] { return m_nNow.load(); };
        m_pServer = std::make_unique<CStoreServer>(options);
        std::string strError;
        ASSERT_TRUE(m_pServer->Open(StoreDbForTest(m_strDir), strError)) << strError;
        ASSERT_TRUE(m_pServer->GetService().AddUser("alice", "alice pw", strError)) << strError;
        ASSERT_TRUE(m_pServer->GetService().AddUser("bob", "bob-pw", strError)) << strError;
        ASSERT_TRUE(m_pServer->Start("127.0.0.1", 0, strError, 4)) << strError;
        m_strServer = "127.0.0.1:" + std::to_string(m_pServer->GetPort());
    }
    void TearDown() override
    {
        m_pServer.reset();
        std::filesystem::remove_all(m_strDir);
    }

    std::string m_strDir;
    std::string m_strServer;
    std::atomic<std::int64_t> m_nNow{ 1700000000 };
    std::unique_ptr<CStoreServer> m_pServer;
};

} // namespace

TEST_F(StoreClientTest, EndToEnd)
{
    CStoreClient client(m_strServer);
    ASSERT_EQ(client.Login("alice", "alice pw"), StoreLogin::OK);
    EXPECT_EQ(client.GetSessionReply().size(), 47u);
    EXPECT_EQ(client.GetToken().size(), 32u);

    std::vector<std::string> aIds{ "stale" };
    ASSERT_TRUE(client.ListTasks(aIds));
    EXPECT_TRUE(aIds.empty());

    const std::optional<std::string> id = client.AddTask(s_szTask);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->size(), 38u);
    // Sizes around the interleaved head, the empty task, and one far beyond
    // the 8 KiB at which a form body used to be refused.
    const std::string aTexts[] = { "", "\r\n<root></root>", std::string(16, 'a'), std::string(200000, 'x') };
    std::vector<std::string> aMore;
    for (const std::string& strText : aTexts) {
        const std::optional<std::string> more = client.AddTask(strText);
        ASSERT_TRUE(more.has_value()) << strText.size();
        aMore.push_back(*more);
        EXPECT_EQ(client.LoadTask(*more, client.GetToken()), strText) << strText.size();
    }

    ASSERT_TRUE(client.ListTasks(aIds));
    ASSERT_EQ(aIds.size(), 5u);
    EXPECT_EQ(aIds[0], *id);
    EXPECT_EQ(client.LoadTask(*id, client.GetToken()), s_szTask);
    EXPECT_EQ(TaskNameOf(*client.LoadTask(*id, client.GetToken())), "股票行情");

    EXPECT_TRUE(client.UpdateTask(*id, "<root>changed</root>"));
    EXPECT_EQ(client.LoadTask(*id, client.GetToken()), "<root>changed</root>");

    for (const std::string& strId : aMore)
        EXPECT_TRUE(client.DeleteTask(strId));
    EXPECT_FALSE(client.DeleteTask(aMore[0]));
    ASSERT_TRUE(client.ListTasks(aIds));
    EXPECT_EQ(aIds, std::vector<std::string>{ *id });
}

TEST_F(StoreClientTest, ExamplesAndStartupLoading)
{
    const std::optional<std::string> ex1 = m_pServer->GetService().AddExample(s_szTask);
    const std::optional<std::string> ex2 = m_pServer->GetService().AddExample("<root>nameless</root>");
    ASSERT_TRUE(ex1 && ex2);

    CStoreClient client(m_strServer);
    std::vector<StoreExample> aExamples;
    ASSERT_TRUE(client.LoadExampleList(aExamples));
    ASSERT_EQ(aExamples.size(), 2u);
    EXPECT_EQ(aExamples[0].strId, *ex1);
    EXPECT_EQ(aExamples[0].strName, "股票行情");
    EXPECT_EQ(aExamples[1].strName, "");

    ASSERT_EQ(client.Login("alice", "alice pw"), StoreLogin::OK);
    const std::optional<std::string> own = client.AddTask("<root>own</root>");
    ASSERT_TRUE(own.has_value());
    std::vector<StoreTask> aTasks;
    client.LoadStartupTasks({ *ex2, "{00000000-0000-0000-0000-000000000000}" }, aTasks);
    ASSERT_EQ(aTasks.size(), 2u);  // own first, then the chosen example; the unknown id is left out
    EXPECT_EQ(aTasks[0].strId, *own);
    EXPECT_EQ(aTasks[0].strText, "<root>own</root>");
    EXPECT_EQ(aTasks[1].strId, *ex2);
    EXPECT_EQ(aTasks[1].strText, "<root>nameless</root>");
}

TEST_F(StoreClientTest, RefusalsAndExpiry)
{
    CStoreClient alice(m_strServer), bob(m_strServer);
    EXPECT_EQ(alice.Login("alice", "wrong"), StoreLogin::REFUSED);
    EXPECT_TRUE(alice.GetToken().empty());
    ASSERT_EQ(alice.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_EQ(bob.Login("bob", "bob-pw"), StoreLogin::OK);

    const std::optional<std::string> id = alice.AddTask(s_szTask);
    ASSERT_TRUE(id.has_value());
    EXPECT_FALSE(bob.LoadTask(*id, bob.GetToken()).has_value());
    EXPECT_FALSE(bob.LoadTask(*id, "").has_value());
    EXPECT_FALSE(bob.UpdateTask(*id, "<root>bob</root>"));
    EXPECT_FALSE(bob.DeleteTask(*id));
    EXPECT_EQ(alice.LoadTask(*id, alice.GetToken()), s_szTask);

    m_nNow += 30 * 24 * 3600 + 1;
    std::vector<std::string> aIds;
    EXPECT_FALSE(alice.ListTasks(aIds));
    EXPECT_FALSE(alice.AddTask("<root/>").has_value());
    EXPECT_FALSE(alice.LoadTask(*id, alice.GetToken()).has_value());
    ASSERT_EQ(alice.Login("alice", "alice pw"), StoreLogin::OK);
    ASSERT_TRUE(alice.ListTasks(aIds));
    EXPECT_EQ(aIds.size(), 1u);

    // Nothing listens on a stopped server's port.
    const std::string strGone = m_strServer;
    m_pServer->Stop();
    CStoreClient lost(strGone);
    EXPECT_EQ(lost.Login("alice", "alice pw"), StoreLogin::NETWORK);
    EXPECT_NE(lost.GetLastError(), 0);
}

TEST(StoreClientReplyTest, ReplyRules)
{
    CCannedServer server;
    ASSERT_GT(server.GetPort(), 0);
    CStoreClient client(server.GetServer());

    struct { const char* pszReply; StoreLogin nResult; } logins[] = {
        { "failed", StoreLogin::REFUSED },
        { "", StoreLogin::NETWORK },
        { "FAILED", StoreLogin::UNEXPECTED },
        { "0123456789012345678901234567890123456789012345", StoreLogin::UNEXPECTED },  // 46
        { "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU", StoreLogin::OK },         // 47
    };
    for (const auto& c : logins) {
        server.AddReply(c.pszReply);
        EXPECT_EQ(client.Login("u", "p"), c.nResult) << c.pszReply;
    }
    EXPECT_EQ(client.GetToken(), "bdfhjlnprtvxzBDEFGHIJKLMNOPQRSTU");

    const std::string strId(36, 'I');
    const std::string strId38 = "{" + strId + "}";
    struct { std::string strReply; bool bOk; std::vector<std::string> aIds; } lists[] = {
        { "failed", false, {} },
        { "", false, {} },
        { strId + "#", true, {} },                           // 37 characters: too short
        { strId38, true, {} },                               // 38
        { strId38 + "#", true, { strId38 } },                // 39
        { strId38 + "#a#tail", true, { strId38, "a" } },    // after the last '#' ignored
    };
    for (const auto& c : lists) {
        server.AddReply(c.strReply);
        std::vector<std::string> aIds{ "stale" };
        EXPECT_EQ(client.ListTasks(aIds), c.bOk) << c.strReply;
        EXPECT_EQ(aIds, c.aIds) << c.strReply;
    }

    const std::string strKey = "0123456789ABCDEF0123456789ABCDEF";
    const std::string strGood = *BuildTaskReply(strKey, EncodeTaskBlob("<root>x</root>", strKey));
    std::string strLower = strGood;
    strLower[65] = 'a';
    for (const std::string& strReply : { strGood.substr(0, 63), strLower, std::string("failed") }) {
        server.AddReply(strReply);
        EXPECT_FALSE(client.LoadTask("id", "").has_value()) << strReply;
    }
    server.AddReply(strGood);
    EXPECT_EQ(client.LoadTask("id", ""), "<root>x</root>");

    for (const std::string& strReply : { strId + "#", strId38 + "#", std::string("ok") }) {
        server.AddReply(strReply);
        EXPECT_FALSE(client.AddTask("<root/>").has_value()) << strReply;
    }
    server.AddReply(strId38);
    EXPECT_EQ(client.AddTask("<root/>"), strId38);

    server.AddReply("OK");
    EXPECT_FALSE(client.DeleteTask(strId38));
    server.AddReply("ok\r\n");
    EXPECT_FALSE(client.DeleteTask(strId38));
    server.AddReply("ok");
    EXPECT_TRUE(client.DeleteTask(strId38));

    // The update's reply must be the very key that was sent; the canned
    // server cannot know it, so any fixed reply is a failure.
    server.AddReply(strKey);
    EXPECT_FALSE(client.UpdateTask(strId38, "<root/>"));
}

TEST(StoreClientReplyTest, UpdateReplyDifferingInOneCharacterFails)
{
    CCannedServer server;
    CStoreClient client(server.GetServer());
    server.AddReply("");  // first update: just learn the key it sends
    client.UpdateTask("id", "<root/>");
    const std::string strBody = server.GetRequests().at(0).substr(server.GetRequests().at(0).find("\r\n\r\n") + 4);
    const std::string strKey = strBody.substr(strBody.find("&udata3=") + 8, 32);
    ASSERT_TRUE(IsBlobKey(strKey)) << strBody;
    // Keys are fresh for every call, so a replayed key fails as well.
    server.AddReply(strKey);
    EXPECT_FALSE(client.UpdateTask("id", "<root/>"));
    const std::string strBody2 = server.GetRequests().at(1).substr(server.GetRequests().at(1).find("\r\n\r\n") + 4);
    EXPECT_NE(strBody2.substr(strBody2.find("&udata3=") + 8, 32), strKey);
}

TEST(StoreClientWireTest, ExactRequestBytes)
{
    CCannedServer server;
    CStoreClient client(server.GetServer());
    const std::string strToken = "bdfhjlnprtvxzBDEFGHIJKLMNOPQRSTU";
    server.AddReply("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU");
    ASSERT_EQ(client.Login("张 三", "p&w=d%"), StoreLogin::OK);
    std::vector<std::string> aIds;
    client.ListTasks(aIds);
    client.ListExamples(aIds);
    const std::string strId = "{0A1B2C3D-0000-4000-8000-00000000ABCD}";
    client.LoadTask(strId, client.GetToken());
    client.LoadTask(strId, "");
    client.AddTask(s_szTask);
    client.UpdateTask(strId, s_szTask);
    client.DeleteTask(strId);

    const std::vector<std::string> aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 8u);
    const std::string strEncId = "%7B0A1B2C3D%2D0000%2D4000%2D8000%2D00000000ABCD%7D";
    const std::string strHost = "127.0.0.1:" + std::to_string(server.GetPort());
    auto request = [&strHost](const char* pszPath, const std::string& strBody) {
        return ComposePostRequest(strHost, pszPath, "127.0.0.1/qx/", strBody);
    };
    // Bytes are escaped as they come (this file is UTF-8).
    EXPECT_EQ(aRequests[0], request("/qx/login.asp", "udata1=%E5%BC%A0+%E4%B8%89&udata2=p%26w%3Dd%25&udata3="));
    EXPECT_EQ(aRequests[1], request("/qx/tasklist.asp", "udata1=" + strToken));
    EXPECT_EQ(aRequests[2], request("/qx/tasklist.asp", "udata1=example"));
    EXPECT_EQ(aRequests[3], request("/qx/taskdata.asp", "udata1=" + strEncId + "&udata2=" + strToken));
    EXPECT_EQ(aRequests[4], request("/qx/taskdata.asp", "udata1=" + strEncId + "&udata2="));

    // Add and update carry a fresh key; the rest of their bodies follows
    // from it.
    for (std::size_t i : { 5u, 6u }) {
        const std::string& strRequest = aRequests[i];
        const std::size_t nKey = strRequest.find("&udata3=");
        ASSERT_NE(nKey, std::string::npos) << strRequest;
        const std::string strKey = strRequest.substr(nKey + 8, 32);
        ASSERT_TRUE(IsBlobKey(strKey)) << strRequest;
        std::string strBody = "udata1=" + strToken + "&udata2=" + EncodeTaskBlob(s_szTask, strKey) + "&udata3=" + strKey;
        if (i == 6)
            strBody += "&udata4=" + strEncId;
        EXPECT_EQ(strRequest, request("/qx/savetask.asp", strBody)) << i;
    }
    EXPECT_EQ(aRequests[7], request("/qx/deltask.asp", "udata1=" + strToken + "&udata2=" + strEncId));
    // And the first bytes, spelled out once without the helper.
    EXPECT_EQ(aRequests[2].substr(0, 56 + strHost.size() - 9),
              "POST /qx/tasklist.asp HTTP/1.1\r\nHost: " + strHost + "\r\nAccept:");
    EXPECT_NE(aRequests[2].find("\r\nReferer: 127.0.0.1/qx/\r\n"), std::string::npos);
    EXPECT_NE(aRequests[2].find("\r\nContent-Length:14\r\n\r\nudata1=example"), std::string::npos);
}
