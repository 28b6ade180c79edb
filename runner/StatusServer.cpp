// StatusServer.cpp - CStatusServer on cpp-httplib.
#include "StatusServer.h"

#include "StatusPages.h"

#include <httplib.h>

#include <chrono>

namespace quarvex {

CStatusServer::CStatusServer(FnStatus fnStatus) : m_fnStatus(std::move(fnStatus)) {}

CStatusServer::~CStatusServer()
{
    Stop();
}

bool CStatusServer::Start(const std::string& strHost, int nPort, std::string& strError)
{
    auto pServer = std::make_unique<httplib::Server>();
    // A few readers at a time are plenty; a client that stalls is cut off.
    pServer->new_task_queue = [] { return new httplib::ThreadPool(4); };
    pServer->set_read_timeout(5, 0);
    pServer->set_write_timeout(5, 0);
    pServer->set_keep_alive_max_count(20);
    pServer->set_payload_max_length(64 * 1024);
    pServer->Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        const SRunnerStatus status = m_fnStatus();
        res.set_content(status.bStopping ? "stopping\n" : "ok\n", "text/plain");
    });
    pServer->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(FormatMetrics(m_fnStatus()), "text/plain; version=0.0.4; charset=utf-8");
    });
    pServer->Get("/tasks", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(FormatTasksJson(m_fnStatus()), "application/json");
    });
    pServer->Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
        res.set_content(FormatStatusPage(m_fnStatus()), "text/html; charset=utf-8");
    });
    int nBound = nPort;
    if (nPort == 0) {
        nBound = pServer->bind_to_any_port(strHost);
    } else if (!pServer->bind_to_port(strHost, nPort)) {
        nBound = -1;
    }
    if (nBound <= 0) {
        strError = "cannot listen on " + strHost + ":" + std::to_string(nPort);
        return false;
    }
    m_nPort = nBound;
    m_pServer = std::move(pServer);
    httplib::Server* pRaw = m_pServer.get();
    m_hThread = std::thread([pRaw] { pRaw->listen_after_bind(); });
    // stop() does nothing before the loop runs, so Stop() could never end it.
    for (int i = 0; i < 500 && !pRaw->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
}

void CStatusServer::Stop()
{
    if (m_pServer)
        m_pServer->stop();
    if (m_hThread.joinable())
        m_hThread.join();
    m_pServer.reset();
}

} // namespace quarvex
