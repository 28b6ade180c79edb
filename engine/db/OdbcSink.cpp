// OdbcSink.cpp - type 1: any ODBC data source through unixODBC. The table's
// columns come from describing a query that returns no rows; every record is
// one prepared INSERT with bound parameters, naming only the columns it sets.
#include "DbBackends.h"
#include "DbValue.h"

#include <sql.h>
#include <sqlext.h>

#include <ctime>
#include <map>
#include <utility>

namespace {

// Owns one ODBC handle of any kind.
class COdbcHandle {
public:
    COdbcHandle() = default;
    COdbcHandle(SQLSMALLINT nType, SQLHANDLE hParent) : m_nType(nType)
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(nType, hParent, &m_h)))
            m_h = SQL_NULL_HANDLE;
    }
    ~COdbcHandle() { Reset(); }
    COdbcHandle(COdbcHandle&& other) noexcept
        : m_nType(other.m_nType), m_h(std::exchange(other.m_h, nullptr)), m_bConnected(other.m_bConnected)
    {
    }
    COdbcHandle& operator=(COdbcHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_nType = other.m_nType;
            m_h = std::exchange(other.m_h, nullptr);
            m_bConnected = std::exchange(other.m_bConnected, false);
        }
        return *this;
    }

    void Reset()
    {
        if (m_h == SQL_NULL_HANDLE)
            return;
        if (m_bConnected)
            SQLDisconnect(m_h);
        m_bConnected = false;
        SQLFreeHandle(m_nType, m_h);
        m_h = SQL_NULL_HANDLE;
    }
    SQLHANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != SQL_NULL_HANDLE; }
    void SetConnected() { m_bConnected = true; }

    // The driver's first diagnostic message for this handle, or "".
    std::string GetError() const
    {
        if (m_h == SQL_NULL_HANDLE)
            return std::string();
        SQLCHAR szState[6] = {};
        SQLINTEGER nNative = 0;
        SQLCHAR szMessage[1024] = {};
        SQLSMALLINT nLen = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(m_nType, m_h, 1, szState, &nNative, szMessage, sizeof(szMessage), &nLen)))
            return std::string();
        return reinterpret_cast<const char*>(szMessage);
    }

private:
    SQLSMALLINT m_nType = SQL_HANDLE_ENV;
    SQLHANDLE m_h = SQL_NULL_HANDLE;
    bool m_bConnected = false;
};

// An ODBC connection: environment and connection handle. Declared in this
// order so that the connection is freed before its environment.
struct COdbcConnection {
    COdbcHandle m_env;
    COdbcHandle m_dbc;
};

// Brace a value that would otherwise end or split the key=value pair.
std::string ConnectionValue(const std::string& strValue)
{
    if (strValue.find_first_of(";{}=") == std::string::npos && !strValue.empty() && strValue.front() != ' '
        && strValue.back() != ' ')
        return strValue;
    std::string strOut = "{";
    for (char c : strValue) {
        if (c == '}')
            strOut += '}';
        strOut += c;
    }
    return strOut + "}";
}

bool Connect(const CDbSettings& settings, COdbcConnection& conn, std::string& strError)
{
    conn.m_env = COdbcHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    if (!conn.m_env) {
        strError = "cannot allocate an ODBC environment";
        return false;
    }
    SQLSetEnvAttr(conn.m_env.Get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    conn.m_dbc = COdbcHandle(SQL_HANDLE_DBC, conn.m_env.Get());
    if (!conn.m_dbc) {
        strError = conn.m_env.GetError();
        return false;
    }
    // Drivers that do not know an attribute just say so; the connection goes
    // on without it.
    const SQLULEN nTimeout = static_cast<SQLULEN>(GetTimeoutSeconds(settings));
    SQLSetConnectAttr(conn.m_dbc.Get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(nTimeout), 0);
    SQLSetConnectAttr(conn.m_dbc.Get(), SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(nTimeout), 0);
    std::string strConnect = BuildOdbcConnectionString(settings);
    SQLCHAR szOut[1024];
    SQLSMALLINT nOutLen = 0;
    const SQLRETURN nResult = SQLDriverConnect(conn.m_dbc.Get(), nullptr, reinterpret_cast<SQLCHAR*>(strConnect.data()),
                                               static_cast<SQLSMALLINT>(strConnect.size()), szOut, sizeof(szOut),
                                               &nOutLen, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(nResult)) {
        strError = conn.m_dbc.GetError();
        return false;
    }
    conn.m_dbc.SetConnected();
    return true;
}

CTableColumn ClassifySqlType(std::string strName, SQLSMALLINT nType, SQLULEN nSize, SQLSMALLINT nDecimals)
{
    CTableColumn column;
    column.m_strName = std::move(strName);
    column.m_nSqlType = nType;
    column.m_nDecimals = nDecimals;
    switch (nType) {
    case SQL_TINYINT: column.m_nKind = COL_INT8; break;
    case SQL_SMALLINT: column.m_nKind = COL_INT16; break;
    case SQL_INTEGER: column.m_nKind = COL_INT32; break;
    case SQL_BIGINT: column.m_nKind = COL_INT64; break;
    case SQL_REAL: column.m_nKind = COL_REAL4; break;
    case SQL_FLOAT:
    case SQL_DOUBLE: column.m_nKind = COL_REAL8; break;
    case SQL_DECIMAL:
    case SQL_NUMERIC: column.m_nKind = COL_DECIMAL; break;
    case SQL_TYPE_DATE:
    case SQL_DATE: column.m_nKind = COL_DATE; break;
    case SQL_TYPE_TIME:
    case SQL_TIME: column.m_nKind = COL_TIME; break;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: column.m_nKind = COL_TIMESTAMP; break;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
        column.m_nKind = COL_TEXT;
        column.m_nSize = nSize;
        break;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR: column.m_nKind = COL_TEXT; break;
    case SQL_BINARY:
    case SQL_VARBINARY:
        column.m_nKind = COL_BINARY;
        column.m_nSize = nSize;
        break;
    case SQL_LONGVARBINARY: column.m_nKind = COL_BINARY; break;
    default: column.m_nKind = COL_OTHER; break;
    }
    column.m_nSize = column.m_nSize > 0 ? column.m_nSize : 0;
    return column;
}

// The buffers of one bound parameter; they must stay put until SQLExecute
// has returned.
struct CParamBuffer {
    SQLBIGINT m_nInt = 0;
    SQLDOUBLE m_dReal = 0;
    SQL_DATE_STRUCT m_date {};
    SQL_TIME_STRUCT m_time {};
    SQL_TIMESTAMP_STRUCT m_timestamp {};
    SQLLEN m_nIndicator = 0;
};

class COdbcSink final : public CSinkBase {
public:
    COdbcSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns, DbLogFn fnLog)
        : CSinkBase(settings, std::move(aColumns), std::move(fnLog))
    {
    }
    ~COdbcSink() override { Release(); }

    bool Open() override
    {
        std::string strError;
        if (!Connect(m_settings, m_conn, strError)) {
            Log(MakeConnectFailure(strError, true));
            Release();
            return false;
        }
        if (!OpenTable(strError)) {
            Log(MakeConnectFailure(strError, false));
            Release();
            return false;
        }
        return true;
    }

    bool InsertRecord(const std::vector<std::string>& aRecord) override
    {
        if (!m_conn.m_dbc)
            return false;
        BuildCells(m_settings, m_aColumns, m_aTable, aRecord, std::time(nullptr), m_aCells);
        std::string strError;
        COdbcHandle* pStmt = PrepareInsert(strError);
        if (pStmt == nullptr)
            return Fail(strError);
        m_aParams.assign(m_aCells.size(), CParamBuffer());
        SQLUSMALLINT nParam = 1;
        for (size_t i = 0; i < m_aCells.size(); ++i) {
            if (m_aCells[i].m_nState == CELL_UNSET)
                continue;
            if (!Bind(pStmt->Get(), nParam++, m_aTable[i], m_aCells[i], m_aParams[i]))
                return Fail(pStmt->GetError());
        }
        const SQLRETURN nResult = SQLExecute(pStmt->Get());
        if (!SQL_SUCCEEDED(nResult) && nResult != SQL_NO_DATA) {
            strError = pStmt->GetError();
            SQLFreeStmt(pStmt->Get(), SQL_CLOSE);
            return Fail(strError);
        }
        SQLFreeStmt(pStmt->Get(), SQL_CLOSE);
        return true;
    }

    void Release() override
    {
        m_statements.clear();
        m_conn.m_dbc.Reset();
        m_conn.m_env.Reset();
    }

private:
    bool OpenTable(std::string& strError)
    {
        COdbcHandle stmt(SQL_HANDLE_STMT, m_conn.m_dbc.Get());
        if (!stmt) {
            strError = m_conn.m_dbc.GetError();
            return false;
        }
        SetQueryTimeout(stmt);
        std::string strSql = "select * from " + m_settings.m_strTable + " where 1=0";
        if (!SQL_SUCCEEDED(SQLExecDirect(stmt.Get(), reinterpret_cast<SQLCHAR*>(strSql.data()), SQL_NTS))) {
            strError = stmt.GetError();
            return false;
        }
        SQLSMALLINT nCount = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(stmt.Get(), &nCount))) {
            strError = stmt.GetError();
            return false;
        }
        for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(nCount); ++i) {
            SQLCHAR szName[512] = {};
            SQLSMALLINT nNameLen = 0, nType = 0, nDecimals = 0, nNullable = 0;
            SQLULEN nSize = 0;
            if (!SQL_SUCCEEDED(SQLDescribeCol(stmt.Get(), i, szName, sizeof(szName), &nNameLen, &nType, &nSize,
                                              &nDecimals, &nNullable))) {
                strError = stmt.GetError();
                return false;
            }
            m_aTable.push_back(ClassifySqlType(reinterpret_cast<const char*>(szName), nType, nSize, nDecimals));
        }
        SQLFreeStmt(stmt.Get(), SQL_CLOSE);

        SQLCHAR szQuote[8] = {};
        SQLSMALLINT nLen = 0;
        if (SQL_SUCCEEDED(SQLGetInfo(m_conn.m_dbc.Get(), SQL_IDENTIFIER_QUOTE_CHAR, szQuote, sizeof(szQuote), &nLen))
            && szQuote[0] != ' ')
            m_strQuote = reinterpret_cast<const char*>(szQuote);
        SQLCHAR szDbms[128] = {};
        if (SQL_SUCCEEDED(SQLGetInfo(m_conn.m_dbc.Get(), SQL_DBMS_NAME, szDbms, sizeof(szDbms), &nLen))) {
            const std::string strDbms = reinterpret_cast<const char*>(szDbms);
            m_bEmptyValueList = strDbms.find("MySQL") != std::string::npos
                                || strDbms.find("MariaDB") != std::string::npos;
        }
        return true;
    }

    void SetQueryTimeout(const COdbcHandle& stmt)
    {
        SQLSetStmtAttr(stmt.Get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(GetTimeoutSeconds(m_settings))), 0);
    }

    // One prepared statement per set of columns, as with SQLite.
    COdbcHandle* PrepareInsert(std::string& strError)
    {
        const std::string strKey = InsertShape(m_aCells);
        auto it = m_statements.find(strKey);
        if (it != m_statements.end())
            return &it->second;
        std::string strSql = ComposeInsert(m_settings.m_strTable, strKey, m_aTable, m_strQuote,
                                           m_bEmptyValueList ? " () values ()" : " default values");
        COdbcHandle stmt(SQL_HANDLE_STMT, m_conn.m_dbc.Get());
        if (!stmt) {
            strError = m_conn.m_dbc.GetError();
            return nullptr;
        }
        SetQueryTimeout(stmt);
        if (!SQL_SUCCEEDED(SQLPrepare(stmt.Get(), reinterpret_cast<SQLCHAR*>(strSql.data()), SQL_NTS))) {
            strError = stmt.GetError();
            return nullptr;
        }
        return &m_statements.emplace(strKey, std::move(stmt)).first->second;
    }

    static bool Bind(SQLHSTMT hStmt, SQLUSMALLINT nParam, const CTableColumn& column, CDbCell& cell,
                     CParamBuffer& buffer)
    {
        SQLSMALLINT nCType = SQL_C_CHAR;
        SQLSMALLINT nSqlType = static_cast<SQLSMALLINT>(column.m_nSqlType);
        SQLULEN nSize = column.m_nSize;
        SQLSMALLINT nDecimals = static_cast<SQLSMALLINT>(column.m_nDecimals);
        SQLPOINTER pValue = nullptr;
        SQLLEN nBufferLen = 0;
        switch (cell.m_nState) {
        case CELL_NULL:
            buffer.m_nIndicator = SQL_NULL_DATA;
            break;
        case CELL_INT:
            nCType = SQL_C_SBIGINT;
            buffer.m_nInt = cell.m_nInt;
            pValue = &buffer.m_nInt;
            break;
        case CELL_REAL:
            nCType = SQL_C_DOUBLE;
            buffer.m_dReal = cell.m_dReal;
            pValue = &buffer.m_dReal;
            break;
        case CELL_TEXT:
        case CELL_BLOB:
            nCType = cell.m_nState == CELL_BLOB ? SQL_C_BINARY : SQL_C_CHAR;
            pValue = cell.m_strBytes.data();
            nBufferLen = static_cast<SQLLEN>(cell.m_strBytes.size());
            buffer.m_nIndicator = nBufferLen;
            // Long columns report no useful size; the value's own length is
            // what the driver has to be ready for.
            if (nSize == 0 || column.m_nKind == COL_OTHER)
                nSize = cell.m_strBytes.empty() ? 1 : cell.m_strBytes.size();
            break;
        case CELL_DATETIME: {
            const CDbDateTime& t = cell.m_time;
            if (column.m_nKind == COL_DATE) {
                nCType = SQL_C_TYPE_DATE;
                buffer.m_date = { static_cast<SQLSMALLINT>(t.m_nYear), static_cast<SQLUSMALLINT>(t.m_nMonth),
                                  static_cast<SQLUSMALLINT>(t.m_nDay) };
                pValue = &buffer.m_date;
            } else if (column.m_nKind == COL_TIME) {
                nCType = SQL_C_TYPE_TIME;
                buffer.m_time = { static_cast<SQLUSMALLINT>(t.m_nHour), static_cast<SQLUSMALLINT>(t.m_nMinute),
                                  static_cast<SQLUSMALLINT>(t.m_nSecond) };
                pValue = &buffer.m_time;
            } else {
                nCType = SQL_C_TYPE_TIMESTAMP;
                buffer.m_timestamp = { static_cast<SQLSMALLINT>(t.m_nYear), static_cast<SQLUSMALLINT>(t.m_nMonth),
                                       static_cast<SQLUSMALLINT>(t.m_nDay), static_cast<SQLUSMALLINT>(t.m_nHour),
                                       static_cast<SQLUSMALLINT>(t.m_nMinute),
                                       static_cast<SQLUSMALLINT>(t.m_nSecond), 0 };
                pValue = &buffer.m_timestamp;
                nSize = 19;
                nDecimals = 0;
            }
            break;
        }
        case CELL_UNSET:
            return true;
        }
        if (nSize == 0)
            nSize = 1;
        return SQL_SUCCEEDED(SQLBindParameter(hStmt, nParam, SQL_PARAM_INPUT, nCType, nSqlType, nSize, nDecimals,
                                              pValue, nBufferLen, &buffer.m_nIndicator));
    }

    std::vector<CTableColumn> m_aTable;
    std::vector<CDbCell> m_aCells;
    std::vector<CParamBuffer> m_aParams;
    std::string m_strQuote = "\"";
    bool m_bEmptyValueList = false;  // MySQL and MariaDB know no "default values".
    COdbcConnection m_conn;
    // After m_conn: statements are freed before their connection.
    std::map<std::string, COdbcHandle> m_statements;
};

} // namespace

std::string BuildOdbcConnectionString(const CDbSettings& settings)
{
    std::string strOut;
    if (settings.m_strServer.find('=') != std::string::npos) {
        strOut = settings.m_strServer;
        while (!strOut.empty() && (strOut.back() == ';' || strOut.back() == ' '))
            strOut.pop_back();
    } else {
        strOut = "DSN=" + ConnectionValue(settings.m_strServer);
    }
    if (!settings.m_strDatabase.empty())
        strOut += ";DATABASE=" + ConnectionValue(settings.m_strDatabase);
    if (!settings.m_strAccount.empty())
        strOut += ";UID=" + ConnectionValue(settings.m_strAccount);
    if (!settings.m_strPassword.empty())
        strOut += ";PWD=" + ConnectionValue(settings.m_strPassword);
    // The MariaDB and MySQL drivers read the login time-out attribute only
    // for the TCP connect and wait for ever on a server that accepts and
    // then stays silent; these keys bound every read and write. Drivers that
    // do not know them ignore them, as ODBC requires.
    std::string strUpper = strOut;
    for (char& c : strUpper)
        c = ToUpperAscii(c);
    const std::string strSeconds = std::to_string(GetTimeoutSeconds(settings));
    for (const char* pszKey : { "CONN_TIMEOUT", "READ_TIMEOUT", "WRITE_TIMEOUT" }) {
        if (strUpper.find(pszKey) == std::string::npos)
            strOut += std::string(";") + pszKey + "=" + strSeconds;
    }
    return strOut;
}

std::unique_ptr<CDatabaseSink> CreateOdbcSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                              DbLogFn fnLog)
{
    return std::make_unique<COdbcSink>(settings, std::move(aColumns), std::move(fnLog));
}

bool TestOdbcConnection(const CDbSettings& settings, std::string& strReason)
{
    COdbcConnection conn;
    return Connect(settings, conn, strReason);
}
