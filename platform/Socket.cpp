// Socket.cpp - CSocket over POSIX sockets.
#include "Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

CSocket& CSocket::operator=(CSocket&& other) noexcept
{
    if (this != &other) {
        Close();
        m_hSocket = std::exchange(other.m_hSocket, -1);
    }
    return *this;
}

bool CSocket::CreateTcp()
{
    Close();
    m_hSocket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0)
        return false;
    // A request goes out in one piece and the answer is awaited, so Nagle's
    // delay would only hold back the last segment of a request.
    const int nOn = 1;
    setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    return true;
}

bool CSocket::StartConnect(std::uint32_t nAddress, std::uint16_t nPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = nPort;
    addr.sin_addr.s_addr = nAddress;
    for (;;) {
        if (connect(m_hSocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        if (errno == EINTR)
            continue;
        return errno == EINPROGRESS;
    }
}

int CSocket::GetPendingError() const
{
    int nError = 0;
    socklen_t nLen = sizeof nError;
    if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0)
        return errno;
    return nError;
}

ssize_t CSocket::Send(const void* pData, std::size_t nLen)
{
    for (;;) {
        const ssize_t nSent = send(m_hSocket, pData, nLen, MSG_NOSIGNAL);
        if (nSent >= 0 || errno != EINTR)
            return nSent;
    }
}

ssize_t CSocket::Receive(void* pData, std::size_t nLen)
{
    for (;;) {
        const ssize_t nRead = recv(m_hSocket, pData, nLen, 0);
        if (nRead >= 0 || errno != EINTR)
            return nRead;
    }
}

bool CSocket::SetReceiveLowWater(int nBytes)
{
    return m_hSocket >= 0 && setsockopt(m_hSocket, SOL_SOCKET, SO_RCVLOWAT, &nBytes, sizeof nBytes) == 0;
}

bool CSocket::ShutdownSend()
{
    return m_hSocket >= 0 && shutdown(m_hSocket, SHUT_WR) == 0;
}

void CSocket::Close()
{
    if (m_hSocket >= 0)
        close(std::exchange(m_hSocket, -1));
}
