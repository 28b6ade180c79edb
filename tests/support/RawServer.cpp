// RawServer.cpp - CRawServer and CRawConnection.
#include "RawServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

namespace {

// The Content-Length a request header declares; 0 when it declares none.
std::size_t DeclaredLength(std::string_view strHeader)
{
    std::size_t nLine = 0;
    while (nLine < strHeader.size()) {
        const std::size_t nEnd = strHeader.find('\n', nLine);
        const std::string_view strLine = strHeader.substr(nLine, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nLine);
        if (strLine.size() > 15 && strncasecmp(strLine.data(), "Content-Length:", 15) == 0)
            return static_cast<std::size_t>(std::strtoul(std::string(strLine.substr(15)).c_str(), nullptr, 10));
        if (nEnd == std::string_view::npos)
            break;
        nLine = nEnd + 1;
    }
    return 0;
}

} // namespace

CRawConnection::CRawConnection(CRawServer& server, CSocket socket)
    : m_server(server), m_socket(std::move(socket))
{
}

bool CRawConnection::ReceiveMore(int nTimeoutMs)
{
    short nReady = 0;
    const int nWait = WaitForAny({ &m_server.m_stopEvent }, nTimeoutMs, m_socket.Get(), POLLIN, &nReady);
    if (nWait != WAIT_SOCKET)
        return false;
    char aBuffer[65536];
    const ssize_t nRead = m_socket.Receive(aBuffer, sizeof aBuffer);
    if (nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (nRead <= 0)
        return false;
    m_strPending.append(aBuffer, static_cast<std::size_t>(nRead));
    return true;
}

std::string CRawConnection::ReadRequest(int nTimeoutMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    auto msLeft = [&tEnd] {
        const auto n = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
        return n < 0 ? 0 : static_cast<int>(n);
    };
    std::size_t nHeaderEnd;
    for (;;) {
        nHeaderEnd = m_strPending.find("\r\n\r\n");
        if (nHeaderEnd != std::string::npos) {
            nHeaderEnd += 4;
            break;
        }
        if (!ReceiveMore(msLeft()))
            return std::string();
    }
    const std::size_t nTotal = nHeaderEnd + DeclaredLength(std::string_view(m_strPending).substr(0, nHeaderEnd));
    while (m_strPending.size() < nTotal) {
        if (!ReceiveMore(msLeft()))
            return std::string();
    }
    std::string strRequest = m_strPending.substr(0, nTotal);
    m_strPending.erase(0, nTotal);
    m_server.Record(strRequest);
    return strRequest;
}

bool CRawConnection::Send(std::string_view strData)
{
    while (!strData.empty()) {
        const ssize_t nSent = m_socket.Send(strData.data(), strData.size());
        if (nSent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            short nReady = 0;
            if (WaitForAny({ &m_server.m_stopEvent }, 10000, m_socket.Get(), POLLOUT, &nReady) != WAIT_SOCKET)
                return false;
            continue;
        }
        strData.remove_prefix(static_cast<std::size_t>(nSent));
    }
    return true;
}

bool CRawConnection::WaitForPeerClose(int nTimeoutMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now()).count();
        if (nLeft <= 0)
            return false;
        short nReady = 0;
        if (WaitForAny({ &m_server.m_stopEvent }, static_cast<int>(nLeft), m_socket.Get(), POLLIN, &nReady) != WAIT_SOCKET)
            return false;
        char aBuffer[4096];
        const ssize_t nRead = m_socket.Receive(aBuffer, sizeof aBuffer);
        if (nRead == 0 || (nRead < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
    }
}

void CRawConnection::WaitForStop()
{
    m_server.m_stopEvent.Wait(-1);
}

CRawServer::CRawServer(Handler fnHandler)
    : m_fnHandler(std::move(fnHandler))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    if (!m_listener.CreateTcp()
        || bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || listen(m_listener.Get(), 64) != 0
        || getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        std::perror("raw server: listen on 127.0.0.1");
        std::abort();
    }
    m_nPort = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

CRawServer::~CRawServer()
{
    m_stopEvent.Set();
    m_acceptThread.join();
    // No new handler starts once the accept thread has ended.
    for (std::thread& handler : m_aHandlers)
        handler.join();
}

std::string CRawServer::GetUrl(std::string_view strPath) const
{
    return "http://127.0.0.1:" + std::to_string(m_nPort) + std::string(strPath);
}

std::vector<std::string> CRawServer::GetRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_aRequests;
}

void CRawServer::Record(const std::string& strRequest)
{
    std::lock_guard lock(m_mutex);
    m_aRequests.push_back(strRequest);
}

void CRawServer::AcceptLoop()
{
    for (;;) {
        short nReady = 0;
        if (WaitForAny({ &m_stopEvent }, -1, m_listener.Get(), POLLIN, &nReady) != WAIT_SOCKET)
            return;
        const int hClient = accept4(m_listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (hClient < 0)
            continue;
        ++m_nConnections;
        std::lock_guard lock(m_mutex);
        m_aHandlers.emplace_back([this, hClient] {
            CRawConnection connection(*this, CSocket(hClient));
            m_fnHandler(connection);
        });
    }
}
