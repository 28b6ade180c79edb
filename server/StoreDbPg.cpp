// StoreDbPg.cpp - libpq statements for the store's tables. Every value is
// bound and travels in binary, so names and ids are compared as the bytes
// they are, whatever the database's encoding; results come back binary too.
#include "StoreDbPg.h"

#include "LoginThrottle.h"
#include "platform/AsciiText.h"

#include <libpq-fe.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace quarvex {

namespace {

// Type ids of the parameters sent (pg_type.h).
constexpr Oid OID_BYTEA = 17;
constexpr Oid OID_INT8 = 20;

// Serialises the creation of the tables by store servers starting together.
constexpr std::int64_t SCHEMA_LOCK = 0x5158535452ll;  // "QXSTR"

// How long one statement may wait (for a lock, a busy server) before the
// request it serves is answered as failed rather than hanging its client;
// and no notices ("relation already exists") on standard error.
constexpr const char* SESSION_SETTINGS = "SET statement_timeout = 30000; SET client_min_messages = warning";

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

std::int64_t ReadBigEndian(const char* p, int nLen)
{
    std::uint64_t n = 0;
    for (int i = 0; i < nLen; ++i)
        n = (n << 8) | static_cast<unsigned char>(p[i]);
    // Four-byte integers are signed too.
    if (nLen == 4)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
    return static_cast<std::int64_t>(n);
}

struct ClearResult {
    void operator()(PGresult* p) const { PQclear(p); }
};
using CPgResultHolder = std::unique_ptr<PGresult, ClearResult>;

} // namespace

// The values of one statement, each in binary.
class CPgParams {
public:
    CPgParams& Int(std::int64_t n)
    {
        std::string str(8, '\0');
        const auto u = static_cast<std::uint64_t>(n);
        for (int i = 0; i < 8; ++i)
            str[static_cast<std::size_t>(i)] = static_cast<char>(u >> (56 - 8 * i));
        return Add(std::move(str), OID_INT8);
    }
    CPgParams& Bytes(const std::string& str) { return Add(str, OID_BYTEA); }

    int Count() const { return static_cast<int>(m_aValues.size()); }
    const Oid* Types() const { return m_aTypes.data(); }
    const int* Lengths() const { return m_aLengths.data(); }
    const int* Formats() const { return m_aFormats.data(); }
    // Pointers into m_aValues, made once every value is in place.
    std::vector<const char*> Values() const
    {
        std::vector<const char*> a;
        for (const std::string& str : m_aValues)
            a.push_back(str.data());
        return a;
    }

private:
    CPgParams& Add(std::string str, Oid nType)
    {
        m_aLengths.push_back(static_cast<int>(str.size()));
        m_aValues.push_back(std::move(str));
        m_aTypes.push_back(nType);
        m_aFormats.push_back(1);
        return *this;
    }

    std::vector<std::string> m_aValues;
    std::vector<Oid> m_aTypes;
    std::vector<int> m_aLengths;
    std::vector<int> m_aFormats;
};

// A statement's result; cleared when it goes out of scope.
class CPgResult {
public:
    explicit CPgResult(PGresult* p) : m_p(p) {}
    bool IsOk() const
    {
        const ExecStatusType e = m_p ? PQresultStatus(m_p.get()) : PGRES_FATAL_ERROR;
        return e == PGRES_COMMAND_OK || e == PGRES_TUPLES_OK;
    }
    int Rows() const { return m_p ? PQntuples(m_p.get()) : 0; }
    std::int64_t Int(int nRow, int nCol) const
    {
        const int nLen = PQgetlength(m_p.get(), nRow, nCol);
        if (PQgetisnull(m_p.get(), nRow, nCol) || (nLen != 8 && nLen != 4))
            return 0;
        return ReadBigEndian(PQgetvalue(m_p.get(), nRow, nCol), nLen);
    }
    std::string Bytes(int nRow, int nCol) const
    {
        return std::string(PQgetvalue(m_p.get(), nRow, nCol),
                           static_cast<std::size_t>(PQgetlength(m_p.get(), nRow, nCol)));
    }
    // Rows an INSERT, UPDATE or DELETE touched.
    int Changed() const
    {
        const char* psz = m_p ? PQcmdTuples(m_p.get()) : "";
        int n = 0;
        for (; *psz >= '0' && *psz <= '9'; ++psz)
            n = n * 10 + (*psz - '0');
        return n;
    }
    // The five-character SQLSTATE of a failure; empty when there is none.
    std::string State() const
    {
        const char* psz = m_p ? PQresultErrorField(m_p.get(), PG_DIAG_SQLSTATE) : nullptr;
        return psz != nullptr ? psz : "";
    }

private:
    struct Clear {
        void operator()(PGresult* p) const { PQclear(p); }
    };
    std::unique_ptr<PGresult, Clear> m_p;
};

// One libpq connection, used by one caller at a time.
class CPgConnection {
public:
    explicit CPgConnection(CStoreDbPg& db, PGconn* p) : m_db(db), m_p(p) {}
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    bool IsBroken() const { return PQstatus(m_p.get()) != CONNECTION_OK; }
    // Called when the pool lends the connection out again.
    void Lend() { m_bUsed = false; }

    CPgResult Run(const char* pszSql, const CPgParams& params = CPgParams())
    {
        const std::vector<const char*> aValues = params.Values();
        CPgResult result(PQexecParams(m_p.get(), pszSql, params.Count(), params.Types(), aValues.data(),
                                      params.Lengths(), params.Formats(), 1));
        // A connection that waited in the pool may have been ended meanwhile
        // (the database restarted, an administrator ended idle sessions).
        // The first statement of a lending then never reached a server, so
        // it is sent once more on a fresh connection.
        if (!result.IsOk() && !m_bUsed && IsBroken()) {
            PQreset(m_p.get());
            if (!IsBroken() && PQresultStatus(CPgResultHolder(PQexec(m_p.get(), SESSION_SETTINGS)).get()) ==
                                   PGRES_COMMAND_OK)
                result = CPgResult(PQexecParams(m_p.get(), pszSql, params.Count(), params.Types(), aValues.data(),
                                                params.Lengths(), params.Formats(), 1));
        }
        m_bUsed = true;
        if (!result.IsOk()) {
            m_strState = result.State();
            m_db.SetLastError(PQerrorMessage(m_p.get()));
        }
        return result;
    }

    // Runs fn between BEGIN and COMMIT; fn returns false to roll back. A
    // transaction that lost a deadlock or a serialisation conflict is run
    // again, a few times.
    template <class Fn>
    bool Transact(Fn fn)
    {
        for (int nTry = 0; nTry < 4; ++nTry) {
            m_strState.clear();
            if (!Run("BEGIN").IsOk())
                return false;
            if (fn() && Run("COMMIT").IsOk())
                return true;
            Run("ROLLBACK");
            if (m_strState != "40001" && m_strState != "40P01")
                return false;
        }
        return false;
    }

private:
    struct Finish {
        void operator()(PGconn* p) const { PQfinish(p); }
    };
    CStoreDbPg& m_db;
    std::unique_ptr<PGconn, Finish> m_p;
    std::string m_strState;  // SQLSTATE of the last failed statement.
    bool m_bUsed = false;    // A statement ran since the pool lent it out.
};

CStoreDbPg::CLease::CLease(CStoreDbPg& db, std::unique_ptr<CPgConnection> pConn) : m_db(db), m_pConn(std::move(pConn))
{
}

CStoreDbPg::CLease::~CLease()
{
    m_db.Release(std::move(m_pConn));
}

CStoreDbPg::CStoreDbPg(int nConnections) : m_nMaxConnections(nConnections > 0 ? nConnections : 1) {}

CStoreDbPg::~CStoreDbPg() = default;

CStoreDbPg::CLease CStoreDbPg::Acquire()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_aIdle.empty() || m_nOpen < m_nMaxConnections; });
    if (!m_aIdle.empty()) {
        std::unique_ptr<CPgConnection> pConn = std::move(m_aIdle.back());
        m_aIdle.pop_back();
        pConn->Lend();
        return CLease(*this, std::move(pConn));
    }
    ++m_nOpen;
    const std::string strUri = m_strUri;
    lock.unlock();

    // The URI comes last so that what it says wins; the time-out only fills
    // in where it is silent.
    const char* const apszKeys[] = { "connect_timeout", "application_name", "dbname", nullptr };
    const char* const apszValues[] = { "10", "quarvex-store", strUri.c_str(), nullptr };
    PGconn* p = PQconnectdbParams(apszKeys, apszValues, 1);
    auto pConn = std::make_unique<CPgConnection>(*this, p);
    if (p == nullptr || PQstatus(p) != CONNECTION_OK) {
        SetLastError(p != nullptr ? PQerrorMessage(p) : "out of memory");
        pConn.reset();
    } else if (PQresultStatus(CPgResultHolder(PQexec(p, SESSION_SETTINGS)).get()) != PGRES_COMMAND_OK) {
        SetLastError(PQerrorMessage(p));
        pConn.reset();
    }
    if (!pConn) {
        {
            std::lock_guard relock(m_mutex);
            --m_nOpen;
        }
        m_cv.notify_one();
    }
    return CLease(*this, std::move(pConn));
}

void CStoreDbPg::Release(std::unique_ptr<CPgConnection> pConn)
{
    if (!pConn)
        return;
    {
        std::lock_guard lock(m_mutex);
        // A connection the server dropped is closed; the next caller opens a
        // fresh one.
        if (pConn->IsBroken())
            --m_nOpen;
        else
            m_aIdle.push_back(std::move(pConn));
    }
    m_cv.notify_one();
    // A broken connection is finished here, outside the lock.
}

void CStoreDbPg::SetLastError(const std::string& strError)
{
    std::string strLine = strError;
    while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == ' '))
        strLine.pop_back();
    std::fprintf(stderr, "quarvex-store: database: %s\n", strLine.c_str());
    std::lock_guard lock(m_mutex);
    m_strLastError = std::move(strLine);
}

std::string CStoreDbPg::GetLastError()
{
    std::lock_guard lock(m_mutex);
    return m_strLastError;
}

bool CStoreDbPg::Open(const std::string& strUri, std::string& strError)
{
    {
        std::lock_guard lock(m_mutex);
        m_strUri = strUri;
    }
    CLease conn = Acquire();
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
    CLease conn = Acquire();
    return conn && conn->Run("INSERT INTO accounts(name, name_key, pwhash) VALUES($1, $2, $3)",
                             CPgParams().Bytes(strName).Bytes(LowerAscii(strName)).Bytes(strHash))
                       .IsOk();
}

bool CStoreDbPg::SetPasswordHash(const std::string& strName, const std::string& strHash)
{
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
    CLease conn = Acquire();
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
        CStoreDbPg::CLease conn = m_db.Acquire();
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
        CStoreDbPg::CLease conn = m_db.Acquire();
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
        CStoreDbPg::CLease conn = m_db.Acquire();
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
        CStoreDbPg::CLease conn = m_db.Acquire();
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
