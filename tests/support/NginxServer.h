// NginxServer.h - Debian's nginx started for one test on 127.0.0.1 with a
// prefix, configuration and document root of its own in a temporary
// directory; stopped and removed again by the destructor.
#pragma once

#include "ChildServer.h"
#include "TempDir.h"

#include <string>
#include <string_view>

class CNginxServer
{
public:
    CNginxServer() = default;
    ~CNginxServer() { Stop(); }
    CNginxServer(const CNginxServer&) = delete;
    CNginxServer& operator=(const CNginxServer&) = delete;

    // Puts a file under the document root (before or after Start()).
    std::string WriteFile(std::string_view strName, std::string_view strContent) const;
    // Starts nginx in the foreground with strServerConfig added inside its
    // server block (locations and the like) and strHttpConfig inside its
    // http block (more server blocks), and waits until it accepts
    // connections. False, with the reason in GetError(), when it cannot.
    bool Start(std::string_view strServerConfig = "", std::string_view strHttpConfig = "");
    // The directory nginx runs in; its document root is GetPrefix() + "/html".
    const std::string& GetPrefix() const { return m_dir.GetPath(); }
    void Stop() { m_process.Stop(); }

    int GetPort() const { return m_nPort; }
    std::string GetUrl(std::string_view strPath = "/") const;
    const std::string& GetError() const { return m_strError; }

private:
    bool StartOnPort(int nPort, std::string_view strServerConfig, std::string_view strHttpConfig);

    CTempDir    m_dir;  // Prefix: nginx.conf, logs, temp paths, html/.
    CChildServer m_process;
    int         m_nPort = 0;
    std::string m_strError;
};
