// TlsConnection.h - TLS over a connected non-blocking socket, through
// OpenSSL: SNI, certificate and host-name checks against the system's trust
// store (plus the file QUARVEX_CA_FILE names), TLS 1.2 or newer. Every call
// returns at once; "want read/write" says what to poll() for.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

struct ssl_st;

class CTlsConnection
{
public:
    enum EStep { TLS_DONE, TLS_WANT_READ, TLS_WANT_WRITE, TLS_FAILED };

    CTlsConnection() = default;
    ~CTlsConnection() { Close(); }
    CTlsConnection(const CTlsConnection&) = delete;
    CTlsConnection& operator=(const CTlsConnection&) = delete;

    // Binds a new TLS session to hSocket (not owned) for strHost, a name or a
    // dotted address, which the certificate must name. False when OpenSSL or
    // its trust store cannot be set up.
    bool Open(int hSocket, const std::string& strHost);
    // Drives the handshake one step.
    EStep Handshake();
    // As send()/recv(): bytes moved; 0 from Receive() on the peer's close;
    // -1 with errno EAGAIN when TLS waits for the socket (poll it both ways),
    // or another errno on failure.
    ssize_t Send(const void* pData, std::size_t nLen);
    ssize_t Receive(void* pData, std::size_t nLen);
    // Decrypted bytes already held, which poll() cannot see.
    bool HasPending() const;
    bool IsOpen() const { return m_pSsl != nullptr; }
    void Close();

private:
    ssl_st* m_pSsl = nullptr;  // Owned; freed by Close().
};
