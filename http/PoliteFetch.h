// PoliteFetch.h - one exchange done the way a task must do it at scale: it
// asks robots.txt first when the task wants that, retries passing failures
// with growing delays, and lets a stop request end every wait at once.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class CEvent;
class CHttpSession;

struct SFetchPolicy {
    const CEvent* pStop = nullptr;  // Ends every wait; may be null.
    bool bHostTurns = true;         // Requests take turns at their host.
    int nRetries = 0;               // Tries after the first for passing failures.
    int nRetryDelayS = 0;           // First retry delay; 0 reads as 1.
    bool bRobots = false;           // Honour robots.txt.
    // When the next pass is due; retries never wait past it.
    bool bHasNextPass = false;
    std::chrono::steady_clock::time_point tNextPass;
    // Where the log lines go (retries, robots); called from any fetching
    // thread, so it must be safe for that. May be empty.
    std::function<void(const std::string&)> fnLog;
};

// The policy of the fetches this thread makes now (linked pages and files
// are fetched deep below the pass that knows it); null when none was set.
const SFetchPolicy* CurrentFetchPolicy();

// Makes pPolicy this thread's current policy until the scope ends.
class CFetchPolicyScope
{
public:
    explicit CFetchPolicyScope(const SFetchPolicy* pPolicy);
    ~CFetchPolicyScope();
    CFetchPolicyScope(const CFetchPolicyScope&) = delete;
    CFetchPolicyScope& operator=(const CFetchPolicyScope&) = delete;

private:
    const SFetchPolicy* m_pPrevious;
};

enum EPoliteResult {
    POLITE_DONE,       // the exchange succeeded
    POLITE_FAILED,     // it failed for good (the session says why)
    POLITE_STOPPED,    // a stop request ended it
    POLITE_FORBIDDEN,  // robots.txt does not allow the address
    POLITE_NEXT_PASS,  // the server asked for a wait beyond the next pass
};

// Sets up session from pPolicy (host turns, stop event) and runs
// fnExchange, which starts the request for strUrl on session and waits for
// it (with WaitStoppable, or its own stop-aware wait). Then the retries.
// pPolicy null: one plain exchange.
EPoliteResult PoliteExchange(CHttpSession& session, const std::string& strUrl, const SFetchPolicy* pPolicy,
                             const std::function<void()>& fnExchange);

// Waits for session's exchange; a set pStop stops it (the exchange ends with
// -12) within a tenth of a second. False when stopped.
bool WaitStoppable(CHttpSession& session, const CEvent* pStop);

// The value of the header line strName of the session's last response;
// empty when there is none.
std::string ResponseHeaderValue(const CHttpSession& session, const std::string& strName);
