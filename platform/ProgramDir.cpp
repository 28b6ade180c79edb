// ProgramDir.cpp - the program directory on Linux, from /proc/self/exe.
#include "ProgramDir.h"

#include <cstdlib>
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
    return GetExecutableDir();
}

} // namespace quarvex
