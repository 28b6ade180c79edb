// CmdRecords.cpp - quarvex-cli records reset and quarvex-cli export: the
// records a task keeps across restarts, named by its definition file or its
// task store id.
#include "Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/stat.h>

#include "engine/RecordState.h"
#include "engine/Task.h"
#include "platform/ProgramDir.h"

namespace {

// The state file of DEF (an existing file) or of a store id.
std::string StatePathFor(const char* pszTask, const char* pszDataDir, const char* pszState)
{
    if (pszState != nullptr)
        return pszState;
    const std::string strDataDir = pszDataDir != nullptr ? pszDataDir : quarvex::GetProgramDir() + "data/";
    struct stat info{};
    if (::stat(pszTask, &info) == 0 && S_ISREG(info.st_mode))
        return RecordStatePathForFile(strDataDir, pszTask);
    return RecordStatePathForId(strDataDir, pszTask);
}

// Unix seconds, or a local "YYYY-MM-DD[ HH:MM[:SS]]" / "YYYY-MM-DDTHH:MM:SS".
bool ParseSince(const char* pszText, std::int64_t& nSince)
{
    char* pszEnd = nullptr;
    errno = 0;
    const long long n = std::strtoll(pszText, &pszEnd, 10);
    if (errno == 0 && *pszEnd == '\0' && n >= 0) {
        nSince = n;
        return true;
    }
    std::tm tmTime{};
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    char cSep = ' ';
    const int nRead = std::sscanf(pszText, "%4d-%2d-%2d%c%2d:%2d:%2d", &nYear, &nMonth, &nDay, &cSep, &nHour,
                                  &nMinute, &nSecond);
    if (nRead != 3 && nRead < 6)
        return false;
    if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31 || nHour > 23 || nMinute > 59 || nSecond > 60
        || (nRead > 3 && cSep != ' ' && cSep != 'T'))
        return false;
    tmTime.tm_year = nYear - 1900;
    tmTime.tm_mon = nMonth - 1;
    tmTime.tm_mday = nDay;
    tmTime.tm_hour = nHour;
    tmTime.tm_min = nMinute;
    tmTime.tm_sec = nSecond;
    tmTime.tm_isdst = -1;
    const std::time_t t = std::mktime(&tmTime);
    if (t == static_cast<std::time_t>(-1))
        return false;
    nSince = t;
    return true;
}

int RecordsUsage()
{
    std::fputs("usage: quarvex-cli records reset DEF|ID [--data-dir DIR] [--state FILE]\n"
               "  forgets every record the task kept (and every delivery it still owes)\n",
               stderr);
    return 2;
}

int ExportUsage()
{
    std::fputs("usage: quarvex-cli export DEF|ID [--format csv|jsonl] [--since TIME] [--data-dir DIR] [--state FILE]\n"
               "  writes the task's kept records to standard output (CSV: UTF-8, RFC 4180;\n"
               "  JSON Lines with first seen, last seen and last changed times); TIME is\n"
               "  Unix seconds or a local YYYY-MM-DD[ HH:MM:SS]\n",
               stderr);
    return 2;
}

} // namespace

int RunRecordsCommand(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[0], "reset") != 0)
        return RecordsUsage();
    const char* pszTask = nullptr;
    const char* pszDataDir = nullptr;
    const char* pszState = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data-dir") == 0 && i + 1 < argc && pszDataDir == nullptr)
            pszDataDir = argv[++i];
        else if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc && pszState == nullptr)
            pszState = argv[++i];
        else if (argv[i][0] != '-' && pszTask == nullptr)
            pszTask = argv[i];
        else
            return RecordsUsage();
    }
    if (pszTask == nullptr)
        return RecordsUsage();
    const std::string strPath = StatePathFor(pszTask, pszDataDir, pszState);
    struct stat info{};
    if (::stat(strPath.c_str(), &info) != 0) {
        std::fprintf(stderr, "quarvex-cli: %s keeps no records (no %s)\n", pszTask, strPath.c_str());
        return 0;
    }
    CTask task;
    task.SetRecordStateFile(strPath);
    std::string strError;
    if (!task.ResetRecords(strError)) {
        std::fprintf(stderr, "quarvex-cli: cannot reset %s: %s\n", strPath.c_str(), strError.c_str());
        return 1;
    }
    std::fprintf(stderr, "quarvex-cli: the records kept in %s are forgotten\n", strPath.c_str());
    return 0;
}

int RunExportCommand(int argc, char** argv)
{
    const char* pszTask = nullptr;
    const char* pszDataDir = nullptr;
    const char* pszState = nullptr;
    EExportFormat eFormat = EExportFormat::CSV;
    std::int64_t nSince = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data-dir") == 0 && i + 1 < argc && pszDataDir == nullptr) {
            pszDataDir = argv[++i];
        } else if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc && pszState == nullptr) {
            pszState = argv[++i];
        } else if (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc) {
            ++i;
            if (std::strcmp(argv[i], "csv") == 0)
                eFormat = EExportFormat::CSV;
            else if (std::strcmp(argv[i], "jsonl") == 0)
                eFormat = EExportFormat::JSONL;
            else
                return ExportUsage();
        } else if (std::strcmp(argv[i], "--since") == 0 && i + 1 < argc) {
            if (!ParseSince(argv[++i], nSince))
                return ExportUsage();
        } else if (argv[i][0] != '-' && pszTask == nullptr) {
            pszTask = argv[i];
        } else {
            return ExportUsage();
        }
    }
    if (pszTask == nullptr)
        return ExportUsage();
    const std::string strPath = StatePathFor(pszTask, pszDataDir, pszState);
    std::string strOut, strError;
    if (!ExportRecords(strPath, eFormat, nSince, strOut, strError)) {
        std::fprintf(stderr, "quarvex-cli: cannot export %s: %s\n", pszTask, strError.c_str());
        return 1;
    }
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
