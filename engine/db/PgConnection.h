// PgConnection.h - libpq for the databases Quarvex keeps its own state in
// (the task store, the record state): values always bound and sent in
// binary, results read in binary, so bytes stay bytes whatever the
// database's encoding; and a small pool of connections per database.
#pragma once

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quarvex {

// The values of one statement, each in binary.
class CPgParams {
public:
    CPgParams& Int(std::int64_t n);
    CPgParams& Bytes(const std::string& str);

    int Count() const { return static_cast<int>(m_aValues.size()); }
    const Oid* Types() const { return m_aTypes.data(); }
    const int* Lengths() const { return m_aLengths.data(); }
    const int* Formats() const { return m_aFormats.data(); }
    // Pointers into the values, valid while this object lives unchanged.
    std::vector<const char*> Values() const;

private:
    CPgParams& Add(std::string str, Oid nType);

    std::vector<std::string> m_aValues;
    std::vector<Oid> m_aTypes;
    std::vector<int> m_aLengths;
    std::vector<int> m_aFormats;
};

// A statement's result; cleared when it goes out of scope. Integer columns
// must be int4 or int8 (cast sums and counts to bigint).
class CPgResult {
public:
    explicit CPgResult(PGresult* p = nullptr) : m_p(p) {}
    bool IsOk() const;
    int Rows() const { return m_p ? PQntuples(m_p.get()) : 0; }
    std::int64_t Int(int nRow, int nCol) const;
    std::string Bytes(int nRow, int nCol) const;
    // Rows an INSERT, UPDATE or DELETE touched.
    int Changed() const;
    // The five-character SQLSTATE of a failure; empty when there is none.
    std::string State() const;

private:
    struct Clear {
        void operator()(PGresult* p) const { PQclear(p); }
    };
    std::unique_ptr<PGresult, Clear> m_p;
};

class CPgPool;

// One libpq connection, used by one caller at a time.
class CPgConnection {
public:
    CPgConnection(CPgPool& pool, PGconn* p) : m_pool(pool), m_p(p) {}
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    bool IsBroken() const { return PQstatus(m_p.get()) != CONNECTION_OK; }
    // Called when the pool lends the connection out again.
    void Lend() { m_bUsed = false; }

    // Runs one statement; a failure is reported to the pool's log.
    CPgResult Run(const char* pszSql, const CPgParams& params = CPgParams());

    // Runs fn between BEGIN and COMMIT; fn returns false to roll back. A
    // transaction that lost a deadlock or a serialisation conflict is run
    // again, a few times, so fn must start from scratch each time.
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
            if (!IsRetryable())
                return false;
        }
        return false;
    }
    // True when the last failure was a lost deadlock or serialisation
    // conflict, which running the transaction again resolves.
    bool IsRetryable() const { return m_strState == "40001" || m_strState == "40P01"; }

private:
    struct Finish {
        void operator()(PGconn* p) const { PQfinish(p); }
    };
    CPgPool& m_pool;
    std::unique_ptr<PGconn, Finish> m_p;
    std::string m_strState;  // SQLSTATE of the last failed statement.
    bool m_bUsed = false;    // A statement ran since the pool lent it out.
};

// Up to nMaxConnections connections to one database, made when first
// needed; callers beyond that wait for one to come free.
class CPgPool {
public:
    // strUri: a libpq connection URI (postgresql://user@host:port/db).
    // strLogPrefix starts every error line written to standard error.
    CPgPool(std::string strUri, int nMaxConnections, std::string strApplication, std::string strLogPrefix);
    CPgPool(const CPgPool&) = delete;
    CPgPool& operator=(const CPgPool&) = delete;

    // A connection for one caller; back to the pool when it goes out of
    // scope, or closed when it broke. Empty when none could be made (the
    // reason is GetLastError()).
    class CLease {
    public:
        CLease() = default;
        CLease(CPgPool* pPool, std::unique_ptr<CPgConnection> pConn) : m_pPool(pPool), m_pConn(std::move(pConn)) {}
        ~CLease();
        CLease(CLease&& other) noexcept = default;
        // Gives back the connection held so far, then takes the other's.
        CLease& operator=(CLease&& other) noexcept;
        CLease(const CLease&) = delete;
        CLease& operator=(const CLease&) = delete;
        CPgConnection* operator->() const { return m_pConn.get(); }
        CPgConnection& operator*() const { return *m_pConn; }
        explicit operator bool() const { return m_pConn != nullptr; }

    private:
        CPgPool* m_pPool = nullptr;
        std::unique_ptr<CPgConnection> m_pConn;
    };
    CLease Acquire();

    std::string GetLastError();
    void SetLastError(const std::string& strError);

private:
    void Release(std::unique_ptr<CPgConnection> pConn);

    const std::string m_strUri;
    const int m_nMaxConnections;
    const std::string m_strApplication;
    const std::string m_strLogPrefix;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::unique_ptr<CPgConnection>> m_aIdle;
    int m_nOpen = 0;  // Connections made and not yet closed, idle or lent.
    std::string m_strLastError;
};

// True when strWhere names a PostgreSQL database (a postgresql:// or
// postgres:// URI) rather than a file.
bool IsPostgresUri(const std::string& strWhere);

} // namespace quarvex
