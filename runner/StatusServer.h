// StatusServer.h - the runner's status over HTTP on a thread of its own:
// /healthz, /metrics (Prometheus text), /tasks (JSON) and / (HTML).
#pragma once

#include "Runner.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace quarvex {

// The fixed default of --listen.
inline constexpr int DEFAULT_STATUS_PORT = 9471;

class CStatusServer {
public:
    using FnStatus = std::function<SRunnerStatus()>;

    explicit CStatusServer(FnStatus fnStatus);
    ~CStatusServer();
    CStatusServer(const CStatusServer&) = delete;
    CStatusServer& operator=(const CStatusServer&) = delete;

    // Binds strHost:nPort (0: a free port) and serves until Stop().
    bool Start(const std::string& strHost, int nPort, std::string& strError);
    int GetPort() const { return m_nPort; }
    void Stop();

private:
    FnStatus m_fnStatus;
    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_hThread;
    int m_nPort = 0;
};

} // namespace quarvex
