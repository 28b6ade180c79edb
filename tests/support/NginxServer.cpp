// NginxServer.cpp - CNginxServer.
#include "NginxServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char s_szNginx[] = "/usr/sbin/nginx";

bool CanConnect(int nPort)
{
    const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(nPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bOk = connect(hSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(hSocket);
    return bOk;
}

std::string ReadWholeFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

std::string CNginxServer::WriteFile(std::string_view strName, std::string_view strContent) const
{
    return m_dir.WriteFile("html/" + std::string(strName), strContent);
}

std::string CNginxServer::GetUrl(std::string_view strPath) const
{
    return "http://127.0.0.1:" + std::to_string(m_nPort) + std::string(strPath);
}

bool CNginxServer::Start(std::string_view strServerConfig, std::string_view strHttpConfig)
{
    if (access(s_szNginx, X_OK) != 0) {
        m_strError = std::string(s_szNginx) + " is missing; scripts/install-deps.sh installs nginx-light";
        return false;
    }
    // The port is free when chosen but another process may take it before
    // nginx binds it; a few tries make that race harmless.
    for (int nTry = 0; nTry < 5; ++nTry) {
        if (StartOnPort(FindFreePort(), strServerConfig, strHttpConfig))
            return true;
    }
    return false;
}

bool CNginxServer::StartOnPort(int nPort, std::string_view strServerConfig, std::string_view strHttpConfig)
{
    const std::string& strPrefix = m_dir.GetPath();
    m_dir.WriteFile("html/.keep", "");
    m_dir.WriteFile("logs/error.log", "");
    std::ostringstream conf;
    // As root nginx would hand its workers to "nobody", who cannot read a
    // private temporary directory.
    if (geteuid() == 0)
        conf << "user root;\n";
    conf << "daemon off;\n"
            "master_process on;\n"
            "worker_processes 1;\n"
            "pid " << strPrefix << "/nginx.pid;\n"
            "error_log " << strPrefix << "/logs/error.log warn;\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "  access_log off;\n"
            "  default_type application/octet-stream;\n"
            "  keepalive_requests 100000;\n"
            "  keepalive_timeout 75s;\n"
            "  client_body_temp_path " << strPrefix << "/tmp/body;\n"
            "  proxy_temp_path " << strPrefix << "/tmp/proxy;\n"
            "  fastcgi_temp_path " << strPrefix << "/tmp/fastcgi;\n"
            "  uwsgi_temp_path " << strPrefix << "/tmp/uwsgi;\n"
            "  scgi_temp_path " << strPrefix << "/tmp/scgi;\n"
            "  server {\n"
            "    listen 127.0.0.1:" << nPort << ";\n"
            "    server_name localhost;\n"
            "    root " << strPrefix << "/html;\n"
         << strServerConfig << "\n"
            "  }\n"
         << strHttpConfig << "\n"
            "}\n";
    m_dir.WriteFile("tmp/.keep", "");
    const std::string strConf = m_dir.WriteFile("nginx.conf", conf.str());
    const std::string strErrorLog = strPrefix + "/logs/error.log";

    // Everything the child needs is made before fork(): another thread of
    // the test may hold the allocator's lock at that moment.
    const std::string strPrefixArg = strPrefix + "/";
    const pid_t nPid = fork();
    if (nPid < 0) {
        m_strError = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (nPid == 0) {
        execl(s_szNginx, s_szNginx, "-p", strPrefixArg.c_str(), "-c", strConf.c_str(),
              "-e", strErrorLog.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    m_nPid = nPid;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < tEnd) {
        int nStatus = 0;
        if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
            m_nPid = -1;
            m_strError = "nginx exited at start: " + ReadWholeFile(strErrorLog);
            return false;
        }
        if (CanConnect(nPort)) {
            m_nPort = nPort;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_strError = "nginx did not accept connections within 10 s: " + ReadWholeFile(strErrorLog);
    Stop();
    return false;
}

void CNginxServer::Stop()
{
    if (m_nPid <= 0)
        return;
    // Fast shutdown: a graceful one would wait for kept-alive clients.
    kill(m_nPid, SIGTERM);
    int nStatus = 0;
    while (waitpid(m_nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    m_nPid = -1;
}
