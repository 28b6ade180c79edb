// Url.h - the text side of the HTTP client: URL splitting, host look-up,
// the default Referer, the request texts and form-value encoding. Nothing
// here is percent-decoded or normalised; bytes pass through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Splits an "http://host[:port][/path]" URL; a host holding a blank or a
// control byte is refused. On success fills all three
// outputs (port 80 unless named, path "/" when nothing follows the host) and
// returns true; on failure returns false and the outputs are unspecified.
// Only a caller that can speak TLS passes pbSecure: it is then told whether
// the scheme is "https" (port 443 unless named), which is refused otherwise.
bool ParseUrl(std::string_view strUrl, std::string& strHost, std::string& strPath, int& nPort,
              bool* pbSecure = nullptr);

// The IPv4 address of a dotted address or host name, in network byte order;
// 0 when the name cannot be resolved.
std::uint32_t ResolveHost(const std::string& strHost);

// The Referer sent when the caller names none: the host followed by the path
// up to and including its last '/', without a scheme ("h" + "/a/b?x" -> "h/a/").
// Blanks and control bytes of the path are percent-encoded as in a request
// target.
std::string DefaultReferer(std::string_view strHost, std::string_view strPath);

// The Host header's value: the host, and ":port" unless the port is the
// scheme's own (80, or 443 for https).
std::string HostHeaderValue(std::string_view strHost, int nPort, bool bSecure);

// Appends strPath as a request target: bytes below 0x21 and 0x7F become %XX,
// so that no value from a page can end the request line or add a header.
// Everything else, '%' and bytes of 128 and more included, goes as it is.
void AppendRequestTarget(std::string& strOut, std::string_view strPath);

// Whole request texts, byte for byte as they go on the wire. strHost is the
// Host header's value; the path goes through AppendRequestTarget.
std::string ComposeGetRequest(std::string_view strHost, std::string_view strPath,
                              std::string_view strReferer, std::string_view strAuthorization,
                              bool bKeepAlive);
std::string ComposePostRequest(std::string_view strHost, std::string_view strPath,
                               std::string_view strReferer, std::string_view strBody);

// Form-value encoding: letters and digits stay, a blank becomes '+', every
// other byte (tab, CR and LF included) becomes %XX (upper-case hex). The first form stops at
// the terminating zero (null reads as empty), the second encodes exactly nLen
// bytes, a zero byte included.
std::string UrlEncode(const char* pszText);
std::string UrlEncode(const char* pText, std::size_t nLen);

// The value of an Authorization header for HTTP Basic authentication:
// "Basic " and the Base64 (standard alphabet, '=' padding) of the credential,
// which is "name:pass".
std::string BasicAuthorization(std::string_view strCredential);
