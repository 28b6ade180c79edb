// CmdDbTest.cpp - quarvex-cli dbtest: the Database page's connection test
// from the command line. Exit status 0 when the connection works, 1 when it
// does not, 2 for a wrong command line.
#include "Commands.h"

#include "engine/db/DatabaseSink.h"

#include <cstdio>
#include <cstring>
#include <string>

int RunDbTestCommand(int argc, char** argv)
{
    CDbSettings settings;
    bool bType = false, bServer = false;
    for (int i = 0; i < argc; ++i) {
        const char* pszOption = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "quarvex-cli dbtest: %s needs a value\n", pszOption);
            return PrintUsage();
        }
        const char* pszValue = argv[++i];
        if (std::strcmp(pszOption, "--type") == 0) {
            if (std::strcmp(pszValue, "0") != 0 && std::strcmp(pszValue, "1") != 0
                && std::strcmp(pszValue, "2") != 0) {
                std::fprintf(stderr, "quarvex-cli dbtest: --type is 0 (SQLite), 1 (ODBC) or 2 (MySQL)\n");
                return PrintUsage();
            }
            settings.m_nType = pszValue[0] - '0';
            bType = true;
        } else if (std::strcmp(pszOption, "--server") == 0) {
            settings.m_strServer = pszValue;
            bServer = true;
        } else if (std::strcmp(pszOption, "--database") == 0) {
            settings.m_strDatabase = pszValue;
        } else if (std::strcmp(pszOption, "--account") == 0) {
            settings.m_strAccount = pszValue;
        } else if (std::strcmp(pszOption, "--password") == 0) {
            settings.m_strPassword = pszValue;
        } else {
            std::fprintf(stderr, "quarvex-cli dbtest: unknown option '%s'\n", pszOption);
            return PrintUsage();
        }
    }
    if (!bType || !bServer) {
        std::fputs("quarvex-cli dbtest: --type and --server are required\n", stderr);
        return PrintUsage();
    }

    std::string strReason;
    if (TestDatabaseConnection(settings, strReason)) {
        std::puts("连接成功！");
        return 0;
    }
    if (strReason.empty())
        std::puts("连接失败！");
    else
        std::printf("连接失败！原因：%s\n", strReason.c_str());
    return 1;
}
