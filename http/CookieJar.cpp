// CookieJar.cpp - RFC 6265 storage and retrieval.
#include "CookieJar.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <strings.h>

namespace {

const char s_szSuffixFile[] = "/usr/share/publicsuffix/public_suffix_list.dat";

std::string_view Trim(std::string_view str)
{
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t'))
        str.remove_prefix(1);
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t'))
        str.remove_suffix(1);
    return str;
}

bool EqualsNoCase(std::string_view a, const char* psz)
{
    const std::size_t n = std::char_traits<char>::length(psz);
    return a.size() == n && strncasecmp(a.data(), psz, n) == 0;
}

// Bytes that must never reach a Cookie header line.
bool HasControl(std::string_view str)
{
    for (char c : str) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return true;
    }
    return false;
}

bool IsIpAddress(std::string_view strHost)
{
    if (!strHost.empty() && strHost.front() == '[')
        return true;
    in_addr addr{};
    return inet_pton(AF_INET, std::string(strHost).c_str(), &addr) == 1;
}

bool DomainMatch(std::string_view strHost, std::string_view strDomain)
{
    if (strHost == strDomain)
        return true;
    return strHost.size() > strDomain.size() && strHost.ends_with(strDomain)
        && strHost[strHost.size() - strDomain.size() - 1] == '.' && !IsIpAddress(strHost);
}

bool PathMatch(std::string_view strRequest, std::string_view strCookie)
{
    if (strRequest == strCookie)
        return true;
    return strRequest.starts_with(strCookie)
        && (strCookie.back() == '/' || strRequest[strCookie.size()] == '/');
}

std::string_view RequestPath(std::string_view strPath)
{
    strPath = strPath.substr(0, strPath.find_first_of("?#"));
    return strPath.empty() ? std::string_view("/") : strPath;
}

std::string DefaultPath(std::string_view strPath)
{
    strPath = RequestPath(strPath);
    if (strPath.front() != '/')
        return "/";
    const std::size_t nSlash = strPath.rfind('/');
    if (nSlash == 0)
        return "/";
    return std::string(strPath.substr(0, nSlash));
}

bool IsDelimiter(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) || (u >= 0x5B && u <= 0x60)
        || (u >= 0x7B && u <= 0x7E);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading 1..nMax digits of a token followed by nothing or a non-digit.
bool ReadDigits(std::string_view strToken, std::size_t nMin, std::size_t nMax, int& nValue, std::size_t& nUsed)
{
    nUsed = 0;
    nValue = 0;
    while (nUsed < strToken.size() && IsDigit(strToken[nUsed])) {
        if (++nUsed > nMax)
            return false;
        nValue = nValue * 10 + (strToken[nUsed - 1] - '0');
    }
    return nUsed >= nMin;
}

} // namespace

std::int64_t ParseCookieDate(std::string_view strDate)
{
    bool bTime = false, bDay = false, bMonth = false, bYear = false;
    int nHour = 0, nMinute = 0, nSecond = 0, nDay = 0, nMonth = 0, nYear = 0;
    std::size_t nPos = 0;
    while (nPos < strDate.size()) {
        while (nPos < strDate.size() && IsDelimiter(strDate[nPos]))
            ++nPos;
        const std::size_t nStart = nPos;
        while (nPos < strDate.size() && !IsDelimiter(strDate[nPos]))
            ++nPos;
        const std::string_view strToken = strDate.substr(nStart, nPos - nStart);
        if (strToken.empty())
            continue;
        std::size_t nUsed = 0;
        int nValue = 0;
        if (!bTime) {
            // hms-time: 1*2DIGIT ":" 1*2DIGIT ":" 1*2DIGIT
            int h = 0, m = 0, s = 0;
            std::size_t n1 = 0, n2 = 0, n3 = 0;
            if (ReadDigits(strToken, 1, 2, h, n1) && n1 < strToken.size() && strToken[n1] == ':'
                && ReadDigits(strToken.substr(n1 + 1), 1, 2, m, n2) && n1 + 1 + n2 < strToken.size()
                && strToken[n1 + 1 + n2] == ':' && ReadDigits(strToken.substr(n1 + n2 + 2), 1, 2, s, n3)) {
                bTime = true;
                nHour = h;
                nMinute = m;
                nSecond = s;
                continue;
            }
        }
        if (!bDay && ReadDigits(strToken, 1, 2, nValue, nUsed)) {
            bDay = true;
            nDay = nValue;
            continue;
        }
        if (!bMonth && strToken.size() >= 3) {
            static const char* const s_aMonths[] = { "jan", "feb", "mar", "apr", "may", "jun",
                                                     "jul", "aug", "sep", "oct", "nov", "dec" };
            for (int i = 0; i < 12; ++i) {
                if (strncasecmp(strToken.data(), s_aMonths[i], 3) == 0) {
                    bMonth = true;
                    nMonth = i + 1;
                    break;
                }
            }
            if (bMonth)
                continue;
        }
        if (!bYear && ReadDigits(strToken, 2, 4, nValue, nUsed)) {
            bYear = true;
            nYear = nValue;
            continue;
        }
    }
    if (nYear >= 70 && nYear <= 99)
        nYear += 1900;
    else if (nYear >= 0 && nYear <= 69 && bYear)
        nYear += 2000;
    if (!bTime || !bDay || !bMonth || !bYear || nDay < 1 || nDay > 31 || nYear < 1601 || nHour > 23
        || nMinute > 59 || nSecond > 59)
        return -1;
    std::tm tm{};
    tm.tm_year = nYear - 1900;
    tm.tm_mon = nMonth - 1;
    tm.tm_mday = nDay;
    tm.tm_hour = nHour;
    tm.tm_min = nMinute;
    tm.tm_sec = nSecond;
    return static_cast<std::int64_t>(timegm(&tm));
}

const CPublicSuffixList& CPublicSuffixList::System()
{
    static const CPublicSuffixList s_list = [] {
        CPublicSuffixList list;
        std::ifstream file(s_szSuffixFile, std::ios::binary);
        if (file) {
            std::stringstream text;
            text << file.rdbuf();
            list.LoadText(text.str());
        }
        return list;
    }();
    return s_list;
}

void CPublicSuffixList::LoadText(std::string_view strText)
{
    std::size_t nPos = 0;
    while (nPos < strText.size()) {
        std::size_t nEnd = strText.find('\n', nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strText.size();
        std::string_view strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        strLine = strLine.substr(0, strLine.find_first_of(" \t\r"));
        if (strLine.empty() || strLine.starts_with("//"))
            continue;
        m_aRules.insert(quarvex::LowerAscii(strLine));
    }
}

bool CPublicSuffixList::IsPublicSuffix(std::string_view strDomain) const
{
    if (strDomain.empty())
        return true;
    const std::string strName(strDomain);
    std::string strRule = "!";
    strRule.append(strName);
    if (m_aRules.count(strRule) != 0)
        return false;
    if (m_aRules.count(strName) != 0)
        return true;
    const std::size_t nDot = strName.find('.');
    // The implicit rule "*": every top-level label is a public suffix.
    if (nDot == std::string::npos)
        return true;
    std::string strWildcard(1, '*');
    strWildcard.append(strName, nDot, std::string::npos);
    return m_aRules.count(strWildcard) != 0;
}

bool CCookieJar::SetCookie(std::string_view strSetCookie, std::string_view strHostIn, std::string_view strPath,
                           bool bSecure, std::int64_t nNow, int nPort)
{
    if (strSetCookie.size() > s_nMaxCookieBytes || HasControl(strSetCookie))
        return false;
    const std::string strHost = quarvex::LowerAscii(strHostIn);
    std::string_view strPair = strSetCookie.substr(0, strSetCookie.find(';'));
    const std::size_t nEq = strPair.find('=');
    if (nEq == std::string_view::npos)
        return false;
    SCookie cookie;
    cookie.strName = std::string(Trim(strPair.substr(0, nEq)));
    cookie.strValue = std::string(Trim(strPair.substr(nEq + 1)));
    if (cookie.strName.empty())
        return false;

    bool bMaxAge = false;
    std::int64_t nMaxAgeExpiry = 0, nExpires = -1;
    std::string strDomainAttr;
    bool bPathSet = false;
    std::size_t nPos = strSetCookie.find(';');
    while (nPos != std::string_view::npos) {
        std::string_view strAttr = strSetCookie.substr(nPos + 1);
        nPos = strSetCookie.find(';', nPos + 1);
        strAttr = strAttr.substr(0, strAttr.find(';'));
        const std::size_t nAttrEq = strAttr.find('=');
        const std::string_view strKey = Trim(strAttr.substr(0, nAttrEq));
        const std::string_view strValue = nAttrEq == std::string_view::npos ? std::string_view()
                                                                            : Trim(strAttr.substr(nAttrEq + 1));
        if (EqualsNoCase(strKey, "expires")) {
            const std::int64_t n = ParseCookieDate(strValue);
            if (n >= 0)
                nExpires = n;
        } else if (EqualsNoCase(strKey, "max-age")) {
            std::string_view str = strValue;
            const bool bNegative = !str.empty() && str.front() == '-';
            if (bNegative)
                str.remove_prefix(1);
            if (str.empty() || !std::all_of(str.begin(), str.end(), IsDigit))
                continue;
            std::int64_t nSeconds = 0;
            for (char c : str)
                nSeconds = nSeconds > 1'000'000'000'000 ? nSeconds : nSeconds * 10 + (c - '0');
            bMaxAge = true;
            nMaxAgeExpiry = bNegative || nSeconds == 0 ? 0 : nNow + nSeconds;
        } else if (EqualsNoCase(strKey, "domain")) {
            std::string_view str = strValue;
            if (!str.empty() && str.front() == '.')
                str.remove_prefix(1);
            if (!str.empty())
                strDomainAttr = quarvex::LowerAscii(str);
        } else if (EqualsNoCase(strKey, "path")) {
            if (!strValue.empty() && strValue.front() == '/') {
                cookie.strPath = std::string(strValue);
                bPathSet = true;
            }
        } else if (EqualsNoCase(strKey, "secure")) {
            cookie.bSecure = true;
        } else if (EqualsNoCase(strKey, "httponly")) {
            cookie.bHttpOnly = true;
        }
    }
    cookie.nExpires = bMaxAge ? nMaxAgeExpiry : nExpires;

    if (!strDomainAttr.empty() && m_pSuffixes->IsPublicSuffix(strDomainAttr)) {
        if (strDomainAttr != strHost)
            return false;
        strDomainAttr.clear();
    }
    if (!strDomainAttr.empty()) {
        if (!DomainMatch(strHost, strDomainAttr))
            return false;
        cookie.bHostOnly = false;
        cookie.strDomain = strDomainAttr;
    } else {
        cookie.bHostOnly = true;
        cookie.strDomain = strHost;
    }
    if (!bPathSet)
        cookie.strPath = DefaultPath(strPath);
    // A secure cookie set over a plain connection could be read by anyone on
    // the way; current browsers refuse it.
    if (cookie.bSecure && !bSecure)
        return false;
    cookie.nCreated = nNow;
    cookie.nPort = nPort;
    cookie.bFromSecure = bSecure;
    Store(std::move(cookie), nNow);
    return true;
}

void CCookieJar::Store(SCookie cookie, std::int64_t nNow)
{
    RemoveExpired(nNow);
    auto it = std::find_if(m_aCookies.begin(), m_aCookies.end(), [&](const SCookie& old) {
        return old.strName == cookie.strName && old.strDomain == cookie.strDomain && old.strPath == cookie.strPath;
    });
    const bool bExpired = cookie.nExpires >= 0 && cookie.nExpires <= nNow;
    if (it != m_aCookies.end()) {
        if (bExpired) {
            m_aCookies.erase(it);
            return;
        }
        cookie.nCreated = it->nCreated;
        cookie.nOrder = it->nOrder;
        *it = std::move(cookie);
        return;
    }
    if (bExpired)
        return;
    cookie.nOrder = m_nNextOrder++;
    // Full: the oldest cookie of the domain, or of the jar, makes room.
    const auto nSameDomain = std::count_if(m_aCookies.begin(), m_aCookies.end(),
                                           [&](const SCookie& c) { return c.strDomain == cookie.strDomain; });
    if (static_cast<std::size_t>(nSameDomain) >= s_nMaxPerDomain) {
        m_aCookies.erase(std::find_if(m_aCookies.begin(), m_aCookies.end(),
                                      [&](const SCookie& c) { return c.strDomain == cookie.strDomain; }));
    } else if (m_aCookies.size() >= s_nMaxCookies) {
        m_aCookies.erase(m_aCookies.begin());
    }
    m_aCookies.push_back(std::move(cookie));
}

void CCookieJar::RemoveExpired(std::int64_t nNow)
{
    std::erase_if(m_aCookies, [nNow](const SCookie& c) { return c.nExpires >= 0 && c.nExpires <= nNow; });
}

std::string CCookieJar::GetCookieHeader(std::string_view strHostIn, std::string_view strPathIn, bool bSecure,
                                        std::int64_t nNow, int nPort) const
{
    const std::string strHost = quarvex::LowerAscii(strHostIn);
    const std::string_view strPath = RequestPath(strPathIn);
    std::vector<const SCookie*> aMatches;
    for (const SCookie& c : m_aCookies) {
        if (c.nExpires >= 0 && c.nExpires <= nNow)
            continue;
        if (c.bHostOnly ? strHost != c.strDomain : !DomainMatch(strHost, c.strDomain))
            continue;
        if (!PathMatch(strPath, c.strPath) || (c.bSecure && !bSecure))
            continue;
        if (c.nPort >= 0 && (c.nPort != nPort || c.bFromSecure != bSecure))
            continue;
        aMatches.push_back(&c);
    }
    std::stable_sort(aMatches.begin(), aMatches.end(), [](const SCookie* a, const SCookie* b) {
        if (a->strPath.size() != b->strPath.size())
            return a->strPath.size() > b->strPath.size();
        return a->nOrder < b->nOrder;
    });
    std::string strOut;
    for (const SCookie* p : aMatches) {
        if (!strOut.empty())
            strOut.append("; ");
        strOut.append(p->strName).append("=").append(p->strValue);
    }
    return strOut;
}

std::string CCookieJar::Save() const
{
    std::string strOut = "# Netscape HTTP Cookie File\n";
    for (const SCookie& c : m_aCookies) {
        if (c.bHttpOnly)
            strOut.append("#HttpOnly_");
        strOut.append(c.bHostOnly ? "" : ".").append(c.strDomain).append("\t");
        strOut.append(c.bHostOnly ? "FALSE" : "TRUE").append("\t");
        strOut.append(c.strPath).append("\t");
        strOut.append(c.bSecure ? "TRUE" : "FALSE").append("\t");
        strOut.append(std::to_string(c.nExpires < 0 ? 0 : c.nExpires)).append("\t");
        strOut.append(c.strName).append("\t").append(c.strValue).append("\n");
    }
    return strOut;
}

void CCookieJar::Load(std::string_view strText, std::int64_t nNow)
{
    std::size_t nPos = 0;
    while (nPos < strText.size()) {
        std::size_t nEnd = strText.find('\n', nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strText.size();
        std::string_view strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.remove_suffix(1);
        SCookie cookie;
        if (strLine.starts_with("#HttpOnly_")) {
            cookie.bHttpOnly = true;
            strLine.remove_prefix(10);
        } else if (strLine.empty() || strLine.front() == '#') {
            continue;
        }
        std::string_view aFields[7];
        std::size_t nField = 0, nStart = 0;
        for (; nField < 7; ++nField) {
            const std::size_t nTab = nField < 6 ? strLine.find('\t', nStart) : strLine.size();
            if (nTab == std::string_view::npos)
                break;
            aFields[nField] = strLine.substr(nStart, nTab - nStart);
            nStart = nTab + 1;
        }
        if (nField < 7 || aFields[0].empty() || aFields[5].empty() || HasControl(strLine)
            || strLine.size() > s_nMaxCookieBytes)
            continue;
        std::string_view strDomain = aFields[0];
        cookie.bHostOnly = !strDomain.starts_with('.');
        if (!cookie.bHostOnly)
            strDomain.remove_prefix(1);
        cookie.strDomain = quarvex::LowerAscii(strDomain);
        cookie.strPath = aFields[2].empty() ? "/" : std::string(aFields[2]);
        cookie.bSecure = aFields[3] == "TRUE";
        cookie.bFromSecure = cookie.bSecure;
        std::int64_t nExpires = 0;
        for (char c : aFields[4]) {
            if (!IsDigit(c) || nExpires > 1'000'000'000'000)
                break;
            nExpires = nExpires * 10 + (c - '0');
        }
        cookie.nExpires = nExpires == 0 ? -1 : nExpires;
        cookie.strName = std::string(aFields[5]);
        cookie.strValue = std::string(aFields[6]);
        cookie.nCreated = nNow;
        if (!cookie.bHostOnly && m_pSuffixes->IsPublicSuffix(cookie.strDomain))
            continue;
        Store(std::move(cookie), nNow);
    }
}
