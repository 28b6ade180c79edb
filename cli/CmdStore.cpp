// CmdStore.cpp - placeholder until this command is built.
#include "Commands.h"

#include <cstdio>

int RunStoreCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}

int RunBlobCommand(int, char**)
{
    std::fputs("quarvex-cli: this command is not built yet\n", stderr);
    return 2;
}
