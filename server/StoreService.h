// StoreService.h - what the task store answers, apart from HTTP: the five
// operations the client posts, and the administration of accounts. The
// blob cipher protects nothing (its key travels with it); who may read or
// change a task is decided by the session token alone.
#pragma once

#include "LoginThrottle.h"
#include "StoreDbApi.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quarvex {

using StoreForm = std::map<std::string, std::string>;

struct StoreOptions {
    std::int64_t nSessionIdleSeconds = 30 * 24 * 3600;
    int nSessionsPerAccount = 64;
    // Argon2id cost; the memory is taken once per concurrent hash, and at
    // most nConcurrentHashes run at a time.
    unsigned long long nPwOpsLimit = 2;
    std::size_t nPwMemLimit = 19 * 1024 * 1024;
    int nConcurrentHashes = 4;
    // Login failures: free tries per account name and per client address,
    // then lock-outs that double from nLockBaseSeconds to nLockMaxSeconds.
    int nNameFreeFailures = 5;
    int nAddressFreeFailures = 20;
    std::int64_t nLockBaseSeconds = 2;
    std::int64_t nLockMaxSeconds = 900;
    // Connections (when served on HTTP): how many one client address may
    // hold open, how many may be open in all, and the seconds a request
    // header may take from its first byte to its end.
    int nConnectionsPerAddress = 16;
    int nMaxConnections = 512;
    int nHeaderSeconds = 5;
    // Proxies in front of the store (IPv4 or IPv6 addresses): for their
    // connections the client's address, for the caps per address and the
    // login throttle, is taken from X-Forwarded-For.
    std::vector<std::string> aTrustedProxies;
    // What one account may keep, far beyond what any user's definitions
    // take: saves past either limit are answered FAILED.
    std::int64_t nMaxTasksPerAccount = 10000;
    std::int64_t nMaxBytesPerAccount = 1024LL * 1024 * 1024;
    // Seconds since the epoch; tests move it to age sessions.
    std::function<std::int64_t()> fnNow;
    // Milliseconds since the epoch, for leases; when unset, fnNow (when
    // set) times 1000, else the system clock.
    std::function<std::int64_t()> fnNowMs;
};

class CStoreService {
public:
    // The reply of every refused or failed operation: shorter than any
    // success reply the client accepts.
    static constexpr const char* FAILED = "failed";
    // The reply to a list request for an account without tasks.
    static constexpr const char* EMPTY_LIST = "empty";
    // The account whose tasks anyone may list and load.
    static constexpr const char* EXAMPLE_ACCOUNT = "example";

    explicit CStoreService(StoreOptions options = StoreOptions());
    CStoreService(const CStoreService&) = delete;
    CStoreService& operator=(const CStoreService&) = delete;

    // strDbPath is an SQLite file or a postgresql:// URI; on PostgreSQL the
    // login throttle is kept in the database, so that every store server on
    // it counts the same failures.
    bool Open(const std::string& strDbPath, std::string& strError);

    // Bounds of the lease requests: what a client asks beyond them is
    // clamped (want, ttl) or refused (holder, renewal list).
    static constexpr int LEASE_MAX_WANT = 1000;
    static constexpr int LEASE_MIN_TTL = 1;
    static constexpr int LEASE_MAX_TTL = 3600;
    static constexpr std::size_t LEASE_MAX_HOLDER = 64;
    static constexpr std::size_t LEASE_MAX_RENEW = 1000;

    // The five requests, and those for versions and leases, by their decoded
    // form fields; each returns the reply body. Safe to call from several
    // threads at once.
    std::string Login(const StoreForm& form, const std::string& strAddress);
    std::string ListTasks(const StoreForm& form);
    std::string LoadTask(const StoreForm& form);
    std::string SaveTask(const StoreForm& form);
    std::string DeleteTask(const StoreForm& form);
    // udata1 token (or "example"): "ID:VERSION#" for every task, "empty", or "failed".
    std::string ListTaskVersions(const StoreForm& form);
    // udata1 token, udata2 holder, udata3 want, udata4 ttl seconds, udata5
    // one task id (optional; want is then ignored): "ID:FENCE:TTL#" for
    // every grant, "empty" for none, or "failed".
    std::string LeaseTasks(const StoreForm& form);
    // udata1 token, udata2 holder, udata3 ttl seconds, udata4 "ID:FENCE#"
    // for each lease held: "ID:FENCE:TTL#" for those still held, "empty", or
    // "failed".
    std::string RenewLeases(const StoreForm& form);
    // udata1 token, udata2 holder, udata3 id, udata4 fence: "ok" or "failed".
    std::string ReleaseLease(const StoreForm& form);

    // Administration; strError says why a call failed.
    bool AddUser(const std::string& strName, const std::string& strPassword, std::string& strError);
    bool SetPassword(const std::string& strName, const std::string& strPassword, std::string& strError);
    bool DeleteUser(const std::string& strName, std::string& strError);
    // Stores a definition text as a new example task; its id, or nullopt.
    // An example with the same text already stored is kept once: its id is
    // returned and *pbAdded (when given) says false.
    std::optional<std::string> AddExample(const std::string& strText, bool* pbAdded = nullptr);

    IStoreDb& GetDb() { return *m_pDb; }

private:
    std::int64_t Now() const;
    std::int64_t NowMs() const;
    std::optional<std::string> HashPassword(const std::string& strPassword);
    bool VerifyPassword(const std::string& strHash, const std::string& strPassword);
    // The account of a valid session token; nullopt for unknown or idle ones.
    std::optional<std::int64_t> AccountOfToken(const std::string& strToken);
    std::optional<std::int64_t> ExampleAccount();

    // Bounds the memory that concurrent Argon2id hashes take.
    void AcquireHashSlot();
    void ReleaseHashSlot();

    StoreOptions m_options;
    std::unique_ptr<IStoreDb> m_pDb;  // Never null; an unopened SQLite file before Open().
    std::unique_ptr<ILoginThrottle> m_pNameThrottle;
    std::unique_ptr<ILoginThrottle> m_pAddressThrottle;
    std::string m_strDummyHash;  // Verified for unknown names, so they take as long as known ones.
    // Hash slots are handed out first come, first served: ticket n may run
    // once fewer than m_nHashSlots tickets before it are unfinished, so a
    // burst of logins cannot starve one of them.
    std::mutex m_hashMutex;
    std::condition_variable m_hashCv;
    const std::uint64_t m_nHashSlots;
    std::uint64_t m_nTicketsIssued = 0;
    std::uint64_t m_nTicketsDone = 0;
};

// Random texts of the store: a 32-character session token, the 47-character
// login reply that carries it at the positions the client reads, and a
// braced upper-case GUID for a new task.
std::string MakeSessionToken();
std::string MakeLoginReply(const std::string& strToken);
std::string MakeTaskId();

} // namespace quarvex
