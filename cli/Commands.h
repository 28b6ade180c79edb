// Commands.h - the sub-commands of quarvex-cli. Each takes the arguments that
// follow its own name and returns the process exit status (2: wrong command line).
#pragma once

int RunMarkupCommand(int argc, char** argv);  // markup format|get
int RunFetchCommand(int argc, char** argv);   // fetch URL
int RunTreeCommand(int argc, char** argv);    // tree [--spans] [FILE]
int RunSelectCommand(int argc, char** argv);  // select FILE PATH
int RunExtractCommand(int argc, char** argv); // extract DEF FILE
int RunRunCommand(int argc, char** argv);     // run DEF [--once|--passes N]
int RunDbTestCommand(int argc, char** argv);  // dbtest --type N --server S ...
int RunStoreCommand(int argc, char** argv);   // store --server H:P --user NAME CMD
int RunBlobCommand(int argc, char** argv);    // blob encode|decode
int RunRecordsCommand(int argc, char** argv); // records reset DEF|ID
int RunExportCommand(int argc, char** argv);  // export DEF|ID

// Writes the whole usage text to standard error and returns 2.
int PrintUsage();
