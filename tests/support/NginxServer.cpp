// NginxServer.cpp - CNginxServer.
#include "NginxServer.h"

#include <sstream>
#include <unistd.h>

namespace {

const char s_szNginx[] = "/usr/sbin/nginx";

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

    const CChildServer::EStart eStart = m_process.Start(
        {s_szNginx, "-p", strPrefix + "/", "-c", strConf, "-e", strErrorLog}, nPort);
    if (eStart == CChildServer::STARTED) {
        m_nPort = nPort;
        return true;
    }
    m_strError = eStart == CChildServer::EXITED ? "nginx exited at start: "
                 : eStart == CChildServer::SILENT ? "nginx did not accept connections within 10 s: "
                                                  : "fork failed: ";
    m_strError += ReadWholeFile(strErrorLog);
    return false;
}
