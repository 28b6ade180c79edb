// CmdFetch.cpp - quarvex-cli fetch: one HTTP exchange on the same session the
// tasks use, body bytes to standard output unchanged.
#include "Commands.h"

#include "html/PageCharset.h"
#include "http/CookieJar.h"
#include "http/ProxyConfig.h"
#include "http/Url.h"
#include "http/WebSession.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A whole decimal number from -1 up; false for anything else.
bool ReadTimeout(const char* pszText, int& nTimeout)
{
    char* pEnd = nullptr;
    errno = 0;
    const long nValue = std::strtol(pszText, &pEnd, 10);
    if (errno != 0 || pEnd == pszText || *pEnd != '\0' || nValue < -1 || nValue > INT_MAX)
        return false;
    nTimeout = static_cast<int>(nValue);
    return true;
}

void WriteAll(const char* pData, std::size_t nLen)
{
    if (nLen > 0)
        std::fwrite(pData, 1, nLen, stdout);
}

} // namespace

int RunFetchCommand(int argc, char** argv)
{
    const char* pszPost = nullptr;
    const char* pszReferer = nullptr;
    const char* pszAuth = nullptr;
    const char* pszUrl = nullptr;
    bool bFollow = false;
    bool bInclude = false;
    bool bPartial = false;
    bool bCompressed = true;
    const char* pszCharset = nullptr;
    const char* pszCookieJar = nullptr;
    SFetchOptions options;
    int nTimeout = 10000;
    for (int i = 0; i < argc; ++i) {
        const char* pszArg = argv[i];
        const bool bHasValue = i + 1 < argc;
        if (std::strcmp(pszArg, "--post") == 0 && bHasValue) {
            pszPost = argv[++i];
        } else if (std::strcmp(pszArg, "--referer") == 0 && bHasValue) {
            pszReferer = argv[++i];
        } else if (std::strcmp(pszArg, "--auth") == 0 && bHasValue) {
            pszAuth = argv[++i];
        } else if (std::strcmp(pszArg, "--timeout") == 0 && bHasValue) {
            if (!ReadTimeout(argv[++i], nTimeout)) {
                std::fprintf(stderr, "quarvex-cli fetch: --timeout wants milliseconds (-1: no limit), not '%s'\n", argv[i]);
                return PrintUsage();
            }
        } else if (std::strcmp(pszArg, "--follow") == 0) {
            bFollow = true;
        } else if (std::strcmp(pszArg, "--include") == 0) {
            bInclude = true;
        } else if (std::strcmp(pszArg, "--partial") == 0) {
            bPartial = true;
        } else if (std::strcmp(pszArg, "--compressed") == 0) {
            bCompressed = true;
        } else if (std::strcmp(pszArg, "--no-compressed") == 0) {
            bCompressed = false;
        } else if (std::strcmp(pszArg, "--charset") == 0 && bHasValue) {
            pszCharset = argv[++i];
            if (std::strcmp(pszCharset, "auto") != 0 && CanonicalCharset(pszCharset).empty()) {
                std::fprintf(stderr, "quarvex-cli fetch: unknown charset '%s'\n", pszCharset);
                return PrintUsage();
            }
        } else if (std::strcmp(pszArg, "--cookie-jar") == 0 && bHasValue) {
            pszCookieJar = argv[++i];
        } else if (std::strcmp(pszArg, "--header") == 0 && bHasValue) {
            const std::string strHeader = argv[++i];
            const std::size_t nColon = strHeader.find(':');
            std::string strName = strHeader.substr(0, nColon);
            std::string strValue = nColon == std::string::npos ? std::string() : strHeader.substr(nColon + 1);
            strValue.erase(0, strValue.find_first_not_of(" \t"));
            const std::string strWhy = nColon == std::string::npos ? "a header is written NAME: VALUE"
                                                                   : CheckExtraHeader(strName, strValue);
            if (!strWhy.empty()) {
                std::fprintf(stderr, "quarvex-cli fetch: --header '%s': %s\n", strHeader.c_str(), strWhy.c_str());
                return PrintUsage();
            }
            if (strName.size() == 10 && strncasecmp(strName.c_str(), "User-Agent", 10) == 0)
                options.strUserAgent = strValue;
            else
                options.aHeaders.emplace_back(std::move(strName), std::move(strValue));
        } else if (pszArg[0] == '-' && pszArg[1] != '\0') {
            std::fprintf(stderr, "quarvex-cli fetch: unknown or incomplete option '%s'\n", pszArg);
            return PrintUsage();
        } else if (pszUrl == nullptr) {
            pszUrl = pszArg;
        } else {
            std::fputs("quarvex-cli fetch: only one URL\n", stderr);
            return PrintUsage();
        }
    }
    if (pszUrl == nullptr) {
        std::fputs("quarvex-cli fetch: a URL is needed\n", stderr);
        return PrintUsage();
    }

    // The usual proxy variables say how the network is reached.
    {
        std::string strProxyError;
        if (!CProxySettings::Instance().LoadEnvironment(strProxyError))
            std::fprintf(stderr, "quarvex-cli: %s\n", strProxyError.c_str());
    }
    // The jar is read before and written back after the exchange, in the
    // cookies.txt form curl and wget share.
    CCookieJar jar;
    if (pszCookieJar != nullptr) {
        std::ifstream file(pszCookieJar, std::ios::binary);
        if (file) {
            std::ostringstream text;
            text << file.rdbuf();
            jar.Load(text.str(), std::time(nullptr));
        }
        options.pCookies = &jar;
    }

    CWebSession session;
    // --timeout bounds each wait and the whole exchange alike: a server that
    // drips a byte now and then is given no more than a silent one.
    session.m_nTimeout = nTimeout;
    session.m_nDeadline = nTimeout;
    session.m_pOptions = &options;
    session.m_bCompressed = bCompressed;
    session.m_bFollowRedirects = bFollow;
    if (pszAuth != nullptr)
        session.m_strAuthorization = BasicAuthorization(pszAuth);
    session.Run(pszPost != nullptr, pszUrl, pszReferer, pszPost != nullptr ? pszPost : "");
    if (!session.m_strFailure.empty())
        std::fprintf(stderr, "quarvex-cli fetch: %s\n", session.m_strFailure.c_str());

    if (pszCookieJar != nullptr) {
        std::ofstream file(pszCookieJar, std::ios::binary | std::ios::trunc);
        file << jar.Save();
        if (!file)
            std::fprintf(stderr, "quarvex-cli fetch: cannot write the cookie jar '%s'\n", pszCookieJar);
    }

    // An error status still has a whole body worth showing; what a failed
    // exchange left (a cut or endless body, up to the 1 GiB limit) is
    // written only when asked for.
    const bool bWhole = session.m_nError == HTTP_OK || session.m_nError == HTTP_ERR_STATUS;
    if (bInclude)
        WriteAll(session.m_strHeader.data(), session.m_strHeader.size());
    std::string_view strBody = session.GetPageBody();
    if (strBody.empty() && !bWhole)
        strBody = session.GetBody();  // what a failed exchange left, as it came
    std::string strConverted;
    if (pszCharset != nullptr && bWhole) {
        const SPageCharset charset = DetectCharset(std::strcmp(pszCharset, "auto") == 0 ? "" : pszCharset, strBody,
                                                   session.GetHeaderValue("Content-Type"));
        strConverted = ConvertToUtf8(strBody.substr(charset.nBomLen), charset.strName);
        strBody = strConverted;
    }
    if (bWhole || bInclude || bPartial)
        WriteAll(strBody.data(), strBody.size());
    std::fflush(stdout);
    if (session.m_nError == 0 && !strBody.empty())
        return 0;
    std::fprintf(stderr, "error %d: %s\n", session.m_nError, session.DescribeError().c_str());
    const int nCode = session.m_nError < 0 ? -session.m_nError : session.m_nError;
    return 100 + nCode;
}
