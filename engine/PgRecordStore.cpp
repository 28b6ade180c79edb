// PgRecordStore.cpp - IRecordStore on libpq: the record state of many tasks
// in three tables, each row carrying its task's key.
#include "PgRecordStore.h"

#include "engine/db/PgConnection.h"

#include <map>
#include <set>
#include <mutex>

using quarvex::CPgConnection;
using quarvex::CPgParams;
using quarvex::CPgPool;
using quarvex::CPgResult;

namespace {

// Bumped when the tables change in a way an older program cannot read.
constexpr char SCHEMA_VERSION[] = "1";
// Connections one process keeps to one database for all its tasks.
constexpr int POOL_CONNECTIONS = 16;
// Serialises the creation of the tables by runners starting together.
constexpr std::int64_t SCHEMA_LOCK = 0x5158524543ll;  // "QXREC"

const char* const s_apszSchema[] = {
    "CREATE TABLE IF NOT EXISTS record_meta(task BYTEA NOT NULL, name BYTEA NOT NULL, value BYTEA NOT NULL,"
    " PRIMARY KEY(task, name))",
    "CREATE TABLE IF NOT EXISTS record_rows(task BYTEA NOT NULL, seq BIGSERIAL, key BYTEA NOT NULL,"
    " vals BYTEA NOT NULL, first_seen BIGINT NOT NULL, last_seen BIGINT NOT NULL, last_changed BIGINT NOT NULL,"
    " state INTEGER NOT NULL DEFAULT 0, seen_pass BIGINT NOT NULL DEFAULT 0, PRIMARY KEY(task, key))",
    "CREATE INDEX IF NOT EXISTS record_rows_order ON record_rows(task, seq)",
    "CREATE TABLE IF NOT EXISTS record_outbox(id BIGSERIAL PRIMARY KEY, task BYTEA NOT NULL,"
    " sink INTEGER NOT NULL, action INTEGER NOT NULL, vals BYTEA NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0, next_try BIGINT NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS record_outbox_order ON record_outbox(task, id)",
};

// One pool per database URI for the whole process, so a thousand tasks do
// not open a thousand connections.
std::shared_ptr<CPgPool> PoolFor(const std::string& strUri)
{
    static std::mutex s_mutex;
    static std::map<std::string, std::weak_ptr<CPgPool>> s_pools;
    std::lock_guard lock(s_mutex);
    std::shared_ptr<CPgPool> pPool = s_pools[strUri].lock();
    if (!pPool) {
        pPool = std::make_shared<CPgPool>(strUri, POOL_CONNECTIONS, "quarvex records", "quarvex: record state: ");
        s_pools[strUri] = pPool;
    }
    return pPool;
}

// Databases whose tables this process has seen or made. Creating them is
// DDL, which takes table locks that wait for every open write and that
// writers then wait for: run on every task's start it stalled hundreds of
// starting tasks and deadlocked with the writes of the running ones. So the
// tables are looked for without a lock, and made only when missing.
bool SchemaKnown(const std::string& strUri, bool bSet)
{
    static std::mutex s_mutex;
    static std::set<std::string> s_known;
    std::lock_guard lock(s_mutex);
    if (bSet)
        s_known.insert(strUri);
    return s_known.count(strUri) != 0;
}

bool EnsureSchema(CPgConnection& conn, const std::string& strUri)
{
    if (SchemaKnown(strUri, false))
        return true;
    const CPgResult found = conn.Run(
        "SELECT (CASE WHEN to_regclass('record_meta') IS NOT NULL AND to_regclass('record_rows') IS NOT NULL"
        " AND to_regclass('record_rows_order') IS NOT NULL AND to_regclass('record_outbox') IS NOT NULL"
        " AND to_regclass('record_outbox_order') IS NOT NULL THEN 1 ELSE 0 END)::bigint");
    if (!found.IsOk() || found.Rows() != 1)
        return false;
    if (found.Int(0, 0) != 1) {
        const bool bMade = conn.Transact([&] {
            if (!conn.Run("SELECT pg_advisory_xact_lock($1)", CPgParams().Int(SCHEMA_LOCK)).IsOk())
                return false;
            for (const char* pszSql : s_apszSchema) {
                if (!conn.Run(pszSql).IsOk())
                    return false;
            }
            return true;
        });
        if (!bMade)
            return false;
    }
    SchemaKnown(strUri, true);
    return true;
}

// The advisory lock of one task's state: FNV-1a of its key.
std::int64_t TaskLockId(const std::string& strTask)
{
    std::uint64_t n = 14695981039346656037ull;
    for (unsigned char c : strTask) {
        n ^= c;
        n *= 1099511628211ull;
    }
    return static_cast<std::int64_t>(n);
}

class CPgRecordStore final : public IRecordStore {
public:
    CPgRecordStore(std::string strUri, std::string strTask, bool bReadOnly)
        : m_strUri(std::move(strUri)), m_strTask(std::move(strTask)), m_bReadOnly(bReadOnly)
    {
    }
    ~CPgRecordStore() override { Rollback(); }

    bool Open(std::string& strError) override
    {
        if (m_strTask.empty()) {
            strError = "a record state in PostgreSQL needs a task key after '#'";
            return false;
        }
        m_pPool = PoolFor(m_strUri);
        CPgPool::CLease conn = m_pPool->Acquire();
        if (!conn) {
            strError = m_pPool->GetLastError();
            return false;
        }
        if (m_bReadOnly) {
            // Read only: nothing is created, and a task that never kept a
            // record has no state to read.
            const CPgResult sel = conn->Run("SELECT 1 FROM record_meta WHERE task = $1 AND name = 'schema'::bytea",
                                            CPgParams().Bytes(m_strTask));
            if (!sel.IsOk()) {
                strError = m_pPool->GetLastError();
                return false;
            }
            if (sel.Rows() != 1) {
                strError = "no kept records for this task in the database";
                return false;
            }
            return true;
        }
        std::string strVersion;
        const bool bOk = EnsureSchema(*conn, m_strUri) && [&] {
            const CPgResult sel = conn->Run("SELECT value FROM record_meta WHERE task = $1 AND name = 'schema'::bytea",
                                            CPgParams().Bytes(m_strTask));
            if (!sel.IsOk())
                return false;
            strVersion = sel.Rows() == 1 ? sel.Bytes(0, 0) : "";
            if (!strVersion.empty())
                return true;
            return conn
                ->Run("INSERT INTO record_meta(task, name, value) VALUES($1, 'schema'::bytea, $2)"
                      " ON CONFLICT DO NOTHING",
                      CPgParams().Bytes(m_strTask).Bytes(SCHEMA_VERSION))
                .IsOk();
        }();
        if (!bOk) {
            strError = m_pPool->GetLastError();
            return false;
        }
        if (!strVersion.empty() && strVersion != SCHEMA_VERSION) {
            strError = "the state was written by another version of the program (schema " + strVersion + ")";
            return false;
        }
        return true;
    }

    bool Begin() override
    {
        if (m_bReadOnly || !m_pPool) {
            m_strError = "the record state is not open for writing";
            return false;
        }
        Rollback();
        m_tx = m_pPool->Acquire();
        if (!m_tx) {
            m_strError = m_pPool->GetLastError();
            return false;
        }
        // The lock makes the transactions of one task's state, from any
        // runner, follow one another: what a holder reads (the fencing
        // number above all) stays true until it commits.
        if (!m_tx->Run("BEGIN").IsOk() ||
            !m_tx->Run("SELECT pg_advisory_xact_lock($1)", CPgParams().Int(TaskLockId(m_strTask))).IsOk()) {
            m_strError = m_pPool->GetLastError();
            Rollback();
            return false;
        }
        return true;
    }

    bool Commit() override
    {
        if (!m_tx) {
            m_strError = "no transaction";
            return false;
        }
        const bool bOk = m_tx->Run("COMMIT").IsOk();
        if (!bOk) {
            m_strError = m_pPool->GetLastError();
            m_tx->Run("ROLLBACK");
        }
        m_tx = CPgPool::CLease();
        return bOk;
    }

    void Rollback() override
    {
        if (m_tx)
            m_tx->Run("ROLLBACK");
        m_tx = CPgPool::CLease();
    }

    bool GetMeta(const std::string& strName, std::string& strValue) override
    {
        strValue.clear();
        CPgResult sel;
        if (!Run("SELECT value FROM record_meta WHERE task = $1 AND name = $2",
                 CPgParams().Bytes(m_strTask).Bytes(strName), sel))
            return false;
        if (sel.Rows() == 1)
            strValue = sel.Bytes(0, 0);
        return true;
    }

    bool SetMeta(const std::string& strName, const std::string& strValue) override
    {
        CPgResult ignored;
        return Run("INSERT INTO record_meta(task, name, value) VALUES($1, $2, $3)"
                   " ON CONFLICT(task, name) DO UPDATE SET value = excluded.value",
                   CPgParams().Bytes(m_strTask).Bytes(strName).Bytes(strValue), ignored);
    }

    bool ForEachRecord(const std::function<void(SStoredRecord&)>& fnRecord) override
    {
        CPgResult sel;
        if (!Run("SELECT key, vals, first_seen, last_seen, last_changed, state, seen_pass FROM record_rows"
                 " WHERE task = $1 ORDER BY seq",
                 CPgParams().Bytes(m_strTask), sel))
            return false;
        SStoredRecord record;
        for (int i = 0; i < sel.Rows(); ++i) {
            record.strKey = sel.Bytes(i, 0);
            const std::string strVals = sel.Bytes(i, 1);
            if (!UnpackRow(strVals.data(), strVals.size(), record.aRow)) {
                m_strError = "a stored record is malformed";
                return false;
            }
            record.tFirstSeen = sel.Int(i, 2);
            record.tLastSeen = sel.Int(i, 3);
            record.tLastChanged = sel.Int(i, 4);
            const std::int64_t nState = sel.Int(i, 5);
            record.nState = nState >= ROW_KEPT && nState <= ROW_GONE ? static_cast<std::uint8_t>(nState)
                                                                     : std::uint8_t(ROW_KEPT);
            record.nSeenPass = static_cast<std::uint32_t>(sel.Int(i, 6));
            fnRecord(record);
        }
        return true;
    }

    bool PutRecord(const SStoredRecord& record) override
    {
        // The upsert keeps the row's seq, so the order of first sight stays.
        CPgResult ignored;
        return Run("INSERT INTO record_rows(task, key, vals, first_seen, last_seen, last_changed, state, seen_pass)"
                   " VALUES($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT(task, key) DO UPDATE SET vals = excluded.vals,"
                   " last_seen = excluded.last_seen, last_changed = excluded.last_changed, state = excluded.state,"
                   " seen_pass = excluded.seen_pass",
                   CPgParams()
                       .Bytes(m_strTask)
                       .Bytes(record.strKey)
                       .Bytes(PackRow(record.aRow))
                       .Int(record.tFirstSeen)
                       .Int(record.tLastSeen)
                       .Int(record.tLastChanged)
                       .Int(record.nState)
                       .Int(record.nSeenPass),
                   ignored);
    }

    bool TouchRecord(const std::string& strKey, std::int64_t tLastSeen, std::uint32_t nSeenPass,
                     std::uint8_t nState) override
    {
        CPgResult ignored;
        return Run("UPDATE record_rows SET last_seen = $3, seen_pass = $4, state = $5 WHERE task = $1 AND key = $2",
                   CPgParams().Bytes(m_strTask).Bytes(strKey).Int(tLastSeen).Int(nSeenPass).Int(nState), ignored);
    }

    bool SetRecordState(const std::string& strKey, std::uint8_t nState) override
    {
        CPgResult ignored;
        return Run("UPDATE record_rows SET state = $3 WHERE task = $1 AND key = $2",
                   CPgParams().Bytes(m_strTask).Bytes(strKey).Int(nState), ignored);
    }

    std::int64_t CountRecords() override
    {
        CPgResult sel;
        if (!Run("SELECT count(*)::bigint FROM record_rows WHERE task = $1", CPgParams().Bytes(m_strTask), sel) ||
            sel.Rows() != 1)
            return -1;
        return sel.Int(0, 0);
    }

    bool AddDelivery(SDelivery& delivery) override
    {
        CPgResult ins;
        if (!Run("INSERT INTO record_outbox(task, sink, action, vals, attempts, next_try)"
                 " VALUES($1, $2, $3, $4, $5, $6) RETURNING id",
                 CPgParams()
                     .Bytes(m_strTask)
                     .Int(delivery.nSink)
                     .Int(delivery.nAction)
                     .Bytes(PackRow(delivery.aRow))
                     .Int(delivery.nAttempts)
                     .Int(delivery.tNextTry),
                 ins) ||
            ins.Rows() != 1)
            return false;
        delivery.nId = ins.Int(0, 0);
        return true;
    }

    bool RemoveDelivery(std::int64_t nId) override
    {
        CPgResult ignored;
        return Run("DELETE FROM record_outbox WHERE task = $1 AND id = $2", CPgParams().Bytes(m_strTask).Int(nId),
                   ignored);
    }

    bool PostponeDelivery(std::int64_t nId, int nAttempts, std::int64_t tNextTry) override
    {
        CPgResult ignored;
        return Run("UPDATE record_outbox SET attempts = $3, next_try = $4 WHERE task = $1 AND id = $2",
                   CPgParams().Bytes(m_strTask).Int(nId).Int(nAttempts).Int(tNextTry), ignored);
    }

    bool ForEachDelivery(const std::function<void(SDelivery&)>& fnDelivery) override
    {
        CPgResult sel;
        if (!Run("SELECT id, sink, action, vals, attempts, next_try FROM record_outbox WHERE task = $1 ORDER BY id",
                 CPgParams().Bytes(m_strTask), sel))
            return false;
        for (int i = 0; i < sel.Rows(); ++i) {
            SDelivery delivery;
            delivery.nId = sel.Int(i, 0);
            delivery.nSink = static_cast<int>(sel.Int(i, 1));
            delivery.nAction = static_cast<int>(sel.Int(i, 2));
            const std::string strVals = sel.Bytes(i, 3);
            if (!UnpackRow(strVals.data(), strVals.size(), delivery.aRow)) {
                m_strError = "a stored delivery is malformed";
                return false;
            }
            delivery.nAttempts = static_cast<int>(sel.Int(i, 4));
            delivery.tNextTry = sel.Int(i, 5);
            if (delivery.nSink < 0 || delivery.nSink >= SINK_COUNT)
                continue;
            fnDelivery(delivery);
        }
        return true;
    }

    bool ClearAll() override
    {
        CPgResult ignored;
        return Run("DELETE FROM record_rows WHERE task = $1", CPgParams().Bytes(m_strTask), ignored) &&
               Run("DELETE FROM record_outbox WHERE task = $1", CPgParams().Bytes(m_strTask), ignored);
    }

    std::string GetError() const override { return m_strError; }

private:
    // Inside a transaction on its connection, else on one borrowed for
    // this statement alone.
    bool Run(const char* pszSql, const CPgParams& params, CPgResult& result)
    {
        if (!m_pPool) {
            m_strError = "the record state is not open";
            return false;
        }
        if (m_tx) {
            result = m_tx->Run(pszSql, params);
        } else {
            CPgPool::CLease conn = m_pPool->Acquire();
            if (!conn) {
                m_strError = m_pPool->GetLastError();
                return false;
            }
            result = conn->Run(pszSql, params);
        }
        if (!result.IsOk()) {
            m_strError = m_pPool->GetLastError();
            return false;
        }
        return true;
    }

    const std::string m_strUri;
    const std::string m_strTask;
    const bool m_bReadOnly;
    std::shared_ptr<CPgPool> m_pPool;
    CPgPool::CLease m_tx;  // Held from Begin() to Commit() or Rollback(); declared after the pool it returns to.
    std::string m_strError;
};

} // namespace

std::unique_ptr<IRecordStore> CreatePgRecordStore(const std::string& strUri, const std::string& strTask,
                                                  bool bReadOnly)
{
    return std::make_unique<CPgRecordStore>(strUri, strTask, bReadOnly);
}

std::unique_ptr<IRecordStore> CreateRecordStore(const std::string& strWhere, bool bReadOnly)
{
    if (!quarvex::IsPostgresUri(strWhere))
        return CreateSqliteRecordStore(strWhere, bReadOnly);
    const std::size_t nHash = strWhere.find('#');
    if (nHash == std::string::npos)
        return CreatePgRecordStore(strWhere, "", bReadOnly);
    return CreatePgRecordStore(strWhere.substr(0, nHash), strWhere.substr(nHash + 1), bReadOnly);
}
