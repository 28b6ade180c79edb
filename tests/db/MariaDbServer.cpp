// MariaDbServer.cpp - installs, starts and stops a throw-away MariaDB server
// as a child process.
#include "MariaDbServer.h"

#include <mysql.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A port the kernel just handed out on 127.0.0.1; the server binds it a
// moment later.
unsigned FreePort()
{
    const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(address);
    unsigned nPort = 0;
    if (bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &nLen) == 0)
        nPort = ntohs(address.sin_port);
    close(hSocket);
    return nPort;
}

// Runs a program with arguments, output to strLog; its exit status or -1.
int RunProgram(const std::vector<std::string>& aArgs, const std::string& strLog, bool bWait, pid_t* pChild)
{
    std::vector<char*> aArgv;
    for (const std::string& str : aArgs)
        aArgv.push_back(const_cast<char*>(str.c_str()));
    aArgv.push_back(nullptr);
    const pid_t hChild = fork();
    if (hChild < 0)
        return -1;
    if (hChild == 0) {
        const int hLog = open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (hLog >= 0) {
            dup2(hLog, 1);
            dup2(hLog, 2);
        }
        execvp(aArgv[0], aArgv.data());
        _exit(127);
    }
    if (pChild != nullptr)
        *pChild = hChild;
    if (!bWait)
        return 0;
    int nStatus = 0;
    if (waitpid(hChild, &nStatus, 0) != hChild)
        return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// Debian keeps the server in /usr/sbin, which a CI runner's PATH may lack.
std::string FindProgram(const char* pszName, const char* pszUsual)
{
    std::error_code error;
    return std::filesystem::exists(pszUsual, error) ? std::string(pszUsual) : std::string(pszName);
}

std::string ReadTail(const std::string& strPath)
{
    std::ifstream file(strPath);
    std::string strText((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return strText.size() > 2000 ? strText.substr(strText.size() - 2000) : strText;
}

} // namespace

bool CMariaDbServer::Start(std::string& strError, const std::vector<std::string>& aExtraOptions)
{
    char szTemplate[] = "/tmp/quarvex-mariadb-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        strError = "cannot create a temporary folder";
        return false;
    }
    m_strDir = szTemplate;
    const std::string strLog = m_strDir + "/install.log";
    if (RunProgram({ FindProgram("mariadb-install-db", "/usr/bin/mariadb-install-db"), "--no-defaults", "--datadir=" + m_strDir + "/data",
                     "--auth-root-authentication-method=normal", "--skip-test-db", "--user=root" },
                   strLog, true, nullptr) != 0) {
        strError = "mariadb-install-db failed: " + ReadTail(strLog);
        return false;
    }
    {
        std::ofstream init(m_strDir + "/init.sql");
        init << "CREATE USER IF NOT EXISTS '" << ACCOUNT << "'@'%' IDENTIFIED BY '" << PASSWORD << "';\n"
             << "GRANT ALL PRIVILEGES ON *.* TO '" << ACCOUNT << "'@'%';\n"
             << "CREATE DATABASE IF NOT EXISTS " << DATABASE << ";\n";
    }
    // The free port may be taken before the server binds it; a server that
    // ends at once is tried again on another port.
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        if (Launch(aExtraOptions, strError))
            return true;
        if (m_hServer > 0)
            return false;  // Still running but silent: no point in another port.
    }
    return false;
}

bool CMariaDbServer::Launch(const std::vector<std::string>& aExtraOptions, std::string& strError)
{
    m_nPort = FreePort();
    std::vector<std::string> aArgs = {
        FindProgram("mariadbd", "/usr/sbin/mariadbd"), "--no-defaults", "--user=root", "--datadir=" + m_strDir + "/data",
        "--socket=" + m_strDir + "/mariadb.sock", "--port=" + std::to_string(m_nPort),
        "--bind-address=127.0.0.1", "--skip-networking=0", "--init-file=" + m_strDir + "/init.sql",
        "--pid-file=" + m_strDir + "/mariadb.pid", "--log-error=" + m_strDir + "/error.log",
        "--character-set-server=utf8mb4", "--collation-server=utf8mb4_general_ci",
        "--innodb-buffer-pool-size=32M", "--skip-log-bin",
    };
    aArgs.insert(aArgs.end(), aExtraOptions.begin(), aExtraOptions.end());
    if (RunProgram(aArgs, m_strDir + "/stdout.log", false, &m_hServer) != 0) {
        strError = "cannot start mariadbd";
        return false;
    }

    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < tEnd) {
        int nStatus = 0;
        if (waitpid(m_hServer, &nStatus, WNOHANG) == m_hServer) {
            m_hServer = -1;
            strError = "mariadbd ended: " + ReadTail(m_strDir + "/error.log");
            return false;
        }
        MYSQL* pConn = mysql_init(nullptr);
        const bool bUp = mysql_real_connect(pConn, "127.0.0.1", ACCOUNT, PASSWORD, DATABASE, m_nPort, nullptr, 0)
                         != nullptr;
        mysql_close(pConn);
        if (bUp)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    strError = "mariadbd did not answer within 60 s: " + ReadTail(m_strDir + "/error.log");
    return false;
}

void CMariaDbServer::Stop()
{
    if (m_hServer > 0) {
        kill(m_hServer, SIGTERM);
        // A clean shutdown takes a second or two; a server that hangs is
        // killed so the tests end.
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int nStatus = 0;
        while (waitpid(m_hServer, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > tEnd) {
                kill(m_hServer, SIGKILL);
                waitpid(m_hServer, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        m_hServer = -1;
    }
    if (!m_strDir.empty()) {
        std::error_code error;
        std::filesystem::remove_all(m_strDir, error);
        m_strDir.clear();
    }
}
