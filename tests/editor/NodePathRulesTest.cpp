// NodePathRulesTest.cpp - where the editor puts blocks and fields in a
// definition, and which paths it stores for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "editor/NodePathRules.h"
#include "markup/TaskDef.h"

namespace {

using namespace quarvex;

struct TDoc {
    CMarkupDoc doc;
    explicit TDoc(const char* pszText) { doc.Parse(pszText); }
    CMarkupNode* Root() { return doc.FindTopLevel(KEY_ROOT); }
    CMarkupNode* Path(const char* psz) { return doc.FindPath(psz); }
    std::string Text()
    {
        std::string s;
        doc.SaveToString(s);
        return s;
    }
};

SNodeFields Fields(int nType, const char* pszName, const char* pszPath, const char* pszSibling = "")
{
    SNodeFields f;
    f.nType = nType;
    f.strName = pszName;
    f.strPath = pszPath;
    f.strSibling = pszSibling;
    return f;
}

TEST(NodePathRulesTest, RelativePathSkipsTheCommonPrefix)
{
    EXPECT_EQ(RelativePath("html@body@table@tr@td@a", "html@body@table@tr"), "@td@a");
    EXPECT_EQ(RelativePath("html@body@table@tr#tr@td@a", "html@body@table@tr"), "#tr@td@a");
    EXPECT_EQ(RelativePath("abc", "xyz"), "abc");
    EXPECT_EQ(RelativePath("abc", ""), "abc");
    EXPECT_EQ(RelativePath("ab", "abc"), "");
    EXPECT_EQ(RelativePath("html@body@div", "html@body@table"), "div") << "a common prefix mid-name";
}

TEST(NodePathRulesTest, ContainmentEndsWhereAStepEnds)
{
    struct { const char* pszBase; const char* pszPath; bool bIn; } cases[] = {
        {"html@body@table@tr", "html@body@table@tr#tr@td@a", true},
        {"html@body@table@tr", "html@body@table@tr@td", true},
        {"html@body@table@tr", "html@body@table@tr", true},
        {"html@body@div@p", "html@body@div@pre@a", false},
        {"html@body@div@b", "html@body@div@br", false},
        {"html@body@table@tr", "html@body@table@track", false},
        {"", "html@body", true},
        {"", "", true},
        {"html@body@table@tr", "html@body@table", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathContains(c.pszBase, c.pszPath), c.bIn) << c.pszBase << " / " << c.pszPath;
}

TEST(NodePathRulesTest, FindContainingLocationTakesTheDeepestMatch)
{
    TDoc d("<root><general/>"
           "<location><name>P</name><path>html@body@div@p</path></location>"
           "<location><name>T</name><path>html@body@table</path>"
           "  <location><name>R</name><path>@tr</path><step>#tr</step></location>"
           "  <data><type>4</type><name>L</name><path>@a</path>"
           "    <location><name>X</name><path>html@body@table</path></location></data>"
           "</location></root>");
    CMarkupNode* pFirst = d.Path("root@location");
    auto name = [](const CMarkupNode* p) { return p ? std::string(GetKeyText(p, KEY_NAME)) : "(none)"; };
    EXPECT_EQ(name(FindContainingLocation(pFirst, "html@body@table@tr#tr@td")), "R");
    EXPECT_EQ(name(FindContainingLocation(pFirst, "html@body@table@caption")), "T");
    EXPECT_EQ(name(FindContainingLocation(pFirst, "html@body@div@pre@a")), "(none)");
    EXPECT_EQ(name(FindContainingLocation(pFirst, "html@body@div@p@b")), "P");
    EXPECT_EQ(name(FindContainingLocation(nullptr, "html")), "(none)");
    // The linked page's block is not searched from the top level.
    EXPECT_EQ(name(FindContainingLocation(d.Path("root@location#location@data@location"), "html@body@table@x")), "X");
}

TEST(NodePathRulesTest, FullPathsOfNestedAndLinkedBlocks)
{
    TDoc d("<root><location><path>html@body@table</path>"
           "<location><path>@tr</path><step>#tr</step>"
           "  <data><type>4</type><path>@td@a</path>"
           "    <location><path>html@body@div</path><step>#div</step></location></data>"
           "</location></location></root>");
    CMarkupNode* pRow = d.Path("root@location@location");
    EXPECT_EQ(FullNodePath(pRow), "html@body@table@tr");
    EXPECT_EQ(FullSiblingPath(pRow), "html@body@table@tr#tr");
    EXPECT_EQ(FullSiblingPath(d.Path("root@location")), "") << "no step, no sibling path";
    CMarkupNode* pLinked = d.Path("root@location@location@data@location");
    EXPECT_EQ(FullNodePath(pLinked), "html@body@div") << "a linked page starts afresh";
    EXPECT_EQ(FullSiblingPath(pLinked), "html@body@div#div");
    EXPECT_EQ(FullNodePath(d.Path("root@location@location@data")), "html@body@table@tr@td@a");
}

TEST(NodePathRulesTest, TrimBlockPathsCutsBackToTheDifferingStep)
{
    struct { const char* pszN; const char* pszS; const char* pszN2; const char* pszS2; } cases[] = {
        {"html@body@table@tr@td@a", "html@body@table@tr#tr@td@a", "html@body@table@tr", "html@body@table@tr#tr"},
        {"html@body@div@p", "html@body@div@p#p", "html@body@div@p", "html@body@div@p#p"},
        {"html@body@ul@li@a", "html@body@ul#ul@li@a", "html@body@ul", "html@body@ul#ul"},
        {"", "html@body", "", "html@body"},
        {"html@body", "", "html@body", ""},
        {"a@b@c", "x@a@b@c", "a@b@c", "x@a@b@c"},  // one ends with the whole other
        {"html@body@table@tr", "html@body@table@tr#tr", "html@body@table@tr", "html@body@table@tr#tr"},
    };
    for (const auto& c : cases) {
        std::string n = c.pszN, s = c.pszS;
        TrimBlockPaths(n, s);
        EXPECT_EQ(n, c.pszN2) << c.pszN << " / " << c.pszS;
        EXPECT_EQ(s, c.pszS2) << c.pszN << " / " << c.pszS;
    }
}

TEST(NodePathRulesTest, AddingPlacesNodesInTheirBlock)
{
    TDoc d("<root><general><taskname>t</taskname></general></root>");
    CMarkupNode* pNew = nullptr;
    CMarkupNode* pMade = nullptr;

    // A text node under no block gets a block of its own standing on it.
    ASSERT_EQ(AddNode(d.Root(), Fields(NODE_TEXT, "title", "html@head@title"), &pNew, &pMade), ADD_OK);
    ASSERT_NE(pMade, nullptr);
    EXPECT_EQ(GetKeyText(pMade, KEY_PATH), "html@head@title");
    EXPECT_EQ(GetKeyText(pMade, KEY_NAME), "区块");
    EXPECT_EQ(GetKeyText(pNew, KEY_PATH), "");
    EXPECT_EQ(pNew->GetParent(), pMade);

    // A top-level block with a sibling pick stores the step.
    SNodeFields block = Fields(NODE_BLOCK, "rows", "html@body@table@tr", "html@body@table@tr#tr");
    ASSERT_EQ(AddNode(d.Root(), block, &pNew, &pMade), ADD_OK);
    EXPECT_EQ(pMade, nullptr);
    CMarkupNode* pRows = pNew;
    EXPECT_EQ(GetKeyText(pRows, KEY_PATH), "html@body@table@tr");
    EXPECT_EQ(GetKeyText(pRows, KEY_STEP), "#tr");
    EXPECT_EQ(FullSiblingPath(pRows), "html@body@table@tr#tr");

    // Fields picked in the first and in the second record.
    SNodeFields link = Fields(NODE_ATTRIBUTE, "link", "html@body@table@tr@td@a");
    link.strAttribute = "href";
    link.strOrder = "2";
    link.bOnly = true;
    ASSERT_EQ(AddNode(d.Root(), link, &pNew), ADD_OK);
    EXPECT_EQ(pNew->GetParent(), pRows);
    EXPECT_EQ(GetKeyText(pNew, KEY_PATH), "@td@a");
    ASSERT_EQ(AddNode(d.Root(), Fields(NODE_TEXT, "", "html@body@table@tr#tr@td@a"), &pNew), ADD_OK);
    EXPECT_EQ(GetKeyText(pNew, KEY_PATH), "#tr@td@a");
    // "…@track" is no cell of the block at "…@tr".
    ASSERT_EQ(AddNode(d.Root(), Fields(NODE_TEXT, "x", "html@body@table@track"), &pNew, &pMade), ADD_OK);
    EXPECT_NE(pMade, nullptr);

    EXPECT_EQ(d.Text(),
              "\r\n<root>\r\n"
              "\t<general>\r\n\t\t<taskname>t</taskname>\r\n\t</general>\r\n"
              "\t<location>\r\n\t\t<name>区块</name>\r\n\t\t<path>html@head@title</path>\r\n\t\t<step></step>\r\n"
              "\t\t<data>\r\n\t\t\t<type>0</type>\r\n\t\t\t<name>title</name>\r\n\t\t\t<path></path>\r\n"
              "\t\t\t<order></order>\r\n\t\t\t<only>0</only>\r\n\t\t</data>\r\n\t</location>\r\n"
              "\t<location>\r\n\t\t<name>rows</name>\r\n\t\t<path>html@body@table@tr</path>\r\n\t\t<step>#tr</step>\r\n"
              "\t\t<data>\r\n\t\t\t<type>3</type>\r\n\t\t\t<name>link</name>\r\n\t\t\t<path>@td@a</path>\r\n"
              "\t\t\t<order>2</order>\r\n\t\t\t<only>1</only>\r\n\t\t\t<attribute>href</attribute>\r\n\t\t</data>\r\n"
              "\t\t<data>\r\n\t\t\t<type>0</type>\r\n\t\t\t<name></name>\r\n\t\t\t<path>#tr@td@a</path>\r\n"
              "\t\t\t<order></order>\r\n\t\t\t<only>0</only>\r\n\t\t</data>\r\n\t</location>\r\n"
              "\t<location>\r\n\t\t<name>区块</name>\r\n\t\t<path>html@body@table@track</path>\r\n\t\t<step></step>\r\n"
              "\t\t<data>\r\n\t\t\t<type>0</type>\r\n\t\t\t<name>x</name>\r\n\t\t\t<path></path>\r\n"
              "\t\t\t<order></order>\r\n\t\t\t<only>0</only>\r\n\t\t</data>\r\n\t</location>\r\n"
              "</root>");
}

TEST(NodePathRulesTest, TypeDependentKeysOfFields)
{
    TDoc d("<root><location><path>html@body</path></location></root>");
    struct { int nType; const char* pszExpect; } cases[] = {
        {NODE_INNER_HTML, "<type>1</type><name>n</name><path>@a</path><order>5</order><only>0</only>"},
        {NODE_LINKED_PAGE, "<type>4</type><name>n</name><path>@a</path><order>5</order><only>0</only>"
                           "<attribute>href</attribute><splitter>opt</splitter>"},
        {NODE_LINKED_FILE, "<type>5</type><name>n</name><path>@a</path><order>5</order><only>0</only>"
                           "<attribute>href</attribute><directory>opt</directory>"},
    };
    for (const auto& c : cases) {
        SNodeFields f = Fields(c.nType, "n", "html@body@a");
        f.strOrder = "5";
        f.strAttribute = "href";
        f.strOption = "opt";
        CMarkupNode* pNew = nullptr;
        ASSERT_EQ(AddNode(d.Root(), f, &pNew), ADD_OK);
        std::string strKeys;
        for (CMarkupNode* p = pNew->GetFirstChild(); p; p = p->GetNext())
            strKeys += "<" + std::string(p->GetNameView()) + ">" + std::string(GetKeyText(pNew, p->GetNameView())) +
                       "</" + std::string(p->GetNameView()) + ">";
        EXPECT_EQ(strKeys, c.pszExpect) << c.nType;
    }
}

TEST(NodePathRulesTest, LinkedPageNodesKeepToOneBlock)
{
    TDoc d("<root><location><path>html@body@ul@li</path><step>#li</step>"
           "<data><type>4</type><name>detail</name><path>@a</path><attribute>href</attribute></data>"
           "</location></root>");
    CMarkupNode* pLinked = d.Path("root@location@data");
    CMarkupNode* pNew = nullptr;
    CMarkupNode* pMade = nullptr;
    // The first field of the linked page makes its block, with an absolute path.
    ASSERT_EQ(AddNode(pLinked, Fields(NODE_TEXT, "body", "html@body@div@p"), &pNew, &pMade), ADD_OK);
    ASSERT_NE(pMade, nullptr);
    EXPECT_EQ(pMade->GetParent(), pLinked);
    EXPECT_EQ(GetKeyText(pMade, KEY_PATH), "html@body@div@p");
    // A second field inside it joins it.
    ASSERT_EQ(AddNode(pLinked, Fields(NODE_TEXT, "b", "html@body@div@p@b"), &pNew, &pMade), ADD_OK);
    EXPECT_EQ(pMade, nullptr);
    EXPECT_EQ(GetKeyText(pNew, KEY_PATH), "@b");
    // Anything outside would be a second block the engine never reads.
    const std::string strBefore = d.Text();
    EXPECT_EQ(AddNode(pLinked, Fields(NODE_TEXT, "t", "html@head@title"), &pNew, &pMade), ADD_SECOND_LINKED_BLOCK);
    EXPECT_EQ(AddNode(pLinked, Fields(NODE_BLOCK, "blk", "html@body@table"), &pNew, &pMade), ADD_SECOND_LINKED_BLOCK);
    EXPECT_EQ(pNew, nullptr);
    EXPECT_EQ(d.Text(), strBefore);
    // A second block that an older file holds takes nothing either, even one
    // whose empty path would contain every pick.
    pLinked->AppendChild(new CMarkupNode(KEY_LOCATION));
    EXPECT_EQ(AddNode(pLinked, Fields(NODE_TEXT, "t", "html@head@title"), &pNew, &pMade), ADD_SECOND_LINKED_BLOCK);
    // The top level is not searched for linked-page picks, nor the other way round.
    ASSERT_EQ(AddNode(d.Root(), Fields(NODE_TEXT, "li", "html@body@ul@li@span"), &pNew), ADD_OK);
    EXPECT_EQ(pNew->GetParent(), d.Path("root@location"));
}

TEST(NodePathRulesTest, ModifyingWithoutChangesKeepsPathsAndStep)
{
    TDoc d("<root><location><name>top</name><path>html@body@table@tr</path><step>#tr</step>"
           "  <location><name>cell</name><path>@td</path><step>#td</step></location>"
           "  <location><name>nostep</name><path>@th</path><step></step></location>"
           "  <data><type>4</type><name>l</name><path>@td@a</path><order>1</order><only>1</only><attribute>href</attribute><splitter>,</splitter>"
           "    <location><name>lp</name><path>html@body@div</path><step>#div</step></location></data>"
           "</location></root>");
    const std::string strBefore = d.Text();
    for (const char* pszPath : {"root@location", "root@location@location", "root@location@location#location",
                                "root@location@data@location", "root@location@data"}) {
        CMarkupNode* p = d.Path(pszPath);
        SNodeFields f = ReadNodeFields(p);
        if (f.nType == NODE_BLOCK)
            TrimBlockPaths(f.strPath, f.strSibling);
        ModifyNode(p, f, MODIFY_FROM_MENU);
        EXPECT_EQ(d.Text(), strBefore) << pszPath;
    }
}

TEST(NodePathRulesTest, ModifyNeverChangesAnElementsKind)
{
    TDoc d("<root><location><path>html@body</path>"
           "<data><type>9</type><name>odd</name><path>@x</path></data>"
           "<data><type>0</type><name>t</name><path>@p</path></data></location></root>");
    CMarkupNode* pOdd = d.Path("root@location@data");
    EXPECT_EQ(NodeTypeIndexOf(pOdd), -1);
    EXPECT_EQ(NodeTypeText(pOdd), "9");
    SNodeFields f = ReadNodeFields(pOdd);
    f.nType = NODE_BLOCK;  // whatever the dialog says
    f.strSibling = "html@body@x#x";
    f.strName = "odd2";
    ModifyNode(pOdd, f, MODIFY_FROM_MENU);
    EXPECT_EQ(pOdd->GetNameView(), "data");
    EXPECT_EQ(GetKeyText(pOdd, KEY_TYPE), "9");
    EXPECT_EQ(GetKeyText(pOdd, KEY_NAME), "odd2");
    EXPECT_EQ(pOdd->FindChild(KEY_STEP), nullptr);

    // The attribute of a text field is written only from a double click.
    CMarkupNode* pText = d.Path("root@location@data#data");
    f = ReadNodeFields(pText);
    f.strAttribute = "title";
    ModifyNode(pText, f, MODIFY_FROM_MENU);
    EXPECT_EQ(pText->FindChild(KEY_ATTRIBUTE), nullptr);
    ModifyNode(pText, f, MODIFY_FROM_DOUBLE_CLICK);
    EXPECT_EQ(GetKeyText(pText, KEY_ATTRIBUTE), "title");
}

TEST(NodePathRulesTest, SaveDirectoryIsCheckedWhereTheEngineWillWrite)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path() / "noderules-dir";
    std::filesystem::create_directories(base / "files");
    const std::string strProgram = base.string() + "/";
    std::string strChecked;
    EXPECT_TRUE(CheckSaveDirectory("files", strProgram, strChecked));
    EXPECT_EQ(strChecked, strProgram + "files");
    EXPECT_FALSE(CheckSaveDirectory("nothere", strProgram, strChecked));
    EXPECT_TRUE(CheckSaveDirectory(base.string(), "/nonexistent/", strChecked)) << "absolute, unchanged";
    EXPECT_EQ(NormalizeSaveDirectory("files"), "files/");
    EXPECT_EQ(NormalizeSaveDirectory("/srv/out/"), "/srv/out/");
    std::filesystem::remove_all(base);
}

} // namespace
