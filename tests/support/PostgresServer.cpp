// PostgresServer.cpp - initdb, postgres and createdb for tests, as child
// processes of the test program.
#include "PostgresServer.h"

#include "TempDir.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* DEBIAN_ROOT = "/usr/lib/postgresql";

std::string ReadTail(const std::string& strPath)
{
    std::ifstream file(strPath);
    std::string strText((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return strText.size() > 2000 ? strText.substr(strText.size() - 2000) : strText;
}

// The account the server runs as: `postgres` when we are root, else none
// (the server runs as we do).
struct RunAs {
    bool bSwitch = false;
    uid_t nUid = 0;
    gid_t nGid = 0;
};

bool FindRunAs(RunAs& runAs, std::string& strError)
{
    if (geteuid() != 0)
        return true;
    const passwd* pw = getpwnam("postgres");
    if (pw == nullptr) {
        strError = "running as root, and there is no postgres user to run the server as";
        return false;
    }
    runAs = RunAs{ true, pw->pw_uid, pw->pw_gid };
    return true;
}

// Runs aArgs with output appended to strLog, as runAs; with bWait its exit
// status (-1 when it did not exit), else 0 and the child's pid.
int RunProgram(const std::vector<std::string>& aArgs, const std::string& strLog, const RunAs& runAs, bool bWait,
               pid_t* pChild)
{
    // Everything the child needs is made before fork(): another thread of
    // the test may hold the allocator's lock at that moment.
    std::vector<char*> aArgv;
    for (const std::string& str : aArgs)
        aArgv.push_back(const_cast<char*>(str.c_str()));
    aArgv.push_back(nullptr);
    const pid_t nParent = getpid();
    const pid_t nChild = fork();
    if (nChild < 0)
        return -1;
    if (nChild == 0) {
        const int hLog = open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int hNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (hLog >= 0) {
            dup2(hLog, 1);
            dup2(hLog, 2);
        }
        if (hNull >= 0)
            dup2(hNull, 0);
        if (runAs.bSwitch && (setgroups(0, nullptr) != 0 || setgid(runAs.nGid) != 0 || setuid(runAs.nUid) != 0))
            _exit(126);
        // A test program that dies leaves no server behind. The setting is
        // made after the change of user, which would clear it.
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != nParent)
            _exit(125);
        // The test's own folder may be closed to the postgres user.
        if (chdir("/") != 0)
            _exit(124);
        execv(aArgv[0], aArgv.data());
        _exit(127);
    }
    if (pChild != nullptr)
        *pChild = nChild;
    if (!bWait)
        return 0;
    int nStatus = 0;
    while (waitpid(nChild, &nStatus, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

} // namespace

std::string CPostgresServer::FindBinDir()
{
    std::error_code ec;
    std::vector<std::filesystem::path> aDirs;
    for (const auto& entry : std::filesystem::directory_iterator(DEBIAN_ROOT, ec)) {
        const std::filesystem::path bin = entry.path() / "bin";
        if (std::filesystem::exists(bin / "initdb", ec) && std::filesystem::exists(bin / "postgres", ec))
            aDirs.push_back(bin);
    }
    if (aDirs.empty())
        return "";
    // Versions are whole numbers since 10: the newest is the largest.
    std::sort(aDirs.begin(), aDirs.end(), [](const auto& a, const auto& b) {
        return std::atoi(a.parent_path().filename().c_str()) < std::atoi(b.parent_path().filename().c_str());
    });
    return aDirs.back().string();
}

bool CPostgresServer::Start(std::string& strError)
{
    Stop();
    const std::string strBin = FindBinDir();
    if (strBin.empty()) {
        strError = std::string("PostgreSQL is not installed (no initdb and postgres under ") + DEBIAN_ROOT + ")";
        return false;
    }
    RunAs runAs;
    if (!FindRunAs(runAs, strError))
        return false;
    char szTemplate[] = "/tmp/quarvex-pg-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        strError = "cannot create a temporary folder";
        return false;
    }
    m_strDir = szTemplate;
    if (runAs.bSwitch && chown(m_strDir.c_str(), runAs.nUid, runAs.nGid) != 0) {
        strError = "cannot hand " + m_strDir + " to the postgres user";
        return false;
    }
    const std::string strLog = m_strDir + "/initdb.log";
    if (RunProgram({ strBin + "/initdb", "-D", m_strDir + "/data", "-U", USER, "--auth=trust", "-E", "UTF8",
                     "--locale=C", "--no-sync" },
                   strLog, runAs, true, nullptr) != 0) {
        strError = "initdb failed: " + ReadTail(strLog);
        return false;
    }
    // The free port may be taken before the server binds it; a server that
    // ends at once is tried again on another port.
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        if (Launch(strBin, strError))
            return true;
        if (m_nPid > 0)
            return false;  // Running but silent: another port would not help.
    }
    return false;
}

bool CPostgresServer::Launch(const std::string& strBin, std::string& strError)
{
    RunAs runAs;
    if (!FindRunAs(runAs, strError))
        return false;
    m_nPort = FindFreePort();
    const std::string strLog = m_strDir + "/server.log";
    // Durability is no concern of a test cluster; speed is.
    const std::vector<std::string> aArgs = {
        strBin + "/postgres", "-D", m_strDir + "/data", "-p", std::to_string(m_nPort), "-k", m_strDir,
        "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c", "synchronous_commit=off",
        "-c", "full_page_writes=off", "-c", "shared_buffers=16MB", "-c", "max_connections=200",
    };
    if (RunProgram(aArgs, strLog, runAs, false, &m_nPid) != 0) {
        m_nPid = -1;
        strError = "cannot start postgres";
        return false;
    }
    const std::string strPing = "host=127.0.0.1 port=" + std::to_string(m_nPort) + " user=" + USER +
                                " dbname=postgres connect_timeout=2";
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < tEnd) {
        int nStatus = 0;
        if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
            m_nPid = -1;
            strError = "postgres ended: " + ReadTail(strLog);
            return false;
        }
        if (PQping(strPing.c_str()) == PQPING_OK)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    strError = "postgres did not take connections within 60 s: " + ReadTail(strLog);
    return false;
}

void CPostgresServer::Stop()
{
    if (m_nPid > 0) {
        // Fast shutdown: open sessions are ended, not waited for.
        kill(m_nPid, SIGINT);
        int nStatus = 0;
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (waitpid(m_nPid, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > tEnd) {
                kill(m_nPid, SIGKILL);
                waitpid(m_nPid, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_nPid = -1;
    }
    if (!m_strDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
        m_strDir.clear();
    }
    m_nPort = 0;
}

std::string CPostgresServer::Uri(const std::string& strDatabase) const
{
    return std::string("postgresql://") + USER + "@127.0.0.1:" + std::to_string(m_nPort) + "/" + strDatabase;
}

std::string CPostgresServer::CreateDatabase(std::string& strError)
{
    if (m_nPid <= 0) {
        strError = "the PostgreSQL server is not running";
        return "";
    }
    // Names are made here, never taken from a test: quoting is not needed.
    const std::string strName = "qx_" + std::to_string(getpid()) + "_" + std::to_string(++m_nDatabases);
    PGconn* pConn = PQconnectdb(Uri("postgres").c_str());
    PGresult* pResult = PQexec(pConn, ("CREATE DATABASE " + strName).c_str());
    const bool bOk = PQresultStatus(pResult) == PGRES_COMMAND_OK;
    if (!bOk)
        strError = "CREATE DATABASE failed: " + std::string(PQerrorMessage(pConn));
    PQclear(pResult);
    PQfinish(pConn);
    return bOk ? Uri(strName) : "";
}

CPostgresServer* SharedPostgresServer(std::string& strError)
{
    static std::mutex s_mutex;
    static CPostgresServer s_server;
    static bool s_bTried = false;
    static std::string s_strError;
    std::lock_guard lock(s_mutex);
    if (!s_bTried) {
        s_bTried = true;
        if (!s_server.Start(s_strError))
            s_server.Stop();
    }
    if (s_server.Port() == 0) {
        strError = s_strError;
        return nullptr;
    }
    return &s_server;
}

namespace {

bool VariableSaysPostgres(const char* pszName)
{
    const char* psz = std::getenv(pszName);
    return psz != nullptr && std::string(psz) == "postgresql";
}

// A fresh database's URI, or one that every open fails on (port 1 on
// loopback refuses at once) after saying why.
std::string FreshDatabaseForTest(const char* pszWhat)
{
    std::string strError;
    CPostgresServer* pServer = SharedPostgresServer(strError);
    const std::string strUri = pServer != nullptr ? pServer->CreateDatabase(strError) : "";
    if (!strUri.empty())
        return strUri;
    std::fprintf(stderr, "no PostgreSQL database for the %s test: %s\n", pszWhat, strError.c_str());
    return "postgresql://127.0.0.1:1/unavailable";
}

} // namespace

bool StoreTestsOnPostgres()
{
    return VariableSaysPostgres("QUARVEX_TEST_STORE");
}

bool StorePostgresMissing()
{
    return StoreTestsOnPostgres() && CPostgresServer::FindBinDir().empty();
}

std::string StoreDbForTest(const std::string& strDir)
{
    return StoreTestsOnPostgres() ? FreshDatabaseForTest("store") : strDir + "/store.db";
}

bool RecordTestsOnPostgres()
{
    return VariableSaysPostgres("QUARVEX_TEST_RECORDS");
}

bool RecordPostgresMissing()
{
    return RecordTestsOnPostgres() && CPostgresServer::FindBinDir().empty();
}

std::string RecordStateForTest(const std::string& strFile)
{
    return RecordTestsOnPostgres() ? FreshDatabaseForTest("record state") + "#task" : strFile;
}
