// main.cpp - quarvex-cli: runs, tests and inspects extraction tasks without
// the desktop application.
#include "Commands.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct Command {
    const char* pszName;
    int (*pfnRun)(int argc, char** argv);
};

const Command s_aCommands[] = {
    { "markup",  RunMarkupCommand },
    { "fetch",   RunFetchCommand },
    { "tree",    RunTreeCommand },
    { "select",  RunSelectCommand },
    { "extract", RunExtractCommand },
    { "run",     RunRunCommand },
    { "dbtest",  RunDbTestCommand },
    { "store",   RunStoreCommand },
    { "blob",    RunBlobCommand },
    { "records", RunRecordsCommand },
    { "export",  RunExportCommand },
};

const char s_szUsage[] =
    "usage: quarvex-cli COMMAND [ARGS]\n"
    "\n"
    "  markup format [FILE]          write a markup document in its canonical text form\n"
    "  markup get PATH [FILE]        print the text of the node a path finds\n"
    "  fetch [--post BODY] [--referer TEXT] [--auth NAME:PASS] [--follow]\n"
    "        [--timeout MS] [--include] [--partial] [--header 'NAME: VALUE']...\n"
    "        [--cookie-jar FILE] [--charset NAME|auto] [--no-compressed] URL\n"
    "                                run one HTTP exchange and write the body\n"
    "                                (MS bounds each wait and the whole exchange;\n"
    "                                a failed exchange's body only with --partial;\n"
    "                                --follow follows up to 10 redirects; gzip and\n"
    "                                deflate bodies are asked for and decoded;\n"
    "                                --charset writes the body converted to UTF-8)\n"
    "  tree [--spans] [--charset NAME|auto] [FILE]\n"
    "                                print the node tree of an HTML page (spans are\n"
    "                                byte offsets into the file unless --charset)\n"
    "  select FILE PATH [--text|--inner|--outer|--attr NAME] [--charset NAME|auto]\n"
    "                                render the node a node path finds\n"
    "  extract [--charset NAME|auto] DEF FILE\n"
    "                                write the records a task definition finds in a page,\n"
    "                                decoding the page as the task would\n"
    "  run DEF [--once|--passes N] [--events] [--data-dir DIR] [--state FILE]\n"
    "                                run a task, printing new records (or, with\n"
    "                                --events, JSON lines of new/changed/gone/back\n"
    "                                records) and its log; kept records survive restarts\n"
    "  records reset DEF|ID [--data-dir DIR] [--state FILE]\n"
    "                                forget the records a task kept\n"
    "  export DEF|ID [--format csv|jsonl] [--since TIME] [--data-dir DIR] [--state FILE]\n"
    "                                write the records a task kept\n"
    "  dbtest --type N --server S [--database D] [--account A] [--password P]\n"
    "                                test a database connection\n"
    "  store [--server HOST:PORT] --user NAME list|examples|get ID|add FILE|update ID FILE|delete ID\n"
    "                                work with the tasks of an account in a task store\n"
    "                                (password from QUARVEX_PASSWORD or standard input;\n"
    "                                the server defaults to Config.dat's general/server)\n"
    "  store [--server HOST:PORT] --user NAME versions | lease HOLDER TTL [ID] | release HOLDER ID FENCE\n"
    "                                task versions (id TAB version); take the free tasks, or\n"
    "                                one, for HOLDER for TTL seconds (id TAB fence TAB ttl);\n"
    "                                give a lease back\n"
    "  blob encode --key KEY [FILE] | blob decode [FILE]\n"
    "                                encode or decode a task blob\n";

} // namespace

int PrintUsage()
{
    std::fputs(s_szUsage, stderr);
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return PrintUsage();
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(s_szUsage, stdout);
        return 0;
    }
    for (const Command& cmd : s_aCommands) {
        if (std::strcmp(argv[1], cmd.pszName) == 0)
            return cmd.pfnRun(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "quarvex-cli: unknown command '%s'\n", argv[1]);
    return PrintUsage();
}
