// StoreDb.h - the store's SQLite file: accounts, sessions and tasks. One
// connection, used by one caller at a time under m_mutex; the file runs in
// WAL mode with full syncing, so a task whose id was answered survives the
// process being killed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quarvex {

struct StoreAccount {
    std::int64_t nId = 0;
    std::string strPasswordHash;  // Argon2id string; empty: no login allowed.
};

struct StoredTask {
    std::string strKey;
    std::string strBlob;  // Base-32 text as the client sent it.
};

// A task id with the number that grows whenever the task is saved.
struct StoredTaskVersion {
    std::string strId;
    std::int64_t nVersion = 0;
};

// A lease as the database keeps it: the task, its fencing number and when
// the lease ends (milliseconds since the epoch).
struct StoredLease {
    std::string strId;
    std::int64_t nFence = 0;
    std::int64_t nExpiresMs = 0;
};

// What one account may keep: tasks, and bytes of keys and blobs together.
struct TaskQuota {
    std::int64_t nMaxTasks = 0;
    std::int64_t nMaxBytes = 0;
};

class CStoreDb {
public:
    CStoreDb() = default;
    CStoreDb(const CStoreDb&) = delete;
    CStoreDb& operator=(const CStoreDb&) = delete;

    // Opens or creates the file and its tables; strError says why not.
    bool Open(const std::string& strPath, std::string& strError);

    // Account names compare without regard to ASCII letter case.
    // AddAccount fails when the name is taken.
    bool AddAccount(const std::string& strName, const std::string& strHash);
    bool SetPasswordHash(const std::string& strName, const std::string& strHash);
    // Removes the account with its sessions and tasks; false when unknown.
    bool DeleteAccount(const std::string& strName);
    std::optional<StoreAccount> FindAccount(const std::string& strName);
    // The id of the account, created without a password when missing.
    std::optional<std::int64_t> EnsureAccount(const std::string& strName);

    // Sessions are kept by a hash of their token, never the token itself.
    // AddSession also drops the account's sessions idle since nIdleBefore and
    // all but the newest nKeep.
    bool AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                    std::int64_t nIdleBefore, int nKeep);
    // The account of a session used since nIdleBefore; marks it used at nNow
    // (written at most once a minute). An idle session is deleted.
    std::optional<std::int64_t> UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                           std::int64_t nIdleBefore);

    // With pQuota, false when the account would hold more than it allows;
    // the check and the write are one step, so parallel saves cannot pass
    // the limit together.
    bool AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                 const TaskQuota* pQuota = nullptr);
    // False when the account holds no task with this id, or when the new
    // text would take it past pQuota.
    bool UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                    const TaskQuota* pQuota = nullptr);
    bool DeleteTask(std::int64_t nAccount, const std::string& strId);
    // Ids in the order the tasks were added; nullopt on a database error.
    std::optional<std::vector<std::string>> ListTasks(std::int64_t nAccount);
    std::optional<StoredTask> LoadTask(std::int64_t nAccount, const std::string& strId);
    // The account's ids in the order the tasks were added, each with its
    // version (1 when added, one more with every update); nullopt on a
    // database error.
    std::optional<std::vector<StoredTaskVersion>> ListTaskVersions(std::int64_t nAccount);

    // Leases. A task is held by at most one holder at a time; a lease whose
    // end passed may be granted to anyone. Every grant of a task gives it a
    // fencing number one above the last one it ever had: the numbers are
    // kept per task id beyond a release and beyond the task's deletion. Each
    // call is one transaction; times are milliseconds since the epoch.
    //
    // Grants up to nWant of the account's tasks that nobody holds, in the
    // order they were added, to strHolder until nNowMs + nTtlMs. Tasks the
    // holder already holds are not granted again. nullopt on a database error.
    std::optional<std::vector<StoredLease>> LeaseTasks(std::int64_t nAccount, const std::string& strHolder,
                                                       int nWant, std::int64_t nNowMs, std::int64_t nTtlMs);
    // Grants one task of the account: granted is empty when there is no such
    // task or another holder has it. A task the holder has already is
    // renewed (same fencing number, new end). False on a database error.
    bool LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                   std::int64_t nNowMs, std::int64_t nTtlMs, std::optional<StoredLease>& granted);
    // Moves the end of each lease (id and fencing number) that strHolder
    // still has to nNowMs + nTtlMs; returns those renewed. A lease that
    // passed its end but was granted to nobody else since is still the
    // holder's; one granted again (a newer fence), released, or whose task
    // was deleted is missing. nullopt on a database error.
    std::optional<std::vector<StoredLease>> RenewLeases(std::int64_t nAccount, const std::string& strHolder,
                                                        const std::vector<StoredLease>& aHeld, std::int64_t nNowMs,
                                                        std::int64_t nTtlMs);
    // Gives a lease up at once; false when strHolder did not have the task
    // under nFence (or on a database error).
    bool ReleaseLease(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                      std::int64_t nFence);

    // The last SQLite error message, for the log.
    std::string GetLastError();

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
