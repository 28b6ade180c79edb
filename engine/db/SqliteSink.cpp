// SqliteSink.cpp - type 0: one table of a SQLite file. Other tasks may write
// the same file, and a pass may wait for a server between two records, so no
// transaction stays open between calls: records are kept back for a moment
// and written together, each batch in one transaction of its own.
#include "DbBackends.h"
#include "DbValue.h"

#include "platform/ProgramDir.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <algorithm>
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
using Clock = std::chrono::steady_clock;

// How long after a write, how many and how much records are kept back before
// they are written. One commit per record would cost a journal write and its
// fsyncs each (tens of milliseconds on a busy disk); a quarter second of
// records in one transaction costs one.
constexpr std::chrono::milliseconds BATCH_AGE(250);
constexpr size_t BATCH_RECORDS = 10000;
constexpr size_t BATCH_BYTES = 8 * 1024 * 1024;

// A record kept back, with the moment that "<@NOW@>" stands for.
struct CKeptRecord {
    std::vector<std::string> m_aRecord;
    std::time_t m_tNow = 0;
};

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
        m_aKept.push_back({ aRecord, std::time(nullptr) });
        for (const std::string& strValue : aRecord)
            m_nKeptBytes += strValue.size();
        // A record that comes after a pause (such as a linked page's wait) is
        // written at once; those that follow it closely are kept and written
        // together a moment later.
        if (!m_bWritten || Clock::now() - m_tLastWrite >= BATCH_AGE || m_aKept.size() >= BATCH_RECORDS
            || m_nKeptBytes >= BATCH_BYTES)
            return WriteKept();
        return true;
    }

    bool Flush() override { return m_pDb && WriteKept(); }
    bool HasUnwritten() const override { return !m_aKept.empty(); }

    bool UpdateRecord(const std::vector<std::string>& aRecord, const std::vector<std::string>& aWhereFields) override
    {
        // Records kept back go first, so the update finds the row it changes.
        if (!m_pDb || !WriteKept())
            return false;
        BuildCells(m_settings, m_aColumns, m_aTable, aRecord, std::time(nullptr), m_aCells);
        std::string strSet, strWhere;
        std::vector<size_t> aSetCells, aWhereCells;
        for (size_t i = 0; i < m_aTable.size(); ++i) {
            const bool bWhere =
                std::find(aWhereFields.begin(), aWhereFields.end(), m_aTable[i].m_strName) != aWhereFields.end();
            if (m_aCells[i].m_nState == CELL_UNSET)
                continue;
            std::string& strPart = bWhere ? strWhere : strSet;
            if (!strPart.empty())
                strPart += bWhere ? " and " : ",";
            strPart += QuoteName(m_aTable[i].m_strName, "\"") + "=?";
            (bWhere ? aWhereCells : aSetCells).push_back(i);
        }
        if (aWhereCells.empty() || aSetCells.empty())
            return true;  // Nothing to find the row by, or nothing to change.
        const std::string strSql = "update " + m_settings.m_strTable + " set " + strSet + " where " + strWhere;
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(m_pDb.get(), strSql.c_str(), -1, &pRaw, nullptr) != SQLITE_OK || pRaw == nullptr) {
            StatementPtr pGuard(pRaw);
            return Stop(sqlite3_errmsg(m_pDb.get()));
        }
        StatementPtr pStmt(pRaw);
        int nParam = 1;
        for (size_t i : aSetCells)
            Bind(pStmt.get(), nParam++, m_aCells[i], m_aTable[i].m_nKind);
        for (size_t i : aWhereCells)
            Bind(pStmt.get(), nParam++, m_aCells[i], m_aTable[i].m_nKind);
        if (sqlite3_step(pStmt.get()) != SQLITE_DONE)
            return Stop(sqlite3_errmsg(m_pDb.get()));
        return true;
    }

    void Release() override
    {
        if (m_pDb)
            WriteKept();
        m_statements.clear();
        m_pDb.reset();
    }

private:
    // Writes the kept records in one transaction. A record the database
    // refuses ends the batch: those before it are committed, it and those
    // after it are not written, just as if each had been inserted in turn.
    // False after a failure, which is logged; the sink then takes no more.
    bool WriteKept()
    {
        std::vector<CKeptRecord> aRecords;
        aRecords.swap(m_aKept);
        m_nKeptBytes = 0;
        if (aRecords.empty())
            return true;
        // IMMEDIATE takes the write lock at once, waiting in the busy handler
        // while another writer holds it. A deferred transaction would take it
        // only at the first insert, where SQLite fails at once rather than
        // wait if waiting could deadlock.
        if (sqlite3_exec(m_pDb.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            return Stop(sqlite3_errmsg(m_pDb.get()));
        std::string strError;
        for (const CKeptRecord& kept : aRecords) {
            if (!InsertOne(kept, strError))
                break;
        }
        if (sqlite3_exec(m_pDb.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            const std::string strCommitError = sqlite3_errmsg(m_pDb.get());
            sqlite3_exec(m_pDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            if (strError.empty())
                strError = strCommitError;
        }
        if (!strError.empty())
            return Stop(strError);
        m_bWritten = true;
        m_tLastWrite = Clock::now();
        return true;
    }

    // Logs the failure and closes the file; always false.
    bool Stop(const std::string& strError)
    {
        Fail(strError);
        m_aKept.clear();
        m_statements.clear();
        m_pDb.reset();
        return false;
    }

    // Runs the INSERT for one record inside the open transaction.
    bool InsertOne(const CKeptRecord& kept, std::string& strError)
    {
        BuildCells(m_settings, m_aColumns, m_aTable, kept.m_aRecord, kept.m_tNow, m_aCells);
        sqlite3_stmt* pStmt = PrepareInsert();
        if (pStmt == nullptr) {
            strError = sqlite3_errmsg(m_pDb.get());
            return false;
        }
        int nParam = 1;
        for (size_t i = 0; i < m_aCells.size(); ++i) {
            CDbCell& cell = m_aCells[i];
            if (cell.m_nState == CELL_UNSET)
                continue;
            Bind(pStmt, nParam++, cell, m_aTable[i].m_nKind);
        }
        const int nResult = sqlite3_step(pStmt);
        if (nResult != SQLITE_DONE)
            strError = sqlite3_errmsg(m_pDb.get());
        sqlite3_reset(pStmt);
        sqlite3_clear_bindings(pStmt);
        return nResult == SQLITE_DONE;
    }

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
    std::vector<CKeptRecord> m_aKept;  // Stored by the pass, not yet written.
    size_t m_nKeptBytes = 0;
    bool m_bWritten = false;           // Whether a batch was written yet...
    Clock::time_point m_tLastWrite;    // ...and when the last one ended.
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
