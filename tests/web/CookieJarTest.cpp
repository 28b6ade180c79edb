// CookieJarTest.cpp - which cookies a jar keeps and which it sends back.
#include "http/CookieJar.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t s_nNow = 1'800'000'000;

} // namespace

TEST(CookieJarTest, DomainAndPathMatching)
{
    CCookieJar jar;
    EXPECT_TRUE(jar.SetCookie("a=1", "www.example.com", "/shop/list?p=2", false, s_nNow));  // path /shop
    EXPECT_TRUE(jar.SetCookie("b=2; Domain=.Example.COM; Path=/", "www.example.com", "/", false, s_nNow));
    EXPECT_TRUE(jar.SetCookie("c=3; Path=/shop/cart", "www.example.com", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("d=4; Domain=other.com", "www.example.com", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("e=5; Domain=ww.example.com", "www.example.com", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("noequals", "www.example.com", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("=x", "www.example.com", "/", false, s_nNow));

    struct { const char* pszHost; const char* pszPath; const char* pszHeader; } cases[] = {
        { "www.example.com", "/shop/cart/1",  "c=3; a=1; b=2" },  // longer paths first
        { "WWW.EXAMPLE.COM", "/shop",         "a=1; b=2" },
        { "www.example.com", "/shopping",     "b=2" },            // /shop is no prefix of /shopping
        { "img.example.com", "/shop/x",       "b=2" },            // a=1 is host-only
        { "example.com",     "/",             "b=2" },
        { "badexample.com",  "/",             "" },
        { "www.example.org", "/shop",         "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(jar.GetCookieHeader(c.pszHost, c.pszPath, false, s_nNow), c.pszHeader) << c.pszHost << c.pszPath;
}

TEST(CookieJarTest, ExpiryMaxAgeAndDeletion)
{
    CCookieJar jar;
    EXPECT_TRUE(jar.SetCookie("s=1; Max-Age=60", "h.test", "/", false, s_nNow));
    EXPECT_TRUE(jar.SetCookie("t=2; Expires=Wed, 09 Jun 2100 10:18:14 GMT", "h.test", "/", false, s_nNow));
    // Max-Age wins over Expires.
    EXPECT_TRUE(jar.SetCookie("u=3; Max-Age=10; Expires=Wed, 09 Jun 2100 10:18:14 GMT", "h.test", "/", false, s_nNow));
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow), "s=1; t=2; u=3");
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow + 30), "s=1; t=2");
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow + 61), "t=2");
    // A new value replaces the old in place; deletion by Max-Age=0 or a past date.
    EXPECT_TRUE(jar.SetCookie("s=9", "h.test", "/", false, s_nNow));
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow), "s=9; t=2; u=3");
    jar.SetCookie("t=; Expires=Thu, 01 Jan 1970 00:00:00 GMT", "h.test", "/", false, s_nNow);
    jar.SetCookie("s=; Max-Age=0", "h.test", "/", false, s_nNow);
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow), "u=3");
    jar.Clear();
    EXPECT_EQ(jar.GetCount(), 0u);

    EXPECT_EQ(ParseCookieDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
    EXPECT_EQ(ParseCookieDate("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
    EXPECT_EQ(ParseCookieDate("Sun Nov  6 08:49:37 1994"), 784111777);
    EXPECT_EQ(ParseCookieDate("tomorrow"), -1);
    EXPECT_EQ(ParseCookieDate("06 Nov 1994 25:00:00"), -1);
}

TEST(CookieJarTest, CookiesStayWithTheirPortAndScheme)
{
    CCookieJar jar;
    EXPECT_TRUE(jar.SetCookie("p=1", "h.test", "/", false, s_nNow, 8080));
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow, 8080), "p=1");
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow, 8081), "");
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", true, s_nNow, 8080), "");
}

TEST(CookieJarTest, SecureCookiesStayOnSecureConnections)
{
    CCookieJar jar;
    EXPECT_TRUE(jar.SetCookie("k=1; Secure; HttpOnly", "h.test", "/", true, s_nNow));
    EXPECT_FALSE(jar.SetCookie("k2=1; Secure", "h.test", "/", false, s_nNow));
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", true, s_nNow), "k=1");
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow), "");
}

TEST(CookieJarTest, PublicSuffixesAreRefused)
{
    CCookieJar jar;  // the system's list
    EXPECT_FALSE(jar.SetCookie("a=1; Domain=com", "shop.example.com", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("a=1; Domain=.com.cn", "shop.example.com.cn", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("a=1; Domain=github.io", "me.github.io", "/", false, s_nNow));
    EXPECT_TRUE(jar.SetCookie("a=1; Domain=example.com.cn", "shop.example.com.cn", "/", false, s_nNow));
    // A host that is itself a suffix keeps the cookie for itself only.
    EXPECT_TRUE(jar.SetCookie("b=1; Domain=localhost", "localhost", "/", false, s_nNow));
    EXPECT_EQ(jar.GetCookieHeader("localhost", "/", false, s_nNow), "b=1");
    // An address is matched exactly.
    EXPECT_TRUE(jar.SetCookie("c=1; Domain=127.0.0.1", "127.0.0.1", "/", false, s_nNow));
    EXPECT_EQ(jar.GetCookieHeader("127.0.0.1", "/", false, s_nNow), "c=1");

    CPublicSuffixList list;
    list.LoadText("// comment\ncom\n*.ck\n!www.ck\n");
    EXPECT_TRUE(list.IsPublicSuffix("com"));
    EXPECT_TRUE(list.IsPublicSuffix("anything.ck"));
    EXPECT_FALSE(list.IsPublicSuffix("www.ck"));
    EXPECT_FALSE(list.IsPublicSuffix("example.com"));
    EXPECT_TRUE(list.IsPublicSuffix("org"));  // every top-level label
}

TEST(CookieJarTest, HostileServersCannotGrowTheJarOrInjectHeaders)
{
    CCookieJar jar;
    EXPECT_FALSE(jar.SetCookie("a=1\r\nX-Evil: 1", "h.test", "/", false, s_nNow));
    EXPECT_FALSE(jar.SetCookie("a=" + std::string(5000, 'x'), "h.test", "/", false, s_nNow));
    for (int i = 0; i < 200; ++i)
        jar.SetCookie("n" + std::to_string(i) + "=1", "h.test", "/", false, s_nNow);
    EXPECT_EQ(jar.GetCount(), CCookieJar::s_nMaxPerDomain);
    EXPECT_EQ(jar.GetCookieHeader("h.test", "/", false, s_nNow).find("n0="), std::string::npos);
}

TEST(CookieJarTest, SavedAndLoadedInTheNetscapeForm)
{
    CCookieJar jar;
    jar.SetCookie("a=1; Domain=example.com; Max-Age=100", "www.example.com", "/", false, s_nNow);
    jar.SetCookie("b=2; HttpOnly; Path=/x", "www.example.com", "/", false, s_nNow);
    const std::string strText = jar.Save();
    EXPECT_NE(strText.find(".example.com\tTRUE\t/\tFALSE\t1800000100\ta\t1\n"), std::string::npos);
    EXPECT_NE(strText.find("#HttpOnly_www.example.com\tFALSE\t/x\tFALSE\t0\tb\t2\n"), std::string::npos);
    CCookieJar copy;
    copy.Load(strText + "garbage line\n.com\tTRUE\t/\tFALSE\t0\tx\ty\n", s_nNow);
    EXPECT_EQ(copy.GetCount(), 2u);
    EXPECT_EQ(copy.GetCookieHeader("www.example.com", "/x/y", false, s_nNow), "b=2; a=1");
    copy.Clear();
    copy.Load(strText, s_nNow + 200);  // a=1 has expired meanwhile
    EXPECT_EQ(copy.GetCount(), 1u);
}
