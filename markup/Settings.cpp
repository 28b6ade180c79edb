// Settings.cpp - Config.dat read and written whole through CMarkupDoc.
#include "markup/Settings.h"

#include "markup/TaskDef.h"
#include "platform/ProgramDir.h"

namespace quarvex {

std::string CSettings::GetDefaultPath()
{
    return GetProgramDir() + CONFIG_FILE_NAME;
}

bool CSettings::Load(const std::string& strPath)
{
    CMarkupDoc doc;
    const bool bRead = doc.LoadFile(strPath.c_str());
    m_doc = std::move(doc);
    return bRead;
}

bool CSettings::Save(const std::string& strPath)
{
    CMarkupNode* pGeneral = FindOrAddElement(CONFIG_GENERAL);
    // A flag missing or written empty reads as off, and is written so.
    if (pGeneral->GetChildValue(CONFIG_SAVEUSERNAME) == nullptr)
        SetKeyFlag(pGeneral, CONFIG_SAVEUSERNAME, false);
    if (pGeneral->GetChildValue(CONFIG_SAVEPASSWORD) == nullptr)
        SetKeyFlag(pGeneral, CONFIG_SAVEPASSWORD, false);
    FindOrAddElement(CONFIG_EXAMPLE);
    FindOrAddElement(CONFIG_ACCOUNT);
    return m_doc.SaveFile(strPath.c_str());
}

// The elements are found by path, which passes over texts and stray end tags.
CMarkupNode* CSettings::FindElement(const char* pszName) const
{
    return m_doc.FindPath(pszName);
}

CMarkupNode* CSettings::FindOrAddElement(const char* pszName)
{
    CMarkupNode* pNode = FindElement(pszName);
    if (pNode == nullptr) {
        pNode = new CMarkupNode(pszName, CMarkupNode::KIND_ELEMENT);
        m_doc.AppendTopLevel(pNode);
    }
    return pNode;
}

bool CSettings::GetSaveUserName() const
{
    return GetKeyFlag(FindElement(CONFIG_GENERAL), CONFIG_SAVEUSERNAME);
}

void CSettings::SetSaveUserName(bool bOn)
{
    SetKeyFlag(FindOrAddElement(CONFIG_GENERAL), CONFIG_SAVEUSERNAME, bOn);
}

bool CSettings::GetSavePassword() const
{
    return GetKeyFlag(FindElement(CONFIG_GENERAL), CONFIG_SAVEPASSWORD);
}

void CSettings::SetSavePassword(bool bOn)
{
    SetKeyFlag(FindOrAddElement(CONFIG_GENERAL), CONFIG_SAVEPASSWORD, bOn);
}

std::string CSettings::GetUserName() const
{
    return std::string(GetKeyText(FindElement(CONFIG_ACCOUNT), CONFIG_USERNAME));
}

void CSettings::SetUserName(std::string_view name)
{
    SetKeyText(FindOrAddElement(CONFIG_ACCOUNT), CONFIG_USERNAME, name);
}

std::string CSettings::GetPassword() const
{
    return std::string(GetKeyText(FindElement(CONFIG_ACCOUNT), CONFIG_PASSWORD));
}

void CSettings::SetPassword(std::string_view password)
{
    SetKeyText(FindOrAddElement(CONFIG_ACCOUNT), CONFIG_PASSWORD, password);
}

std::string CSettings::GetServer() const
{
    return std::string(GetKeyText(FindElement(CONFIG_GENERAL), CONFIG_SERVER));
}

void CSettings::SetServer(std::string_view server)
{
    SetKeyText(FindOrAddElement(CONFIG_GENERAL), CONFIG_SERVER, server);
}

std::string CSettings::GetGeneralKey(std::string_view key) const
{
    return std::string(GetKeyText(FindElement(CONFIG_GENERAL), key));
}

void CSettings::SetGeneralKey(std::string_view key, std::string_view value)
{
    SetKeyText(FindOrAddElement(CONFIG_GENERAL), key, value);
}

std::vector<std::string> CSettings::GetExampleTaskIds() const
{
    std::vector<std::string> aIds;
    const CMarkupNode* pExample = FindElement(CONFIG_EXAMPLE);
    if (pExample == nullptr)
        return aIds;
    for (const CMarkupNode* p = pExample->FindChild(CONFIG_TASKID); p != nullptr; p = p->NextSameName()) {
        const CMarkupNode* pText = p->GetFirstChild();
        // A taskid written empty reads back without text; it names no task.
        if (pText != nullptr && pText->IsText() && pText->GetName() != nullptr && *pText->GetName() != '\0')
            aIds.emplace_back(pText->GetName());
    }
    return aIds;
}

void CSettings::SetExampleTaskIds(const std::vector<std::string>& aIds)
{
    CMarkupNode* pExample = FindOrAddElement(CONFIG_EXAMPLE);
    RemoveChildren(pExample, CONFIG_TASKID);
    for (const std::string& strId : aIds) {
        CMarkupNode* pKey = new CMarkupNode(CONFIG_TASKID, CMarkupNode::KIND_ELEMENT);
        pKey->AppendChild(new CMarkupNode(strId, CMarkupNode::KIND_TEXT));
        pExample->AppendChild(pKey);
    }
}

} // namespace quarvex
