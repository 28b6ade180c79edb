// HttpBench.cpp - requests per second and MB/s of sequential GETs on one
// kept connection, our session beside libcurl, against a private nginx on
// 127.0.0.1. Bodies sized by Content-Length, chunked, and close-delimited
// (the last needs a new connection per request, for both clients), and the
// same over TLS with a throw-away CA made by the openssl command.
// Usage: http_bench [SECONDS_PER_CASE [CASE_TEXT [quarvex|libcurl]]]
// (1.5 s per case by default; CASE_TEXT picks cases whose name holds it, the
// last word runs one client only, for profiling).
#include "http/HttpPostSession.h"

#include "NginxServer.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

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

CFigures RunSession(const std::string& strUrl, std::size_t nExpected, double dSeconds)
{
    CHttpPostSession session;
    int nRequests = 0;
    std::size_t nBytes = 0;
    bool bOk = true;
    const double dCpu0 = CpuMicros();
    const auto t0 = Clock::now();
    do {
        session.Get(strUrl.c_str(), nullptr);
        session.WaitForResponse();
        if (session.m_nError != 0 || static_cast<std::size_t>(session.m_nBodyLen) != nExpected)
            bOk = false;
        nBytes += static_cast<std::size_t>(session.m_nBodyLen);
        ++nRequests;
    } while (bOk && std::chrono::duration<double>(Clock::now() - t0).count() < dSeconds);
    return Finish(t0, dCpu0, nRequests, nBytes, bOk);
}

std::size_t AppendBody(char* pData, std::size_t nSize, std::size_t nCount, void* pUser)
{
    static_cast<std::string*>(pUser)->append(pData, nSize * nCount);
    return nSize * nCount;
}

std::string g_strCaFile;  // Trusted by both clients for the TLS cases.

CFigures RunCurl(const std::string& strUrl, std::size_t nExpected, double dSeconds)
{
    CURL* pCurl = curl_easy_init();
    if (!g_strCaFile.empty())
        curl_easy_setopt(pCurl, CURLOPT_CAINFO, g_strCaFile.c_str());
    std::string strBody;
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strBody);
    curl_easy_setopt(pCurl, CURLOPT_TCP_NODELAY, 1L);
    int nRequests = 0;
    std::size_t nBytes = 0;
    bool bOk = true;
    const double dCpu0 = CpuMicros();
    const auto t0 = Clock::now();
    do {
        strBody.clear();
        if (curl_easy_perform(pCurl) != CURLE_OK || strBody.size() != nExpected)
            bOk = false;
        nBytes += strBody.size();
        ++nRequests;
    } while (bOk && std::chrono::duration<double>(Clock::now() - t0).count() < dSeconds);
    curl_easy_cleanup(pCurl);
    return Finish(t0, dCpu0, nRequests, nBytes, bOk);
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
    const double dSeconds = argc > 1 ? std::atof(argv[1]) : 1.5;
    const std::string strFilter = argc > 2 ? argv[2] : "";
    const std::string strOnly = argc > 3 ? argv[3] : "";
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
    struct { const char* pszName; std::string strUrl; std::size_t nSize; } cases[] = {
        { "20 KB, Content-Length", nginx.GetUrl("/20k.txt"),         strSmall.size() },
        { "20 KB, chunked",        nginx.GetUrl("/chunked/20k.txt"), strSmall.size() },
        { "20 KB, close",          nginx.GetUrl("/close/20k.txt"),   strSmall.size() },
        { "2 MB, Content-Length",  nginx.GetUrl("/2m.txt"),          strLarge.size() },
        { "2 MB, chunked",         nginx.GetUrl("/chunked/2m.txt"),  strLarge.size() },
        { "2 MB, close",           nginx.GetUrl("/close/2m.txt"),    strLarge.size() },
        { "20 KB, TLS",            strTls + "/20k.txt",              strSmall.size() },
        { "2 MB, TLS",             strTls + "/2m.txt",               strLarge.size() },
    };
    std::printf("%-22s %12s %8s %7s %12s %8s %7s %7s %7s\n", "case", "quarvex r/s", "MB/s", "cpu us",
                "libcurl r/s", "MB/s", "cpu us", "r/s x", "MB/s x");
    bool bAllOk = true;
    for (const auto& c : cases) {
        const std::string& strUrl = c.strUrl;
        if (std::string(c.pszName).find(strFilter) == std::string::npos)
            continue;
        // Two alternating rounds, best of each, so that a burst of other load
        // on the machine does not fall on one client only.
        CFigures ours, theirs;
        for (int nRound = 0; nRound < 2; ++nRound) {
            const CFigures a = strOnly != "libcurl" ? RunSession(strUrl, c.nSize, dSeconds / 2) : CFigures{ 1, 1, 0, true };
            const CFigures b = strOnly != "quarvex" ? RunCurl(strUrl, c.nSize, dSeconds / 2) : CFigures{ 1, 1, 0, true };
            if (a.dRequestsPerSecond > ours.dRequestsPerSecond)
                ours = a;
            if (b.dRequestsPerSecond > theirs.dRequestsPerSecond)
                theirs = b;
            bAllOk = bAllOk && a.bOk && b.bOk;
        }
        std::printf("%-22s %12.0f %8.1f %7.1f %12.0f %8.1f %7.1f %7.2f %7.2f%s\n", c.pszName, ours.dRequestsPerSecond,
                    ours.dMegabytesPerSecond, ours.dCpuMicrosPerRequest, theirs.dRequestsPerSecond,
                    theirs.dMegabytesPerSecond, theirs.dCpuMicrosPerRequest,
                    ours.dRequestsPerSecond / theirs.dRequestsPerSecond,
                    ours.dMegabytesPerSecond / theirs.dMegabytesPerSecond,
                    ours.bOk && theirs.bOk ? "" : "  (a fetch failed)");
    }
    curl_global_cleanup();
    return bAllOk ? 0 : 1;
}
