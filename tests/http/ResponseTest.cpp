// ResponseTest.cpp - the response side of the session fed with bytes, no
// socket: header parsing, body completion and hostile sizes. Every case is
// fed whole and in small pieces and must end the same way.
#include "http/HttpPostSession.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class CFeedSession : public CHttpPostSession
{
public:
    ~CFeedSession() override { Stop(); }

    // Readies the session as if a request had just been sent.
    void Begin()
    {
        m_hDoneEvent.Reset();
        m_nError = 0;
        m_pBody.reset();
        m_nBodyLen = 0;
        m_nBodyCapacity = 0;
        m_nContentLength = -1;
        m_bBusy = true;
        StartResponse();
    }
    bool Feed(const std::string& strData, std::size_t nPiece)
    {
        for (std::size_t i = 0; i < strData.size(); i += nPiece) {
            if (!TakeResponseBytes(strData.data() + i, std::min(nPiece, strData.size() - i)))
                return false;
        }
        return true;
    }
    bool Close() { return TakeResponseClose(); }
    bool IsComplete() const { return m_bComplete; }
    void SetLimits(std::size_t nHeader, std::size_t nBody)
    {
        m_nHeaderLimit = nHeader;
        m_nBodyLimit = nBody;
    }
};

struct CResult
{
    bool bComplete;
    bool bDone;
    int nError;
    std::string strBody;
    bool bTerminated;
};

// Feeds the bytes in pieces of nPiece, then a close when bClose.
CResult FeedResponse(const std::string& strResponse, std::size_t nPiece, bool bClose)
{
    CFeedSession session;
    session.Begin();
    session.Feed(strResponse, nPiece);
    if (bClose)
        session.Close();
    const std::string_view strBody = session.GetBody();
    return { session.IsComplete(), session.m_hDoneEvent.IsSet(), session.m_nError, std::string(strBody),
             !session.m_pBody || session.m_pBody.get()[session.m_nBodyLen] == '\0' };
}

const std::size_t s_aPieces[] = { 1, 2, 3, 7, 64, 100000 };

} // namespace

TEST(ResponseTest, CompletionPointsAndBodiesAgreeForEveryPieceSize)
{
    struct { const char* pszName; std::string strIn; bool bClose; bool bComplete; bool bDone; int nError; std::string strBody; } cases[] = {
        { "length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, true, true, 0, "hello" },
        { "length, extra bytes dropped", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", false, true, true, 0, "he" },
        { "length 0", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, true, true, 0, "" },
        { "name in any case, blanks before the value", "HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh:\t  3\r\n\r\nabc", false, true, true, 0, "abc" },
        { "bare LF lines", "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", false, true, true, 0, "abc" },
        { "chunked on a kept connection", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false, true, true, 0, "abc" },
        { "chunked token, odd case", "HTTP/1.1 200 OK\r\ntransfer-encoding:gzip, Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false, true, true, 0, "abc" },
        { "chunked, no data", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, true, true, 0, "" },
        { "chunked, cut off by the close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, true, true, 0, "5\r\nab" },
        { "close-delimited", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", true, true, false, 0, "until the end" },
        { "close-delimited still open", "HTTP/1.1 200 OK\r\n\r\nmore to come", false, false, false, 0, "more to come" },
        { "close-delimited, nothing", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", true, false, false, 0, "" },
        { "length cut short by the close", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true, false, false, -6, "abc" },
        { "interim 100 Continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, true, true, 0, "ok" },
        { "header never finished", "HTTP/1.1 200 OK\r\nContent-Le", true, false, false, 0, "" },
    };
    for (const auto& c : cases) {
        for (std::size_t nPiece : s_aPieces) {
            const CResult r = FeedResponse(c.strIn, nPiece, c.bClose);
            EXPECT_EQ(r.bComplete, c.bComplete) << c.pszName << ", pieces of " << nPiece;
            EXPECT_EQ(r.nError, c.nError) << c.pszName << ", pieces of " << nPiece;
            EXPECT_EQ(r.strBody, c.strBody) << c.pszName << ", pieces of " << nPiece;
            EXPECT_TRUE(r.bTerminated) << c.pszName << ", pieces of " << nPiece;
            // The done event is owed until the thread ends when nothing completed.
            if (c.bDone) {
                EXPECT_TRUE(r.bDone) << c.pszName << ", pieces of " << nPiece;
            }
        }
    }
}

TEST(ResponseTest, ConnectionCloseIsMatchedAsAHeaderNameAtLineStart)
{
    struct { const char* pszHeader; bool bReusable; } cases[] = {
        { "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",        false },
        { "HTTP/1.1 200 OK\r\nCONNECTION:CLOSE\r\nContent-Length: 0\r\n\r\n",         false },
        { "HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 0\r\n\r\n", false },
        { "HTTP/1.1 200 OK\r\nProxy-Connection: close\r\nContent-Length: 0\r\n\r\n",  true },
        { "HTTP/1.1 200 OK\r\nX-Note: Connection: close\r\nContent-Length: 0\r\n\r\n", true },
        { "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n",   true },
    };
    for (const auto& c : cases) {
        CFeedSession session;
        session.Begin();
        ASSERT_TRUE(session.Feed(c.pszHeader, 1000)) << c.pszHeader;
        EXPECT_TRUE(session.IsComplete()) << c.pszHeader;
        EXPECT_EQ(session.m_bReusable, c.bReusable) << c.pszHeader;
        // A closing connection owes its done signal until the thread ends.
        EXPECT_EQ(session.m_hDoneEvent.IsSet(), c.bReusable) << c.pszHeader;
    }
}

TEST(ResponseTest, HostileSizesEndTheExchangeInsteadOfAllocating)
{
    {
        // A 2 GB promise allocates only for what arrives.
        CFeedSession session;
        session.Begin();
        EXPECT_FALSE(session.Feed("HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\nabc", 1000));
        EXPECT_EQ(session.m_nError, -6);  // beyond the 1 GiB limit
    }
    {
        CFeedSession session;
        session.Begin();
        ASSERT_TRUE(session.Feed("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\nabc", 1000));
        EXPECT_EQ(session.m_nError, 0);
        EXPECT_LE(session.m_nBodyCapacity, 1 << 20);
        EXPECT_EQ(session.GetBody(), "abc");
    }
    {
        CFeedSession session;
        session.Begin();
        session.Feed("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", 1000);
        EXPECT_EQ(session.m_nError, -6);  // read as "too long", never wrapped
    }
    {
        // A header without its blank line ends at 64 KiB, whatever the pieces.
        for (std::size_t nPiece : { std::size_t{ 1000 }, std::size_t{ 70000 } }) {
            CFeedSession session;
            session.Begin();
            EXPECT_FALSE(session.Feed("HTTP/1.1 200 OK\r\n" + std::string(70000, 'x'), nPiece));
            EXPECT_EQ(session.m_nError, -6);
            EXPECT_LE(session.m_strHeader.size(), 65536u + nPiece);
        }
    }
    {
        // A body without length stops at the limit.
        CFeedSession session;
        session.SetLimits(65536, 100);
        session.Begin();
        EXPECT_FALSE(session.Feed("HTTP/1.1 200 OK\r\n\r\n" + std::string(150, 'b'), 7));
        EXPECT_EQ(session.m_nError, -6);
        EXPECT_LE(session.m_nBodyLen, 100);
    }
}

TEST(ResponseTest, ErrorTextsCoverTheTableAndNothingElse)
{
    EXPECT_STREQ(CHttpSession::GetErrorText(0), "成功完成");
    EXPECT_STREQ(CHttpSession::GetErrorText(-4), "URL无效");
    EXPECT_STREQ(CHttpSession::GetErrorText(-6), "SOCKET错误");
    EXPECT_STREQ(CHttpSession::GetErrorText(-11), "连接超时");
    EXPECT_STREQ(CHttpSession::GetErrorText(-12), "连接被中断");
    EXPECT_STREQ(CHttpSession::GetErrorText(-13), "安全连接失败");
    EXPECT_STREQ(CHttpSession::GetErrorText(-14), "错误代码无效");
    EXPECT_STREQ(CHttpSession::GetErrorText(5), "错误代码无效");
    EXPECT_STREQ(CHttpSession::GetErrorText(-2147483647 - 1), "错误代码无效");
}
