// LinkedFetchTest.cpp - linked pages and linked files against a server on
// 127.0.0.1 that the test runs in-process.
#include "HtmlDoc.h"
#include "Location.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <cstdio>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace {

class LinkedFetchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_server.Get("/detail/1.html", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html><body><h1>First</h1><p>one</p><p>two</p>"
                            "<a href='" + Url("/detail/2.html") + "'>more</a></body></html>", "text/html");
        });
        m_server.Get("/detail/2.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html><body><h1>Second</h1></body></html>", "text/html");
        });
        m_server.Get("/empty.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("", "text/html");
        });
        m_server.Get("/img/a.jpg", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string("JPEG\0\x01\xff", 7), "image/jpeg");
        });
        m_server.Get("/files/b.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("redirected body", "application/octet-stream");
        });
        m_server.Get("/moved", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", Url("/files/b.bin"));
            res.set_content("moved", "text/plain");
        });
        m_server.Get("/moved-empty", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", Url("/files/b.bin"));
        });
        m_server.Get(R"(/any/.*)", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("any", "text/plain");
        });
        m_nPort = m_server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(m_nPort, 0) << "cannot bind a port on 127.0.0.1";
        // The socket listens from bind_to_any_port on, so requests queue
        // until the accept loop runs.
        m_thread = std::thread([this] { m_server.listen_after_bind(); });

        char szDir[] = "/tmp/quarvex-linked-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strTempDir = szDir;
        m_strFileDir = m_strTempDir + "/files/";
        std::filesystem::create_directory(m_strFileDir);
    }

    void TearDown() override
    {
        m_server.stop();
        if (m_thread.joinable())
            m_thread.join();
        if (!m_strTempDir.empty())
            std::filesystem::remove_all(m_strTempDir);
    }

    std::string Url(const std::string& strPath) const
    {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + strPath;
    }

    // The value of a column of nType on the first <a> of a page linking to
    // strLink.
    std::string ValueOfLink(const std::string& strLink, CDataNode* pColumn)
    {
        const std::string strPage = "<div><a href='" + strLink + "'>link</a></div>";
        CHtmlDoc doc;
        doc.Parse(strPage.c_str());
        CLocation block("div", "");
        pColumn->m_strPath = "@a";
        pColumn->m_strAttribute = "href";
        block.AddDataNode(pColumn);
        EXPECT_TRUE(block.Resolve(doc));
        std::string strValue = "stale";
        pColumn->GetValue(strValue);
        return strValue;
    }

    CDataNode* LinkedFile()
    {
        CDataNode* pColumn = new CDataNode;
        pColumn->m_nType = CDataNode::TYPE_LINKED_FILE;
        pColumn->m_strOption = m_strFileDir;
        return pColumn;
    }

    static std::string ReadFile(const std::string& strPath)
    {
        std::ifstream in(strPath, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    size_t CountFiles(const std::string& strDir) const
    {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(strDir))
            ++n;
        return n;
    }

    httplib::Server m_server;
    std::thread m_thread;
    int m_nPort = 0;
    std::string m_strTempDir;
    std::string m_strFileDir;
};

CDataNode* TextColumn(const char* pszPath, int nOrder)
{
    CDataNode* pColumn = new CDataNode;
    pColumn->m_strPath = pszPath;
    pColumn->m_nOrder = nOrder;
    return pColumn;
}

} // namespace

TEST_F(LinkedFetchTest, LinkedPageJoinsTheFirstRecordsValues)
{
    CDataNode* pColumn = new CDataNode;
    pColumn->m_nType = CDataNode::TYPE_LINKED_PAGE;
    pColumn->m_strOption = " | ";
    pColumn->m_pLinked = new CLocation("html@body", "");
    pColumn->m_pLinked->AddDataNode(TextColumn("@p", 2));
    pColumn->m_pLinked->AddDataNode(TextColumn("@h1", 1));
    CLocation* pRows = new CLocation("@p", "#p");  // stepping blocks are not walked
    pRows->AddDataNode(TextColumn("", 3));
    pColumn->m_pLinked->AddChild(pRows);
    EXPECT_EQ(ValueOfLink(Url("/detail/1.html"), pColumn), "First | one | one");
}

TEST_F(LinkedFetchTest, LinkedPageInsideALinkedPage)
{
    CDataNode* pColumn = new CDataNode;
    pColumn->m_nType = CDataNode::TYPE_LINKED_PAGE;
    pColumn->m_strOption = "/";
    pColumn->m_pLinked = new CLocation("html@body", "");
    pColumn->m_pLinked->AddDataNode(TextColumn("@h1", 1));
    CDataNode* pInner = new CDataNode;
    pInner->m_nType = CDataNode::TYPE_LINKED_PAGE;
    pInner->m_nOrder = 2;
    pInner->m_strPath = "@a";
    pInner->m_strAttribute = "href";
    pInner->m_pLinked = new CLocation("html@body@h1", "");
    pInner->m_pLinked->AddDataNode(TextColumn("", 0));
    pColumn->m_pLinked->AddDataNode(pInner);
    EXPECT_EQ(ValueOfLink(Url("/detail/1.html"), pColumn), "First/Second");
}

TEST_F(LinkedFetchTest, LinkedPageThatCannotBeUsedGivesNothing)
{
    for (const std::string& strLink : { Url("/empty.html"), Url("/missing.html"), Url("/detail/2.html"),
                                        std::string("http://127.0.0.1:1/x.html"), std::string() }) {
        CDataNode* pColumn = new CDataNode;
        pColumn->m_nType = CDataNode::TYPE_LINKED_PAGE;
        pColumn->m_pLinked = new CLocation("html@body@p", "");  // page 2 has no <p>
        pColumn->m_pLinked->AddDataNode(TextColumn("", 0));
        EXPECT_EQ(ValueOfLink(strLink, pColumn), "") << strLink;
    }
}

TEST_F(LinkedFetchTest, LinkedFileIsSavedUnderTheLinksLastName)
{
    EXPECT_EQ(ValueOfLink(Url("/img/a.jpg?x=1"), LinkedFile()), m_strFileDir + "a.jpg");
    EXPECT_EQ(ReadFile(m_strFileDir + "a.jpg"), std::string("JPEG\0\x01\xff", 7));
}

TEST_F(LinkedFetchTest, LinkedFileFollowsRedirects)
{
    EXPECT_EQ(ValueOfLink(Url("/moved"), LinkedFile()), m_strFileDir + "b.bin");
    EXPECT_EQ(ReadFile(m_strFileDir + "b.bin"), "redirected body");
    // A redirect without a body of its own is followed as well.
    std::remove((m_strFileDir + "b.bin").c_str());
    EXPECT_EQ(ValueOfLink(Url("/moved-empty"), LinkedFile()), m_strFileDir + "b.bin");
    EXPECT_EQ(CountFiles(m_strFileDir), 1u);
}

TEST_F(LinkedFetchTest, LinkedFileNamesThatAreNoFileSaveNothing)
{
    // The value is still the path, but nothing is written outside the
    // directory or onto the directory itself.
    EXPECT_EQ(ValueOfLink(Url("/any/"), LinkedFile()), m_strFileDir);
    EXPECT_EQ(ValueOfLink(Url("/any/."), LinkedFile()), m_strFileDir + ".");
    EXPECT_EQ(ValueOfLink(Url("/any/.."), LinkedFile()), m_strFileDir + "..");
    EXPECT_EQ(ValueOfLink(Url("/any/..?x=1"), LinkedFile()), m_strFileDir + "..");
    EXPECT_EQ(CountFiles(m_strFileDir), 0u);
    EXPECT_EQ(CountFiles(m_strTempDir), 1u);  // only files/
}

TEST_F(LinkedFetchTest, LinkedFileFailures)
{
    // Nothing fetched: empty value, nothing saved.
    EXPECT_EQ(ValueOfLink("http://127.0.0.1:1/a.jpg", LinkedFile()), "");
    EXPECT_EQ(ValueOfLink(Url("/empty.html"), LinkedFile()), "");
    EXPECT_EQ(CountFiles(m_strFileDir), 0u);
    // A directory that does not exist: the value is still the path.
    CDataNode* pColumn = LinkedFile();
    pColumn->m_strOption = m_strTempDir + "/missing/";
    EXPECT_EQ(ValueOfLink(Url("/img/a.jpg"), pColumn), m_strTempDir + "/missing/a.jpg");
}
