// StoreDbApi.h - what the task store keeps, whatever holds it: accounts,
// sessions, tasks and, where several store servers share one database, the
// login throttle. CStoreDb keeps it in an SQLite file, CStoreDbPg in
// PostgreSQL; OpenStoreDb picks by the name given on the command line.
#pragma once

#include <cstdint>
#include <memory>
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

// Counts login failures per key (an account name or a client address) and
// locks a key out for a time that doubles with every failure past the free
// ones. Callers on several threads share one; it takes its own lock.
class ILoginThrottle {
public:
    virtual ~ILoginThrottle() = default;
    // True when the key may try a password at nNow.
    virtual bool IsAllowed(const std::string& strKey, std::int64_t nNow) = 0;
    // Checks and counts in one step: when the key may try at nNow, counts
    // the attempt as a failure in advance and returns true. Parallel
    // attempts thus see each other: no more of them pass than one after
    // another would.
    virtual bool Reserve(const std::string& strKey, std::int64_t nNow) = 0;
    // Takes back one reserved attempt that turned out not to be a failure;
    // a lock-out it caused is lifted when the remaining failures are free.
    virtual void CancelReservation(const std::string& strKey) = 0;
    virtual void RecordFailure(const std::string& strKey, std::int64_t nNow) = 0;
    // Forgets every failure of the key.
    virtual void RecordSuccess(const std::string& strKey) = 0;
};

class IStoreDb {
public:
    virtual ~IStoreDb() = default;

    // Opens or creates the database and its tables; strError says why not.
    virtual bool Open(const std::string& strWhere, std::string& strError) = 0;

    // Account names compare without regard to ASCII letter case.
    // AddAccount fails when the name is taken.
    virtual bool AddAccount(const std::string& strName, const std::string& strHash) = 0;
    virtual bool SetPasswordHash(const std::string& strName, const std::string& strHash) = 0;
    // Removes the account with its sessions and tasks; false when unknown.
    virtual bool DeleteAccount(const std::string& strName) = 0;
    virtual std::optional<StoreAccount> FindAccount(const std::string& strName) = 0;
    // The id of the account, created without a password when missing.
    virtual std::optional<std::int64_t> EnsureAccount(const std::string& strName) = 0;

    // Sessions are kept by a hash of their token, never the token itself.
    // AddSession also drops the account's sessions idle since nIdleBefore and
    // all but the newest nKeep.
    virtual bool AddSession(const std::string& strTokenHash, std::int64_t nAccount, std::int64_t nNow,
                            std::int64_t nIdleBefore, int nKeep) = 0;
    // The account of a session used since nIdleBefore; marks it used at nNow
    // (written at most once a minute). An idle session is deleted.
    virtual std::optional<std::int64_t> UseSession(const std::string& strTokenHash, std::int64_t nNow,
                                                   std::int64_t nIdleBefore) = 0;

    // With pQuota, false when the account would hold more than it allows;
    // the check and the write are one step, so parallel saves cannot pass
    // the limit together.
    virtual bool AddTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task, std::int64_t nNow,
                         const TaskQuota* pQuota = nullptr) = 0;
    // False when the account holds no task with this id, or when the new
    // text would take it past pQuota.
    virtual bool UpdateTask(std::int64_t nAccount, const std::string& strId, const StoredTask& task,
                            std::int64_t nNow, const TaskQuota* pQuota = nullptr) = 0;
    virtual bool DeleteTask(std::int64_t nAccount, const std::string& strId) = 0;
    // Ids in the order the tasks were added; nullopt on a database error.
    virtual std::optional<std::vector<std::string>> ListTasks(std::int64_t nAccount) = 0;
    virtual std::optional<StoredTask> LoadTask(std::int64_t nAccount, const std::string& strId) = 0;
    // The account's ids in the order the tasks were added, each with its
    // version: 1 when added (also for tasks stored before versions were
    // kept), one more with every successful update. nullopt on a database
    // error.
    virtual std::optional<std::vector<StoredTaskVersion>> ListTaskVersions(std::int64_t nAccount) = 0;

    // Leases. A task is held by at most one holder at a time; a lease whose
    // end passed (expires <= now) may be granted to anyone. Every grant of a
    // task gives it a fencing number one above the last one it ever had (the
    // first grant gets 1): numbers are kept per task id beyond a release,
    // beyond the task's deletion and beyond its account's. A lease counts
    // only while its task exists in the asking account; deleting a task (or
    // its account) ends its lease. Each call is one transaction; times are
    // milliseconds since the epoch.
    //
    // Grants up to nWant (0: none) of the account's tasks that nobody holds,
    // in the order they were added, to strHolder until nNowMs + nTtlMs.
    // Tasks the holder already holds unexpired are not granted again.
    // nullopt on a database error.
    virtual std::optional<std::vector<StoredLease>> LeaseTasks(std::int64_t nAccount, const std::string& strHolder,
                                                               int nWant, std::int64_t nNowMs,
                                                               std::int64_t nTtlMs) = 0;
    // Grants one task of the account: granted is left empty when there is no
    // such task or another holder has it unexpired. A task the holder holds
    // unexpired is renewed (same fencing number, end nNowMs + nTtlMs).
    // False on a database error.
    virtual bool LeaseTask(std::int64_t nAccount, const std::string& strHolder, const std::string& strId,
                           std::int64_t nNowMs, std::int64_t nTtlMs, std::optional<StoredLease>& granted) = 0;
    // Moves the end of each lease in aHeld (id and fencing number; the end
    // is ignored) that strHolder still has under that number to nNowMs +
    // nTtlMs, and returns those, in aHeld's order. A lease past its end that
    // nobody was granted since is still the holder's; one granted again (a
    // newer number), released, or whose task was deleted is left out.
    // nullopt on a database error.
    virtual std::optional<std::vector<StoredLease>> RenewLeases(std::int64_t nAccount,
                                                                const std::string& strHolder,
                                                                const std::vector<StoredLease>& aHeld,
                                                                std::int64_t nNowMs, std::int64_t nTtlMs) = 0;
    // Gives a lease up at once (the number stays with the task); false when
    // strHolder did not have the task under nFence, or on a database error.
    virtual bool ReleaseLease(std::int64_t nAccount, const std::string& strHolder,
                              const std::string& strId, std::int64_t nFence) = 0;

    // A login throttle kept in this database, shared by every store server
    // on it; null when one process serves the database and keeps its own
    // throttle in memory. strKind keeps apart the throttles of one database.
    virtual std::unique_ptr<ILoginThrottle> MakeSharedThrottle(const std::string& /*strKind*/, int /*nFreeFailures*/,
                                                               std::int64_t /*nBaseSeconds*/,
                                                               std::int64_t /*nMaxSeconds*/)
    {
        return nullptr;
    }

    // The last database error message, for the log.
    virtual std::string GetLastError() = 0;
};

// True when strWhere names a PostgreSQL database (a postgresql:// or
// postgres:// URI) rather than an SQLite file; defined beside the libpq
// helpers (engine/db/PgConnection).
bool IsPostgresUri(const std::string& strWhere);
// An unopened database for strWhere: PostgreSQL for such a URI, else the
// SQLite file.
std::unique_ptr<IStoreDb> MakeStoreDb(const std::string& strWhere);

} // namespace quarvex
