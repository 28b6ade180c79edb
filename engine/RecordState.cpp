// RecordState.cpp - the record state file.
#include "RecordState.h"

#include <cstdio>
#include <cstdlib>

namespace {

// FNV-1a: stable across builds and machines, unlike std::hash, so a
// definition finds its state again after an upgrade.
std::uint64_t HashText(const std::string& strText)
{
    std::uint64_t nHash = 14695981039346656037ull;
    for (unsigned char c : strText) {
        nHash ^= c;
        nHash *= 1099511628211ull;
    }
    return nHash;
}

// Letters, digits, '-', '_' and '.' stay; anything else (a '/', a byte of a
// Chinese name, a leading dot) becomes '_', so an id never leaves the folder.
std::string SanitiseName(const std::string& strName, std::size_t nMax)
{
    std::string strOut;
    for (char c : strName) {
        if (strOut.size() >= nMax)
            break;
        const bool bPlain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_' || (c == '.' && !strOut.empty());
        strOut += bPlain ? c : '_';
    }
    return strOut;
}

std::string JoinDir(const std::string& strDir, const std::string& strName)
{
    if (strDir.empty())
        return strName;
    return strDir.back() == '/' ? strDir + strName : strDir + '/' + strName;
}

std::string AbsolutePath(const std::string& strPath)
{
    char* pszReal = realpath(strPath.c_str(), nullptr);
    if (pszReal == nullptr)
        return strPath;
    std::string strOut(pszReal);
    std::free(pszReal);
    return strOut;
}

} // namespace

std::string RecordStatePathForId(const std::string& strDataDir, const std::string& strTaskId)
{
    std::string strName = SanitiseName(strTaskId, 100);
    // An id that had to be changed gets its hash too, so two ids that
    // sanitise alike never share a file.
    if (strName != strTaskId || strName.empty()) {
        char szHash[20];
        std::snprintf(szHash, sizeof szHash, "-%016llx", static_cast<unsigned long long>(HashText(strTaskId)));
        strName += szHash;
    }
    return JoinDir(strDataDir, strName + ".records");
}

std::string RecordStatePathForFile(const std::string& strDataDir, const std::string& strDefinitionPath)
{
    const std::string strAbsolute = AbsolutePath(strDefinitionPath);
    const std::size_t nSlash = strAbsolute.rfind('/');
    const std::string strBase = nSlash == std::string::npos ? strAbsolute : strAbsolute.substr(nSlash + 1);
    char szHash[20];
    std::snprintf(szHash, sizeof szHash, "-%016llx", static_cast<unsigned long long>(HashText(strAbsolute)));
    return JoinDir(strDataDir, SanitiseName(strBase, 60) + szHash + ".records");
}

bool ExportRecords(const std::string& strStatePath, EExportFormat eFormat, std::int64_t nSinceUnix,
                   std::string& strOut, std::string& strError)
{
    (void)strStatePath;
    (void)eFormat;
    (void)nSinceUnix;
    strOut.clear();
    strError = "not available yet";
    return false;
}
