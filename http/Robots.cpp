// Robots.cpp - robots.txt parsing and the per-site daily cache.
#include "Robots.h"
#include "platform/AsciiText.h"

#include "http/Url.h"

#include <algorithm>
#include <cstdlib>

namespace {

// A site's Crawl-delay is taken up to this many seconds: beyond it a single
// page of a pass would wait longer than most periods.
constexpr double MAX_CRAWL_DELAY_S = 60.0;

std::string_view Trim(std::string_view str)
{
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t'))
        str.remove_prefix(1);
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t' || str.back() == '\r'))
        str.remove_suffix(1);
    return str;
}

// The product token of a user-agent line: its leading run of letters, '-'
// and '_' ("Quarvex/1.0" -> "quarvex"), or "*".
std::string AgentToken(std::string_view strValue)
{
    if (!strValue.empty() && strValue.front() == '*')
        return "*";
    std::size_t n = 0;
    while (n < strValue.size()) {
        const char c = strValue[n];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_'))
            break;
        ++n;
    }
    return quarvex::LowerAscii(strValue.substr(0, n));
}

} // namespace

bool RobotsPatternMatches(std::string_view strPattern, std::string_view strTarget)
{
    bool bAnchored = false;
    if (!strPattern.empty() && strPattern.back() == '$') {
        bAnchored = true;
        strPattern.remove_suffix(1);
    }
    // Greedy-free wildcard match with one back-tracking point, linear in
    // practice and never worse than pattern times target.
    std::size_t p = 0, t = 0;
    std::size_t nStarP = std::string_view::npos, nStarT = 0;
    while (t < strTarget.size()) {
        if (p < strPattern.size() && strPattern[p] == '*') {
            nStarP = p++;
            nStarT = t;
        } else if (p < strPattern.size() && strPattern[p] == strTarget[t]) {
            ++p;
            ++t;
        } else if (p == strPattern.size() && !bAnchored) {
            return true;  // The pattern matched a prefix.
        } else if (nStarP != std::string_view::npos) {
            p = nStarP + 1;
            t = ++nStarT;
        } else {
            return false;
        }
    }
    while (p < strPattern.size() && strPattern[p] == '*')
        ++p;
    return p == strPattern.size();
}

void CRobotsRules::AllowAll()
{
    m_aRules.clear();
    m_nCrawlDelayMs = 0;
    m_bDisallowAll = false;
}

void CRobotsRules::DisallowAll()
{
    AllowAll();
    m_bDisallowAll = true;
}

void CRobotsRules::Parse(std::string_view strText, std::string_view strToken)
{
    AllowAll();
    if (strText.size() > MAX_BYTES)
        strText = strText.substr(0, MAX_BYTES);
    // A UTF-8 byte order mark may start the file.
    if (strText.substr(0, 3) == "\xEF\xBB\xBF")
        strText.remove_prefix(3);
    const std::string strOwn = quarvex::LowerAscii(strToken);

    struct SGroup {
        std::vector<SRule> aRules;
        double dDelay = -1;
    };
    SGroup own, star;
    bool bOwnSeen = false, bStarSeen = false;
    // The agents of the group being read; a user-agent line after a rule
    // starts a new group.
    bool bInAgents = false, bForOwn = false, bForStar = false;

    std::size_t nPos = 0;
    while (nPos < strText.size()) {
        std::size_t nEnd = strText.find_first_of("\r\n", nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strText.size();
        std::string_view strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        const std::size_t nHash = strLine.find('#');
        if (nHash != std::string_view::npos)
            strLine = strLine.substr(0, nHash);
        const std::size_t nColon = strLine.find(':');
        if (nColon == std::string_view::npos)
            continue;
        const std::string strKey = quarvex::LowerAscii(Trim(strLine.substr(0, nColon)));
        const std::string_view strValue = Trim(strLine.substr(nColon + 1));

        if (strKey == "user-agent") {
            if (!bInAgents) {
                bInAgents = true;
                bForOwn = bForStar = false;
            }
            const std::string strAgent = AgentToken(strValue);
            if (strAgent == "*") {
                bForStar = true;
                bStarSeen = true;
            } else if (!strAgent.empty() && strAgent == strOwn) {
                bForOwn = true;
                bOwnSeen = true;
            }
            continue;
        }
        if (strKey != "allow" && strKey != "disallow" && strKey != "crawl-delay")
            continue;  // sitemap and the like belong to no group
        bInAgents = false;
        if (!bForOwn && !bForStar)
            continue;
        if (strKey == "crawl-delay") {
            const std::string strNumber(strValue);
            char* pEnd = nullptr;
            const double dDelay = std::strtod(strNumber.c_str(), &pEnd);
            if (pEnd == strNumber.c_str() || !(dDelay >= 0))
                continue;
            for (SGroup* pGroup : { bForOwn ? &own : nullptr, bForStar ? &star : nullptr }) {
                if (pGroup != nullptr)
                    pGroup->dDelay = std::max(pGroup->dDelay, std::min(dDelay, MAX_CRAWL_DELAY_S));
            }
            continue;
        }
        // An empty Disallow allows everything: it adds no rule.
        if (strValue.empty())
            continue;
        SRule rule;
        rule.bAllow = strKey == "allow";
        rule.strPattern.assign(strValue);
        for (SGroup* pGroup : { bForOwn ? &own : nullptr, bForStar ? &star : nullptr }) {
            if (pGroup != nullptr && pGroup->aRules.size() < MAX_RULES)
                pGroup->aRules.push_back(rule);
        }
    }
    const SGroup* pApplies = bOwnSeen ? &own : (bStarSeen ? &star : nullptr);
    if (pApplies == nullptr)
        return;
    m_aRules = pApplies->aRules;
    if (pApplies->dDelay > 0)
        m_nCrawlDelayMs = static_cast<int>(pApplies->dDelay * 1000.0 + 0.5);
}

const CRobotsRules::SRule* CRobotsRules::Decide(std::string_view strTarget) const
{
    const SRule* pBest = nullptr;
    for (const SRule& rule : m_aRules) {
        if (!RobotsPatternMatches(rule.strPattern, strTarget))
            continue;
        // The longest pattern decides; between equals, Allow.
        if (pBest == nullptr || rule.strPattern.size() > pBest->strPattern.size()
            || (rule.strPattern.size() == pBest->strPattern.size() && rule.bAllow && !pBest->bAllow))
            pBest = &rule;
    }
    return pBest;
}

bool CRobotsRules::IsAllowed(std::string_view strTarget) const
{
    if (strTarget == "/robots.txt")
        return true;
    if (m_bDisallowAll)
        return false;
    const SRule* pRule = Decide(strTarget);
    return pRule == nullptr || pRule->bAllow;
}

std::string CRobotsRules::FindDecidingRule(std::string_view strTarget) const
{
    if (m_bDisallowAll)
        return "robots.txt unreadable";
    const SRule* pRule = Decide(strTarget);
    if (pRule == nullptr)
        return std::string();
    return std::string(pRule->bAllow ? "Allow: " : "Disallow: ") + pRule->strPattern;
}

bool RobotsLocation(std::string_view strUrl, std::string& strRobotsUrl, std::string& strTarget,
                    std::string& strSite)
{
    std::string strHost;
    int nPort = 0;
    bool bSecure = false;
    if (!ParseUrl(strUrl, strHost, strTarget, nPort, &bSecure))
        return false;
    const std::size_t nHash = strTarget.find('#');
    if (nHash != std::string::npos)
        strTarget.resize(nHash);
    if (strTarget.empty())
        strTarget = "/";
    strSite = std::string(bSecure ? "https://" : "http://") + quarvex::LowerAscii(strHost) + ":" + std::to_string(nPort);
    strRobotsUrl = std::string(bSecure ? "https://" : "http://") + HostHeaderValue(strHost, nPort, bSecure)
        + "/robots.txt";
    return true;
}

CRobotsCache& CRobotsCache::Instance()
{
    static CRobotsCache cache;
    return cache;
}

void CRobotsCache::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aSites.clear();
}

bool CRobotsCache::GetRules(std::string_view strUrl, const FnFetch& fnFetch, CRobotsRules& rules,
                            std::int64_t nNow)
{
    std::string strRobotsUrl, strTarget, strSite;
    if (!RobotsLocation(strUrl, strRobotsUrl, strTarget, strSite)) {
        rules.DisallowAll();
        return false;
    }
    auto Lookup = [&]() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_aSites.find(strSite);
        if (it == m_aSites.end() || it->second.nExpires <= nNow)
            return false;
        rules = it->second.rules;
        return true;
    };
    if (Lookup())
        return true;
    std::lock_guard<std::mutex> fetchLock(m_fetchMutex);
    if (Lookup())
        return true;  // Another task fetched it meanwhile.

    const SFetched fetched = fnFetch(strRobotsUrl);
    if (fetched.bStopped) {
        rules.DisallowAll();
        return false;
    }
    SEntry entry;
    entry.nExpires = nNow + KEEP_SECONDS;
    if (fetched.nStatus >= 200 && fetched.nStatus < 300) {
        entry.rules.Parse(fetched.strBody);
    } else if (fetched.nStatus >= 400 && fetched.nStatus < 500) {
        // No robots.txt (or none for us to read): the site sets no limits.
        entry.rules.AllowAll();
    } else {
        // A server error or no answer: the site may not want us now, so
        // nothing is fetched, and the file is asked for again soon.
        entry.rules.DisallowAll();
        entry.nExpires = nNow + KEEP_FAILED_SECONDS;
    }
    rules = entry.rules;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_aSites.size() >= MAX_SITES) {
        for (auto it = m_aSites.begin(); it != m_aSites.end();)
            it = it->second.nExpires <= nNow ? m_aSites.erase(it) : std::next(it);
        if (m_aSites.size() >= MAX_SITES)
            m_aSites.erase(m_aSites.begin());
    }
    m_aSites[strSite] = std::move(entry);
    return true;
}
