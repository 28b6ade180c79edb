// UrlResolveTest.cpp - reference resolution against the examples of
// RFC 3986 section 5.4, and the shapes real pages write.
#include "http/UrlResolve.h"

#include <gtest/gtest.h>

namespace {

struct SCase { const char* pszRef; const char* pszExpected; };

void CheckAll(const char* pszBase, const SCase* pCases, std::size_t nCases)
{
    for (std::size_t i = 0; i < nCases; ++i)
        EXPECT_EQ(ResolveUrl(pszBase, pCases[i].pszRef), pCases[i].pszExpected) << pCases[i].pszRef;
}

} // namespace

TEST(ResolveUrlTest, Rfc3986NormalExamples)
{
    static const SCase cases[] = {
        { "g:h",     "g:h" },
        { "g",       "http://a/b/c/g" },
        { "./g",     "http://a/b/c/g" },
        { "g/",      "http://a/b/c/g/" },
        { "/g",      "http://a/g" },
        { "//g",     "http://g" },
        { "?y",      "http://a/b/c/d;p?y" },
        { "g?y",     "http://a/b/c/g?y" },
        { "#s",      "http://a/b/c/d;p?q#s" },
        { "g#s",     "http://a/b/c/g#s" },
        { "g?y#s",   "http://a/b/c/g?y#s" },
        { ";x",      "http://a/b/c/;x" },
        { "g;x",     "http://a/b/c/g;x" },
        { "g;x?y#s", "http://a/b/c/g;x?y#s" },
        { "",        "http://a/b/c/d;p?q" },
        { ".",       "http://a/b/c/" },
        { "./",      "http://a/b/c/" },
        { "..",      "http://a/b/" },
        { "../",     "http://a/b/" },
        { "../g",    "http://a/b/g" },
        { "../..",   "http://a/" },
        { "../../",  "http://a/" },
        { "../../g", "http://a/g" },
    };
    CheckAll("http://a/b/c/d;p?q", cases, std::size(cases));
}

TEST(ResolveUrlTest, Rfc3986AbnormalExamples)
{
    static const SCase cases[] = {
        { "../../../g",    "http://a/g" },
        { "../../../../g", "http://a/g" },
        { "/./g",          "http://a/g" },
        { "/../g",         "http://a/g" },
        { "g.",            "http://a/b/c/g." },
        { ".g",            "http://a/b/c/.g" },
        { "g..",           "http://a/b/c/g.." },
        { "..g",           "http://a/b/c/..g" },
        { "./../g",        "http://a/b/g" },
        { "./g/.",         "http://a/b/c/g/" },
        { "g/./h",         "http://a/b/c/g/h" },
        { "g/../h",        "http://a/b/c/h" },
        { "g;x=1/./y",     "http://a/b/c/g;x=1/y" },
        { "g;x=1/../y",    "http://a/b/c/y" },
        { "g?y/./x",       "http://a/b/c/g?y/./x" },
        { "g?y/../x",      "http://a/b/c/g?y/../x" },
        { "g#s/./x",       "http://a/b/c/g#s/./x" },
        { "g#s/../x",      "http://a/b/c/g#s/../x" },
        { "http:g",        "http:g" },  // the strict reading
    };
    CheckAll("http://a/b/c/d;p?q", cases, std::size(cases));
}

TEST(ResolveUrlTest, PagesAsTheyAreWritten)
{
    static const SCase cases[] = {
        { "item/1.html",             "http://h:8080/list/item/1.html" },
        { "  item/1.html\r\n",       "http://h:8080/list/item/1.html" },  // blanks around an attribute
        { "https://other/x",         "https://other/x" },
        { "HTTP://Other/x",          "HTTP://Other/x" },
        { "//cdn.example/a.png",     "http://cdn.example/a.png" },
        { "?page=2",                 "http://h:8080/list/index.php?page=2" },
        { "/top",                    "http://h:8080/top" },
    };
    CheckAll("http://h:8080/list/index.php?page=1", cases, std::size(cases));
    // A base with an authority but no path gains a '/'.
    EXPECT_EQ(ResolveUrl("http://h", "x"), "http://h/x");
    // Without a scheme in the base nothing can be resolved.
    EXPECT_EQ(ResolveUrl("h/a/", "x"), "x");
    EXPECT_EQ(StripFragment("http://h/x?y#z"), "http://h/x?y");
    EXPECT_EQ(StripFragment("http://h/x"), "http://h/x");
}
