// FileReplace.h - writing a whole file so that a reader only ever sees the
// old text or the new one, never a cut or half-written file.
#pragma once

#include <string_view>

namespace quarvex {

// Writes strData to a new file in the folder of pszPath, flushes it to the
// disk and renames it over pszPath (a symbolic link is followed: the file it
// names is replaced, the link stays). An existing file keeps its permission
// bits. On any failure (a full disk, a missing folder, a path that names a
// folder or a file that may not be written) the old file is left as it was,
// the temporary file is removed and the answer is false.
bool ReplaceFile(const char* pszPath, std::string_view strData);

} // namespace quarvex
