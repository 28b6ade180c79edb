// SettingsTest.cpp - Config.dat read, changed and written back.
#include "markup/Settings.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using quarvex::CSettings;

namespace {

const char s_szConfig[] =
    "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n\t<savepassword>0</savepassword>\r\n</general>"
    "\r\n<example>\r\n\t<taskid>12</taskid>\r\n\t<taskid>7</taskid>\r\n</example>"
    "\r\n<account>\r\n\t<username>li</username>\r\n\t<password></password>\r\n</account>";

} // namespace

TEST(SettingsTest, InstalledFileRoundTripsByteForByte)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.Write("Config.dat", s_szConfig);
    CSettings settings;
    ASSERT_TRUE(settings.Load(strPath));
    EXPECT_TRUE(settings.GetSaveUserName());
    EXPECT_FALSE(settings.GetSavePassword());
    EXPECT_EQ(settings.GetUserName(), "li");
    EXPECT_EQ(settings.GetPassword(), "");
    EXPECT_EQ(settings.GetExampleTaskIds(), (std::vector<std::string>{ "12", "7" }));
    EXPECT_EQ(settings.GetServer(), "");
    ASSERT_TRUE(settings.Save(strPath));
    EXPECT_EQ(CTempDir::Read(strPath), s_szConfig);
}

TEST(SettingsTest, MissingFileIsEmptyAndSavingCreatesEverything)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.File("Config.dat");
    CSettings settings;
    EXPECT_FALSE(settings.Load(strPath));
    EXPECT_FALSE(settings.GetSaveUserName());
    EXPECT_FALSE(settings.GetSavePassword());
    EXPECT_EQ(settings.GetUserName(), "");
    EXPECT_TRUE(settings.GetExampleTaskIds().empty());
    ASSERT_TRUE(settings.Save(strPath));
    EXPECT_EQ(CTempDir::Read(strPath),
              "\r\n<general>\r\n\t<saveusername>0</saveusername>\r\n\t<savepassword>0</savepassword>"
              "\r\n</general>\r\n<example></example>\r\n<account></account>");
}

TEST(SettingsTest, LoginWithNameRememberedButNotPassword)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath = dir.Write("Config.dat", "<general><saveusername>1</saveusername>"
                                                        "<savepassword>0</savepassword></general>");
    CSettings settings;
    ASSERT_TRUE(settings.Load(strPath));
    settings.SetUserName(settings.GetSaveUserName() ? "wang" : "");
    settings.SetPassword(settings.GetSavePassword() ? "secret" : "");
    settings.SetServer("127.0.0.1:8080");
    ASSERT_TRUE(settings.Save(strPath));

    CSettings back;
    ASSERT_TRUE(back.Load(strPath));
    EXPECT_EQ(back.GetUserName(), "wang");
    EXPECT_EQ(back.GetPassword(), "");
    EXPECT_EQ(back.GetServer(), "127.0.0.1:8080");
    EXPECT_EQ(CTempDir::Read(strPath),
              "\r\n<general>\r\n\t<saveusername>1</saveusername>\r\n\t<savepassword>0</savepassword>"
              "\r\n\t<server>127.0.0.1:8080</server>\r\n</general>"
              "\r\n<account>\r\n\t<username>wang</username>\r\n\t<password></password>\r\n</account>"
              "\r\n<example></example>");
}

TEST(SettingsTest, ExampleIdsAreRewrittenAndUnknownKeysKept)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string strPath =
        dir.Write("Config.dat", "<general><saveusername>2</saveusername><theme>dark</theme></general>"
                                "<example><taskid>1</taskid><note>x</note><taskid></taskid><taskid>3</taskid>"
                                "</example>");
    CSettings settings;
    ASSERT_TRUE(settings.Load(strPath));
    EXPECT_TRUE(settings.GetSaveUserName());  // any non-zero number is on
    EXPECT_EQ(settings.GetExampleTaskIds(), (std::vector<std::string>{ "1", "3" }));
    settings.SetExampleTaskIds({ "9", "4" });
    settings.SetSaveUserName(false);
    ASSERT_TRUE(settings.Save(strPath));
    EXPECT_EQ(CTempDir::Read(strPath),
              "\r\n<general>\r\n\t<saveusername>0</saveusername>\r\n\t<theme>dark</theme>"
              "\r\n\t<savepassword>0</savepassword>\r\n</general>"
              "\r\n<example>\r\n\t<note>x</note>\r\n\t<taskid>9</taskid>\r\n\t<taskid>4</taskid>\r\n</example>"
              "\r\n<account></account>");
}

TEST(SettingsTest, DefaultPathIsInTheProgramDirectory)
{
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    setenv("QUARVEX_HOME", dir.Dir().c_str(), 1);
    EXPECT_EQ(CSettings::GetDefaultPath(), dir.Dir() + "Config.dat");
    CSettings settings;
    settings.SetSavePassword(true);
    EXPECT_TRUE(settings.Save());
    CSettings back;
    EXPECT_TRUE(back.Load());
    EXPECT_TRUE(back.GetSavePassword());
    unsetenv("QUARVEX_HOME");
}
