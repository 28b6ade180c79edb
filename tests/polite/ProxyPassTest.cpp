// Requests through a real proxy: Debian's tinyproxy, started by the test on
// 127.0.0.1. Plain requests go in absolute form, https through CONNECT with
// TLS to the origin over the tunnel, and a proxy asking for credentials ends
// the exchange with the status error naming the proxy.
#include "http/HttpPostSession.h"
#include "http/ProxyConfig.h"
#include "ChildServer.h"
#include "NginxServer.h"
#include "RawServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char s_szTinyproxy[] = "/usr/bin/tinyproxy";
const int s_nWaitMs = 20000;

bool RunShell(const std::string& strCommand)
{
    const int nStatus = std::system((strCommand + " >/dev/null 2>&1").c_str());
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

// tinyproxy in the foreground with a configuration of its own.
class CTinyproxy
{
public:
    ~CTinyproxy() { Stop(); }

    bool Start(const std::string& strExtra)
    {
        if (access(s_szTinyproxy, X_OK) != 0) {
            m_strError = "tinyproxy is not installed (scripts/install-deps.sh installs it)";
            return false;
        }
        for (int nTry = 0; nTry < 5; ++nTry) {
            m_nPort = FindFreePort();
            const std::string strConf = m_dir.WriteFile(
                "tinyproxy.conf", "Port " + std::to_string(m_nPort) + "\nListen 127.0.0.1\nTimeout 30\n"
                                      "MaxClients 50\nLogLevel Connect\nLogFile \"" + m_dir.GetPath()
                                      + "/tinyproxy.log\"\nPidFile \"" + m_dir.GetPath() + "/tinyproxy.pid\"\n"
                                      + strExtra);
            if (m_process.Start({s_szTinyproxy, "-d", "-c", strConf}, m_nPort) == CChildServer::STARTED)
                return true;
            // Most often the port was taken meanwhile: another one.
        }
        m_strError = "tinyproxy did not start: " + Log();
        return false;
    }
    void Stop() { m_process.Stop(); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
    std::string Log() const { return ReadWholeFile(m_dir.GetPath() + "/tinyproxy.log"); }
    int Port() const { return m_nPort; }
    const std::string& Error() const { return m_strError; }

private:
    CTempDir m_dir;
    CChildServer m_process;
    int m_nPort = 0;
    std::string m_strError;
};

// One nginx serving TLS with a certificate from a throw-away CA, and the two
// proxies (open, and asking for credentials), for the whole suite.
class ProxyPass : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_pDir = std::make_unique<CTempDir>();
        const std::string strDir = s_pDir->GetPath();
        const std::string strEc = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        s_pDir->WriteFile("site.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        if (!RunShell("cd " + strDir + " && openssl req -x509" + strEc + " -keyout ca.key -out ca.crt -days 2 -subj /CN=QuarvexProxyCA")
            || !RunShell("cd " + strDir + " && openssl req -new" + strEc + " -keyout site.key -out site.csr -subj /CN=localhost")
            || !RunShell("cd " + strDir + " && openssl x509 -req -in site.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile site.ext -out site.crt")) {
            s_strSetupError = "the openssl command could not make the test certificates";
            return;
        }
        setenv("QUARVEX_CA_FILE", (strDir + "/ca.crt").c_str(), 1);
        s_nTls = FindFreePort();
        s_pNginx = std::make_unique<CNginxServer>();
        s_pNginx->WriteFile("secret.html", "<html>over the tunnel</html>");
        if (!s_pNginx->Start("", "server {\n listen 127.0.0.1:" + std::to_string(s_nTls) + " ssl;\n ssl_certificate "
                                     + strDir + "/site.crt;\n ssl_certificate_key " + strDir + "/site.key;\n root "
                                     + s_pNginx->GetPrefix() + "/html;\n}\n")) {
            s_strSetupError = s_pNginx->GetError();
            return;
        }
        s_pOpen = std::make_unique<CTinyproxy>();
        s_pAuth = std::make_unique<CTinyproxy>();
        if (!s_pOpen->Start("") || !s_pAuth->Start("BasicAuth quarvex s3cret\n"))
            s_strSetupError = s_pOpen->Error() + s_pAuth->Error();
    }
    static void TearDownTestSuite()
    {
        s_pOpen.reset();
        s_pAuth.reset();
        s_pNginx.reset();
        s_pDir.reset();
    }
    void SetUp() override { ASSERT_TRUE(s_strSetupError.empty()) << s_strSetupError; }

    static std::string TlsUrl(const char* pszPath) { return "https://127.0.0.1:" + std::to_string(s_nTls) + pszPath; }
    void Fetch(const std::string& strUrl)
    {
        m_session.m_pProxies = &m_proxies;
        m_session.Get(strUrl.c_str(), nullptr);
        ASSERT_TRUE(m_session.WaitForResponse(s_nWaitMs)) << strUrl;
    }

    static std::unique_ptr<CTempDir> s_pDir;
    static std::unique_ptr<CNginxServer> s_pNginx;
    static std::unique_ptr<CTinyproxy> s_pOpen;
    static std::unique_ptr<CTinyproxy> s_pAuth;
    static std::string s_strSetupError;
    static int s_nTls;
    CProxySettings m_proxies;
    CHttpPostSession m_session;
};

std::unique_ptr<CTempDir> ProxyPass::s_pDir;
std::unique_ptr<CNginxServer> ProxyPass::s_pNginx;
std::unique_ptr<CTinyproxy> ProxyPass::s_pOpen;
std::unique_ptr<CTinyproxy> ProxyPass::s_pAuth;
std::string ProxyPass::s_strSetupError;
int ProxyPass::s_nTls = 0;

TEST_F(ProxyPass, PlainRequestsGoThroughTheProxyInAbsoluteForm)
{
    CRawServer origin([](CRawConnection& conn) {
        for (;;) {
            const std::string strRequest = conn.ReadRequest();
            if (strRequest.empty())
                return;
            conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
        }
    });
    std::string strError;
    ASSERT_TRUE(m_proxies.SetProxy(s_pOpen->Url(), strError));
    Fetch(origin.GetUrl("/a?b=1"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK) << m_session.DescribeError();
    EXPECT_EQ(m_session.GetBody(), "hello");
    // The request line the proxy was sent names the whole address.
    EXPECT_EQ(m_session.m_strRequest.rfind("GET " + origin.GetUrl("/a?b=1") + " HTTP/1.1\r\n", 0), 0u)
        << m_session.m_strRequest;
    // It reached the origin by way of the proxy, which says so.
    const std::vector<std::string> aRequests = origin.GetRequests();
    ASSERT_EQ(aRequests.size(), 1u);
    EXPECT_NE(aRequests[0].find("tinyproxy"), std::string::npos) << aRequests[0];
    EXPECT_EQ(aRequests[0].rfind("GET /a?b=1 HTTP/1.1\r\n", 0), 0u) << aRequests[0];

    // An address the exceptions name goes direct.
    m_proxies.SetNoProxy("127.0.0.1");
    Fetch(origin.GetUrl("/direct"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK);
    ASSERT_EQ(origin.GetRequests().size(), 2u);
    EXPECT_EQ(origin.GetRequests()[1].find("tinyproxy"), std::string::npos);
    EXPECT_EQ(m_session.m_strRequest.rfind("GET /direct HTTP/1.1\r\n", 0), 0u);
}

TEST_F(ProxyPass, HttpsGoesThroughConnectWithTlsToTheOrigin)
{
    std::string strError;
    ASSERT_TRUE(m_proxies.SetProxy(s_pOpen->Url(), strError));
    Fetch(TlsUrl("/secret.html"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK) << m_session.DescribeError();
    EXPECT_EQ(m_session.GetBody(), "<html>over the tunnel</html>");
    EXPECT_NE(s_pOpen->Log().find("CONNECT"), std::string::npos) << s_pOpen->Log();
    // The kept connection (the tunnel) carries the next request too.
    Fetch(TlsUrl("/secret.html"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK) << m_session.DescribeError();
}

TEST_F(ProxyPass, ProxyAsking407EndsWithTheStatusErrorNamingTheProxy)
{
    CRawServer origin([](CRawConnection& conn) {
        if (!conn.ReadRequest().empty())
            conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    std::string strError;
    ASSERT_TRUE(m_proxies.SetProxy(s_pAuth->Url(), strError));
    const std::string strProxy = "127.0.0.1:" + std::to_string(s_pAuth->Port());
    Fetch(origin.GetUrl("/"));
    EXPECT_EQ(m_session.m_nError, HTTP_ERR_STATUS);
    EXPECT_EQ(m_session.m_nStatus, 407);
    EXPECT_NE(m_session.DescribeError().find(strProxy), std::string::npos) << m_session.DescribeError();
    EXPECT_TRUE(origin.GetRequests().empty());

    Fetch(TlsUrl("/secret.html"));
    EXPECT_EQ(m_session.m_nError, HTTP_ERR_STATUS);
    EXPECT_EQ(m_session.m_nStatus, 407);
    EXPECT_NE(m_session.DescribeError().find(strProxy), std::string::npos) << m_session.DescribeError();

    // With the credentials in the address both kinds pass.
    ASSERT_TRUE(m_proxies.SetProxy("http://quarvex:s3cret@" + strProxy, strError));
    Fetch(origin.GetUrl("/"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK) << m_session.DescribeError();
    Fetch(TlsUrl("/secret.html"));
    EXPECT_EQ(m_session.m_nError, HTTP_OK) << m_session.DescribeError();
    EXPECT_EQ(m_session.GetBody(), "<html>over the tunnel</html>");
}

} // namespace
