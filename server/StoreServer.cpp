// StoreServer.cpp - HTTP glue between cpp-httplib and the store's answers.
#include "StoreServer.h"

#include "FormBody.h"

#include <httplib.h>

#include <chrono>
#include <limits>

namespace quarvex {

CStoreServer::CStoreServer(StoreOptions options)
    : m_service(std::move(options))
{
}

CStoreServer::~CStoreServer()
{
    Stop();
}

bool CStoreServer::Open(const std::string& strDbPath, std::string& strError)
{
    return m_service.Open(strDbPath, strError);
}

bool CStoreServer::Bind(const std::string& strHost, int nPort, std::string& strError, int nThreads)
{
    if (m_pServer) {
        strError = "already serving";
        return false;
    }
    auto pServer = std::make_unique<httplib::Server>();
    // Each kept-alive connection holds a pool thread while it lasts, so the
    // pool is sized for the clients expected at once, not for the cores.
    const int nPool = nThreads > 0 ? nThreads : 1;
    pServer->new_task_queue = [nPool] { return new httplib::ThreadPool(static_cast<std::size_t>(nPool)); };
    // The library's default also sets SO_REUSEPORT, which would let a second
    // server, perhaps on another database file, share the port silently.
    pServer->set_socket_options([](int hSocket) {
        int nYes = 1;
        setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
    });
    // The library refuses a body that reaches its limit; a body of exactly
    // STORE_MAX_BODY bytes is still allowed.
    pServer->set_payload_max_length(STORE_MAX_BODY + 1);
    // A connection is closed when idle, never after a count of requests: a
    // close after the n-th reply races the client's next request on it.
    pServer->set_keep_alive_max_count(std::numeric_limits<std::size_t>::max());
    // The library writes a response's header and body separately; without
    // this, Nagle's algorithm holds the body back until the client's delayed
    // acknowledgement, some 40 ms per reply on a kept-alive connection.
    pServer->set_tcp_nodelay(true);
    pServer->set_read_timeout(10, 0);
    pServer->set_write_timeout(10, 0);

    // Bodies are taken through a content reader: the library's own form
    // handling refuses form bodies above 8 KiB, far below a large task.
    using Handler = std::string (CStoreService::*)(const StoreForm&);
    auto route = [this, &pServer](const char* pszPath, Handler pfn, bool bLogin) {
        pServer->Post(pszPath, [this, pfn, bLogin](const httplib::Request& req, httplib::Response& res,
                                                    const httplib::ContentReader& reader) {
            std::string strBody;
            bool bTooLong = false;
            const bool bRead = reader([&](const char* pData, std::size_t nLen) {
                if (strBody.size() + nLen > STORE_MAX_BODY) {
                    bTooLong = true;
                    return false;
                }
                strBody.append(pData, nLen);
                return true;
            });
            StoreForm form;
            if (!bRead || bTooLong) {
                res.status = 413;
                res.set_content(CStoreService::FAILED, "text/plain");
                return;
            }
            if (!ParseFormBody(strBody, form)) {
                res.status = 400;
                res.set_content(CStoreService::FAILED, "text/plain");
                return;
            }
            res.set_content(bLogin ? m_service.Login(form, req.remote_addr) : (m_service.*pfn)(form), "text/plain");
        });
    };
    route("/qx/login.asp", nullptr, true);
    route("/qx/tasklist.asp", &CStoreService::ListTasks, false);
    route("/qx/taskdata.asp", &CStoreService::LoadTask, false);
    route("/qx/savetask.asp", &CStoreService::SaveTask, false);
    route("/qx/deltask.asp", &CStoreService::DeleteTask, false);

    if (nPort == 0) {
        m_nPort = pServer->bind_to_any_port(strHost);
        if (m_nPort <= 0) {
            strError = "cannot bind to " + strHost;
            m_nPort = 0;
            return false;
        }
    } else {
        if (!pServer->bind_to_port(strHost, nPort)) {
            strError = "cannot bind to " + strHost + ":" + std::to_string(nPort);
            return false;
        }
        m_nPort = nPort;
    }
    m_pServer = std::move(pServer);
    return true;
}

bool CStoreServer::Start(const std::string& strHost, int nPort, std::string& strError, int nThreads)
{
    if (!Bind(strHost, nPort, strError, nThreads))
        return false;
    httplib::Server* pServer = m_pServer.get();
    m_thread = std::thread([pServer] { pServer->listen_after_bind(); });
    // stop() only reaches a server that already runs; waiting here keeps a
    // Stop() right after Start() from missing it and hanging the join.
    for (int i = 0; i < 5000 && !pServer->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void CStoreServer::Stop()
{
    if (m_pServer)
        m_pServer->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_pServer.reset();
    m_nPort = 0;
}

bool SplitHostPort(const std::string& strText, int nDefaultPort, std::string& strHost, int& nPort)
{
    const std::size_t nColon = strText.rfind(':');
    strHost = strText.substr(0, nColon);
    nPort = nDefaultPort;
    if (strHost.empty())
        return false;
    if (nColon == std::string::npos)
        return true;
    const std::string strPort = strText.substr(nColon + 1);
    if (strPort.empty() || strPort.size() > 5)
        return false;
    int n = 0;
    for (char c : strPort) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n > 65535)
        return false;
    nPort = n;
    return true;
}

} // namespace quarvex
