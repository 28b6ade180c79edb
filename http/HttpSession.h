// HttpSession.h - one HTTP/1.1 exchange at a time on a socket thread of its
// own. The caller and the socket thread never touch the fields at the same
// time; the done event says whose turn it is. The connection stays open for
// the next request to the same host and port.
#pragma once

#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "http/ChunkedBody.h"
#include "http/TlsConnection.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The client's error codes, kept in m_nError. Each code keeps its meaning for
// good: a new case gets the next free code, never one already given out.
//      0  成功完成                  no error
//     -1  初始化WINSOCKET库失败      (kept for the table; POSIX sockets need no start)
//     -2  初始化退出事件失败         (nothing raises it)
//     -3  初始化SOCKET事件失败       (nothing raises it)
//     -4  URL无效                   the URL is missing or cannot be parsed
//     -5  找不到服务器               the host name cannot be resolved
//     -6  SOCKET错误                a broken connection, or a response cut
//                                   short or malformed (no status line, bad
//                                   chunked framing, over a size limit)
//     -7  创建SOCKET失败             the socket cannot be created
//     -8  连接服务器失败             the connection is refused or fails
//     -9  建立事件失败               (nothing raises it)
//    -10  应用程序内部错误           a wait or the socket thread failed
//    -11  连接超时                  a wait ran past m_nTimeout, or the whole
//                                   exchange past m_nDeadline
//    -12  连接被中断                Stop(), or a request to another server
//    -13  安全连接失败              the TLS handshake or certificate check
//    -14  服务器返回错误状态         a whole response with a status of 400 or
//                                   more; m_nStatus says which, the body is kept
//    -15  请求头含有非法字符         a header value holds CR, LF or NUL; nothing
//                                   is sent
enum {
    HTTP_OK                 = 0,
    HTTP_ERR_SOCKET_LIBRARY = -1,
    HTTP_ERR_QUIT_EVENT     = -2,
    HTTP_ERR_SOCKET_EVENT   = -3,
    HTTP_ERR_INVALID_URL    = -4,
    HTTP_ERR_HOST_NOT_FOUND = -5,
    HTTP_ERR_SOCKET         = -6,
    HTTP_ERR_CREATE_SOCKET  = -7,
    HTTP_ERR_CONNECT        = -8,
    HTTP_ERR_SELECT_EVENTS  = -9,
    HTTP_ERR_INTERNAL       = -10,
    HTTP_ERR_TIMEOUT        = -11,
    HTTP_ERR_INTERRUPTED    = -12,
    HTTP_ERR_TLS            = -13,
    HTTP_ERR_STATUS         = -14,
    HTTP_ERR_HEADER_VALUE   = -15,
};

class CHttpSession
{
public:
    CHttpSession();
    // Stops the socket thread. A class that overrides a hook must call Stop()
    // in its own destructor, since the thread may call the hook until then.
    virtual ~CHttpSession();
    CHttpSession(const CHttpSession&) = delete;
    CHttpSession& operator=(const CHttpSession&) = delete;

    // Starts a GET of pszUrl and returns at once; ignored while a request is
    // in progress. A null pszReferer asks for the default Referer; an empty
    // one is sent empty on a new connection only. A URL without a scheme is
    // tried once more with "http://" in front.
    void BeginRequest(const char* pszUrl, const char* pszReferer);
    // Ends the socket thread (an exchange in progress ends with -12) and
    // waits for it without limit. Safe from another thread than the caller's.
    void Stop();
    // Starts a request for the Location of a response whose status line
    // says "302 Found"; false when the last response was no such redirect or a
    // request is in progress. The Authorization goes only to the scheme, host
    // and port the caller's own request named.
    bool FollowRedirect();
    // Waits until the request is finished and, when the connection is
    // closing, until its thread has ended. False when nTimeoutMs (-1: no
    // limit) ran out first; the caller may simply wait again.
    bool WaitForResponse(int nTimeoutMs = -1);

    const char* GetErrorText() const { return GetErrorText(m_nError); }
    static const char* GetErrorText(int nError);
    // GetErrorText(), with the status code after it for an error status
    // ("服务器返回错误状态 404"), for log lines and messages.
    std::string DescribeError() const;
    // The body of the last response; empty when there is none. Valid until
    // the next request.
    std::string_view GetBody() const;

    // Read by the caller only after WaitForResponse(); m_nTimeout,
    // m_strAuthorization and m_bKeepAlive set only while no request runs.
    CEvent      m_hSendEvent;  // Asks the socket thread to send on the open connection.
    CEvent      m_hQuitEvent;  // Asks the socket thread to end.
    CEvent      m_hDoneEvent;  // Set while no request is in progress.
    CThread     m_hThread;     // The socket thread of the open connection.
    int         m_nError = HTTP_OK;
    std::string m_strUrl;      // URL of the current request as the caller gave it.
    std::string m_strHost;     // Host of the open connection, letter case kept.
    std::string m_strPath;
    std::string m_strReferer;
    int         m_nPort = 80;
    bool        m_bSecure = false;  // The open connection speaks TLS ("https").
    std::string m_strAuthorization;  // Whole Authorization value; GET only; empty: no line.
    std::string m_strRequest;  // The request last composed.
    std::string m_strHeader;   // The final response's header; interim 1xx responses are dropped.
    int         m_nStatus = 0; // Status code of the last whole status line; 0 before one arrives.

    struct CFreeBody { void operator()(char* p) const { std::free(p); } };
    // Body bytes, zero-terminated at every moment once allocated; null after
    // BeginRequest until a header arrives. Grown with realloc as data comes.
    std::unique_ptr<char, CFreeBody> m_pBody;
    int  m_nBodyLen = 0;         // After chunk decoding: decoded bytes.
    int  m_nContentLength = -1;  // -1 when the header gives none.
    int  m_nBodyCapacity = 0;    // Usable bytes of m_pBody; one more holds the zero.
    bool m_bChunked = false;
    int  m_nTimeout = 10000;     // Limit of each wait of the socket thread, ms; -1: none.
    // Limit of a whole exchange from BeginRequest on, ms; -1: none. A server
    // that drips a byte now and then never trips m_nTimeout; this ends it.
    int  m_nDeadline = 60000;
    bool m_bKeepAlive = true;
    bool m_bReusable = false;    // The connection stays open after this response.
    bool m_bInHeader = false;

protected:
    // Hooks; all but ComposeRequest's callers and OnError run on the socket thread.
    virtual void ComposeRequest();
    virtual void OnHeaders() {}
    virtual void OnComplete() {}
    virtual void OnError() {}
    virtual bool OnThreadStart() { return true; }
    virtual void OnThreadEnd() {}

    // The response side without a socket, so that it can be fed bytes in any
    // pieces. StartResponse() readies it for a new response; TakeResponseBytes()
    // and TakeResponseClose() return false once the exchange has failed.
    void StartResponse();
    bool TakeResponseBytes(const char* pData, std::size_t nLen);
    bool TakeResponseClose();
    // Header bytes; returns how many belong to the header (the rest are body
    // bytes), or -1 on failure.
    virtual long ReadHeader(const char* pData, std::size_t nLen);
    // nLen body bytes have been written at m_pBody + m_nBodyLen; false once
    // the exchange has failed.
    virtual bool ReadBody(std::size_t nLen);
    bool ParseHeaders();
    bool EnsureBodyRoom(std::size_t nWant);
    void CompleteResponse();
    void Fail(int nError);

    // Largest header and body taken; beyond them the exchange ends with -6.
    std::size_t m_nHeaderLimit = 65536;
    std::size_t m_nBodyLimit = std::size_t{1} << 30;

    // Socket thread only, while a request is in progress.
    bool m_bBusy = false;      // A request waits; the done event is owed.
    bool m_bComplete = false;  // The response is whole; later bytes are dropped.
    CChunkDecoder m_chunks;

private:
    enum EReceive { RECEIVE_OK, RECEIVE_CLOSED, RECEIVE_FAILED };

    // BeginRequest's work; a redirect keeps the credential's origin.
    void StartRequest(const char* pszUrl, const char* pszReferer, bool bRedirect);
    // True when m_strAuthorization may go to the server of this connection.
    bool IsCredentialOrigin() const;
    // Time left until m_tDeadline, ms, at least 0; -1 without a deadline.
    int DeadlineLeft() const;

    void ThreadMain();
    // One connection from resolving to close; true when a request handed
    // over at the very moment the connection went away asks for another.
    bool RunConnection();
    // False when the idle connection has been closed or broken by the server.
    bool DrainIdleConnection();
    // Caller's side, under the hand-over lock while the thread is parked:
    // sends the request on the idle connection; false to leave it to the thread.
    bool SendOnIdleConnection();
    void StartSend();
    bool ContinueSend();
    EReceive ReceiveData();
    void SignalDone();

    // Plain or through TLS, as the connection is; -1 and errno as send()/recv().
    ssize_t SendSome(const char* pData, std::size_t nLen);
    ssize_t ReceiveSome(char* pData, std::size_t nLen);

    CSocket     m_socket;          // Socket thread only.
    CTlsConnection m_tls;          // Socket thread only; open on a secure connection.
    std::size_t m_nSendPos = 0;    // Bytes of m_strRequest already sent.
    int         m_nWaitLimit = 0;  // m_nTimeout as the current request found it.
    int         m_nIdleLimit = -1; // m_nDeadline likewise: the longest idle wait.
    bool        m_bHasDeadline = false;            // Set with m_tDeadline by BeginRequest.
    std::chrono::steady_clock::time_point m_tDeadline;
    // Where m_strAuthorization was given for: the caller's own request.
    std::string m_strAuthHost;
    int         m_nAuthPort = 0;
    bool        m_bAuthSecure = false;
    std::vector<char> m_aReceive;  // Socket thread's reading buffer.
    int         m_nLowWater = 1;   // Bytes the socket holds before a wait ends.
    bool        m_bLowWaterOff = false;  // This response came too slowly for large waits.

    // A request handed to a live thread must never be lost to a connection
    // that is closing at that moment: the thread stops accepting under this
    // lock and then looks whether a send order came in first.
    std::mutex m_handoverMutex;
    bool m_bAccepting = false;
    // The thread waits idle on an open connection and touches no field until
    // it has cleared this under the lock, so the caller may start a request.
    bool m_bParked = false;
    std::chrono::steady_clock::time_point m_tParkedUntil;  // When that idle wait ends.
};
