// HttpPostSession.cpp - CHttpPostSession.
#include "HttpPostSession.h"

#include "http/Url.h"

CHttpPostSession::~CHttpPostSession()
{
    // ComposeRequest() reads this class's fields on the socket thread.
    Stop();
}

void CHttpPostSession::Get(const char* pszUrl, const char* pszReferer)
{
    if (!m_hDoneEvent.IsSet())
        return;
    m_bPost = false;
    BeginRequest(pszUrl, pszReferer);
}

void CHttpPostSession::Post(const char* pszUrl, const char* pszReferer, const char* pszBody)
{
    if (!m_hDoneEvent.IsSet())
        return;
    m_bPost = true;
    m_strPostData = pszBody != nullptr ? pszBody : "";
    BeginRequest(pszUrl, pszReferer);
}

void CHttpPostSession::ComposeRequest()
{
    if (m_bPost)
        m_strRequest = ComposePostRequest(HostHeaderValue(m_strHost, m_nPort, m_bSecure), m_strPath, m_strReferer,
                                          m_strPostData);
    else
        CHttpSession::ComposeRequest();
}
