// GuardedHttpServer.cpp - accepting, counting and serving connections with
// deadlines; the library parses requests and writes replies through our
// stream.
#include "GuardedHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace quarvex {

namespace {

using Clock = std::chrono::steady_clock;

// The answer to a connection beyond its address's share: the store's own
// failure text, so a client reads it as any other refusal.
const char s_szBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n"
    "Connection: close\r\n\r\nfailed";

// One connection as the library sees it. Reads are buffered, and every wait
// ends at the deadline of the request's current part: the header, then the
// body, then the reply. Written by one connection thread only.
class CConnectionStream : public httplib::Stream {
public:
    CConnectionStream(int hSocket, const std::string& strKey, int nPort, const CEvent& stop,
                      const ConnectionLimits& limits)
        : m_hSocket(hSocket), m_strKey(strKey), m_nPort(nPort), m_stop(stop), m_limits(limits)
    {
    }

    // True once a byte of a next request is waiting (or the peer closed,
    // which the library then reads); false when the client stayed quiet for
    // the idle time or the server stops.
    bool WaitForRequest()
    {
        if (m_stop.IsSet())
            return false;
        if (m_nBegin < m_nEnd)
            return true;
        return WaitForAny({ &m_stop }, m_limits.nIdleSeconds * 1000, m_hSocket, POLLIN) == WAIT_SOCKET;
    }
    void BeginHeader()
    {
        m_nPhase = PHASE_HEADER;
        m_bHeaderComplete = false;
        m_nHeaderBytes = 0;
        m_tDeadline = Clock::now() + std::chrono::seconds(m_limits.nHeaderSeconds);
    }
    // Called by the library once the header is read and parsed.
    void BeginBody()
    {
        m_nPhase = PHASE_BODY;
        m_tDeadline = Clock::now() + std::chrono::seconds(m_limits.nExchangeSeconds);
    }
    // Whether the request whose reply was written last had a whole header.
    bool HeaderWasComplete() const { return m_bHeaderComplete; }

    bool is_readable() const override
    {
        return m_nBegin < m_nEnd || Wait(POLLIN) == WAIT_SOCKET;
    }
    bool is_writable() const override { return Wait(POLLOUT) == WAIT_SOCKET; }

    ssize_t read(char* pData, size_t nSize) override
    {
        if (m_nBegin == m_nEnd) {
            const ssize_t nFilled = Fill();
            if (nFilled <= 0)
                return nFilled;
        }
        const std::size_t n = std::min(nSize, m_nEnd - m_nBegin);
        if (m_nPhase == PHASE_HEADER) {
            // Lines are kept whole by the library, and it counts neither
            // them nor their number: the bytes of one header are bounded here.
            m_nHeaderBytes += n;
            if (m_nHeaderBytes > m_limits.nMaxHeaderBytes)
                return -1;
        }
        std::memcpy(pData, m_aBuffer + m_nBegin, n);
        m_nBegin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* pData, size_t nSize) override
    {
        if (m_nPhase != PHASE_REPLY) {
            m_bHeaderComplete = m_nPhase == PHASE_BODY;
            m_nPhase = PHASE_REPLY;
            m_tDeadline = Clock::now() + std::chrono::seconds(m_limits.nExchangeSeconds);
        }
        for (;;) {
            const ssize_t nSent = ::send(m_hSocket, pData, nSize, MSG_NOSIGNAL);
            if (nSent >= 0)
                return nSent;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            if (Wait(POLLOUT) != WAIT_SOCKET)
                return -1;
        }
    }

    void get_remote_ip_and_port(std::string& strIp, int& nPort) const override
    {
        strIp = m_strKey;
        nPort = m_nPort;
    }
    void get_local_ip_and_port(std::string& strIp, int& nPort) const override
    {
        sockaddr_storage addr{};
        socklen_t nLen = sizeof(addr);
        strIp.clear();
        nPort = 0;
        if (getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
            return;
        char szText[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto& in4 = reinterpret_cast<const sockaddr_in&>(addr);
            inet_ntop(AF_INET, &in4.sin_addr, szText, sizeof(szText));
            nPort = ntohs(in4.sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
            inet_ntop(AF_INET6, &in6.sin6_addr, szText, sizeof(szText));
            nPort = ntohs(in6.sin6_port);
        }
        strIp = szText;
    }
    socket_t socket() const override { return m_hSocket; }

private:
    enum { PHASE_IDLE, PHASE_HEADER, PHASE_BODY, PHASE_REPLY };

    // Waits for the socket until the current deadline, and in the body and
    // the reply no longer than the stall limit at a time. Reads also end
    // when the server stops; a reply under way is let finish.
    int Wait(short nEvents) const
    {
        const auto tNow = Clock::now();
        if (tNow >= m_tDeadline)
            return WAIT_TIMEOUT;
        auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_tDeadline - tNow).count() + 1;
        if (m_nPhase != PHASE_HEADER)
            nMs = std::min<long long>(nMs, m_limits.nStallSeconds * 1000LL);
        const CEvent* pStop = nEvents == POLLIN ? &m_stop : nullptr;
        return WaitForAny({ pStop }, static_cast<int>(nMs), m_hSocket, nEvents);
    }

    // Refills the empty buffer: the count read, 0 when the peer closed, -1
    // on an error, a deadline or a stop.
    ssize_t Fill()
    {
        for (;;) {
            const ssize_t nRead = recv(m_hSocket, m_aBuffer, sizeof(m_aBuffer), 0);
            if (nRead >= 0) {
                m_nBegin = 0;
                m_nEnd = static_cast<std::size_t>(nRead);
                return nRead;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            if (Wait(POLLIN) != WAIT_SOCKET)
                return -1;
        }
    }

    const int m_hSocket;  // Owned by the connection thread that made this stream.
    const std::string m_strKey;
    const int m_nPort;
    const CEvent& m_stop;
    const ConnectionLimits& m_limits;
    int m_nPhase = PHASE_IDLE;
    bool m_bHeaderComplete = false;
    Clock::time_point m_tDeadline = Clock::now();
    std::size_t m_nHeaderBytes = 0;
    char m_aBuffer[4096];
    std::size_t m_nBegin = 0;
    std::size_t m_nEnd = 0;
};

// Set by the request setup on a request that a trusted proxy passed on for a
// client already at its share; the pre-routing handler answers it 503. A
// client's own header of this name is dropped first.
const char s_szRefusedHeader[] = "X-Quarvex-Refused";

// The whole peer address as text (not its /64), for matching proxies.
std::string AddressTextOf(const sockaddr* pAddr)
{
    char szText[INET6_ADDRSTRLEN] = {};
    if (pAddr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr, szText, sizeof(szText));
        return szText;
    }
    if (pAddr->sa_family != AF_INET6)
        return std::string();
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(pAddr)->sin6_addr, szText, sizeof(szText));
    return NormaliseAddress(szText);
}

// Fills addr from a normalised address text; false when it is none.
bool AddressFromText(const std::string& strAddress, sockaddr_storage& addr)
{
    addr = sockaddr_storage{};
    auto& in4 = reinterpret_cast<sockaddr_in&>(addr);
    if (inet_pton(AF_INET, strAddress.c_str(), &in4.sin_addr) == 1) {
        addr.ss_family = AF_INET;
        return true;
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
    if (inet_pton(AF_INET6, strAddress.c_str(), &in6.sin6_addr) == 1) {
        addr.ss_family = AF_INET6;
        return true;
    }
    return false;
}

int PortOf(const sockaddr* pAddr)
{
    if (pAddr->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(pAddr)->sin_port);
    if (pAddr->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(pAddr)->sin6_port);
    return 0;
}

} // namespace

CConnectionGate::CConnectionGate(int nPerKey, int nTotal)
    : m_nPerKey(std::max(nPerKey, 1)), m_nTotal(std::max(nTotal, 1))
{
}

bool CConnectionGate::Enter(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    if (m_nOpen >= m_nTotal)
        return false;
    int& nOpen = m_mapOpen[strKey];
    if (nOpen >= m_nPerKey)
        return false;
    ++nOpen;
    ++m_nOpen;
    return true;
}

void CConnectionGate::Leave(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapOpen.find(strKey);
    if (it == m_mapOpen.end())
        return;
    --m_nOpen;
    // Keys without connections are dropped, so the map holds open ones only.
    if (--it->second <= 0)
        m_mapOpen.erase(it);
}

bool CConnectionGate::EnterShared()
{
    std::lock_guard lock(m_mutex);
    if (m_nOpen >= m_nTotal)
        return false;
    ++m_nOpen;
    return true;
}

void CConnectionGate::LeaveShared()
{
    std::lock_guard lock(m_mutex);
    if (m_nOpen > 0)
        --m_nOpen;
}

bool CConnectionGate::EnterRequest(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    int& nOpen = m_mapOpen[strKey];
    if (nOpen >= m_nPerKey)
        return false;
    ++nOpen;
    return true;
}

void CConnectionGate::LeaveRequest(const std::string& strKey)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_mapOpen.find(strKey);
    if (it != m_mapOpen.end() && --it->second <= 0)
        m_mapOpen.erase(it);
}

std::string NormaliseAddress(std::string_view strText)
{
    while (!strText.empty() && (strText.front() == ' ' || strText.front() == '\t'))
        strText.remove_prefix(1);
    while (!strText.empty() && (strText.back() == ' ' || strText.back() == '\t'))
        strText.remove_suffix(1);
    if (strText.empty() || strText.size() > 64)
        return std::string();
    if (strText.front() == '[') {
        // "[v6]" or "[v6]:port"
        const std::size_t nClose = strText.find(']');
        if (nClose == std::string_view::npos)
            return std::string();
        strText = strText.substr(1, nClose - 1);
    } else if (std::count(strText.begin(), strText.end(), ':') == 1) {
        strText = strText.substr(0, strText.find(':'));  // "v4:port"
    }
    const std::string strAddress(strText);
    sockaddr_storage addr{};
    if (!AddressFromText(strAddress, addr))
        return std::string();
    char szText[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, szText, sizeof(szText));
        return szText;
    }
    const in6_addr& in6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&in6)) {
        in_addr addr4{};
        std::memcpy(&addr4, in6.s6_addr + 12, 4);
        inet_ntop(AF_INET, &addr4, szText, sizeof(szText));
        return szText;
    }
    inet_ntop(AF_INET6, &in6, szText, sizeof(szText));
    return szText;
}

std::string ClientKeyOfText(std::string_view strAddress)
{
    const std::string strNormal = NormaliseAddress(strAddress);
    sockaddr_storage addr{};
    if (strNormal.empty() || !AddressFromText(strNormal, addr))
        return std::string();
    return ClientKeyOf(reinterpret_cast<const sockaddr*>(&addr));
}

std::string ForwardedClientKey(std::string_view strForwardedFor, const std::vector<std::string>& aTrusted,
                               const std::string& strProxyKey)
{
    std::string strClient;
    // A long chain is cut off: no honest set-up has more than a few proxies.
    for (int i = 0; i < 32 && !strForwardedFor.empty(); ++i) {
        const std::size_t nComma = strForwardedFor.rfind(',');
        const std::string_view strEntry =
            nComma == std::string_view::npos ? strForwardedFor : strForwardedFor.substr(nComma + 1);
        strForwardedFor = nComma == std::string_view::npos ? std::string_view() : strForwardedFor.substr(0, nComma);
        const std::string strAddress = NormaliseAddress(strEntry);
        if (strAddress.empty())
            break;  // a client's own made-up entry ends the walk
        strClient = strAddress;
        if (std::find(aTrusted.begin(), aTrusted.end(), strAddress) == aTrusted.end())
            break;
    }
    if (strClient.empty())
        return strProxyKey;
    const std::string strKey = ClientKeyOfText(strClient);
    return strKey.empty() ? strProxyKey : strKey;
}

std::string ClientKeyOf(const sockaddr* pAddr)
{
    char szText[INET6_ADDRSTRLEN] = {};
    if (pAddr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr, szText, sizeof(szText));
        return szText;
    }
    if (pAddr->sa_family != AF_INET6)
        return std::string();
    in6_addr addr = reinterpret_cast<const sockaddr_in6*>(pAddr)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&addr)) {
        in_addr addr4{};
        std::memcpy(&addr4, addr.s6_addr + 12, 4);
        inet_ntop(AF_INET, &addr4, szText, sizeof(szText));
        return szText;
    }
    std::memset(addr.s6_addr + 8, 0, 8);
    inet_ntop(AF_INET6, &addr, szText, sizeof(szText));
    return std::string(szText) + "/64";
}

CGuardedHttpServer::CGuardedHttpServer(const ConnectionLimits& limits)
    : m_limits(limits), m_gate(limits.nPerAddress, limits.nMaxOpen)
{
    for (const std::string& strProxy : limits.aTrustedProxies) {
        const std::string strAddress = NormaliseAddress(strProxy);
        if (!strAddress.empty())
            m_aTrusted.push_back(strAddress);
    }
    set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!req.has_header(s_szRefusedHeader))
            return HandlerResponse::Unhandled;
        res.status = 503;
        res.set_header("Connection", "close");
        res.set_content("failed", "text/plain");
        return HandlerResponse::Handled;
    });
}

CGuardedHttpServer::~CGuardedHttpServer()
{
    StopServing();
}

bool CGuardedHttpServer::StartServing(std::string& strError)
{
    const int hListen = svr_sock_;
    if (hListen < 0 || m_acceptThread.joinable()) {
        strError = "not bound, or already serving";
        return false;
    }
    // The library listens with a backlog of five; a burst of clients would
    // be refused by the kernel before the accept loop could see them.
    ::listen(hListen, SOMAXCONN);
    // Non-blocking, so an accept after a connection was reset in between
    // cannot hang the loop past a stop.
    fcntl(hListen, F_SETFL, fcntl(hListen, F_GETFL) | O_NONBLOCK);
    const int nThreads = std::max(m_limits.nThreads, 1);
    for (int i = 0; i < nThreads; ++i)
        m_aWorkers.emplace_back([this] { WorkerLoop(); });
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CGuardedHttpServer::StopServing()
{
    m_stop.Set();
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_cv.notify_all();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread& worker : m_aWorkers)
        worker.join();
    m_aWorkers.clear();
    for (const Pending& pending : m_queue) {
        close(pending.hSocket);
        Leave(pending);
    }
    m_queue.clear();
    const int hListen = svr_sock_.exchange(-1);
    if (hListen >= 0)
        close(hListen);
}

void CGuardedHttpServer::AcceptLoop()
{
    const int hListen = svr_sock_;
    for (;;) {
        const int nWait = WaitForAny({ &m_stop }, -1, hListen, POLLIN);
        if (nWait == 0)
            return;
        sockaddr_storage addr{};
        socklen_t nLen = sizeof(addr);
        const int hSocket = nWait == WAIT_SOCKET
                                ? accept4(hListen, reinterpret_cast<sockaddr*>(&addr), &nLen,
                                          SOCK_NONBLOCK | SOCK_CLOEXEC)
                                : -1;
        if (hSocket < 0) {
            // Out of descriptors, or the wait itself failed: the listening
            // socket stays readable, so pause rather than spin.
            if (nWait != WAIT_SOCKET || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                                         errno != ECONNABORTED))
                m_stop.Wait(10);
            continue;
        }
        const std::string strKey = ClientKeyOf(reinterpret_cast<const sockaddr*>(&addr));
        const bool bProxy =
            !m_aTrusted.empty() && std::find(m_aTrusted.begin(), m_aTrusted.end(),
                                             AddressTextOf(reinterpret_cast<const sockaddr*>(&addr))) != m_aTrusted.end();
        if (!(bProxy ? m_gate.EnterShared() : m_gate.Enter(strKey))) {
            // A fresh socket's send buffer takes this at once. What the
            // client already sent is read away first (a little of it: a
            // flood must not keep this loop): closing over unread bytes
            // resets the connection, and the reset may overtake the answer.
            char aDiscard[4096];
            for (int i = 0; i < 4 && recv(hSocket, aDiscard, sizeof(aDiscard), MSG_DONTWAIT) > 0; ++i) {
            }
            ::send(hSocket, s_szBusy, sizeof(s_szBusy) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            shutdown(hSocket, SHUT_WR);
            close(hSocket);
            continue;
        }
        // The library writes a reply's header and body separately; without
        // this, Nagle's algorithm holds the body back until the client's
        // delayed acknowledgement, some 40 ms per reply on a kept-alive
        // connection.
        int nYes = 1;
        setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nYes, sizeof(nYes));
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back({ hSocket, strKey, bProxy });
        }
        m_cv.notify_one();
    }
}

void CGuardedHttpServer::WorkerLoop()
{
    for (;;) {
        Pending pending;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
            if (m_bStopping)
                return;
            pending = std::move(m_queue.front());
            m_queue.pop_front();
        }
        Serve(pending.hSocket, pending.strKey, pending.bProxy);
        close(pending.hSocket);
        Leave(pending);
    }
}

void CGuardedHttpServer::Leave(const Pending& pending)
{
    if (pending.bProxy)
        m_gate.LeaveShared();
    else
        m_gate.Leave(pending.strKey);
}

void CGuardedHttpServer::Serve(int hSocket, const std::string& strKey, bool bProxy)
{
    sockaddr_storage addr{};
    socklen_t nLen = sizeof(addr);
    const int nPort = getpeername(hSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0
                          ? PortOf(reinterpret_cast<const sockaddr*>(&addr))
                          : 0;
    CConnectionStream stream(hSocket, strKey, nPort, m_stop, m_limits);
    while (stream.WaitForRequest()) {
        stream.BeginHeader();
        bool bClosed = false;
        std::string strCounted;  // the forwarded client this request counts against
        bool bRefused = false;
        const bool bOk = process_request(stream, false, bClosed, [&](httplib::Request& req) {
            stream.BeginBody();
            req.headers.erase(s_szRefusedHeader);
            if (!bProxy)
                return;
            std::string strForwardedFor;
            const auto range = req.headers.equal_range("X-Forwarded-For");
            for (auto it = range.first; it != range.second; ++it)
                strForwardedFor += (strForwardedFor.empty() ? "" : ",") + it->second;
            req.remote_addr = ForwardedClientKey(strForwardedFor, m_aTrusted, strKey);
            if (m_gate.EnterRequest(req.remote_addr)) {
                strCounted = req.remote_addr;
            } else {
                bRefused = true;
                req.set_header(s_szRefusedHeader, "1");
            }
        });
        if (!strCounted.empty())
            m_gate.LeaveRequest(strCounted);
        // A refused request's body was not read, so nothing after it can be
        // trusted to start a request.
        if (bRefused)
            break;
        // A request whose header never came whole (too slow, too long,
        // malformed) ends the connection: what follows cannot be trusted to
        // start the next request, and a client dripping header lines would
        // otherwise earn one error reply after another.
        if (!bOk || bClosed || !stream.HeaderWasComplete())
            break;
    }
    shutdown(hSocket, SHUT_WR);
}

} // namespace quarvex
