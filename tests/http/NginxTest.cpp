// NginxTest.cpp - the session against Debian's nginx, started by each test on
// 127.0.0.1 with its own prefix: kept connections, a large static file,
// chunked and close-delimited bodies, a redirect and an empty file.
#include "http/HttpPostSession.h"

#include "NginxServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const int s_nWaitMs = 20000;

const char s_szConfig[] =
    "location = /status { stub_status; }\n"
    // SSI drops the length of what it filters, so nginx sends these files
    // chunked, or, with chunking off, until it closes the connection.
    "location /chunked/ { ssi on; ssi_types *; }\n"
    "location /close/ { ssi on; ssi_types *; chunked_transfer_encoding off; }\n"
    "location = /moved { return 302 /small.html; }\n";

std::string MakeBigFile()
{
    std::string strData(2 << 20, '\0');
    unsigned nState = 12345;
    for (char& c : strData) {
        nState = nState * 1103515245u + 12345u;
        c = static_cast<char>(nState >> 24);
    }
    return strData;
}

class NginxTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_strSmall = "<html><body>" + std::string(20000, 's') + "</body></html>";
        m_strBig = MakeBigFile();
        m_nginx.WriteFile("small.html", m_strSmall);
        m_nginx.WriteFile("big.bin", m_strBig);
        m_nginx.WriteFile("empty.txt", "");
        m_nginx.WriteFile("chunked/page.html", m_strSmall);
        m_nginx.WriteFile("close/page.html", m_strSmall);
        ASSERT_TRUE(m_nginx.Start(s_szConfig)) << m_nginx.GetError();
    }

    void Fetch(const std::string& strPath)
    {
        m_session.Get(m_nginx.GetUrl(strPath).c_str(), nullptr);
        ASSERT_TRUE(m_session.WaitForResponse(s_nWaitMs)) << strPath;
    }

    // Reads nginx's counters ("server accepts handled requests\n 1 1 6")
    // through the session under test.
    void ReadStatus(unsigned& nAccepts, unsigned& nRequests)
    {
        Fetch("/status");
        ASSERT_EQ(m_session.m_nError, 0);
        const std::string strStatus(m_session.GetBody());
        const std::size_t nPos = strStatus.find("requests\n");
        ASSERT_NE(nPos, std::string::npos) << strStatus;
        unsigned nHandled = 0;
        ASSERT_EQ(std::sscanf(strStatus.c_str() + nPos + 9, "%u %u %u", &nAccepts, &nHandled, &nRequests), 3) << strStatus;
    }

    CNginxServer m_nginx;
    CHttpPostSession m_session;
    std::string m_strSmall;
    std::string m_strBig;
};

} // namespace

TEST_F(NginxTest, SeveralRequestsTravelOnOneKeptConnection)
{
    unsigned nAcceptsBefore = 0, nRequestsBefore = 0;
    ReadStatus(nAcceptsBefore, nRequestsBefore);
    for (int i = 0; i < 5; ++i) {
        Fetch("/small.html");
        ASSERT_EQ(m_session.m_nError, 0);
        ASSERT_EQ(m_session.GetBody(), m_strSmall);
        ASSERT_TRUE(m_session.m_bReusable);
    }
    unsigned nAccepts = 0, nRequests = 0;
    ReadStatus(nAccepts, nRequests);
    EXPECT_EQ(nAccepts, nAcceptsBefore);  // no new connection
    EXPECT_EQ(nRequests, nRequestsBefore + 6);
}

TEST_F(NginxTest, LargeStaticFileArrivesByteForByte)
{
    Fetch("/big.bin");
    EXPECT_EQ(m_session.m_nError, 0);
    EXPECT_EQ(m_session.m_nContentLength, static_cast<int>(m_strBig.size()));
    ASSERT_EQ(m_session.m_nBodyLen, static_cast<int>(m_strBig.size()));
    EXPECT_TRUE(m_session.GetBody() == m_strBig);
    EXPECT_EQ(m_session.m_pBody.get()[m_session.m_nBodyLen], '\0');
}

TEST_F(NginxTest, ChunkedResponseCompletesWithoutWaitingForAClose)
{
    m_session.m_nTimeout = -1;  // a stall would hang here, not pass after a time-out
    for (int i = 0; i < 3; ++i) {
        Fetch("/chunked/page.html");
        ASSERT_EQ(m_session.m_nError, 0);
        EXPECT_TRUE(m_session.m_bChunked);
        EXPECT_EQ(m_session.GetBody(), m_strSmall);
        EXPECT_TRUE(m_session.m_hThread.IsRunning());  // the connection is kept
    }
}

TEST_F(NginxTest, CloseDelimitedResponseEndsWithTheConnection)
{
    Fetch("/close/page.html");
    EXPECT_EQ(m_session.m_nError, 0);
    EXPECT_EQ(m_session.m_nContentLength, -1);
    EXPECT_FALSE(m_session.m_bChunked);
    EXPECT_FALSE(m_session.m_bReusable);
    EXPECT_EQ(m_session.GetBody(), m_strSmall);
    EXPECT_FALSE(m_session.m_hThread.IsRunning());
    Fetch("/small.html");  // a new connection for the next request
    EXPECT_EQ(m_session.GetBody(), m_strSmall);
}

TEST_F(NginxTest, NginxRedirectIsNotA302FoundAndIsNotFollowed)
{
    Fetch("/moved");
    EXPECT_EQ(m_session.m_nError, 0);
    EXPECT_NE(m_session.m_strHeader.find("302 Moved Temporarily"), std::string::npos) << m_session.m_strHeader;
    EXPECT_FALSE(m_session.FollowRedirect());
}

TEST_F(NginxTest, EmptyFileCompletesWithAnEmptyTerminatedBody)
{
    Fetch("/empty.txt");
    EXPECT_EQ(m_session.m_nError, 0);
    EXPECT_EQ(m_session.m_nContentLength, 0);
    EXPECT_EQ(m_session.m_nBodyLen, 0);
    ASSERT_TRUE(m_session.m_pBody);
    EXPECT_EQ(m_session.m_pBody.get()[0], '\0');
    Fetch("/small.html");
    EXPECT_EQ(m_session.GetBody(), m_strSmall);
}
