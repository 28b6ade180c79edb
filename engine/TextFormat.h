// TextFormat.h - the escapes every output of records and status needs (JSON,
// CSV, times). Values come from pages and users, so each form escapes them
// so that the document stays valid whatever a value holds.
#pragma once

#include <string>
#include <string_view>

namespace quarvex {

// A JSON string literal, quotes included. Bytes that are not valid UTF-8
// become U+FFFD: JSON is UTF-8, and a reader that meets a stray byte of a
// GBK page would reject the whole line.
std::string JsonQuote(std::string_view strValue);
void AppendJsonQuoted(std::string& strOut, std::string_view strValue);

// One RFC 4180 field: quoted when it holds a comma, a quote, CR or LF (or
// starts or ends with a space, which spreadsheets would trim), quotes doubled.
std::string CsvField(std::string_view strValue);
void AppendCsvField(std::string& strOut, std::string_view strValue);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ"; "" for 0.
std::string IsoTimeUtc(long long nUnix);

} // namespace quarvex
