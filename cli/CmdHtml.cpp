// CmdHtml.cpp - placeholder until this command is built.
#include "Commands.h"

#include <cstdio>

int RunTreeCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}

int RunSelectCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}

int RunExtractCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}
