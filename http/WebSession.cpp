// WebSession.cpp - redirects, cookies, content decoding and conditional
// requests over CHttpPostSession.
#include "WebSession.h"
#include "platform/AsciiText.h"

#include "http/ContentCoding.h"
#include "http/CookieJar.h"
#include "http/Url.h"
#include "http/UrlResolve.h"

#include <ctime>
#include <strings.h>

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Calls fn(value) for every header line named strName of the last response
// in strHeader (the final one after any interim 1xx responses).
template <class F>
void ForEachHeader(std::string_view strHeader, std::string_view strName, F fn)
{
    // Interim responses come first; the last status line starts the final one.
    std::size_t nStart = 0;
    for (std::size_t nPos = 0; nPos < strHeader.size();) {
        if (strHeader.substr(nPos, 5) == "HTTP/")
            nStart = nPos;
        const std::size_t nEnd = strHeader.find('\n', nPos);
        if (nEnd == std::string_view::npos)
            break;
        nPos = nEnd + 1;
    }
    std::size_t nLine = nStart;
    while (nLine < strHeader.size()) {
        std::size_t nEnd = strHeader.find('\n', nLine);
        if (nEnd == std::string_view::npos)
            nEnd = strHeader.size();
        std::string_view strLine = strHeader.substr(nLine, nEnd - nLine);
        nLine = nEnd + 1;
        if (strLine.size() <= strName.size() || strLine[strName.size()] != ':'
            || !EqualsNoCase(strLine.substr(0, strName.size()), strName))
            continue;
        strLine.remove_prefix(strName.size() + 1);
        while (!strLine.empty() && (strLine.front() == ' ' || strLine.front() == '\t'))
            strLine.remove_prefix(1);
        while (!strLine.empty() && (strLine.back() == '\r' || strLine.back() == ' ' || strLine.back() == '\t'))
            strLine.remove_suffix(1);
        fn(strLine);
    }
}

bool IsRedirect(int nStatus)
{
    return nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 307 || nStatus == 308;
}

// The header block ends at the first empty line; lines go in before it, and
// before a POST's closing Content-Length line, which stays last.
void InsertHeaderLine(std::string& strRequest, std::string_view strLine)
{
    const std::size_t nEnd = strRequest.find("\r\n\r\n");
    if (nEnd == std::string::npos)
        return;
    std::size_t nAt = nEnd + 2;
    const std::size_t nLast = strRequest.rfind("\r\n", nEnd - 1);
    if (nLast != std::string::npos && strRequest.compare(nLast + 2, 15, "Content-Length:") == 0)
        nAt = nLast + 2;
    strRequest.insert(nAt, std::string(strLine) + "\r\n");
}

void ReplaceHeaderLine(std::string& strRequest, std::string_view strName, std::string_view strLine)
{
    const std::size_t nEnd = strRequest.find("\r\n\r\n");
    std::size_t nPos = strRequest.find("\r\n");
    while (nPos != std::string::npos && nPos < nEnd) {
        const std::size_t nLine = nPos + 2;
        if (strRequest.size() > nLine + strName.size() && strRequest[nLine + strName.size()] == ':'
            && EqualsNoCase(std::string_view(strRequest).substr(nLine, strName.size()), strName)) {
            const std::size_t nLineEnd = strRequest.find("\r\n", nLine);
            strRequest.replace(nLine, nLineEnd - nLine, strLine);
            return;
        }
        nPos = strRequest.find("\r\n", nLine);
    }
    InsertHeaderLine(strRequest, strLine);
}

} // namespace

std::string UrlOrigin(std::string_view strUrl)
{
    std::string strHost, strPath;
    int nPort = 0;
    bool bSecure = false;
    if (!ParseUrl(strUrl, strHost, strPath, nPort, &bSecure))
        return std::string();
    return std::string(bSecure ? "https://" : "http://") + quarvex::LowerAscii(strHost) + ":" + std::to_string(nPort);
}

bool IsSafeHeaderValue(std::string_view strValue)
{
    for (char c : strValue) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return false;
    }
    return true;
}

std::string CheckExtraHeader(std::string_view strName, std::string_view strValue)
{
    if (strName.empty())
        return "empty header name";
    for (char c : strName) {
        const bool bToken = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
        if (!bToken)
            return "invalid header name \"" + std::string(strName) + "\"";
    }
    for (const char* psz : { "Host", "Content-Length", "Transfer-Encoding", "Connection" }) {
        if (EqualsNoCase(strName, psz))
            return "the header " + std::string(psz) + " is set by the client itself";
    }
    if (!IsSafeHeaderValue(strValue))
        return "the value of " + std::string(strName) + " holds a line break or control character";
    return std::string();
}

CWebSession::~CWebSession()
{
    // ComposeRequest() reads this class's fields on the socket thread.
    Stop();
}

void CWebSession::Start(bool bPost, const std::string& strUrl, const char* pszReferer,
                        const std::string& strBody)
{
    if (!m_hDoneEvent.IsSet())
        return;
    m_aRedirects.clear();
    m_strFailure.clear();
    m_strPageBody.clear();
    m_strFinalUrl = std::string(StripFragment(strUrl));
    m_strFirstUrl = m_strFinalUrl;
    m_bPostNow = bPost;
    m_strBodyNow = strBody;
    m_bRefererGiven = pszReferer != nullptr;
    m_strRefererNow = pszReferer != nullptr ? pszReferer : "";
    m_strAuthSaved = m_strAuthorization;
    m_strAuthOrigin = UrlOrigin(m_strFinalUrl);
    StartHop(m_strFinalUrl);
}

void CWebSession::StartHop(const std::string& strUrl)
{
    // Basic credentials go only where they were given for.
    m_strAuthorization = UrlOrigin(strUrl) == m_strAuthOrigin ? m_strAuthSaved : std::string();
    const char* pszReferer = m_bRefererGiven ? m_strRefererNow.c_str() : nullptr;
    if (m_bPostNow)
        Post(strUrl.c_str(), pszReferer, m_strBodyNow.c_str());
    else
        Get(strUrl.c_str(), pszReferer);
}

void CWebSession::ComposeRequest()
{
    CHttpPostSession::ComposeRequest();
    if (m_bCompressed)
        InsertHeaderLine(m_strRequest, "Accept-Encoding: gzip, deflate");
    if (!m_strIfNoneMatch.empty() && IsSafeHeaderValue(m_strIfNoneMatch))
        InsertHeaderLine(m_strRequest, "If-None-Match: " + m_strIfNoneMatch);
    if (!m_strIfModifiedSince.empty() && IsSafeHeaderValue(m_strIfModifiedSince))
        InsertHeaderLine(m_strRequest, "If-Modified-Since: " + m_strIfModifiedSince);
    if (m_pOptions == nullptr)
        return;
    if (!m_pOptions->strUserAgent.empty() && IsSafeHeaderValue(m_pOptions->strUserAgent))
        ReplaceHeaderLine(m_strRequest, "User-Agent", "User-Agent: " + m_pOptions->strUserAgent);
    for (const auto& [strName, strValue] : m_pOptions->aHeaders) {
        if (CheckExtraHeader(strName, strValue).empty())
            ReplaceHeaderLine(m_strRequest, strName, strName + ": " + strValue);
    }
    if (m_pOptions->pCookies != nullptr) {
        const std::string strCookies =
            m_pOptions->pCookies->GetCookieHeader(m_strHost, m_strPath, m_bSecure, std::time(nullptr), m_nPort);
        if (!strCookies.empty())
            ReplaceHeaderLine(m_strRequest, "Cookie", "Cookie: " + strCookies);
    }
}

void CWebSession::OnHeaders()
{
    const int nStatus = GetStatus();
    if (nStatus == 204 || nStatus == 304) {
        m_nContentLength = 0;
        m_bChunked = false;
    }
}

int CWebSession::GetStatus() const
{
    int nStatus = 0;
    // The last status line counts; "HTTP/1.1 200 OK" has its code at 9.
    for (std::size_t nPos = 0; nPos < m_strHeader.size();) {
        if (m_strHeader.compare(nPos, 5, "HTTP/") == 0) {
            const std::size_t nSpace = m_strHeader.find(' ', nPos);
            if (nSpace != std::string::npos && nSpace + 3 < m_strHeader.size()) {
                nStatus = 0;
                for (std::size_t i = nSpace + 1; i < nSpace + 4; ++i) {
                    const char c = m_strHeader[i];
                    nStatus = c >= '0' && c <= '9' ? nStatus * 10 + (c - '0') : 0;
                    if (nStatus == 0)
                        break;
                }
            }
        }
        const std::size_t nEnd = m_strHeader.find('\n', nPos);
        if (nEnd == std::string::npos)
            break;
        nPos = nEnd + 1;
    }
    return nStatus;
}

std::string CWebSession::GetHeaderValue(std::string_view strName) const
{
    std::string strOut;
    bool bFound = false;
    ForEachHeader(m_strHeader, strName, [&](std::string_view strValue) {
        if (!bFound)
            strOut.assign(strValue);
        bFound = true;
    });
    return strOut;
}

void CWebSession::StoreCookies()
{
    if (m_pOptions == nullptr || m_pOptions->pCookies == nullptr)
        return;
    const std::int64_t nNow = std::time(nullptr);
    ForEachHeader(m_strHeader, "Set-Cookie", [&](std::string_view strValue) {
        m_pOptions->pCookies->SetCookie(strValue, m_strHost, m_strPath, m_bSecure, nNow, m_nPort);
    });
}

CWebSession::EStep CWebSession::TakeResponse()
{
    const int nStatus = GetStatus();
    if (!m_strHeader.empty())
        StoreCookies();
    if (m_bFollowRedirects && IsRedirect(nStatus) && m_nError == HTTP_OK) {
        const std::string strLocation = GetHeaderValue("Location");
        if (!strLocation.empty()) {
            if (!IsSafeHeaderValue(strLocation)) {
                m_strAuthorization = m_strAuthSaved;
                m_nError = HTTP_ERR_INVALID_URL;
                m_strFailure = "重定向的目标地址含有控制字符：" + m_strFinalUrl;
                return STEP_FAILED;
            }
            const std::string strNext(StripFragment(ResolveUrl(m_strFinalUrl, strLocation)));
            if (static_cast<int>(m_aRedirects.size()) >= s_nMaxRedirects) {
                m_strAuthorization = m_strAuthSaved;
                m_nError = HTTP_ERR_SOCKET;
                m_strFailure = "连续重定向超过" + std::to_string(s_nMaxRedirects) + "次，疑为循环：" + m_strFirstUrl;
                for (const std::string& str : m_aRedirects)
                    m_strFailure.append(" -> ").append(str);
                m_strFailure.append(" -> ").append(strNext);
                return STEP_FAILED;
            }
            m_aRedirects.push_back(strNext);
            // 303 always, and 301/302 after a POST as every browser does,
            // fetch the target with a GET; 307 and 308 repeat the request.
            if (nStatus == 303 || ((nStatus == 301 || nStatus == 302) && m_bPostNow)) {
                m_bPostNow = false;
                m_strBodyNow.clear();
            }
            m_strFinalUrl = strNext;
            StartHop(strNext);
            return STEP_REDIRECT;
        }
    }
    m_strAuthorization = m_strAuthSaved;
    if (nStatus == 304 && m_nError == HTTP_OK)
        return STEP_NOT_MODIFIED;
    // An error status still has a body worth decoding for whoever shows it.
    if (m_nError != HTTP_OK && m_nError != HTTP_ERR_STATUS)
        return STEP_FAILED;
    const EStep eWhole = m_nError == HTTP_OK ? STEP_DONE : STEP_FAILED;
    if (m_nError == HTTP_OK) {
        m_strETag = GetHeaderValue("ETag");
        m_strLastModified = GetHeaderValue("Last-Modified");
    }
    const std::string strCoding = GetHeaderValue("Content-Encoding");
    const EContentCoding eCoding = ParseContentCoding(strCoding);
    if (eCoding == CODING_IDENTITY) {
        m_strPageBody.assign(GetBody());
        return eWhole;
    }
    const EDecodeResult eResult = eCoding == CODING_UNKNOWN
        ? DECODE_CORRUPT : DecodeContent(eCoding, GetBody(), m_strPageBody, m_nBodyLimit, 1000);
    if (eResult == DECODE_OK)
        return eWhole;
    m_strPageBody.clear();
    m_nError = HTTP_ERR_SOCKET;
    // What the server sent cannot be safe text: strCoding is shown only
    // when it is short and printable.
    const std::string strShown = strCoding.size() <= 32 && IsSafeHeaderValue(strCoding) ? strCoding : "?";
    if (eResult == DECODE_TOO_LARGE)
        m_strFailure = "网页内容（" + strShown + "压缩）解开后超过大小上限";
    else if (eCoding == CODING_UNKNOWN)
        m_strFailure = "网页内容使用了无法解开的编码：" + strShown;
    else
        m_strFailure = "网页内容（" + strShown + "压缩）已损坏";
    return STEP_FAILED;
}

CWebSession::EStep CWebSession::Run(bool bPost, const std::string& strUrl, const char* pszReferer,
                                    const std::string& strBody)
{
    Start(bPost, strUrl, pszReferer, strBody);
    for (;;) {
        WaitForResponse();
        const EStep eStep = TakeResponse();
        if (eStep != STEP_REDIRECT)
            return eStep;
    }
}
