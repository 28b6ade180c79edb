// CliRecordsTest.cpp - quarvex-cli run with kept records as a user meets it:
// a second run prints nothing already printed, --events, export and reset,
// keeprecords 0, and a run killed in the middle of a pass that loses nothing
// and posts nothing twice that it had recorded as posted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ChildProcess.h"
#include "TaskTestSupport.h"
#include "TempDir.h"
#include "engine/RecordState.h"
#include "engine/RecordStore.h"
#include "markup/Settings.h"

namespace {

std::string ReadAll(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream stream;
    stream << file.rdbuf();
    return stream.str();
}

class CliRecordsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program directory (Config.dat) is the test's own.
        m_strHome = m_dir.GetPath() + "/home/";
        std::filesystem::create_directories(m_strHome);
        m_strDataDir = m_dir.GetPath() + "/data";
    }

    pid_t Spawn(const std::vector<std::string>& aArgs)
    {
        std::vector<std::string> aArgv = {QUARVEX_CLI};
        aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
        const std::vector<std::string> aEnv = {"QUARVEX_HOME=" + m_strHome};
        return SpawnProgram(aArgv, m_dir.GetPath() + "/out", m_dir.GetPath() + "/err", &aEnv);
    }
    int Run(const std::vector<std::string>& aArgs) { return WaitExit(Spawn(aArgs), 60000); }
    std::string Out() { return ReadAll(m_dir.GetPath() + "/out"); }
    std::string Err() { return ReadAll(m_dir.GetPath() + "/err"); }
    std::string WriteDef(const CDefOptions& o)
    {
        return m_dir.WriteFile("task.dat", MakeDefinition(o));
    }
    std::vector<std::string> Posts()
    {
        std::lock_guard lock(m_site.m_mutex);
        std::vector<std::string> a;
        for (const auto& post : m_site.m_aPosts)
            a.push_back(post.strBody);
        return a;
    }

    CTempDir m_dir;
    std::string m_strHome;
    std::string m_strDataDir;
    CTestSite m_site;
};

TEST_F(CliRecordsTest, SecondRunPrintsOnlyNewRecordsThenExportAndReset)
{
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    const std::string strDef = WriteDef(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}, {"b,\"x\"", "2"}}));
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();
    EXPECT_EQ(Out(), "name\tprice\na\t1\nb,\"x\"\t2\n");
    m_site.SetPage(MakeTablePage({{"c", "3"}, {"a", "1"}, {"b,\"x\"", "2"}}));
    ASSERT_EQ(Run({"run", strDef, "--once", "--events", "--data-dir", m_strDataDir}), 0) << Err();
    const std::string strOut = Out();
    EXPECT_EQ(strOut.find("{\"event\":\"new\",\"task\":\"test\",\"time\":\""), 0u) << strOut;
    EXPECT_NE(strOut.find("\",\"record\":{\"name\":\"c\",\"price\":\"3\"}}\n"), std::string::npos) << strOut;
    EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '\n'), 1);

    ASSERT_EQ(Run({"export", strDef, "--data-dir", m_strDataDir}), 0) << Err();
    EXPECT_EQ(Out(), "\xEF\xBB\xBFname,price\r\na,1\r\n\"b,\"\"x\"\"\",2\r\nc,3\r\n");
    ASSERT_EQ(Run({"export", strDef, "--data-dir", m_strDataDir, "--format", "jsonl", "--since", "2000-01-01"}), 0);
    const std::string strLines = Out();
    EXPECT_EQ(std::count(strLines.begin(), strLines.end(), '\n'), 3) << strLines;
    EXPECT_EQ(Run({"export", strDef, "--format", "xml"}), 2);
    EXPECT_EQ(Run({"export", "no-such-task", "--data-dir", m_strDataDir}), 1);

    ASSERT_EQ(Run({"records", "reset", strDef, "--data-dir", m_strDataDir}), 0) << Err();
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();
    EXPECT_EQ(Out(), "name\tprice\nc\t3\na\t1\nb,\"x\"\t2\n");

    // --state names the file itself; a store id names it in the data folder.
    const std::string strState = m_dir.GetPath() + "/own.records";
    ASSERT_EQ(Run({"run", strDef, "--once", "--state", strState}), 0) << Err();
    EXPECT_TRUE(std::filesystem::exists(strState));
    ASSERT_EQ(Run({"records", "reset", "--state", strState, strDef}), 0) << Err();
    ASSERT_EQ(Run({"export", strDef, "--state", strState}), 0) << Err();
    EXPECT_EQ(Out(), "\xEF\xBB\xBFname,price\r\n");
}

TEST_F(CliRecordsTest, JsonExportStaysValidForKeptBytesThatAreNotUtf8)
{
    // Pages are converted to UTF-8, but a state file may hold any bytes (an
    // older program's, a hand-edited file): a JSON line must still be UTF-8
    // for any reader to take it, while CSV keeps the bytes as they are.
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    const std::string strDef = WriteDef(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();
    {
        auto pStore = CreateSqliteRecordStore(RecordStatePathForFile(m_strDataDir, strDef), false);
        std::string strError;
        ASSERT_TRUE(pStore->Open(strError)) << strError;
        SStoredRecord record;
        record.strKey = "raw";
        record.aRow = {"\xD6\xD0x", "2\n"};
        record.tFirstSeen = record.tLastSeen = record.tLastChanged = 1;
        ASSERT_TRUE(pStore->Begin() && pStore->PutRecord(record) && pStore->Commit()) << pStore->GetError();
    }
    ASSERT_EQ(Run({"export", strDef, "--data-dir", m_strDataDir, "--format", "jsonl"}), 0) << Err();
    EXPECT_NE(Out().find("\n{\"name\":\"\\ufffd\\ufffdx\",\"price\":\"2\\n\",\"state\":\"kept\""),
              std::string::npos) << Out();
    ASSERT_EQ(Run({"export", strDef, "--data-dir", m_strDataDir}), 0) << Err();
    EXPECT_EQ(Out(), "\xEF\xBB\xBFname,price\r\na,1\r\n\xD6\xD0x,\"2\n\"\r\n");
}

TEST_F(CliRecordsTest, KeepRecordsZeroIsMemoryOnly)
{
    quarvex::CSettings settings;
    settings.SetGeneralKey("keeprecords", "0");
    ASSERT_TRUE(settings.Save(m_strHome + "Config.dat"));
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    const std::string strDef = WriteDef(o);
    m_site.SetPage(MakeTablePage({{"a", "1"}}));
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();
    EXPECT_EQ(Out(), "name\tprice\na\t1\n");
    EXPECT_FALSE(std::filesystem::exists(m_strDataDir));

    // Without the data-dir option the folder is data/ in the program folder.
    settings.SetGeneralKey("keeprecords", "1");
    ASSERT_TRUE(settings.Save(m_strHome + "Config.dat"));
    ASSERT_EQ(Run({"run", strDef, "--once"}), 0) << Err();
    EXPECT_TRUE(std::filesystem::exists(RecordStatePathForFile(m_strHome + "data/", strDef)));
}

TEST_F(CliRecordsTest, KilledDuringAPassLosesNothingAndRepeatsNoAcknowledgedPost)
{
    CDefOptions o;
    o.strUrl = m_site.Url("/page");
    o.bWebPost = true;
    o.nWebPostMethod = 1;
    o.strWebPostUrl = m_site.Url("/post");
    o.strWebPostVar = "<@@name@@>";
    const std::string strDef = WriteDef(o);
    std::vector<std::pair<std::string, std::string>> aRows;
    for (int i = 0; i < 40; ++i)
        aRows.emplace_back("r" + std::to_string(i), std::to_string(i));
    m_site.SetPage(MakeTablePage(aRows));
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostDelayMs = 20;
    }
    const pid_t pid = Spawn({"run", strDef, "--once", "--data-dir", m_strDataDir});
    ASSERT_TRUE(m_site.WaitUntil([this] { return m_site.m_aPosts.size() >= 12; }, 30000)) << Err();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    // What the state said at the moment of the kill: every post it had not
    // yet recorded as done may come again; nothing else may.
    const std::string strState = RecordStatePathForFile(m_strDataDir, strDef);
    std::set<std::string> aMayRepeat;
    {
        auto pStore = CreateSqliteRecordStore(strState, true);
        std::string strError;
        ASSERT_TRUE(pStore->Open(strError)) << strError;
        ASSERT_TRUE(pStore->ForEachDelivery([&](SDelivery& d) { aMayRepeat.insert(d.aRow[0]); }));
    }
    {
        std::lock_guard lock(m_site.m_mutex);
        m_site.m_nPostDelayMs = 0;
    }
    ASSERT_EQ(Run({"run", strDef, "--once", "--data-dir", m_strDataDir}), 0) << Err();

    std::map<std::string, int> posts;
    for (const std::string& strBody : Posts())
        ++posts[strBody];
    for (const auto& [strName, strPrice] : aRows) {
        EXPECT_GE(posts[strName], 1) << strName << " was lost";
        if (posts[strName] > 1) {
            EXPECT_TRUE(aMayRepeat.count(strName)) << strName << " was posted again after its post was recorded";
        }
        EXPECT_LE(posts[strName], 2) << strName;
    }
    // And the order of the first posts is the page's.
    std::vector<std::string> aFirst;
    std::set<std::string> seen;
    for (const std::string& strBody : Posts()) {
        if (seen.insert(strBody).second)
            aFirst.push_back(strBody);
    }
    ASSERT_EQ(aFirst.size(), aRows.size());
    for (std::size_t i = 0; i < aRows.size(); ++i)
        EXPECT_EQ(aFirst[i], aRows[i].first);
}

} // namespace
