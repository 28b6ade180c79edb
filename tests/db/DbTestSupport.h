// DbTestSupport.h - temporary folders, collected log lines and reading rows
// back, shared by the database tests.
#pragma once

#include "DatabaseSink.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The path of a file in a temporary folder.
inline std::string PathIn(const CTempDir& dir, const std::string& strName)
{
    return dir.GetPath() + "/" + strName;
}

// Collects what a sink logs.
struct CLogLines {
    std::vector<std::string> m_aLines;
    DbLogFn Fn()
    {
        return [this](const std::string& strLine) { m_aLines.push_back(strLine); };
    }
    std::string All() const
    {
        std::string strOut;
        for (const std::string& str : m_aLines)
            strOut += str + "\n";
        return strOut;
    }
};

using DbCell = std::optional<std::string>;  // nullopt: NULL
using DbRows = std::vector<std::vector<DbCell>>;

// Runs SQL on a SQLite file; false with the reason on failure.
bool SqliteExec(const std::string& strPath, const std::string& strSql, std::string* pError = nullptr);
DbRows SqliteQuery(const std::string& strPath, const std::string& strSql);

void WriteFile(const std::string& strPath, const std::string& strBytes);

// A back-end under test for the rules shared by SQLite and ODBC: how to
// reach it and how to run SQL on it from the test's own side.
struct CRowBackend {
    CDbSettings m_settings;
    std::function<bool(const std::string&)> m_fnExec;
    std::function<DbRows(const std::string&)> m_fnQuery;
    // The CREATE TABLE for the rules table "items" in this database's dialect.
    std::string m_strCreateItems;
    // False where the driver describes decimal columns as text (the SQLite
    // ODBC driver does), so the amount column is not a decimal there.
    bool m_bDecimalColumns = true;
};

// Stores two records through every template rule into "items" and reads
// them back. The caller has created nothing yet.
void CheckRowRules(CRowBackend& backend, const std::string& strScratchDir);
// A missing table fails Open with the driver's reason; an insert the
// database refuses answers false and logs the driver's reason.
void CheckRowFailures(CRowBackend& backend);
