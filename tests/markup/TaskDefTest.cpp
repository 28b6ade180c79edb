// TaskDefTest.cpp - value rules of the task definition and a definition
// built the way the editor builds one.
#include "markup/TaskDef.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

using namespace quarvex;

TEST(TaskDefTest, ReadDecimalTakesLeadingDigitsAndClamps)
{
    struct {
        const char* pszText;
        int32_t nValue;
    } cases[] = {
        { "60", 60 },
        { "60abc", 60 },
        { "  \t42", 42 },
        { "+7", 7 },
        { "-5", -5 },
        { "abc", 0 },
        { "", 0 },
        { "- 5", 0 },          // blanks only before the sign
        { "0x10", 0 },
        { "2592001", 2592001 },
        { "2147483647", INT32_MAX },
        { "2147483648", INT32_MAX },
        { "-2147483648", INT32_MIN },
        { "-2147483649", INT32_MIN },
        { "99999999999999999999999", INT32_MAX },
        { "-99999999999999999999999", INT32_MIN },
        { "007", 7 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadDecimal(c.pszText), c.nValue) << c.pszText;
    EXPECT_EQ(ReadDecimal(nullptr), 0);
}

TEST(TaskDefTest, KeyReadersTreatMissingAsEmptyOrZero)
{
    CMarkupDoc doc;
    doc.Parse("<root><general><taskname>新闻</taskname><frequence>60abc</frequence>"
              "<autoload>1</autoload></general><network><method></method><webpost>0</webpost>"
              "</network></root>");
    const CMarkupNode* pGeneral = doc.FindPath(PATH_GENERAL);
    const CMarkupNode* pNetwork = doc.FindPath(PATH_NETWORK);
    EXPECT_EQ(GetKeyText(pGeneral, KEY_TASKNAME), "新闻");
    EXPECT_EQ(GetKeyNumber(pGeneral, KEY_FREQUENCE), 60);
    EXPECT_TRUE(GetKeyFlag(pGeneral, KEY_AUTOLOAD));
    EXPECT_EQ(GetKeyNumber(pNetwork, KEY_METHOD), METHOD_GET);
    EXPECT_FALSE(GetKeyFlag(pNetwork, KEY_WEBPOST));
    EXPECT_EQ(GetKeyText(pNetwork, KEY_URL), "");
    const CMarkupNode* pDatabase = doc.FindPath(PATH_DATABASE);
    EXPECT_EQ(pDatabase, nullptr);
    EXPECT_EQ(GetKeyText(pDatabase, KEY_TABLENAME), "");
    EXPECT_EQ(GetKeyNumber(pDatabase, KEY_TYPE), 0);
    EXPECT_FALSE(GetKeyFlag(pDatabase, KEY_SAVETODB));
}

TEST(TaskDefTest, DefinitionBuiltLikeTheEditorIsWrittenExactly)
{
    CMarkupDoc doc;
    CMarkupNode* pRoot = NewTaskDefinition(doc);
    CMarkupNode* pGeneral = FindOrAppendChild(pRoot, KEY_GENERAL);
    SetKeyText(pGeneral, KEY_TASKNAME, "news");
    SetKeyNumber(pGeneral, KEY_FREQUENCE, 60);
    SetKeyFlag(pGeneral, KEY_AUTOLOAD, false);
    CMarkupNode* pNetwork = FindOrAppendChild(pRoot, KEY_NETWORK);
    SetKeyText(pNetwork, KEY_URL, "http://127.0.0.1:8080/list?a=1&b=2");
    SetKeyNumber(pNetwork, KEY_METHOD, METHOD_POST);
    for (const char* pszName : { "p", "q" }) {
        CMarkupNode* pParameter = new CMarkupNode(KEY_PARAMETER);
        SetKeyText(pParameter, KEY_NAME, pszName);
        SetKeyText(pParameter, KEY_VALUE, "<v>");
        pNetwork->AppendChild(pParameter);
    }
    CMarkupNode* pLocation = new CMarkupNode(KEY_LOCATION);
    SetKeyText(pLocation, KEY_PATH, "@html@body");
    pRoot->AppendChild(pLocation);

    const char szExpected[] =
        "\r\n<root>\r\n\t<general>\r\n\t\t<taskname>news</taskname>\r\n\t\t<frequence>60</frequence>"
        "\r\n\t\t<autoload>0</autoload>\r\n\t</general>\r\n\t<network>"
        "\r\n\t\t<url>http://127.0.0.1:8080/list?a=1&b=2</url>\r\n\t\t<method>1</method>"
        "\r\n\t\t<parameter>\r\n\t\t\t<name>p</name>\r\n\t\t\t<value>&lt;v&gt;</value>\r\n\t\t</parameter>"
        "\r\n\t\t<parameter>\r\n\t\t\t<name>q</name>\r\n\t\t\t<value>&lt;v&gt;</value>\r\n\t\t</parameter>"
        "\r\n\t</network>\r\n\t<location>\r\n\t\t<path>@html@body</path>\r\n\t</location>\r\n</root>";
    std::string strText;
    ASSERT_TRUE(doc.SaveToString(strText));
    EXPECT_EQ(strText, szExpected);

    // Saving the General page again rewrites the parameters as a whole and
    // keeps single keys in place.
    RemoveChildren(pNetwork, KEY_PARAMETER);
    SetKeyText(pNetwork, KEY_URL, "http://127.0.0.1/");
    SetKeyText(pNetwork, KEY_REFURL, "");
    CMarkupDoc back;
    back.Parse(strText.c_str());
    EXPECT_EQ(back.FindPath(PATH_PARAMETER)->NextSameName()->GetChildValue(KEY_NAME), std::string("q"));
    strText.clear();
    ASSERT_TRUE(doc.SaveToString(strText));
    EXPECT_NE(strText.find("<network>\r\n\t\t<url>http://127.0.0.1/</url>\r\n\t\t<method>1</method>"
                           "\r\n\t\t<refurl></refurl>\r\n\t</network>"),
              std::string::npos)
        << strText;
}

TEST(TaskDefTest, NameValueListsAreRewrittenAsAWhole)
{
    CMarkupDoc doc;
    doc.Parse("<root><database><type>2</type><datafield><name>a</name><value>1</value></datafield>"
              "<tablename>t</tablename><datafield><value>only value</value></datafield>"
              "<datafield><name>c</name></datafield></database></root>");
    CMarkupNode* pDatabase = doc.FindPath(PATH_DATABASE);
    const std::vector<NameValue> aRead = GetNameValueList(pDatabase, KEY_DATAFIELD);
    ASSERT_EQ(aRead.size(), 3u);
    EXPECT_EQ(aRead[0].strName, "a");
    EXPECT_EQ(aRead[0].strValue, "1");
    EXPECT_EQ(aRead[1].strName, "");
    EXPECT_EQ(aRead[1].strValue, "only value");
    EXPECT_EQ(aRead[2].strValue, "");
    EXPECT_TRUE(GetNameValueList(nullptr, KEY_DATAFIELD).empty());

    SetNameValueList(pDatabase, KEY_DATAFIELD, { { "title", "<@@标题@@>" }, { "at", "<@NOW@>" } });
    std::string strText;
    ASSERT_TRUE(doc.SaveToString(strText));
    EXPECT_EQ(strText,
              "\r\n<root>\r\n\t<database>\r\n\t\t<type>2</type>\r\n\t\t<tablename>t</tablename>"
              "\r\n\t\t<datafield>\r\n\t\t\t<name>title</name>\r\n\t\t\t<value>&lt;@@标题@@&gt;</value>"
              "\r\n\t\t</datafield>\r\n\t\t<datafield>\r\n\t\t\t<name>at</name>"
              "\r\n\t\t\t<value>&lt;@NOW@&gt;</value>\r\n\t\t</datafield>\r\n\t</database>\r\n</root>");
    SetNameValueList(pDatabase, KEY_DATAFIELD, {});
    EXPECT_EQ(pDatabase->FindChild(KEY_DATAFIELD), nullptr);
}

TEST(TaskDefTest, NamesDefaultAndFullPathsNest)
{
    CMarkupDoc doc;
    doc.Parse("<root>"
              "<location><path>@body@div</path><step>#div</step>"
              "<data><name>title</name><path>@a</path></data>"
              "<data><path>@span</path><type>4</type>"
              "<location><path>@html@p</path><data><path>@b</path></data></location>"
              "<location><name>second</name></location></data>"
              "<location><name>inner</name><path>@ul</path><data><path>@li</path></data></location>"
              "</location></root>");
    const CMarkupNode* pOuter = doc.FindPath(PATH_LOCATION);
    ASSERT_NE(pOuter, nullptr);
    EXPECT_EQ(GetLocationName(pOuter), DEFAULT_LOCATION_NAME);
    EXPECT_EQ(GetFullPath(pOuter), "@body@div");

    const CMarkupNode* pTitle = pOuter->FindChild(KEY_DATA);
    EXPECT_EQ(GetDataName(pTitle), "title");
    EXPECT_EQ(GetFullPath(pTitle), "@body@div@a");

    const CMarkupNode* pLinked = pTitle->NextSameName();
    EXPECT_EQ(GetDataName(pLinked), DEFAULT_DATA_NAME);
    EXPECT_EQ(GetKeyNumber(pLinked, KEY_TYPE), DATA_LINKED_PAGE);
    // A linked page's blocks are addressed from the top of that page, and
    // only the first of them is used.
    const CMarkupNode* pLinkedBlock = pLinked->FindChild(KEY_LOCATION);
    EXPECT_EQ(GetFullPath(pLinkedBlock), "@html@p");
    EXPECT_EQ(GetFullPath(pLinkedBlock->FindChild(KEY_DATA)), "@html@p@b");

    const CMarkupNode* pInner = pOuter->FindChild(KEY_LOCATION);
    EXPECT_EQ(GetLocationName(pInner), "inner");
    EXPECT_EQ(GetFullPath(pInner->FindChild(KEY_DATA)), "@body@div@ul@li");
    EXPECT_EQ(GetFullPath(nullptr), "");
}

TEST(TaskDefTest, SaveDirectoryIsTakenInsideTheProgramDirectoryUnlessAbsolute)
{
    struct {
        const char* pszDirectory;
        const char* pszResolved;
    } cases[] = {
        { "", "/opt/quarvex/" },
        { "files", "/opt/quarvex/files" },
        { "files/sub/", "/opt/quarvex/files/sub/" },
        { "/var/out", "/var/out" },
        { "D:\\out", "/opt/quarvex/D:\\out" },  // a drive letter means nothing here
        { "./x", "/opt/quarvex/./x" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveSaveDirectory(c.pszDirectory, "/opt/quarvex/"), c.pszResolved) << c.pszDirectory;
}

TEST(TaskDefTest, BundledExampleIsCanonicalAndUsesEveryPart)
{
    const std::string strPath = std::string(QUARVEX_SOURCE_DIR) + "/examples/example-task.dat";
    CMarkupDoc doc;
    ASSERT_TRUE(doc.LoadFile(strPath.c_str())) << strPath;
    std::string strText;
    ASSERT_TRUE(doc.SaveToString(strText));
    FILE* pFile = std::fopen(strPath.c_str(), "rb");
    ASSERT_NE(pFile, nullptr);
    std::string strFile;
    char aBuffer[4096];
    for (size_t n; (n = std::fread(aBuffer, 1, sizeof(aBuffer), pFile)) > 0;)
        strFile.append(aBuffer, n);
    std::fclose(pFile);
    EXPECT_EQ(strText, strFile);

    const char* apszPaths[] = {
        "root@general@taskname@", "root@general@frequence@", "root@general@autoload@",
        "root@network@url@", "root@network@refurl@", "root@network@method@",
        "root@network@authentication@name@", "root@network@authentication@pass@",
        "root@network@parameter#parameter@value@", "root@network@webpost@",
        "root@network@webpostmethod@", "root@network@webposturl@", "root@network@webpostvar@",
        "root@database@type@", "root@database@server@", "root@database@account@",
        "root@database@savetodb@", "root@database@tablename@",
        "root@database@datafield#datafield@value@",
        "root@location@name@", "root@location@path@", "root@location@step@",
        "root@location@data@only@", "root@location@data@order@",
        "root@location@location@data@path@",
    };
    for (const char* pszPath : apszPaths)
        EXPECT_NE(doc.FindPath(pszPath), nullptr) << pszPath;

    int anTypes[6] = {};
    for (const CMarkupNode* p = doc.FindPath("root@location@data"); p != nullptr; p = p->NextSameName()) {
        const int nType = GetKeyNumber(p, KEY_TYPE);
        if (nType >= 0 && nType < 6)
            ++anTypes[nType];
        if (nType == DATA_LINKED_PAGE) {
            EXPECT_NE(p->FindPath("@location@data"), nullptr);
        }
        if (nType == DATA_LINKED_FILE) {
            EXPECT_FALSE(GetKeyText(p, KEY_DIRECTORY).empty());
        }
    }
    for (int nType : { DATA_TEXT, DATA_ATTRIBUTE, DATA_LINKED_PAGE, DATA_LINKED_FILE })
        EXPECT_GT(anTypes[nType], 0) << nType;
}
