// SqliteSink.cpp - type 0: one table of a SQLite file. The whole pass is one
// transaction, committed when the pass releases the database, so a pass of
// thousands of new records costs one journal write instead of thousands.
#include "DbBackends.h"
#include "DbValue.h"

#include "platform/ProgramDir.h"

#include <sqlite3.h>

#include <ctime>
#include <map>

namespace {

struct CSqliteCloser {
    void operator()(sqlite3* pDb) const { sqlite3_close_v2(pDb); }
};
struct CStatementFinalizer {
    void operator()(sqlite3_stmt* pStmt) const { sqlite3_finalize(pStmt); }
};
using SqlitePtr = std::unique_ptr<sqlite3, CSqliteCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, CStatementFinalizer>;

// Opens an existing file for writing; never creates one. On failure strError
// gets SQLite's reason.
SqlitePtr OpenExisting(const std::string& strPath, int nTimeoutSeconds, std::string& strError)
{
    sqlite3* pRaw = nullptr;
    const int nResult = sqlite3_open_v2(strPath.c_str(), &pRaw, SQLITE_OPEN_READWRITE, nullptr);
    SqlitePtr pDb(pRaw);
    if (nResult != SQLITE_OK) {
        strError = pDb ? sqlite3_errmsg(pDb.get()) : sqlite3_errstr(nResult);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb.get(), nTimeoutSeconds * 1000);
    return pDb;
}

class CSqliteSink final : public CSinkBase {
public:
    CSqliteSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns, DbLogFn fnLog)
        : CSinkBase(settings, std::move(aColumns), std::move(fnLog))
    {
    }
    ~CSqliteSink() override { Release(); }

    bool Open() override
    {
        std::string strError;
        m_pDb = OpenExisting(ResolveSqlitePath(m_settings), GetTimeoutSeconds(m_settings), strError);
        if (!m_pDb) {
            Log(MakeConnectFailure(strError, true));
            return false;
        }
        return OpenTable();
    }

    bool InsertRecord(const std::vector<std::string>& aRecord) override
    {
        if (!m_pDb)
            return false;
        BuildCells(m_settings, m_aColumns, m_aTable, aRecord, std::time(nullptr), m_aCells);
        sqlite3_stmt* pStmt = PrepareInsert();
        if (pStmt == nullptr)
            return Fail(sqlite3_errmsg(m_pDb.get()));
        if (!m_bInTransaction) {
            if (sqlite3_exec(m_pDb.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
                return Fail(sqlite3_errmsg(m_pDb.get()));
            m_bInTransaction = true;
        }
        int nParam = 1;
        for (size_t i = 0; i < m_aCells.size(); ++i) {
            CDbCell& cell = m_aCells[i];
            if (cell.m_nState == CELL_UNSET)
                continue;
            Bind(pStmt, nParam++, cell, m_aTable[i].m_nKind);
        }
        const int nResult = sqlite3_step(pStmt);
        std::string strError;
        if (nResult != SQLITE_DONE)
            strError = sqlite3_errmsg(m_pDb.get());
        sqlite3_reset(pStmt);
        sqlite3_clear_bindings(pStmt);
        if (nResult != SQLITE_DONE)
            return Fail(strError);
        return true;
    }

    void Release() override
    {
        if (m_pDb && m_bInTransaction) {
            m_bInTransaction = false;
            // A pass's rows are only kept once this commit succeeds, so its
            // failure is reported like a failed insert rather than dropped.
            if (sqlite3_exec(m_pDb.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
                Log(MakeInsertFailure(sqlite3_errmsg(m_pDb.get())));
                sqlite3_exec(m_pDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        m_statements.clear();
        m_pDb.reset();
    }

private:
    bool OpenTable()
    {
        // Preparing, not running, the query yields the column names and the
        // declared types; a missing table fails here with SQLite's reason.
        const std::string strSql = "select * from " + m_settings.m_strTable;
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(m_pDb.get(), strSql.c_str(), -1, &pRaw, nullptr) != SQLITE_OK || pRaw == nullptr) {
            StatementPtr pGuard(pRaw);
            Log(MakeConnectFailure(sqlite3_errmsg(m_pDb.get()), false));
            m_pDb.reset();
            return false;
        }
        StatementPtr pStmt(pRaw);
        const int nCount = sqlite3_column_count(pStmt.get());
        for (int i = 0; i < nCount; ++i) {
            const char* pszName = sqlite3_column_name(pStmt.get(), i);
            const char* pszType = sqlite3_column_decltype(pStmt.get(), i);
            m_aTable.push_back(ClassifyDeclaredType(pszName ? pszName : "", pszType ? pszType : ""));
        }
        return true;
    }

    // One prepared INSERT per shape of set columns.
    sqlite3_stmt* PrepareInsert()
    {
        const std::string strKey = InsertShape(m_aCells);
        auto it = m_statements.find(strKey);
        if (it != m_statements.end())
            return it->second.get();
        const std::string strSql = ComposeInsert(m_settings.m_strTable, strKey, m_aTable, "\"", " default values");
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(m_pDb.get(), strSql.c_str(), -1, &pRaw, nullptr) != SQLITE_OK || pRaw == nullptr) {
            StatementPtr pGuard(pRaw);
            return nullptr;
        }
        return m_statements.emplace(strKey, StatementPtr(pRaw)).first->second.get();
    }

    // The cell outlives the step, so its bytes are bound without a copy.
    static void Bind(sqlite3_stmt* pStmt, int nParam, CDbCell& cell, EColumnKind nKind)
    {
        switch (cell.m_nState) {
        case CELL_NULL:
            sqlite3_bind_null(pStmt, nParam);
            break;
        case CELL_INT:
            sqlite3_bind_int64(pStmt, nParam, cell.m_nInt);
            break;
        case CELL_REAL:
            sqlite3_bind_double(pStmt, nParam, cell.m_dReal);
            break;
        case CELL_TEXT:
            sqlite3_bind_text64(pStmt, nParam, cell.m_strBytes.data(), cell.m_strBytes.size(), SQLITE_STATIC,
                                SQLITE_UTF8);
            break;
        case CELL_BLOB:
            // An empty blob bound from a null pointer would store NULL.
            if (cell.m_strBytes.empty())
                sqlite3_bind_zeroblob(pStmt, nParam, 0);
            else
                sqlite3_bind_blob64(pStmt, nParam, cell.m_strBytes.data(), cell.m_strBytes.size(), SQLITE_STATIC);
            break;
        case CELL_DATETIME:
            // SQLite keeps dates as text in the form its date functions read.
            cell.m_strBytes = FormatDateTime(cell.m_time, nKind);
            sqlite3_bind_text64(pStmt, nParam, cell.m_strBytes.data(), cell.m_strBytes.size(), SQLITE_STATIC,
                                SQLITE_UTF8);
            break;
        case CELL_UNSET:
            break;
        }
    }

    std::vector<CTableColumn> m_aTable;
    std::vector<CDbCell> m_aCells;   // Reused for every record of the pass.
    SqlitePtr m_pDb;
    // Declared after m_pDb so that every statement is finalized before the
    // connection closes.
    std::map<std::string, StatementPtr> m_statements;
    bool m_bInTransaction = false;
};

} // namespace

std::string ResolveSqlitePath(const CDbSettings& settings)
{
    const std::string& strServer = settings.m_strServer;
    if (!strServer.empty() && strServer.front() == '/')
        return strServer;
    std::string strDir = settings.m_strProgramDir.empty() ? quarvex::GetProgramDir() : settings.m_strProgramDir;
    if (!strDir.empty() && strDir.back() != '/')
        strDir += '/';
    return strDir + strServer;
}

std::unique_ptr<CDatabaseSink> CreateSqliteSink(const CDbSettings& settings, std::vector<CDbColumn> aColumns,
                                                DbLogFn fnLog)
{
    return std::make_unique<CSqliteSink>(settings, std::move(aColumns), std::move(fnLog));
}

bool TestSqliteConnection(const CDbSettings& settings, std::string& strReason)
{
    strReason.clear();
    SqlitePtr pDb = OpenExisting(ResolveSqlitePath(settings), GetTimeoutSeconds(settings), strReason);
    if (!pDb)
        return false;
    // Opening reads nothing; a file that is no database only shows itself
    // when its schema is read.
    if (sqlite3_exec(pDb.get(), "select count(*) from sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
        strReason = sqlite3_errmsg(pDb.get());
        return false;
    }
    return true;
}
