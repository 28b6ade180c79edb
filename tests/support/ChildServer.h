// ChildServer.h - a server program (nginx, tinyproxy) run in the foreground
// for a test: started, waited for until it accepts on its loopback port, and
// stopped with SIGTERM by the destructor.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

bool CanConnectLoopback(int nPort);
std::string ReadWholeFile(const std::string& strPath);

class CChildServer
{
public:
    enum EStart { STARTED, EXITED, SILENT, NO_FORK };

    CChildServer() = default;
    ~CChildServer() { Stop(); }
    CChildServer(const CChildServer&) = delete;
    CChildServer& operator=(const CChildServer&) = delete;

    // Runs aArgs (the program's path first) and waits up to nSeconds for it
    // to accept on 127.0.0.1:nPort. EXITED: the program ended first (most
    // often the port was taken meanwhile); SILENT: it was stopped again.
    EStart Start(const std::vector<std::string>& aArgs, int nPort, int nSeconds = 10);
    void Stop();

private:
    pid_t m_nPid = -1;
};
