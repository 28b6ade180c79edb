// TlsTest.cpp - https through the same session, against nginx serving TLS on
// 127.0.0.1 with certificates from a throw-away CA made with the openssl
// command: pages, kept connections, chunked bodies, a redirect from http,
// an untrusted certificate, a certificate for another name, and the fetch
// command.
#include "http/HttpPostSession.h"

#include "NginxServer.h"
#include "RawServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>

namespace {

const int s_nWaitMs = 20000;

bool RunShell(const std::string& strCommand)
{
    const int nStatus = std::system((strCommand + " >/dev/null 2>&1").c_str());
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

class TlsTest : public testing::Test
{
protected:
    // One CA, one nginx for the whole suite: key generation and start-up are
    // the slow part, and no test changes them.
    static void SetUpTestSuite()
    {
        s_pDir = std::make_unique<CTempDir>();
        const std::string strDir = s_pDir->GetPath();
        const std::string strEc = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        s_pDir->WriteFile("good.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        s_pDir->WriteFile("other.ext", "subjectAltName=DNS:other.example\n");
        const bool bOk =
            RunShell("cd " + strDir + " && openssl req -x509" + strEc + " -keyout ca.key -out ca.crt -days 2 -subj /CN=QuarvexTestCA")
            && RunShell("cd " + strDir + " && openssl req -new" + strEc + " -keyout good.key -out good.csr -subj /CN=localhost")
            && RunShell("cd " + strDir + " && openssl x509 -req -in good.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile good.ext -out good.crt")
            && RunShell("cd " + strDir + " && openssl req -new" + strEc + " -keyout other.key -out other.csr -subj /CN=other.example")
            && RunShell("cd " + strDir + " && openssl x509 -req -in other.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile other.ext -out other.crt")
            && RunShell("cd " + strDir + " && openssl req -x509" + strEc + " -keyout self.key -out self.crt -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
        if (!bOk) {
            s_strSetupError = "the openssl command could not make the test certificates";
            return;
        }
        // Read when the first secure connection is made, and by the fetch
        // command, which inherits it.
        setenv("QUARVEX_CA_FILE", (strDir + "/ca.crt").c_str(), 1);

        s_nGood = FindFreePort();
        s_nOther = FindFreePort();
        s_nSelf = FindFreePort();
        auto server = [&strDir](int nPort, const char* pszName) {
            return "server {\n listen 127.0.0.1:" + std::to_string(nPort) + " ssl;\n"
                   " ssl_certificate " + strDir + "/" + pszName + ".crt;\n"
                   " ssl_certificate_key " + strDir + "/" + pszName + ".key;\n"
                   " root " + s_pNginx->GetPrefix() + "/html;\n"
                   " location = /status { stub_status; }\n"
                   " location /chunked/ { ssi on; ssi_types *; }\n}\n";
        };
        s_pNginx = std::make_unique<CNginxServer>();
        s_strPage = "<html>" + std::string(30000, 'p') + "</html>";
        s_pNginx->WriteFile("page.html", s_strPage);
        s_pNginx->WriteFile("chunked/page.html", s_strPage);
        if (!s_pNginx->Start("", server(s_nGood, "good") + server(s_nOther, "other") + server(s_nSelf, "self")))
            s_strSetupError = s_pNginx->GetError();
    }
    static void TearDownTestSuite()
    {
        s_pNginx.reset();
        s_pDir.reset();
    }
    void SetUp() override { ASSERT_TRUE(s_strSetupError.empty()) << s_strSetupError; }

    static std::string Url(int nPort, const char* pszPath, const char* pszHost = "127.0.0.1")
    {
        return "https://" + std::string(pszHost) + ":" + std::to_string(nPort) + pszPath;
    }
    void Fetch(const std::string& strUrl)
    {
        m_session.Get(strUrl.c_str(), nullptr);
        ASSERT_TRUE(m_session.WaitForResponse(s_nWaitMs)) << strUrl;
    }

    static std::unique_ptr<CTempDir> s_pDir;
    static std::unique_ptr<CNginxServer> s_pNginx;
    static std::string s_strSetupError;
    static std::string s_strPage;
    static int s_nGood, s_nOther, s_nSelf;
    CHttpPostSession m_session;
};

std::unique_ptr<CTempDir> TlsTest::s_pDir;
std::unique_ptr<CNginxServer> TlsTest::s_pNginx;
std::string TlsTest::s_strSetupError;
std::string TlsTest::s_strPage;
int TlsTest::s_nGood = 0;
int TlsTest::s_nOther = 0;
int TlsTest::s_nSelf = 0;

unsigned ReadRequestCount(std::string_view strStatus, unsigned& nAccepts)
{
    unsigned nHandled = 0, nRequests = 0;
    const std::size_t nPos = strStatus.find("requests\n");
    if (nPos == std::string_view::npos
        || std::sscanf(std::string(strStatus.substr(nPos + 9)).c_str(), "%u %u %u", &nAccepts, &nHandled, &nRequests) != 3)
        return 0;
    return nRequests;
}

} // namespace

TEST_F(TlsTest, PagesArriveOverKeptSecureConnections)
{
    unsigned nAcceptsBefore = 0, nAccepts = 0;
    Fetch(Url(s_nGood, "/status"));
    ASSERT_EQ(m_session.m_nError, 0) << m_session.GetErrorText();
    const unsigned nBefore = ReadRequestCount(m_session.GetBody(), nAcceptsBefore);
    for (int i = 0; i < 3; ++i) {
        Fetch(Url(s_nGood, "/page.html"));
        ASSERT_EQ(m_session.m_nError, 0) << m_session.GetErrorText();
        EXPECT_TRUE(m_session.m_bSecure);
        EXPECT_EQ(m_session.GetBody(), s_strPage);
    }
    Fetch(Url(s_nGood, "/status"));
    EXPECT_EQ(ReadRequestCount(m_session.GetBody(), nAccepts), nBefore + 4);
    EXPECT_EQ(nAccepts, nAcceptsBefore);  // one connection for all of them

    Fetch(Url(s_nGood, "/page.html", "localhost"));  // by name: SNI and the name check
    EXPECT_EQ(m_session.m_nError, 0) << m_session.GetErrorText();
    EXPECT_EQ(m_session.GetBody(), s_strPage);
}

TEST_F(TlsTest, ChunkedBodyOverTls)
{
    m_session.m_nTimeout = -1;
    for (int i = 0; i < 2; ++i) {
        Fetch(Url(s_nGood, "/chunked/page.html"));
        ASSERT_EQ(m_session.m_nError, 0) << m_session.GetErrorText();
        EXPECT_TRUE(m_session.m_bChunked);
        EXPECT_EQ(m_session.GetBody(), s_strPage);
    }
}

TEST_F(TlsTest, RedirectFromHttpToHttps)
{
    const std::string strTarget = Url(s_nGood, "/page.html", "localhost");
    CRawServer server([&strTarget](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 302 Found\r\nLocation: " + strTarget + "\r\nContent-Length: 0\r\n\r\n");
        c.WaitForPeerClose();
    });
    Fetch(server.GetUrl("/old"));
    ASSERT_TRUE(m_session.FollowRedirect());
    ASSERT_TRUE(m_session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(m_session.m_nError, 0) << m_session.GetErrorText();
    EXPECT_EQ(m_session.GetBody(), s_strPage);
}

TEST_F(TlsTest, CertificatesThatDoNotCheckOutEndWithTheSecureConnectionError)
{
    const std::string aUrls[] = {
        Url(s_nSelf, "/page.html"),               // signed by nobody we trust
        Url(s_nOther, "/page.html"),              // trusted, but for another name
        Url(s_nOther, "/page.html", "localhost"),
    };
    for (const std::string& strUrl : aUrls) {
        Fetch(strUrl);
        EXPECT_EQ(m_session.m_nError, -13) << strUrl;
        EXPECT_STREQ(m_session.GetErrorText(), "安全连接失败");
        EXPECT_EQ(m_session.m_nBodyLen, 0);
    }
    // Plain HTTP spoken to a TLS port is no TLS failure, just no answer.
    m_session.m_nTimeout = 2000;
    Fetch("http://127.0.0.1:" + std::to_string(s_nGood) + "/page.html");
    EXPECT_NE(m_session.m_nError, -13);
}

TEST_F(TlsTest, FetchCommandSpeaksHttps)
{
    CTempDir dir;
    const std::string strCommand = std::string("'") + QUARVEX_CLI + "' fetch '" + Url(s_nGood, "/page.html") + "' >"
        + dir.GetPath() + "/out 2>" + dir.GetPath() + "/err";
    const int nStatus = std::system(strCommand.c_str());
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    std::FILE* pFile = std::fopen((dir.GetPath() + "/out").c_str(), "rb");
    ASSERT_NE(pFile, nullptr);
    std::string strOut(s_strPage.size() + 10, '\0');
    strOut.resize(std::fread(strOut.data(), 1, strOut.size(), pFile));
    std::fclose(pFile);
    EXPECT_EQ(strOut, s_strPage);
}
