// StoreTlsTest.cpp - the task store reached over https: nginx terminates TLS
// on 127.0.0.1 with a certificate from a throw-away CA and hands the requests
// to the store server running in this process.
#include "StoreClient.h"
#include "StoreServer.h"

#include "NginxServer.h"
#include "PostgresServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

using namespace quarvex;

namespace {

bool RunShell(const std::string& strCommand)
{
    const int nStatus = std::system((strCommand + " >/dev/null 2>&1").c_str());
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

const char s_szTask[] = "\r\n<root>\r\n\t<general>\r\n\t\t<taskname>加密通道</taskname>\r\n\t</general>\r\n</root>";

} // namespace

TEST(StoreTlsTest, ClientSpeaksToAStoreBehindTls)
{
    if (StorePostgresMissing())
        GTEST_SKIP() << "QUARVEX_TEST_STORE=postgresql, but PostgreSQL is not installed";
    CTempDir dir;
    const std::string strDir = dir.GetPath();
    const std::string strEc = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    dir.WriteFile("site.ext", "subjectAltName=IP:127.0.0.1\n");
    ASSERT_TRUE(RunShell("cd " + strDir + " && openssl req -x509" + strEc +
                         " -keyout ca.key -out ca.crt -days 2 -subj /CN=QuarvexStoreTestCA") &&
                RunShell("cd " + strDir + " && openssl req -new" + strEc +
                         " -keyout site.key -out site.csr -subj /CN=127.0.0.1") &&
                RunShell("cd " + strDir + " && openssl x509 -req -in site.csr -CA ca.crt -CAkey ca.key"
                         " -CAcreateserial -days 2 -extfile site.ext -out site.crt"))
        << "the openssl command could not make the test certificates";
    setenv("QUARVEX_CA_FILE", (strDir + "/ca.crt").c_str(), 1);

    StoreOptions options;
    options.nPwOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    options.nPwMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    CStoreServer server(options);
    std::string strError;
    ASSERT_TRUE(server.Open(StoreDbForTest(strDir), strError)) << strError;
    ASSERT_TRUE(server.GetService().AddUser("carol", "carol pw", strError)) << strError;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, strError, 2)) << strError;

    const int nTlsPort = FindFreePort();
    CNginxServer nginx;
    const std::string strProxy =
        "server {\n listen 127.0.0.1:" + std::to_string(nTlsPort) + " ssl;\n"
        " ssl_certificate " + strDir + "/site.crt;\n"
        " ssl_certificate_key " + strDir + "/site.key;\n"
        " location / { proxy_pass http://127.0.0.1:" + std::to_string(server.GetPort()) + "; }\n}\n";
    ASSERT_TRUE(nginx.Start("", strProxy)) << nginx.GetError();

    CStoreClient client("https://127.0.0.1:" + std::to_string(nTlsPort));
    ASSERT_EQ(client.Login("carol", "carol pw"), StoreLogin::OK);
    const std::optional<std::string> strId = client.AddTask(s_szTask);
    ASSERT_TRUE(strId.has_value());
    const std::optional<std::string> strText = client.LoadTask(*strId, client.GetToken());
    ASSERT_TRUE(strText.has_value());
    EXPECT_EQ(*strText, s_szTask);

    // The same store under the same name but without TLS is a different
    // address: plain "http://" is used as written, not upgraded.
    CStoreClient plain("http://127.0.0.1:" + std::to_string(server.GetPort()));
    EXPECT_EQ(plain.Login("carol", "carol pw"), StoreLogin::OK);
    unsetenv("QUARVEX_CA_FILE");
}
