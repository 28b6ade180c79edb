// GuardedHttpServer.h - cpp-httplib's request handling behind an accept loop
// and connection threads of our own. The library's loop hands a connection to
// a pool thread before anyone knows who sent it, and lets a client spend
// minutes on one header; the store faces the open network, so here one client
// address may hold only a few connections, a request header must arrive whole
// within seconds, and no read or write waits on a silent peer for long.
#pragma once

#include "platform/Event.h"

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

struct sockaddr;

namespace quarvex {

struct ConnectionLimits {
    int nThreads = 64;           // connections served at once
    int nPerAddress = 16;        // connections one client address may have open
    int nMaxOpen = 512;          // connections open in all, served or waiting
    int nHeaderSeconds = 5;      // from a request's first byte to the end of its header
    int nExchangeSeconds = 120;  // for its body, and again for the reply
    int nStallSeconds = 10;      // the longest a body read or a reply write may make no progress
    int nIdleSeconds = 5;        // a kept-alive connection's wait for its next request
    std::size_t nMaxHeaderBytes = 64 * 1024;
    // Addresses of the proxies in front of the server. Behind a proxy every
    // client comes from the proxy's address, so its connections count in
    // the total only, and each request it passes on counts against the
    // client that X-Forwarded-For names instead (the request's remote_addr
    // becomes that client's key). From anyone else the header is ignored.
    std::vector<std::string> aTrustedProxies;
};

// Counts open connections per client key and in all; thread-safe.
class CConnectionGate {
public:
    CConnectionGate(int nPerKey, int nTotal);
    // Counts the connection and returns true when neither its key nor the
    // total is at its limit; false, counting nothing, otherwise.
    bool Enter(const std::string& strKey);
    void Leave(const std::string& strKey);
    // A connection that many clients share (a trusted proxy's): counted in
    // the total only.
    bool EnterShared();
    void LeaveShared();
    // A request passed on by a trusted proxy: counted against its client's
    // key only, the connection being counted already.
    bool EnterRequest(const std::string& strKey);
    void LeaveRequest(const std::string& strKey);

private:
    const int m_nPerKey;
    const int m_nTotal;
    std::mutex m_mutex;
    std::unordered_map<std::string, int> m_mapOpen;
    int m_nOpen = 0;
};

// What a client is counted by: its IPv4 address, or the /64 network of an
// IPv6 one, since a single subscriber may pick any address in a /64.
// Returns an empty text for other families.
std::string ClientKeyOf(const sockaddr* pAddr);
// The same for an address written as text; empty when the text is none.
std::string ClientKeyOfText(std::string_view strAddress);
// An IPv4 or IPv6 address written as inet_ntop writes it (an IPv4-mapped
// IPv6 address as IPv4). Brackets and a port ("[2001:db8::1]:443",
// "192.0.2.1:80") and blanks around it are taken off. Empty when the text
// is not an address.
std::string NormaliseAddress(std::string_view strText);
// The key of the client for whom a trusted proxy passed a request on: the
// rightmost address of X-Forwarded-For that is not itself a trusted proxy
// (each proxy appends the address it was reached from, so entries further
// left are the client's own claims). strProxyKey when the header is
// missing or its rightmost entry is not an address.
std::string ForwardedClientKey(std::string_view strForwardedFor, const std::vector<std::string>& aTrusted,
                               const std::string& strProxyKey);

class CGuardedHttpServer : public httplib::Server {
public:
    explicit CGuardedHttpServer(const ConnectionLimits& limits);
    ~CGuardedHttpServer() override;

    // Starts the accept thread and the connection threads once
    // bind_to_port() or bind_to_any_port() succeeded.
    bool StartServing(std::string& strError);
    // Refuses new connections, ends every wait for a request, lets a reply
    // being written finish, and joins every thread. Harmless twice.
    void StopServing();

private:
    struct Pending {
        int hSocket = -1;
        std::string strKey;
        bool bProxy = false;  // from a trusted proxy: counted with EnterShared()
    };
    void AcceptLoop();
    void WorkerLoop();
    void Serve(int hSocket, const std::string& strKey, bool bProxy);
    void Leave(const Pending& pending);

    const ConnectionLimits m_limits;
    std::vector<std::string> m_aTrusted;  // m_limits.aTrustedProxies normalised
    CConnectionGate m_gate;
    CEvent m_stop;  // Set once by StopServing(); every wait of ours watches it.
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Pending> m_queue;  // Accepted, not yet taken by a thread; each socket owned here.
    bool m_bStopping = false;
    std::thread m_acceptThread;
    std::vector<std::thread> m_aWorkers;
};

} // namespace quarvex
