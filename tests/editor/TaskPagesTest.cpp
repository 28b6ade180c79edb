// TaskPagesTest.cpp - what the property sheet's pages read, refuse and write.
#include <gtest/gtest.h>

#include "editor/TaskPages.h"

namespace {

using namespace quarvex;

std::string TextOf(const CMarkupDoc& doc)
{
    std::string s;
    doc.SaveToString(s);
    return s;
}

TEST(TaskPagesTest, PeriodRange)
{
    struct { const char* pszText; bool bOk; } cases[] = {
        {"0", false}, {"-5", false}, {"2592001", false}, {"", false}, {"abc", false},
        {"1", true}, {"2592000", true}, {"60s", true}, {" 60", true}, {"60abc", true},
        {"4294967356", false},   // 2^32 + 60 must not wrap to 60
        {"-4294967236", false},  // nor its negative twin
        {"99999999999999999999", false},
    };
    for (const auto& c : cases) {
        SGeneralPage page;
        page.strTaskName = "t";
        page.strUrl = "http://h/";
        page.strPeriod = c.pszText;
        EXPECT_EQ(CheckGeneralPage(page), c.bOk ? GENERAL_OK : GENERAL_BAD_PERIOD) << c.pszText;
    }
}

TEST(TaskPagesTest, GeneralChecksInOrder)
{
    SGeneralPage page;
    EXPECT_EQ(CheckGeneralPage(page), GENERAL_NO_NAME);
    page.strTaskName = "t";
    EXPECT_EQ(CheckGeneralPage(page), GENERAL_BAD_PERIOD);
    page.strPeriod = "60";
    EXPECT_EQ(CheckGeneralPage(page), GENERAL_NO_URL);
    page.strUrl = "x";
    EXPECT_EQ(CheckGeneralPage(page), GENERAL_OK);
}

TEST(TaskPagesTest, QueryStringImport)
{
    std::vector<NameValue> aParams;
    std::string strUrl = "http://h/page.asp?a=1&b=&c";
    ASSERT_TRUE(ImportQueryString(strUrl, aParams));
    EXPECT_EQ(strUrl, "http://h/page.asp");
    ASSERT_EQ(aParams.size(), 3u);
    EXPECT_EQ(aParams[0].strName, "a");
    EXPECT_EQ(aParams[0].strValue, "1");
    EXPECT_EQ(aParams[1].strName, "b");
    EXPECT_EQ(aParams[1].strValue, "");
    EXPECT_EQ(aParams[2].strName, "c");
    EXPECT_EQ(aParams[2].strValue, "");
    strUrl = "http://h/page.asp?a=2&A=x%20y=z";
    ASSERT_TRUE(ImportQueryString(strUrl, aParams));
    ASSERT_EQ(aParams.size(), 4u) << "a is replaced, A is another name";
    EXPECT_EQ(aParams[0].strValue, "2");
    EXPECT_EQ(aParams[3].strName, "A");
    EXPECT_EQ(aParams[3].strValue, "x%20y=z") << "nothing decoded, the first '=' splits";
    EXPECT_FALSE(ImportQueryString(strUrl, aParams));
}

TEST(TaskPagesTest, GeneralPageRoundTripKeepsUnknownKeysAndOrder)
{
    CMarkupDoc doc;
    doc.Parse("<root><network><url>http://old/</url><extra>kept</extra>"
              "<parameter><value>no name</value></parameter>"
              "<authentication><name>u</name><pass>p</pass></authentication>"
              "<parameter><name>q</name><value>1</value></parameter></network>"
              "<general><taskname>old</taskname></general></root>");
    SGeneralPage page;
    ReadGeneralPage(doc, page);
    EXPECT_TRUE(page.bAuth);
    EXPECT_EQ(page.strAuthName, "u");
    ASSERT_EQ(page.aParams.size(), 1u) << "a parameter without a name is not shown";
    page.strTaskName = "新闻";
    page.strPeriod = "60s";
    page.bAutoLoad = true;
    page.strUrl = "http://h/list";
    page.nMethod = METHOD_POST;
    page.bAuth = false;
    page.aParams.push_back({"p", "2"});
    ASSERT_EQ(CheckGeneralPage(page), GENERAL_OK);
    WriteGeneralPage(doc, page);
    EXPECT_EQ(TextOf(doc),
              "\r\n<root>\r\n"
              "\t<network>\r\n\t\t<url>http://h/list</url>\r\n\t\t<extra>kept</extra>\r\n"
              "\t\t<refurl></refurl>\r\n\t\t<method>1</method>\r\n"
              "\t\t<parameter>\r\n\t\t\t<name>q</name>\r\n\t\t\t<value>1</value>\r\n\t\t</parameter>\r\n"
              "\t\t<parameter>\r\n\t\t\t<name>p</name>\r\n\t\t\t<value>2</value>\r\n\t\t</parameter>\r\n"
              "\t</network>\r\n"
              "\t<general>\r\n\t\t<taskname>新闻</taskname>\r\n\t\t<frequence>60s</frequence>\r\n"
              "\t\t<autoload>1</autoload>\r\n\t</general>\r\n"
              "</root>");
}

TEST(TaskPagesTest, NewDefinitionWrittenByEveryPage)
{
    CMarkupDoc doc;
    SGeneralPage general;
    general.strTaskName = "t";
    general.strPeriod = "30";
    general.strUrl = "http://h/";
    general.bAuth = true;
    general.strAuthName = "n";
    general.strAuthPass = "p";
    WriteGeneralPage(doc, general);
    SWebPostPage webpost;
    ReadWebPostPage(doc, webpost);
    EXPECT_FALSE(webpost.bWebPost);
    EXPECT_EQ(CheckWebPostPage(webpost), WEBPOST_OK) << "empty fields pass while web post is off";
    WriteWebPostPage(doc, webpost);
    SDatabasePage database;
    ReadDatabasePage(doc, database);
    EXPECT_EQ(database.nType, DB_ACCESS);
    database.aFields = {{"title", "<@@t@@>"}};
    WriteDatabasePage(doc, database);
    EXPECT_EQ(TextOf(doc),
              "\r\n<root>\r\n"
              "\t<general>\r\n\t\t<taskname>t</taskname>\r\n\t\t<frequence>30</frequence>\r\n"
              "\t\t<autoload>0</autoload>\r\n\t</general>\r\n"
              "\t<network>\r\n\t\t<url>http://h/</url>\r\n\t\t<refurl></refurl>\r\n\t\t<method>0</method>\r\n"
              "\t\t<authentication>\r\n\t\t\t<name>n</name>\r\n\t\t\t<pass>p</pass>\r\n\t\t</authentication>\r\n"
              "\t\t<webpost>0</webpost>\r\n\t\t<webpostmethod>0</webpostmethod>\r\n"
              "\t\t<webposturl></webposturl>\r\n\t\t<webpostvar></webpostvar>\r\n"
              "\t</network>\r\n"
              "\t<database>\r\n\t\t<type>0</type>\r\n\t\t<server></server>\r\n\t\t<database></database>\r\n"
              "\t\t<account></account>\r\n\t\t<password></password>\r\n\t\t<savetodb>0</savetodb>\r\n"
              "\t\t<tablename></tablename>\r\n"
              "\t\t<datafield>\r\n\t\t\t<name>title</name>\r\n\t\t\t<value>&lt;@@t@@&gt;</value>\r\n\t\t</datafield>\r\n"
              "\t</database>\r\n"
              "</root>");
    // Unticking the authentication removes it with its name and password.
    general.bAuth = false;
    WriteGeneralPage(doc, general);
    EXPECT_EQ(TextOf(doc).find("authentication"), std::string::npos);
}

TEST(TaskPagesTest, WebPostChecksOnlyWhenOn)
{
    SWebPostPage page;
    page.bWebPost = true;
    EXPECT_EQ(CheckWebPostPage(page), WEBPOST_NO_URL);
    page.strUrl = "http://h/post";
    EXPECT_EQ(CheckWebPostPage(page), WEBPOST_NO_VAR);
    page.strVar = "a=<@@x@@>";
    EXPECT_EQ(CheckWebPostPage(page), WEBPOST_OK);
}

TEST(TaskPagesTest, ValueChoicesFollowTheColumns)
{
    CMarkupDoc doc;
    doc.Parse("<root></root>");
    EXPECT_EQ(BuildValueChoices(doc), (std::vector<std::string>{"<@SKIP@>", "<@NULL@>", "<@NOW@>"}));
    doc.Parse("<root><location><path>html</path>"
              "<data><type>5</type><name>F</name><order>2</order></data>"
              "<data><type>0</type><name>A</name><order>1</order></data>"
              "<data><type>0</type><order>3</order></data></location></root>");
    EXPECT_EQ(BuildValueChoices(doc),
              (std::vector<std::string>{"<@SKIP@>", "<@NULL@>", "<@NOW@>", "<@@A@@>", "<@@F@@>", "<@#F#@>",
                                        "<@@数据@@>"}));
}

} // namespace

namespace {

TEST(TaskPagesTest, HeaderLines)
{
    using quarvex::NameValue;
    const std::vector<NameValue> aHeaders = quarvex::ParseHeaderLines("X-A: 1\r\n\n  Accept :zh-CN,en \nBare\nX-B: a:b\n");
    ASSERT_EQ(aHeaders.size(), 4u);
    EXPECT_EQ(aHeaders[1].strName, "Accept");
    EXPECT_EQ(aHeaders[1].strValue, "zh-CN,en");
    EXPECT_EQ(aHeaders[2].strName, "Bare");
    EXPECT_EQ(aHeaders[2].strValue, "");
    EXPECT_EQ(aHeaders[3].strValue, "a:b") << "the first ':' splits";
    EXPECT_EQ(quarvex::FormatHeaderLines({aHeaders[0], aHeaders[3]}), "X-A: 1\nX-B: a:b\n");
}

TEST(TaskPagesTest, AdvancedKeysOnlyWhenSetOrPresent)
{
    quarvex::CMarkupDoc doc;
    doc.Parse("<root><network><url>u</url></network></root>");
    quarvex::SAdvancedPage page;
    quarvex::ReadAdvancedPage(doc, page);
    ASSERT_EQ(page.aValues.size(), quarvex::GetAdvancedKeys().size());
    quarvex::WriteAdvancedPage(doc, page);
    EXPECT_EQ(TextOf(doc), "\r\n<root>\r\n\t<network>\r\n\t\t<url>u</url>\r\n\t</network>\r\n</root>")
        << "nothing set, nothing written";
}

} // namespace
