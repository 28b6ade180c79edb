// TaskLeases.h - the desktop application's leases on its tasks in the task
// store, so that a task runs in one place at a time: here, or on a runner.
// A lease is taken when a task starts, renewed every third of its length on
// a thread of its own, and given back when the task stops. No Qt here: the
// application is told of a lost lease through a callback from that thread.
#pragma once

#include "store/StoreClient.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarvex {

class CTaskLeases {
public:
    enum class EGrant {
        GRANTED,      // Held here until Release or loss.
        NO_LEASES,    // The store does not know leases (an older store): run as before.
        ELSEWHERE,    // Another holder has the task: do not run it.
        UNREACHABLE,  // The store could not be asked: do not run it, a runner may have it.
    };
    using LostFn = std::function<void(const std::string& strId)>;

    // store: a logged-in client, copied (each thread asks on its own copy).
    // fnLost runs on the renewal thread for a lease that another holder took
    // or that ran out without a renewal; the task must stop.
    CTaskLeases(const CStoreClient& store, std::string strHolder, int nTtlSeconds, LostFn fnLost);
    // Gives back every lease still held (each exchange bounded) and ends the thread.
    ~CTaskLeases();
    CTaskLeases(const CTaskLeases&) = delete;
    CTaskLeases& operator=(const CTaskLeases&) = delete;

    // Asks the store for the task; blocks for one exchange (call it off the
    // GUI thread). A task held here already is asked again, which renews it.
    EGrant Acquire(const std::string& strId);
    // Gives the task back; returns at once, the renewal thread tells the store.
    void Release(const std::string& strId);
    bool Holds(const std::string& strId) const;
    const std::string& GetHolder() const { return m_strHolder; }
    int GetTtlSeconds() const { return m_nTtlSeconds; }

    // "desktop:<host>:<pid>", in the characters a holder name may use.
    static std::string MakeHolderName();

private:
    struct SHeld {
        StoreLease lease;
        std::int64_t nRenewedMs = 0;  // Monotonic time of the grant or the last renewal.
    };

    void ThreadMain();
    void RenewAll();
    static std::int64_t NowMs();

    const CStoreClient m_base;  // Copied for every exchange; never used itself.
    const std::string m_strHolder;
    const int m_nTtlSeconds;
    const LostFn m_fnLost;

    // Exchanges with the store one at a time, so that a release never
    // overtakes a later grant of the same task.
    std::mutex m_callMutex;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::string, SHeld> m_held;
    std::vector<StoreLease> m_aToRelease;
    bool m_bQuit = false;
    std::thread m_thread;
};

} // namespace quarvex
