// main.cpp - quarvex-store: serves the task store and administers its
// accounts. Every command works on one database (--db): an SQLite file, by
// default quarvex-store.db in the program directory, or a PostgreSQL
// database that several store servers may share.
#include "GuardedHttpServer.h"
#include "StoreServer.h"

#include "markup/TaskDef.h"
#include "platform/ProgramDir.h"
#include "store/StoreClient.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

using namespace quarvex;

namespace {

const char s_szUsage[] =
    "usage: quarvex-store [--db FILE|postgresql://...] COMMAND [ARGS]\n"
    "\n"
    "  serve [--listen HOST:PORT] [--max-tasks N] [--max-bytes N[K|M|G]] [--max-per-address N]\n"
    "        [--trusted-proxy ADDR]...\n"
    "                              serve the task store (default 127.0.0.1:8080); an account\n"
    "                              may keep --max-tasks tasks (default 10000) and --max-bytes\n"
    "                              bytes in all (default 1G): saves past either are answered\n"
    "                              \"failed\"; one client address may hold --max-per-address\n"
    "                              connections at once (default 16); for requests that a\n"
    "                              --trusted-proxy (an IP address, repeatable) passes on, the\n"
    "                              client address is taken from X-Forwarded-For\n"
    "  adduser NAME                add an account; the password is read from standard input\n"
    "  passwd NAME                 set an account's password, read from standard input\n"
    "  deluser NAME                delete an account with its tasks and sessions\n"
    "  import-examples DIR         store every task definition file in DIR as an example task\n"
    "\n"
    "--db may also follow the command. A postgresql:// URI (libpq's form, e.g.\n"
    "postgresql://quarvex@db.example:5432/quarvex) keeps the store in PostgreSQL,\n"
    "where several store servers may serve the same accounts; login failures\n"
    "and quotas then count across all of them. Anything else names an SQLite file.\n";

int Usage()
{
    std::fputs(s_szUsage, stderr);
    return 2;
}

// Reads one line of standard input as the password, without echo when it is
// a terminal. The line end is not part of the password.
bool ReadPassword(std::string& strPassword)
{
    const bool bTty = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (bTty) {
        std::fputs("Password: ", stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    const bool bOk = static_cast<bool>(std::getline(std::cin, strPassword));
    if (bTty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    if (!strPassword.empty() && strPassword.back() == '\r')
        strPassword.pop_back();
    return bOk;
}

int Serve(CStoreServer& server, const std::string& strListen)
{
    std::string strHost, strError;
    int nPort = 0;
    if (!SplitHostPort(strListen, 8080, strHost, nPort)) {
        std::fprintf(stderr, "quarvex-store: bad listen address '%s'\n", strListen.c_str());
        return 2;
    }
    // The server threads inherit the blocked signals; this thread alone
    // takes them from sigwait and shuts down in order.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    if (!server.Start(strHost, nPort, strError)) {
        std::fprintf(stderr, "quarvex-store: %s\n", strError.c_str());
        return 1;
    }
    std::fprintf(stderr, "quarvex-store: serving on %s:%d\n", strHost.c_str(), server.GetPort());
    int nSig = 0;
    sigwait(&sigs, &nSig);
    std::fputs("quarvex-store: stopping\n", stderr);
    server.Stop();
    return 0;
}

bool ReadFile(const std::filesystem::path& path, std::string& strText)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    strText = ss.str();
    return !in.bad();
}

// A file whose markup has a top-level <root>; other files in the folder
// (notes, backups) are skipped.
bool IsTaskDefinition(const std::string& strText)
{
    CMarkupDoc doc;
    doc.Parse(strText.c_str());
    return doc.FindTopLevel(KEY_ROOT) != nullptr;
}

int ImportExamples(CStoreService& service, const std::string& strDir)
{
    std::error_code ec;
    std::vector<std::filesystem::path> aFiles;
    for (const auto& entry : std::filesystem::directory_iterator(strDir, ec)) {
        if (entry.is_regular_file(ec))
            aFiles.push_back(entry.path());
    }
    if (ec) {
        std::fprintf(stderr, "quarvex-store: %s: %s\n", strDir.c_str(), ec.message().c_str());
        return 1;
    }
    // Examples are listed in the order they were added; name order makes
    // that order predictable.
    std::sort(aFiles.begin(), aFiles.end());
    int nFailed = 0;
    for (const auto& path : aFiles) {
        std::string strText;
        if (!ReadFile(path, strText) || !IsTaskDefinition(strText)) {
            std::fprintf(stderr, "quarvex-store: %s: not a task definition, skipped\n", path.c_str());
            continue;
        }
        bool bAdded = false;
        const std::optional<std::string> id = service.AddExample(strText, &bAdded);
        if (!id) {
            std::fprintf(stderr, "quarvex-store: %s: %s\n", path.c_str(), service.GetDb().GetLastError().c_str());
            ++nFailed;
            continue;
        }
        if (!bAdded)
            std::fprintf(stderr, "quarvex-store: %s: already stored, kept once\n", path.c_str());
        std::printf("%s\t%s\n", id->c_str(), TaskNameOf(strText).c_str());
    }
    return nFailed == 0 ? 0 : 1;
}

bool IsAllDigits(const std::string& strText)
{
    return std::all_of(strText.begin(), strText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A count for an option: decimal digits, with K, M or G for binary
// multiples; false on anything else, on 0 and on overflow.
bool ParseCount(const std::string& strText, std::int64_t& nOut)
{
    std::int64_t n = 0;
    std::size_t i = 0;
    for (; i < strText.size() && strText[i] >= '0' && strText[i] <= '9'; ++i) {
        if (n > (INT64_MAX - 9) / 10)
            return false;
        n = n * 10 + (strText[i] - '0');
    }
    if (i == 0)
        return false;
    std::int64_t nUnit = 1;
    if (i + 1 == strText.size()) {
        const char c = strText[i];
        nUnit = c == 'K' || c == 'k' ? 1024 : c == 'M' || c == 'm' ? 1024 * 1024 : c == 'G' || c == 'g' ? 1024 * 1024 * 1024 : 0;
        ++i;
    }
    if (i != strText.size() || nUnit == 0 || n == 0 || n > INT64_MAX / nUnit)
        return false;
    nOut = n * nUnit;
    return true;
}

// The database as error lines name it: a URI's password stays out of logs.
std::string DatabaseForLog(const std::string& strDb)
{
    if (!IsPostgresUri(strDb))
        return strDb;
    const std::size_t nScheme = strDb.find("://") + 3;
    const std::size_t nAt = strDb.find('@', nScheme);
    const std::size_t nColon = strDb.find(':', nScheme);
    if (nAt == std::string::npos || nColon == std::string::npos || nColon > nAt)
        return strDb;
    return strDb.substr(0, nColon) + ":***" + strDb.substr(nAt);
}

} // namespace

int main(int argc, char** argv)
{
    std::string strDb = quarvex::GetProgramDir() + "quarvex-store.db";
    std::string strListen = "127.0.0.1:8080";
    StoreOptions options;
    std::vector<std::string> aArgs;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if ((strArg == "--db" || strArg == "--listen") && i + 1 < argc) {
            (strArg == "--db" ? strDb : strListen) = argv[++i];
        } else if (strArg == "--max-per-address" && i + 1 < argc) {
            std::int64_t nCount = 0;
            if (!IsAllDigits(argv[++i]) || !ParseCount(argv[i], nCount) || nCount > 100000) {
                std::fprintf(stderr, "quarvex-store: bad count for %s: '%s'\n", strArg.c_str(), argv[i]);
                return Usage();
            }
            options.nConnectionsPerAddress = static_cast<int>(nCount);
            // A share above the total could never be reached.
            options.nMaxConnections = std::max(options.nMaxConnections, options.nConnectionsPerAddress);
        } else if ((strArg == "--max-tasks" || strArg == "--max-bytes") && i + 1 < argc) {
            std::int64_t& nLimit = strArg == "--max-tasks" ? options.nMaxTasksPerAccount : options.nMaxBytesPerAccount;
            if (!ParseCount(argv[++i], nLimit) || (strArg == "--max-tasks" && !IsAllDigits(argv[i]))) {
                std::fprintf(stderr, "quarvex-store: bad count for %s: '%s'\n", strArg.c_str(), argv[i]);
                return Usage();
            }
        } else if (strArg == "--trusted-proxy" && i + 1 < argc) {
            const std::string strAddress = NormaliseAddress(argv[++i]);
            if (strAddress.empty()) {
                std::fprintf(stderr, "quarvex-store: bad address for %s: '%s'\n", strArg.c_str(), argv[i]);
                return Usage();
            }
            options.aTrustedProxies.push_back(strAddress);
        } else if (strArg == "--help" || strArg == "-h") {
            std::fputs(s_szUsage, stdout);
            return 0;
        } else if (strArg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            aArgs.push_back(strArg);
        }
    }
    if (aArgs.empty())
        return Usage();
    const std::string& strCommand = aArgs[0];
    const bool bOneArg = aArgs.size() == 2;
    if (!((strCommand == "serve" && aArgs.size() == 1) ||
          ((strCommand == "adduser" || strCommand == "passwd" || strCommand == "deluser" ||
            strCommand == "import-examples") && bOneArg)))
        return Usage();

    CStoreServer server(options);
    std::string strError;
    if (!server.Open(strDb, strError)) {
        std::fprintf(stderr, "quarvex-store: %s: %s\n", DatabaseForLog(strDb).c_str(), strError.c_str());
        return 1;
    }
    CStoreService& service = server.GetService();
    if (strCommand == "serve")
        return Serve(server, strListen);
    if (strCommand == "import-examples")
        return ImportExamples(service, aArgs[1]);

    bool bOk = false;
    if (strCommand == "deluser") {
        bOk = service.DeleteUser(aArgs[1], strError);
    } else {
        std::string strPassword;
        if (!ReadPassword(strPassword)) {
            std::fputs("quarvex-store: no password on standard input\n", stderr);
            return 1;
        }
        bOk = strCommand == "adduser" ? service.AddUser(aArgs[1], strPassword, strError)
                                      : service.SetPassword(aArgs[1], strPassword, strError);
    }
    if (!bOk) {
        std::fprintf(stderr, "quarvex-store: %s: %s\n", aArgs[1].c_str(), strError.c_str());
        return 1;
    }
    return 0;
}
