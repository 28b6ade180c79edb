// HttpBench.cpp - requests per second and MB/s of sequential GETs on one
// kept connection, our session beside libcurl, against a private nginx on
// 127.0.0.1. Bodies sized by Content-Length, chunked, and close-delimited
// (the last needs a new connection per request, for both clients).
// Usage: http_bench [SECONDS_PER_CASE]   (default 1.5)
#include "http/HttpPostSession.h"

#include "NginxServer.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct CFigures
{
    double dRequestsPerSecond = 0;
    double dMegabytesPerSecond = 0;
    bool bOk = true;
};

std::string MakeFile(std::size_t nSize)
{
    std::string strData(nSize, '\0');
    unsigned nState = 7;
    for (char& c : strData) {
        nState = nState * 1103515245u + 12345u;
        c = static_cast<char>('a' + (nState >> 24) % 26);  // text, so SSI passes it unchanged
    }
    return strData;
}

CFigures Finish(Clock::time_point t0, int nRequests, std::size_t nBytes, bool bOk)
{
    const double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return { nRequests / dSeconds, static_cast<double>(nBytes) / dSeconds / 1e6, bOk };
}

CFigures RunSession(const std::string& strUrl, std::size_t nExpected, double dSeconds)
{
    CHttpPostSession session;
    int nRequests = 0;
    std::size_t nBytes = 0;
    bool bOk = true;
    const auto t0 = Clock::now();
    do {
        session.Get(strUrl.c_str(), nullptr);
        session.WaitForResponse();
        if (session.m_nError != 0 || static_cast<std::size_t>(session.m_nBodyLen) != nExpected)
            bOk = false;
        nBytes += static_cast<std::size_t>(session.m_nBodyLen);
        ++nRequests;
    } while (bOk && std::chrono::duration<double>(Clock::now() - t0).count() < dSeconds);
    return Finish(t0, nRequests, nBytes, bOk);
}

std::size_t AppendBody(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    static_cast<std::string*>(pUser)->append(pData, nSize * nCount);
    return nSize * nCount;
}

CFigures RunCurl(const std::string& strUrl, std::size_t nExpected, double dSeconds)
{
    CURL* pCurl = curl_easy_init();
    std::string strBody;
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strBody);
    curl_easy_setopt(pCurl, CURLOPT_TCP_NODELAY, 1L);
    int nRequests = 0;
    std::size_t nBytes = 0;
    bool bOk = true;
    const auto t0 = Clock::now();
    do {
        strBody.clear();
        if (curl_easy_perform(pCurl) != CURLE_OK || strBody.size() != nExpected)
            bOk = false;
        nBytes += strBody.size();
        ++nRequests;
    } while (bOk && std::chrono::duration<double>(Clock::now() - t0).count() < dSeconds);
    curl_easy_cleanup(pCurl);
    return Finish(t0, nRequests, nBytes, bOk);
}

} // namespace

int main(int argc, char** argv)
{
    const double dSeconds = argc > 1 ? std::atof(argv[1]) : 1.5;
    const std::string strSmall = MakeFile(20 * 1024);
    const std::string strLarge = MakeFile(2 * 1024 * 1024);
    CNginxServer nginx;
    for (const char* pszDir : { "", "chunked/", "close/" }) {
        nginx.WriteFile(std::string(pszDir) + "20k.txt", strSmall);
        nginx.WriteFile(std::string(pszDir) + "2m.txt", strLarge);
    }
    if (!nginx.Start("location /chunked/ { ssi on; ssi_types *; }\n"
                     "location /close/ { ssi on; ssi_types *; chunked_transfer_encoding off; }\n")) {
        std::fprintf(stderr, "http_bench: %s\n", nginx.GetError().c_str());
        return 1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    struct { const char* pszName; const char* pszPath; std::size_t nSize; } cases[] = {
        { "20 KB, Content-Length", "/20k.txt",         strSmall.size() },
        { "20 KB, chunked",        "/chunked/20k.txt", strSmall.size() },
        { "20 KB, close",          "/close/20k.txt",   strSmall.size() },
        { "2 MB, Content-Length",  "/2m.txt",          strLarge.size() },
        { "2 MB, chunked",         "/chunked/2m.txt",  strLarge.size() },
        { "2 MB, close",           "/close/2m.txt",    strLarge.size() },
    };
    std::printf("%-22s %12s %10s %12s %10s %8s %8s\n", "case", "quarvex r/s", "MB/s", "libcurl r/s", "MB/s",
                "r/s x", "MB/s x");
    bool bAllOk = true;
    for (const auto& c : cases) {
        const std::string strUrl = nginx.GetUrl(c.pszPath);
        // Two alternating rounds, best of each, so that a burst of other load
        // on the machine does not fall on one client only.
        CFigures ours, theirs;
        for (int nRound = 0; nRound < 2; ++nRound) {
            const CFigures a = RunSession(strUrl, c.nSize, dSeconds / 2);
            const CFigures b = RunCurl(strUrl, c.nSize, dSeconds / 2);
            if (a.dRequestsPerSecond > ours.dRequestsPerSecond)
                ours = a;
            if (b.dRequestsPerSecond > theirs.dRequestsPerSecond)
                theirs = b;
            bAllOk = bAllOk && a.bOk && b.bOk;
        }
        std::printf("%-22s %12.0f %10.1f %12.0f %10.1f %8.2f %8.2f%s\n", c.pszName, ours.dRequestsPerSecond,
                    ours.dMegabytesPerSecond, theirs.dRequestsPerSecond, theirs.dMegabytesPerSecond,
                    ours.dRequestsPerSecond / theirs.dRequestsPerSecond,
                    ours.dMegabytesPerSecond / theirs.dMegabytesPerSecond,
                    ours.bOk && theirs.bOk ? "" : "  (a fetch failed)");
    }
    curl_global_cleanup();
    return bAllOk ? 0 : 1;
}
