// robots.txt: which group applies, longest match, wildcards, Crawl-delay,
// and the daily per-site cache with its answers for missing and broken files.
#include "http/Robots.h"

#include <gtest/gtest.h>

namespace {

TEST(RobotsRules, OwnGroupBeatsStarAndLongestMatchDecides)
{
    CRobotsRules rules;
    rules.Parse("# comment\n"
                "User-agent: *\n"
                "Disallow: /\n"
                "\n"
                "User-agent: OtherBot\n"
                "User-agent: quarvex/2.0\n"
                "Disallow: /private\n"
                "Allow: /private/open\n"
                "Disallow: /*.pdf$\n"
                "Crawl-delay: 1.5\n");
    EXPECT_TRUE(rules.IsAllowed("/"));
    EXPECT_TRUE(rules.IsAllowed("/news/1.html"));
    EXPECT_FALSE(rules.IsAllowed("/private"));
    EXPECT_FALSE(rules.IsAllowed("/private/x"));
    EXPECT_TRUE(rules.IsAllowed("/private/open/y"));
    EXPECT_FALSE(rules.IsAllowed("/docs/a.pdf"));
    EXPECT_TRUE(rules.IsAllowed("/docs/a.pdf?x=1"));
    EXPECT_EQ(rules.GetCrawlDelayMs(), 1500);
    EXPECT_EQ(rules.FindDecidingRule("/private/x"), "Disallow: /private");
}

TEST(RobotsRules, StarGroupWhenNoneNamesUsAndTiesGoToAllow)
{
    CRobotsRules rules;
    rules.Parse("User-agent: googlebot\nDisallow: /\n\n"
                "User-agent: *\nDisallow: /a\nAllow: /a\nDisallow: /b\nDisallow:\n"
                "User-agent: *\nDisallow: /c*d\n");
    EXPECT_TRUE(rules.IsAllowed("/a/1"));   // equal length: Allow
    EXPECT_FALSE(rules.IsAllowed("/b"));
    EXPECT_FALSE(rules.IsAllowed("/c/x/d/e"));  // groups for the same agent merge
    EXPECT_TRUE(rules.IsAllowed("/x"));
    EXPECT_EQ(rules.GetCrawlDelayMs(), 0);
    // robots.txt itself is always allowed.
    rules.DisallowAll();
    EXPECT_TRUE(rules.IsAllowed("/robots.txt"));
    EXPECT_FALSE(rules.IsAllowed("/"));
}

TEST(RobotsRules, HostileFilesStayBounded)
{
    CRobotsRules rules;
    // No group at all, garbage lines, a rule before any user-agent.
    rules.Parse("Disallow: /\n\x01\x02garbage\nno colon here\n");
    EXPECT_TRUE(rules.IsAllowed("/"));
    // A huge Crawl-delay is taken as a minute at most; a negative one not at all.
    rules.Parse("User-agent: *\nCrawl-delay: 999999\n");
    EXPECT_EQ(rules.GetCrawlDelayMs(), 60000);
    rules.Parse("User-agent: *\nCrawl-delay: -3\n");
    EXPECT_EQ(rules.GetCrawlDelayMs(), 0);
    // Rules past the first half megabyte are not read.
    std::string strBig = "User-agent: *\n";
    strBig.append(CRobotsRules::MAX_BYTES, '#');
    strBig += "\nDisallow: /\n";
    rules.Parse(strBig);
    EXPECT_TRUE(rules.IsAllowed("/"));
    // Many stars cannot make matching explode.
    EXPECT_FALSE(RobotsPatternMatches(std::string(200, '*') + "x$", std::string(5000, 'a')));
    EXPECT_TRUE(RobotsPatternMatches("/a*b*c", "/aXXbYYcZZ"));
    EXPECT_FALSE(RobotsPatternMatches("/a*b$", "/aXXbY"));
    EXPECT_TRUE(RobotsPatternMatches("/a*b$", "/aXbXb"));
}

TEST(RobotsCache, FetchesOncePerSiteAndDayAndReadsStatuses)
{
    CRobotsCache cache;
    int nFetches = 0;
    std::string strAsked;
    CRobotsCache::SFetched answer;
    answer.nStatus = 200;
    answer.strBody = "User-agent: *\nDisallow: /no\n";
    auto fnFetch = [&](const std::string& strUrl) {
        ++nFetches;
        strAsked = strUrl;
        return answer;
    };
    CRobotsRules rules;
    ASSERT_TRUE(cache.GetRules("http://Site.example:8080/a?b", fnFetch, rules, 1000));
    EXPECT_EQ(strAsked, "http://Site.example:8080/robots.txt");
    EXPECT_FALSE(rules.IsAllowed("/no/1"));
    ASSERT_TRUE(cache.GetRules("http://site.example:8080/no", fnFetch, rules, 1000 + 86399));
    EXPECT_EQ(nFetches, 1);
    // A day later it is asked for again.
    answer.nStatus = 404;
    ASSERT_TRUE(cache.GetRules("http://site.example:8080/no", fnFetch, rules, 1000 + 86400));
    EXPECT_EQ(nFetches, 2);
    EXPECT_TRUE(rules.IsAllowed("/no/1"));
    // Another scheme or port is another site.
    answer.nStatus = 503;
    ASSERT_TRUE(cache.GetRules("https://site.example/no", fnFetch, rules, 1000));
    EXPECT_EQ(strAsked, "https://site.example/robots.txt");
    EXPECT_FALSE(rules.IsAllowed("/anything"));
    // A server error is kept only for a while.
    answer.nStatus = 200;
    answer.strBody.clear();
    ASSERT_TRUE(cache.GetRules("https://site.example/no", fnFetch, rules, 1000 + CRobotsCache::KEEP_FAILED_SECONDS));
    EXPECT_TRUE(rules.IsAllowed("/anything"));
    // A stopped fetch keeps nothing and allows nothing.
    answer.bStopped = true;
    EXPECT_FALSE(cache.GetRules("http://third.example/", fnFetch, rules, 1000));
    EXPECT_FALSE(rules.IsAllowed("/"));
    answer.bStopped = false;
    const int nBefore = nFetches;
    ASSERT_TRUE(cache.GetRules("http://third.example/", fnFetch, rules, 1000));
    EXPECT_EQ(nFetches, nBefore + 1);
    EXPECT_FALSE(cache.GetRules("not a url", fnFetch, rules, 1000));
}

} // namespace
