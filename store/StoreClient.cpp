// StoreClient.cpp - requests and reply rules of the task store client.
#include "StoreClient.h"

#include "store/BlobCodec.h"

#include "http/HttpPostSession.h"
#include "http/Url.h"
#include "markup/TaskDef.h"

#include <algorithm>
#include <string_view>

namespace quarvex {

namespace {

const char s_szFailed[] = "failed";

std::string Encode(const std::string& str)
{
    return UrlEncode(str.data(), str.size());
}

// A decimal number of 1 to 18 digits.
bool ParseNumber(std::string_view str, std::int64_t& nOut)
{
    if (str.empty() || str.size() > 18)
        return false;
    std::int64_t n = 0;
    for (char c : str) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    nOut = n;
    return true;
}

// The '#'-terminated pieces of a reply split at ':' into exactly nFields.
template <typename Fn>
void ForEachPiece(const std::string& strReply, std::size_t nFields, Fn fn)
{
    std::size_t nStart = 0;
    for (std::size_t nHash; (nHash = strReply.find('#', nStart)) != std::string::npos; nStart = nHash + 1) {
        const std::string_view piece(strReply.data() + nStart, nHash - nStart);
        std::vector<std::string_view> aFields;
        std::size_t nFrom = 0;
        for (std::size_t nColon; (nColon = piece.find(':', nFrom)) != std::string_view::npos && aFields.size() < nFields;
             nFrom = nColon + 1)
            aFields.push_back(piece.substr(nFrom, nColon - nFrom));
        aFields.push_back(piece.substr(std::min(nFrom, piece.size())));
        if (aFields.size() == nFields && !aFields[0].empty())
            fn(aFields);
    }
}

} // namespace

std::vector<StoreTaskVersion> SplitVersionList(const std::string& strReply)
{
    std::vector<StoreTaskVersion> aTasks;
    ForEachPiece(strReply, 2, [&](const std::vector<std::string_view>& aFields) {
        StoreTaskVersion task{ std::string(aFields[0]), 0 };
        if (ParseNumber(aFields[1], task.nVersion))
            aTasks.push_back(std::move(task));
    });
    return aTasks;
}

std::vector<StoreLease> SplitLeaseList(const std::string& strReply)
{
    std::vector<StoreLease> aLeases;
    ForEachPiece(strReply, 3, [&](const std::vector<std::string_view>& aFields) {
        StoreLease lease{ std::string(aFields[0]), 0, 0 };
        std::int64_t nTtl = 0;
        if (ParseNumber(aFields[1], lease.nFence) && ParseNumber(aFields[2], nTtl) && nTtl <= 86400) {
            lease.nTtlSeconds = static_cast<int>(nTtl);
            aLeases.push_back(std::move(lease));
        }
    });
    return aLeases;
}

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

bool CStoreClient::ListTaskVersions(std::vector<StoreTaskVersion>& aTasks)
{
    aTasks.clear();
    std::string strReply;
    if (!Exchange("/qx/taskver.asp", "udata1=" + Encode(m_strToken), strReply) || strReply == s_szFailed)
        return false;
    aTasks = SplitVersionList(strReply);
    return true;
}

bool CStoreClient::LeaseTasks(const std::string& strHolder, int nWant, int nTtlSeconds,
                              std::vector<StoreLease>& aGranted)
{
    aGranted.clear();
    std::string strReply;
    if (!Exchange("/qx/lease.asp",
                  "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(strHolder) +
                      "&udata3=" + std::to_string(std::max(nWant, 0)) +
                      "&udata4=" + std::to_string(std::max(nTtlSeconds, 0)),
                  strReply) ||
        strReply == s_szFailed)
        return false;
    aGranted = SplitLeaseList(strReply);
    return true;
}

std::optional<StoreLease> CStoreClient::LeaseTask(const std::string& strHolder, const std::string& strId,
                                                  int nTtlSeconds)
{
    std::string strReply;
    if (!Exchange("/qx/lease.asp",
                  "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(strHolder) +
                      "&udata3=1&udata4=" + std::to_string(std::max(nTtlSeconds, 0)) + "&udata5=" + Encode(strId),
                  strReply))
        return std::nullopt;
    for (StoreLease& lease : SplitLeaseList(strReply)) {
        if (lease.strId == strId)
            return std::move(lease);
    }
    return std::nullopt;
}

bool CStoreClient::RenewLeases(const std::string& strHolder, const std::vector<StoreLease>& aLeases, int nTtlSeconds,
                               std::vector<StoreLease>& aKept)
{
    aKept.clear();
    std::string strList;
    for (const StoreLease& lease : aLeases)
        strList += lease.strId + ':' + std::to_string(lease.nFence) + '#';
    std::string strReply;
    if (!Exchange("/qx/renew.asp",
                  "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(strHolder) +
                      "&udata3=" + std::to_string(std::max(nTtlSeconds, 0)) + "&udata4=" + Encode(strList),
                  strReply) ||
        strReply == s_szFailed)
        return false;
    // Only what was asked for counts as kept, under the number it was held by.
    for (StoreLease& kept : SplitLeaseList(strReply)) {
        const bool bAsked = std::any_of(aLeases.begin(), aLeases.end(), [&](const StoreLease& lease) {
            return lease.strId == kept.strId && lease.nFence == kept.nFence;
        });
        if (bAsked)
            aKept.push_back(std::move(kept));
    }
    return true;
}

bool CStoreClient::ReleaseLease(const std::string& strHolder, const StoreLease& lease)
{
    std::string strReply;
    return Exchange("/qx/release.asp",
                    "udata1=" + Encode(m_strToken) + "&udata2=" + Encode(strHolder) + "&udata3=" + Encode(lease.strId) +
                        "&udata4=" + std::to_string(lease.nFence),
                    strReply) &&
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
