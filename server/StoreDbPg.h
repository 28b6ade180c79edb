// StoreDbPg.h - the store in a PostgreSQL database, which several store
// servers may share: a small pool of libpq connections, every write in a
// transaction, parameters always bound, and the login throttle kept in a
// table so that the servers count the same failures.
#pragma once

#include "StoreDbApi.h"
#include "engine/db/PgConnection.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quarvex {

class CStoreDbPg : public IStoreDb {
public:
    // nConnections bounds the connections this process holds at once;
    // callers beyond it wait for one to come free.
    explicit CStoreDbPg(int nConnections = 8);
    ~CStoreDbPg() override;
    CStoreDbPg(const CStoreDbPg&) = delete;
    CStoreDbPg& operator=(const CStoreDbPg&) = delete;

    // strUri is a libpq connection URI (postgresql://user@host:port/db);
    // creates the tables when missing.
    bool Open(const std::string& strUri, std::string& strError) override;

    bool AddAccount(const std::string& strName, const std::string& strHash) override;
    bool SetPasswordHash(const std::string& strName, const std::string& strHash) override;
    bool DeleteAccount(const std::string& strName) override;
    std::optional<StoreAccount> FindAccount(const std::string& strName) override;
    std::optional<std::int64_t> EnsureAccount(const std::string& strName) override;

    bool AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                    std::int64_t nIdleBefore, int nKeep) override;
    std::optional<std::int64_t> UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                           std::int64_t nIdleBefore) override;

    // The quota check locks the account's row until the write commits, so
    // saves through other store servers on the same database wait for it.
    bool AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                 const TaskQuota* pQuota = nullptr) override;
    bool UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                    const TaskQuota* pQuota = nullptr) override;
    bool DeleteTask(std::int64_t nAccount, const std::string& strId) override;
    std::optional<std::vector<std::string>> ListTasks(std::int64_t nAccount) override;
    std::optional<StoredTask> LoadTask(std::int64_t nAccount, const std::string& strId) override;

    std::optional<std::vector<StoredTaskVersion>> ListTaskVersions(std::int64_t nAccount) override;
    // Runners asking at once are not made to wait for each other: each
    // skips the leases another is granting at that moment and takes the
    // next free tasks (SELECT ... FOR UPDATE SKIP LOCKED).
    std::optional<std::vector<StoredLease>> LeaseTasks(std::int64_t nAccount, const std::string& strHolder, int nWant,
                                                       std::int64_t nNowMs, std::int64_t nTtlMs) override;
    bool LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId, std::int64_t nNowMs,
                   std::int64_t nTtlMs, std::optional<StoredLease>& granted) override;
    std::optional<std::vector<StoredLease>> RenewLeases(std::int64_t nAccount, const std::string& strHolder,
                                                        const std::vector<StoredLease>& aHeld, std::int64_t nNowMs,
                                                        std::int64_t nTtlMs) override;
    bool ReleaseLease(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                      std::int64_t nFence) override;

    std::unique_ptr<ILoginThrottle> MakeSharedThrottle(const std::string& strKind, int nFreeFailures,
                                                       std::int64_t nBaseSeconds, std::int64_t nMaxSeconds) override;

    std::string GetLastError() override;

    // A connection of the pool; empty before Open() or when none can be made.
    CPgPool::CLease Acquire();

private:
    const int m_nConnections;
    std::unique_ptr<CPgPool> m_pPool;  // Made by Open().
};

} // namespace quarvex
