// ProxyConfig.cpp - proxy addresses and the no_proxy exceptions.
#include "ProxyConfig.h"
#include "platform/AsciiText.h"
#include "platform/HexDigit.h"

#include "http/Url.h"

#include <cstdlib>

namespace {

std::string PercentDecode(std::string_view str)
{
    std::string strOut;
    for (std::size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '%' && i + 2 < str.size() && quarvex::HexDigitValue(str[i + 1]) >= 0 && quarvex::HexDigitValue(str[i + 2]) >= 0) {
            strOut += static_cast<char>(quarvex::HexDigitValue(str[i + 1]) * 16 + quarvex::HexDigitValue(str[i + 2]));
            i += 2;
        } else {
            strOut += str[i];
        }
    }
    return strOut;
}

bool HasControl(std::string_view str)
{
    for (char c : str) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return true;
    }
    return false;
}

} // namespace

std::string SProxy::Describe() const
{
    return strHost + ":" + std::to_string(nPort);
}

bool ParseProxyUrl(std::string_view strText, SProxy& proxy, std::string& strError)
{
    proxy = SProxy();
    while (!strText.empty() && (strText.front() == ' ' || strText.front() == '\t'))
        strText.remove_prefix(1);
    while (!strText.empty() && (strText.back() == ' ' || strText.back() == '\t' || strText.back() == '\r'
                                || strText.back() == '\n'))
        strText.remove_suffix(1);
    if (strText.empty()) {
        strError = "empty proxy address";
        return false;
    }
    if (strText.size() > 2048 || HasControl(strText)) {
        strError = "the proxy address is too long or holds a control character";
        return false;
    }
    const std::size_t nScheme = strText.find("://");
    if (nScheme != std::string_view::npos) {
        const std::string strScheme = quarvex::LowerAscii(strText.substr(0, nScheme));
        if (strScheme != "http") {
            strError = "unsupported proxy scheme \"" + strScheme + "\" (only http:// proxies are supported)";
            return false;
        }
        strText.remove_prefix(nScheme + 3);
    }
    // Credentials end at the last '@' before the path.
    const std::size_t nPathStart = strText.find('/');
    const std::string_view strAuthority = strText.substr(0, nPathStart);
    const std::size_t nAt = strAuthority.rfind('@');
    std::string strHostPart(nAt == std::string_view::npos ? strAuthority : strAuthority.substr(nAt + 1));
    if (nAt != std::string_view::npos) {
        const std::string_view strUserInfo = strAuthority.substr(0, nAt);
        const std::size_t nColon = strUserInfo.find(':');
        const std::string strUser = PercentDecode(strUserInfo.substr(0, nColon));
        const std::string strPass =
            nColon == std::string_view::npos ? std::string() : PercentDecode(strUserInfo.substr(nColon + 1));
        if (HasControl(strUser) || HasControl(strPass)) {
            strError = "the proxy credentials hold a control character";
            return false;
        }
        proxy.strAuthorization = BasicAuthorization(strUser + ":" + strPass);
    }
    std::string strHost, strPath;
    int nPort = 0;
    if (strHostPart.empty() || !ParseUrl("http://" + strHostPart + "/", strHost, strPath, nPort) || strHost.empty()
        || nPort <= 0 || nPort > 65535) {
        strError = "invalid proxy address \"" + strHostPart + "\"";
        proxy = SProxy();
        return false;
    }
    proxy.strHost = strHost;
    proxy.nPort = nPort;
    return true;
}

CProxySettings& CProxySettings::Instance()
{
    static CProxySettings settings;
    return settings;
}

void CProxySettings::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_http = SProxy();
    m_https = SProxy();
    m_aNoProxy.clear();
    m_aNoProxyPorts.clear();
    m_bNoProxyAll = false;
}

bool CProxySettings::SetProxy(std::string_view strText, std::string& strError)
{
    SProxy proxy;
    bool bEmpty = true;
    for (char c : strText)
        bEmpty = bEmpty && (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    if (!bEmpty && !ParseProxyUrl(strText, proxy, strError))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_http = proxy;
    m_https = proxy;
    return true;
}

bool CProxySettings::LoadEnvironment(std::string& strError,
                                     const std::function<const char*(const char*)>& fnGetEnv)
{
    auto GetEnv = [&](const char* pszName) -> std::string {
        const char* psz = fnGetEnv ? fnGetEnv(pszName) : std::getenv(pszName);
        return psz == nullptr ? std::string() : std::string(psz);
    };
    bool bOk = true;
    auto Take = [&](const char* pszName, const std::string& strValue, SProxy& target) {
        if (strValue.empty())
            return;
        SProxy proxy;
        std::string strWhy;
        if (!ParseProxyUrl(strValue, proxy, strWhy)) {
            if (!strError.empty())
                strError += "; ";
            strError += std::string(pszName) + ": " + strWhy;
            bOk = false;
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        target = proxy;
    };
    Take("http_proxy", GetEnv("http_proxy"), m_http);
    std::string strHttps = GetEnv("https_proxy");
    Take(strHttps.empty() ? "HTTPS_PROXY" : "https_proxy", strHttps.empty() ? GetEnv("HTTPS_PROXY") : strHttps,
         m_https);
    std::string strNo = GetEnv("no_proxy");
    if (strNo.empty())
        strNo = GetEnv("NO_PROXY");
    if (!strNo.empty())
        SetNoProxy(strNo);
    return bOk;
}

void CProxySettings::SetNoProxy(std::string_view strList)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_aNoProxy.clear();
    m_aNoProxyPorts.clear();
    m_bNoProxyAll = false;
    std::size_t nPos = 0;
    while (nPos <= strList.size() && m_aNoProxy.size() < 1000) {
        std::size_t nEnd = strList.find_first_of(", ", nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strList.size();
        std::string strEntry = quarvex::LowerAscii(strList.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
        if (strEntry.empty())
            continue;
        if (strEntry == "*") {
            m_bNoProxyAll = true;
            continue;
        }
        int nPort = 0;
        const std::size_t nColon = strEntry.rfind(':');
        if (nColon != std::string::npos && strEntry.find(']') == std::string::npos
            && strEntry.find(':') == nColon) {
            nPort = std::atoi(strEntry.c_str() + nColon + 1);
            strEntry.resize(nColon);
        }
        if (strEntry.rfind("*.", 0) == 0)
            strEntry.erase(0, 1);
        while (!strEntry.empty() && strEntry.front() == '.')
            strEntry.erase(0, 1);
        if (strEntry.empty())
            continue;
        m_aNoProxy.push_back(strEntry);
        m_aNoProxyPorts.push_back(nPort);
    }
}

bool CProxySettings::IsExempt(std::string_view strHost, int nPort) const
{
    if (m_bNoProxyAll)
        return true;
    const std::string strLower = quarvex::LowerAscii(strHost);
    for (std::size_t i = 0; i < m_aNoProxy.size(); ++i) {
        if (m_aNoProxyPorts[i] != 0 && m_aNoProxyPorts[i] != nPort)
            continue;
        const std::string& strEntry = m_aNoProxy[i];
        if (strLower == strEntry)
            return true;
        if (strLower.size() > strEntry.size()
            && strLower.compare(strLower.size() - strEntry.size(), strEntry.size(), strEntry) == 0
            && strLower[strLower.size() - strEntry.size() - 1] == '.')
            return true;
    }
    return false;
}

SProxy CProxySettings::ForRequest(std::string_view strHost, int nPort, bool bSecure) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const SProxy& proxy = bSecure ? m_https : m_http;
    if (!proxy.IsSet() || IsExempt(strHost, nPort))
        return SProxy();
    return proxy;
}
