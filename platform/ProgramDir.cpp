// ProgramDir.cpp - the program directory on Linux, from /proc/self/exe.
#include "ProgramDir.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quarvex {

std::string GetExecutableDir()
{
    // readlink does not terminate and reports truncation only by filling the
    // whole buffer, so grow until the link fits.
    std::vector<char> aBuffer(4096);
    for (;;) {
        const ssize_t nLen = readlink("/proc/self/exe", aBuffer.data(), aBuffer.size());
        if (nLen < 0)
            return "./";
        if (static_cast<size_t>(nLen) < aBuffer.size()) {
            std::string strPath(aBuffer.data(), static_cast<size_t>(nLen));
            const size_t nSlash = strPath.rfind('/');
            if (nSlash == std::string::npos)
                return "./";
            strPath.resize(nSlash + 1);
            return strPath;
        }
        if (aBuffer.size() >= (1u << 20))
            return "./";
        aBuffer.resize(aBuffer.size() * 2);
    }
}

std::string GetProgramDir()
{
    const char* pszHome = std::getenv("QUARVEX_HOME");
    if (pszHome != nullptr && *pszHome != '\0') {
        std::string strDir(pszHome);
        if (strDir.back() != '/')
            strDir += '/';
        return strDir;
    }
    const std::string strExeDir = GetExecutableDir();
    if (access(strExeDir.c_str(), W_OK) == 0)
        return strExeDir;
    // An installed copy (/usr/bin) cannot keep its settings beside itself:
    // use the user's data folder instead, as other desktop programs do.
    std::string strData;
    const char* pszData = std::getenv("XDG_DATA_HOME");
    if (pszData != nullptr && *pszData == '/') {
        strData = pszData;
    } else {
        const char* pszUserHome = std::getenv("HOME");
        if (pszUserHome == nullptr || *pszUserHome != '/')
            return strExeDir;
        strData = std::string(pszUserHome) + "/.local/share";
    }
    if (strData.back() != '/')
        strData += '/';
    // Create each missing level; mkdir's failure on an existing one is fine.
    for (std::size_t nSlash = strData.find('/', 1); nSlash != std::string::npos; nSlash = strData.find('/', nSlash + 1))
        mkdir(strData.substr(0, nSlash).c_str(), 0700);
    const std::string strDir = strData + "quarvex/";
    mkdir(strDir.c_str(), 0700);
    return strDir;
}

} // namespace quarvex
