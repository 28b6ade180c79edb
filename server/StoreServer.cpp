// StoreServer.cpp - HTTP glue between cpp-httplib and the store's answers.
#include "StoreServer.h"

#include "FormBody.h"
#include "GuardedHttpServer.h"

#include <httplib.h>


namespace quarvex {

CStoreServer::CStoreServer(StoreOptions options)
    : m_service(options), m_options(std::move(options))
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
    ConnectionLimits limits;
    limits.nThreads = nThreads > 0 ? nThreads : 1;
    limits.nPerAddress = m_options.nConnectionsPerAddress;
    limits.nMaxOpen = m_options.nMaxConnections;
    limits.nHeaderSeconds = m_options.nHeaderSeconds;
    limits.aTrustedProxies = m_options.aTrustedProxies;
    auto pServer = std::make_unique<CGuardedHttpServer>(limits);
    // The library's default also sets SO_REUSEPORT, which would let a second
    // server, perhaps on another database file, share the port silently.
    pServer->set_socket_options([](int hSocket) {
        int nYes = 1;
        setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
    });
    // The library refuses a body that reaches its limit; a body of exactly
    // STORE_MAX_BODY bytes is still allowed.
    pServer->set_payload_max_length(STORE_MAX_BODY + 1);

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
    route("/qx/taskver.asp", &CStoreService::ListTaskVersions, false);
    route("/qx/lease.asp", &CStoreService::LeaseTasks, false);
    route("/qx/renew.asp", &CStoreService::RenewLeases, false);
    route("/qx/release.asp", &CStoreService::ReleaseLease, false);

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
    if (!m_pServer->StartServing(strError)) {
        m_pServer.reset();
        m_nPort = 0;
        return false;
    }
    return true;
}

void CStoreServer::Stop()
{
    if (m_pServer)
        m_pServer->StopServing();
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
