// RawServer.h - a scripted HTTP peer on 127.0.0.1 for tests: each accepted
// connection runs the test's handler on a thread of its own, which reads
// whole requests and answers with exact bytes. Every request read is
// recorded byte for byte.
#pragma once

#include "platform/Event.h"
#include "platform/Socket.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class CRawServer;

class CRawConnection
{
public:
    CRawConnection(CRawServer& server, CSocket socket);

    // The next whole request: its header up to the blank line and, when it
    // declares one, its Content-Length body. Empty when the peer closed, the
    // server stopped or nTimeoutMs passed first.
    std::string ReadRequest(int nTimeoutMs = 10000);
    // Sends every byte (blocking); false when the peer is gone.
    bool Send(std::string_view strData);
    void ShutdownSend() { m_socket.ShutdownSend(); }
    void Close() { m_socket.Close(); }
    // True once the peer has closed its side (bytes it sends meanwhile are
    // recorded as received but not parsed); false after nTimeoutMs or when
    // the server stops.
    bool WaitForPeerClose(int nTimeoutMs = 10000);
    // Holds the connection open, answering nothing, until the server stops.
    void WaitForStop();

private:
    // Reads what is available into m_strPending; false on close, stop or time-out.
    bool ReceiveMore(int nTimeoutMs);

    CRawServer& m_server;
    CSocket     m_socket;
    std::string m_strPending;  // Received and not yet returned as a request.
};

class CRawServer
{
public:
    using Handler = std::function<void(CRawConnection&)>;

    // Listens on 127.0.0.1 at a port of the system's choice; the listener is
    // ready when the constructor returns. Aborts when it cannot listen.
    explicit CRawServer(Handler fnHandler);
    // Stops accepting, wakes every handler that waits, and joins them all.
    ~CRawServer();
    CRawServer(const CRawServer&) = delete;
    CRawServer& operator=(const CRawServer&) = delete;

    int GetPort() const { return m_nPort; }
    // "http://127.0.0.1:PORT" followed by strPath.
    std::string GetUrl(std::string_view strPath = "/") const;
    int GetConnectionCount() const { return m_nConnections.load(); }
    // Every request read so far by any connection, in the order read.
    std::vector<std::string> GetRequests() const;

private:
    friend class CRawConnection;
    void AcceptLoop();
    void Record(const std::string& strRequest);

    Handler      m_fnHandler;
    CSocket      m_listener;
    int          m_nPort = 0;
    CEvent       m_stopEvent;
    std::thread  m_acceptThread;
    mutable std::mutex m_mutex;  // Guards the two vectors below.
    std::vector<std::thread> m_aHandlers;
    std::vector<std::string> m_aRequests;
    std::atomic<int> m_nConnections{ 0 };
};
