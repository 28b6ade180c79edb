#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Restores QUARVEX_HOME whatever a test does with it.
class ProgramDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* psz = std::getenv("QUARVEX_HOME");
        m_bHadHome = psz != nullptr;
        if (m_bHadHome)
            m_strHome = psz;
    }
    void TearDown() override
    {
        if (m_bHadHome)
            setenv("QUARVEX_HOME", m_strHome.c_str(), 1);
        else
            unsetenv("QUARVEX_HOME");
    }
    bool m_bHadHome = false;
    std::string m_strHome;
};

TEST_F(ProgramDirTest, ExecutableDirectoryEndsWithSlashAndHoldsTheTestProgram)
{
    unsetenv("QUARVEX_HOME");
    const std::string strDir = quarvex::GetProgramDir();
    ASSERT_FALSE(strDir.empty());
    EXPECT_EQ(strDir.front(), '/');
    EXPECT_EQ(strDir.back(), '/');
    EXPECT_EQ(strDir, quarvex::GetExecutableDir());
}

TEST_F(ProgramDirTest, HomeVariableReplacesExecutableDirectory)
{
    struct { const char* pszHome; const char* pszDir; } cases[] = {
        { "/var/lib/quarvex",  "/var/lib/quarvex/" },  // slash added
        { "/var/lib/quarvex/", "/var/lib/quarvex/" },  // not doubled
        { "rel",               "rel/" },
    };
    for (const auto& c : cases) {
        setenv("QUARVEX_HOME", c.pszHome, 1);
        EXPECT_EQ(quarvex::GetProgramDir(), c.pszDir) << c.pszHome;
    }
    setenv("QUARVEX_HOME", "", 1);  // empty means unset
    EXPECT_EQ(quarvex::GetProgramDir(), quarvex::GetExecutableDir());
}

} // namespace
