// ProxyConfig.h - which HTTP proxy a request goes through: the installation's
// `proxy` setting or, for the command line and the runner, the usual
// http_proxy / https_proxy / no_proxy variables.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct SProxy {
    std::string strHost;           // Empty: no proxy.
    int nPort = 0;
    std::string strAuthorization;  // Whole Proxy-Authorization value; empty: none.

    bool IsSet() const { return !strHost.empty(); }
    // "host:port", for log lines; never the credentials.
    std::string Describe() const;
};

// Reads "http://[user:pass@]host[:port][/]" (the scheme may be left out; the
// port defaults to 80). User and password may be percent-encoded. False, with
// strError saying why, for anything else, an https:// proxy included.
bool ParseProxyUrl(std::string_view strText, SProxy& proxy, std::string& strError);

class CProxySettings
{
public:
    // The settings every session uses unless it is given its own.
    static CProxySettings& Instance();

    // One proxy for plain and secure requests alike; an empty text clears it.
    bool SetProxy(std::string_view strText, std::string& strError);
    // http_proxy for plain requests, https_proxy (or HTTPS_PROXY) for secure
    // ones, no_proxy (or NO_PROXY) for the exceptions. HTTP_PROXY in capitals
    // is ignored, as it can be set by a CGI request's Proxy header. fnGetEnv
    // defaults to getenv. False when a variable holds no usable proxy
    // (strError names it); the others are still taken.
    bool LoadEnvironment(std::string& strError,
                         const std::function<const char*(const char*)>& fnGetEnv = nullptr);
    // Comma-separated host names, domain suffixes (".example.com" or
    // "example.com" both cover subdomains), addresses, optionally ":port";
    // "*" alone: no proxy for anything.
    void SetNoProxy(std::string_view strList);
    void Clear();

    // The proxy for a request to strHost:nPort (bSecure: https), or an unset
    // proxy for a direct connection.
    SProxy ForRequest(std::string_view strHost, int nPort, bool bSecure) const;

private:
    bool IsExempt(std::string_view strHost, int nPort) const;

    mutable std::mutex m_mutex;
    SProxy m_http;
    SProxy m_https;
    std::vector<std::string> m_aNoProxy;  // Lower case, without a leading "*" or ".".
    std::vector<int> m_aNoProxyPorts;     // 0: any port.
    bool m_bNoProxyAll = false;
};
