// ProgramDir.h - where the program keeps its own files (Config.dat, relative
// linked-file directories): the executable's directory, or $QUARVEX_HOME.
#pragma once

#include <string>

namespace quarvex {

// The program directory with a trailing '/'. When the environment variable
// QUARVEX_HOME is set and not empty it replaces the executable's directory, so
// that an installed copy can keep its files in a writable place; a trailing
// '/' is added when missing. Otherwise the executable's directory when it is
// writable, else $XDG_DATA_HOME/quarvex/ (~/.local/share/quarvex/), created
// when missing. Falls back to "./" when the executable's path cannot be read.
std::string GetProgramDir();

// The directory of the running executable with a trailing '/', ignoring
// QUARVEX_HOME; "./" when it cannot be read.
std::string GetExecutableDir();

} // namespace quarvex
