// WebPagesTest.cpp - tricky pages as real sites serve them, run through
// quarvex-cli run against a scripted server: relative links and <base>,
// every charset, gzip and deflate, each redirect code, 304, cookies set on
// one pass and needed on the next, the task's own headers.
#include "RawServer.h"
#include "TempDir.h"

#include "ZlibCompress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>

extern char** environ;

namespace {

std::string ReadAll(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream stream;
    stream << file.rdbuf();
    return stream.str();
}

// A whole response: status line, the given header lines, Content-Length, body.
std::string Reply(const std::string& strStatus, const std::string& strHeaders, const std::string& strBody)
{
    return "HTTP/1.1 " + strStatus + "\r\n" + strHeaders + "Content-Length: " + std::to_string(strBody.size()) +
           "\r\n\r\n" + strBody;
}

std::string Html(const std::string& strType, const std::string& strBody)
{
    return Reply("200 OK", "Content-Type: " + strType + "\r\n", strBody);
}

// The request target of a request, and its first header named strName.
std::string Target(const std::string& strRequest)
{
    const std::size_t nStart = strRequest.find(' ') + 1;
    return strRequest.substr(nStart, strRequest.find(' ', nStart) - nStart);
}

std::string Header(const std::string& strRequest, const std::string& strName)
{
    const std::size_t nPos = strRequest.find("\r\n" + strName + ": ");
    if (nPos == std::string::npos)
        return std::string();
    const std::size_t nStart = nPos + 4 + strName.size();
    return strRequest.substr(nStart, strRequest.find("\r\n", nStart) - nStart);
}

// A site: routes by path (the target without its query).
class CSite {
public:
    using Route = std::function<std::string(const std::string& strRequest)>;

    CSite() : m_server([this](CRawConnection& conn) { Serve(conn); }) {}

    void Add(const std::string& strPath, Route fnRoute)
    {
        std::lock_guard lock(m_mutex);
        m_routes[strPath] = std::move(fnRoute);
    }
    std::string Url(const std::string& strPath) const { return m_server.GetUrl(strPath); }
    std::vector<std::string> Requests() const { return m_server.GetRequests(); }
    // The requests whose path is strPath.
    std::vector<std::string> RequestsFor(const std::string& strPath) const
    {
        std::vector<std::string> aOut;
        for (const std::string& str : Requests()) {
            const std::string strTarget = Target(str);
            if (strTarget.substr(0, strTarget.find('?')) == strPath)
                aOut.push_back(str);
        }
        return aOut;
    }

private:
    void Serve(CRawConnection& conn)
    {
        for (;;) {
            const std::string strRequest = conn.ReadRequest();
            if (strRequest.empty())
                return;
            const std::string strTarget = Target(strRequest);
            Route fnRoute;
            {
                std::lock_guard lock(m_mutex);
                auto it = m_routes.find(strTarget.substr(0, strTarget.find('?')));
                if (it != m_routes.end())
                    fnRoute = it->second;
            }
            const std::string strReply = fnRoute ? fnRoute(strRequest) : Reply("404 Not Found", "", "");
            if (!conn.Send(strReply))
                return;
        }
    }

    std::mutex m_mutex;
    std::map<std::string, Route> m_routes;
    CRawServer m_server;  // Last: its handlers use the routes.
};

struct SColumn {
    int nType;
    std::string strName;
    std::string strPath;
    std::string strAttribute;
    std::string strLinked;  // markup of a linked page's <location>, for type 4
};

std::string Key(const std::string& strName, const std::string& strValue)
{
    std::string strEscaped;
    for (char c : strValue)
        strEscaped += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    return "<" + strName + ">" + strEscaped + "</" + strName + ">";
}

// A task over rows "html@body@table@tr", one row per record.
std::string Definition(const std::string& strUrl, const std::vector<SColumn>& aColumns,
                       const std::string& strNetworkExtra = "", int nMethod = 0,
                       const std::string& strParams = "")
{
    std::string s = "<root><general>" + Key("taskname", "web") + Key("frequence", "1") + Key("autoload", "0") +
                    "</general><network>" + Key("url", strUrl) + Key("refurl", "") +
                    Key("method", std::to_string(nMethod)) + strParams + Key("webpost", "0") + strNetworkExtra +
                    "</network><database>" + Key("type", "0") + Key("savetodb", "0") +
                    "</database><location>" + Key("path", "html@body@table@tr") + Key("step", "#tr");
    int nOrder = 1;
    for (const SColumn& c : aColumns) {
        s += "<data>" + Key("type", std::to_string(c.nType)) + Key("name", c.strName) + Key("path", c.strPath) +
             Key("order", std::to_string(nOrder)) + Key("only", nOrder == 1 ? "1" : "0") +
             Key("attribute", c.strAttribute) + Key("splitter", "|") + c.strLinked + "</data>";
        ++nOrder;
    }
    return s + "</location></root>";
}

std::string Rows(const std::vector<std::string>& aCells)
{
    std::string s = "<table>";
    for (const std::string& str : aCells)
        s += "<tr><td>" + str + "</td></tr>";
    return s + "</table>";
}

struct SRun {
    int nStatus = -1;
    std::string strOut;  // the rows, without the line of column names
    std::string strLog;
};

class WebPagesTest : public ::testing::Test {
protected:
    SRun Run(const std::string& strDef, int nPasses = 1)
    {
        const std::string strDefPath = m_dir.GetPath() + "/task.dat";
        std::ofstream(strDefPath, std::ios::binary) << strDef;
        const std::string strOut = m_dir.GetPath() + "/out", strErr = m_dir.GetPath() + "/err";
        const std::string strPasses = std::to_string(nPasses);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // Every run starts without kept records, as each stands for a task of its own.
        const std::string strState = m_dir.GetPath() + "/state-" + std::to_string(++m_nRuns) + ".records";
        const char* apszArgs[] = { QUARVEX_CLI, "run", strDefPath.c_str(), "--passes", strPasses.c_str(),
                                   "--state", strState.c_str(), nullptr };
        pid_t pid = 0;
        SRun run;
        if (posix_spawn(&pid, QUARVEX_CLI, &actions, nullptr, const_cast<char**>(apszArgs), environ) == 0) {
            int nStatus = 0;
            waitpid(pid, &nStatus, 0);
            run.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        }
        posix_spawn_file_actions_destroy(&actions);
        run.strOut = ReadAll(strOut);
        // The first line names the columns.
        run.strOut.erase(0, run.strOut.find('\n') + 1);
        run.strLog = ReadAll(strErr);
        return run;
    }

    CTempDir m_dir;
    int m_nRuns = 0;
    CSite m_site;
};

TEST_F(WebPagesTest, RelativeLinksBaseAndCharacterReferences)
{
    // The list sits in /list/ but names /other/ as its base; the links are
    // relative, written with character references.
    m_site.Add("/list/index.html", [](const std::string&) {
        return Html("text/html", "<html><head><base href=\"/other/\"></head><body>" +
                                     Rows({ "Tom &amp; Jerry <a href=\"item/1.html?a=1&amp;b=2#top\">1</a>",
                                            "&lt;two&gt; <a href=\"../up.html\">2</a>" }) +
                                     "</body></html>");
    });
    m_site.Add("/other/item/1.html", [](const std::string& strRequest) {
        return Html("text/html", "<html><body><div>item one " + Target(strRequest) + "</div></body></html>");
    });
    m_site.Add("/up.html", [](const std::string&) {
        return Html("text/html", "<html><body><div>up &copy; page</div></body></html>");
    });
    const std::string strLinked = "<location>" + Key("path", "html@body@div") + Key("step", "") + "<data>" +
                                  Key("type", "0") + Key("name", "body") + Key("path", "") + Key("order", "1") +
                                  Key("only", "0") + "</data></location>";
    const SRun run = Run(Definition(m_site.Url("/list/index.html"),
                                    { { 0, "text", "@td", "", "" },
                                      { 3, "href", "@td@a", "href", "" },
                                      { 4, "page", "@td@a", "href", strLinked },
                                      { 2, "outer", "@td", "", "" } }));
    EXPECT_EQ(run.nStatus, 0) << run.strLog;
    // Text and attribute values are decoded; the outer HTML stays as written.
    EXPECT_NE(run.strOut.find("Tom & Jerry1\titem/1.html?a=1&b=2#top\titem one /other/item/1.html?a=1&b=2\t"
                              "<td>Tom &amp; Jerry <a href=\"item/1.html?a=1&amp;b=2#top\">1</a></td>"),
              std::string::npos) << run.strOut << run.strLog;
    EXPECT_NE(run.strOut.find("<two>2\t../up.html\tup © page\t"), std::string::npos) << run.strOut;
}

TEST_F(WebPagesTest, EveryCharsetBecomesUtf8)
{
    struct { const char* pszPath; const char* pszType; std::string strBody; const char* pszLogged; } pages[] = {
        { "/gbk",    "text/html; charset=GBK",    "\xd6\xd0\xce\xc4", "GB18030" },
        { "/gb18030", "text/html",                "\xa8\xa6\xa2\xe3\x94\x39\xfc\x36", "GB18030" },  // nothing declared
        { "/big5",   "text/html",                 "<meta charset=big5>\xa4\xa4\xa4\xe5", "BIG5-HKSCS" },
        { "/sjis",   "text/html; charset=Shift_JIS", "\x93\xfa\x96\x7b", "CP932" },
        { "/latin1", "text/html; charset=iso-8859-1", "caf\xe9", "WINDOWS-1252" },
        { "/lying",  "text/html; charset=gbk",     "<meta charset=utf-8>\xd6\xd0\xce\xc4", "GB18030" },
    };
    const char* apszExpected[] = { "中文", "é€😀", "中文", "日本", "café", "中文" };
    for (std::size_t i = 0; i < std::size(pages); ++i) {
        const std::string strBody = pages[i].strBody;
        const std::string strType = pages[i].pszType;
        m_site.Add(pages[i].pszPath, [strBody, strType](const std::string&) {
            return Html(strType, "<html><body><table><tr><td>" + strBody + "</td></tr></table></body></html>");
        });
        const SRun run = Run(Definition(m_site.Url(pages[i].pszPath), { { 0, "text", "@td", "", "" } }));
        EXPECT_EQ(run.strOut, std::string(apszExpected[i]) + "\n") << pages[i].pszPath << run.strLog;
        EXPECT_NE(run.strLog.find(std::string("网页按") + pages[i].pszLogged), std::string::npos)
            << pages[i].pszPath << run.strLog;
    }
    // UTF-16 with its byte-order mark.
    std::string strUtf16 = "\xFF\xFE";
    for (char c : std::string("<html><body><table><tr><td>"))
        strUtf16 += std::string{ c, '\0' };
    strUtf16 += std::string("\x2d\x4e", 2);
    m_site.Add("/utf16", [strUtf16](const std::string&) { return Html("text/html", strUtf16); });
    SRun run = Run(Definition(m_site.Url("/utf16"), { { 0, "text", "@td", "", "" } }));
    EXPECT_EQ(run.strOut, "中\n") << run.strLog;
    // The task's own choice wins over what the page says.
    m_site.Add("/chosen", [](const std::string&) {
        return Html("text/html; charset=utf-8", "<html><body><table><tr><td>\xa4\xa4</td></tr></table></body></html>");
    });
    run = Run(Definition(m_site.Url("/chosen"), { { 0, "text", "@td", "", "" } }, Key("charset", "big5")));
    EXPECT_EQ(run.strOut, "中\n") << run.strLog;
    EXPECT_NE(run.strLog.find("任务设置"), std::string::npos) << run.strLog;
}

TEST_F(WebPagesTest, FormValuesGoInTheChosenCharset)
{
    m_site.Add("/form", [](const std::string& strRequest) {
        return Html("text/html; charset=gbk", "<html><body><table><tr><td>" + Target(strRequest) +
                                                  "</td></tr></table></body></html>");
    });
    const SRun run = Run(Definition(m_site.Url("/form"), { { 0, "text", "@td", "", "" } }, Key("charset", "gbk"), 0,
                                    "<parameter>" + Key("name", "q") + Key("value", "中文") + "</parameter>"));
    const std::vector<std::string> aRequests = m_site.RequestsFor("/form");
    ASSERT_EQ(aRequests.size(), 1u);
    // GBK bytes, percent-encoded or raw as the client writes a target.
    const std::string strTarget = Target(aRequests[0]);
    EXPECT_TRUE(strTarget == "/form?q=%D6%D0%CE%C4" || strTarget == "/form?q=\xd6\xd0\xce\xc4") << strTarget;
}

TEST_F(WebPagesTest, GzipAndDeflateBodies)
{
    const std::string strPage = "<html><body>" + Rows({ "packed" }) + "</body></html>";
    m_site.Add("/gzip", [strPage](const std::string&) {
        return Reply("200 OK", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n", Compress(strPage, 31, 6));
    });
    m_site.Add("/deflate", [strPage](const std::string&) {
        return Reply("200 OK", "Content-Encoding: deflate\r\n", Compress(strPage, 15, 6));
    });
    m_site.Add("/chunked", [strPage](const std::string&) {
        const std::string strBody = Compress(strPage, 31, 6);
        const std::size_t nHalf = strBody.size() / 2;
        std::ostringstream s;
        s << "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" << std::hex
          << nHalf << "\r\n" << strBody.substr(0, nHalf) << "\r\n" << strBody.size() - nHalf << "\r\n"
          << strBody.substr(nHalf) << "\r\n0\r\n\r\n";
        return s.str();
    });
    m_site.Add("/bomb", [](const std::string&) {
        return Reply("200 OK", "Content-Encoding: gzip\r\n", Compress(std::string(30 << 20, ' '), 31, 6));
    });
    for (const char* pszPath : { "/gzip", "/deflate", "/chunked" }) {
        const SRun run = Run(Definition(m_site.Url(pszPath), { { 0, "text", "@td", "", "" } }));
        EXPECT_EQ(run.strOut, "packed\n") << pszPath << run.strLog;
    }
    EXPECT_EQ(Header(m_site.RequestsFor("/gzip").at(0), "Accept-Encoding"), "gzip, deflate");
    const SRun run = Run(Definition(m_site.Url("/bomb"), { { 0, "text", "@td", "", "" } }));
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_EQ(run.strOut, "");
    EXPECT_NE(run.strLog.find("错误原因"), std::string::npos) << run.strLog;
}

TEST_F(WebPagesTest, EveryRedirectCode)
{
    for (const char* pszCode : { "301 Moved Permanently", "302 Found", "303 See Other", "307 Temporary Redirect",
                                 "308 Permanent Redirect" }) {
        const std::string strCode(pszCode, 3);
        m_site.Add("/r" + strCode, [strCode](const std::string& strRequest) {
            // Relative targets, resolved against the address asked for.
            return Reply(strCode + " Moved", "Location: ../final?from=" + strCode + "\r\n", "");
        });
    }
    m_site.Add("/final", [](const std::string& strRequest) {
        return Html("text/html", "<html><body>" + Rows({ strRequest.substr(0, strRequest.find(' ')) + " " +
                                                         strRequest.substr(strRequest.find("\r\n\r\n") + 4) }) +
                                     "</body></html>");
    });
    const std::string strParam = "<parameter>" + Key("name", "x") + Key("value", "1") + "</parameter>";
    struct { const char* pszCode; const char* pszRow; } cases[] = {
        { "301", "GET\n" }, { "302", "GET\n" }, { "303", "GET\n" }, { "307", "POST x=1\n" }, { "308", "POST x=1\n" },
    };
    for (const auto& c : cases) {
        const SRun run = Run(Definition(m_site.Url(std::string("/r") + c.pszCode), { { 0, "text", "@td", "", "" } },
                                        "", 1, strParam));
        EXPECT_EQ(run.strOut, c.pszRow) << c.pszCode << run.strLog;
        EXPECT_NE(run.strLog.find("/final?from=" + std::string(c.pszCode)), std::string::npos) << run.strLog;
    }
    // A loop ends after ten redirects with -6, and the log names it.
    m_site.Add("/loop", [](const std::string&) { return Reply("302 Found", "Location: /loop2\r\n", ""); });
    m_site.Add("/loop2", [](const std::string&) { return Reply("302 Found", "Location: /loop\r\n", ""); });
    const SRun run = Run(Definition(m_site.Url("/loop"), { { 0, "text", "@td", "", "" } }));
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.strLog.find("连续重定向超过10次"), std::string::npos) << run.strLog;
    EXPECT_NE(run.strLog.find("/loop2 -> "), std::string::npos) << run.strLog;
    EXPECT_EQ(m_site.RequestsFor("/loop").size() + m_site.RequestsFor("/loop2").size(), 11u);
}

TEST_F(WebPagesTest, CredentialsStayWithTheirSite)
{
    CSite other;
    other.Add("/x", [](const std::string&) { return Html("text/html", "<html><body>" + Rows({ "there" }) + "</body></html>"); });
    const std::string strOther = other.Url("/x");
    m_site.Add("/away", [strOther](const std::string&) {
        return Reply("302 Found", "Location: " + strOther + "\r\nSet-Cookie: sid=secret\r\n", "");
    });
    const std::string strAuth = "<authentication>" + Key("name", "u") + Key("pass", "p") + "</authentication>";
    const SRun run = Run(Definition(m_site.Url("/away"), { { 0, "text", "@td", "", "" } }, strAuth));
    EXPECT_EQ(run.strOut, "there\n") << run.strLog;
    ASSERT_EQ(m_site.RequestsFor("/away").size(), 1u);
    EXPECT_NE(Header(m_site.RequestsFor("/away")[0], "Authorization"), "");
    ASSERT_EQ(other.RequestsFor("/x").size(), 1u);
    // Another port is another site: neither the credentials nor the cookie go there.
    EXPECT_EQ(Header(other.RequestsFor("/x")[0], "Authorization"), "");
    EXPECT_EQ(Header(other.RequestsFor("/x")[0], "Cookie"), "");
}

TEST_F(WebPagesTest, UnchangedPageEndsThePassWith304)
{
    std::atomic<int> nServed{ 0 };
    m_site.Add("/cond", [&nServed](const std::string& strRequest) {
        if (Header(strRequest, "If-None-Match") == "\"v1\"")
            return Reply("304 Not Modified", "ETag: \"v1\"\r\n", "");
        ++nServed;
        return Reply("200 OK", "ETag: \"v1\"\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n",
                     "<html><body>" + Rows({ "one", "two" }) + "</body></html>");
    });
    const SRun run = Run(Definition(m_site.Url("/cond"), { { 0, "text", "@td", "", "" } }), 2);
    EXPECT_EQ(run.nStatus, 0) << run.strLog;
    EXPECT_EQ(run.strOut, "one\ntwo\n");
    EXPECT_EQ(nServed.load(), 1);
    const std::vector<std::string> aRequests = m_site.RequestsFor("/cond");
    ASSERT_EQ(aRequests.size(), 2u);
    EXPECT_EQ(Header(aRequests[0], "If-None-Match"), "");
    EXPECT_EQ(Header(aRequests[1], "If-Modified-Since"), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_NE(run.strLog.find("没有变化（304）"), std::string::npos) << run.strLog;
    EXPECT_EQ(run.strLog.find("成功摘取到0条记录"), std::string::npos) << run.strLog;
}

TEST_F(WebPagesTest, CookiesSetOnOnePassAreSentOnTheNext)
{
    m_site.Add("/members", [](const std::string& strRequest) {
        const std::string strCookie = Header(strRequest, "Cookie");
        if (strCookie.find("sid=42") == std::string::npos)
            return Reply("200 OK", "Set-Cookie: sid=42; Path=/; Max-Age=3600\r\nSet-Cookie: bad=1; Domain=com\r\n",
                         "<html><body>" + Rows({ "guest" }) + "</body></html>");
        return Reply("200 OK", "", "<html><body>" + Rows({ "member " + strCookie }) + "</body></html>");
    });
    const SRun run = Run(Definition(m_site.Url("/members"), { { 0, "text", "@td", "", "" } }), 2);
    EXPECT_EQ(run.strOut, "guest\nmember sid=42\n") << run.strLog;
}

TEST_F(WebPagesTest, TheTasksOwnHeadersAndUserAgent)
{
    m_site.Add("/h", [](const std::string&) { return Html("text/html", "<html><body>" + Rows({ "ok" }) + "</body></html>"); });
    const std::string strExtra = Key("useragent", "QuarvexTest/1.0") + "<header>" + Key("name", "X-Token") +
                                 Key("value", "abc") + "</header><header>" + Key("name", "Host") +
                                 Key("value", "evil") + "</header>";
    SRun run = Run(Definition(m_site.Url("/h"), { { 0, "text", "@td", "", "" } }, strExtra));
    EXPECT_EQ(run.strOut, "ok\n") << run.strLog;
    EXPECT_NE(run.strLog.find("“Host”"), std::string::npos) << run.strLog;
    std::vector<std::string> aRequests = m_site.RequestsFor("/h");
    ASSERT_EQ(aRequests.size(), 1u);
    EXPECT_EQ(Header(aRequests[0], "User-Agent"), "QuarvexTest/1.0");
    EXPECT_EQ(Header(aRequests[0], "X-Token"), "abc");
    EXPECT_EQ(Header(aRequests[0], "Host").find("evil"), std::string::npos);
    // Without the keys the request is as before.
    run = Run(Definition(m_site.Url("/h"), { { 0, "text", "@td", "", "" } }));
    aRequests = m_site.RequestsFor("/h");
    EXPECT_EQ(Header(aRequests.back(), "User-Agent"), "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)");
    EXPECT_EQ(Header(aRequests.back(), "X-Token"), "");
}

} // namespace

namespace {

// Runs quarvex-cli with aArgs; standard output and error into run.
SRun RunCli(const std::string& strDir, const std::vector<std::string>& aArgs)
{
    const std::string strOut = strDir + "/cli-out", strErr = strDir + "/cli-err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> apArgs{ const_cast<char*>(QUARVEX_CLI) };
    for (const std::string& str : aArgs)
        apArgs.push_back(const_cast<char*>(str.c_str()));
    apArgs.push_back(nullptr);
    pid_t pid = 0;
    SRun run;
    if (posix_spawn(&pid, QUARVEX_CLI, &actions, nullptr, apArgs.data(), environ) == 0) {
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        run.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.strOut = ReadAll(strOut);
    run.strLog = ReadAll(strErr);
    return run;
}

} // namespace

TEST_F(WebPagesTest, CommandLineReadsPagesAsATaskDoes)
{
    const std::string strGbk = "<html><body><table><tr><td>\xd6\xd0 &amp; \xce\xc4</td></tr></table></body></html>";
    const std::string strPage = m_dir.WriteFile("gbk.html", strGbk);
    const std::string strDef = m_dir.WriteFile("def.dat", Definition("http://h/", { { 0, "text", "@td", "", "" } }));
    // extract decodes the page (found: not UTF-8, so GB18030) and its references.
    SRun run = RunCli(m_dir.GetPath(), { "extract", strDef, strPage });
    EXPECT_EQ(run.strOut, "text\n中 & 文\n") << run.strLog;
    run = RunCli(m_dir.GetPath(), { "extract", "--charset", "big5", strDef, strPage });
    EXPECT_NE(run.strOut, "text\n中 & 文\n");
    EXPECT_EQ(RunCli(m_dir.GetPath(), { "extract", "--charset", "klingon", strDef, strPage }).nStatus, 2);
    // tree keeps byte offsets into the file unless asked to convert.
    run = RunCli(m_dir.GetPath(), { "tree", "--spans", strPage });
    EXPECT_NE(run.strOut.find("\n5 0 27 38 27 38\n"), std::string::npos) << run.strOut;  // the text run in the file
    run = RunCli(m_dir.GetPath(), { "tree", "--spans", "--charset", "gbk", strPage });
    EXPECT_NE(run.strOut.find("\n5 0 27 40 27 40\n"), std::string::npos) << run.strOut;  // in the UTF-8 text
    run = RunCli(m_dir.GetPath(), { "select", strPage, "html@body@table@tr@td", "--charset", "gbk" });
    EXPECT_EQ(run.strOut, "中 &amp; 文");
    run = RunCli(m_dir.GetPath(), { "select", strPage, "html@body@table@tr@td" });
    EXPECT_EQ(run.strOut, "\xd6\xd0 &amp; \xce\xc4");
}

TEST_F(WebPagesTest, FetchCommandHeadersCookiesCharsetCompression)
{
    m_site.Add("/f", [](const std::string& strRequest) {
        const std::string strBody = "\xd6\xd0 " + Header(strRequest, "X-A") + " " + Header(strRequest, "Cookie") +
                                    " " + Header(strRequest, "Accept-Encoding");
        return Reply("200 OK", "Content-Type: text/plain; charset=gbk\r\nContent-Encoding: gzip\r\n"
                               "Set-Cookie: c=1; Max-Age=600\r\n", Compress(strBody, 31, 6));
    });
    const std::string strJar = m_dir.GetPath() + "/jar.txt";
    SRun run = RunCli(m_dir.GetPath(), { "fetch", "--header", "X-A: b", "--cookie-jar", strJar, "--charset", "auto",
                                         m_site.Url("/f") });
    EXPECT_EQ(run.nStatus, 0) << run.strLog;
    EXPECT_EQ(run.strOut, "中 b  gzip, deflate");
    EXPECT_NE(ReadAll(strJar).find("\tc\t1\n"), std::string::npos) << ReadAll(strJar);
    run = RunCli(m_dir.GetPath(), { "fetch", "--cookie-jar", strJar, m_site.Url("/f") });
    EXPECT_EQ(run.strOut, "\xd6\xd0  c=1 gzip, deflate");
    EXPECT_EQ(RunCli(m_dir.GetPath(), { "fetch", "--header", "Host: x", m_site.Url("/f") }).nStatus, 2);
    run = RunCli(m_dir.GetPath(), { "fetch", "--no-compressed", m_site.Url("/f") });
    EXPECT_EQ(run.strOut, "\xd6\xd0   ");  // a body compressed unasked is decoded all the same
}
