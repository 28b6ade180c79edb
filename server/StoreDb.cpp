// StoreDb.cpp - prepared statements over one SQLite connection.
#include "StoreDb.h"

#include <cstdio>

namespace quarvex {

// One prepared statement; finalised when it goes out of scope. Values are
// bound, never pasted into SQL text.
class CStoreDb::CStatement {
public:
    CStatement(sqlite3* pDb, const char* pszSql)
    {
        if (sqlite3_prepare_v2(pDb, pszSql, -1, &m_pStmt, nullptr) != SQLITE_OK)
            m_pStmt = nullptr;
    }
    ~CStatement() { sqlite3_finalize(m_pStmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool IsOk() const { return m_pStmt != nullptr && m_bBound; }
    CStatement& Bind(std::int64_t n)
    {
        if (m_pStmt == nullptr || sqlite3_bind_int64(m_pStmt, ++m_nArg, n) != SQLITE_OK)
            m_bBound = false;
        return *this;
    }
    CStatement& Bind(const std::string& str)
    {
        if (m_pStmt == nullptr ||
            sqlite3_bind_text(m_pStmt, ++m_nArg, str.data(), static_cast<int>(str.size()), SQLITE_TRANSIENT) != SQLITE_OK)
            m_bBound = false;
        return *this;
    }
    CStatement& BindBlob(const std::string& str)
    {
        if (m_pStmt == nullptr ||
            sqlite3_bind_blob(m_pStmt, ++m_nArg, str.data(), static_cast<int>(str.size()), SQLITE_TRANSIENT) != SQLITE_OK)
            m_bBound = false;
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return IsOk() ? sqlite3_step(m_pStmt) : SQLITE_ERROR; }
    std::int64_t ColumnInt(int n) { return sqlite3_column_int64(m_pStmt, n); }
    std::string ColumnText(int n)
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_pStmt, n));
        return p == nullptr ? std::string() : std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, n)));
    }

private:
    sqlite3_stmt* m_pStmt = nullptr;
    int m_nArg = 0;
    bool m_bBound = true;
};

bool CStoreDb::Open(const std::string& strPath, std::string& strError)
{
    std::lock_guard lock(m_mutex);
    sqlite3* pDb = nullptr;
    const int nRc = sqlite3_open_v2(strPath.c_str(), &pDb,
                                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_pDb.reset(pDb);
    if (nRc != SQLITE_OK) {
        strError = pDb != nullptr ? sqlite3_errmsg(pDb) : sqlite3_errstr(nRc);
        m_pDb.reset();
        return false;
    }
    // Administration commands may write while a server runs on the same file.
    sqlite3_busy_timeout(pDb, 5000);
    static const char* const s_apszSchema[] = {
        "PRAGMA journal_mode=WAL",
        // A task id is answered only after its commit reached the disk.
        "PRAGMA synchronous=FULL",
        "PRAGMA foreign_keys=ON",
        "CREATE TABLE IF NOT EXISTS accounts("
        " id INTEGER PRIMARY KEY,"
        " name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " pwhash TEXT NOT NULL DEFAULT '')",
        "CREATE TABLE IF NOT EXISTS sessions("
        " token BLOB PRIMARY KEY,"
        " account INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " last_used INTEGER NOT NULL) WITHOUT ROWID",
        "CREATE INDEX IF NOT EXISTS sessions_account ON sessions(account, last_used)",
        "CREATE TABLE IF NOT EXISTS tasks("
        " seq INTEGER PRIMARY KEY,"
        " guid TEXT NOT NULL UNIQUE,"
        " account INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " key TEXT NOT NULL,"
        " blob TEXT NOT NULL,"
        " created INTEGER NOT NULL,"
        " updated INTEGER NOT NULL,"
        " size INTEGER NOT NULL DEFAULT 0)",
        "CREATE INDEX IF NOT EXISTS tasks_account ON tasks(account, seq)",
    };
    for (const char* pszSql : s_apszSchema) {
        if (!Exec(pszSql)) {
            strError = sqlite3_errmsg(pDb);
            m_pDb.reset();
            return false;
        }
    }
    // The size sits after the blob in each row, where reading it means
    // walking the blob's overflow pages; this index answers an account's
    // usage without touching the rows.
    if (!AddSizeColumn() || !Exec("CREATE INDEX IF NOT EXISTS tasks_usage ON tasks(account, size)")) {
        strError = sqlite3_errmsg(pDb);
        m_pDb.reset();
        return false;
    }
    return true;
}

bool CStoreDb::AddSizeColumn()
{
    {
        CStatement probe(m_pDb.get(), "SELECT size FROM tasks LIMIT 0");
        if (probe.IsOk())
            return true;
    }
    // Blobs are base-32 and keys hexadecimal, so characters are bytes.
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    if (Exec("ALTER TABLE tasks ADD COLUMN size INTEGER NOT NULL DEFAULT 0") &&
        Exec("UPDATE tasks SET size = length(key) + length(blob)") && Exec("COMMIT"))
        return true;
    Exec("ROLLBACK");
    return false;
}

bool CStoreDb::GetUsage(std::int64_t nAccount, std::int64_t& nTasks, std::int64_t& nBytes)
{
    CStatement stmt(m_pDb.get(), "SELECT count(*), coalesce(sum(size), 0) FROM tasks WHERE account = ?");
    stmt.Bind(nAccount);
    if (stmt.Step() != SQLITE_ROW)
        return false;
    nTasks = stmt.ColumnInt(0);
    nBytes = stmt.ColumnInt(1);
    return true;
}

bool CStoreDb::Exec(const char* pszSql)
{
    return sqlite3_exec(m_pDb.get(), pszSql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CStoreDb::Run(CStatement& stmt, int* pnChanges)
{
    if (stmt.Step() != SQLITE_DONE) {
        std::fprintf(stderr, "quarvex-store: database: %s\n", sqlite3_errmsg(m_pDb.get()));
        return false;
    }
    if (pnChanges != nullptr)
        *pnChanges = sqlite3_changes(m_pDb.get());
    return true;
}

std::string CStoreDb::GetLastError()
{
    std::lock_guard lock(m_mutex);
    return m_pDb ? sqlite3_errmsg(m_pDb.get()) : "not open";
}

bool CStoreDb::AddAccount(const std::string& strName, const std::string& strHash)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CStatement stmt(m_pDb.get(), "INSERT INTO accounts(name, pwhash) VALUES(?, ?)");
    stmt.Bind(strName).Bind(strHash);
    return stmt.Step() == SQLITE_DONE;
}

bool CStoreDb::SetPasswordHash(const std::string& strName, const std::string& strHash)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CStatement stmt(m_pDb.get(), "UPDATE accounts SET pwhash = ? WHERE name = ?");
    stmt.Bind(strHash).Bind(strName);
    int nChanges = 0;
    if (!Run(stmt, &nChanges) || nChanges == 0)
        return false;
    // A new password ends every session opened with the old one.
    CStatement del(m_pDb.get(), "DELETE FROM sessions WHERE account = (SELECT id FROM accounts WHERE name = ?)");
    del.Bind(strName);
    return Run(del);
}

bool CStoreDb::DeleteAccount(const std::string& strName)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CStatement stmt(m_pDb.get(), "DELETE FROM accounts WHERE name = ?");
    stmt.Bind(strName);
    int nChanges = 0;
    return Run(stmt, &nChanges) && nChanges > 0;
}

std::optional<StoreAccount> CStoreDb::FindAccount(const std::string& strName)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT id, pwhash FROM accounts WHERE name = ?");
    stmt.Bind(strName);
    if (stmt.Step() != SQLITE_ROW)
        return std::nullopt;
    return StoreAccount{ stmt.ColumnInt(0), stmt.ColumnText(1) };
}

std::optional<std::int64_t> CStoreDb::EnsureAccount(const std::string& strName)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement ins(m_pDb.get(), "INSERT OR IGNORE INTO accounts(name) VALUES(?)");
    ins.Bind(strName);
    if (!Run(ins))
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT id FROM accounts WHERE name = ?");
    stmt.Bind(strName);
    if (stmt.Step() != SQLITE_ROW)
        return std::nullopt;
    return stmt.ColumnInt(0);
}

bool CStoreDb::AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                          std::int64_t nIdleBefore, int nKeep)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CStatement ins(m_pDb.get(), "INSERT INTO sessions(token, account, last_used) VALUES(?, ?, ?)");
    ins.BindBlob(strTokenHash).Bind(nAccount).Bind(nNow);
    if (!Run(ins))
        return false;
    // Bounds the table: an account that logs in again and again keeps only
    // its newest sessions, and idle ones go when their owner comes back.
    CStatement trim(m_pDb.get(),
                    "DELETE FROM sessions WHERE account = ?1 AND (last_used < ?2 OR token NOT IN"
                    " (SELECT token FROM sessions WHERE account = ?1 ORDER BY last_used DESC LIMIT ?3))");
    trim.Bind(nAccount).Bind(nIdleBefore).Bind(nKeep);
    return Run(trim);
}

std::optional<std::int64_t> CStoreDb::UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                                 std::int64_t nIdleBefore)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT account, last_used FROM sessions WHERE token = ?");
    stmt.BindBlob(strTokenHash);
    if (stmt.Step() != SQLITE_ROW)
        return std::nullopt;
    const std::int64_t nAccount = stmt.ColumnInt(0);
    const std::int64_t nLastUsed = stmt.ColumnInt(1);
    if (nLastUsed < nIdleBefore) {
        CStatement del(m_pDb.get(), "DELETE FROM sessions WHERE token = ?");
        del.BindBlob(strTokenHash);
        Run(del);
        return std::nullopt;
    }
    // Idle time counts in days, so a write per minute is precise enough and
    // keeps busy readers from writing on every request.
    if (nNow - nLastUsed >= 60) {
        CStatement upd(m_pDb.get(), "UPDATE sessions SET last_used = ? WHERE token = ?");
        upd.Bind(nNow).BindBlob(strTokenHash);
        Run(upd);
    }
    return nAccount;
}

bool CStoreDb::AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                       const TaskQuota* pQuota)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    const auto nSize = static_cast<std::int64_t>(task.strKey.size() + task.strBlob.size());
    if (pQuota != nullptr) {
        // The server adds every task of a user's account through this
        // connection under m_mutex, so no other save slips in between the
        // count and the insert.
        std::int64_t nTasks = 0, nBytes = 0;
        if (!GetUsage(nAccount, nTasks, nBytes) || nTasks >= pQuota->nMaxTasks ||
            nBytes + nSize > pQuota->nMaxBytes)
            return false;
    }
    CStatement stmt(m_pDb.get(),
                    "INSERT INTO tasks(guid, account, key, blob, created, updated, size) VALUES(?, ?, ?, ?, ?, ?, ?)");
    stmt.Bind(strId).Bind(nAccount).Bind(task.strKey).Bind(task.strBlob).Bind(nNow).Bind(nNow).Bind(nSize);
    return Run(stmt);
}

bool CStoreDb::UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                          const TaskQuota* pQuota)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    const auto nSize = static_cast<std::int64_t>(task.strKey.size() + task.strBlob.size());
    if (pQuota != nullptr) {
        CStatement old(m_pDb.get(), "SELECT size FROM tasks WHERE guid = ? AND account = ?");
        old.Bind(strId).Bind(nAccount);
        std::int64_t nTasks = 0, nBytes = 0;
        if (old.Step() != SQLITE_ROW || !GetUsage(nAccount, nTasks, nBytes) ||
            nBytes - old.ColumnInt(0) + nSize > pQuota->nMaxBytes)
            return false;
    }
    CStatement stmt(m_pDb.get(),
                    "UPDATE tasks SET key = ?, blob = ?, updated = ?, size = ? WHERE guid = ? AND account = ?");
    stmt.Bind(task.strKey).Bind(task.strBlob).Bind(nNow).Bind(nSize).Bind(strId).Bind(nAccount);
    int nChanges = 0;
    return Run(stmt, &nChanges) && nChanges == 1;
}

bool CStoreDb::DeleteTask(std::int64_t nAccount, const std::string& strId)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CStatement stmt(m_pDb.get(), "DELETE FROM tasks WHERE guid = ? AND account = ?");
    stmt.Bind(strId).Bind(nAccount);
    int nChanges = 0;
    return Run(stmt, &nChanges) && nChanges == 1;
}

std::optional<std::vector<std::string>> CStoreDb::ListTasks(std::int64_t nAccount)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT guid FROM tasks WHERE account = ? ORDER BY seq");
    stmt.Bind(nAccount);
    std::vector<std::string> aIds;
    int nRc;
    while ((nRc = stmt.Step()) == SQLITE_ROW)
        aIds.push_back(stmt.ColumnText(0));
    if (nRc != SQLITE_DONE)
        return std::nullopt;
    return aIds;
}

std::optional<StoredTask> CStoreDb::LoadTask(std::int64_t nAccount, const std::string& strId)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT key, blob FROM tasks WHERE guid = ? AND account = ?");
    stmt.Bind(strId).Bind(nAccount);
    if (stmt.Step() != SQLITE_ROW)
        return std::nullopt;
    return StoredTask{ stmt.ColumnText(0), stmt.ColumnText(1) };
}

} // namespace quarvex
