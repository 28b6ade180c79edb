// SqliteRecordStore.cpp - the record state in one SQLite file per task. The
// journal is WAL with synchronous=NORMAL: a commit survives the process being
// killed at any moment (the case that matters for a harvester that is
// restarted or crashes); only a power cut may lose the last commits, which
// at worst delivers their records once more, never loses one.
#include "RecordStore.h"

#include <sqlite3.h>

#include <cerrno>
#include <map>
#include <sys/stat.h>

namespace {

struct CSqliteCloser {
    void operator()(sqlite3* pDb) const { sqlite3_close_v2(pDb); }
};
struct CStatementFinalizer {
    void operator()(sqlite3_stmt* pStmt) const { sqlite3_finalize(pStmt); }
};
using SqlitePtr = std::unique_ptr<sqlite3, CSqliteCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, CStatementFinalizer>;

// Bumped when the tables change in a way an older program cannot read.
constexpr char SCHEMA_VERSION[] = "1";
// Another process (an export, a reset) may hold the file for a moment.
constexpr int BUSY_TIMEOUT_MS = 10000;
// A row read back larger than this is not ours.
constexpr std::size_t MAX_ROW_BYTES = std::size_t(1) << 30;

const char s_szSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS records(seq INTEGER PRIMARY KEY AUTOINCREMENT, key BLOB NOT NULL UNIQUE,"
    " vals BLOB NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,"
    " last_changed INTEGER NOT NULL, state INTEGER NOT NULL DEFAULT 0, seen_pass INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, sink INTEGER NOT NULL,"
    " action INTEGER NOT NULL, vals BLOB NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,"
    " next_try INTEGER NOT NULL DEFAULT 0);";

void PutVarint(std::string& strOut, std::size_t nValue)
{
    while (nValue >= 0x80) {
        strOut += static_cast<char>((nValue & 0x7F) | 0x80);
        nValue >>= 7;
    }
    strOut += static_cast<char>(nValue);
}

bool GetVarint(const unsigned char*& p, const unsigned char* pEnd, std::size_t& nValue)
{
    nValue = 0;
    for (int nShift = 0; nShift < 64; nShift += 7) {
        if (p == pEnd)
            return false;
        const unsigned char c = *p++;
        nValue |= static_cast<std::size_t>(c & 0x7F) << nShift;
        if ((c & 0x80) == 0)
            return true;
    }
    return false;
}

class CSqliteRecordStore final : public IRecordStore {
public:
    CSqliteRecordStore(std::string strPath, bool bReadOnly) : m_strPath(std::move(strPath)), m_bReadOnly(bReadOnly) {}
    ~CSqliteRecordStore() override
    {
        m_statements.clear();
        m_pDb.reset();
    }

    bool Open(std::string& strError) override
    {
        if (!m_bReadOnly)
            MakeParentDirs();
        sqlite3* pRaw = nullptr;
        const int nFlags = m_bReadOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        const int nResult = sqlite3_open_v2(m_strPath.c_str(), &pRaw, nFlags | SQLITE_OPEN_NOMUTEX, nullptr);
        m_pDb.reset(pRaw);
        if (nResult != SQLITE_OK) {
            strError = m_pDb ? sqlite3_errmsg(m_pDb.get()) : sqlite3_errstr(nResult);
            m_pDb.reset();
            return false;
        }
        sqlite3_busy_timeout(m_pDb.get(), BUSY_TIMEOUT_MS);
        // A file that is no database shows itself only when it is read.
        if (!m_bReadOnly) {
            if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") || !Exec(s_szSchema)) {
                strError = m_strError;
                m_pDb.reset();
                return false;
            }
            std::string strVersion;
            if (!GetMeta("schema", strVersion)) {
                strError = m_strError;
                m_pDb.reset();
                return false;
            }
            if (strVersion.empty()) {
                if (!SetMeta("schema", SCHEMA_VERSION)) {
                    strError = m_strError;
                    m_pDb.reset();
                    return false;
                }
            } else if (strVersion != SCHEMA_VERSION) {
                strError = "the file was written by another version of the program (schema " + strVersion + ")";
                m_pDb.reset();
                return false;
            }
        } else if (!Exec("SELECT count(*) FROM records") || !Exec("SELECT count(*) FROM meta")) {
            strError = m_strError;
            m_pDb.reset();
            return false;
        }
        return true;
    }

    bool Begin() override { return Exec("BEGIN IMMEDIATE"); }
    bool Commit() override
    {
        if (Exec("COMMIT"))
            return true;
        const std::string strError = m_strError;
        Rollback();
        m_strError = strError;
        return false;
    }
    void Rollback() override
    {
        if (m_pDb && sqlite3_get_autocommit(m_pDb.get()) == 0)
            sqlite3_exec(m_pDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }

    bool GetMeta(const std::string& strName, std::string& strValue) override
    {
        strValue.clear();
        sqlite3_stmt* p = Prepare("SELECT value FROM meta WHERE name=?1");
        if (p == nullptr)
            return false;
        BindText(p, 1, strName);
        const int n = sqlite3_step(p);
        if (n == SQLITE_ROW)
            strValue = ColumnText(p, 0);
        return Done(p, n == SQLITE_ROW || n == SQLITE_DONE);
    }

    bool SetMeta(const std::string& strName, const std::string& strValue) override
    {
        sqlite3_stmt* p = Prepare("INSERT INTO meta(name, value) VALUES(?1, ?2)"
                                  " ON CONFLICT(name) DO UPDATE SET value=excluded.value");
        if (p == nullptr)
            return false;
        BindText(p, 1, strName);
        BindText(p, 2, strValue);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    bool ForEachRecord(const std::function<void(SStoredRecord&)>& fnRecord) override
    {
        sqlite3_stmt* p = Prepare("SELECT key, vals, first_seen, last_seen, last_changed, state, seen_pass"
                                  " FROM records ORDER BY seq");
        if (p == nullptr)
            return false;
        SStoredRecord record;
        int n;
        while ((n = sqlite3_step(p)) == SQLITE_ROW) {
            record.strKey = ColumnText(p, 0);
            if (!UnpackRow(sqlite3_column_blob(p, 1), static_cast<std::size_t>(sqlite3_column_bytes(p, 1)),
                           record.aRow)) {
                m_strError = "a stored record is malformed";
                return Done(p, false);
            }
            record.tFirstSeen = sqlite3_column_int64(p, 2);
            record.tLastSeen = sqlite3_column_int64(p, 3);
            record.tLastChanged = sqlite3_column_int64(p, 4);
            const std::int64_t nState = sqlite3_column_int64(p, 5);
            record.nState = nState >= ROW_KEPT && nState <= ROW_GONE ? static_cast<std::uint8_t>(nState) : std::uint8_t(ROW_KEPT);
            record.nSeenPass = static_cast<std::uint32_t>(sqlite3_column_int64(p, 6));
            fnRecord(record);
        }
        return Done(p, n == SQLITE_DONE);
    }

    bool PutRecord(const SStoredRecord& record) override
    {
        // An upsert keeps the row's seq, so the order of first sight stays.
        sqlite3_stmt* p = Prepare(
            "INSERT INTO records(key, vals, first_seen, last_seen, last_changed, state, seen_pass)"
            " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(key) DO UPDATE SET vals=excluded.vals,"
            " last_seen=excluded.last_seen, last_changed=excluded.last_changed, state=excluded.state,"
            " seen_pass=excluded.seen_pass");
        if (p == nullptr)
            return false;
        const std::string strVals = PackRow(record.aRow);
        sqlite3_bind_blob64(p, 1, record.strKey.data(), record.strKey.size(), SQLITE_TRANSIENT);
        sqlite3_bind_blob64(p, 2, strVals.data(), strVals.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(p, 3, record.tFirstSeen);
        sqlite3_bind_int64(p, 4, record.tLastSeen);
        sqlite3_bind_int64(p, 5, record.tLastChanged);
        sqlite3_bind_int64(p, 6, record.nState);
        sqlite3_bind_int64(p, 7, record.nSeenPass);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    bool TouchRecord(const std::string& strKey, std::int64_t tLastSeen, std::uint32_t nSeenPass,
                     std::uint8_t nState) override
    {
        sqlite3_stmt* p = Prepare("UPDATE records SET last_seen=?2, seen_pass=?3, state=?4 WHERE key=?1");
        if (p == nullptr)
            return false;
        sqlite3_bind_blob64(p, 1, strKey.data(), strKey.size(), SQLITE_STATIC);
        sqlite3_bind_int64(p, 2, tLastSeen);
        sqlite3_bind_int64(p, 3, nSeenPass);
        sqlite3_bind_int64(p, 4, nState);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    bool SetRecordState(const std::string& strKey, std::uint8_t nState) override
    {
        sqlite3_stmt* p = Prepare("UPDATE records SET state=?2 WHERE key=?1");
        if (p == nullptr)
            return false;
        sqlite3_bind_blob64(p, 1, strKey.data(), strKey.size(), SQLITE_STATIC);
        sqlite3_bind_int64(p, 2, nState);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    std::int64_t CountRecords() override
    {
        sqlite3_stmt* p = Prepare("SELECT count(*) FROM records");
        if (p == nullptr)
            return -1;
        std::int64_t nCount = -1;
        if (sqlite3_step(p) == SQLITE_ROW)
            nCount = sqlite3_column_int64(p, 0);
        Done(p, true);
        return nCount;
    }

    bool AddDelivery(SDelivery& delivery) override
    {
        sqlite3_stmt* p = Prepare("INSERT INTO outbox(sink, action, vals, attempts, next_try) VALUES(?1, ?2, ?3, ?4, ?5)");
        if (p == nullptr)
            return false;
        const std::string strVals = PackRow(delivery.aRow);
        sqlite3_bind_int(p, 1, delivery.nSink);
        sqlite3_bind_int(p, 2, delivery.nAction);
        sqlite3_bind_blob64(p, 3, strVals.data(), strVals.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int(p, 4, delivery.nAttempts);
        sqlite3_bind_int64(p, 5, delivery.tNextTry);
        if (!Done(p, sqlite3_step(p) == SQLITE_DONE))
            return false;
        delivery.nId = sqlite3_last_insert_rowid(m_pDb.get());
        return true;
    }

    bool RemoveDelivery(std::int64_t nId) override
    {
        sqlite3_stmt* p = Prepare("DELETE FROM outbox WHERE id=?1");
        if (p == nullptr)
            return false;
        sqlite3_bind_int64(p, 1, nId);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    bool PostponeDelivery(std::int64_t nId, int nAttempts, std::int64_t tNextTry) override
    {
        sqlite3_stmt* p = Prepare("UPDATE outbox SET attempts=?2, next_try=?3 WHERE id=?1");
        if (p == nullptr)
            return false;
        sqlite3_bind_int64(p, 1, nId);
        sqlite3_bind_int(p, 2, nAttempts);
        sqlite3_bind_int64(p, 3, tNextTry);
        return Done(p, sqlite3_step(p) == SQLITE_DONE);
    }

    bool ForEachDelivery(const std::function<void(SDelivery&)>& fnDelivery) override
    {
        sqlite3_stmt* p = Prepare("SELECT id, sink, action, vals, attempts, next_try FROM outbox ORDER BY id");
        if (p == nullptr)
            return false;
        int n;
        while ((n = sqlite3_step(p)) == SQLITE_ROW) {
            SDelivery delivery;
            delivery.nId = sqlite3_column_int64(p, 0);
            delivery.nSink = sqlite3_column_int(p, 1);
            delivery.nAction = sqlite3_column_int(p, 2);
            if (!UnpackRow(sqlite3_column_blob(p, 3), static_cast<std::size_t>(sqlite3_column_bytes(p, 3)),
                           delivery.aRow)) {
                m_strError = "a stored delivery is malformed";
                return Done(p, false);
            }
            delivery.nAttempts = sqlite3_column_int(p, 4);
            delivery.tNextTry = sqlite3_column_int64(p, 5);
            if (delivery.nSink < 0 || delivery.nSink >= SINK_COUNT)
                continue;
            fnDelivery(delivery);
        }
        return Done(p, n == SQLITE_DONE);
    }

    bool ClearAll() override { return Exec("DELETE FROM records; DELETE FROM outbox;"); }

    std::string GetError() const override { return m_strError; }

private:
    void MakeParentDirs()
    {
        // The data folder (and any folder above it) is made on first use.
        for (std::size_t nSlash = m_strPath.find('/', 1); nSlash != std::string::npos;
             nSlash = m_strPath.find('/', nSlash + 1))
            ::mkdir(m_strPath.substr(0, nSlash).c_str(), 0755);
    }

    bool Exec(const char* pszSql)
    {
        char* pszError = nullptr;
        if (sqlite3_exec(m_pDb.get(), pszSql, nullptr, nullptr, &pszError) == SQLITE_OK)
            return true;
        m_strError = pszError != nullptr ? pszError : sqlite3_errmsg(m_pDb.get());
        sqlite3_free(pszError);
        return false;
    }

    sqlite3_stmt* Prepare(const char* pszSql)
    {
        auto it = m_statements.find(pszSql);
        if (it != m_statements.end())
            return it->second.get();
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v3(m_pDb.get(), pszSql, -1, SQLITE_PREPARE_PERSISTENT, &pRaw, nullptr) != SQLITE_OK) {
            StatementPtr pGuard(pRaw);
            m_strError = sqlite3_errmsg(m_pDb.get());
            return nullptr;
        }
        return m_statements.emplace(pszSql, StatementPtr(pRaw)).first->second.get();
    }

    // Resets the statement for its next use; keeps the error when !bOk.
    bool Done(sqlite3_stmt* p, bool bOk)
    {
        if (!bOk)
            m_strError = sqlite3_errmsg(m_pDb.get());
        sqlite3_reset(p);
        sqlite3_clear_bindings(p);
        return bOk;
    }

    static void BindText(sqlite3_stmt* p, int nParam, const std::string& str)
    {
        sqlite3_bind_text64(p, nParam, str.data(), str.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    static std::string ColumnText(sqlite3_stmt* p, int nColumn)
    {
        const void* pData = sqlite3_column_blob(p, nColumn);
        const int nBytes = sqlite3_column_bytes(p, nColumn);
        return pData != nullptr ? std::string(static_cast<const char*>(pData), static_cast<std::size_t>(nBytes))
                                : std::string();
    }

    std::string m_strPath;
    bool m_bReadOnly;
    SqlitePtr m_pDb;
    // Keyed by the statement's text, which is always a literal.
    std::map<const char*, StatementPtr> m_statements;
    std::string m_strError;
};

} // namespace

std::string PackRow(const CDataRow& aRow)
{
    std::size_t nBytes = 1;
    for (const std::string& strCell : aRow)
        nBytes += strCell.size() + 2;
    std::string strOut;
    strOut.reserve(nBytes);
    PutVarint(strOut, aRow.size());
    for (const std::string& strCell : aRow) {
        PutVarint(strOut, strCell.size());
        strOut += strCell;
    }
    return strOut;
}

bool UnpackRow(const void* pData, std::size_t nSize, CDataRow& aRow)
{
    aRow.clear();
    if (nSize > MAX_ROW_BYTES)
        return false;
    const auto* p = static_cast<const unsigned char*>(pData);
    const unsigned char* pEnd = p + nSize;
    if (pData == nullptr)
        return nSize == 0;
    std::size_t nCells = 0;
    // Every cell takes at least its length byte, which bounds the count.
    if (!GetVarint(p, pEnd, nCells) || nCells > static_cast<std::size_t>(pEnd - p))
        return false;
    aRow.resize(nCells);
    for (std::string& strCell : aRow) {
        std::size_t nLen = 0;
        if (!GetVarint(p, pEnd, nLen) || nLen > static_cast<std::size_t>(pEnd - p))
            return false;
        strCell.assign(reinterpret_cast<const char*>(p), nLen);
        p += nLen;
    }
    return p == pEnd;
}

std::unique_ptr<IRecordStore> CreateSqliteRecordStore(const std::string& strPath, bool bReadOnly)
{
    return std::make_unique<CSqliteRecordStore>(strPath, bReadOnly);
}
