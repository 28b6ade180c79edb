// AppContext.cpp - settings, store and examples of one run.
#include "AppContext.h"

#include "engine/NetworkSettings.h"
#include "server/StoreServer.h"

#include <algorithm>
#include <strings.h>

namespace quarvex {

CAppContext::CAppContext(std::string strProgramDir)
    : m_strProgramDir(std::move(strProgramDir))
{
    if (m_strProgramDir.empty() || m_strProgramDir.back() != '/')
        m_strProgramDir += '/';
    m_store.SetCallLimit(STORE_CALL_LIMIT_MS);
}

CAppContext::~CAppContext() = default;

bool CAppContext::Prepare(std::string& strError)
{
    m_settings.Load(GetConfigPath());
    // Requests per host, their spacing and the proxy hold for every task; a
    // value that cannot be used leaves its default.
    std::string strNetworkError;
    ApplyNetworkSettings(m_settings, false, strNetworkError);
    const std::string strServer = m_settings.GetServer();
    if (!strServer.empty()) {
        m_store.SetServer(strServer);
        return true;
    }
    auto pServer = std::make_unique<CStoreServer>();
    if (!pServer->Open(m_strProgramDir + EMBEDDED_STORE_FILE, strError))
        return false;
    // Loopback only: the embedded store serves this process, not the network.
    if (!pServer->Start("127.0.0.1", 0, strError, 8))
        return false;
    m_store.SetServer("127.0.0.1:" + std::to_string(pServer->GetPort()));
    m_pEmbedded = std::move(pServer);
    return true;
}

bool CAppContext::RememberLogin(const std::string& strName, const std::string& strPassword)
{
    m_settings.SetUserName(m_settings.GetSaveUserName() ? strName : std::string());
    m_settings.SetPassword(m_settings.GetSavePassword() ? strPassword : std::string());
    return m_settings.Save(GetConfigPath());
}

void CAppContext::LoadExamples()
{
    m_aExamples.clear();
    m_store.LoadExampleList(m_aExamples);
    m_aChosenExamples = ChooseExamples(m_strUserName, m_settings.GetExampleTaskIds(), m_aExamples);
}

std::string CAppContext::HelpUrl() const
{
    const std::string strUrl = m_settings.GetGeneralKey(CONFIG_HELPURL);
    return strUrl.empty() ? std::string(DEFAULT_HELP_URL) : strUrl;
}

std::string CAppContext::GetRecordDir() const
{
    return KeepRecordsEnabled(m_settings) ? m_strProgramDir + RECORD_DIR_NAME : std::string();
}

std::vector<std::string> ChooseExamples(const std::string& strUserName, const std::vector<std::string>& aConfigured,
                                        const std::vector<StoreExample>& aExamples)
{
    std::vector<std::string> aChosen;
    if (strcasecmp(strUserName.c_str(), CStoreService::EXAMPLE_ACCOUNT) == 0)
        return aChosen;
    for (const std::string& strId : aConfigured) {
        const bool bListed = std::any_of(aExamples.begin(), aExamples.end(),
                                         [&](const StoreExample& e) { return e.strId == strId; });
        if (bListed && std::find(aChosen.begin(), aChosen.end(), strId) == aChosen.end())
            aChosen.push_back(strId);
    }
    return aChosen;
}

} // namespace quarvex
