// Url.cpp - URL splitting, host look-up, request texts and UrlEncode.
#include "Url.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

bool ParseUrl(std::string_view strUrl, std::string& strHost, std::string& strPath, int& nPort, bool* pbSecure)
{
    nPort = 80;
    strHost.clear();
    strPath.clear();

    // At most 15 characters of scheme: a 16th without a ':' ends the parse.
    std::size_t nPos = 0;
    while (nPos < strUrl.size() && strUrl[nPos] != ':') {
        if (++nPos >= 16)
            return false;
    }
    if (nPos >= strUrl.size())
        return false;
    const std::string_view strScheme = strUrl.substr(0, nPos);
    if (strUrl.substr(nPos + 1, 2) != "//")
        return false;
    const bool bSecure = pbSecure != nullptr && strScheme.size() == 5
        && strncasecmp(strScheme.data(), "https", 5) == 0;
    if (!bSecure && (strScheme.size() != 4 || strncasecmp(strScheme.data(), "http", 4) != 0))
        return false;
    if (pbSecure != nullptr)
        *pbSecure = bSecure;
    if (bSecure)
        nPort = 443;
    nPos += 3;

    const std::size_t nHostEnd = strUrl.find_first_of(":/", nPos);
    strHost.assign(strUrl.substr(nPos, nHostEnd == std::string_view::npos ? std::string_view::npos : nHostEnd - nPos));
    // The host goes into the Host header as it stands; a blank or a control
    // byte there could only break the request (or, with CR LF, add to it).
    for (const char c : strHost) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F)
            return false;
    }
    nPos = nHostEnd == std::string_view::npos ? strUrl.size() : nHostEnd;

    if (nPos < strUrl.size() && strUrl[nPos] == ':') {
        const std::size_t nSlash = strUrl.find('/', nPos + 1);
        if (nSlash == std::string_view::npos || nSlash - (nPos + 1) > 5)
            return false;
        // Leading digits only: "8x/" reads as 8, ":/" as 0. Five digits
        // cannot overflow.
        int nValue = 0;
        for (std::size_t i = nPos + 1; i < nSlash && strUrl[i] >= '0' && strUrl[i] <= '9'; ++i)
            nValue = nValue * 10 + (strUrl[i] - '0');
        nPort = nValue;
        nPos = nSlash;
    }

    strPath.assign(strUrl.substr(nPos));
    if (strPath.empty())
        strPath.push_back('/');
    return true;
}

std::uint32_t ResolveHost(const std::string& strHost)
{
    const in_addr_t nDotted = inet_addr(strHost.c_str());
    if (nDotted != INADDR_NONE)
        return nDotted;
    if (strHost.empty())
        return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(strHost.c_str(), nullptr, &hints, &pResult) != 0 || pResult == nullptr)
        return 0;
    std::uint32_t nAddress = 0;
    for (const addrinfo* p = pResult; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET) {
            nAddress = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(pResult);
    return nAddress;
}

std::string DefaultReferer(std::string_view strHost, std::string_view strPath)
{
    std::string strReferer(strHost);
    const std::size_t nSlash = strPath.rfind('/');
    if (nSlash != std::string_view::npos)
        AppendRequestTarget(strReferer, strPath.substr(0, nSlash + 1));
    return strReferer;
}

std::string HostHeaderValue(std::string_view strHost, int nPort, bool bSecure)
{
    std::string strValue(strHost);
    if (nPort != (bSecure ? 443 : 80))
        strValue.append(":").append(std::to_string(nPort));
    return strValue;
}

namespace {

const char s_szUserAgent[] = "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
const char s_szHex[] = "0123456789ABCDEF";

void AppendPercent(std::string& strOut, unsigned char c)
{
    strOut.push_back('%');
    strOut.push_back(s_szHex[c >> 4]);
    strOut.push_back(s_szHex[c & 15]);
}

} // namespace

void AppendRequestTarget(std::string& strOut, std::string_view strPath)
{
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < strPath.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strPath[i]);
        if (c >= 0x21 && c != 0x7F)
            continue;
        strOut.append(strPath.substr(nStart, i - nStart));
        AppendPercent(strOut, c);
        nStart = i + 1;
    }
    strOut.append(strPath.substr(nStart));
}

std::string ComposeGetRequest(std::string_view strHost, std::string_view strPath,
                              std::string_view strReferer, std::string_view strAuthorization,
                              bool bKeepAlive)
{
    std::string strRequest;
    strRequest.reserve(320 + strHost.size() + strPath.size() + strReferer.size() + strAuthorization.size());
    strRequest.append("GET ");
    AppendRequestTarget(strRequest, strPath);
    strRequest.append(" HTTP/1.1\r\n");
    strRequest.append("Host: ").append(strHost).append("\r\n");
    strRequest.append("Accept: */*\r\n");
    strRequest.append("Referer: ").append(strReferer).append("\r\n");
    strRequest.append(s_szUserAgent);
    strRequest.append("Pragma: no-cache\r\n");
    strRequest.append("Cache-Control: no-cache\r\n");
    if (bKeepAlive)
        strRequest.append("Connection: Keep-Alive\r\nProxy-Connection: Keep-Alive\r\n");
    else
        strRequest.append("Connection: close\r\n");
    if (!strAuthorization.empty())
        strRequest.append("Authorization: ").append(strAuthorization).append("\r\n");
    strRequest.append("\r\n");
    return strRequest;
}

std::string ComposePostRequest(std::string_view strHost, std::string_view strPath,
                               std::string_view strReferer, std::string_view strBody)
{
    std::string strRequest;
    strRequest.reserve(400 + strHost.size() + strPath.size() + strReferer.size() + strBody.size());
    strRequest.append("POST ");
    AppendRequestTarget(strRequest, strPath);
    strRequest.append(" HTTP/1.1\r\n");
    strRequest.append("Host: ").append(strHost).append("\r\n");
    strRequest.append("Accept: */*\r\n");
    strRequest.append("Accept-Language: zh-cn\r\n");
    strRequest.append("Referer: ").append(strReferer).append("\r\n");
    strRequest.append("Content-Type: application/x-www-form-urlencoded\r\n");
    strRequest.append(s_szUserAgent);
    strRequest.append("Pragma: no-cache\r\n");
    strRequest.append("Cache-Control: no-cache\r\n");
    // The POST asks for a persistent connection whatever the session says,
    // and names the two keep-alive lines in the other order than the GET.
    strRequest.append("Proxy-Connection: Keep-Alive\r\n");
    strRequest.append("Connection: Keep-Alive\r\n");
    strRequest.append("Content-Length:").append(std::to_string(strBody.size())).append("\r\n");
    strRequest.append("\r\n");
    strRequest.append(strBody);
    return strRequest;
}

std::string UrlEncode(const char* pszText)
{
    if (pszText == nullptr)
        return std::string();
    return UrlEncode(pszText, std::char_traits<char>::length(pszText));
}

std::string UrlEncode(const char* pText, std::size_t nLen)
{
    std::string strOut;
    strOut.reserve(nLen * 3);
    for (std::size_t i = 0; i < nLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(pText[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            strOut.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            strOut.push_back('+');
        } else {
            // A tab or a line end read back as '+' would be a blank: a
            // password holding one could never match.
            AppendPercent(strOut, c);
        }
    }
    return strOut;
}

std::string BasicAuthorization(std::string_view strIn)
{
    static const char s_szAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strOut = "Basic ";
    strOut.reserve(6 + (strIn.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < strIn.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(strIn[i]) << 16) |
                           (static_cast<unsigned char>(strIn[i + 1]) << 8) |
                           static_cast<unsigned char>(strIn[i + 2]);
        strOut += s_szAlphabet[(n >> 18) & 63];
        strOut += s_szAlphabet[(n >> 12) & 63];
        strOut += s_szAlphabet[(n >> 6) & 63];
        strOut += s_szAlphabet[n & 63];
    }
    if (i < strIn.size()) {
        unsigned n = static_cast<unsigned char>(strIn[i]) << 16;
        const bool bTwo = i + 1 < strIn.size();
        if (bTwo)
            n |= static_cast<unsigned char>(strIn[i + 1]) << 8;
        strOut += s_szAlphabet[(n >> 18) & 63];
        strOut += s_szAlphabet[(n >> 12) & 63];
        strOut += bTwo ? s_szAlphabet[(n >> 6) & 63] : '=';
        strOut += '=';
    }
    return strOut;
}
