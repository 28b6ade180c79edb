// NetworkSettings.h - the installation's network settings of Config.dat's
// general element, applied to the whole process: requests per host at once
// ("hostconnections", default 2), ms between the starts of two requests to
// one host ("hostinterval", default 0) and the proxy ("proxy",
// "http://[user:pass@]host:port", empty: none).
#pragma once

#include <string>

namespace quarvex {

class CSettings;

inline constexpr char CONFIG_HOSTCONNECTIONS[] = "hostconnections";
inline constexpr char CONFIG_HOSTINTERVAL[] = "hostinterval";
inline constexpr char CONFIG_PROXY[] = "proxy";
// "0": tasks keep their records in memory only; anything else, or nothing: on.
inline constexpr char CONFIG_KEEPRECORDS[] = "keeprecords";

// Whether tasks keep their records across restarts (Config.dat's keeprecords).
bool KeepRecordsEnabled(const CSettings& settings);

// Applies the settings to the host limiter and the proxy settings. With
// bEnvironment (the command line and the runner), http_proxy, https_proxy
// and no_proxy are read too and take precedence over the proxy key. False
// when a value could not be used (strError says which; it is left as it was
// and the rest is applied).
bool ApplyNetworkSettings(const CSettings& settings, bool bEnvironment, std::string& strError);

} // namespace quarvex
