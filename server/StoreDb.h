// StoreDb.h - the store's SQLite file: accounts, sessions and tasks. One
// connection, used by one caller at a time under m_mutex; the file runs in
// WAL mode with full syncing, so a task whose id was answered survives the
// process being killed.
#pragma once

#include "StoreDbApi.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quarvex {

class CStoreDb : public IStoreDb {
public:
    CStoreDb() = default;
    CStoreDb(const CStoreDb&) = delete;
    CStoreDb& operator=(const CStoreDb&) = delete;

    // Opens or creates the file and its tables; strError says why not.
    bool Open(const std::string& strPath, std::string& strError) override;

    // Account names compare without regard to ASCII letter case.
    // AddAccount fails when the name is taken.
    bool AddAccount(const std::string& strName, const std::string& strHash) override;
    bool SetPasswordHash(const std::string& strName, const std::string& strHash) override;
    // Removes the account with its sessions and tasks; false when unknown.
    bool DeleteAccount(const std::string& strName) override;
    std::optional<StoreAccount> FindAccount(const std::string& strName) override;
    // The id of the account, created without a password when missing.
    std::optional<std::int64_t> EnsureAccount(const std::string& strName) override;

    // Sessions are kept by a hash of their token, never the token itself.
    // AddSession also drops the account's sessions idle since nIdleBefore and
    // all but the newest nKeep.
    bool AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                    std::int64_t nIdleBefore, int nKeep) override;
    // The account of a session used since nIdleBefore; marks it used at nNow
    // (written at most once a minute). An idle session is deleted.
    std::optional<std::int64_t> UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                           std::int64_t nIdleBefore) override;

    // With pQuota, false when the account would hold more than it allows;
    // the check and the write are one step, so parallel saves cannot pass
    // the limit together.
    bool AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                 const TaskQuota* pQuota = nullptr) override;
    // False when the account holds no task with this id, or when the new
    // text would take it past pQuota.
    bool UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                    const TaskQuota* pQuota = nullptr) override;
    bool DeleteTask(std::int64_t nAccount, const std::string& strId) override;
    // Ids in the order the tasks were added; nullopt on a database error.
    std::optional<std::vector<std::string>> ListTasks(std::int64_t nAccount) override;
    std::optional<StoredTask> LoadTask(std::int64_t nAccount, const std::string& strId) override;
    std::optional<std::vector<StoredTaskVersion>> ListTaskVersions(std::int64_t nAccount) override;
    std::optional<std::vector<StoredLease>> LeaseTasks(std::int64_t nAccount, const std::string& strHolder,
                                                       int nWant, std::int64_t nNowMs, std::int64_t nTtlMs) override;
    bool LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                   std::int64_t nNowMs, std::int64_t nTtlMs, std::optional<StoredLease>& granted) override;
    std::optional<std::vector<StoredLease>> RenewLeases(std::int64_t nAccount, const std::string& strHolder,
                                                        const std::vector<StoredLease>& aHeld, std::int64_t nNowMs,
                                                        std::int64_t nTtlMs) override;
    bool ReleaseLease(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                      std::int64_t nFence) override;

    // The last SQLite error message, for the log.
    std::string GetLastError() override;

private:
    struct DbClose {
        void operator()(sqlite3* p) const { sqlite3_close_v2(p); }
    };
    class CStatement;

    bool Exec(const char* pszSql);
    // Gives a file made before tasks had a size column one, filled in.
    bool AddSizeColumn();
    // Gives a file made before tasks had versions a version column (1).
    bool AddVersionColumn();
    // Grants the task (which exists) to strHolder under a fresh fencing
    // number; inside a transaction.
    std::optional<StoredLease> GrantLocked(const std::string& strId, const std::string& strHolder,
                                           std::int64_t nExpiresMs);
    // The account's task count and bytes; false on a database error.
    bool GetUsage(std::int64_t nAccount, std::int64_t& nTasks, std::int64_t& nBytes);
    // Runs a statement that returns no rows; the number of changed rows in
    // *pnChanges when given.
    bool Run(CStatement& stmt, int* pnChanges = nullptr);

    std::mutex m_mutex;
    std::unique_ptr<sqlite3, DbClose> m_pDb;
};

} // namespace quarvex
