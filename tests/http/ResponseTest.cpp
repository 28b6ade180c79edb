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
        { "chunked, cut off by the close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, false, false, -6, "ab" },
        { "chunked, cut before the last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n10\r\npartial", true, false, false, -6, "hellopartial" },
        { "chunked, no size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nZZZ\r\nabc\r\n0\r\n\r\n", false, false, false, -6, "hello" },
        { "chunked, negative size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n", false, false, false, -6, "" },
        { "chunked, over-long size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n123456789\r\nx", false, false, false, -6, "ab" },
        { "chunked wins over a length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false, true, true, 0, "abc" },
        { "close-delimited", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", true, true, false, 0, "until the end" },
        { "close-delimited still open", "HTTP/1.1 200 OK\r\n\r\nmore to come", false, false, false, 0, "more to come" },
        { "close-delimited, nothing", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", true, true, false, 0, "" },
        { "204 without a length", "HTTP/1.1 204 No Content\r\n\r\n", false, true, true, 0, "" },
        { "length cut short by the close", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true, false, false, -6, "abc" },
        { "interim 100 Continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, true, true, 0, "ok" },
        { "two interims, one with a length", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, true, true, 0, "ok" },
        { "a stray blank line first", "\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, true, true, 0, "ok" },
        { "header never finished", "HTTP/1.1 200 OK\r\nContent-Le", true, false, false, -6, "" },
        { "closed without a byte", "", true, false, false, -6, "" },
        { "no status line", "<html>hello</html>\r\n\r\n", false, false, false, -6, "" },
        { "a header without its status line", "Content-Length: 2\r\n\r\nok", false, false, false, -6, "" },
        { "a status of two digits", "HTTP/1.1 20 OK\r\nContent-Length: 2\r\n\r\nok", false, false, false, -6, "" },
        { "not found, body kept", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", false, true, true, -14, "gone" },
        { "server error, chunked", "HTTP/1.0 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbusy\r\n0\r\n\r\n", false, true, true, -14, "busy" },
        { "a 399 is no error", "HTTP/1.1 399 Odd\r\nContent-Length: 1\r\n\r\nx", false, true, true, 0, "x" },
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

TEST(ResponseTest, StatusIsKeptAndInterimResponsesNeverAccumulate)
{
    // Far more interim responses than a header may hold: each is dropped as
    // it ends, so none counts against the final header's limit.
    std::string strIn;
    for (int i = 0; i < 10000; ++i)
        strIn += "HTTP/1.1 100 Continue\r\n\r\n";
    strIn += "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 4\r\n\r\nslow";
    for (std::size_t nPiece : { std::size_t{ 7 }, std::size_t{ 100000 } }) {
        CFeedSession session;
        session.Begin();
        ASSERT_TRUE(session.Feed(strIn, nPiece));
        EXPECT_TRUE(session.IsComplete());
        EXPECT_EQ(session.m_nError, -14);
        EXPECT_EQ(session.m_nStatus, 429);
        EXPECT_EQ(session.DescribeError(), "服务器返回错误状态 429");
        EXPECT_EQ(session.GetBody(), "slow");
        EXPECT_EQ(session.m_strHeader, "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 4\r\n\r\n");
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
    EXPECT_STREQ(CHttpSession::GetErrorText(-14), "服务器返回错误状态");
    EXPECT_STREQ(CHttpSession::GetErrorText(-15), "请求头含有非法字符");
    EXPECT_STREQ(CHttpSession::GetErrorText(-16), "错误代码无效");
    EXPECT_STREQ(CHttpSession::GetErrorText(5), "错误代码无效");
    EXPECT_STREQ(CHttpSession::GetErrorText(-2147483647 - 1), "错误代码无效");
}
