// StoreServer.h - the task store on HTTP: the five form POSTs under /qx/ and
// those for task versions and leases, served by cpp-httplib on a thread of its own. A program may run one
// in-process (the desktop application's embedded store, the tests): start it
// on 127.0.0.1 with port 0 and ask GetPort() which port it got.
#pragma once

#include "StoreService.h"

#include <memory>
#include <string>

namespace quarvex {

class CGuardedHttpServer;

// Request bodies above this size are refused before they are read whole.
constexpr std::size_t STORE_MAX_BODY = 4 * 1024 * 1024;

class CStoreServer {
public:
    explicit CStoreServer(StoreOptions options = StoreOptions());
    // Stops serving and joins the server thread.
    ~CStoreServer();
    CStoreServer(const CStoreServer&) = delete;
    CStoreServer& operator=(const CStoreServer&) = delete;

    // Opens the database file; strError says why not.
    bool Open(const std::string& strDbPath, std::string& strError);
    // Binds to host:port (port 0 picks a free one) and serves on threads of
    // its own until Stop(). nThreads bounds the connections served at once;
    // the options bound those of one client address and their deadlines.
    bool Start(const std::string& strHost, int nPort, std::string& strError, int nThreads = 64);
    // The bound port; 0 before Start().
    int GetPort() const { return m_nPort; }
    void Stop();

    CStoreService& GetService() { return m_service; }

private:
    bool Bind(const std::string& strHost, int nPort, std::string& strError, int nThreads);

    CStoreService m_service;
    const StoreOptions m_options;
    std::unique_ptr<CGuardedHttpServer> m_pServer;  // Declared after m_service, which its handlers use.
    int m_nPort = 0;
};

// Splits "host[:port]" for the command lines; the port defaults to
// nDefaultPort. False on an empty host or a port outside 0-65535.
bool SplitHostPort(const std::string& strText, int nDefaultPort, std::string& strHost, int& nPort);

} // namespace quarvex
