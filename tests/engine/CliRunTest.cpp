// CliRunTest.cpp - quarvex-cli run as a user meets it: rows on standard
// output, the log on standard error, refusals with status 1, and a clean
// stop on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"
#include "TaskTestSupport.h"

namespace {

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream stream;
    stream << file.rdbuf();
    return stream.str();
}

class CliRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = std::filesystem::temp_directory_path() /
                ("quarvex-clirun-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
        m_strDataDir = (m_dir / "data").string();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string WriteDef(const std::string& strText)
    {
        const std::filesystem::path path = m_dir / "task.dat";
        std::ofstream(path, std::ios::binary) << strText;
        return path.string();
    }

    // Starts quarvex-cli with these arguments, its output going to files.
    pid_t Spawn(const std::vector<std::string>& aArgs)
    {
        // Each test keeps its records apart from every other run.
        std::vector<std::string> aArgv = {QUARVEX_CLI, "run", "--data-dir", m_strDataDir};
        aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
        return SpawnProgram(aArgv, (m_dir / "out").string(), (m_dir / "err").string());
    }
    int Run(const std::vector<std::string>& aArgs) { return WaitExit(Spawn(aArgs), 20000); }
    std::string Out() { return ReadAll(m_dir / "out"); }
    std::string Err() { return ReadAll(m_dir / "err"); }

    std::filesystem::path m_dir;
    std::string m_strDataDir;
    CTestSite m_site;
};

TEST_F(CliRunTest, OncePrintsHeaderRowsAndLog)
{
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    m_site.SetPage(MakeTablePage({{"a\tb", "1"}, {"c\\d", "2"}}));
    ASSERT_EQ(Run({WriteDef(MakeDefinition(o)), "--once"}), 0) << Err();
    EXPECT_EQ(Out(), "name\tprice\na\\tb\t1\nc\\\\d\t2\n");
    const std::string strErr = Err();
    EXPECT_NE(strErr.find("]:成功从" + m_site.Url("/page") + "取得网页内容。\r\n["), std::string::npos)
        << strErr;
    EXPECT_NE(strErr.find("]:成功摘取到2条记录。其中有2条新记录被处理。\r\n\r\n"), std::string::npos)
        << strErr;
    EXPECT_EQ(strErr.front(), '[');
}

TEST_F(CliRunTest, RefusalsAndWrongCommandLines)
{
    struct { std::vector<std::string> aArgs; int nStatus; const char* pszWhy; } cases[] = {
        { {(m_dir / "missing.dat").string(), "--once"}, 1, "unreadable file" },
        { {WriteDef("<general><taskname>x</taskname></general>"), "--once"}, 1, "no root" },
        { {}, 2, "no definition" },
        { {"a.dat", "--passes", "0"}, 2, "zero passes" },
        { {"a.dat", "--passes", "2x"}, 2, "not a number" },
        { {"a.dat", "--once", "--passes", "2"}, 2, "both" },
        { {"a.dat", "b.dat"}, 2, "two definitions" },
        { {"a.dat", "--later"}, 2, "unknown option" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.aArgs), c.nStatus) << c.pszWhy;
        if (c.nStatus == 1) {
            EXPECT_EQ(Out(), "") << c.pszWhy;
            EXPECT_NE(Err().find("quarvex-cli: "), std::string::npos) << c.pszWhy;
        }
    }
}

TEST_F(CliRunTest, FailedFetchOnTheLastPassExitsOne)
{
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    m_site.SetPage("");
    EXPECT_EQ(Run({WriteDef(MakeDefinition(o)), "--passes", "1"}), 1);
    EXPECT_NE(Err().find("错误原因：成功完成"), std::string::npos) << Err();
}

TEST_F(CliRunTest, SigtermStopsAWaitingTaskAndExitsZero)
{
    CDefOptions o;
    o.strUrl = m_site.Url("/hang");
    const pid_t pid = Spawn({WriteDef(MakeDefinition(o))});
    ASSERT_TRUE(m_site.WaitUntil([&] { return m_site.m_nHanging >= 1; }, 10000));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 3000), 0);
    EXPECT_NE(Err().find("错误原因：连接被中断\r\n"), std::string::npos) << Err();
}

} // namespace
