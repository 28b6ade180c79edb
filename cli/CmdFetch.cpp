// CmdFetch.cpp - quarvex-cli fetch: one HTTP exchange on the same session the
// tasks use, body bytes to standard output unchanged.
#include "Commands.h"

#include "http/HttpPostSession.h"
#include "http/Url.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

    CHttpPostSession session;
    // --timeout bounds each wait and the whole exchange alike: a server that
    // drips a byte now and then is given no more than a silent one.
    session.m_nTimeout = nTimeout;
    session.m_nDeadline = nTimeout;
    if (pszAuth != nullptr)
        session.m_strAuthorization = BasicAuthorization(pszAuth);
    if (pszPost != nullptr)
        session.Post(pszUrl, pszReferer, pszPost);
    else
        session.Get(pszUrl, pszReferer);
    session.WaitForResponse();
    if (bFollow && session.FollowRedirect())
        session.WaitForResponse();

    // An error status still has a whole body worth showing; what a failed
    // exchange left (a cut or endless body, up to the 1 GiB limit) is
    // written only when asked for.
    const bool bWhole = session.m_nError == HTTP_OK || session.m_nError == HTTP_ERR_STATUS;
    if (bInclude)
        WriteAll(session.m_strHeader.data(), session.m_strHeader.size());
    const std::string_view strBody = session.GetBody();
    if (bWhole || bInclude || bPartial)
        WriteAll(strBody.data(), strBody.size());
    std::fflush(stdout);
    if (session.m_nError == 0 && !strBody.empty())
        return 0;
    std::fprintf(stderr, "error %d: %s\n", session.m_nError, session.DescribeError().c_str());
    const int nCode = session.m_nError < 0 ? -session.m_nError : session.m_nError;
    return 100 + nCode;
}
