// HttpBench.cpp - requests per second and MB/s of sequential GETs on one
// kept connection, our session beside libcurl, against a private nginx on
// 127.0.0.1. Bodies sized by Content-Length, chunked, and close-delimited
// (the last needs a new connection per request, for both clients), and the
// same over TLS with a throw-away CA made by the openssl command.
// Both clients get the same URL, the same warm-up and the same number of
// requests per run; runs alternate (ours, theirs, theirs, ours, ...) so that
// a change in the machine's speed falls on both alike, and the table gives
// the median and the range of the runs, and the ratio of the medians.
// Usage: http_bench [RUNS [CASE_TEXT [quarvex|libcurl [SCALE]]]]
// (7 runs per client and case by default; CASE_TEXT picks cases whose name
// holds it; a client name runs that client only, for profiling; SCALE
// multiplies the requests per run, 1 by default).
#include "http/HttpPostSession.h"

#include "NginxServer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct CFigures
{
    double dRequestsPerSecond = 0;
    double dMegabytesPerSecond = 0;
    double dCpuMicrosPerRequest = 0;  // This process's user + system time; nginx not counted.
    bool bOk = true;
};

// User plus system CPU time of this process, every thread, in microseconds.
double CpuMicros()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

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

CFigures Finish(Clock::time_point t0, double dCpu0, int nRequests, std::size_t nBytes, bool bOk)
{
    const double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return { nRequests / dSeconds, static_cast<double>(nBytes) / dSeconds / 1e6, (CpuMicros() - dCpu0) / nRequests, bOk };
}

// One run: a new client (so a new connection), nWarmUp untimed requests,
// then nRequests timed ones.
CFigures RunSession(const std::string& strUrl, std::size_t nExpected, int nWarmUp, int nRequests)
{
    CHttpPostSession session;
    std::size_t nBytes = 0;
    bool bOk = true;
    auto Fetch = [&] {
        session.Get(strUrl.c_str(), nullptr);
        session.WaitForResponse();
        if (session.m_nError != 0 || static_cast<std::size_t>(session.m_nBodyLen) != nExpected)
            bOk = false;
        nBytes += static_cast<std::size_t>(session.m_nBodyLen);
    };
    for (int i = 0; i < nWarmUp; ++i)
        Fetch();
    nBytes = 0;
    const double dCpu0 = CpuMicros();
    const auto t0 = Clock::now();
    for (int i = 0; i < nRequests; ++i)
        Fetch();
    return Finish(t0, dCpu0, nRequests, nBytes, bOk);
}

std::size_t AppendBody(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    static_cast<std::string*>(pUser)->append(pData, nSize * nCount);
    return nSize * nCount;
}

std::string g_strCaFile;  // Trusted by both clients for the TLS cases.

CFigures RunCurl(const std::string& strUrl, std::size_t nExpected, int nWarmUp, int nRequests)
{
    CURL* pCurl = curl_easy_init();
    if (!g_strCaFile.empty())
        curl_easy_setopt(pCurl, CURLOPT_CAINFO, g_strCaFile.c_str());
    std::string strBody;
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strBody);
    curl_easy_setopt(pCurl, CURLOPT_TCP_NODELAY, 1L);
    std::size_t nBytes = 0;
    bool bOk = true;
    auto Fetch = [&] {
        strBody.clear();
        if (curl_easy_perform(pCurl) != CURLE_OK || strBody.size() != nExpected)
            bOk = false;
        nBytes += strBody.size();
    };
    for (int i = 0; i < nWarmUp; ++i)
        Fetch();
    nBytes = 0;
    const double dCpu0 = CpuMicros();
    const auto t0 = Clock::now();
    for (int i = 0; i < nRequests; ++i)
        Fetch();
    curl_easy_cleanup(pCurl);
    return Finish(t0, dCpu0, nRequests, nBytes, bOk);
}

struct CSummary
{
    double dMedian = 0, dLow = 0, dHigh = 0;  // Requests per second over the runs.
    double dMegabytes = 0;                     // MB/s of the median run's rate.
    double dCpu = 0;                           // Median CPU microseconds per request.
};

CSummary Summarise(std::vector<CFigures> aRuns, std::size_t nSize)
{
    CSummary summary;
    if (aRuns.empty())
        return summary;
    std::vector<double> aRates, aCpu;
    for (const CFigures& f : aRuns) {
        aRates.push_back(f.dRequestsPerSecond);
        aCpu.push_back(f.dCpuMicrosPerRequest);
    }
    std::sort(aRates.begin(), aRates.end());
    std::sort(aCpu.begin(), aCpu.end());
    auto Median = [](const std::vector<double>& a) {
        const std::size_t n = a.size();
        return n % 2 ? a[n / 2] : (a[n / 2 - 1] + a[n / 2]) / 2;
    };
    summary.dMedian = Median(aRates);
    summary.dLow = aRates.front();
    summary.dHigh = aRates.back();
    summary.dMegabytes = summary.dMedian * static_cast<double>(nSize) / 1e6;
    summary.dCpu = Median(aCpu);
    return summary;
}

} // namespace

bool MakeCertificates(const std::string& strDir)
{
    const std::string strEc = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string strCd = "cd " + strDir + " && ";
    const std::string aCommands[] = {
        strCd + "openssl req -x509" + strEc + " -keyout ca.key -out ca.crt -days 2 -subj /CN=BenchCA",
        strCd + "openssl req -new" + strEc + " -keyout srv.key -out srv.csr -subj /CN=localhost",
        strCd + "printf 'subjectAltName=IP:127.0.0.1\\n' > srv.ext && openssl x509 -req -in srv.csr -CA ca.crt"
                " -CAkey ca.key -CAcreateserial -days 2 -extfile srv.ext -out srv.crt",
    };
    for (const std::string& strCommand : aCommands) {
        if (std::system((strCommand + " >/dev/null 2>&1").c_str()) != 0)
            return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const std::string strFilter = argc > 2 ? argv[2] : "";
    const std::string strOnly = argc > 3 ? argv[3] : "";
    const double dScale = argc > 4 ? std::max(0.01, std::atof(argv[4])) : 1.0;
    const std::string strSmall = MakeFile(20 * 1024);
    const std::string strLarge = MakeFile(2 * 1024 * 1024);
    CNginxServer nginx;
    for (const char* pszDir : { "", "chunked/", "close/" }) {
        nginx.WriteFile(std::string(pszDir) + "20k.txt", strSmall);
        nginx.WriteFile(std::string(pszDir) + "2m.txt", strLarge);
    }
    CTempDir certificates;
    if (!MakeCertificates(certificates.GetPath())) {
        std::fprintf(stderr, "http_bench: the openssl command could not make certificates\n");
        return 1;
    }
    g_strCaFile = certificates.GetPath() + "/ca.crt";
    setenv("QUARVEX_CA_FILE", g_strCaFile.c_str(), 1);
    const int nTlsPort = FindFreePort();
    const std::string strTlsServer = "server { listen 127.0.0.1:" + std::to_string(nTlsPort) + " ssl;"
        " ssl_certificate " + certificates.GetPath() + "/srv.crt;"
        " ssl_certificate_key " + certificates.GetPath() + "/srv.key;"
        " root " + nginx.GetPrefix() + "/html; }\n";
    if (!nginx.Start("location /chunked/ { ssi on; ssi_types *; }\n"
                     "location /close/ { ssi on; ssi_types *; chunked_transfer_encoding off; }\n",
                     strTlsServer)) {
        std::fprintf(stderr, "http_bench: %s\n", nginx.GetError().c_str());
        return 1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    const std::string strTls = "https://127.0.0.1:" + std::to_string(nTlsPort);
    // Requests per run and untimed warm-up requests, the same for both.
    struct { const char* pszName; std::string strUrl; std::size_t nSize; int nRequests; int nWarmUp; } cases[] = {
        { "20 KB, Content-Length", nginx.GetUrl("/20k.txt"),         strSmall.size(), 2000, 50 },
        { "20 KB, chunked",        nginx.GetUrl("/chunked/20k.txt"), strSmall.size(), 2000, 50 },
        { "20 KB, close",          nginx.GetUrl("/close/20k.txt"),   strSmall.size(), 1000, 20 },
        { "2 MB, Content-Length",  nginx.GetUrl("/2m.txt"),          strLarge.size(), 100,  3 },
        { "2 MB, chunked",         nginx.GetUrl("/chunked/2m.txt"),  strLarge.size(), 100,  3 },
        { "2 MB, close",           nginx.GetUrl("/close/2m.txt"),    strLarge.size(), 100,  3 },
        { "20 KB, TLS",            strTls + "/20k.txt",              strSmall.size(), 1000, 20 },
        { "2 MB, TLS",             strTls + "/2m.txt",               strLarge.size(), 50,   2 },
    };
    std::printf("%d runs per client; requests per second: median [lowest - highest]\n", nRuns);
    std::printf("%-22s %24s %7s %7s %24s %7s %7s %6s\n", "case", "quarvex r/s", "MB/s", "cpu us",
                "libcurl r/s", "MB/s", "cpu us", "x");
    bool bAllOk = true;
    for (const auto& c : cases) {
        if (std::string(c.pszName).find(strFilter) == std::string::npos)
            continue;
        const int nRequests = std::max(1, static_cast<int>(c.nRequests * dScale));
        std::vector<CFigures> aOurs, aTheirs;
        for (int nRun = 0; nRun < nRuns; ++nRun) {
            // Each run changes who goes first: A B B A A B ...
            for (int nTurn = 0; nTurn < 2; ++nTurn) {
                const bool bOurs = (nTurn == 0) == (nRun % 2 == 0);
                if (bOurs && strOnly != "libcurl")
                    aOurs.push_back(RunSession(c.strUrl, c.nSize, c.nWarmUp, nRequests));
                else if (!bOurs && strOnly != "quarvex")
                    aTheirs.push_back(RunCurl(c.strUrl, c.nSize, c.nWarmUp, nRequests));
            }
        }
        bool bOk = true;
        for (const CFigures& f : aOurs)
            bOk = bOk && f.bOk;
        for (const CFigures& f : aTheirs)
            bOk = bOk && f.bOk;
        bAllOk = bAllOk && bOk;
        const CSummary ours = Summarise(aOurs, c.nSize);
        const CSummary theirs = Summarise(aTheirs, c.nSize);
        char szOurs[64], szTheirs[64];
        std::snprintf(szOurs, sizeof szOurs, "%.0f [%.0f - %.0f]", ours.dMedian, ours.dLow, ours.dHigh);
        std::snprintf(szTheirs, sizeof szTheirs, "%.0f [%.0f - %.0f]", theirs.dMedian, theirs.dLow, theirs.dHigh);
        std::printf("%-22s %24s %7.1f %7.1f %24s %7.1f %7.1f %6.2f%s\n", c.pszName, szOurs, ours.dMegabytes,
                    ours.dCpu, szTheirs, theirs.dMegabytes, theirs.dCpu,
                    theirs.dMedian > 0 ? ours.dMedian / theirs.dMedian : 0.0, bOk ? "" : "  (a fetch failed)");
        std::fflush(stdout);
    }
    curl_global_cleanup();
    return bAllOk ? 0 : 1;
}
