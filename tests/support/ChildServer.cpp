// ChildServer.cpp - CChildServer.
#include "ChildServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool CanConnectLoopback(int nPort)
{
    const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bOk = connect(hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(hSocket);
    return bOk;
}

std::string ReadWholeFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

CChildServer::EStart CChildServer::Start(const std::vector<std::string>& aArgs, int nPort, int nSeconds)
{
    Stop();
    // Everything the child needs is made before fork(): another thread of
    // the test may hold the allocator's lock at that moment.
    std::vector<char*> aArgv;
    for (const std::string& strArg : aArgs)
        aArgv.push_back(const_cast<char*>(strArg.c_str()));
    aArgv.push_back(nullptr);
    const pid_t nPid = fork();
    if (nPid < 0)
        return NO_FORK;
    if (nPid == 0) {
        execv(aArgv[0], aArgv.data());
        _exit(127);
    }
    m_nPid = nPid;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
    while (std::chrono::steady_clock::now() < tEnd) {
        int nStatus = 0;
        if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
            m_nPid = -1;
            return EXITED;
        }
        if (CanConnectLoopback(nPort))
            return STARTED;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return SILENT;
}

void CChildServer::Stop()
{
    if (m_nPid <= 0)
        return;
    // Fast shutdown: a graceful one would wait for kept-alive clients.
    kill(m_nPid, SIGTERM);
    int nStatus = 0;
    while (waitpid(m_nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    m_nPid = -1;
}
