// RecordState.h - where a task keeps its records across restarts: one SQLite
// file per task with every kept row, its times, and the deliveries to the web
// post and the database that have not yet succeeded (the outbox).
#pragma once

#include <cstdint>
#include <string>

// "<dataDir>/<sanitised id>.records" for a store id, or "<dataDir>#<id>"
// when strDataDir is a postgresql:// URI; for a definition file,
// a name made from the file's name and a hash of its absolute path, so two
// definitions of the same name in different folders keep apart.
std::string RecordStatePathForId(const std::string& strDataDir, const std::string& strTaskId);
std::string RecordStatePathForFile(const std::string& strDataDir, const std::string& strDefinitionPath);

enum class EExportFormat { CSV, JSONL };

// Writes the kept records of a state file into strOut: CSV is UTF-8 after
// RFC 4180 with a header row; JSON Lines are one flat object per record, the
// columns by name, then "state", "first_seen", "last_seen", "last_changed"
// (UTC). nSinceUnix > 0 keeps only records seen (or
// changed) at or after that time. False with strError when the file cannot
// be read; the file is never created or changed.
bool ExportRecords(const std::string& strStatePath, EExportFormat eFormat, std::int64_t nSinceUnix,
                   std::string& strOut, std::string& strError);
