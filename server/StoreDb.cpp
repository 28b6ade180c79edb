// StoreDb.cpp - prepared statements over one SQLite connection.
#include "StoreDb.h"

#include <cstdio>

namespace quarvex {

namespace {

// BEGIN IMMEDIATE ... COMMIT, rolled back when left without Commit(): the
// write lock is taken at the start, so two servers on one file cannot both
// read a lease as free and then both grant it.
class CTransaction {
public:
    explicit CTransaction(sqlite3* pDb)
        : m_pDb(pDb), m_bOpen(sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK)
    {
    }
    ~CTransaction()
    {
        if (m_bOpen)
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    bool IsOpen() const { return m_bOpen; }
    bool Commit()
    {
        if (!m_bOpen)
            return false;
        m_bOpen = false;
        if (sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
            return true;
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

private:
    sqlite3* m_pDb;
    bool m_bOpen;
};

} // namespace

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
        // One row per task id ever leased. Rows outlive releases and the
        // task itself, so a fencing number is never handed out twice; a
        // lease counts only while its task exists in the asking account.
        "CREATE TABLE IF NOT EXISTS leases("
        " guid TEXT PRIMARY KEY,"
        " holder TEXT NOT NULL DEFAULT '',"
        " fence INTEGER NOT NULL DEFAULT 0,"
        " expires INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID",
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
    if (!AddSizeColumn() || !Exec("CREATE INDEX IF NOT EXISTS tasks_usage ON tasks(account, size)") ||
        !AddVersionColumn()) {
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

bool CStoreDb::AddVersionColumn()
{
    {
        CStatement probe(m_pDb.get(), "SELECT version FROM tasks LIMIT 0");
        if (probe.IsOk())
            return true;
    }
    // Every existing task starts at 1, as a new one does.
    return Exec("ALTER TABLE tasks ADD COLUMN version INTEGER NOT NULL DEFAULT 1");
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
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return false;
    // The fencing numbers stay; the leases end with the tasks.
    CStatement unlease(m_pDb.get(),
                    "UPDATE leases SET holder = '', expires = 0 WHERE guid IN (SELECT guid FROM tasks WHERE account ="
                    " (SELECT id FROM accounts WHERE name = ?))");
    unlease.Bind(strName);
    CStatement stmt(m_pDb.get(), "DELETE FROM accounts WHERE name = ?");
    stmt.Bind(strName);
    int nChanges = 0;
    return Run(unlease) && Run(stmt, &nChanges) && nChanges > 0 && tx.Commit();
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
                    "UPDATE tasks SET key = ?, blob = ?, updated = ?, size = ?, version = version + 1"
                    " WHERE guid = ? AND account = ?");
    stmt.Bind(task.strKey).Bind(task.strBlob).Bind(nNow).Bind(nSize).Bind(strId).Bind(nAccount);
    int nChanges = 0;
    return Run(stmt, &nChanges) && nChanges == 1;
}

bool CStoreDb::DeleteTask(std::int64_t nAccount, const std::string& strId)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return false;
    CStatement stmt(m_pDb.get(), "DELETE FROM tasks WHERE guid = ? AND account = ?");
    stmt.Bind(strId).Bind(nAccount);
    int nChanges = 0;
    if (!Run(stmt, &nChanges) || nChanges != 1)
        return false;
    // A lease on a deleted task is gone; its fencing number is kept.
    CStatement unlease(m_pDb.get(), "UPDATE leases SET holder = '', expires = 0 WHERE guid = ?");
    unlease.Bind(strId);
    return Run(unlease) && tx.Commit();
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

std::optional<std::vector<StoredTaskVersion>> CStoreDb::ListTaskVersions(std::int64_t nAccount)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CStatement stmt(m_pDb.get(), "SELECT guid, version FROM tasks WHERE account = ? ORDER BY seq");
    stmt.Bind(nAccount);
    std::vector<StoredTaskVersion> aTasks;
    int nRc;
    while ((nRc = stmt.Step()) == SQLITE_ROW)
        aTasks.push_back({ stmt.ColumnText(0), stmt.ColumnInt(1) });
    if (nRc != SQLITE_DONE)
        return std::nullopt;
    return aTasks;
}

std::optional<StoredLease> CStoreDb::GrantLocked(const std::string& strId, const std::string& strHolder,
                                                 std::int64_t nExpiresMs)
{
    CStatement stmt(m_pDb.get(),
                    "INSERT INTO leases(guid, holder, fence, expires) VALUES(?1, ?2, 1, ?3)"
                    " ON CONFLICT(guid) DO UPDATE SET holder = ?2, fence = fence + 1, expires = ?3"
                    " RETURNING fence");
    stmt.Bind(strId).Bind(strHolder).Bind(nExpiresMs);
    if (stmt.Step() != SQLITE_ROW)
        return std::nullopt;
    StoredLease lease{ strId, stmt.ColumnInt(0), nExpiresMs };
    if (stmt.Step() != SQLITE_DONE)
        return std::nullopt;
    return lease;
}

std::optional<std::vector<StoredLease>> CStoreDb::LeaseTasks(std::int64_t nAccount, const std::string& strHolder,
                                                             int nWant, std::int64_t nNowMs, std::int64_t nTtlMs)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    std::vector<StoredLease> aGranted;
    if (nWant <= 0)
        return aGranted;
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return std::nullopt;
    std::vector<std::string> aFree;
    {
        CStatement stmt(m_pDb.get(),
                        "SELECT t.guid FROM tasks t LEFT JOIN leases l ON l.guid = t.guid"
                        " WHERE t.account = ? AND (l.guid IS NULL OR l.holder = '' OR l.expires <= ?)"
                        " ORDER BY t.seq LIMIT ?");
        stmt.Bind(nAccount).Bind(nNowMs).Bind(static_cast<std::int64_t>(nWant));
        int nRc;
        while ((nRc = stmt.Step()) == SQLITE_ROW)
            aFree.push_back(stmt.ColumnText(0));
        if (nRc != SQLITE_DONE)
            return std::nullopt;
    }
    for (const std::string& strId : aFree) {
        std::optional<StoredLease> lease = GrantLocked(strId, strHolder, nNowMs + nTtlMs);
        if (!lease)
            return std::nullopt;
        aGranted.push_back(std::move(*lease));
    }
    if (!tx.Commit())
        return std::nullopt;
    return aGranted;
}

bool CStoreDb::LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                         std::int64_t nNowMs, std::int64_t nTtlMs, std::optional<StoredLease>& granted)
{
    granted.reset();
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return false;
    std::string strOwner;
    std::int64_t nFence = 0, nExpires = 0;
    {
        CStatement stmt(m_pDb.get(),
                        "SELECT coalesce(l.holder, ''), coalesce(l.fence, 0), coalesce(l.expires, 0)"
                        " FROM tasks t LEFT JOIN leases l ON l.guid = t.guid WHERE t.guid = ? AND t.account = ?");
        stmt.Bind(strId).Bind(nAccount);
        const int nRc = stmt.Step();
        if (nRc == SQLITE_DONE)
            return true;  // No such task in this account.
        if (nRc != SQLITE_ROW)
            return false;
        strOwner = stmt.ColumnText(0);
        nFence = stmt.ColumnInt(1);
        nExpires = stmt.ColumnInt(2);
    }
    const bool bHeld = !strOwner.empty() && nExpires > nNowMs;
    if (bHeld && strOwner != strHolder)
        return true;
    if (bHeld) {
        // Asked again by its holder: a renewal, so a pass it runs under the
        // number it has is not fenced off by its own request.
        CStatement upd(m_pDb.get(), "UPDATE leases SET expires = ? WHERE guid = ?");
        upd.Bind(nNowMs + nTtlMs).Bind(strId);
        if (!Run(upd))
            return false;
        granted = StoredLease{ strId, nFence, nNowMs + nTtlMs };
    } else {
        granted = GrantLocked(strId, strHolder, nNowMs + nTtlMs);
        if (!granted)
            return false;
    }
    if (!tx.Commit()) {
        granted.reset();
        return false;
    }
    return true;
}

std::optional<std::vector<StoredLease>> CStoreDb::RenewLeases(std::int64_t nAccount, const std::string& strHolder,
                                                              const std::vector<StoredLease>& aHeld,
                                                              std::int64_t nNowMs, std::int64_t nTtlMs)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return std::nullopt;
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return std::nullopt;
    std::vector<StoredLease> aKept;
    for (const StoredLease& held : aHeld) {
        // Every grant changes the number, so holder and number together say
        // that nobody else had the task since.
        CStatement upd(m_pDb.get(),
                       "UPDATE leases SET expires = ? WHERE guid = ? AND holder = ? AND fence = ?"
                       " AND guid IN (SELECT guid FROM tasks WHERE account = ?)");
        upd.Bind(nNowMs + nTtlMs).Bind(held.strId).Bind(strHolder).Bind(held.nFence).Bind(nAccount);
        int nChanges = 0;
        if (!Run(upd, &nChanges))
            return std::nullopt;
        if (nChanges == 1)
            aKept.push_back({ held.strId, held.nFence, nNowMs + nTtlMs });
    }
    if (!tx.Commit())
        return std::nullopt;
    return aKept;
}

bool CStoreDb::ReleaseLease(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                            std::int64_t nFence)
{
    std::lock_guard lock(m_mutex);
    if (!m_pDb)
        return false;
    CTransaction tx(m_pDb.get());
    if (!tx.IsOpen())
        return false;
    CStatement upd(m_pDb.get(),
                   "UPDATE leases SET holder = '', expires = 0 WHERE guid = ? AND holder = ? AND fence = ?"
                   " AND guid IN (SELECT guid FROM tasks WHERE account = ?)");
    upd.Bind(strId).Bind(strHolder).Bind(nFence).Bind(nAccount);
    int nChanges = 0;
    return Run(upd, &nChanges) && nChanges == 1 && tx.Commit();
}

} // namespace quarvex
