// MySqlSink.cpp - type 2: a MariaDB or MySQL server through Connector/C.
// Every record becomes one "insert into TABLE values(...)" naming every
// column of the table in table order; values are escaped by the library.
#include "DbBackends.h"
#include "DbValue.h"

#include <mysql.h>


namespace {

struct CMySqlCloser {
    void operator()(MYSQL* pConn) const { mysql_close(pConn); }
};
struct CResultFreer {
    void operator()(MYSQL_RES* pResult) const { mysql_free_result(pResult); }
};
using MySqlPtr = std::unique_ptr<MYSQL, CMySqlCloser>;
using ResultPtr = std::unique_ptr<MYSQL_RES, CResultFreer>;

// Connects without a database, then selects it, as the Database page's test
// does. On failure strError gets mysql_error (the handle is kept for it).
MySqlPtr Connect(const CDbSettings& settings, std::string& strError)
{
    MySqlPtr pConn(mysql_init(nullptr));
    if (!pConn) {
        strError = "out of memory";
        return nullptr;
    }
    const unsigned nTimeout = static_cast<unsigned>(GetTimeoutSeconds(settings));
    mysql_options(pConn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &nTimeout);
    mysql_options(pConn.get(), MYSQL_OPT_READ_TIMEOUT, &nTimeout);
    mysql_options(pConn.get(), MYSQL_OPT_WRITE_TIMEOUT, &nTimeout);
    std::string strHost;
    unsigned nPort = 0;
    SplitHostPort(settings.m_strServer, strHost, nPort);
    if (mysql_real_connect(pConn.get(), strHost.c_str(), settings.m_strAccount.c_str(),
                           settings.m_strPassword.c_str(), nullptr, nPort, nullptr, 0) == nullptr
        || mysql_select_db(pConn.get(), settings.m_strDatabase.c_str()) != 0) {
        strError = mysql_error(pConn.get());
        return nullptr;
    }
    return pConn;
}

// Compares names ignoring the case of ASCII letters only: the bytes of a
// multibyte character are never folded, so two different Chinese names can
// never compare equal.
bool EqualNoCase(const std::string& strA, const std::string& strB)
{
    if (strA.size() != strB.size())
        return false;
    for (size_t i = 0; i < strA.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(strA[i]);
        unsigned char b = static_cast<unsigned char>(strB[i]);
        a = static_cast<unsigned char>(ToLowerAscii(static_cast<char>(a)));
        b = static_cast<unsigned char>(ToLowerAscii(static_cast<char>(b)));
        if (a != b)
            return false;
    }
    return true;
}

// A number the server reads as a numeric literal: sign, digits, fraction,
// exponent. Nothing else may stand unquoted in the statement.
bool IsNumericLiteral(const std::string& strValue)
{
    size_t nPos = 0;
    const size_t nLen = strValue.size();
    if (nPos < nLen && (strValue[nPos] == '+' || strValue[nPos] == '-'))
        ++nPos;
    size_t nDigits = 0;
    while (nPos < nLen && IsDigitAscii(strValue[nPos])) {
        ++nPos;
        ++nDigits;
    }
    if (nPos < nLen && strValue[nPos] == '.') {
        ++nPos;
        while (nPos < nLen && IsDigitAscii(strValue[nPos])) {
            ++nPos;
            ++nDigits;
        }
    }
    if (nDigits == 0)
        return false;
    if (nPos < nLen && (strValue[nPos] == 'e' || strValue[nPos] == 'E')) {
        ++nPos;
        if (nPos < nLen && (strValue[nPos] == '+' || strValue[nPos] == '-'))
            ++nPos;
        size_t nExponent = 0;
        while (nPos < nLen && IsDigitAscii(strValue[nPos])) {
            ++nPos;
            ++nExponent;
        }
        if (nExponent == 0)
            return false;
    }
    return nPos == nLen;
}

class CMySqlSink final : public CSinkBase {
public:
    CMySqlSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns, DbLogFn fnLog, bool bInsert)
        : CSinkBase(settings, std::move(aColumns), std::move(fnLog)), m_bInsert(bInsert)
    {
    }
    ~CMySqlSink() override { Release(); }

    bool Open() override
    {
        std::string strError;
        m_pConn = Connect(m_settings, strError);
        if (!m_pConn) {
            Log(MakeConnectFailure(strError, false));
            return false;
        }
        return true;
    }

    bool InsertRecord(const std::vector<std::string>& aRecord) override
    {
        if (!m_pConn)
            return false;
        if (!m_bInsert)
            return true;
        if (m_aTable.empty() && !ReadColumns())
            return false;

        std::string strSql = "insert into " + m_settings.m_strTable + " values(";
        for (size_t i = 0; i < m_aTable.size(); ++i) {
            if (i > 0)
                strSql += ',';
            AppendValue(m_aTable[i], aRecord, strSql);
        }
        strSql += ')';
        if (mysql_real_query(m_pConn.get(), strSql.data(), strSql.size()) != 0) {
            Log(MakeInsertFailure(mysql_error(m_pConn.get())));
            return false;
        }
        return true;
    }

    bool UpdateRecord(const std::vector<std::string>& aRecord, const std::vector<std::string>& aWhereFields) override
    {
        if (!m_pConn)
            return false;
        if (!m_bInsert)
            return true;
        if (m_aTable.empty() && !ReadColumns())
            return false;
        // Only the columns a field names are set; names are the server's own
        // and go in quoted, values escaped like an insert's.
        std::string strSet, strWhere;
        const size_t nFields = std::min(m_settings.m_aFieldNames.size(), m_settings.m_aFieldValues.size());
        for (const CServerColumn& column : m_aTable) {
            bool bNamed = false;
            for (size_t i = 0; i < nFields && !bNamed; ++i)
                bNamed = EqualNoCase(m_settings.m_aFieldNames[i], column.m_strName);
            if (!bNamed)
                continue;
            bool bWhere = false;
            for (const std::string& strField : aWhereFields)
                bWhere = bWhere || EqualNoCase(strField, column.m_strName);
            std::string& strPart = bWhere ? strWhere : strSet;
            if (!strPart.empty())
                strPart += bWhere ? " and " : ",";
            strPart += QuoteName(column.m_strName, "`") + "=";
            AppendValue(column, aRecord, strPart);
        }
        if (strWhere.empty() || strSet.empty())
            return true;
        const std::string strSql = "update " + m_settings.m_strTable + " set " + strSet + " where " + strWhere;
        if (mysql_real_query(m_pConn.get(), strSql.data(), strSql.size()) != 0) {
            Log(MakeInsertFailure(mysql_error(m_pConn.get())));
            return false;
        }
        return true;
    }

    void Release() override { m_pConn.reset(); }

private:
    struct CServerColumn {
        std::string m_strName;
        bool m_bNumeric = false;
    };

    // The table's columns are read once per pass, on the first insert, so a
    // missing table is reported where a per-record read would report it.
    bool ReadColumns()
    {
        const std::string strSql = "show columns from " + m_settings.m_strTable;
        if (mysql_real_query(m_pConn.get(), strSql.data(), strSql.size()) != 0) {
            Log("保存摘取到的内容到数据库失败！原因：无法获取表" + m_settings.m_strTable + "的信息，可能该表不存在。");
            return false;
        }
        ResultPtr pResult(mysql_store_result(m_pConn.get()));
        if (!pResult || mysql_num_fields(pResult.get()) < 2)
            return false;
        while (MYSQL_ROW row = mysql_fetch_row(pResult.get())) {
            CServerColumn column;
            column.m_strName = row[0] ? row[0] : "";
            std::string strType = row[1] ? row[1] : "";
            strType = strType.substr(0, strType.find('('));
            for (char& c : strType)
                c = ToLowerAscii(c);
            column.m_bNumeric = strType == "tinyint" || strType == "smallint" || strType == "mediumint"
                                || strType == "int" || strType == "bigint";
            m_aTable.push_back(std::move(column));
        }
        return !m_aTable.empty();
    }

    void AppendValue(const CServerColumn& column, const std::vector<std::string>& aRecord, std::string& strSql)
    {
        size_t nField = 0;
        const size_t nFields = std::min(m_settings.m_aFieldNames.size(), m_settings.m_aFieldValues.size());
        while (nField < nFields && !EqualNoCase(m_settings.m_aFieldNames[nField], column.m_strName))
            ++nField;
        const int nColumn = nField < nFields ? FindTemplateColumn(m_settings.m_aFieldValues[nField], m_aColumns) : -1;
        if (nColumn < 0) {
            strSql += column.m_bNumeric ? "0" : "''";
            return;
        }
        static const std::string s_strEmpty;
        const std::string& strValue =
            static_cast<size_t>(nColumn) < aRecord.size() ? aRecord[static_cast<size_t>(nColumn)] : s_strEmpty;
        if (column.m_bNumeric) {
            // An empty value leaves the item empty and the server refuses the
            // statement with its own message. Any other value that is no
            // number is quoted, so that it can never end the value list and
            // add SQL of its own; the server then converts or refuses it.
            if (strValue.empty() || IsNumericLiteral(strValue)) {
                strSql += strValue;
            } else {
                strSql += '\'';
                AppendEscaped(strValue, strSql);
                strSql += '\'';
            }
            return;
        }
        const std::string& strTemplate = m_settings.m_aFieldValues[nField];
        strSql += '\'';
        if (m_aColumns[static_cast<size_t>(nColumn)].m_bLinkedFile && strTemplate[2] == '#') {
            std::string strContent;
            if (ReadWholeFile(strValue, strContent))
                AppendEscaped(strContent, strSql);
        } else {
            AppendEscaped(strValue, strSql);
        }
        strSql += '\'';
    }

    // The escaped form is at most twice as long, plus the terminator.
    void AppendEscaped(const std::string& strValue, std::string& strSql)
    {
        const size_t nStart = strSql.size();
        strSql.resize(nStart + strValue.size() * 2 + 1);
        const unsigned long nLen =
            mysql_real_escape_string(m_pConn.get(), &strSql[nStart], strValue.data(), strValue.size());
        strSql.resize(nStart + nLen);
    }

    bool m_bInsert;
    std::vector<CServerColumn> m_aTable;
    MySqlPtr m_pConn;
};

} // namespace

void SplitHostPort(const std::string& strServer, std::string& strHost, unsigned& nPort)
{
    strHost = strServer;
    nPort = 0;
    const size_t nColon = strServer.rfind(':');
    if (nColon == std::string::npos || nColon + 1 >= strServer.size())
        return;
    // Only a plain decimal port after the last ':' splits; anything else
    // (an IPv6 address) is left to the library as the host.
    unsigned long nValue = 0;
    for (size_t i = nColon + 1; i < strServer.size(); ++i) {
        if (!IsDigitAscii(strServer[i]))
            return;
        nValue = nValue * 10 + static_cast<unsigned long>(strServer[i] - '0');
        if (nValue > 65535)
            return;
    }
    strHost = strServer.substr(0, nColon);
    nPort = static_cast<unsigned>(nValue);
}

std::unique_ptr<CDatabaseSink> CreateMySqlSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                               DbLogFn fnLog, bool bInsert)
{
    return std::make_unique<CMySqlSink>(settings, std::move(aColumns), std::move(fnLog), bInsert);
}

bool TestMySqlConnection(const CDbSettings& settings, std::string& strReason)
{
    return Connect(settings, strReason) != nullptr;
}
