// DbValue.cpp - the value rules of the row back-ends: which table column a
// field sets, and how a record value is converted for the column's type.
#include "DbValue.h"

#include "platform/LocalTime.h"

#include <charconv>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <algorithm>

namespace {

const char s_szNow[] = "<@NOW@>";
const char s_szNull[] = "<@NULL@>";
const char s_szSkip[] = "<@SKIP@>";

std::string UpperCased(std::string_view str)
{
    std::string strOut(str);
    for (char& c : strOut)
        c = ToUpperAscii(c);
    return strOut;
}

std::string_view Trim(std::string_view str)
{
    while (!str.empty() && IsSpaceAscii(str.front()))
        str.remove_prefix(1);
    while (!str.empty() && IsSpaceAscii(str.back()))
        str.remove_suffix(1);
    return str;
}

// Reads 1 to nMaxDigits digits at nPos; false when there is none.
bool ReadNumber(std::string_view str, size_t& nPos, int nMaxDigits, int& nOut)
{
    int nDigits = 0;
    nOut = 0;
    while (nPos < str.size() && IsDigitAscii(str[nPos]) && nDigits < nMaxDigits) {
        nOut = nOut * 10 + (str[nPos] - '0');
        ++nPos;
        ++nDigits;
    }
    return nDigits > 0;
}

bool IsLeapYear(int nYear) { return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0; }

int DaysInMonth(int nYear, int nMonth)
{
    static const int s_anDays[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return nMonth == 2 && IsLeapYear(nYear) ? 29 : s_anDays[nMonth - 1];
}

// "H:M" or "H:M:S", optionally with a fraction of a second that is dropped.
bool ParseTimePart(std::string_view str, size_t& nPos, CDbDateTime& out)
{
    if (!ReadNumber(str, nPos, 2, out.m_nHour) || nPos >= str.size() || str[nPos] != ':')
        return false;
    ++nPos;
    if (!ReadNumber(str, nPos, 2, out.m_nMinute))
        return false;
    out.m_nSecond = 0;
    if (nPos < str.size() && str[nPos] == ':') {
        ++nPos;
        if (!ReadNumber(str, nPos, 2, out.m_nSecond))
            return false;
        if (nPos < str.size() && str[nPos] == '.') {
            ++nPos;
            while (nPos < str.size() && IsDigitAscii(str[nPos]))
                ++nPos;
        }
    }
    return out.m_nHour < 24 && out.m_nMinute < 60 && out.m_nSecond < 60;
}

bool IsValidUtf8(std::string_view str)
{
    size_t i = 0;
    while (i < str.size()) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        size_t nTrail = 0;
        if (c < 0x80)
            nTrail = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            nTrail = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            nTrail = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            nTrail = 3;
        else
            return false;
        if (i + nTrail >= str.size())
            return false;
        for (size_t k = 1; k <= nTrail; ++k) {
            if ((static_cast<unsigned char>(str[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += nTrail + 1;
    }
    return true;
}

// The string value of a field: the record value, or for the file form of a
// linked-file column the saved file's bytes. False: the file cannot be read,
// and the column is then left unset.
bool GetStringValue(const CDbColumn& column, std::string_view strTemplate, const std::string& strValue,
                    std::string& strOut)
{
    if (column.m_bLinkedFile && strTemplate.size() > 2 && strTemplate[2] == '#')
        return ReadWholeFile(strValue, strOut);
    strOut = strValue;
    return true;
}

void SetStringCell(const CTableColumn& table, std::string strBytes, CDbCell& cell)
{
    if (table.m_nKind == COL_BINARY) {
        if (table.m_nSize > 0 && strBytes.size() > table.m_nSize)
            strBytes.resize(table.m_nSize);
        cell.m_nState = CELL_BLOB;
    } else {
        CutText(strBytes, table.m_nSize);
        cell.m_nState = CELL_TEXT;
    }
    cell.m_strBytes = std::move(strBytes);
}

bool IsIntegerKind(EColumnKind nKind) { return nKind >= COL_INT8 && nKind <= COL_INT64; }
bool IsDateKind(EColumnKind nKind) { return nKind >= COL_DATE && nKind <= COL_TIMESTAMP; }

void SetNow(const CTableColumn& table, std::time_t tNow, CDbCell& cell)
{
    if (IsIntegerKind(table.m_nKind)) {
        cell.m_nState = CELL_INT;
        cell.m_nInt = static_cast<int64_t>(tNow);
        return;
    }
    std::tm tmLocal {};
    if (IsDateKind(table.m_nKind) && localtime_r(&tNow, &tmLocal) != nullptr) {
        cell.m_nState = CELL_DATETIME;
        cell.m_time = { tmLocal.tm_year + 1900, tmLocal.tm_mon + 1, tmLocal.tm_mday,
                        tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec };
        return;
    }
    SetStringCell(table, quarvex::FormatLocalTime("%Y-%m-%d %H:%M:%S", tNow), cell);
}

void SetConverted(const CTableColumn& table, const CDbColumn& column, std::string_view strTemplate,
                  const std::string& strValue, CDbCell& cell)
{
    const int64_t nValue = IsIntegerKind(table.m_nKind) ? ParseLeadingInteger(strValue) : 0;
    switch (table.m_nKind) {
    case COL_INT8:
        cell.m_nState = CELL_INT;
        cell.m_nInt = static_cast<int8_t>(static_cast<uint64_t>(nValue) & 0xFF);
        return;
    case COL_INT16:
        cell.m_nState = CELL_INT;
        cell.m_nInt = static_cast<int16_t>(static_cast<uint64_t>(nValue) & 0xFFFF);
        return;
    case COL_INT32:
        cell.m_nState = CELL_INT;
        cell.m_nInt = static_cast<int32_t>(static_cast<uint64_t>(nValue) & 0xFFFFFFFFu);
        return;
    case COL_INT64:
        cell.m_nState = CELL_INT;
        cell.m_nInt = nValue;
        return;
    case COL_REAL4:
    case COL_REAL8: {
        const double dValue = ParseLeadingReal(strValue);
        cell.m_nState = CELL_REAL;
        cell.m_dReal = table.m_nKind == COL_REAL4 ? static_cast<double>(static_cast<float>(dValue)) : dValue;
        return;
    }
    case COL_DECIMAL:
        if (ParseDecimal(strValue, cell.m_strBytes))
            cell.m_nState = CELL_TEXT;
        else
            cell.m_nState = CELL_NULL;
        return;
    case COL_DATE:
    case COL_TIME:
    case COL_TIMESTAMP:
        cell.m_nState = ParseDateTime(strValue, table.m_nKind, cell.m_time) ? CELL_DATETIME : CELL_NULL;
        return;
    default: {
        std::string strBytes;
        if (GetStringValue(column, strTemplate, strValue, strBytes))
            SetStringCell(table, std::move(strBytes), cell);
        return;
    }
    }
}

} // namespace

CTableColumn ClassifyDeclaredType(std::string strName, std::string_view strDeclType)
{
    CTableColumn column;
    column.m_strName = std::move(strName);
    const std::string strType = UpperCased(Trim(strDeclType));
    const size_t nParen = strType.find('(');
    const std::string strBase(Trim(std::string_view(strType).substr(0, nParen)));
    if (nParen != std::string::npos) {
        const int64_t nSize = ParseLeadingInteger(std::string_view(strType).substr(nParen + 1));
        column.m_nSize = nSize > 0 ? static_cast<size_t>(nSize) : 0;
    }

    // Dates first: "DATETIME" would otherwise never be told from "DATE", and
    // SQLite itself gives these names no type of their own.
    if (strBase == "DATE")
        column.m_nKind = COL_DATE;
    else if (strBase == "TIME")
        column.m_nKind = COL_TIME;
    else if (strBase == "DATETIME" || strBase == "TIMESTAMP" || strBase == "SMALLDATETIME")
        column.m_nKind = COL_TIMESTAMP;
    else if (strBase.find("INT") != std::string::npos) {
        // SQLite's INTEGER holds 64 bits; INT and MEDIUMINT keep their usual
        // 32 so that the value rules read the same as on a server.
        if (strBase == "TINYINT")
            column.m_nKind = COL_INT8;
        else if (strBase == "SMALLINT" || strBase == "INT2")
            column.m_nKind = COL_INT16;
        else if (strBase == "INT" || strBase == "MEDIUMINT" || strBase == "INT4")
            column.m_nKind = COL_INT32;
        else
            column.m_nKind = COL_INT64;
        column.m_nSize = 0;
    } else if (strBase.find("CHAR") != std::string::npos || strBase.find("CLOB") != std::string::npos
               || strBase.find("TEXT") != std::string::npos)
        column.m_nKind = COL_TEXT;
    else if (strBase.empty() || strBase.find("BLOB") != std::string::npos || strBase.find("BINARY") != std::string::npos)
        column.m_nKind = strBase.empty() ? COL_OTHER : COL_BINARY;
    else if (strBase.find("REAL") != std::string::npos || strBase.find("FLOA") != std::string::npos
             || strBase.find("DOUB") != std::string::npos)
        column.m_nKind = COL_REAL8;
    else if (strBase == "DECIMAL" || strBase == "NUMERIC" || strBase == "MONEY" || strBase == "CURRENCY"
             || strBase == "SMALLMONEY")
        column.m_nKind = COL_DECIMAL;
    else
        column.m_nKind = COL_OTHER;
    if (column.m_nKind != COL_TEXT && column.m_nKind != COL_BINARY)
        column.m_nSize = 0;
    return column;
}

void BuildCells(const CDbSettings& settings, const std::vector<CDbColumn>& aColumns,
                const std::vector<CTableColumn>& aTable, const std::vector<std::string>& aRecord,
                std::time_t tNow, std::vector<CDbCell>& aCells)
{
    aCells.assign(aTable.size(), CDbCell());
    const size_t nFields = std::min(settings.m_aFieldNames.size(), settings.m_aFieldValues.size());
    for (size_t i = 0; i < nFields; ++i) {
        const std::string& strName = settings.m_aFieldNames[i];
        const std::string& strTemplate = settings.m_aFieldValues[i];
        size_t nTable = 0;
        while (nTable < aTable.size() && aTable[nTable].m_strName != strName)
            ++nTable;
        if (nTable == aTable.size())
            continue;  // A field naming no column of the table is skipped.
        const CTableColumn& table = aTable[nTable];
        // A later field for the same column replaces what an earlier one set.
        CDbCell& cell = aCells[nTable];
        cell = CDbCell();
        if (strTemplate.empty() || strTemplate == s_szSkip)
            continue;
        if (strTemplate == s_szNull) {
            cell.m_nState = CELL_NULL;
            continue;
        }
        if (strTemplate == s_szNow) {
            SetNow(table, tNow, cell);
            continue;
        }
        const int nColumn = FindTemplateColumn(strTemplate, aColumns);
        if (nColumn < 0)
            continue;  // Mixed text and references, or an unknown name: not set.
        static const std::string s_strEmpty;
        const std::string& strValue =
            static_cast<size_t>(nColumn) < aRecord.size() ? aRecord[static_cast<size_t>(nColumn)] : s_strEmpty;
        SetConverted(table, aColumns[static_cast<size_t>(nColumn)], strTemplate, strValue, cell);
    }
}

double ParseLeadingReal(std::string_view strValue)
{
    size_t nPos = 0;
    while (nPos < strValue.size() && IsSpaceAscii(strValue[nPos]))
        ++nPos;
    bool bNegative = false;
    if (nPos < strValue.size() && (strValue[nPos] == '+' || strValue[nPos] == '-')) {
        bNegative = strValue[nPos] == '-';
        ++nPos;
    }
    // from_chars knows no locale and no sign of '+'; it stops at the first
    // byte that cannot continue the number, as strtod does.
    const char* pszBegin = strValue.data() + nPos;
    const char* pszEnd = strValue.data() + strValue.size();
    double dValue = 0;
    const std::from_chars_result result = std::from_chars(pszBegin, pszEnd, dValue, std::chars_format::general);
    if (result.ec == std::errc::invalid_argument || (pszBegin != pszEnd && *pszBegin == '-'))
        return 0;  // No number, or a second sign ("--5").
    if (result.ec == std::errc::result_out_of_range) {
        const std::string_view strNumber(pszBegin, static_cast<size_t>(result.ptr - pszBegin));
        const size_t nExponent = strNumber.find_first_of("eE");
        const bool bTiny = nExponent != std::string_view::npos && nExponent + 1 < strNumber.size()
                           && strNumber[nExponent + 1] == '-';
        dValue = bTiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return bNegative ? -dValue : dValue;
}

int64_t ParseLeadingInteger(std::string_view strValue)
{
    size_t nPos = 0;
    while (nPos < strValue.size() && IsSpaceAscii(strValue[nPos]))
        ++nPos;
    bool bNegative = false;
    if (nPos < strValue.size() && (strValue[nPos] == '+' || strValue[nPos] == '-')) {
        bNegative = strValue[nPos] == '-';
        ++nPos;
    }
    uint64_t nValue = 0;
    const uint64_t nLimit = bNegative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                      : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    for (; nPos < strValue.size() && IsDigitAscii(strValue[nPos]); ++nPos) {
        const unsigned nDigit = static_cast<unsigned>(strValue[nPos] - '0');
        if (nValue > (nLimit - nDigit) / 10) {
            nValue = nLimit;
            break;
        }
        nValue = nValue * 10 + nDigit;
    }
    if (bNegative)
        return nValue == nLimit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(nValue);
    return static_cast<int64_t>(nValue);
}

bool ParseDecimal(std::string_view strValue, std::string& strOut)
{
    std::string_view str = Trim(strValue);
    strOut.clear();
    if (!str.empty() && (str.front() == '+' || str.front() == '-')) {
        if (str.front() == '-')
            strOut += '-';
        str.remove_prefix(1);
    }
    if (!str.empty() && str.front() == '$')
        str.remove_prefix(1);
    size_t nPos = 0;
    size_t nDigits = 0;
    size_t nGroup = 0;       // Digits since the last ','.
    bool bGrouped = false;
    while (nPos < str.size() && (IsDigitAscii(str[nPos]) || str[nPos] == ',')) {
        if (str[nPos] == ',') {
            // Thousands separators only between groups of three.
            if (nDigits == 0 || (bGrouped && nGroup != 3) || (!bGrouped && nGroup > 3))
                return false;
            bGrouped = true;
            nGroup = 0;
        } else {
            strOut += str[nPos];
            ++nDigits;
            ++nGroup;
        }
        ++nPos;
    }
    if (bGrouped && nGroup != 3)
        return false;
    if (nPos < str.size() && str[nPos] == '.') {
        ++nPos;
        std::string strFraction;
        while (nPos < str.size() && IsDigitAscii(str[nPos]))
            strFraction += str[nPos++];
        if (!strFraction.empty()) {
            if (nDigits == 0)
                strOut += '0';
            strOut += '.';
            strOut += strFraction;
            nDigits += strFraction.size();
        }
    }
    if (nPos != str.size() || nDigits == 0)
        return false;
    if (strOut == "-0")
        strOut = "0";
    return true;
}

bool ParseDateTime(std::string_view strValue, EColumnKind nKind, CDbDateTime& out)
{
    const std::string_view str = Trim(strValue);
    out = CDbDateTime();
    size_t nPos = 0;
    // A time alone ("13:02") is a value for time columns only: a day cannot
    // be made up for the others.
    const size_t nColon = str.find(':');
    const size_t nSep = str.find_first_of("-/.");
    const bool bTimeOnly = nColon != std::string_view::npos && (nSep == std::string_view::npos || nSep > nColon);
    if (bTimeOnly) {
        if (nKind != COL_TIME || !ParseTimePart(str, nPos, out))
            return false;
        return nPos == str.size();
    }
    if (!ReadNumber(str, nPos, 4, out.m_nYear) || nPos != 4 || nPos >= str.size())
        return false;
    const char cSep = str[nPos];
    if (cSep != '-' && cSep != '/' && cSep != '.')
        return false;
    ++nPos;
    if (!ReadNumber(str, nPos, 2, out.m_nMonth) || nPos >= str.size() || str[nPos] != cSep)
        return false;
    ++nPos;
    if (!ReadNumber(str, nPos, 2, out.m_nDay))
        return false;
    if (out.m_nYear < 1 || out.m_nMonth < 1 || out.m_nMonth > 12 || out.m_nDay < 1
        || out.m_nDay > DaysInMonth(out.m_nYear, out.m_nMonth))
        return false;
    if (nPos == str.size())
        return true;
    if (str[nPos] != ' ' && str[nPos] != 'T')
        return false;
    while (nPos < str.size() && (str[nPos] == ' ' || str[nPos] == 'T'))
        ++nPos;
    return ParseTimePart(str, nPos, out) && nPos == str.size();
}

std::string FormatDateTime(const CDbDateTime& value, EColumnKind nKind)
{
    char szText[40];
    if (nKind == COL_DATE)
        std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d", value.m_nYear, value.m_nMonth, value.m_nDay);
    else if (nKind == COL_TIME)
        std::snprintf(szText, sizeof(szText), "%02d:%02d:%02d", value.m_nHour, value.m_nMinute, value.m_nSecond);
    else
        std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d %02d:%02d:%02d", value.m_nYear, value.m_nMonth,
                      value.m_nDay, value.m_nHour, value.m_nMinute, value.m_nSecond);
    return szText;
}

void CutText(std::string& strText, size_t nChars)
{
    if (nChars == 0 || strText.size() <= nChars)
        return;
    if (!IsValidUtf8(strText)) {
        strText.resize(nChars);
        return;
    }
    size_t nPos = 0;
    for (size_t nCount = 0; nPos < strText.size() && nCount < nChars; ++nCount) {
        ++nPos;
        while (nPos < strText.size() && (static_cast<unsigned char>(strText[nPos]) & 0xC0) == 0x80)
            ++nPos;
    }
    strText.resize(nPos);
}

bool ReadWholeFile(const std::string& strPath, std::string& strOut)
{
    strOut.clear();
    if (strPath.empty())
        return false;
    // A directory opens like a file and reads as nothing; it is no saved file.
    std::error_code error;
    if (!std::filesystem::is_regular_file(strPath, error))
        return false;
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return false;
    strOut.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

std::string InsertShape(const std::vector<CDbCell>& aCells)
{
    std::string strShape(aCells.size(), '0');
    for (size_t i = 0; i < aCells.size(); ++i) {
        if (aCells[i].m_nState != CELL_UNSET)
            strShape[i] = '1';
    }
    return strShape;
}

std::string QuoteName(const std::string& strName, const std::string& strQuote)
{
    if (strQuote.empty())
        return strName;
    std::string strOut = strQuote;
    for (char c : strName) {
        if (strQuote.size() == 1 && c == strQuote[0])
            strOut += c;
        strOut += c;
    }
    return strOut + strQuote;
}

std::string ComposeInsert(const std::string& strTable, const std::string& strShape,
                          const std::vector<CTableColumn>& aTable, const std::string& strQuote,
                          const char* pszNoColumns)
{
    std::string strNames, strMarks;
    for (size_t i = 0; i < strShape.size() && i < aTable.size(); ++i) {
        if (strShape[i] != '1')
            continue;
        if (!strNames.empty()) {
            strNames += ',';
            strMarks += ',';
        }
        strNames += QuoteName(aTable[i].m_strName, strQuote);
        strMarks += '?';
    }
    std::string strSql = "insert into " + strTable;
    if (strNames.empty())
        return strSql + pszNoColumns;
    return strSql + " (" + strNames + ") values (" + strMarks + ")";
}
