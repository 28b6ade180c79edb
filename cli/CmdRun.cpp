// CmdRun.cpp - quarvex-cli run: loads a task definition and runs the task on
// its worker thread. Log lines go to standard error exactly as the task
// writes them; new rows go to standard output, one tab-separated line each.
#include "Commands.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>

#include <pthread.h>

#include "engine/NetworkSettings.h"
#include "engine/RecordState.h"
#include "engine/Task.h"
#include "engine/TextFormat.h"
#include "markup/Settings.h"
#include "platform/ProgramDir.h"

namespace {

// Tabs and line breaks inside a value would break the line-per-row form, so
// they are written as \t, \r and \n, and a backslash as \\.
std::string EscapeField(const std::string& strValue)
{
    std::string strOut;
    strOut.reserve(strValue.size());
    for (char c : strValue) {
        switch (c) {
        case '\\': strOut += "\\\\"; break;
        case '\t': strOut += "\\t"; break;
        case '\r': strOut += "\\r"; break;
        case '\n': strOut += "\\n"; break;
        default: strOut += c; break;
        }
    }
    return strOut;
}

void WriteRow(const std::vector<std::string>& aRow)
{
    std::string strLine;
    for (std::size_t i = 0; i < aRow.size(); ++i) {
        if (i > 0)
            strLine += '\t';
        strLine += EscapeField(aRow[i]);
    }
    strLine += '\n';
    std::fwrite(strLine.data(), 1, strLine.size(), stdout);
    std::fflush(stdout);
}

class CConsoleObserver : public ITaskObserver {
public:
    // bEvents: one JSON line per record event instead of the tab-separated rows.
    CConsoleObserver(bool bEvents, std::string strTask, std::vector<std::string> aColumns)
        : m_bEvents(bEvents), m_strTask(std::move(strTask)), m_aColumns(std::move(aColumns))
    {
    }
    void OnRowAdded(const CDataRow& aRow) override
    {
        if (!m_bEvents)
            WriteRow(aRow);
    }
    void OnRecordEvent(ERecordEvent eEvent, std::size_t, const CDataRow& aRow) override
    {
        if (!m_bEvents)
            return;
        static const char* const s_apszEvents[] = { "new", "changed", "gone", "back" };
        std::string strLine = "{\"event\":\"";
        strLine += s_apszEvents[static_cast<int>(eEvent)];
        strLine += "\",\"task\":";
        quarvex::AppendJsonQuoted(strLine, m_strTask);
        strLine += ",\"time\":\"" + quarvex::IsoTimeUtc(std::time(nullptr)) + "\",\"record\":{";
        for (std::size_t i = 0; i < m_aColumns.size(); ++i) {
            if (i > 0)
                strLine += ',';
            quarvex::AppendJsonQuoted(strLine, m_aColumns[i]);
            strLine += ':';
            quarvex::AppendJsonQuoted(strLine, i < aRow.size() ? aRow[i] : std::string());
        }
        strLine += "}}\n";
        std::fwrite(strLine.data(), 1, strLine.size(), stdout);
        std::fflush(stdout);
    }
    void OnLog(const std::string& strLine) override
    {
        std::fwrite(strLine.data(), 1, strLine.size(), stderr);
        std::fflush(stderr);
    }
    void OnPassEnd(bool bFetched, int, int) override
    {
        std::lock_guard lock(m_mutex);
        m_bLastFetched = bFetched;
    }
    bool LastPassFetched()
    {
        std::lock_guard lock(m_mutex);
        return m_bLastFetched;
    }

private:
    bool m_bEvents;
    std::string m_strTask;
    std::vector<std::string> m_aColumns;
    std::mutex m_mutex;
    bool m_bLastFetched = false;
};

bool ReadFile(const char* pszPath, std::string& strText)
{
    std::ifstream file(pszPath, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream stream;
    stream << file.rdbuf();
    if (file.bad())
        return false;
    strText = stream.str();
    return true;
}

int RunUsage()
{
    std::fputs("usage: quarvex-cli run DEF [--once | --passes N] [--events] [--data-dir DIR] [--state FILE]\n"
               "  runs the task until interrupted (SIGINT, SIGTERM), or for N passes;\n"
               "  new rows go to standard output, the log to standard error;\n"
               "  --events writes every record event (new, changed, gone, back) as a\n"
               "  JSON line instead; kept records live in DIR (default: data/ under the\n"
               "  program directory) or in FILE, unless Config.dat's keeprecords is 0\n"
               "  exit status 0, or 1 when the definition cannot be used or the\n"
               "  last of the passes asked for could not fetch its page\n",
               stderr);
    return 2;
}

} // namespace

int RunRunCommand(int argc, char** argv)
{
    const char* pszDef = nullptr;
    const char* pszDataDir = nullptr;
    const char* pszState = nullptr;
    bool bEvents = false;
    int nPasses = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--events") == 0) {
            bEvents = true;
        } else if (std::strcmp(argv[i], "--data-dir") == 0 && pszDataDir == nullptr && i + 1 < argc) {
            pszDataDir = argv[++i];
        } else if (std::strcmp(argv[i], "--state") == 0 && pszState == nullptr && i + 1 < argc) {
            pszState = argv[++i];
        } else if (std::strcmp(argv[i], "--once") == 0 && nPasses == 0) {
            nPasses = 1;
        } else if (std::strcmp(argv[i], "--passes") == 0 && nPasses == 0 && i + 1 < argc) {
            char* pszEnd = nullptr;
            errno = 0;
            const long n = std::strtol(argv[++i], &pszEnd, 10);
            if (errno != 0 || *pszEnd != '\0' || n < 1 || n > 1000000000)
                return RunUsage();
            nPasses = static_cast<int>(n);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return RunUsage();
        } else if (pszDef == nullptr) {
            pszDef = argv[i];
        } else {
            return RunUsage();
        }
    }
    if (pszDef == nullptr)
        return RunUsage();

    std::string strText;
    if (!ReadFile(pszDef, strText)) {
        std::fprintf(stderr, "quarvex-cli: cannot read %s: %s\n", pszDef, std::strerror(errno));
        return 1;
    }
    quarvex::CSettings settings;
    settings.Load();
    CTask task;
    // The kept records are opened with the definition, so the first pass
    // already knows what is not new.
    if (quarvex::KeepRecordsEnabled(settings)) {
        const std::string strDataDir = pszDataDir != nullptr ? pszDataDir : quarvex::GetProgramDir() + "data/";
        task.SetRecordStateFile(pszState != nullptr ? std::string(pszState) : RecordStatePathForFile(strDataDir, pszDef));
    }
    if (!task.LoadDefinition(strText.c_str())) {
        std::fprintf(stderr, "quarvex-cli: %s is not a task definition (it has no root element)\n",
                     pszDef);
        return 1;
    }
    if (task.GetColumnNames().empty())
        std::fprintf(stderr, "quarvex-cli: %s has no data nodes; no rows will be shown\n", pszDef);
    // Requests per host, their spacing and the proxy: Config.dat, then the
    // proxy variables of the environment.
    {
        std::string strError;
        if (!quarvex::ApplyNetworkSettings(settings, true, strError))
            std::fprintf(stderr, "quarvex-cli: network settings: %s\n", strError.c_str());
    }
    if (!bEvents)
        WriteRow(task.GetColumnNames());

    // The worker and notification threads inherit this mask, so only the
    // wait below ever takes SIGINT and SIGTERM.
    sigset_t setStop, setOld;
    sigemptyset(&setStop);
    sigaddset(&setStop, SIGINT);
    sigaddset(&setStop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &setStop, &setOld);

    CConsoleObserver observer(bEvents, task.GetTaskName(), task.GetColumnNames());
    task.SetPassLimit(nPasses);
    if (!task.Start(&observer)) {
        pthread_sigmask(SIG_SETMASK, &setOld, nullptr);
        std::fputs("quarvex-cli: cannot start the task's thread\n", stderr);
        return 1;
    }
    bool bInterrupted = false;
    while (task.IsRunning()) {
        const timespec wait = {0, 100 * 1000 * 1000};
        const int nSignal = sigtimedwait(&setStop, nullptr, &wait);
        if (nSignal == SIGINT || nSignal == SIGTERM) {
            bInterrupted = true;
            task.RequestStop();
        }
    }
    task.StopAndWait();
    task.WaitNotified(-1);
    pthread_sigmask(SIG_SETMASK, &setOld, nullptr);
    if (bInterrupted || nPasses == 0)
        return 0;
    return observer.LastPassFetched() ? 0 : 1;
}
