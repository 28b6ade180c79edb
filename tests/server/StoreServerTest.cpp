// StoreServerTest.cpp - the store on HTTP, in-process on 127.0.0.1: replies,
// refusals of oversized and malformed bodies, and starting and stopping.
#include "StoreServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sodium.h>

#include <filesystem>

using namespace quarvex;

namespace {

class StoreServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/qxserver-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        StoreOptions options;
        options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
        options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
        m_pServer = std::make_unique<CStoreServer>(options);
        std::string strError;
        ASSERT_TRUE(m_pServer->Open(m_strDir + "/store.db", strError)) << strError;
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
    char szDir[] = "/tmp/qxserver-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::string strError;
    {
        CStoreServer first;
        ASSERT_TRUE(first.Open(std::string(szDir) + "/a.db", strError)) << strError;
        ASSERT_TRUE(first.Start("127.0.0.1", 0, strError)) << strError;
        CStoreServer second;
        ASSERT_TRUE(second.Open(std::string(szDir) + "/b.db", strError)) << strError;
        EXPECT_FALSE(second.Start("127.0.0.1", first.GetPort(), strError));
        first.Stop();
        first.Stop();
        EXPECT_EQ(first.GetPort(), 0);
    }
    CStoreServer unopened;
    EXPECT_FALSE(unopened.Open("/nonexistent-dir/x.db", strError));
    std::filesystem::remove_all(szDir);
}
