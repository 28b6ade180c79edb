// CookieJar.h - the cookies of one task (RFC 6265, the parts a harvester
// needs): domain and path matching, expiry and Max-Age, Secure, deletion,
// and no cookie for a public suffix such as "com" or "com.cn" (Debian's
// publicsuffix list). Times are seconds since the epoch, passed in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct SCookie {
    std::string strName;
    std::string strValue;
    std::string strDomain;      // lower case, no leading '.'
    std::string strPath;
    std::int64_t nExpires = -1; // -1: ends with the jar (a session cookie)
    std::int64_t nCreated = 0;
    std::uint64_t nOrder = 0;   // tie-breaker for cookies created in the same second
    int nPort = -1;             // port and scheme of the site that set it (-1: any,
    bool bFromSecure = false;   // for cookies loaded from a file)
    bool bHostOnly = true;      // sent to strDomain itself only, not its subdomains
    bool bSecure = false;
    bool bHttpOnly = false;
};

// The public suffix rules; loaded once from the system's list.
class CPublicSuffixList {
public:
    // The list of the system, read on first use. When it cannot be read, only
    // single-label names ("com", "localhost") count as public suffixes.
    static const CPublicSuffixList& System();
    // Reads rules from the text of a public_suffix_list.dat.
    void LoadText(std::string_view strText);
    // Whether strDomain (lower case) is a public suffix, wildcard and
    // exception rules included.
    bool IsPublicSuffix(std::string_view strDomain) const;

private:
    std::unordered_set<std::string> m_aRules;  // "com.cn", "*.ck", "!www.ck"
};

class CCookieJar {
public:
    // Limits, so that no server can make the jar grow without bound.
    static constexpr std::size_t s_nMaxCookies = 3000;
    static constexpr std::size_t s_nMaxPerDomain = 50;
    static constexpr std::size_t s_nMaxCookieBytes = 4096;

    // Takes one Set-Cookie value received from strHost:nPort for the request
    // path strPath (its query, if any, is ignored) over a secure or plain
    // connection. Returns false when the cookie was refused.
    bool SetCookie(std::string_view strSetCookie, std::string_view strHost, std::string_view strPath,
                   bool bSecure, std::int64_t nNow, int nPort = -1);
    // The value of the Cookie header for a request; empty when no cookie
    // applies. Unlike a browser, a harvester never hands a cookie to another
    // port or scheme than the one that set it: behind one host name there
    // may well be sites of different owners.
    std::string GetCookieHeader(std::string_view strHost, std::string_view strPath, bool bSecure,
                                std::int64_t nNow, int nPort = -1) const;

    void Clear() { m_aCookies.clear(); }
    std::size_t GetCount() const { return m_aCookies.size(); }
    const std::vector<SCookie>& GetCookies() const { return m_aCookies; }

    // The jar in the Netscape cookies.txt form (the form curl and wget read),
    // and back. Load skips lines it cannot read and expired cookies.
    std::string Save() const;
    void Load(std::string_view strText, std::int64_t nNow);

private:
    void Store(SCookie cookie, std::int64_t nNow);
    void RemoveExpired(std::int64_t nNow);

    std::vector<SCookie> m_aCookies;
    std::uint64_t m_nNextOrder = 0;
    const CPublicSuffixList* m_pSuffixes = &CPublicSuffixList::System();

public:
    // For tests: another suffix list than the system's.
    void SetSuffixList(const CPublicSuffixList* pList) { m_pSuffixes = pList; }
};

// A cookie date (RFC 6265 section 5.1.1) as seconds since the epoch; -1
// when the text is no date.
std::int64_t ParseCookieDate(std::string_view strDate);
