// ValueTemplateTest.cpp - the web post substitution: column values go in as
// they stand, file contents form-encoded, everything else untouched.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine/ValueTemplate.h"

namespace {

const std::vector<CDbColumn> s_aColumns = {
    {"name", false},
    {"file", true},
    {"price", false},
};

std::string WriteTempFile(const std::string& strContent)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("quarvex-vt-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(path, std::ios::binary) << strContent;
    return path.string();
}

} // namespace

TEST(ValueTemplateTest, SubstitutionEdgeCases)
{
    const std::string strFile = WriteTempFile(std::string("a b-\n\xd6\xd0\0z", 9));
    struct { const char* pszText; std::vector<std::string> aRecord; std::string strResult; } cases[] = {
        { "a=<@@name@@>&a2=<@@name@@>", {"x", "", ""}, "a=x&a2=x" },
        { "v=<@@name@@>", {"a b&c=\xd6\xd0", "", ""}, "v=a b&c=\xd6\xd0" },  // unencoded
        { "<@@Name@@><@@nobody@@><@NOW@><@NULL@><@SKIP@>", {"x", "", ""},
          "<@@Name@@><@@nobody@@><@NOW@><@NULL@><@SKIP@>" },
        { "f=<@#file#@>&p=<@@file@@>", {"", strFile.c_str(), ""},
          "f=a+b%2D%0A%D6%D0%00z&p=" + strFile },
        { "f=<@#file#@>", {"", "/nonexistent/quarvex", ""}, "f=<@#file#@>" },  // unreadable
        { "f=<@#file#@>", {"", "", ""}, "f=<@#file#@>" },                      // nothing saved
        { "f=<@#name#@>", {"x", "", ""}, "f=<@#name#@>" },  // not a linked-file column
        // Columns go in order: a value naming a later column is replaced again,
        // one naming an earlier column is not.
        { "<@@name@@>", {"<@@price@@>", "", "9"}, "9" },
        { "<@@price@@>", {"<@@name@@>", "", "<@@name@@>"}, "<@@name@@>" },
        { "", {"x", "", ""}, "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(SubstituteWebPost(c.pszText, c.aRecord, s_aColumns), c.strResult) << c.pszText;
    std::remove(strFile.c_str());
}

TEST(ValueTemplateTest, ShortRecordReadsAsEmptyValues)
{
    EXPECT_EQ(SubstituteWebPost("<@@name@@>|<@@price@@>", {"x"}, s_aColumns), "x|");
}
