// DbValueTest.cpp - the conversions a row back-end applies to record values
// before they reach a column.
#include "DbValue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

TEST(DbValueTest, LeadingIntegerReadsLikeAtoiWithoutOverflow)
{
    struct { const char* pszValue; int64_t nValue; } cases[] = {
        { "42abc", 42 }, { "  -17", -17 }, { "+5", 5 }, { "abc", 0 }, { "", 0 }, { "1.9", 1 },
        { "99999999999999999999", INT64_MAX }, { "-99999999999999999999", INT64_MIN },
        { "9223372036854775807", INT64_MAX }, { "-9223372036854775808", INT64_MIN },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLeadingInteger(c.pszValue), c.nValue) << c.pszValue;
}

TEST(DbValueTest, DecimalAmounts)
{
    struct { const char* pszValue; bool bOk; const char* pszOut; } cases[] = {
        { "1234.50", true, "1234.50" }, { " $1,234.5 ", true, "1234.5" }, { "-0.25", true, "-0.25" },
        { ".5", true, "0.5" }, { "12", true, "12" }, { "-0", true, "0" },
        { "abc", false, "" }, { "", false, "" }, { "12abc", false, "" }, { "1,23", false, "" },
        { "12,345,67", false, "" }, { ",123", false, "" }, { "1.2.3", false, "" }, { "$", false, "" },
    };
    for (const auto& c : cases) {
        std::string strOut;
        ASSERT_EQ(ParseDecimal(c.pszValue, strOut), c.bOk) << c.pszValue;
        if (c.bOk) {
            EXPECT_EQ(strOut, c.pszOut) << c.pszValue;
        }
    }
}

TEST(DbValueTest, DateAndTimeForms)
{
    struct { const char* pszValue; EColumnKind nKind; bool bOk; const char* pszOut; } cases[] = {
        { "2006-05-01", COL_DATE, true, "2006-05-01" },
        { "2006/5/1 13:02:03", COL_TIMESTAMP, true, "2006-05-01 13:02:03" },
        { "2006-05-01 13:02", COL_TIMESTAMP, true, "2006-05-01 13:02:00" },
        { "2006.05.01T13:02:03.250", COL_TIMESTAMP, true, "2006-05-01 13:02:03" },
        { "2006-05-01", COL_TIMESTAMP, true, "2006-05-01 00:00:00" },
        { "2006-05-01 13:02:03", COL_TIME, true, "13:02:03" },
        { "13:02", COL_TIME, true, "13:02:00" },
        { "13:02", COL_TIMESTAMP, false, "" },     // no day to store
        { "2004-02-29", COL_DATE, true, "2004-02-29" },
        { "2006-02-29", COL_DATE, false, "" },     // no such day
        { "2006-13-01", COL_DATE, false, "" },
        { "2006-05-01 24:00", COL_TIMESTAMP, false, "" },
        { "2006-05/01", COL_DATE, false, "" },     // mixed separators
        { "06-05-01", COL_DATE, false, "" },
        { "abc", COL_DATE, false, "" },
        { "", COL_DATE, false, "" },
        { "2006-05-01 x", COL_DATE, false, "" },
    };
    for (const auto& c : cases) {
        CDbDateTime value;
        ASSERT_EQ(ParseDateTime(c.pszValue, c.nKind, value), c.bOk) << c.pszValue;
        if (c.bOk) {
            EXPECT_EQ(FormatDateTime(value, c.nKind), c.pszOut) << c.pszValue;
        }
    }
}

TEST(DbValueTest, TextIsCutWithoutSplittingCharacters)
{
    struct { const char* pszValue; size_t nSize; const char* pszOut; } cases[] = {
        { "abcdefgh", 5, "abcde" },
        { "abc", 5, "abc" },
        { "abcdefgh", 0, "abcdefgh" },                        // long text: no limit
        { "一二三四五六", 5, "一二三四五" },                      // characters, not bytes
        { "a\xB0\xA1\xB0\xA2\xB0\xA3", 3, "a\xB0\xA1" },        // GBK is no UTF-8: bytes
    };
    for (const auto& c : cases) {
        std::string strText = c.pszValue;
        CutText(strText, c.nSize);
        EXPECT_EQ(strText, c.pszOut) << c.pszValue;
    }
}

TEST(DbValueTest, DeclaredTypesMapOntoKinds)
{
    struct { const char* pszType; EColumnKind nKind; size_t nSize; } cases[] = {
        { "INTEGER", COL_INT64, 0 }, { "int", COL_INT32, 0 }, { "SMALLINT", COL_INT16, 0 },
        { "tinyint(1)", COL_INT8, 0 }, { "BIGINT", COL_INT64, 0 }, { "varchar(20)", COL_TEXT, 20 },
        { "TEXT", COL_TEXT, 0 }, { "NCHAR(3)", COL_TEXT, 3 }, { "BLOB", COL_BINARY, 0 }, { "", COL_OTHER, 0 },
        { "REAL", COL_REAL8, 0 }, { "double precision", COL_REAL8, 0 }, { "DECIMAL(10,2)", COL_DECIMAL, 0 },
        { "MONEY", COL_DECIMAL, 0 }, { "DATE", COL_DATE, 0 }, { "DATETIME", COL_TIMESTAMP, 0 },
        { "timestamp", COL_TIMESTAMP, 0 }, { "TIME", COL_TIME, 0 }, { "BOOLEAN", COL_OTHER, 0 },
    };
    for (const auto& c : cases) {
        const CTableColumn column = ClassifyDeclaredType("c", c.pszType);
        EXPECT_EQ(column.m_nKind, c.nKind) << c.pszType;
        EXPECT_EQ(column.m_nSize, c.nSize) << c.pszType;
    }
}

// Every template rule for one table, read from the cells it produces.
TEST(DbValueTest, TemplatesSetCellsByRule)
{
    char szPath[] = "/tmp/quarvex-dbvalue-XXXXXX";
    const int hFile = mkstemp(szPath);
    ASSERT_GE(hFile, 0);
    ASSERT_EQ(write(hFile, "file\0bytes", 10), 10);
    close(hFile);

    const std::vector<CDbColumn> aColumns = { { "title", false }, { "num", false }, { "file", true } };
    const std::vector<CTableColumn> aTable = {
        ClassifyDeclaredType("a", "INTEGER"), ClassifyDeclaredType("b", "VARCHAR(4)"),
        ClassifyDeclaredType("c", "DATE"), ClassifyDeclaredType("d", "TEXT"), ClassifyDeclaredType("e", "INT"),
        ClassifyDeclaredType("f", "BLOB"), ClassifyDeclaredType("g", "TEXT"), ClassifyDeclaredType("h", "DATETIME"),
        ClassifyDeclaredType("i", "TEXT"), ClassifyDeclaredType("j", "TEXT"),
    };
    CDbSettings settings;
    settings.m_aFieldNames = { "a", "b", "c", "d", "e", "f", "g", "h", "i", "A", "nosuch", "j", "j" };
    settings.m_aFieldValues = { "<@NOW@>", "<@@title@@>", "<@@title@@>", "<@NOW@>", "<@@num@@>", "<@#file#@>",
                                "<@@file@@>", "<@NULL@>", "x<@@title@@>", "<@NULL@>", "<@NULL@>", "<@NULL@>",
                                "<@SKIP@>" };
    const std::vector<std::string> aRecord = { "标题abc", "70000", szPath };
    std::vector<CDbCell> aCells;
    BuildCells(settings, aColumns, aTable, aRecord, 1146488523, aCells);

    ASSERT_EQ(aCells.size(), aTable.size());
    EXPECT_EQ(aCells[0].m_nState, CELL_INT);        // now into an integer: seconds
    EXPECT_EQ(aCells[0].m_nInt, 1146488523);
    EXPECT_EQ(aCells[1].m_nState, CELL_TEXT);       // cut to four characters
    EXPECT_EQ(aCells[1].m_strBytes, "标题ab");
    EXPECT_EQ(aCells[2].m_nState, CELL_NULL);       // no date in the text
    EXPECT_EQ(aCells[3].m_nState, CELL_TEXT);       // now into text: formatted
    EXPECT_EQ(aCells[3].m_strBytes.size(), 19u);
    EXPECT_EQ(aCells[4].m_nState, CELL_INT);        // 32-bit column keeps its width
    EXPECT_EQ(aCells[4].m_nInt, 70000);
    EXPECT_EQ(aCells[5].m_nState, CELL_BLOB);       // the saved file's bytes
    EXPECT_EQ(aCells[5].m_strBytes, std::string("file\0bytes", 10));
    EXPECT_EQ(aCells[6].m_strBytes, szPath);        // column form: the path itself
    EXPECT_EQ(aCells[7].m_nState, CELL_NULL);
    EXPECT_EQ(aCells[8].m_nState, CELL_UNSET);      // mixed template: not set
    EXPECT_EQ(aCells[9].m_nState, CELL_UNSET);      // the later SKIP replaced NULL
    std::remove(szPath);

    // A missing saved file leaves the column unset; a 16-bit column wraps.
    const std::vector<CTableColumn> aSmall = { ClassifyDeclaredType("f", "TEXT"),
                                               ClassifyDeclaredType("s", "SMALLINT") };
    settings.m_aFieldNames = { "f", "s" };
    settings.m_aFieldValues = { "<@#file#@>", "<@@num@@>" };
    BuildCells(settings, aColumns, aSmall, aRecord, 0, aCells);
    EXPECT_EQ(aCells[0].m_nState, CELL_UNSET);
    EXPECT_EQ(aCells[1].m_nInt, 70000 - 65536);

    // A record shorter than the column list reads the missing values as empty.
    BuildCells(settings, aColumns, aSmall, {}, 0, aCells);
    EXPECT_EQ(aCells[1].m_nInt, 0);
}

TEST(DbValueTest, InsertNamesOnlyTheColumnsARecordSetsWithQuotesDoubled)
{
    std::vector<CTableColumn> aTable(3);
    aTable[0].m_strName = "id";
    aTable[1].m_strName = "ti\"tle";  // a quote inside a name is doubled
    aTable[2].m_strName = "body";
    std::vector<CDbCell> aCells(3);
    aCells[1].m_nState = CELL_TEXT;
    aCells[2].m_nState = CELL_NULL;  // NULL is set; only an unset cell is left out
    const std::string strShape = InsertShape(aCells);
    EXPECT_EQ(strShape, "011");
    EXPECT_EQ(ComposeInsert("news", strShape, aTable, "\"", " default values"),
              "insert into news (\"ti\"\"tle\",\"body\") values (?,?)");
    EXPECT_EQ(ComposeInsert("news", strShape, aTable, "`", " default values"),
              "insert into news (`ti\"tle`,`body`) values (?,?)");
    EXPECT_EQ(ComposeInsert("news", strShape, aTable, "", " default values"),
              "insert into news (ti\"tle,body) values (?,?)");
    EXPECT_EQ(ComposeInsert("news", "000", aTable, "\"", " () values ()"), "insert into news () values ()");
}
