// NetworkSettings.cpp - Config.dat's network keys into the process.
#include "NetworkSettings.h"

#include "http/HostLimiter.h"
#include "http/ProxyConfig.h"
#include "markup/Settings.h"

#include <cstdlib>

namespace quarvex {

namespace {

// Decimal digits only; anything else (or nothing) gives nDefault.
int ReadNumber(const std::string& strText, int nDefault, bool& bBad)
{
    std::size_t nStart = 0;
    while (nStart < strText.size() && strText[nStart] == ' ')
        ++nStart;
    if (nStart == strText.size())
        return nDefault;
    long long n = 0;
    for (std::size_t i = nStart; i < strText.size(); ++i) {
        const char c = strText[i];
        if (c < '0' || c > '9') {
            bBad = true;
            return nDefault;
        }
        n = n * 10 + (c - '0');
        if (n > 1000000000)
            n = 1000000000;
    }
    return static_cast<int>(n);
}

} // namespace

bool KeepRecordsEnabled(const CSettings& settings)
{
    std::string strValue = settings.GetGeneralKey(CONFIG_KEEPRECORDS);
    while (!strValue.empty() && strValue.back() == ' ')
        strValue.pop_back();
    while (!strValue.empty() && strValue.front() == ' ')
        strValue.erase(0, 1);
    return strValue != "0";
}

bool ApplyNetworkSettings(const CSettings& settings, bool bEnvironment, std::string& strError)
{
    bool bOk = true;
    bool bBadConnections = false;
    bool bBadInterval = false;
    const int nConnections = ReadNumber(settings.GetGeneralKey(CONFIG_HOSTCONNECTIONS),
                                        CHostLimiter::DEFAULT_CONNECTIONS, bBadConnections);
    const int nInterval =
        ReadNumber(settings.GetGeneralKey(CONFIG_HOSTINTERVAL), CHostLimiter::DEFAULT_INTERVAL_MS, bBadInterval);
    if (bBadConnections || bBadInterval) {
        strError = std::string(bBadConnections ? CONFIG_HOSTCONNECTIONS : CONFIG_HOSTINTERVAL)
            + ": not a number; the default is used";
        bOk = false;
    }
    CHostLimiter::Instance().Configure(nConnections, nInterval);

    CProxySettings& proxies = CProxySettings::Instance();
    std::string strWhy;
    const std::string strProxy = settings.GetGeneralKey(CONFIG_PROXY);
    if (!proxies.SetProxy(strProxy, strWhy)) {
        strError = std::string(CONFIG_PROXY) + ": " + strWhy;
        bOk = false;
    }
    // A proxy elsewhere cannot reach this machine's own servers (the
    // embedded task store among them).
    proxies.SetNoProxy(strProxy.empty() ? "" : "localhost,127.0.0.1,::1");
    if (bEnvironment) {
        strWhy.clear();
        if (!proxies.LoadEnvironment(strWhy)) {
            strError = strWhy;
            bOk = false;
        }
    }
    return bOk;
}

} // namespace quarvex
