// PgConnection.cpp - binary parameters and results, and the pool.
#include "PgConnection.h"

#include <cstdio>

namespace quarvex {

namespace {

// Type ids of the parameters sent (pg_type.h).
constexpr Oid OID_BYTEA = 17;
constexpr Oid OID_INT8 = 20;

// How long one statement may wait (for a lock, a busy server) before it
// fails rather than hanging its caller; and no notices ("relation already
// exists") on standard error.
constexpr const char* SESSION_SETTINGS = "SET statement_timeout = 30000; SET client_min_messages = warning";

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

bool ApplySessionSettings(PGconn* p)
{
    PGresult* pResult = PQexec(p, SESSION_SETTINGS);
    const bool bOk = PQresultStatus(pResult) == PGRES_COMMAND_OK;
    PQclear(pResult);
    return bOk;
}

} // namespace

CPgParams& CPgParams::Int(std::int64_t n)
{
    std::string str(8, '\0');
    const auto u = static_cast<std::uint64_t>(n);
    for (int i = 0; i < 8; ++i)
        str[static_cast<std::size_t>(i)] = static_cast<char>(u >> (56 - 8 * i));
    return Add(std::move(str), OID_INT8);
}

CPgParams& CPgParams::Bytes(const std::string& str)
{
    return Add(str, OID_BYTEA);
}

std::vector<const char*> CPgParams::Values() const
{
    std::vector<const char*> a;
    a.reserve(m_aValues.size());
    for (const std::string& str : m_aValues)
        a.push_back(str.data());
    return a;
}

CPgParams& CPgParams::Add(std::string str, Oid nType)
{
    m_aLengths.push_back(static_cast<int>(str.size()));
    m_aValues.push_back(std::move(str));
    m_aTypes.push_back(nType);
    m_aFormats.push_back(1);
    return *this;
}

bool CPgResult::IsOk() const
{
    const ExecStatusType e = m_p ? PQresultStatus(m_p.get()) : PGRES_FATAL_ERROR;
    return e == PGRES_COMMAND_OK || e == PGRES_TUPLES_OK;
}

std::int64_t CPgResult::Int(int nRow, int nCol) const
{
    const int nLen = PQgetlength(m_p.get(), nRow, nCol);
    if (PQgetisnull(m_p.get(), nRow, nCol) || (nLen != 8 && nLen != 4))
        return 0;
    return ReadBigEndian(PQgetvalue(m_p.get(), nRow, nCol), nLen);
}

std::string CPgResult::Bytes(int nRow, int nCol) const
{
    return std::string(PQgetvalue(m_p.get(), nRow, nCol), static_cast<std::size_t>(PQgetlength(m_p.get(), nRow, nCol)));
}

int CPgResult::Changed() const
{
    const char* psz = m_p ? PQcmdTuples(m_p.get()) : "";
    int n = 0;
    for (; *psz >= '0' && *psz <= '9'; ++psz)
        n = n * 10 + (*psz - '0');
    return n;
}

std::string CPgResult::State() const
{
    const char* psz = m_p ? PQresultErrorField(m_p.get(), PG_DIAG_SQLSTATE) : nullptr;
    return psz != nullptr ? psz : "";
}

CPgResult CPgConnection::Run(const char* pszSql, const CPgParams& params)
{
    const std::vector<const char*> aValues = params.Values();
    CPgResult result(PQexecParams(m_p.get(), pszSql, params.Count(), params.Types(), aValues.data(),
                                  params.Lengths(), params.Formats(), 1));
    // A connection that waited in the pool may have been ended meanwhile
    // (the database restarted, an administrator ended idle sessions). The
    // first statement of a lending then never reached a server, so it is
    // sent once more on a fresh connection.
    if (!result.IsOk() && !m_bUsed && IsBroken()) {
        PQreset(m_p.get());
        if (!IsBroken() && ApplySessionSettings(m_p.get()))
            result = CPgResult(PQexecParams(m_p.get(), pszSql, params.Count(), params.Types(), aValues.data(),
                                            params.Lengths(), params.Formats(), 1));
    }
    m_bUsed = true;
    if (!result.IsOk()) {
        m_strState = result.State();
        m_pool.SetLastError(PQerrorMessage(m_p.get()));
    }
    return result;
}

CPgPool::CLease::~CLease()
{
    if (m_pPool != nullptr && m_pConn)
        m_pPool->Release(std::move(m_pConn));
}

CPgPool::CLease& CPgPool::CLease::operator=(CLease&& other) noexcept
{
    if (this != &other) {
        if (m_pPool != nullptr && m_pConn)
            m_pPool->Release(std::move(m_pConn));
        m_pPool = other.m_pPool;
        m_pConn = std::move(other.m_pConn);
    }
    return *this;
}

CPgPool::CPgPool(std::string strUri, int nMaxConnections, std::string strApplication, std::string strLogPrefix)
    : m_strUri(std::move(strUri)), m_nMaxConnections(nMaxConnections > 0 ? nMaxConnections : 1),
      m_strApplication(std::move(strApplication)), m_strLogPrefix(std::move(strLogPrefix))
{
}

CPgPool::CLease CPgPool::Acquire()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_aIdle.empty() || m_nOpen < m_nMaxConnections; });
    if (!m_aIdle.empty()) {
        std::unique_ptr<CPgConnection> pConn = std::move(m_aIdle.back());
        m_aIdle.pop_back();
        pConn->Lend();
        return CLease(this, std::move(pConn));
    }
    ++m_nOpen;
    lock.unlock();

    // The URI comes last so that what it says wins; the time-out only fills
    // in where it is silent.
    const char* const apszKeys[] = { "connect_timeout", "application_name", "dbname", nullptr };
    const char* const apszValues[] = { "10", m_strApplication.c_str(), m_strUri.c_str(), nullptr };
    PGconn* p = PQconnectdbParams(apszKeys, apszValues, 1);
    auto pConn = std::make_unique<CPgConnection>(*this, p);
    if (p == nullptr || PQstatus(p) != CONNECTION_OK || !ApplySessionSettings(p)) {
        SetLastError(p != nullptr ? PQerrorMessage(p) : "out of memory");
        pConn.reset();
        {
            std::lock_guard relock(m_mutex);
            --m_nOpen;
        }
        m_cv.notify_one();
        return CLease();
    }
    return CLease(this, std::move(pConn));
}

void CPgPool::Release(std::unique_ptr<CPgConnection> pConn)
{
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

void CPgPool::SetLastError(const std::string& strError)
{
    std::string strLine = strError;
    while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == ' '))
        strLine.pop_back();
    std::fprintf(stderr, "%s%s\n", m_strLogPrefix.c_str(), strLine.c_str());
    std::lock_guard lock(m_mutex);
    m_strLastError = std::move(strLine);
}

std::string CPgPool::GetLastError()
{
    std::lock_guard lock(m_mutex);
    return m_strLastError;
}

bool IsPostgresUri(const std::string& strWhere)
{
    return strWhere.rfind("postgresql://", 0) == 0 || strWhere.rfind("postgres://", 0) == 0;
}

} // namespace quarvex
