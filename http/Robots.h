// Robots.h - robots.txt as sites write it: the group for our product token
// (or for "*"), its Allow and Disallow rules with '*' and '$', the longest
// match deciding, and Crawl-delay. The rules of each host are kept for a day.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The product token our requests are matched under in robots.txt.
inline constexpr std::string_view ROBOTS_PRODUCT_TOKEN = "Quarvex";

class CRobotsRules
{
public:
    // Only the first MAX_BYTES of a file are read; rules after them are
    // ignored, as crawlers commonly do.
    enum { MAX_BYTES = 512 * 1024, MAX_RULES = 10000 };

    // Reads a robots.txt body. The groups naming strToken (any letter case)
    // apply; when there is none, those naming "*"; when neither, everything
    // is allowed.
    void Parse(std::string_view strText, std::string_view strToken = ROBOTS_PRODUCT_TOKEN);
    // The whole site allowed / forbidden (no file, or one we could not read).
    void AllowAll();
    void DisallowAll();

    // Whether a request target ("/path?query") may be fetched.
    bool IsAllowed(std::string_view strTarget) const;
    // Crawl-delay of the applying group, ms; 0 when none was given.
    int GetCrawlDelayMs() const { return m_nCrawlDelayMs; }
    // The rule that decided the last IsAllowed-style question (for logs).
    std::string FindDecidingRule(std::string_view strTarget) const;

private:
    struct SRule {
        bool bAllow = false;
        std::string strPattern;
    };
    const SRule* Decide(std::string_view strTarget) const;

    std::vector<SRule> m_aRules;
    int m_nCrawlDelayMs = 0;
    bool m_bDisallowAll = false;
};

// Whether strPattern (robots.txt syntax: '*' any run, a final '$' the end)
// matches the start of strTarget.
bool RobotsPatternMatches(std::string_view strPattern, std::string_view strTarget);

// The rules of each site ("scheme://host:port"), each fetched at most once a
// day. The fetch itself is the caller's: it is given the robots.txt address
// and answers with the status and body, or status 0 when nothing came back.
class CRobotsCache
{
public:
    enum { KEEP_SECONDS = 86400, KEEP_FAILED_SECONDS = 600, MAX_SITES = 4096 };

    struct SFetched {
        int nStatus = 0;        // 0: the exchange failed (no response)
        std::string strBody;
        bool bStopped = false;  // the fetch was stopped: nothing is kept
    };
    using FnFetch = std::function<SFetched(const std::string& strRobotsUrl)>;

    static CRobotsCache& Instance();

    // The rules for the site of strUrl; fetches robots.txt when the site's
    // rules are older than a day. False when strUrl is no http(s) address or
    // the fetch was stopped (rules then allow nothing).
    bool GetRules(std::string_view strUrl, const FnFetch& fnFetch, CRobotsRules& rules,
                  std::int64_t nNow);
    void Clear();

private:
    struct SEntry {
        CRobotsRules rules;
        std::int64_t nExpires = 0;
    };
    std::mutex m_mutex;
    std::map<std::string, SEntry> m_aSites;
    // One fetch per site at a time: others wait for it rather than fetch again.
    std::mutex m_fetchMutex;
};

// The robots.txt address of the site of strUrl, and the request target the
// rules are matched against; false when strUrl is no http(s) address.
bool RobotsLocation(std::string_view strUrl, std::string& strRobotsUrl, std::string& strTarget,
                    std::string& strSite);
