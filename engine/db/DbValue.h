// DbValue.h - what a row back-end (SQLite, ODBC) stores in each table column
// for one record: the field list's templates applied to the table's column
// list. Pure rules, no database calls, so they are tested on their own.
#pragma once

#include "DatabaseSink.h"
#include "platform/AsciiText.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// What a table column holds, as far as the value rules care.
enum EColumnKind {
    COL_INT8,
    COL_INT16,
    COL_INT32,
    COL_INT64,
    COL_REAL4,
    COL_REAL8,
    COL_DECIMAL,    // Currency and fixed-point numbers.
    COL_DATE,
    COL_TIME,
    COL_TIMESTAMP,
    COL_TEXT,       // Character data; m_nSize 0 means long text.
    COL_BINARY,     // Byte data; m_nSize 0 means a long binary.
    COL_OTHER,      // Anything else gets the value's bytes.
};

struct CTableColumn {
    std::string m_strName;
    EColumnKind m_nKind = COL_OTHER;
    size_t m_nSize = 0;   // Characters (text) or bytes (binary); 0: no limit.
    int m_nSqlType = 0;   // The driver's own type code (ODBC); 0 elsewhere.
    int m_nDecimals = 0;  // Decimal digits (ODBC).
};

struct CDbDateTime {
    int m_nYear = 0, m_nMonth = 0, m_nDay = 0;
    int m_nHour = 0, m_nMinute = 0, m_nSecond = 0;
};

enum ECellState {
    CELL_UNSET,     // Left out of the INSERT: the database supplies its default.
    CELL_NULL,
    CELL_INT,       // m_nInt
    CELL_REAL,      // m_dReal
    CELL_TEXT,      // m_strBytes as character data
    CELL_BLOB,      // m_strBytes as bytes
    CELL_DATETIME,  // m_time, read by the column's kind
};

struct CDbCell {
    ECellState m_nState = CELL_UNSET;
    int64_t m_nInt = 0;
    double m_dReal = 0;
    std::string m_strBytes;
    CDbDateTime m_time;
};

// Reads the column type a SQLite table declares ("VARCHAR(20)", "INTEGER",
// "DATETIME"; empty for none) the way SQLite's own type affinity does, with
// the size in parentheses kept for text.
CTableColumn ClassifyDeclaredType(std::string strName, std::string_view strDeclType);

// Fills aCells (one per table column, all reset first) from the field list
// and the record. tNow is the moment that "<@NOW@>" stands for.
void BuildCells(const CDbSettings& settings, const std::vector<CDbColumn>& aColumns,
                const std::vector<CTableColumn>& aTable, const std::vector<std::string>& aRecord,
                std::time_t tNow, std::vector<CDbCell>& aCells);

using quarvex::IsDigitAscii;
using quarvex::IsSpaceAscii;
using quarvex::ToLowerAscii;
using quarvex::ToUpperAscii;

// Floating-point conversion of the leading number (after blanks), as atof
// reads it in the C locale, whatever locale the process has set: '.' is the
// decimal point, so "3,25" reads as 3. Text without a number reads as 0; a
// magnitude beyond double's range reads as infinity, one below it as 0.
double ParseLeadingReal(std::string_view strValue);

// Decimal conversion of the leading digits (after blanks and a sign), as
// atoi reads them but without overflow: out-of-range values stop at the
// int64 limits. Non-numeric text reads as 0.
int64_t ParseLeadingInteger(std::string_view strValue);

// A money or decimal amount: optional sign and "$", digits with optional ","
// grouping, optional fraction. strOut gets the plain form ("-1234.5"); false
// when the text is not such an amount.
bool ParseDecimal(std::string_view strValue, std::string& strOut);

// The common numeric date and time forms: "2006-05-01", "2006/5/1 13:02:03",
// "2006.05.01 13:02", "2006-05-01T13:02:03", and for time columns "13:02[:03]".
// False when the text is none of them or names no real day or time.
bool ParseDateTime(std::string_view strValue, EColumnKind nKind, CDbDateTime& out);

// Formats a date/time value for a database that keeps dates as text:
// "%Y-%m-%d", "%H:%M:%S" or "%Y-%m-%d %H:%M:%S" by kind.
std::string FormatDateTime(const CDbDateTime& value, EColumnKind nKind);

// Cuts text to nChars characters: UTF-8 characters when the text is valid
// UTF-8 (so no character is split), bytes otherwise. 0 keeps everything.
void CutText(std::string& strText, size_t nChars);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& strPath, std::string& strOut);

// Which table columns a record sets, one '1' or '0' per column. Records of
// one pass nearly always set the same columns, so the INSERT for each shape
// is prepared once and kept under this key.
std::string InsertShape(const std::vector<CDbCell>& aCells);

// A column name between quotes, a quote inside it doubled; an empty
// strQuote leaves the name as it is (a driver that quotes nothing).
std::string QuoteName(const std::string& strName, const std::string& strQuote);

// The INSERT for a shape: only the columns it sets are named, so the others
// get the table's defaults; pszNoColumns ends the statement when it sets none
// (" default values", or " () values ()" where that is not understood).
// The table name is the user's own and goes in as written.
std::string ComposeInsert(const std::string& strTable, const std::string& strShape,
                          const std::vector<CTableColumn>& aTable, const std::string& strQuote,
                          const char* pszNoColumns);
