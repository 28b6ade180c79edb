// CmdFetch.cpp - placeholder until this command is built.
#include "Commands.h"

#include <cstdio>

int RunFetchCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}
