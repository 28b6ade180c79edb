// FetchCommandTest.cpp - quarvex-cli fetch run as a program against a raw
// server: request options, output bytes, error lines and exit statuses.
#include "RawServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

struct CRun
{
    int nStatus;
    std::string strOut;
    std::string strErr;
};

std::string Quote(const std::string& strArg)
{
    std::string strOut = "'";
    for (char c : strArg) {
        if (c == '\'')
            strOut += "'\\''";
        else
            strOut += c;
    }
    return strOut + "'";
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

CRun RunFetch(const std::vector<std::string>& aArgs)
{
    CTempDir dir;
    std::string strCommand = Quote(QUARVEX_CLI) + " fetch";
    for (const std::string& strArg : aArgs)
        strCommand += " " + Quote(strArg);
    strCommand += " >" + dir.GetPath() + "/out 2>" + dir.GetPath() + "/err";
    const int nRaw = std::system(strCommand.c_str());
    return { WIFEXITED(nRaw) ? WEXITSTATUS(nRaw) : -1, ReadFile(dir.GetPath() + "/out"), ReadFile(dir.GetPath() + "/err") };
}

CRawServer::Handler AnswerEach(std::string strResponse)
{
    return [strResponse](CRawConnection& connection) {
        while (!connection.ReadRequest().empty())
            connection.Send(strResponse);
    };
}

} // namespace

TEST(FetchCommandTest, WritesTheBodyAndOptionallyTheHeader)
{
    const std::string strResponse("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab\0\xD6\xD0z", 44);
    CRawServer server(AnswerEach(strResponse));
    CRun run = RunFetch({ server.GetUrl("/p") });
    EXPECT_EQ(run.nStatus, 0) << run.strErr;
    EXPECT_EQ(run.strOut, std::string("ab\0\xD6\xD0z", 6));
    run = RunFetch({ "--include", server.GetUrl("/p") });
    EXPECT_EQ(run.nStatus, 0);
    EXPECT_EQ(run.strOut, strResponse);
}

TEST(FetchCommandTest, OptionsShapeTheRequest)
{
    CRawServer server(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    EXPECT_EQ(RunFetch({ "--auth", "u:p", server.GetUrl("/a/b") }).nStatus, 0);
    EXPECT_EQ(RunFetch({ "--referer", "", server.GetUrl("/a/b") }).nStatus, 0);
    EXPECT_EQ(RunFetch({ "--post", "x=1&y=%41", "--referer", "R", server.GetUrl("/f") }).nStatus, 0);
    const auto aRequests = server.GetRequests();
    ASSERT_EQ(aRequests.size(), 3u);
    EXPECT_NE(aRequests[0].find("\r\nReferer: 127.0.0.1/a/\r\n"), std::string::npos) << aRequests[0];
    EXPECT_NE(aRequests[0].find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos) << aRequests[0];
    EXPECT_NE(aRequests[1].find("\r\nReferer: \r\n"), std::string::npos) << aRequests[1];
    EXPECT_EQ(aRequests[1].find("Authorization"), std::string::npos) << aRequests[1];
    EXPECT_EQ(aRequests[2].substr(0, 8), "POST /f ");
    EXPECT_NE(aRequests[2].find("\r\nReferer: R\r\n"), std::string::npos) << aRequests[2];
    EXPECT_EQ(aRequests[2].substr(aRequests[2].size() - 29), "Content-Length:9\r\n\r\nx=1&y=%41");
}

TEST(FetchCommandTest, FollowTakesOneRedirect)
{
    CRawServer target(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ntarget"));
    CRawServer server(AnswerEach("HTTP/1.1 302 Found\r\nLocation: " + target.GetUrl("/t") + "\r\nContent-Length: 4\r\n\r\nmove"));
    EXPECT_EQ(RunFetch({ server.GetUrl("/") }).strOut, "move");
    const CRun run = RunFetch({ "--follow", server.GetUrl("/") });
    EXPECT_EQ(run.nStatus, 0);
    EXPECT_EQ(run.strOut, "target");
}

TEST(FetchCommandTest, FailuresReportTheCodeAndExitAboveOneHundred)
{
    CRawServer empty(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    CRawServer silent([](CRawConnection& c) { c.ReadRequest(); c.WaitForStop(); });
    struct { std::vector<std::string> aArgs; int nStatus; const char* pszErr; } cases[] = {
        { { "http://127.0.0.1:" + std::to_string(FindFreePort()) + "/" }, 108, "error -8: 连接服务器失败\n" },
        { { "ftp://example.com/" },                                       104, "error -4: URL无效\n" },
        { { empty.GetUrl("/") },                                          100, "error 0: 成功完成\n" },
        { { "--timeout", "200", silent.GetUrl("/") },                     111, "error -11: 连接超时\n" },
    };
    for (const auto& c : cases) {
        const CRun run = RunFetch(c.aArgs);
        EXPECT_EQ(run.nStatus, c.nStatus) << c.aArgs.back();
        EXPECT_EQ(run.strErr, c.pszErr) << c.aArgs.back();
    }
}

TEST(FetchCommandTest, WrongCommandLinesExitTwo)
{
    EXPECT_EQ(RunFetch({}).nStatus, 2);
    EXPECT_EQ(RunFetch({ "--timeout", "soon", "http://h/" }).nStatus, 2);
    EXPECT_EQ(RunFetch({ "--bogus", "http://h/" }).nStatus, 2);
    EXPECT_EQ(RunFetch({ "http://h/", "http://g/" }).nStatus, 2);
    EXPECT_EQ(RunFetch({ "--post" }).nStatus, 2);
}

TEST(FetchCommandTest, ErrorStatusesPrintTheBodyAndFailedExchangesOnlyWhenAsked)
{
    CRawServer missing(AnswerEach("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"));
    CRun run = RunFetch({ missing.GetUrl("/") });
    EXPECT_EQ(run.nStatus, 114);
    EXPECT_EQ(run.strOut, "gone");
    EXPECT_EQ(run.strErr, "error -14: 服务器返回错误状态 404\n");

    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    CRawServer cut([&strHead](CRawConnection& c) { c.ReadRequest(); c.Send(strHead + "partial"); });
    run = RunFetch({ cut.GetUrl("/") });
    EXPECT_EQ(run.nStatus, 106);
    EXPECT_EQ(run.strOut, "");
    EXPECT_EQ(run.strErr, "error -6: SOCKET错误\n");
    EXPECT_EQ(RunFetch({ "--partial", cut.GetUrl("/") }).strOut, "partial");
    EXPECT_EQ(RunFetch({ "--include", cut.GetUrl("/") }).strOut, strHead + "partial");

    // Closing without a byte is a failure, not "error 0".
    CRawServer mute([](CRawConnection& c) { c.ReadRequest(); });
    run = RunFetch({ mute.GetUrl("/") });
    EXPECT_EQ(run.nStatus, 106);
    EXPECT_EQ(run.strErr, "error -6: SOCKET错误\n");
}

TEST(FetchCommandTest, TimeoutBoundsTheWholeExchange)
{
    CRawServer drip([](CRawConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 100 && c.Send("x"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    const auto t0 = std::chrono::steady_clock::now();
    const CRun run = RunFetch({ "--timeout", "800", drip.GetUrl("/") });
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(run.nStatus, 111);
    EXPECT_EQ(run.strErr, "error -11: 连接超时\n");
    EXPECT_EQ(run.strOut, "");
    EXPECT_LT(nMs, 6000);
}

TEST(FetchCommandTest, CredentialsDoNotFollowARedirectToAnotherServer)
{
    CRawServer target(AnswerEach("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ntarget"));
    CRawServer server(AnswerEach("HTTP/1.1 302 Found\r\nLocation: " + target.GetUrl("/t") + "\r\nContent-Length: 0\r\n\r\n"));
    const CRun run = RunFetch({ "--auth", "u:p", "--follow", server.GetUrl("/") });
    EXPECT_EQ(run.nStatus, 0);
    EXPECT_EQ(run.strOut, "target");
    ASSERT_EQ(target.GetRequests().size(), 1u);
    EXPECT_EQ(target.GetRequests()[0].find("Authorization"), std::string::npos);
    EXPECT_NE(server.GetRequests().at(0).find("Authorization: Basic dTpw"), std::string::npos);
}
