// TaskDef.cpp - value rules of the task definition.
#include "markup/TaskDef.h"

#include "platform/ProgramDir.h"

#include <climits>

namespace quarvex {

int32_t ReadDecimal(const char* pszText)
{
    if (pszText == nullptr)
        return 0;
    const char* p = pszText;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f')
        ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-')
        bNegative = *p++ == '-';
    // Accumulated as a negative number, whose range reaches INT32_MIN.
    int64_t nValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        nValue = nValue * 10 - (*p - '0');
        if (nValue < INT32_MIN)
            return bNegative ? INT32_MIN : INT32_MAX;
    }
    if (!bNegative)
        return nValue < -int64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(-nValue);
    return static_cast<int32_t>(nValue);
}

std::string_view GetKeyText(const CMarkupNode* pNode, std::string_view key)
{
    const char* pszValue = pNode != nullptr ? pNode->GetChildValue(key) : nullptr;
    return pszValue != nullptr ? std::string_view(pszValue) : std::string_view();
}

int32_t GetKeyNumber(const CMarkupNode* pNode, std::string_view key)
{
    return pNode != nullptr ? ReadDecimal(pNode->GetChildValue(key)) : 0;
}

bool GetKeyFlag(const CMarkupNode* pNode, std::string_view key)
{
    return GetKeyNumber(pNode, key) != 0;
}

void SetKeyText(CMarkupNode* pNode, std::string_view key, std::string_view value)
{
    pNode->SetChildValue(key, value);
}

void SetKeyNumber(CMarkupNode* pNode, std::string_view key, int32_t nValue)
{
    pNode->SetChildValue(key, std::to_string(nValue));
}

void SetKeyFlag(CMarkupNode* pNode, std::string_view key, bool bOn)
{
    pNode->SetChildValue(key, bOn ? FLAG_ON : FLAG_OFF);
}

CMarkupNode* FindOrAppendChild(CMarkupNode* pNode, std::string_view name)
{
    CMarkupNode* pChild = pNode->FindChild(name);
    if (pChild == nullptr) {
        pChild = new CMarkupNode(name, CMarkupNode::KIND_ELEMENT);
        pNode->AppendChild(pChild);
    }
    return pChild;
}

void RemoveChildren(CMarkupNode* pNode, std::string_view name)
{
    while (pNode->RemoveChild(pNode->FindChild(name))) {
    }
}

std::vector<NameValue> GetNameValueList(const CMarkupNode* pParent, std::string_view element)
{
    std::vector<NameValue> aPairs;
    if (pParent == nullptr)
        return aPairs;
    for (const CMarkupNode* p = pParent->FindChild(element); p != nullptr; p = p->NextSameName())
        aPairs.push_back({ std::string(GetKeyText(p, KEY_NAME)), std::string(GetKeyText(p, KEY_VALUE)) });
    return aPairs;
}

void SetNameValueList(CMarkupNode* pParent, std::string_view element, const std::vector<NameValue>& aPairs)
{
    RemoveChildren(pParent, element);
    for (const NameValue& pair : aPairs) {
        CMarkupNode* pElement = new CMarkupNode(element, CMarkupNode::KIND_ELEMENT);
        pElement->SetChildValue(KEY_NAME, pair.strName);
        pElement->SetChildValue(KEY_VALUE, pair.strValue);
        pParent->AppendChild(pElement);
    }
}

CMarkupNode* NewTaskDefinition(CMarkupDoc& doc)
{
    doc.Clear();
    CMarkupNode* pRoot = new CMarkupNode(KEY_ROOT, CMarkupNode::KIND_ELEMENT);
    doc.AppendTopLevel(pRoot);
    return pRoot;
}

std::string GetLocationName(const CMarkupNode* pLocation)
{
    const std::string_view name = GetKeyText(pLocation, KEY_NAME);
    return std::string(name.empty() ? std::string_view(DEFAULT_LOCATION_NAME) : name);
}

std::string GetDataName(const CMarkupNode* pData)
{
    const std::string_view name = GetKeyText(pData, KEY_NAME);
    return std::string(name.empty() ? std::string_view(DEFAULT_DATA_NAME) : name);
}

std::string GetFullPath(const CMarkupNode* pNode)
{
    if (pNode == nullptr)
        return std::string();
    std::string strPath(GetKeyText(pNode, KEY_PATH));
    for (const CMarkupNode* pParent = pNode->GetParent();
         pParent != nullptr && pParent->IsElement() && pParent->GetNameView() == KEY_LOCATION;
         pParent = pParent->GetParent()) {
        strPath.insert(0, GetKeyText(pParent, KEY_PATH));
    }
    return strPath;
}

std::string ResolveSaveDirectory(std::string_view directory, std::string_view programDir)
{
    if (directory.empty())
        return std::string(programDir);
    if (directory.front() == '/')
        return std::string(directory);
    std::string strPath(programDir);
    strPath += directory;
    return strPath;
}

std::string ResolveSaveDirectory(std::string_view directory)
{
    return ResolveSaveDirectory(directory, GetProgramDir());
}

} // namespace quarvex
