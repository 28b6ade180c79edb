// Socket.h - CSocket, the one owner of a TCP socket descriptor. It closes the
// descriptor in its destructor and can be moved but not copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <utility>

class CSocket
{
public:
    CSocket() = default;
    explicit CSocket(int hSocket) : m_hSocket(hSocket) {}
    ~CSocket() { Close(); }
    CSocket(CSocket&& other) noexcept : m_hSocket(std::exchange(other.m_hSocket, -1)) {}
    CSocket& operator=(CSocket&& other) noexcept;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // A new non-blocking IPv4 stream socket; false when none could be made.
    bool CreateTcp();
    // Starts a connect to nAddress:nPort (both in network byte order). True
    // when it succeeded or is under way (wait for writability, then
    // GetPendingError()); false when it failed at once.
    bool StartConnect(std::uint32_t nAddress, std::uint16_t nPort);
    // The error a finished non-blocking connect left (0: connected).
    int GetPendingError() const;

    // Never raise SIGPIPE; the result is that of send()/recv(), with -1 and
    // errno on failure (EAGAIN when nothing can move now).
    ssize_t Send(const void* pData, std::size_t nLen);
    ssize_t Receive(void* pData, std::size_t nLen);
    // Bytes that must be waiting before poll() reports the socket readable
    // (a close or an error still does at once); false when refused.
    bool SetReceiveLowWater(int nBytes);
    bool ShutdownSend();
    void Close();

    bool IsValid() const { return m_hSocket >= 0; }
    int Get() const { return m_hSocket; }
    int Release() { return std::exchange(m_hSocket, -1); }

private:
    int m_hSocket = -1;
};
