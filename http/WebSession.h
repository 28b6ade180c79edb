// WebSession.h - a session that meets pages as the web serves them: it asks
// for compressed bodies and decodes them, follows every kind of redirect,
// keeps and sends the task's cookies and headers, and asks conditionally
// when the page was seen before. The exchange itself is CHttpPostSession's.
#pragma once

#include "http/FetchOptions.h"
#include "http/HttpPostSession.h"

#include <string>
#include <string_view>
#include <vector>

class CWebSession : public CHttpPostSession
{
public:
    // Redirects followed in a row before the exchange fails with -6.
    static constexpr int s_nMaxRedirects = 10;

    enum EStep {
        STEP_DONE,          // a final response: GetPageBody() holds the decoded body
                            // (a failure with an error status keeps its body too)
        STEP_REDIRECT,      // a redirect was started; wait again, then TakeResponse again
        STEP_NOT_MODIFIED,  // 304: the page has not changed since the validators below
        STEP_FAILED,        // m_nError says why (m_strFailure may say more)
    };

    CWebSession() = default;
    ~CWebSession() override;

    // Starts the page request: a GET, or a form POST with strBody. A null
    // pszReferer asks for the default Referer, as BeginRequest does.
    void Start(bool bPost, const std::string& strUrl, const char* pszReferer, const std::string& strBody);
    // After each wait: stores cookies, and follows a redirect, ends at a 304,
    // or decodes the final body.
    EStep TakeResponse();
    // Start + wait + TakeResponse until a final step; for callers that block.
    EStep Run(bool bPost, const std::string& strUrl, const char* pszReferer, const std::string& strBody);

    // The final body after content decoding; valid until the next Start.
    std::string_view GetPageBody() const { return m_strPageBody; }
    // The value of the first header line strName of the last response; empty when none.
    std::string GetHeaderValue(std::string_view strName) const;
    // Status code of the last response, 0 when none was read.
    int GetStatus() const;

    const SFetchOptions* m_pOptions = nullptr;  // Not owned; null: no extras.
    bool m_bCompressed = true;                  // Ask for gzip and deflate.
    bool m_bFollowRedirects = true;             // Off: a redirect is a final response.
    // Validators sent with the next page request (empty: not sent), and
    // those the last final response gave.
    std::string m_strIfNoneMatch;
    std::string m_strIfModifiedSince;
    std::string m_strETag;
    std::string m_strLastModified;

    std::string m_strFirstUrl;              // Where the exchange started.
    std::string m_strFinalUrl;              // Where the final response came from.
    std::vector<std::string> m_aRedirects;  // Addresses redirected to, in order.
    std::string m_strFailure;               // What went wrong beyond the error code, or empty.

protected:
    void ComposeRequest() override;
    // A 204 or 304 response has no body whatever its header says; without
    // this the exchange would wait for a body that never comes.
    void OnHeaders() override;

private:
    void StartHop(const std::string& strUrl);
    void StoreCookies();

    bool m_bPostNow = false;
    std::string m_strBodyNow;
    std::string m_strRefererNow;
    bool m_bRefererGiven = false;
    std::string m_strAuthOrigin;   // "scheme://host:port" the credentials belong to.
    std::string m_strAuthSaved;    // m_strAuthorization as the caller set it.
    std::string m_strPageBody;
};

// "scheme://host:port" of an absolute http(s) address, host in lower case;
// empty when the address is not one.
std::string UrlOrigin(std::string_view strUrl);
// True when strValue may stand in a request header line.
bool IsSafeHeaderValue(std::string_view strValue);
// Checks a header the task wants sent: a token name, a safe value, and none
// of the names the client owns (Host, Content-Length, Transfer-Encoding,
// Connection). Empty when fine, otherwise why not.
std::string CheckExtraHeader(std::string_view strName, std::string_view strValue);
