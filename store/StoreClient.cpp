// StoreClient.cpp - requests and reply rules of the task store client.
#include "StoreClient.h"

#include "store/BlobCodec.h"

#include "http/HttpPostSession.h"
#include "http/Url.h"
#include "markup/TaskDef.h"

namespace quarvex {

namespace {

const char s_szFailed[] = "failed";

std::string Encode(const std::string& str)
{
    return UrlEncode(str.data(), str.size());
}

} // namespace

std::string TokenFromLoginReply(const std::string& strReply)
{
    if (strReply.size() != STORE_LOGIN_REPLY_LEN)
        return std::string();
    std::string strToken;
    strToken.reserve(32);
    for (std::size_t i = 1; i <= 29; i += 2)
        strToken += strReply[i];
    strToken.append(strReply, 30, std::string::npos);
    return strToken;
}

std::vector<std::string> SplitTaskList(const std::string& strReply)
{
    std::vector<std::string> aIds;
    if (strReply.size() <= STORE_TASK_ID_LEN)
        return aIds;
    std::size_t nStart = 0;
    for (std::size_t nHash; (nHash = strReply.find('#', nStart)) != std::string::npos; nStart = nHash + 1)
        aIds.push_back(strReply.substr(nStart, nHash - nStart));
    return aIds;
}

std::string TaskNameOf(const std::string& strText)
{
    CMarkupDoc doc;
    doc.Parse(strText.c_str());
    const CMarkupNode* pGeneral = doc.FindPath(PATH_GENERAL);
    const char* pszName = pGeneral != nullptr ? pGeneral->GetChildValue(KEY_TASKNAME) : nullptr;
    return pszName != nullptr ? pszName : "";
}

CStoreClient::CStoreClient(std::string strServer)
    : m_strServer(std::move(strServer))
{
}

std::string CStoreClient::ServerUrl() const
{
    // "host[:port]" is spoken to over plain HTTP; an address that names its
    // scheme ("https://host", "http://host") is used as it stands, so that a
    // store behind TLS is reached through it.
    const std::size_t nScheme = m_strServer.find("://");
    if (nScheme != std::string::npos && nScheme < 16)
        return m_strServer;
    return "http://" + m_strServer;
}

bool CStoreClient::Exchange(CHttpPostSession& session, const char* pszPath, const std::string& strBody,
                            std::string& strReply)
{
    const std::string strUrl = ServerUrl() + pszPath;
    // A null referer: the store sees the session's default Referer.
    session.Post(strUrl.c_str(), nullptr, strBody.c_str());
    if (!session.WaitForResponse(m_nCallLimitMs)) {
        session.Stop();
        m_nLastError = HTTP_ERR_TIMEOUT;
        strReply.clear();
        return false;
    }
    m_nLastError = session.m_nError;
    strReply.assign(session.GetBody());
    return session.m_nError == HTTP_OK && !strReply.empty();
}

bool CStoreClient::Exchange(const char* pszPath, const std::string& strBody, std::string& strReply)
{
    CHttpPostSession session;
    return Exchange(session, pszPath, strBody, strReply);
}

StoreLogin CStoreClient::Login(const std::string& strName, const std::string& strPassword)
{
    std::string strReply;
    if (!Exchange("/qx/login.asp", "udata1=" + Encode(strName) + "&udata2=" + Encode(strPassword) + "&udata3=",
                  strReply))
        return StoreLogin::NETWORK;
    if (strReply == s_szFailed)
        return StoreLogin::REFUSED;
    if (strReply.size() != STORE_LOGIN_REPLY_LEN)
        return StoreLogin::UNEXPECTED;
    m_strSessionReply = strReply;
    m_strToken = TokenFromLoginReply(strReply);
    return StoreLogin::OK;
}

bool CStoreClient::List(CHttpPostSession& session, const std::string& strBody, std::vector<std::string>& aIds)
{
    aIds.clear();
    std::string strReply;
    if (!Exchange(session, "/qx/tasklist.asp", strBody, strReply) || strReply == s_szFailed)
        return false;
    aIds = SplitTaskList(strReply);
    return true;
}

bool CStoreClient::ListTasks(std::vector<std::string>& aIds)
{
    CHttpPostSession session;
    return List(session, "udata1=" + Encode(m_strToken), aIds);
}

bool CStoreClient::ListExamples(std::vector<std::string>& aIds)
{
    CHttpPostSession session;
    return List(session, "udata1=example", aIds);
}

std::optional<std::string> CStoreClient::Load(CHttpPostSession& session, const std::string& strId,
                                              const std::string& strToken)
{
    std::string strReply;
    if (!Exchange(session, "/qx/taskdata.asp", "udata1=" + Encode(strId) + "&udata2=" + Encode(strToken), strReply))
        return std::nullopt;
    return DecodeTaskReply(strReply);
}

std::optional<std::string> CStoreClient::LoadTask(const std::string& strId, const std::string& strToken)
{
    CHttpPostSession session;
    return Load(session, strId, strToken);
}

std::optional<std::string> CStoreClient::AddTask(const std::string& strText)
{
    const std::string strKey = MakeBlobKey();
    std::string strReply;
    if (!Exchange("/qx/savetask.asp",
                  "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(EncodeTaskBlob(strText, strKey)) +
                      "&udata3=" + Encode(strKey),
                  strReply) ||
        strReply.size() != STORE_TASK_ID_LEN)
        return std::nullopt;
    return strReply;
}

std::optional<std::string> CStoreClient::AddTask(const CMarkupDoc& definition)
{
    std::string strText;
    if (!definition.SaveToString(strText))
        return std::nullopt;
    return AddTask(strText);
}

bool CStoreClient::UpdateTask(const std::string& strId, const std::string& strText)
{
    // A fresh key for every change; the store proves it took this very
    // change by answering with it.
    const std::string strKey = MakeBlobKey();
    std::string strReply;
    return Exchange("/qx/savetask.asp",
                    "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(EncodeTaskBlob(strText, strKey)) +
                        "&udata3=" + Encode(strKey) + "&udata4=" + Encode(strId),
                    strReply) &&
           strReply == strKey;
}

bool CStoreClient::UpdateTask(const std::string& strId, const CMarkupDoc& definition)
{
    std::string strText;
    return definition.SaveToString(strText) && UpdateTask(strId, strText);
}

bool CStoreClient::DeleteTask(const std::string& strId)
{
    std::string strReply;
    return Exchange("/qx/deltask.asp", "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(strId), strReply) &&
           strReply == "ok";
}

bool CStoreClient::LoadExampleList(std::vector<StoreExample>& aExamples)
{
    aExamples.clear();
    CHttpPostSession session;
    std::vector<std::string> aIds;
    if (!List(session, "udata1=example", aIds))
        return false;
    for (const std::string& strId : aIds) {
        const std::optional<std::string> text = Load(session, strId, std::string());
        aExamples.push_back({ strId, text ? TaskNameOf(*text) : std::string() });
    }
    return true;
}

void CStoreClient::LoadStartupTasks(const std::vector<std::string>& aChosenExamples, std::vector<StoreTask>& aTasks)
{
    aTasks.clear();
    std::vector<std::string> aIds;
    ListTasks(aIds);
    for (const std::string& strId : aIds) {
        if (std::optional<std::string> text = LoadTask(strId, m_strToken))
            aTasks.push_back({ strId, std::move(*text) });
    }
    for (const std::string& strId : aChosenExamples) {
        if (std::optional<std::string> text = LoadTask(strId, std::string()))
            aTasks.push_back({ strId, std::move(*text) });
    }
}

} // namespace quarvex
