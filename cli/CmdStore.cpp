// CmdStore.cpp - "store ..." works with the tasks of an account in a task
// store, as the desktop application does; "blob encode|decode" turns a
// definition into the store's blob text and a LoadTask reply back into the
// definition. Failures print the operation's message and exit with 1.
#include "Commands.h"

#include "markup/Settings.h"
#include "store/BlobCodec.h"
#include "store/StoreClient.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

using namespace quarvex;

namespace {

// Definitions are a few kilobytes; the store takes bodies up to 4 MiB.
constexpr std::size_t MAX_INPUT = 16u << 20;

// Reads a whole file, or standard input for null or "-".
bool ReadInput(const char* pszFile, std::string& strText)
{
    std::istream* pIn = &std::cin;
    std::ifstream file;
    if (pszFile != nullptr && std::strcmp(pszFile, "-") != 0) {
        file.open(pszFile, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "quarvex-cli: cannot read '%s'\n", pszFile);
            return false;
        }
        pIn = &file;
    }
    strText.clear();
    char aBuffer[65536];
    while (pIn->read(aBuffer, sizeof(aBuffer)) || pIn->gcount() > 0) {
        strText.append(aBuffer, static_cast<std::size_t>(pIn->gcount()));
        if (strText.size() > MAX_INPUT) {
            std::fprintf(stderr, "quarvex-cli: '%s' is too large\n", pszFile != nullptr ? pszFile : "-");
            return false;
        }
    }
    if (pIn->bad()) {
        std::fprintf(stderr, "quarvex-cli: cannot read '%s'\n", pszFile != nullptr ? pszFile : "-");
        return false;
    }
    return true;
}

int Fail(const char* pszMessage)
{
    std::fprintf(stderr, "quarvex-cli: %s\n", pszMessage);
    return 1;
}

void WriteText(const std::string& strText)
{
    std::fwrite(strText.data(), 1, strText.size(), stdout);
}

// The password from QUARVEX_PASSWORD, else the first line of standard input.
bool GetPassword(std::string& strPassword)
{
    if (const char* psz = std::getenv("QUARVEX_PASSWORD")) {
        strPassword = psz;
        return true;
    }
    if (!std::getline(std::cin, strPassword))
        return false;
    if (!strPassword.empty() && strPassword.back() == '\r')
        strPassword.pop_back();
    return true;
}

void PrintTaskLines(const std::vector<StoreExample>& aTasks)
{
    for (const StoreExample& task : aTasks)
        std::printf("%s\t%s\n", task.strId.c_str(), task.strName.c_str());
}

// A decimal number without sign of at most 18 digits.
bool ParseDecimal(const char* psz, std::int64_t& nOut)
{
    const std::size_t nLen = std::strlen(psz);
    if (nLen == 0 || nLen > 18 || std::strspn(psz, "0123456789") != nLen)
        return false;
    nOut = std::strtoll(psz, nullptr, 10);
    return true;
}

void PrintLeases(const std::vector<StoreLease>& aLeases)
{
    for (const StoreLease& lease : aLeases)
        std::printf("%s\t%lld\t%d\n", lease.strId.c_str(), static_cast<long long>(lease.nFence), lease.nTtlSeconds);
}

} // namespace

int RunStoreCommand(int argc, char** argv)
{
    std::string strServer, strUser;
    int i = 0;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (i + 1 >= argc)
            return PrintUsage();
        if (std::strcmp(argv[i], "--server") == 0)
            strServer = argv[i + 1];
        else if (std::strcmp(argv[i], "--user") == 0)
            strUser = argv[i + 1];
        else
            return PrintUsage();
    }
    if (i >= argc)
        return PrintUsage();
    const std::string strCommand = argv[i];
    char** aArgs = argv + i + 1;
    const int nArgs = argc - i - 1;
    const bool bShapeOk = ((strCommand == "list" || strCommand == "examples") && nArgs == 0) ||
                          ((strCommand == "get" || strCommand == "add" || strCommand == "delete") && nArgs == 1) ||
                          (strCommand == "update" && nArgs == 2) || (strCommand == "versions" && nArgs == 0) ||
                          (strCommand == "lease" && (nArgs == 2 || nArgs == 3)) ||
                          (strCommand == "release" && nArgs == 3);
    if (!bShapeOk || (strUser.empty() && strCommand != "examples"))
        return PrintUsage();

    if (strServer.empty()) {
        CSettings settings;
        settings.Load();
        strServer = settings.GetServer();
        if (strServer.empty()) {
            std::fputs("quarvex-cli: no task store address: give --server HOST:PORT or set server under general "
                       "in Config.dat\n", stderr);
            return 2;
        }
    }
    CStoreClient client(strServer);

    if (strCommand == "examples") {
        std::vector<StoreExample> aExamples;
        if (!client.LoadExampleList(aExamples))
            return Fail(STORE_MSG_NETWORK);
        PrintTaskLines(aExamples);
        return 0;
    }

    std::string strPassword;
    if (!GetPassword(strPassword))
        return Fail("no password: set QUARVEX_PASSWORD or give it on standard input");
    switch (client.Login(strUser, strPassword)) {
    case StoreLogin::OK: break;
    case StoreLogin::NETWORK: return Fail(STORE_MSG_NETWORK);
    case StoreLogin::REFUSED: return Fail(STORE_MSG_LOGIN_REFUSED);
    case StoreLogin::UNEXPECTED: return Fail("the task store gave an unexpected login reply");
    }

    if (strCommand == "list") {
        std::vector<std::string> aIds;
        if (!client.ListTasks(aIds))
            return Fail(STORE_MSG_NETWORK);
        std::vector<StoreExample> aTasks;
        for (const std::string& strId : aIds) {
            const std::optional<std::string> text = client.LoadTask(strId, client.GetToken());
            aTasks.push_back({ strId, text ? TaskNameOf(*text) : std::string() });
        }
        PrintTaskLines(aTasks);
        return 0;
    }
    if (strCommand == "versions") {
        std::vector<StoreTaskVersion> aTasks;
        if (!client.ListTaskVersions(aTasks))
            return Fail(STORE_MSG_NETWORK);
        for (const StoreTaskVersion& task : aTasks)
            std::printf("%s\t%lld\n", task.strId.c_str(), static_cast<long long>(task.nVersion));
        return 0;
    }
    if (strCommand == "lease") {
        std::int64_t nTtl = 0;
        if (!ParseDecimal(aArgs[1], nTtl) || nTtl < 1 || nTtl > 3600)
            return Fail("a lease lasts 1 to 3600 seconds");
        if (nArgs == 3) {
            const std::optional<StoreLease> lease = client.LeaseTask(aArgs[0], aArgs[2], static_cast<int>(nTtl));
            if (!lease)
                return Fail("the task is held by another holder, or the lease was refused");
            PrintLeases({ *lease });
            return 0;
        }
        std::vector<StoreLease> aGranted;
        if (!client.LeaseTasks(aArgs[0], 1000, static_cast<int>(nTtl), aGranted))
            return Fail("the lease was refused (holder: 1 to 64 printable ASCII bytes without spaces)");
        PrintLeases(aGranted);
        return 0;
    }
    if (strCommand == "release") {
        StoreLease lease{ aArgs[1], 0, 0 };
        if (!ParseDecimal(aArgs[2], lease.nFence))
            return Fail("a fencing number is a decimal number");
        return client.ReleaseLease(aArgs[0], lease) ? 0 : Fail("the lease was not held under that number");
    }
    if (strCommand == "get") {
        // An id that is not the account's own may be an example.
        std::optional<std::string> text = client.LoadTask(aArgs[0], client.GetToken());
        if (!text)
            text = client.LoadTask(aArgs[0], std::string());
        if (!text)
            return Fail("the task could not be loaded");
        WriteText(*text);
        return 0;
    }
    if (strCommand == "delete")
        return client.DeleteTask(aArgs[0]) ? 0 : Fail(STORE_MSG_DELETE_FAILED);

    std::string strText;
    if (!ReadInput(aArgs[nArgs - 1], strText))
        return 1;
    if (strCommand == "add") {
        const std::optional<std::string> id = client.AddTask(strText);
        if (!id)
            return Fail(STORE_MSG_ADD_FAILED);
        std::printf("%s\n", id->c_str());
        return 0;
    }
    return client.UpdateTask(aArgs[0], strText) ? 0 : Fail(STORE_MSG_UPDATE_FAILED);
}

int RunBlobCommand(int argc, char** argv)
{
    if (argc >= 1 && std::strcmp(argv[0], "encode") == 0) {
        if (argc < 3 || argc > 4 || std::strcmp(argv[1], "--key") != 0)
            return PrintUsage();
        const std::string strKey = argv[2];
        if (!IsBlobKey(strKey))
            return Fail("a blob key is 32 hexadecimal digits");
        std::string strText;
        if (!ReadInput(argc == 4 ? argv[3] : nullptr, strText))
            return 1;
        WriteText(EncodeTaskBlob(strText, strKey) + "\n");
        return 0;
    }
    if (argc >= 1 && std::strcmp(argv[0], "decode") == 0) {
        if (argc > 2)
            return PrintUsage();
        std::string strReply;
        if (!ReadInput(argc == 2 ? argv[1] : nullptr, strReply))
            return 1;
        // A reply saved by a shell or an editor often ends with a line end.
        while (!strReply.empty() && std::strchr(" \t\r\n", strReply.back()) != nullptr)
            strReply.pop_back();
        const std::optional<std::string> text = DecodeTaskReply(strReply);
        if (!text)
            return Fail("not a usable task blob reply (64 characters at least, data in 0-9 and A-V)");
        WriteText(*text);
        return 0;
    }
    return PrintUsage();
}
