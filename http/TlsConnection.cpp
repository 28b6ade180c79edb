// TlsConnection.cpp - CTlsConnection over OpenSSL.
#include "TlsConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// One context for the whole program: loading the system's trust store costs
// milliseconds, far more than a request. QUARVEX_CA_FILE is read once, when
// the first secure connection is made.
SSL_CTX* GetContext()
{
    static SSL_CTX* s_pContext = [] {
        SSL_CTX* pContext = SSL_CTX_new(TLS_client_method());
        if (pContext == nullptr)
            return pContext;
        SSL_CTX_set_min_proto_version(pContext, TLS1_2_VERSION);
        SSL_CTX_set_verify(pContext, SSL_VERIFY_PEER, nullptr);
        bool bTrust = SSL_CTX_set_default_verify_paths(pContext) == 1;
        const char* pszCaFile = std::getenv("QUARVEX_CA_FILE");
        if (pszCaFile != nullptr && *pszCaFile != '\0')
            bTrust = SSL_CTX_load_verify_locations(pContext, pszCaFile, nullptr) == 1 && bTrust;
        if (!bTrust) {
            // A trust store that did not load must not turn into "trust
            // nothing checked"; without it no connection is made at all.
            SSL_CTX_free(pContext);
            return static_cast<SSL_CTX*>(nullptr);
        }
        // Many servers end a close-delimited body by closing without a TLS
        // close message; that is the end of the body, as over plain HTTP.
        SSL_CTX_set_options(pContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(pContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return pContext;
    }();
    return s_pContext;
}

} // namespace

bool CTlsConnection::Open(int hSocket, const std::string& strHost)
{
    Close();
    SSL_CTX* pContext = GetContext();
    if (pContext == nullptr)
        return false;
    m_pSsl = SSL_new(pContext);
    if (m_pSsl == nullptr || SSL_set_fd(m_pSsl, hSocket) != 1) {
        Close();
        return false;
    }
    X509_VERIFY_PARAM* pParam = SSL_get0_param(m_pSsl);
    in_addr addr{};
    bool bOk;
    if (inet_pton(AF_INET, strHost.c_str(), &addr) == 1) {
        bOk = X509_VERIFY_PARAM_set1_ip_asc(pParam, strHost.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(pParam, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        bOk = SSL_set_tlsext_host_name(m_pSsl, strHost.c_str()) == 1
            && X509_VERIFY_PARAM_set1_host(pParam, strHost.c_str(), strHost.size()) == 1;
    }
    if (!bOk) {
        Close();
        return false;
    }
    SSL_set_connect_state(m_pSsl);
    return true;
}

CTlsConnection::EStep CTlsConnection::Handshake()
{
    ERR_clear_error();
    const int nResult = SSL_do_handshake(m_pSsl);
    if (nResult == 1)
        return TLS_DONE;
    switch (SSL_get_error(m_pSsl, nResult)) {
    case SSL_ERROR_WANT_READ:
        return TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        return TLS_WANT_WRITE;
    default:
        return TLS_FAILED;
    }
}

ssize_t CTlsConnection::Send(const void* pData, std::size_t nLen)
{
    ERR_clear_error();
    std::size_t nWritten = 0;
    if (SSL_write_ex(m_pSsl, pData, nLen, &nWritten) == 1)
        return static_cast<ssize_t>(nWritten);
    const int nError = SSL_get_error(m_pSsl, 0);
    errno = nError == SSL_ERROR_WANT_READ || nError == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
    return -1;
}

ssize_t CTlsConnection::Receive(void* pData, std::size_t nLen)
{
    ERR_clear_error();
    std::size_t nRead = 0;
    if (SSL_read_ex(m_pSsl, pData, nLen, &nRead) == 1)
        return static_cast<ssize_t>(nRead);
    switch (SSL_get_error(m_pSsl, 0)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    default:
        // With unexpected EOFs ignored, a plain close reads as ZERO_RETURN;
        // anything left here is a broken or forged stream.
        errno = ECONNRESET;
        return -1;
    }
}

bool CTlsConnection::HasPending() const
{
    return m_pSsl != nullptr && SSL_pending(m_pSsl) > 0;
}

void CTlsConnection::Close()
{
    if (m_pSsl != nullptr) {
        SSL_free(m_pSsl);
        m_pSsl = nullptr;
    }
}
