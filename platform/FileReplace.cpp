// FileReplace.cpp - the POSIX side of ReplaceFile: a temporary file beside
// the target, fsync, rename, and fsync of the folder so that the rename
// itself survives a power cut.
#include "FileReplace.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarvex {

namespace {

// Numbers the temporary files of one process, so that two threads saving
// beside each other never pick the same name.
std::atomic<unsigned> s_nTempCounter{0};

bool WriteAll(int hFile, std::string_view strData)
{
    while (!strData.empty()) {
        const ssize_t nWritten = ::write(hFile, strData.data(), strData.size());
        if (nWritten < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        strData.remove_prefix(static_cast<size_t>(nWritten));
    }
    return true;
}

// Creates a file that did not exist before, beside strTarget; -1 when none
// can be made. The mode 0666 lets the umask decide, as for any new file.
// The name is the target's with a suffix, or a short one of its own where
// that would be longer than a file name may be.
int CreateTemporary(const std::string& strTarget, std::string& strTemp)
{
    const size_t nSlash = strTarget.rfind('/');
    const std::string strFolder = nSlash == std::string::npos ? std::string() : strTarget.substr(0, nSlash + 1);
    bool bShortName = false;
    for (int nTry = 0; nTry < 100; ++nTry) {
        const std::string strSuffix = std::to_string(::getpid()) + "-" + std::to_string(s_nTempCounter.fetch_add(1));
        strTemp = bShortName ? strFolder + ".quarvex-save-" + strSuffix : strTarget + ".tmp-" + strSuffix;
        const int hFile = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (hFile >= 0)
            return hFile;
        if (errno == ENAMETOOLONG && !bShortName)
            bShortName = true;
        else if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Flushes the folder's entry list; the rename is only durable after this.
// Some file systems cannot sync a folder; the file is in place by then, so
// that is not reported as a failed save.
void SyncFolder(const std::string& strTarget)
{
    const size_t nSlash = strTarget.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strTarget.substr(0, nSlash);
    const int hDir = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hDir >= 0) {
        ::fsync(hDir);
        ::close(hDir);
    }
}

} // namespace

bool ReplaceFile(const char* pszPath, std::string_view strData)
{
    if (pszPath == nullptr || *pszPath == '\0')
        return false;
    std::string strTarget = pszPath;
    struct stat st {};
    if (::lstat(pszPath, &st) == 0 && S_ISLNK(st.st_mode)) {
        // A dangling link has no file behind it; the link itself is replaced.
        char szResolved[PATH_MAX];
        if (::realpath(pszPath, szResolved) != nullptr)
            strTarget = szResolved;
    }
    const bool bExists = ::stat(strTarget.c_str(), &st) == 0;
    // Writing in place would fail on a folder or a read-only file; a rename
    // would quietly succeed, so both are refused here.
    if (bExists && (!S_ISREG(st.st_mode) || ::access(strTarget.c_str(), W_OK) != 0))
        return false;

    std::string strTemp;
    const int hFile = CreateTemporary(strTarget, strTemp);
    if (hFile < 0)
        return false;
    bool bOk = true;
    if (bExists) {
        // The modes are set before a byte is written: a settings file kept
        // private must not pass through a readable copy.
        bOk = ::fchmod(hFile, st.st_mode & 07777) == 0;
        // Only root may hand the file back to its owner; where that fails
        // the file is still the caller's own.
        if (::geteuid() == 0)
            static_cast<void>(::fchown(hFile, st.st_uid, st.st_gid));
    }
    bOk = bOk && WriteAll(hFile, strData) && ::fsync(hFile) == 0;
    bOk = ::close(hFile) == 0 && bOk;
    bOk = bOk && ::rename(strTemp.c_str(), strTarget.c_str()) == 0;
    if (!bOk) {
        ::unlink(strTemp.c_str());
        return false;
    }
    SyncFolder(strTarget);
    return true;
}

} // namespace quarvex
