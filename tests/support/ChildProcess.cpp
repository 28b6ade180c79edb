// ChildProcess.cpp - fork, exec and a bounded wait.
#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t SpawnProgram(const std::vector<std::string>& aArgv, const std::string& strOutFile,
                   const std::string& strErrFile, const std::vector<std::string>* pEnv)
{
    if (aArgv.empty())
        return -1;
    std::vector<char*> apArgs;
    for (const std::string& s : aArgv)
        apArgs.push_back(const_cast<char*>(s.c_str()));
    apArgs.push_back(nullptr);
    std::vector<char*> apEnv;
    if (pEnv != nullptr) {
        for (const std::string& s : *pEnv)
            apEnv.push_back(const_cast<char*>(s.c_str()));
        apEnv.push_back(nullptr);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (!strOutFile.empty())
            dup2(open(strOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        if (!strErrFile.empty())
            dup2(open(strErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (pEnv != nullptr)
            execve(apArgs[0], apArgs.data(), apEnv.data());
        else
            execv(apArgs[0], apArgs.data());
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid, int nMs, bool bKill)
{
    for (int i = 0; i < nMs / 10; ++i) {
        int nStatus = 0;
        if (waitpid(pid, &nStatus, WNOHANG) == pid)
            return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        usleep(10000);
    }
    if (bKill) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}
