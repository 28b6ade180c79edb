// FetchOptions.h - what a task adds to every request it makes, for its page,
// its linked pages and its linked files: its own headers and User-Agent, its
// charset choice, and its cookie jar.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CCookieJar;

struct SFetchOptions {
    // Extra request headers, already checked (no Host, Content-Length,
    // Transfer-Encoding or Connection; no line breaks).
    std::vector<std::pair<std::string, std::string>> aHeaders;
    std::string strUserAgent;       // Empty: the client's own User-Agent.
    std::string strCharset;         // The task's charset choice; empty: automatic.
    CCookieJar* pCookies = nullptr; // Not owned; null: no cookies kept or sent.
};
