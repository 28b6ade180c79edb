// RecordState.cpp - the record state file.
#include "RecordState.h"

#include "engine/db/PgConnection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <sys/stat.h>

#include "PgRecordStore.h"
#include "RecordStore.h"
#include "TextFormat.h"

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
    // A PostgreSQL database keeps every task's state under the task's id.
    if (quarvex::IsPostgresUri(strDataDir))
        return strDataDir + "#" + strTaskId;
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
    strOut.clear();
    struct stat info{};
    if (!quarvex::IsPostgresUri(strStatePath) && ::stat(strStatePath.c_str(), &info) != 0) {
        strError = "no kept records at " + strStatePath;
        return false;
    }
    std::unique_ptr<IRecordStore> pStore = CreateRecordStore(strStatePath, true);
    if (!pStore->Open(strError))
        return false;
    std::string strColumns;
    CDataRow aColumns;
    if (!pStore->GetMeta("columns", strColumns) || !UnpackRow(strColumns.data(), strColumns.size(), aColumns)) {
        strError = pStore->GetError().empty() ? "the column names are unreadable" : pStore->GetError();
        return false;
    }
    static const char* const s_apszStates[] = { "kept", "changed", "gone" };
    if (eFormat == EExportFormat::CSV) {
        // A byte order mark tells spreadsheet programs the file is UTF-8.
        strOut = "\xEF\xBB\xBF";
        for (std::size_t i = 0; i < aColumns.size(); ++i) {
            if (i > 0)
                strOut += ',';
            quarvex::AppendCsvField(strOut, aColumns[i]);
        }
        strOut += "\r\n";
    }
    const bool bOk = pStore->ForEachRecord([&](SStoredRecord& record) {
        if (nSinceUnix > 0 && record.tLastSeen < nSinceUnix && record.tLastChanged < nSinceUnix)
            return;
        if (eFormat == EExportFormat::CSV) {
            for (std::size_t i = 0; i < aColumns.size(); ++i) {
                if (i > 0)
                    strOut += ',';
                quarvex::AppendCsvField(strOut, i < record.aRow.size() ? record.aRow[i] : std::string());
            }
            strOut += "\r\n";
            return;
        }
        // One flat object per record: the columns by name, then the times
        // (a column that has the name of a time keeps it).
        strOut += '{';
        for (std::size_t i = 0; i < aColumns.size(); ++i) {
            if (i > 0)
                strOut += ',';
            quarvex::AppendJsonQuoted(strOut, aColumns[i]);
            strOut += ':';
            quarvex::AppendJsonQuoted(strOut, i < record.aRow.size() ? record.aRow[i] : std::string());
        }
        const std::pair<const char*, std::string> aTimes[] = {
            {"state", s_apszStates[record.nState <= ROW_GONE ? record.nState : 0]},
            {"first_seen", quarvex::IsoTimeUtc(record.tFirstSeen)},
            {"last_seen", quarvex::IsoTimeUtc(record.tLastSeen)},
            {"last_changed", quarvex::IsoTimeUtc(record.tLastChanged)},
        };
        for (const auto& [pszName, strValue] : aTimes) {
            if (std::find(aColumns.begin(), aColumns.end(), pszName) != aColumns.end())
                continue;
            if (strOut.back() != '{')
                strOut += ',';
            strOut += '"';
            strOut += pszName;
            strOut += "\":\"" + strValue + '"';
        }
        strOut += "}\n";
    });
    if (!bOk) {
        strError = pStore->GetError();
        strOut.clear();
        return false;
    }
    return true;
}
