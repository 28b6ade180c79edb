// HttpSession.cpp - CHttpSession: the socket thread, response parsing and the
// error texts.
#include "HttpSession.h"

#include "http/Url.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <iterator>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const s_apszErrorText[] = {
    "成功完成",
    "初始化WINSOCKET库失败",
    "初始化退出事件失败",
    "初始化SOCKET事件失败",
    "URL无效",
    "找不到服务器",
    "SOCKET错误",
    "创建SOCKET失败",
    "连接服务器失败",
    "建立事件失败",
    "应用程序内部错误",
    "连接超时",
    "连接被中断",
    "安全连接失败",
    "服务器返回错误状态",
    "请求头含有非法字符",
};
const char s_szInvalidCode[] = "错误代码无效";

// Large enough that a small page arrives with its header in one receive.
const std::size_t s_nReceiveSize = 65536;
// Body bytes a wait asks for at once, from how many left on, and how long
// such a wait lasts before the thread looks what came.
const int s_nLowWater = 262144;
const int s_nLowWaterFrom = 65536;
const int s_nLowWaterWaitMs = 20;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The value of the first header line named strName (any letter case, right
// at the start of a line, so "Proxy-Connection:" is never "Connection:"),
// without the blanks before it and the line end after it.
bool FindHeaderValue(std::string_view strHeader, std::string_view strName, std::string_view& strValue)
{
    std::size_t nLine = 0;
    while (nLine < strHeader.size()) {
        std::size_t nEnd = strHeader.find('\n', nLine);
        if (nEnd == std::string_view::npos)
            nEnd = strHeader.size();
        const std::string_view strLine = strHeader.substr(nLine, nEnd - nLine);
        if (strLine.size() > strName.size() && strLine[strName.size()] == ':'
            && strncasecmp(strLine.data(), strName.data(), strName.size()) == 0) {
            std::size_t nStart = strName.size() + 1;
            while (nStart < strLine.size() && IsBlank(strLine[nStart]))
                ++nStart;
            std::size_t nStop = strLine.size();
            while (nStop > nStart && (strLine[nStop - 1] == '\r' || IsBlank(strLine[nStop - 1])))
                --nStop;
            strValue = strLine.substr(nStart, nStop - nStart);
            return true;
        }
        nLine = nEnd + 1;
    }
    return false;
}

// True when the comma-separated list strValue holds strToken (any letter case).
bool HasToken(std::string_view strValue, std::string_view strToken)
{
    std::size_t nPos = 0;
    while (nPos <= strValue.size()) {
        std::size_t nComma = strValue.find(',', nPos);
        if (nComma == std::string_view::npos)
            nComma = strValue.size();
        std::size_t nStart = nPos, nStop = nComma;
        while (nStart < nStop && IsBlank(strValue[nStart]))
            ++nStart;
        while (nStop > nStart && IsBlank(strValue[nStop - 1]))
            --nStop;
        if (nStop - nStart == strToken.size()
            && strncasecmp(strValue.data() + nStart, strToken.data(), strToken.size()) == 0)
            return true;
        nPos = nComma + 1;
    }
    return false;
}

// A header value that would end its line or the header early.
bool HasLineBreakByte(std::string_view strValue)
{
    return strValue.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// "HTTP/d.d ddd" followed by a blank or the line end; false for anything
// else, which is no HTTP/1.x response at all.
bool ReadStatusLine(std::string_view strHeader, int& nStatus)
{
    auto IsDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (strHeader.size() < 13 || strHeader.compare(0, 5, "HTTP/") != 0 || !IsDigit(strHeader[5])
        || strHeader[6] != '.' || !IsDigit(strHeader[7]) || strHeader[8] != ' ' || !IsDigit(strHeader[9])
        || !IsDigit(strHeader[10]) || !IsDigit(strHeader[11]))
        return false;
    const char cAfter = strHeader[12];
    if (cAfter != ' ' && cAfter != '\r' && cAfter != '\n')
        return false;
    nStatus = (strHeader[9] - '0') * 100 + (strHeader[10] - '0') * 10 + (strHeader[11] - '0');
    return nStatus >= 100;
}

} // namespace

CHttpSession::CHttpSession()
    : m_hDoneEvent(CEvent::INITIAL_SET)
{
}

CHttpSession::~CHttpSession()
{
    Stop();
}

const char* CHttpSession::GetErrorText(int nError)
{
    // Codes run from 0 down to the table's end; anything else gets its own text, not an
    // out-of-range read.
    if (nError > 0 || nError < -static_cast<int>(std::size(s_apszErrorText) - 1))
        return s_szInvalidCode;
    return s_apszErrorText[-nError];
}

std::string CHttpSession::DescribeError() const
{
    std::string strText = GetErrorText();
    if (m_nError == HTTP_ERR_STATUS)
        strText.append(" ").append(std::to_string(m_nStatus));
    return strText;
}

std::string_view CHttpSession::GetBody() const
{
    if (!m_pBody)
        return std::string_view();
    return std::string_view(m_pBody.get(), static_cast<std::size_t>(m_nBodyLen));
}

void CHttpSession::BeginRequest(const char* pszUrl, const char* pszReferer)
{
    StartRequest(pszUrl, pszReferer, false);
}

void CHttpSession::StartRequest(const char* pszUrl, const char* pszReferer, bool bRedirect)
{
    if (!m_hDoneEvent.IsSet())
        return;

    std::string strHost, strPath;
    int nPort = 80;
    bool bSecure = false;
    bool bParsed = false;
    if (pszUrl != nullptr) {
        const std::string_view strUrl(pszUrl);
        bParsed = ParseUrl(strUrl, strHost, strPath, nPort, &bSecure);
        // Only a text without a scheme of its own earns the second try:
        // "ftp://h/" retried as "http://ftp://h/" would name host "ftp".
        if (!bParsed && strUrl.substr(0, 16).find("://") == std::string_view::npos)
            bParsed = ParseUrl("http://" + std::string(strUrl), strHost, strPath, nPort, &bSecure);
    }

    m_hDoneEvent.Reset();
    m_nError = HTTP_OK;
    m_pBody.reset();
    m_nBodyLen = 0;
    m_nBodyCapacity = 0;
    m_nContentLength = -1;
    m_nStatus = 0;

    if (!bParsed) {
        m_nError = HTTP_ERR_INVALID_URL;
        OnError();
        m_hDoneEvent.Set();
        return;
    }
    // Values from a page or a definition must not add header lines of their
    // own: such a request is refused before anything is sent.
    if ((pszReferer != nullptr && HasLineBreakByte(pszReferer)) || HasLineBreakByte(m_strAuthorization)) {
        m_nError = HTTP_ERR_HEADER_VALUE;
        OnError();
        m_hDoneEvent.Set();
        return;
    }
    if (!bRedirect) {
        m_strAuthHost = strHost;
        m_nAuthPort = nPort;
        m_bAuthSecure = bSecure;
    }
    m_bHasDeadline = m_nDeadline >= 0;
    if (m_bHasDeadline)
        m_tDeadline = Clock::now() + std::chrono::milliseconds(m_nDeadline);

    if (m_hThread.IsRunning() && bSecure == m_bSecure && strHost == m_strHost && nPort == m_nPort) {
        std::lock_guard lock(m_handoverMutex);
        if (m_bAccepting) {
            m_strUrl = pszUrl;
            m_strPath = strPath;
            // On an open connection an empty referer counts as none.
            m_strReferer = pszReferer != nullptr && *pszReferer != '\0'
                ? std::string(pszReferer) : DefaultReferer(strHost, strPath);
            if (!m_bParked || m_bSecure || !SendOnIdleConnection())
                m_hSendEvent.Set();
            return;
        }
    }
    // Another host or port, or a connection that is ending: the old thread
    // is idle (no request runs), so stopping it writes no result.
    Stop();

    m_nPort = nPort;
    m_bSecure = bSecure;
    m_strUrl = pszUrl;
    m_strHost = strHost;
    m_strPath = strPath;
    m_strReferer = pszReferer != nullptr ? std::string(pszReferer) : DefaultReferer(strHost, strPath);
    m_bReusable = false;
    m_bBusy = true;
    m_hSendEvent.Reset();
    {
        std::lock_guard lock(m_handoverMutex);
        m_bAccepting = true;
    }
    if (!m_hThread.Start([this] { ThreadMain(); })) {
        m_bBusy = false;
        m_nError = HTTP_ERR_INTERNAL;
        OnError();
        m_hDoneEvent.Set();
    }
}

bool CHttpSession::SendOnIdleConnection()
{
    // Waking the socket thread only to have it send costs a hand-over per
    // request; while it waits idle on the connection, the caller sends itself
    // and the thread wakes once, for the answer. A connection the server has
    // closed or written to while idle is left to the thread, which drains it
    // or opens a new one.
    char c;
    const ssize_t nPeek = recv(m_socket.Get(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (nPeek >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        return false;
    StartSend();
    m_bBusy = true;
    const ssize_t nSent = m_socket.Send(m_strRequest.data(), m_strRequest.size());
    if (nSent > 0)
        m_nSendPos = static_cast<std::size_t>(nSent);
    // The rest of a long request, or the error of a broken connection, is
    // the thread's to handle, as when it sends itself; so is a deadline that
    // falls before the thread's idle wait ends.
    if (m_nSendPos < m_strRequest.size() || (m_bHasDeadline && m_tDeadline < m_tParkedUntil))
        m_hSendEvent.Set();
    return true;
}

void CHttpSession::Stop()
{
    m_hQuitEvent.Set();
    m_hThread.Join();
    m_hQuitEvent.Reset();
}

bool CHttpSession::FollowRedirect()
{
    // Only the status line says what a response is: a "302 Found" anywhere
    // else in the header is text. The header starts with the final status
    // line, "HTTP/d.d 302 Found".
    if (!m_hDoneEvent.IsSet() || m_nStatus != 302 || m_strHeader.compare(9, 9, "302 Found") != 0)
        return false;
    std::string_view strLocation;
    if (!FindHeaderValue(m_strHeader, "Location", strLocation) || strLocation.empty())
        return false;
    std::string strUrl(strLocation);
    // A location given as a path alone stays on this server.
    if (strUrl[0] == '/' && (strUrl.size() < 2 || strUrl[1] != '/')) {
        std::string strBase(m_bSecure ? "https://" : "http://");
        strBase.append(m_strHost);
        if (m_nPort != (m_bSecure ? 443 : 80))
            strBase.append(":").append(std::to_string(m_nPort));
        strUrl.insert(0, strBase);
    }
    const std::string strReferer = m_strReferer;
    StartRequest(strUrl.c_str(), strReferer.c_str(), true);
    return true;
}

bool CHttpSession::IsCredentialOrigin() const
{
    return m_bSecure == m_bAuthSecure && m_nPort == m_nAuthPort && m_strHost.size() == m_strAuthHost.size()
        && strncasecmp(m_strHost.data(), m_strAuthHost.data(), m_strHost.size()) == 0;
}

int CHttpSession::DeadlineLeft() const
{
    if (!m_bHasDeadline)
        return -1;
    const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(m_tDeadline - Clock::now()).count();
    return nLeft <= 0 ? 0 : static_cast<int>(std::min<long long>(nLeft, INT_MAX));
}

bool CHttpSession::WaitForResponse(int nTimeoutMs)
{
    const auto tStart = Clock::now();
    if (!m_hDoneEvent.Wait(nTimeoutMs))
        return false;
    if (m_bKeepAlive && m_bReusable)
        return true;
    int nLeft = -1;
    if (nTimeoutMs >= 0) {
        const auto nSpent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart).count();
        nLeft = nSpent >= nTimeoutMs ? 0 : static_cast<int>(nTimeoutMs - nSpent);
    }
    return m_hThread.WaitForEnd(nLeft);
}

void CHttpSession::ComposeRequest()
{
    // A redirect to another server does not take the credential along.
    m_strRequest = ComposeGetRequest(HostHeaderValue(m_strHost, m_nPort, m_bSecure), m_strPath, m_strReferer,
                                     IsCredentialOrigin() ? std::string_view(m_strAuthorization) : std::string_view(),
                                     m_bKeepAlive);
}

void CHttpSession::Fail(int nError)
{
    // The first failure is the exchange's result; what follows from it (the
    // close after a time-out, say) does not replace it.
    if (m_nError != HTTP_OK)
        return;
    m_nError = nError;
    OnError();
}

void CHttpSession::SignalDone()
{
    // Once the event is set the caller owns every field again, so the flag
    // that keeps this thread off them is cleared first.
    m_bBusy = false;
    m_hDoneEvent.Set();
}

// ---------------------------------------------------------------------------
// The socket thread.

void CHttpSession::ThreadMain()
{
    if (!OnThreadStart()) {
        std::lock_guard lock(m_handoverMutex);
        m_bAccepting = false;
        SignalDone();
        return;
    }
    // OpenSSL writes with write(), which raises SIGPIPE on a connection the
    // server has reset; blocked here, it becomes the EPIPE error it should be.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    m_aReceive.resize(s_nReceiveSize);
    m_nWaitLimit = m_nTimeout;
    m_nIdleLimit = m_nDeadline;
    while (RunConnection()) {
    }
    m_aReceive.clear();
    m_aReceive.shrink_to_fit();
    OnThreadEnd();
}

bool CHttpSession::RunConnection()
{
    enum { PHASE_CONNECT, PHASE_HANDSHAKE, PHASE_OPEN } nPhase = PHASE_CONNECT;
    short nHandshakeWant = POLLOUT;
    bool bReconnect = false;
    m_nLowWater = 1;
    const std::uint32_t nAddress = ResolveHost(m_strHost);
    if (nAddress == 0) {
        Fail(HTTP_ERR_HOST_NOT_FOUND);
    } else if (!m_socket.CreateTcp()) {
        Fail(HTTP_ERR_CREATE_SOCKET);
    } else if (!m_socket.StartConnect(nAddress, htons(static_cast<std::uint16_t>(m_nPort)))) {
        Fail(HTTP_ERR_CONNECT);
    } else {
        bool bTimedOut = false;
        Clock::time_point tShutdown;
        for (;;) {
            short nWant = POLLOUT;
            if (nPhase == PHASE_HANDSHAKE)
                nWant = nHandshakeWant;
            else if (nPhase == PHASE_OPEN)
                nWant = m_nSendPos < m_strRequest.size() && m_bBusy ? POLLIN | POLLOUT : POLLIN;
            int nWaitMs = m_nWaitLimit;
            bool bIdleWake = false;
            if (bTimedOut && m_nWaitLimit >= 0) {
                // A server that ignores the shutdown gets one more time-out
                // to close, not for ever.
                const auto nSince = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tShutdown).count();
                nWaitMs = nSince >= m_nWaitLimit ? 0 : static_cast<int>(m_nWaitLimit - nSince);
            }
            // A long body of known length is waited for in large pieces, not
            // woken for every segment; near its end, and for anything else,
            // the thread wakes at the first byte again.
            int nLowWater = 1;
            if (nPhase == PHASE_OPEN && m_bBusy && !m_bInHeader && !m_bComplete && m_nContentLength >= 0
                && !m_bLowWaterOff && !m_tls.IsOpen()) {
                const int nLeft = m_nContentLength - m_nBodyLen;
                if (nLeft > s_nLowWaterFrom)
                    nLowWater = std::min(nLeft, s_nLowWater);
            }
            if (nLowWater != m_nLowWater && m_socket.SetReceiveLowWater(nLowWater))
                m_nLowWater = nLowWater;
            // A slow server must not wait out the limit while bytes are in:
            // the large wait is short, and once it runs out the body is read
            // as it comes, so the limit still counts from the last byte.
            if (m_nLowWater > 1 && (nWaitMs < 0 || nWaitMs > s_nLowWaterWaitMs))
                nWaitMs = s_nLowWaterWaitMs;
            if (m_bBusy) {
                const int nLeft = DeadlineLeft();
                if (nLeft >= 0 && (nWaitMs < 0 || nWaitMs > nLeft))
                    nWaitMs = nLeft;
            } else if (m_nIdleLimit >= 0 && (nWaitMs < 0 || nWaitMs > m_nIdleLimit)) {
                // The caller may send on this connection while the thread
                // waits idle, and that request's deadline lies at most one
                // deadline's length ahead: waking by then, the thread sees
                // it in time. Such a wake-up is no idle time-out.
                nWaitMs = m_nIdleLimit;
                bIdleWake = true;
            }
            const bool bIdle = nPhase == PHASE_OPEN && !m_bBusy && !bTimedOut;
            if (bIdle) {
                std::lock_guard lock(m_handoverMutex);
                m_bParked = true;
                m_tParkedUntil = nWaitMs < 0 ? Clock::time_point::max()
                                             : Clock::now() + std::chrono::milliseconds(nWaitMs);
            }
            short nReady = 0;
            int nWait = WaitForAny({ &m_hQuitEvent, nPhase == PHASE_OPEN ? &m_hSendEvent : nullptr },
                                   nWaitMs, m_socket.Get(), nWant, &nReady);
            if (bIdle) {
                bool bStarted;
                {
                    std::lock_guard lock(m_handoverMutex);
                    m_bParked = false;
                    bStarted = m_bBusy;
                }
                // The caller has sent a request meanwhile: the wait that ended
                // was an idle one, so a fresh wait with its own limit follows,
                // unless the answer or a quit is already there.
                if (bStarted && (nWait == WAIT_TIMEOUT || nWait == 1)) {
                    if (nWait == 1)
                        m_hSendEvent.Reset();
                    continue;
                }
            }
            // The whole exchange has had its time: whatever the server is
            // still sending, the connection can carry nothing more.
            if (nWait != 0 && m_bBusy && DeadlineLeft() == 0) {
                Fail(HTTP_ERR_TIMEOUT);
                break;
            }
            if (nWait == 0) {
                if (m_bBusy)
                    Fail(HTTP_ERR_INTERRUPTED);
                m_socket.ShutdownSend();
                break;
            }
            if (nWait == 1) {
                m_hSendEvent.Reset();
                // The caller sent part of its request itself; the rest goes
                // out as room comes.
                if (m_bBusy)
                    continue;
                m_bBusy = true;
                // A server that closed the kept connection while it was idle
                // has said so already; the request goes on a new connection
                // instead of into the closed one.
                if ((nReady & (POLLIN | POLLHUP | POLLERR)) && !DrainIdleConnection()) {
                    bReconnect = true;
                    break;
                }
                StartSend();
                if (!ContinueSend())
                    break;
                continue;
            }
            if (nWait == WAIT_TIMEOUT && m_nLowWater > 1) {
                m_bLowWaterOff = true;
                nWait = WAIT_SOCKET;
                nReady = POLLIN;
            }
            if (nWait == WAIT_TIMEOUT) {
                if (!m_bBusy && bIdleWake)
                    continue;
                if (!m_bBusy)
                    break;  // An idle connection is simply let go.
                if (bTimedOut)
                    break;
                Fail(HTTP_ERR_TIMEOUT);
                bTimedOut = true;
                tShutdown = Clock::now();
                {
                    // Half closed, the connection can carry no next request,
                    // even should this response still complete.
                    std::lock_guard lock(m_handoverMutex);
                    m_bAccepting = false;
                }
                if (!m_socket.ShutdownSend())
                    break;
                continue;
            }
            if (nWait != WAIT_SOCKET) {
                if (m_bBusy)
                    Fail(HTTP_ERR_INTERNAL);
                m_socket.ShutdownSend();
                break;
            }
            if (nPhase == PHASE_CONNECT) {
                if (m_socket.GetPendingError() != 0) {
                    Fail(HTTP_ERR_CONNECT);
                    break;
                }
                if (m_bSecure) {
                    if (!m_tls.Open(m_socket.Get(), m_strHost)) {
                        Fail(HTTP_ERR_TLS);
                        break;
                    }
                    nPhase = PHASE_HANDSHAKE;
                } else {
                    nPhase = PHASE_OPEN;
                    StartSend();
                    if (!ContinueSend())
                        break;
                    continue;
                }
            }
            if (nPhase == PHASE_HANDSHAKE) {
                const CTlsConnection::EStep nStep = m_tls.Handshake();
                if (nStep == CTlsConnection::TLS_FAILED) {
                    Fail(HTTP_ERR_TLS);
                    break;
                }
                if (nStep != CTlsConnection::TLS_DONE) {
                    nHandshakeWant = nStep == CTlsConnection::TLS_WANT_READ ? POLLIN : POLLOUT;
                    continue;
                }
                nPhase = PHASE_OPEN;
                StartSend();
                if (!ContinueSend())
                    break;
                continue;
            }
            if ((nReady & POLLOUT) && !ContinueSend())
                break;
            if (nReady & (POLLIN | POLLHUP | POLLERR)) {
                // TLS may hold decrypted bytes that poll() cannot see; they
                // are taken before the next wait.
                EReceive nResult;
                do {
                    nResult = ReceiveData();
                } while (nResult == RECEIVE_OK && m_tls.HasPending());
                if (nResult == RECEIVE_FAILED)
                    break;
                if (nResult == RECEIVE_CLOSED) {
                    TakeResponseClose();
                    break;
                }
            }
        }
    }
    m_tls.Close();
    m_socket.Close();
    if (bReconnect)
        return true;

    bool bPending;
    {
        std::lock_guard lock(m_handoverMutex);
        m_bAccepting = false;
        bPending = m_hSendEvent.IsSet();
        // A request handed over while the idle connection went away is
        // carried on a new connection to the same server.
        if (bPending && !m_bBusy && !m_hQuitEvent.IsSet()) {
            m_hSendEvent.Reset();
            m_bAccepting = true;
            m_bBusy = true;
            return true;
        }
    }
    if (bPending) {
        m_hSendEvent.Reset();
        // A request the caller had already started keeps the error it met.
        if (!m_bBusy) {
            m_bBusy = true;
            Fail(HTTP_ERR_INTERRUPTED);
        }
    }
    // However the connection ended, an exchange that produced no whole
    // response is a failure, never an empty success.
    if (m_bBusy && !m_bComplete)
        Fail(HTTP_ERR_SOCKET);
    if (m_bBusy) {
        // The connection is gone: the caller waits for this thread's end.
        m_bReusable = false;
        SignalDone();
    }
    return false;
}

bool CHttpSession::DrainIdleConnection()
{
    // Bytes that came while no request waited answer nothing; they are
    // dropped, as they would have been had the thread seen them first.
    for (;;) {
        const ssize_t nRead = ReceiveSome(m_aReceive.data(), m_aReceive.size());
        if (nRead > 0)
            continue;
        return nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

ssize_t CHttpSession::SendSome(const char* pData, std::size_t nLen)
{
    return m_tls.IsOpen() ? m_tls.Send(pData, nLen) : m_socket.Send(pData, nLen);
}

ssize_t CHttpSession::ReceiveSome(char* pData, std::size_t nLen)
{
    return m_tls.IsOpen() ? m_tls.Receive(pData, nLen) : m_socket.Receive(pData, nLen);
}

void CHttpSession::StartSend()
{
    // The caller may change m_nTimeout while no request runs, so the thread
    // keeps its own copy, taken whenever a request has been handed over.
    m_nWaitLimit = m_nTimeout;
    m_nIdleLimit = m_nDeadline;
    ComposeRequest();
    m_nSendPos = 0;
    StartResponse();
}

bool CHttpSession::ContinueSend()
{
    // The whole request goes out even when the socket takes only part of a
    // long form at once; the rest waits for room.
    while (m_nSendPos < m_strRequest.size()) {
        const ssize_t nSent = SendSome(m_strRequest.data() + m_nSendPos, m_strRequest.size() - m_nSendPos);
        if (nSent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            Fail(HTTP_ERR_SOCKET);
            return false;
        }
        m_nSendPos += static_cast<std::size_t>(nSent);
    }
    return true;
}

CHttpSession::EReceive CHttpSession::ReceiveData()
{
    char* pTarget = m_aReceive.data();
    std::size_t nWant = m_aReceive.size();
    const bool bIntoBody = m_bBusy && !m_bComplete && !m_bInHeader;
    if (bIntoBody) {
        // Body bytes go straight into the body buffer; a body of known
        // length is never read past its end.
        // As the buffer grows, so do the reads: a large body takes few calls.
        std::size_t nRoom = m_nBodyLimit - static_cast<std::size_t>(m_nBodyLen);
        if (m_nContentLength >= 0)
            nRoom = std::min(nRoom, static_cast<std::size_t>(m_nContentLength - m_nBodyLen));
        if (nRoom > 0) {
            if (!EnsureBodyRoom(std::min(nRoom, s_nReceiveSize)))
                return RECEIVE_FAILED;
            pTarget = m_pBody.get() + m_nBodyLen;
            nWant = std::min(nRoom, static_cast<std::size_t>(m_nBodyCapacity - m_nBodyLen));
        }
    }
    const ssize_t nRead = ReceiveSome(pTarget, nWant);
    if (nRead == 0)
        return RECEIVE_CLOSED;
    if (nRead < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return RECEIVE_OK;
        if (m_bBusy)
            Fail(HTTP_ERR_SOCKET);
        return RECEIVE_FAILED;
    }
    if (!m_bBusy || m_bComplete)
        return RECEIVE_OK;  // Nobody waits for these bytes.
    if (pTarget != m_aReceive.data()) {
        // Nothing is read back after this: a completed response belongs to
        // the caller from the moment the done event is set.
        return ReadBody(static_cast<std::size_t>(nRead)) ? RECEIVE_OK : RECEIVE_FAILED;
    }
    return TakeResponseBytes(pTarget, static_cast<std::size_t>(nRead)) ? RECEIVE_OK : RECEIVE_FAILED;
}

// ---------------------------------------------------------------------------
// The response side.

void CHttpSession::StartResponse()
{
    m_strHeader.clear();
    m_bInHeader = true;
    m_bComplete = false;
    m_bLowWaterOff = false;
    m_nStatus = 0;
    m_chunks = CChunkDecoder();
}

bool CHttpSession::TakeResponseBytes(const char* pData, std::size_t nLen)
{
    // Only flags of this thread are read here, never a field the caller may
    // already own again once the response has completed.
    while (nLen > 0 && !m_bComplete) {
        if (m_bInHeader) {
            const long nTaken = ReadHeader(pData, nLen);
            if (nTaken < 0)
                return false;
            pData += nTaken;
            nLen -= static_cast<std::size_t>(nTaken);
            continue;
        }
        std::size_t nRoom = nLen;
        if (m_nContentLength >= 0)
            nRoom = std::min(nRoom, static_cast<std::size_t>(m_nContentLength - m_nBodyLen));
        if (static_cast<std::size_t>(m_nBodyLen) + nRoom > m_nBodyLimit) {
            Fail(HTTP_ERR_SOCKET);
            return false;
        }
        if (!EnsureBodyRoom(nRoom))
            return false;
        std::memcpy(m_pBody.get() + m_nBodyLen, pData, nRoom);
        if (!ReadBody(nRoom))
            return false;
        pData += nRoom;
        nLen -= nRoom;
        // Bytes past a body of known length or past the last chunk belong to
        // no response and are dropped, as they would be once idle.
        if (m_bComplete)
            break;
    }
    return true;
}

long CHttpSession::ReadHeader(const char* pData, std::size_t nLen)
{
    // The header is taken line by line so that it ends exactly where a
    // byte-wise reader would see it end; what follows is the body's. Some
    // servers end lines with a bare LF, so "\n\n" ends the header as well
    // as "\r\n\r\n".
    std::size_t nPos = 0;
    while (nPos < nLen) {
        const char* pLf = static_cast<const char*>(std::memchr(pData + nPos, '\n', nLen - nPos));
        const std::size_t nStop = pLf == nullptr ? nLen : static_cast<std::size_t>(pLf - pData) + 1;
        const bool bFirstLine = m_nStatus == 0;
        m_strHeader.append(pData + nPos, nStop - nPos);
        nPos = nStop;
        if (m_strHeader.size() > m_nHeaderLimit) {
            Fail(HTTP_ERR_SOCKET);
            return -1;
        }
        if (pLf == nullptr)
            break;
        if (bFirstLine) {
            // An empty line before the status line is a stray end of the
            // previous message; anything else must be a status line, or
            // this is no HTTP response and nothing of it is a page.
            if (m_strHeader == "\r\n" || m_strHeader == "\n") {
                m_strHeader.clear();
                continue;
            }
            int nStatus = 0;
            if (!ReadStatusLine(m_strHeader, nStatus)) {
                Fail(HTTP_ERR_SOCKET);
                return -1;
            }
            m_nStatus = nStatus;
            continue;
        }
        const std::size_t nSize = m_strHeader.size();
        const bool bEnd = (nSize >= 2 && m_strHeader[nSize - 2] == '\n')
            || (nSize >= 4 && m_strHeader.compare(nSize - 4, 4, "\r\n\r\n") == 0);
        if (!bEnd)
            continue;
        if (m_nStatus < 200) {
            // An interim response, however many come: the final one
            // follows, and only its header is kept.
            m_strHeader.clear();
            m_nStatus = 0;
            continue;
        }
        ParseHeaders();
        if (m_nContentLength >= 0 && static_cast<std::size_t>(m_nContentLength) > m_nBodyLimit) {
            Fail(HTTP_ERR_SOCKET);
            return -1;
        }
        if (!EnsureBodyRoom(0))
            return -1;
        if (m_nContentLength == 0)
            CompleteResponse();
        return static_cast<long>(nPos);
    }
    return static_cast<long>(nPos);
}

bool CHttpSession::ParseHeaders()
{
    m_nContentLength = -1;
    std::string_view strValue;
    m_bChunked = FindHeaderValue(m_strHeader, "Transfer-Encoding", strValue) && HasToken(strValue, "chunked");
    if (m_nStatus == 204 || m_nStatus == 304) {
        // These never carry a body, whatever else the header says.
        m_nContentLength = 0;
        m_bChunked = false;
    } else if (!m_bChunked && FindHeaderValue(m_strHeader, "Content-Length", strValue)) {
        // A chunked body is framed by its chunks alone: a length beside it
        // would count framing bytes as page text. Digits past the 32-bit
        // range still read as "too long", never wrap.
        long long nValue = 0;
        for (std::size_t i = 0; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i) {
            nValue = nValue * 10 + (strValue[i] - '0');
            if (nValue > INT_MAX) {
                nValue = INT_MAX;
                break;
            }
        }
        m_nContentLength = static_cast<int>(nValue);
    }
    m_bReusable = true;
    if (m_bKeepAlive && FindHeaderValue(m_strHeader, "Connection", strValue) && HasToken(strValue, "close"))
        m_bReusable = false;

    // The buffer grows as data arrives: a declared length is a promise from
    // the server, not a reason to allocate it all at once.
    m_pBody.reset();
    m_nBodyCapacity = 0;
    m_nBodyLen = 0;
    m_bInHeader = false;
    OnHeaders();
    return true;
}

bool CHttpSession::EnsureBodyRoom(std::size_t nWant)
{
    const std::size_t nLen = static_cast<std::size_t>(m_nBodyLen);
    const std::size_t nCapacity = static_cast<std::size_t>(m_nBodyCapacity);
    if (m_pBody && nCapacity - nLen >= nWant)
        return true;
    std::size_t nNew = std::max<std::size_t>(nCapacity * 2, 65536);
    if (m_nContentLength >= 0)
        nNew = std::min(nNew, static_cast<std::size_t>(m_nContentLength));
    nNew = std::max(nNew, nLen + nWant);
    if (nNew > m_nBodyLimit) {
        Fail(HTTP_ERR_SOCKET);
        return false;
    }
    char* pNew = static_cast<char*>(std::realloc(m_pBody.get(), nNew + 1));
    if (pNew == nullptr) {
        Fail(HTTP_ERR_SOCKET);
        return false;
    }
    static_cast<void>(m_pBody.release());
    m_pBody.reset(pNew);
    m_pBody.get()[nLen] = '\0';
    m_nBodyCapacity = static_cast<int>(nNew);
    return true;
}

bool CHttpSession::ReadBody(std::size_t nLen)
{
    m_nBodyLen += static_cast<int>(nLen);
    if (m_bChunked && m_nContentLength < 0) {
        // Decoded as it comes: the buffer never holds more framing than a
        // size line, and a finished body is already the page.
        m_nBodyLen = static_cast<int>(m_chunks.Decode(m_pBody.get(), static_cast<std::size_t>(m_nBodyLen)));
        m_pBody.get()[m_nBodyLen] = '\0';
        if (m_chunks.GetState() == CChunkDecoder::CHUNK_COMPLETE) {
            // The last chunk and the trailer are in: the response is whole
            // even though the server keeps the connection open.
            CompleteResponse();
        } else if (m_chunks.GetState() == CChunkDecoder::CHUNK_BROKEN) {
            // What was decoded stays; the framing is lost, and with it the
            // connection.
            m_bReusable = false;
            Fail(HTTP_ERR_SOCKET);
            return false;
        }
        return true;
    }
    m_pBody.get()[m_nBodyLen] = '\0';
    if (m_nContentLength >= 0 && m_nBodyLen >= m_nContentLength)
        CompleteResponse();
    return true;
}

void CHttpSession::CompleteResponse()
{
    if (m_pBody)
        m_pBody.get()[m_nBodyLen] = '\0';
    // An error status is a whole response, so the connection stays usable
    // and the body is kept for callers that show it, but it is no page.
    if (m_nStatus >= 400)
        Fail(HTTP_ERR_STATUS);
    m_bComplete = true;
    OnComplete();
    if (m_bReusable)
        SignalDone();
}

bool CHttpSession::TakeResponseClose()
{
    if (!m_bBusy || m_bComplete)
        return true;
    // The server went away before its response was whole: in the header
    // (or before a byte of it), before the declared length or before the
    // last chunk. What came is kept, but the page is not taken for whole.
    if (m_bInHeader || m_nContentLength >= 0 || m_bChunked) {
        m_bReusable = false;
        Fail(HTTP_ERR_SOCKET);
        return false;
    }
    // A body without length or chunks ends with the connection, even an
    // empty one.
    CompleteResponse();
    return true;
}
