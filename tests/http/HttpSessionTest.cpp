// HttpSessionTest.cpp - whole exchanges against a scripted raw server on
// 127.0.0.1 that answers with exact bytes and records the exact requests.
#include "http/HttpPostSession.h"
#include "platform/Event.h"

#include "RawServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const int s_nWaitMs = 10000;  // Limit of every wait on a session in these tests.

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Answers every request on a connection with the same bytes until the
// client goes away.
CRawServer::Handler AnswerEach(std::string strResponse)
{
    return [strResponse](CRawConnection& connection) {
        while (!connection.ReadRequest().empty()) {
            if (!connection.Send(strResponse))
                return;
        }
    };
}

// One GET's text with everything this client sends, for a server at
// 127.0.0.1 on nPort (never the scheme's own port in these tests).
std::string ExpectedGet(int nPort, const std::string& strPath, const std::string& strReferer,
                        const std::string& strAuth = "")
{
    return "GET " + strPath + " HTTP/1.1\r\n"
           "Host: 127.0.0.1:" + std::to_string(nPort) + "\r\n"
           "Accept: */*\r\n"
           "Referer: " + strReferer + "\r\n"
           "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
           "Pragma: no-cache\r\n"
           "Cache-Control: no-cache\r\n"
           "Connection: Keep-Alive\r\n"
           "Proxy-Connection: Keep-Alive\r\n"
           + (strAuth.empty() ? std::string() : "Authorization: " + strAuth + "\r\n")
           + "\r\n";
}

void GetAndWait(CHttpPostSession& session, const std::string& strUrl, const char* pszReferer)
{
    session.Get(strUrl.c_str(), pszReferer);
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs)) << strUrl;
}

} // namespace

TEST(HttpSessionTest, GetTextsAndReferersOnNewAndReusedConnections)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CHttpPostSession session;
    session.m_strAuthorization = "Basic dTpw";
    GetAndWait(session, server.GetUrl("/a/b.asp?x=1"), nullptr);  // null: default Referer
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(session.GetBody(), "ok");
    GetAndWait(session, server.GetUrl("/c/d"), "");                // reused: empty counts as none
    GetAndWait(session, server.GetUrl("/e"), "http://r/");
    EXPECT_EQ(session.GetBody(), "ok");
    EXPECT_EQ(server.GetConnectionCount(), 1);

    CHttpPostSession fresh;
    GetAndWait(fresh, server.GetUrl("/f/g"), "");                  // new: empty stays empty
    EXPECT_EQ(server.GetConnectionCount(), 2);

    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 4u);
    EXPECT_EQ(aRequests[0], ExpectedGet(server.GetPort(), "/a/b.asp?x=1", "127.0.0.1/a/", "Basic dTpw"));
    EXPECT_EQ(aRequests[1], ExpectedGet(server.GetPort(), "/c/d", "127.0.0.1/c/", "Basic dTpw"));
    EXPECT_EQ(aRequests[2], ExpectedGet(server.GetPort(), "/e", "http://r/", "Basic dTpw"));
    EXPECT_EQ(aRequests[3], ExpectedGet(server.GetPort(), "/f/g", ""));
}

TEST(HttpSessionTest, PostTextsCarryTheBodyAndNoAuthorization)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CHttpPostSession session;
    session.m_strAuthorization = "Basic dTpw";
    session.Post(server.GetUrl("/form").c_str(), "R", "a=1&b=%D6%D0");
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    session.Post(server.GetUrl("/form").c_str(), "R", nullptr);
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, 0);

    const std::string strHead =
        "POST /form HTTP/1.1\r\n"
        "Host: 127.0.0.1:" + std::to_string(server.GetPort()) + "\r\n"
        "Accept: */*\r\n"
        "Accept-Language: zh-cn\r\n"
        "Referer: R\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n"
        "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
        "Pragma: no-cache\r\n"
        "Cache-Control: no-cache\r\n"
        "Proxy-Connection: Keep-Alive\r\n"
        "Connection: Keep-Alive\r\n";
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 2u);
    EXPECT_EQ(aRequests[0], strHead + "Content-Length:12\r\n\r\na=1&b=%D6%D0");
    EXPECT_EQ(aRequests[1], strHead + "Content-Length:0\r\n\r\n");
}

TEST(HttpSessionTest, LargeFormBodyGoesOutWhole)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    std::string strBody(4 << 20, 'x');
    for (std::size_t i = 0; i < strBody.size(); i += 4097)
        strBody[i] = static_cast<char>('a' + i % 26);
    CHttpPostSession session;
    session.Post(server.GetUrl("/big").c_str(), nullptr, strBody.c_str());
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, 0);
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 1u);
    EXPECT_EQ(aRequests[0].substr(aRequests[0].size() - strBody.size()), strBody);
}

TEST(HttpSessionTest, InterimContinueThenTheFinalHeader)
{
    CRawServer server([](CRawConnection& connection) {
        connection.ReadRequest();
        connection.Send("HTTP/1.1 100 Continue\r\n\r\n");
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody");
        connection.WaitForPeerClose();
    });
    CHttpPostSession session;
    GetAndWait(session, server.GetUrl("/"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(session.GetBody(), "body");
    EXPECT_EQ(session.m_strHeader, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
}

TEST(HttpSessionTest, CloseDelimitedBodyEndsWithTheConnection)
{
    CRawServer server([](CRawConnection& connection) {
        connection.ReadRequest();
        connection.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        connection.Send(std::string(300000, 'z'));
    });
    CHttpPostSession session;
    GetAndWait(session, server.GetUrl("/"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(session.GetBody(), std::string(300000, 'z'));
    EXPECT_FALSE(session.m_bReusable);
    EXPECT_FALSE(session.m_hThread.IsRunning());  // the caller waited for the thread too
}

TEST(HttpSessionTest, ChunkedBodyCompletesOnAKeptConnectionAndTheConnectionIsReused)
{
    CRawServer server([](CRawConnection& connection) {
        while (!connection.ReadRequest().empty()) {
            connection.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1A\r\nabcdefghij");
            connection.Send("klmnopqrstuvwxyz\r\n");
            connection.Send("3\r\n123\r\n0\r\n\r\n");
        }
    });
    CHttpPostSession session;
    session.m_nTimeout = -1;  // completion must not wait for a time-out or a close
    for (int i = 0; i < 3; ++i) {
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, 0);
        EXPECT_EQ(session.GetBody(), "abcdefghijklmnopqrstuvwxyz123");
    }
    EXPECT_EQ(server.GetConnectionCount(), 1);
}

TEST(HttpSessionTest, BrokenChunkedBodiesFailKeepingTheDecodedPart)
{
    struct { const char* pszName; std::string strBody; bool bClose; std::string strKept; } cases[] = {
        { "cut in the last chunk", "5\r\nhello\r\n8\r\nabc", true, "helloabc" },
        { "cut before the last chunk", "5\r\nhello\r\n", true, "hello" },
        { "no size", "5\r\nhello\r\nZZZ\r\nmore\r\n0\r\n\r\n", false, "hello" },
        { "a negative size", "-5\r\nhello\r\n0\r\n\r\n", false, "" },
        { "an over-long size", "2\r\nab\r\n1000000000\r\n", false, "ab" },
    };
    for (const auto& c : cases) {
        // A broken body ends the exchange at once, even on a connection the
        // server keeps open.
        CRawServer server([&c](CRawConnection& connection) {
            connection.ReadRequest();
            connection.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + c.strBody);
            if (!c.bClose)
                connection.WaitForStop();
        });
        CHttpPostSession session;
        session.m_nTimeout = -1;
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, -6) << c.pszName;
        EXPECT_EQ(session.GetBody(), c.strKept) << c.pszName;
        EXPECT_FALSE(session.m_hThread.IsRunning()) << c.pszName;
    }
}

TEST(HttpSessionTest, BrokenServersEndWithTheirCodes)
{
    // None of these ends as an empty success.
    struct { const char* pszName; CRawServer::Handler fnHandler; int nError; const char* pszBody; } cases[] = {
        { "closes on the request", [](CRawConnection& c) { c.ReadRequest(); }, -6, "" },
        { "closes in the header",
          [](CRawConnection& c) { c.ReadRequest(); c.Send("HTTP/1.1 200 OK\r\nContent-Le"); }, -6, "" },
        { "sends no status line",
          [](CRawConnection& c) { c.ReadRequest(); c.Send("<html>page</html>\r\n"); c.WaitForStop(); }, -6, "" },
        { "answers in a header alone",
          [](CRawConnection& c) { c.ReadRequest(); c.Send("Content-Length: 2\r\n\r\nok"); }, -6, "" },
        { "closes before the declared length",
          [](CRawConnection& c) { c.ReadRequest(); c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"); }, -6, "abc" },
        { "length zero", AnswerEach("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"), 0, "" },
    };
    for (auto& c : cases) {
        CRawServer server(c.fnHandler);
        CHttpPostSession session;
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, c.nError) << c.pszName;
        EXPECT_EQ(session.GetBody(), c.pszBody) << c.pszName;
        if (session.m_pBody) {
            EXPECT_EQ(session.m_pBody.get()[session.m_nBodyLen], '\0') << c.pszName;
        }
    }
}

TEST(HttpSessionTest, SilentServerTimesOutEvenWhenItIgnoresTheShutdown)
{
    CRawServer server([](CRawConnection& c) {
        c.ReadRequest();
        c.WaitForStop();  // never answers, never closes
    });
    CHttpPostSession session;
    session.m_nTimeout = 300;
    const auto t0 = Clock::now();
    GetAndWait(session, server.GetUrl("/"), nullptr);
    EXPECT_EQ(session.m_nError, -11);
    EXPECT_STREQ(session.GetErrorText(), "连接超时");
    EXPECT_GE(MsSince(t0), 250);
    EXPECT_LT(MsSince(t0), 5000);
    EXPECT_TRUE(session.m_hThread.WaitForEnd(s_nWaitMs));

    CRawServer polite([](CRawConnection& c) {
        c.ReadRequest();
        c.WaitForPeerClose();  // closes as soon as the client shuts its side
    });
    session.Get(polite.GetUrl("/").c_str(), nullptr);
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, -11);
}

TEST(HttpSessionTest, UnreachableServersAndInvalidUrls)
{
    const int nClosedPort = FindFreePort();
    CHttpPostSession session;
    GetAndWait(session, "http://127.0.0.1:" + std::to_string(nClosedPort) + "/", nullptr);
    EXPECT_EQ(session.m_nError, -8);
    // Too long a label to be looked up: no query leaves this machine.
    GetAndWait(session, "http://" + std::string(64, 'a') + ".invalid/", nullptr);
    EXPECT_EQ(session.m_nError, -5);
    GetAndWait(session, "http:///no-host", nullptr);
    EXPECT_EQ(session.m_nError, -5);
    EXPECT_STREQ(session.GetErrorText(), "找不到服务器");

    const char* apszInvalid[] = { "ftp://h/", "http://h:8080", "http://h:123456/", "https://h:443",
                                  "gopher://h/x" };
    for (const char* pszUrl : apszInvalid) {
        GetAndWait(session, pszUrl, nullptr);
        EXPECT_EQ(session.m_nError, -4) << pszUrl;
    }
    session.Get(nullptr, nullptr);
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, -4);
}

TEST(HttpSessionTest, UrlWithoutSchemeIsRetriedWithHttp)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CHttpPostSession session;
    GetAndWait(session, "127.0.0.1:" + std::to_string(server.GetPort()) + "/x", nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(session.GetBody(), "ok");
    EXPECT_EQ(session.m_strPath, "/x");
}

TEST(HttpSessionTest, StopEndsAnExchangeInProgressAtOnce)
{
    CEvent requestRead;
    CRawServer server([&requestRead](CRawConnection& c) {
        c.ReadRequest();
        requestRead.Set();
        c.WaitForStop();
    });
    CHttpPostSession session;
    session.m_nTimeout = -1;
    session.Get(server.GetUrl("/").c_str(), nullptr);
    ASSERT_TRUE(requestRead.Wait(s_nWaitMs));
    EXPECT_FALSE(session.WaitForResponse(0));
    const auto t0 = Clock::now();
    std::thread stopper([&session] { session.Stop(); });  // as a task's owner does, from another thread
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    stopper.join();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(session.m_nError, -12);
    EXPECT_FALSE(session.m_hThread.IsRunning());
}

TEST(HttpSessionTest, DestroyingASessionMidExchangeJoinsItsThread)
{
    CEvent requestRead;
    CRawServer server([&requestRead](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial");
        requestRead.Set();
        c.WaitForStop();
    });
    const auto t0 = Clock::now();
    {
        CHttpPostSession session;
        session.m_nTimeout = -1;
        session.Get(server.GetUrl("/").c_str(), nullptr);
        ASSERT_TRUE(requestRead.Wait(s_nWaitMs));
    }
    EXPECT_LT(MsSince(t0), 5000);
}

TEST(HttpSessionTest, RequestWhileBusyIsIgnored)
{
    CEvent release;
    CRawServer server([&release](CRawConnection& c) {
        c.ReadRequest();
        release.Wait(s_nWaitMs);
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst");
        c.WaitForPeerClose();
    });
    CHttpPostSession session;
    session.Get(server.GetUrl("/first").c_str(), nullptr);
    session.Get(server.GetUrl("/second").c_str(), nullptr);
    session.Post(server.GetUrl("/third").c_str(), nullptr, "x=1");
    EXPECT_FALSE(session.FollowRedirect());
    release.Set();
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.GetBody(), "first");
    EXPECT_EQ(session.m_strUrl, server.GetUrl("/first"));
    EXPECT_EQ(server.GetRequests().size(), 1u);
}

TEST(HttpSessionTest, AnotherPortEndsTheOldConnectionAndTheNewRequestSucceeds)
{
    CEvent oldClosed;
    CRawServer first([&oldClosed](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none");
        if (c.WaitForPeerClose())
            oldClosed.Set();
    });
    CRawServer second(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ntwo"));
    CHttpPostSession session;
    GetAndWait(session, first.GetUrl("/"), nullptr);
    EXPECT_EQ(session.GetBody(), "one");
    GetAndWait(session, second.GetUrl("/"), nullptr);
    EXPECT_TRUE(oldClosed.Wait(s_nWaitMs));
    EXPECT_EQ(session.m_nError, 0);  // the old thread's end is not this request's result
    EXPECT_EQ(session.GetBody(), "two");
}

TEST(HttpSessionTest, ServerClosingAKeptConnectionGetsANewOneForTheNextRequest)
{
    CRawServer server([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    CHttpPostSession session;
    for (int i = 0; i < 3; ++i) {
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, 0) << i;
        EXPECT_EQ(session.GetBody(), "ok") << i;
        // The idle thread sees the server's close and ends by itself.
        ASSERT_TRUE(session.m_hThread.WaitForEnd(s_nWaitMs));
    }
    EXPECT_EQ(server.GetConnectionCount(), 3);
}

TEST(HttpSessionTest, OnlyA302FoundIsFollowed)
{
    CRawServer target(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ntarget"));
    const std::string strTarget = target.GetUrl("/t");
    struct { std::string strResponse; bool bFollowed; } cases[] = {
        { "HTTP/1.1 302 Found\r\nLocation: " + strTarget + "\r\nContent-Length: 0\r\n\r\n", true },
        { "HTTP/1.1 302 Found\r\nlocation:" + strTarget + "\r\nContent-Length: 0\r\n\r\n", true },
        { "HTTP/1.1 301 Moved Permanently\r\nLocation: " + strTarget + "\r\nContent-Length: 0\r\n\r\n", false },
        { "HTTP/1.1 302 Moved Temporarily\r\nLocation: " + strTarget + "\r\nContent-Length: 0\r\n\r\n", false },
        { "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n", false },
    };
    for (const auto& c : cases) {
        CRawServer server(AnswerEach(c.strResponse));
        CHttpPostSession session;
        GetAndWait(session, server.GetUrl("/r"), nullptr);
        ASSERT_EQ(session.FollowRedirect(), c.bFollowed) << c.strResponse;
        if (c.bFollowed) {
            ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
            EXPECT_EQ(session.GetBody(), "target") << c.strResponse;
            EXPECT_EQ(session.m_strUrl, strTarget);
        }
    }
    // A location that is a path alone stays on the same server.
    CRawServer local([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n");
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext");
        c.WaitForPeerClose();
    });
    CHttpPostSession session;
    GetAndWait(session, local.GetUrl("/r"), nullptr);
    ASSERT_TRUE(session.FollowRedirect());
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.GetBody(), "next");
    EXPECT_EQ(local.GetRequests().at(1).substr(0, 15), "GET /next HTTP/");
}

TEST(HttpSessionTest, LargeBodiesArriveWholeFastOrTricklingOnOneConnection)
{
    std::string strBig(1 << 20, 'b');
    for (std::size_t i = 0; i < strBig.size(); i += 4093)
        strBig[i] = static_cast<char>('a' + i % 26);
    const std::string strSlow(300000, 's');
    CRawServer server([&](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(strBig.size()) + "\r\n\r\n" + strBig);
        c.ReadRequest();
        // Far slower than a large wait fills, yet well within the limit
        // between any two pieces: a success, not a time-out.
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(strSlow.size()) + "\r\n\r\n");
        for (std::size_t i = 0; i < strSlow.size(); i += 1000) {
            c.Send(std::string_view(strSlow).substr(i, 1000));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        while (!c.ReadRequest().empty())
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    CHttpPostSession session;
    session.m_nTimeout = 300;
    GetAndWait(session, server.GetUrl("/big"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_TRUE(session.GetBody() == strBig);
    GetAndWait(session, server.GetUrl("/slow"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_TRUE(session.GetBody() == strSlow);
    for (int i = 0; i < 20; ++i) {
        GetAndWait(session, server.GetUrl("/small"), nullptr);
        EXPECT_EQ(session.m_nError, 0) << i;
        EXPECT_EQ(session.GetBody(), "ok") << i;
    }
    EXPECT_EQ(server.GetConnectionCount(), 1);
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 22u);
    EXPECT_EQ(aRequests[1], ExpectedGet(server.GetPort(), "/slow", "127.0.0.1/"));
    EXPECT_EQ(aRequests[21], ExpectedGet(server.GetPort(), "/small", "127.0.0.1/"));
}

TEST(HttpSessionTest, LargeBodyCutShortOrStalledEndsWithItsCode)
{
    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
    const std::string strPart(500000, 'p');
    {
        CRawServer server([&](CRawConnection& c) { c.ReadRequest(); c.Send(strHead + strPart); });
        CHttpPostSession session;
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, -6);
        EXPECT_EQ(session.m_nBodyLen, 500000);
        EXPECT_EQ(session.m_pBody.get()[session.m_nBodyLen], '\0');
    }
    {
        CRawServer server([&](CRawConnection& c) { c.ReadRequest(); c.Send(strHead + strPart); c.WaitForStop(); });
        CHttpPostSession session;
        session.m_nTimeout = 300;
        const auto t0 = Clock::now();
        GetAndWait(session, server.GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, -11);
        EXPECT_GE(MsSince(t0), 250);
        EXPECT_LT(MsSince(t0), 5000);
    }
}

TEST(HttpSessionTest, LargeFormBodyOnAKeptConnectionGoesOutWhole)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    std::string strBody(4 << 20, 'y');
    for (std::size_t i = 0; i < strBody.size(); i += 4099)
        strBody[i] = static_cast<char>('a' + i % 26);
    CHttpPostSession session;
    GetAndWait(session, server.GetUrl("/first"), nullptr);
    session.Post(server.GetUrl("/big").c_str(), nullptr, strBody.c_str());
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, 0);
    GetAndWait(session, server.GetUrl("/after"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(server.GetConnectionCount(), 1);
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 3u);
    EXPECT_EQ(aRequests[1].substr(aRequests[1].size() - strBody.size()), strBody);
    EXPECT_EQ(aRequests[2], ExpectedGet(server.GetPort(), "/after", "127.0.0.1/"));
}

TEST(HttpSessionTest, ErrorStatusesEndWithTheirCodeKeepTheBodyAndTheConnection)
{
    CRawServer server([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n\r\n"
               "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone");
        c.ReadRequest();
        c.Send("HTTP/1.1 503 Service Unavailable\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbusy\r\n0\r\n\r\n");
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        c.WaitForPeerClose();
    });
    CHttpPostSession session;
    GetAndWait(session, server.GetUrl("/a"), nullptr);
    EXPECT_EQ(session.m_nError, -14);
    EXPECT_EQ(session.m_nStatus, 404);
    EXPECT_STREQ(session.GetErrorText(), "服务器返回错误状态");
    EXPECT_EQ(session.GetBody(), "gone");
    session.Post(server.GetUrl("/b").c_str(), nullptr, "x=1");
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, -14);
    EXPECT_EQ(session.m_nStatus, 503);
    EXPECT_EQ(session.DescribeError(), "服务器返回错误状态 503");
    GetAndWait(session, server.GetUrl("/c"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(session.m_nStatus, 200);
    EXPECT_EQ(session.GetBody(), "ok");
    EXPECT_EQ(server.GetConnectionCount(), 1);
}

TEST(HttpSessionTest, TheDeadlineEndsADrippingOrSilentExchange)
{
    // One byte every 100 ms never trips the wait limit; the deadline ends it.
    CRawServer drip([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 200 && c.Send("x"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    CRawServer silent([](CRawConnection& c) { c.ReadRequest(); c.WaitForStop(); });
    CRawServer slowHeader([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\n");
        for (int i = 0; i < 200 && c.Send("X-A: b\r\n"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    for (const CRawServer* pServer : { &drip, &silent, &slowHeader }) {
        CHttpPostSession session;
        session.m_nTimeout = -1;
        session.m_nDeadline = 600;
        const auto t0 = Clock::now();
        GetAndWait(session, pServer->GetUrl("/"), nullptr);
        EXPECT_EQ(session.m_nError, -11);
        EXPECT_GE(MsSince(t0), 550);
        EXPECT_LT(MsSince(t0), 5000);
        EXPECT_FALSE(session.m_hThread.IsRunning());
    }
    // Each request has a deadline of its own: a kept connection's second
    // request is not charged with the first one's time.
    CRawServer kept(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CHttpPostSession session;
    session.m_nDeadline = 400;
    GetAndWait(session, kept.GetUrl("/1"), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    GetAndWait(session, kept.GetUrl("/2"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    EXPECT_EQ(kept.GetConnectionCount(), 1);
}

TEST(HttpSessionTest, CredentialsGoOnlyWhereTheyWereGivenFor)
{
    CRawServer other(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nother"));
    const std::string strOther = other.GetUrl("/o");
    CRawServer server([&strOther](CRawConnection& c) {
        for (std::string strRequest; !(strRequest = c.ReadRequest()).empty();) {
            if (strRequest.compare(0, 9, "GET /away") == 0)
                c.Send("HTTP/1.1 302 Found\r\nLocation: " + strOther + "\r\nContent-Length: 0\r\n\r\n");
            else if (strRequest.compare(0, 9, "GET /here") == 0)
                c.Send("HTTP/1.1 302 Found\r\nLocation: /there\r\nContent-Length: 0\r\n\r\n");
            else if (strRequest.compare(0, 9, "GET /text") == 0)
                c.Send("HTTP/1.1 200 OK\r\nX-Note: 302 Found\r\nLocation: " + strOther + "\r\nContent-Length: 1\r\n\r\nx");
            else
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nthere");
        }
    });
    CHttpPostSession session;
    session.m_strAuthorization = "Basic dTpw";
    GetAndWait(session, server.GetUrl("/away"), nullptr);
    ASSERT_TRUE(session.FollowRedirect());
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.GetBody(), "other");
    GetAndWait(session, server.GetUrl("/here"), nullptr);
    ASSERT_TRUE(session.FollowRedirect());
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.GetBody(), "there");
    // The status line, not a header's text, makes a redirect.
    GetAndWait(session, server.GetUrl("/text"), nullptr);
    EXPECT_FALSE(session.FollowRedirect());

    const auto aOther = other.GetRequests();
    ASSERT_EQ(aOther.size(), 1u);
    EXPECT_EQ(aOther[0].find("Authorization"), std::string::npos) << aOther[0];
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 4u);
    for (const std::string& strRequest : aRequests)
        EXPECT_NE(strRequest.find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos) << strRequest;
}

TEST(HttpSessionTest, PageValuesCannotAddLinesToARequest)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CHttpPostSession session;
    GetAndWait(session, server.GetUrl("/collect?v=a\r\nX-Evil: 1 b"), nullptr);
    EXPECT_EQ(session.m_nError, 0);
    session.Post(server.GetUrl("/f x").c_str(), "r", "a=1");
    ASSERT_TRUE(session.WaitForResponse(s_nWaitMs));
    EXPECT_EQ(session.m_nError, 0);
    auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 2u);
    EXPECT_EQ(aRequests[0].substr(0, aRequests[0].find("\r\n")), "GET /collect?v=a%0D%0AX-Evil:%201%20b HTTP/1.1");
    EXPECT_EQ(aRequests[0].find("\r\nX-Evil"), std::string::npos);
    EXPECT_NE(aRequests[0].find("\r\nReferer: 127.0.0.1/\r\n"), std::string::npos) << aRequests[0];
    EXPECT_EQ(aRequests[1].substr(0, aRequests[1].find("\r\n")), "POST /f%20x HTTP/1.1");

    // A header value that would break its line is refused; nothing is sent.
    GetAndWait(session, server.GetUrl("/r"), "http://r/\r\nX-Evil: 1");
    EXPECT_EQ(session.m_nError, -15);
    EXPECT_STREQ(session.GetErrorText(), "请求头含有非法字符");
    session.m_strAuthorization = std::string("Basic a\0b", 9);
    GetAndWait(session, server.GetUrl("/a"), nullptr);
    EXPECT_EQ(session.m_nError, -15);
    EXPECT_EQ(server.GetRequests().size(), 2u);
}
