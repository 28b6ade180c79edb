// UrlTest.cpp - URL splitting, the default Referer, the request texts and
// form-value encoding, without a network.
#include "http/Url.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

TEST(ParseUrlTest, SchemeHostPortAndPathEdgeCases)
{
    struct { const char* pszUrl; bool bOk; const char* pszHost; int nPort; const char* pszPath; } cases[] = {
        { "http://h",                  true,  "h",    80,    "/" },
        { "HTTP://h/x",                true,  "h",    80,    "/x" },     // scheme case is ignored
        { "hTtP://Host.Example/",      true,  "Host.Example", 80, "/" }, // host keeps its case
        { "http://h:8080/x?a=1#f",     true,  "h",    8080,  "/x?a=1#f" },
        { "http://h:/x",               true,  "h",    0,     "/x" },     // no digits read as 0
        { "http://h:12345/",           true,  "h",    12345, "/" },      // five port characters
        { "http://h:8x/",              true,  "h",    8,     "/" },      // leading digits only
        { "http://h/a%20b/../c",       true,  "h",    80,    "/a%20b/../c" },  // nothing decoded
        { "http://",                   true,  "",     80,    "/" },
        { "http://h\r\nX: 1/",         false, "",     0,     "" },       // no control byte in a host
        { "http://127.0.0.1 x/",       false, "",     0,     "" },       // nor a blank
        { "http://h\x7F/",             false, "",     0,     "" },
        { "http://h:8080",             false, "",     0,     "" },       // a port needs a '/' after it
        { "http://h:123456/",          false, "",     0,     "" },       // six port characters
        { "https://h/",                false, "",     0,     "" },
        { "ftp://h/",                  false, "",     0,     "" },
        { "h/x",                       false, "",     0,     "" },       // no scheme
        { "http:/h",                   false, "",     0,     "" },       // ':' needs "//"
        { "",                          false, "",     0,     "" },
        { "abcdefghijklmno://h/",      false, "",     0,     "" },       // 15 scheme characters: read, but not http
        { "abcdefghijklmnop://h/",     false, "",     0,     "" },       // 16 without ':'
    };
    for (const auto& c : cases) {
        std::string strHost = "junk", strPath = "junk";
        int nPort = -1;
        ASSERT_EQ(ParseUrl(c.pszUrl, strHost, strPath, nPort), c.bOk) << c.pszUrl;
        if (c.bOk) {
            EXPECT_EQ(strHost, c.pszHost) << c.pszUrl;
            EXPECT_EQ(nPort, c.nPort) << c.pszUrl;
            EXPECT_EQ(strPath, c.pszPath) << c.pszUrl;
        }
    }
}

TEST(ParseUrlTest, HttpsOnlyForCallersThatSpeakTls)
{
    struct { const char* pszUrl; bool bOk; bool bSecure; int nPort; } cases[] = {
        { "https://h/x",      true,  true,  443 },
        { "HTTPS://h",        true,  true,  443 },
        { "https://h:8443/",  true,  true,  8443 },
        { "http://h/",        true,  false, 80 },
        { "https://h:8443",   false, false, 0 },   // the port rules hold for https too
        { "httpss://h/",      false, false, 0 },
        { "ftp://h/",         false, false, 0 },
    };
    for (const auto& c : cases) {
        std::string strHost, strPath;
        int nPort = -1;
        bool bSecure = !c.bSecure;
        ASSERT_EQ(ParseUrl(c.pszUrl, strHost, strPath, nPort, &bSecure), c.bOk) << c.pszUrl;
        if (c.bOk) {
            EXPECT_EQ(bSecure, c.bSecure) << c.pszUrl;
            EXPECT_EQ(nPort, c.nPort) << c.pszUrl;
        }
    }
    std::string strHost, strPath;
    int nPort = 0;
    EXPECT_FALSE(ParseUrl("https://h/", strHost, strPath, nPort));  // without the flag, refused
}

TEST(ResolveHostTest, DottedAddressFirstThenNameAndZeroWhenUnknown)
{
    EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost("localhost"), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost(""), 0u);
    // A label longer than 63 characters fails inside the resolver, so the
    // test never sends a query off this machine.
    EXPECT_EQ(ResolveHost(std::string(64, 'a') + ".invalid"), 0u);
}

TEST(DefaultRefererTest, HostAndPathUpToItsLastSlash)
{
    EXPECT_EQ(DefaultReferer("h", "/a/b.asp?x=1"), "h/a/");
    EXPECT_EQ(DefaultReferer("h", "/"), "h/");
    EXPECT_EQ(DefaultReferer("h", "/page"), "h/");
    EXPECT_EQ(DefaultReferer("h", "/a?next=/b/c"), "h/a?next=/b/");  // the last '/', even in the query
    EXPECT_EQ(DefaultReferer("h", "/a b\r\n/c"), "h/a%20b%0D%0A/");  // never a line break in the header
}

TEST(RequestTextTest, HostNamesThePortUnlessItIsTheSchemes)
{
    EXPECT_EQ(HostHeaderValue("h", 80, false), "h");
    EXPECT_EQ(HostHeaderValue("h", 18001, false), "h:18001");
    EXPECT_EQ(HostHeaderValue("h", 443, true), "h");
    EXPECT_EQ(HostHeaderValue("h", 80, true), "h:80");
    EXPECT_EQ(HostHeaderValue("h", 443, false), "h:443");
}

TEST(RequestTextTest, TargetsCarryNoBlankOrControlByteFromAPage)
{
    // A page value put into an address must not end the request line or
    // add a header of its own.
    const std::string strGet = ComposeGetRequest("h", "/collect?v=a\r\nX-Evil: 1 b\t\x7F", "", "", true);
    EXPECT_EQ(strGet.substr(0, strGet.find("\r\n")), "GET /collect?v=a%0D%0AX-Evil:%201%20b%09%7F HTTP/1.1");
    EXPECT_EQ(strGet.find("\r\nX-Evil"), std::string::npos);
    const std::string strPost = ComposePostRequest("h", std::string("/f\0 x", 5), "", "");
    EXPECT_EQ(strPost.substr(0, strPost.find("\r\n")), "POST /f%00%20x HTTP/1.1");
    // Everything else goes as it is: escapes, GBK bytes, punctuation.
    const std::string strKept = ComposeGetRequest("h", "/a%20b/\xD6\xD0?x=\"<>\"&y=~", "", "", true);
    EXPECT_EQ(strKept.substr(0, strKept.find("\r\n")), "GET /a%20b/\xD6\xD0?x=\"<>\"&y=~ HTTP/1.1");
}

TEST(RequestTextTest, GetLinesInOrderWithAndWithoutAuthorizationAndKeepAlive)
{
    EXPECT_EQ(ComposeGetRequest("h", "/a/b?x=1", "h/a/", "", true),
              "GET /a/b?x=1 HTTP/1.1\r\n"
              "Host: h\r\n"
              "Accept: */*\r\n"
              "Referer: h/a/\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Pragma: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "Connection: Keep-Alive\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "\r\n");
    EXPECT_EQ(ComposeGetRequest("h", "/", "", "Basic dTpw", false),
              "GET / HTTP/1.1\r\n"
              "Host: h\r\n"
              "Accept: */*\r\n"
              "Referer: \r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Pragma: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "Connection: close\r\n"
              "Authorization: Basic dTpw\r\n"
              "\r\n");
}

TEST(RequestTextTest, PostKeepsAliveInTheOtherOrderAndCountsBodyBytes)
{
    EXPECT_EQ(ComposePostRequest("h", "/f", "r", "a=1&b=%D6%D0"),
              "POST /f HTTP/1.1\r\n"
              "Host: h\r\n"
              "Accept: */*\r\n"
              "Accept-Language: zh-cn\r\n"
              "Referer: r\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Pragma: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Length:12\r\n"
              "\r\n"
              "a=1&b=%D6%D0");
    const std::string strEmpty = ComposePostRequest("h", "/", "", "");
    EXPECT_NE(strEmpty.find("\r\nContent-Length:0\r\n\r\n"), std::string::npos);
    EXPECT_EQ(strEmpty.substr(strEmpty.size() - 4), "\r\n\r\n");  // nothing after the blank line
}

TEST(UrlEncodeTest, SurprisingBytes)
{
    struct { std::string strIn; const char* pszOut; } cases[] = {
        { "a b-c",                "a+b%2Dc" },
        { "\xD6\xD0",             "%D6%D0" },   // GBK 中
        { "",                     "" },
        { "AZaz09",               "AZaz09" },
        { "-._*~",                "%2D%2E%5F%2A%7E" },
        { "\t\n\v\f\r ",          "%09%0A%0B%0C%0D+" },  // only the blank is '+'
        { "\x08\x0E\x1F\x7F",     "%08%0E%1F%7F" },
        { "a=b&c",                "a%3Db%26c" },
        { "\xFF",                 "%FF" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UrlEncode(c.strIn.c_str()), c.pszOut) << c.strIn;
        EXPECT_EQ(UrlEncode(c.strIn.data(), c.strIn.size()), c.pszOut) << c.strIn;
    }
    const char aWithZero[] = { 'a', '\0', 'b' };
    EXPECT_EQ(UrlEncode(aWithZero, 3), "a%00b");
    EXPECT_EQ(UrlEncode(aWithZero), "a");
    EXPECT_EQ(UrlEncode(nullptr), "");
}

TEST(BasicAuthorizationTest, PaddingAndHighBytes)
{
    struct { const char* pszCredential; const char* pszValue; } cases[] = {
        { "Aladdin:open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==" },  // two '=' of padding
        { "ab:c",                "Basic YWI6Yw==" },
        { "abc:de",              "Basic YWJjOmRl" },                      // no padding
        { "abc:def",             "Basic YWJjOmRlZg==" },
        { "a:bc",                "Basic YTpiYw==" },
        { ":",                   "Basic Og==" },
        { "\xd5\xc5:\xff",       "Basic 1cU6/w==" },                     // bytes above 0x7f
    };
    for (const auto& c : cases)
        EXPECT_EQ(BasicAuthorization(c.pszCredential), c.pszValue) << c.pszCredential;
}
