// HttpPostSession.h - the session every caller uses: a GET, or a form POST
// whose body the caller has already passed through UrlEncode.
#pragma once

#include "http/HttpSession.h"

class CHttpPostSession : public CHttpSession
{
public:
    CHttpPostSession() = default;
    ~CHttpPostSession() override;

    void Get(const char* pszUrl, const char* pszReferer);
    // A null pszBody counts as an empty one.
    void Post(const char* pszUrl, const char* pszReferer, const char* pszBody);

    std::string m_strPostData;  // The form body of the current POST.
    bool        m_bPost = false;

protected:
    void ComposeRequest() override;
};
