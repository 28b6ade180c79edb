// Export.h - writes a data list to a file: CSV (UTF-8 with a byte order mark,
// RFC 4180 quoting) or JSON Lines (one object per row, keyed by column name),
// chosen by the file name (".jsonl", ".json" or ".ndjson" mean JSON Lines).
#pragma once

#include "engine/DataList.h"
#include "engine/TextFormat.h"

#include <string>
#include <vector>

namespace quarvex {

enum class ExportFormat { CSV, JSON_LINES };

ExportFormat ExportFormatOf(const std::string& strPath);

// Writes the header and the rows; false (strError says why) when the file
// cannot be written whole.
bool ExportRows(const std::string& strPath, const std::vector<std::string>& aColumns,
                const std::vector<CDataRow>& aRows, std::string& strError);

// Writes strData as the whole of strPath; false (strError says why) when it
// cannot be written whole.
bool WriteWholeFile(const std::string& strPath, const std::string& strData, std::string& strError);

} // namespace quarvex
