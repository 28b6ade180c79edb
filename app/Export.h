// Export.h - writes a data list to a file: CSV (UTF-8 with a byte order mark,
// RFC 4180 quoting) or JSON Lines (one object per row, keyed by column name),
// chosen by the file name (".jsonl", ".json" or ".ndjson" mean JSON Lines).
#pragma once

#include "engine/DataList.h"

#include <string>
#include <vector>

namespace quarvex {

enum class ExportFormat { CSV, JSON_LINES };

ExportFormat ExportFormatOf(const std::string& strPath);
// One CSV field: quoted when it holds a comma, a quote, CR or LF (or starts
// or ends with a space), quotes doubled.
std::string CsvField(const std::string& strValue);
// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& strValue);

// Writes the header and the rows; false (strError says why) when the file
// cannot be written whole.
bool ExportRows(const std::string& strPath, const std::vector<std::string>& aColumns,
                const std::vector<CDataRow>& aRows, std::string& strError);

// Writes strData as the whole of strPath; false (strError says why) when it
// cannot be written whole.
bool WriteWholeFile(const std::string& strPath, const std::string& strData, std::string& strError);

} // namespace quarvex
