// StoreDbPg.cpp - libpq statements for the store's tables. Every value is
// bound and travels in binary, so names and ids are compared as the bytes
// they are, whatever the database's encoding; results come back binary too.
#include "StoreDbPg.h"

#include "LoginThrottle.h"
#include "platform/AsciiText.h"

#include <cstdint>
#include <mutex>

namespace quarvex {

namespace {

// Serialises the creation of the tables by store servers starting together.
constexpr std::int64_t SCHEMA_LOCK = 0x5158535452ll;  // "QXSTR"

const char* const s_apszSchema[] = {
    "CREATE TABLE IF NOT EXISTS accounts("
    " id BIGSERIAL PRIMARY KEY,"
    " name BYTEA NOT NULL,"
    // The name with ASCII letters lowered: names compare without regard to
    // case, and only ASCII case, whatever the server's locale.
    " name_key BYTEA NOT NULL UNIQUE,"
    " pwhash BYTEA NOT NULL DEFAULT ''::bytea)",
    "CREATE TABLE IF NOT EXISTS sessions("
    " token BYTEA PRIMARY KEY,"
    " account BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    " last_used BIGINT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS sessions_account ON sessions(account, last_used)",
    "CREATE TABLE IF NOT EXISTS tasks("
    " seq BIGSERIAL PRIMARY KEY,"
    " guid BYTEA NOT NULL UNIQUE,"
    " account BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    " key BYTEA NOT NULL,"
    " blob BYTEA NOT NULL,"
    " created BIGINT NOT NULL,"
    " updated BIGINT NOT NULL,"
    " size BIGINT NOT NULL DEFAULT 0,"
    " version BIGINT NOT NULL DEFAULT 1)",
    // Databases made before tasks had versions: every task starts at 1.
    "ALTER TABLE tasks ADD COLUMN IF NOT EXISTS version BIGINT NOT NULL DEFAULT 1",
    "CREATE INDEX IF NOT EXISTS tasks_account ON tasks(account, seq)",
    // One row per task id ever leased. Rows outlive releases and the task
    // itself, so a fencing number is never handed out twice; a lease counts
    // only while its task exists in the asking account.
    "CREATE TABLE IF NOT EXISTS leases("
    " guid BYTEA PRIMARY KEY,"
    " holder BYTEA NOT NULL DEFAULT ''::bytea,"
    " fence BIGINT NOT NULL DEFAULT 0,"
    " expires BIGINT NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS login_failures("
    " kind BYTEA NOT NULL,"
    " key BYTEA NOT NULL,"
    " failures INTEGER NOT NULL,"
    " locked_until BIGINT NOT NULL,"
    " last_failure BIGINT NOT NULL,"
    " PRIMARY KEY(kind, key))",
    "CREATE INDEX IF NOT EXISTS login_failures_age ON login_failures(kind, last_failure)",
};

} // namespace

CStoreDbPg::CStoreDbPg(int nConnections) : m_nConnections(nConnections) {}

CStoreDbPg::~CStoreDbPg() = default;

CPgPool::CLease CStoreDbPg::Acquire()
{
    return m_pPool ? m_pPool->Acquire() : CPgPool::CLease();
}

std::string CStoreDbPg::GetLastError()
{
    return m_pPool ? m_pPool->GetLastError() : "not open";
}

bool CStoreDbPg::Open(const std::string& strUri, std::string& strError)
{
    m_pPool = std::make_unique<CPgPool>(strUri, m_nConnections, "quarvex-store", "quarvex-store: database: ");
    CPgPool::CLease conn = Acquire();
    if (!conn) {
        strError = GetLastError();
        return false;
    }
    const bool bOk = conn->Transact([&] {
        if (!conn->Run("SELECT pg_advisory_xact_lock($1)", CPgParams().Int(SCHEMA_LOCK)).IsOk())
            return false;
        for (const char* pszSql : s_apszSchema) {
            if (!conn->Run(pszSql).IsOk())
                return false;
        }
        return true;
    });
    if (!bOk)
        strError = GetLastError();
    return bOk;
}

bool CStoreDbPg::AddAccount(const std::string& strName, const std::string& strHash)
{
    CPgPool::CLease conn = Acquire();
    return conn && conn->Run("INSERT INTO accounts(name, name_key, pwhash) VALUES($1, $2, $3)",
                             CPgParams().Bytes(strName).Bytes(LowerAscii(strName)).Bytes(strHash))
                       .IsOk();
}

bool CStoreDbPg::SetPasswordHash(const std::string& strName, const std::string& strHash)
{
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        const CPgResult upd = conn->Run("UPDATE accounts SET pwhash = $1 WHERE name_key = $2 RETURNING id",
                                        CPgParams().Bytes(strHash).Bytes(LowerAscii(strName)));
        if (!upd.IsOk() || upd.Rows() != 1)
            return false;
        // A new password ends every session opened with the old one.
        return conn->Run("DELETE FROM sessions WHERE account = $1", CPgParams().Int(upd.Int(0, 0))).IsOk();
    });
}

bool CStoreDbPg::DeleteAccount(const std::string& strName)
{
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        // The fencing numbers stay; the leases end with the tasks.
        const std::string strKey = LowerAscii(strName);
        if (!conn->Run("UPDATE leases SET holder = ''::bytea, expires = 0 WHERE guid IN (SELECT guid FROM tasks"
                       " WHERE account = (SELECT id FROM accounts WHERE name_key = $1))",
                       CPgParams().Bytes(strKey))
                 .IsOk())
            return false;
        const CPgResult del = conn->Run("DELETE FROM accounts WHERE name_key = $1", CPgParams().Bytes(strKey));
        return del.IsOk() && del.Changed() > 0;
    });
}

std::optional<StoreAccount> CStoreDbPg::FindAccount(const std::string& strName)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const CPgResult sel =
        conn->Run("SELECT id, pwhash FROM accounts WHERE name_key = $1", CPgParams().Bytes(LowerAscii(strName)));
    if (!sel.IsOk() || sel.Rows() != 1)
        return std::nullopt;
    return StoreAccount{ sel.Int(0, 0), sel.Bytes(0, 1) };
}

std::optional<std::int64_t> CStoreDbPg::EnsureAccount(const std::string& strName)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const std::string strKey = LowerAscii(strName);
    if (!conn->Run("INSERT INTO accounts(name, name_key) VALUES($1, $2) ON CONFLICT (name_key) DO NOTHING",
                   CPgParams().Bytes(strName).Bytes(strKey))
             .IsOk())
        return std::nullopt;
    const CPgResult sel = conn->Run("SELECT id FROM accounts WHERE name_key = $1", CPgParams().Bytes(strKey));
    if (!sel.IsOk() || sel.Rows() != 1)
        return std::nullopt;
    return sel.Int(0, 0);
}

bool CStoreDbPg::AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                            std::int64_t nIdleBefore, int nKeep)
{
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        if (!conn->Run("INSERT INTO sessions(token, account, last_used) VALUES($1, $2, $3)",
                       CPgParams().Bytes(strTokenHash).Int(nAccount).Int(nNow))
                 .IsOk())
            return false;
        // Bounds the table: an account that logs in again and again keeps
        // only its newest sessions, and idle ones go when their owner comes
        // back.
        return conn
            ->Run("DELETE FROM sessions WHERE account = $1 AND (last_used < $2 OR token NOT IN"
                  " (SELECT token FROM sessions WHERE account = $1 ORDER BY last_used DESC LIMIT $3))",
                  CPgParams().Int(nAccount).Int(nIdleBefore).Int(nKeep))
            .IsOk();
    });
}

std::optional<std::int64_t> CStoreDbPg::UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                                   std::int64_t nIdleBefore)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const CPgResult sel =
        conn->Run("SELECT account, last_used FROM sessions WHERE token = $1", CPgParams().Bytes(strTokenHash));
    if (!sel.IsOk() || sel.Rows() != 1)
        return std::nullopt;
    const std::int64_t nAccount = sel.Int(0, 0);
    const std::int64_t nLastUsed = sel.Int(0, 1);
    if (nLastUsed < nIdleBefore) {
        conn->Run("DELETE FROM sessions WHERE token = $1", CPgParams().Bytes(strTokenHash));
        return std::nullopt;
    }
    // Idle time counts in days, so a write per minute is precise enough and
    // keeps busy readers from writing on every request.
    if (nNow - nLastUsed >= 60)
        conn->Run("UPDATE sessions SET last_used = $1 WHERE token = $2", CPgParams().Int(nNow).Bytes(strTokenHash));
    return nAccount;
}

namespace {

// Locks the account's row for the rest of the transaction and reads what it
// holds; false when the account is gone or on an error.
bool LockUsage(CPgConnection& conn, std::int64_t nAccount, std::int64_t& nTasks, std::int64_t& nBytes)
{
    const CPgResult lock = conn.Run("SELECT id FROM accounts WHERE id = $1 FOR UPDATE", CPgParams().Int(nAccount));
    if (!lock.IsOk() || lock.Rows() != 1)
        return false;
    const CPgResult usage = conn.Run(
        "SELECT count(*)::bigint, coalesce(sum(size), 0)::bigint FROM tasks WHERE account = $1", CPgParams().Int(nAccount));
    if (!usage.IsOk() || usage.Rows() != 1)
        return false;
    nTasks = usage.Int(0, 0);
    nBytes = usage.Int(0, 1);
    return true;
}

} // namespace

bool CStoreDbPg::AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                         const TaskQuota* pQuota)
{
    const auto nSize = static_cast<std::int64_t>(task.strKey.size() + task.strBlob.size());
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        std::int64_t nTasks = 0, nBytes = 0;
        if (pQuota != nullptr &&
            (!LockUsage(*conn, nAccount, nTasks, nBytes) || nTasks >= pQuota->nMaxTasks ||
             nBytes + nSize > pQuota->nMaxBytes))
            return false;
        return conn
            ->Run("INSERT INTO tasks(guid, account, key, blob, created, updated, size)"
                  " VALUES($1, $2, $3, $4, $5, $5, $6)",
                  CPgParams().Bytes(strId).Int(nAccount).Bytes(task.strKey).Bytes(task.strBlob).Int(nNow).Int(nSize))
            .IsOk();
    });
}

bool CStoreDbPg::UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task,
                            std::int64_t nNow, const TaskQuota* pQuota)
{
    const auto nSize = static_cast<std::int64_t>(task.strKey.size() + task.strBlob.size());
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        if (pQuota != nullptr) {
            std::int64_t nTasks = 0, nBytes = 0;
            if (!LockUsage(*conn, nAccount, nTasks, nBytes))
                return false;
            const CPgResult old = conn->Run("SELECT size FROM tasks WHERE guid = $1 AND account = $2",
                                            CPgParams().Bytes(strId).Int(nAccount));
            if (!old.IsOk() || old.Rows() != 1 || nBytes - old.Int(0, 0) + nSize > pQuota->nMaxBytes)
                return false;
        }
        const CPgResult upd =
            conn->Run("UPDATE tasks SET key = $1, blob = $2, updated = $3, size = $4, version = version + 1"
                      " WHERE guid = $5 AND account = $6",
                      CPgParams().Bytes(task.strKey).Bytes(task.strBlob).Int(nNow).Int(nSize).Bytes(strId).Int(nAccount));
        return upd.IsOk() && upd.Changed() == 1;
    });
}

bool CStoreDbPg::DeleteTask(std::int64_t nAccount, const std::string& strId)
{
    CPgPool::CLease conn = Acquire();
    return conn && conn->Transact([&] {
        const CPgResult del =
            conn->Run("DELETE FROM tasks WHERE guid = $1 AND account = $2", CPgParams().Bytes(strId).Int(nAccount));
        if (!del.IsOk() || del.Changed() != 1)
            return false;
        // A lease on a deleted task is gone; its fencing number is kept.
        return conn->Run("UPDATE leases SET holder = ''::bytea, expires = 0 WHERE guid = $1", CPgParams().Bytes(strId))
            .IsOk();
    });
}

std::optional<std::vector<std::string>> CStoreDbPg::ListTasks(std::int64_t nAccount)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const CPgResult sel = conn->Run("SELECT guid FROM tasks WHERE account = $1 ORDER BY seq", CPgParams().Int(nAccount));
    if (!sel.IsOk())
        return std::nullopt;
    std::vector<std::string> aIds;
    aIds.reserve(static_cast<std::size_t>(sel.Rows()));
    for (int i = 0; i < sel.Rows(); ++i)
        aIds.push_back(sel.Bytes(i, 0));
    return aIds;
}

std::optional<StoredTask> CStoreDbPg::LoadTask(std::int64_t nAccount, const std::string& strId)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const CPgResult sel = conn->Run("SELECT key, blob FROM tasks WHERE guid = $1 AND account = $2",
                                    CPgParams().Bytes(strId).Int(nAccount));
    if (!sel.IsOk() || sel.Rows() != 1)
        return std::nullopt;
    return StoredTask{ sel.Bytes(0, 0), sel.Bytes(0, 1) };
}

std::optional<std::vector<StoredTaskVersion>> CStoreDbPg::ListTaskVersions(std::int64_t nAccount)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    const CPgResult sel =
        conn->Run("SELECT guid, version FROM tasks WHERE account = $1 ORDER BY seq", CPgParams().Int(nAccount));
    if (!sel.IsOk())
        return std::nullopt;
    std::vector<StoredTaskVersion> aTasks;
    aTasks.reserve(static_cast<std::size_t>(sel.Rows()));
    for (int i = 0; i < sel.Rows(); ++i)
        aTasks.push_back({ sel.Bytes(i, 0), sel.Int(i, 1) });
    return aTasks;
}

namespace {

// Grants a locked lease row to strHolder under the next fencing number.
std::optional<StoredLease> Grant(CPgConnection& conn, const std::string& strId, const std::string& strHolder,
                                 std::int64_t nExpiresMs)
{
    const CPgResult upd = conn.Run("UPDATE leases SET holder = $1, fence = fence + 1, expires = $2 WHERE guid = $3"
                                   " RETURNING fence",
                                   CPgParams().Bytes(strHolder).Int(nExpiresMs).Bytes(strId));
    if (!upd.IsOk() || upd.Rows() != 1)
        return std::nullopt;
    return StoredLease{ strId, upd.Int(0, 0), nExpiresMs };
}

} // namespace

std::optional<std::vector<StoredLease>> CStoreDbPg::LeaseTasks(std::int64_t nAccount, const std::string& strHolder,
                                                               int nWant, std::int64_t nNowMs, std::int64_t nTtlMs)
{
    std::vector<StoredLease> aGranted;
    if (nWant <= 0)
        return aGranted;
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    // Tasks never leased get their row first, on its own: rows can be
    // locked and skipped, missing rows cannot. It commits at once, so
    // runners adding the same rows wait for each other only that long.
    if (!conn->Run("INSERT INTO leases(guid) SELECT t.guid FROM tasks t WHERE t.account = $1"
                   " AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.guid = t.guid) ON CONFLICT DO NOTHING",
                   CPgParams().Int(nAccount))
             .IsOk())
        return std::nullopt;
    const bool bOk = conn->Transact([&] {
        aGranted.clear();
        // A row another runner is granting right now is skipped, not waited
        // for; the lock is taken on the newest version of each row, whose
        // holder and end are checked again before it is returned.
        const CPgResult sel = conn->Run(
            "SELECT l.guid FROM leases l JOIN tasks t ON t.guid = l.guid"
            " WHERE t.account = $1 AND (l.holder = ''::bytea OR l.expires <= $2)"
            " ORDER BY t.seq LIMIT $3 FOR UPDATE OF l SKIP LOCKED",
            CPgParams().Int(nAccount).Int(nNowMs).Int(nWant));
        if (!sel.IsOk())
            return false;
        for (int i = 0; i < sel.Rows(); ++i) {
            std::optional<StoredLease> lease = Grant(*conn, sel.Bytes(i, 0), strHolder, nNowMs + nTtlMs);
            if (!lease)
                return false;
            aGranted.push_back(std::move(*lease));
        }
        return true;
    });
    if (!bOk)
        return std::nullopt;
    return aGranted;
}

bool CStoreDbPg::LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                           std::int64_t nNowMs, std::int64_t nTtlMs, std::optional<StoredLease>& granted)
{
    granted.reset();
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return false;
    std::optional<StoredLease> result;
    const bool bOk = conn->Transact([&] {
        result.reset();
        const CPgResult task = conn->Run("SELECT 1 FROM tasks WHERE guid = $1 AND account = $2",
                                         CPgParams().Bytes(strId).Int(nAccount));
        if (!task.IsOk())
            return false;
        if (task.Rows() == 0)
            return true;  // No such task in this account.
        // One named task: waiting for another grant of it to finish is
        // brief, and its answer is the one that counts.
        if (!conn->Run("INSERT INTO leases(guid) VALUES($1) ON CONFLICT DO NOTHING", CPgParams().Bytes(strId)).IsOk())
            return false;
        const CPgResult sel = conn->Run("SELECT holder, fence, expires FROM leases WHERE guid = $1 FOR UPDATE",
                                        CPgParams().Bytes(strId));
        if (!sel.IsOk() || sel.Rows() != 1)
            return false;
        const std::string strOwner = sel.Bytes(0, 0);
        const bool bHeld = !strOwner.empty() && sel.Int(0, 2) > nNowMs;
        if (bHeld && strOwner != strHolder)
            return true;
        if (bHeld) {
            // Asked again by its holder: a renewal, so a pass it runs under
            // the number it has is not fenced off by its own request.
            if (!conn->Run("UPDATE leases SET expires = $1 WHERE guid = $2",
                           CPgParams().Int(nNowMs + nTtlMs).Bytes(strId))
                     .IsOk())
                return false;
            result = StoredLease{ strId, sel.Int(0, 1), nNowMs + nTtlMs };
            return true;
        }
        result = Grant(*conn, strId, strHolder, nNowMs + nTtlMs);
        return result.has_value();
    });
    if (!bOk)
        return false;
    granted = std::move(result);
    return true;
}

std::optional<std::vector<StoredLease>> CStoreDbPg::RenewLeases(std::int64_t nAccount, const std::string& strHolder,
                                                                const std::vector<StoredLease>& aHeld,
                                                                std::int64_t nNowMs, std::int64_t nTtlMs)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return std::nullopt;
    std::vector<StoredLease> aKept;
    const bool bOk = conn->Transact([&] {
        aKept.clear();
        for (const StoredLease& held : aHeld) {
            // Every grant changes the number, so holder and number together
            // say that nobody else had the task since.
            const CPgResult upd = conn->Run(
                "UPDATE leases SET expires = $1 WHERE guid = $2 AND holder = $3 AND fence = $4"
                " AND guid IN (SELECT guid FROM tasks WHERE account = $5)",
                CPgParams().Int(nNowMs + nTtlMs).Bytes(held.strId).Bytes(strHolder).Int(held.nFence).Int(nAccount));
            if (!upd.IsOk())
                return false;
            if (upd.Changed() == 1)
                aKept.push_back({ held.strId, held.nFence, nNowMs + nTtlMs });
        }
        return true;
    });
    if (!bOk)
        return std::nullopt;
    return aKept;
}

bool CStoreDbPg::ReleaseLease(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                              std::int64_t nFence)
{
    CPgPool::CLease conn = Acquire();
    if (!conn)
        return false;
    const CPgResult upd = conn->Run(
        "UPDATE leases SET holder = ''::bytea, expires = 0 WHERE guid = $1 AND holder = $2 AND fence = $3"
        " AND guid IN (SELECT guid FROM tasks WHERE account = $4)",
        CPgParams().Bytes(strId).Bytes(strHolder).Int(nFence).Int(nAccount));
    return upd.IsOk() && upd.Changed() == 1;
}

namespace {

// Failures in the login_failures table. A key's row is locked while it is
// read and written, so attempts through several store servers count one
// after another. When the database cannot be reached, keys are refused:
// a throttle that cannot count must not let guesses through.
class CPgLoginThrottle : public ILoginThrottle {
public:
    CPgLoginThrottle(CStoreDbPg& db, std::string strKind, int nFreeFailures, std::int64_t nBaseSeconds,
                     std::int64_t nMaxSeconds)
        : m_db(db), m_strKind(std::move(strKind)), m_nFreeFailures(nFreeFailures), m_nBaseSeconds(nBaseSeconds),
          m_nMaxSeconds(nMaxSeconds)
    {
    }

    bool IsAllowed(const std::string& strKey, std::int64_t nNow) override
    {
        CPgPool::CLease conn = m_db.Acquire();
        if (!conn)
            return false;
        const CPgResult sel = conn->Run("SELECT locked_until FROM login_failures WHERE kind = $1 AND key = $2",
                                        CPgParams().Bytes(m_strKind).Bytes(strKey));
        return sel.IsOk() && (sel.Rows() == 0 || nNow >= sel.Int(0, 0));
    }

    bool Reserve(const std::string& strKey, std::int64_t nNow) override { return Count(strKey, nNow, true); }

    void RecordFailure(const std::string& strKey, std::int64_t nNow) override { Count(strKey, nNow, false); }

    void CancelReservation(const std::string& strKey) override
    {
        CPgPool::CLease conn = m_db.Acquire();
        if (!conn)
            return;
        conn->Transact([&] {
            ThrottleEntry entry;
            bool bFound = false;
            if (!Lock(*conn, strKey, entry, bFound))
                return false;
            if (!bFound)
                return true;
            if (--entry.nFailures <= 0)
                return conn
                    ->Run("DELETE FROM login_failures WHERE kind = $1 AND key = $2",
                          CPgParams().Bytes(m_strKind).Bytes(strKey))
                    .IsOk();
            if (entry.nFailures <= m_nFreeFailures)
                entry.nLockedUntil = 0;
            return Write(*conn, strKey, entry);
        });
    }

    void RecordSuccess(const std::string& strKey) override
    {
        CPgPool::CLease conn = m_db.Acquire();
        if (conn)
            conn->Run("DELETE FROM login_failures WHERE kind = $1 AND key = $2",
                      CPgParams().Bytes(m_strKind).Bytes(strKey));
    }

private:
    bool Lock(CPgConnection& conn, const std::string& strKey, ThrottleEntry& entry, bool& bFound)
    {
        const CPgResult sel = conn.Run(
            "SELECT failures, locked_until, last_failure FROM login_failures WHERE kind = $1 AND key = $2 FOR UPDATE",
            CPgParams().Bytes(m_strKind).Bytes(strKey));
        if (!sel.IsOk())
            return false;
        bFound = sel.Rows() == 1;
        if (bFound)
            entry = ThrottleEntry{ static_cast<int>(sel.Int(0, 0)), sel.Int(0, 1), sel.Int(0, 2) };
        return true;
    }

    bool Write(CPgConnection& conn, const std::string& strKey, const ThrottleEntry& entry)
    {
        return conn
            .Run("UPDATE login_failures SET failures = $3, locked_until = $4, last_failure = $5"
                 " WHERE kind = $1 AND key = $2",
                 CPgParams().Bytes(m_strKind).Bytes(strKey).Int(entry.nFailures).Int(entry.nLockedUntil).Int(
                     entry.nLastFailure))
            .IsOk();
    }

    // Counts a failure; with bCheck only when the key is not locked at nNow.
    bool Count(const std::string& strKey, std::int64_t nNow, bool bCheck)
    {
        CPgPool::CLease conn = m_db.Acquire();
        if (!conn)
            return false;
        Prune(*conn, nNow);
        bool bAllowed = false;
        const bool bOk = conn->Transact([&] {
            // The row is made first, so that the lock below holds even for
            // a key's first failure counted by two servers at once.
            if (!conn->Run("INSERT INTO login_failures(kind, key, failures, locked_until, last_failure)"
                           " VALUES($1, $2, 0, 0, $3) ON CONFLICT DO NOTHING",
                           CPgParams().Bytes(m_strKind).Bytes(strKey).Int(nNow))
                     .IsOk())
                return false;
            ThrottleEntry entry;
            bool bFound = false;
            if (!Lock(*conn, strKey, entry, bFound) || !bFound)
                return false;
            bAllowed = nNow >= entry.nLockedUntil;
            if (bCheck && !bAllowed)
                return true;
            CountThrottleFailure(entry, nNow, m_nFreeFailures, m_nBaseSeconds, m_nMaxSeconds);
            return Write(*conn, strKey, entry);
        });
        return bOk && bAllowed;
    }

    // Keys quiet for the longest lock-out count for nothing any more; they
    // are removed at most once a minute, so a flood of made-up names does
    // not grow the table beyond what arrives in that time.
    void Prune(CPgConnection& conn, std::int64_t nNow)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_bPruned && nNow >= m_nLastPrune && nNow - m_nLastPrune < 60)
                return;
            m_bPruned = true;
            m_nLastPrune = nNow;
        }
        conn.Run("DELETE FROM login_failures WHERE kind = $1 AND last_failure < $2 AND locked_until <= $3",
                 CPgParams().Bytes(m_strKind).Int(nNow - m_nMaxSeconds).Int(nNow));
    }

    CStoreDbPg& m_db;
    const std::string m_strKind;
    const int m_nFreeFailures;
    const std::int64_t m_nBaseSeconds;
    const std::int64_t m_nMaxSeconds;
    std::mutex m_mutex;
    bool m_bPruned = false;
    std::int64_t m_nLastPrune = 0;
};

} // namespace

std::unique_ptr<ILoginThrottle> CStoreDbPg::MakeSharedThrottle(const std::string& strKind, int nFreeFailures,
                                                               std::int64_t nBaseSeconds, std::int64_t nMaxSeconds)
{
    return std::make_unique<CPgLoginThrottle>(*this, strKind, nFreeFailures, nBaseSeconds, nMaxSeconds);
}

} // namespace quarvex
