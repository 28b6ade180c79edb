// LocaleTest.cpp - the desktop application runs under the user's locale;
// numbers and type names must read the same in the database back-ends
// whatever it is. Each test generates its locale (localedef into a
// temporary folder that LOCPATH names) and first proves that the locale is
// in force, so it cannot pass by running under "C".
#include "DbBackends.h"
#include "DbTestSupport.h"
#include "DbValue.h"

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

const char s_szSqliteOdbcDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// One locale generated from the system's sources (the "locales" package)
// and set for nCategory; "C" again, and LOCPATH gone, at the end.
class CGeneratedLocale {
public:
    CGeneratedLocale(const std::string& strInput, int nCategory)
        : m_strName(strInput + ".UTF-8"), m_nCategory(nCategory)
    {
    }
    ~CGeneratedLocale()
    {
        std::setlocale(m_nCategory, "C");
        ::unsetenv("LOCPATH");
    }
    CGeneratedLocale(const CGeneratedLocale&) = delete;
    CGeneratedLocale& operator=(const CGeneratedLocale&) = delete;

    // Generates and sets the locale; false with the reason when either fails.
    bool Activate(std::string& strError)
    {
        const std::string strInput = m_strName.substr(0, m_strName.find('.'));
        const std::string strCommand = "localedef -i " + strInput + " -f UTF-8 '" + m_dir.GetPath() + "/" +
                                       m_strName + "' >'" + m_dir.GetPath() + "/localedef.log' 2>&1";
        // localedef answers 1 for mere warnings and still writes the locale;
        // whether setlocale accepts it is what counts.
        const int nStatus = std::system(strCommand.c_str());
        ::setenv("LOCPATH", m_dir.GetPath().c_str(), 1);
        if (std::setlocale(m_nCategory, m_strName.c_str()) == nullptr) {
            strError = "setlocale(" + m_strName + ") failed after \"" + strCommand + "\" (status " +
                       std::to_string(nStatus) + "); is the locales package installed?";
            return false;
        }
        return true;
    }

private:
    CTempDir m_dir;
    std::string m_strName;
    int m_nCategory;
};

// Stores "3.25" as a real, "42abc" as an int and a grouped amount into a
// SQLite file through the back-end of nType, and reads the values back with
// their storage classes.
DbRows StoreNumbers(const CTempDir& dir, int nType)
{
    const std::string strPath = PathIn(dir, "numbers" + std::to_string(nType) + ".db");
    EXPECT_TRUE(SqliteExec(strPath, "create table t (price real, qty int, amount decimal(10,2), ratio float)"));
    CDbSettings settings;
    settings.m_nType = nType;
    if (nType == DB_TYPE_SQLITE) {
        settings.m_strServer = strPath;
    } else {
        settings.m_strServer = std::string("DRIVER=") + s_szSqliteOdbcDriver;
        settings.m_strDatabase = strPath;
    }
    settings.m_strTable = "t";
    settings.m_aFieldNames = { "price", "qty", "amount", "ratio" };
    settings.m_aFieldValues = { "<@@a@@>", "<@@b@@>", "<@@c@@>", "<@@d@@>" };
    CLogLines log;
    auto pSink = CreateDatabaseSink(settings, { { "a", false }, { "b", false }, { "c", false }, { "d", false } },
                                    log.Fn());
    EXPECT_TRUE(pSink->Open()) << log.All();
    EXPECT_TRUE(pSink->InsertRecord({ "3.25", "42abc", "1,234.50", " -1.5e3 EUR" })) << log.All();
    pSink.reset();
    EXPECT_TRUE(log.m_aLines.empty()) << log.All();
    return SqliteQuery(strPath, "select typeof(price), price, qty, amount, ratio from t");
}

} // namespace

TEST(DbLocaleTest, NumbersReadTheSameUnderAGermanLocale)
{
    CGeneratedLocale locale("de_DE", LC_NUMERIC);
    std::string strError;
    ASSERT_TRUE(locale.Activate(strError)) << strError;
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    ASSERT_EQ(std::strtod("3.25", nullptr), 3.0) << "the C library still reads '.' as the decimal point";

    const double dInf = std::numeric_limits<double>::infinity();
    struct { const char* pszText; double dValue; } cases[] = {
        { "3.25", 3.25 },
        { "  +2.5kg", 2.5 },
        { "-1.5e3", -1500 },
        { "1,5", 1 },        // the German form reads as C reads it
        { ".5", 0.5 },
        { "5.", 5 },
        { "abc", 0 },
        { "", 0 },
        { "--5", 0 },
        { "+-5", 0 },
        { "0x10", 0 },
        { "1e999", dInf },
        { "-1e999", -dInf },
        { "1e-999", 0 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLeadingReal(c.pszText), c.dValue) << c.pszText;

    CTempDir dir;
    EXPECT_EQ(StoreNumbers(dir, DB_TYPE_SQLITE), (DbRows{ { "real", "3.25", "42", "1234.5", "-1500.0" } }));
    // The SQLite ODBC driver calls decimal columns text, so the amount is
    // stored as written; the real columns are bound as doubles.
    EXPECT_EQ(StoreNumbers(dir, DB_TYPE_ODBC), (DbRows{ { "real", "3.25", "42", "1,234.50", "-1500.0" } }));
}

// A Turkish locale upper-cases 'i' to a dotted capital that one byte cannot
// hold, so the C library leaves it alone: "int" would become "iNT".
TEST(DbLocaleTest, TypeNamesReadTheSameUnderATurkishLocale)
{
    CGeneratedLocale locale("tr_TR", LC_ALL);
    std::string strError;
    ASSERT_TRUE(locale.Activate(strError)) << strError;
    ASSERT_NE(std::toupper('i'), 'I') << "the C library still folds letters as in \"C\"";

    struct { const char* pszType; EColumnKind nKind; size_t nSize; } cases[] = {
        { "int", COL_INT32, 0 },
        { "integer", COL_INT64, 0 },
        { "tinyint", COL_INT8, 0 },
        { "bigint", COL_INT64, 0 },
        { "datetime", COL_TIMESTAMP, 0 },
        { "time", COL_TIME, 0 },
        { "varchar(10)", COL_TEXT, 10 },
        { "decimal(10,2)", COL_DECIMAL, 0 },
        { "float", COL_REAL8, 0 },
        { "binary(4)", COL_BINARY, 4 },
    };
    for (const auto& c : cases) {
        const CTableColumn column = ClassifyDeclaredType("x", c.pszType);
        EXPECT_EQ(column.m_nKind, c.nKind) << c.pszType;
        EXPECT_EQ(column.m_nSize, c.nSize) << c.pszType;
    }

    // A time-out key the user wrote in lower case is still the user's.
    CDbSettings settings;
    settings.m_strServer = "DRIVER=x;conn_timeout=5;read_timeout=6;write_timeout=7";
    EXPECT_EQ(BuildOdbcConnectionString(settings), "DRIVER=x;conn_timeout=5;read_timeout=6;write_timeout=7");
}
