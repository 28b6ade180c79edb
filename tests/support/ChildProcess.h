// ChildProcess.h - starting a program of ours from a test and waiting for it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts aArgv[0] with aArgv and, when pEnv is given, exactly that
// environment (else the test's). Standard output and error go to the files
// named (empty: left as they are). Everything is prepared before fork: other
// threads of the test may hold the allocator's lock at that moment, so the
// child only opens, duplicates and executes. The process id, or -1.
pid_t SpawnProgram(const std::vector<std::string>& aArgv, const std::string& strOutFile,
                   const std::string& strErrFile, const std::vector<std::string>* pEnv = nullptr);

// The exit status of pid (128 + the signal when one ended it), or -1 when
// it did not end within nMs; then, with bKill, it is killed and reaped.
int WaitExit(pid_t pid, int nMs, bool bKill = true);
