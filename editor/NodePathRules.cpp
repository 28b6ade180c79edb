// NodePathRules.cpp - placing blocks and fields in a task definition.
#include "NodePathRules.h"

#include <filesystem>
#include <system_error>

#include "markup/TaskDef.h"

namespace quarvex {

const char* const g_apszNodeTypeNames[NODE_TYPE_COUNT] = {
    "区块", "文本", "InnerHtml", "OuterHtml", "标签属性值", "链接网页内容", "链接文件",
};

int NodeTypeIndexFromName(std::string_view name)
{
    for (int i = 0; i < NODE_TYPE_COUNT; ++i) {
        if (name == g_apszNodeTypeNames[i])
            return i;
    }
    return -1;
}

bool IsLocation(const CMarkupNode* pNode)
{
    return pNode != nullptr && pNode->IsElement() && pNode->GetNameView() == KEY_LOCATION;
}

bool IsData(const CMarkupNode* pNode)
{
    return pNode != nullptr && pNode->IsElement() && pNode->GetNameView() == KEY_DATA;
}

int NodeTypeIndexOf(const CMarkupNode* pElem)
{
    if (IsLocation(pElem))
        return NODE_BLOCK;
    if (!IsData(pElem))
        return -1;
    const int32_t nType = GetKeyNumber(pElem, KEY_TYPE);
    if (nType < DATA_TEXT || nType > DATA_LINKED_FILE)
        return -1;
    return static_cast<int>(nType) + 1;
}

std::string NodeTypeText(const CMarkupNode* pElem)
{
    const int nIndex = NodeTypeIndexOf(pElem);
    if (nIndex >= 0)
        return g_apszNodeTypeNames[nIndex];
    // A type this editor does not know is shown as stored, so that the user
    // sees what the engine will skip.
    return std::string(GetKeyText(pElem, KEY_TYPE));
}

std::string FullNodePath(const CMarkupNode* pElem)
{
    return GetFullPath(pElem);
}

std::string FullSiblingPath(const CMarkupNode* pLocation)
{
    const std::string_view step = GetKeyText(pLocation, KEY_STEP);
    if (step.empty())
        return std::string();
    std::string strPath;
    if (pLocation != nullptr && IsLocation(pLocation->GetParent()))
        strPath = FullNodePath(pLocation->GetParent());
    strPath += GetKeyText(pLocation, KEY_PATH);
    strPath += step;
    return strPath;
}

std::string RelativePath(std::string_view text, std::string_view base)
{
    size_t n = 0;
    while (n < text.size() && n < base.size() && text[n] == base[n])
        ++n;
    return std::string(text.substr(n));
}

bool PathContains(std::string_view base, std::string_view path)
{
    if (base.empty())
        return true;
    if (path.size() < base.size() || path.compare(0, base.size(), base) != 0)
        return false;
    // A bare character prefix would put "…@pre@a" inside a block at "…@p"
    // and "…@track" inside one at "…@tr": the block's last tag name must end
    // where the path's step ends.
    if (path.size() == base.size())
        return true;
    const char ch = path[base.size()];
    return ch == '@' || ch == '#';
}

CMarkupNode* FindContainingLocation(CMarkupNode* pFirst, std::string_view path)
{
    CMarkupNode* pFound = nullptr;
    // One level at a time, without recursion: a definition may nest blocks
    // as deep as its text allows.
    for (CMarkupNode* pLevel = IsLocation(pFirst) ? pFirst : nullptr; pLevel != nullptr;) {
        CMarkupNode* pMatch = nullptr;
        for (CMarkupNode* p = pLevel; p != nullptr; p = p->NextSameName()) {
            if (PathContains(FullNodePath(p), path)) {
                pMatch = p;
                break;
            }
        }
        if (pMatch == nullptr)
            break;
        pFound = pMatch;
        pLevel = pMatch->FindChild(KEY_LOCATION);
    }
    return pFound;
}

void TrimBlockPaths(std::string& strNode, std::string& strSibling)
{
    size_t i = strNode.size();
    size_t j = strSibling.size();
    while (i > 0 && j > 0 && strNode[i - 1] == strSibling[j - 1]) {
        --i;
        --j;
    }
    // One is a suffix of the other (or empty): there is no differing step.
    if (i == 0 || j == 0)
        return;
    // strNode[i - 1] and strSibling[j - 1] differ; walk the common tail up
    // to the end of the step that holds the difference.
    while (i < strNode.size() && strNode[i] != '@') {
        ++i;
        ++j;
    }
    if (i == strNode.size())
        return;
    strNode.resize(i);
    strSibling.resize(j);
}

SNodeFields ReadNodeFields(const CMarkupNode* pElem)
{
    SNodeFields fields;
    fields.nType = NodeTypeIndexOf(pElem);
    fields.strName = IsLocation(pElem) ? GetLocationName(pElem) : GetDataName(pElem);
    fields.strPath = FullNodePath(pElem);
    if (IsLocation(pElem))
        fields.strSibling = FullSiblingPath(pElem);
    fields.strAttribute = GetKeyText(pElem, KEY_ATTRIBUTE);
    fields.strOrder = GetKeyText(pElem, KEY_ORDER);
    fields.bOnly = GetKeyText(pElem, KEY_ONLY) == FLAG_ON;
    fields.strOption = GetKeyText(pElem, fields.nType == NODE_LINKED_PAGE ? KEY_SPLITTER : KEY_DIRECTORY);
    return fields;
}

namespace {

// The step of a block: the sibling pick after the block's full path, when
// the pick reaches beyond it; otherwise the pick as it stands.
std::string StepOf(const std::string& strSibling, const std::string& strFull)
{
    if (!strSibling.empty() && strSibling.size() > strFull.size())
        return RelativePath(strSibling, strFull);
    return strSibling;
}

void WriteDataKeys(CMarkupNode* pData, int nType, const SNodeFields& fields, const std::string& strPath,
                   bool bAttribute)
{
    if (nType >= NODE_TEXT)
        SetKeyText(pData, KEY_TYPE, std::to_string(nType - 1));
    SetKeyText(pData, KEY_NAME, fields.strName);
    SetKeyText(pData, KEY_PATH, strPath);
    SetKeyText(pData, KEY_ORDER, fields.strOrder);
    SetKeyText(pData, KEY_ONLY, fields.bOnly ? FLAG_ON : FLAG_OFF);
    if (bAttribute)
        SetKeyText(pData, KEY_ATTRIBUTE, fields.strAttribute);
    if (nType == NODE_LINKED_PAGE)
        SetKeyText(pData, KEY_SPLITTER, fields.strOption);
    if (nType == NODE_LINKED_FILE)
        SetKeyText(pData, KEY_DIRECTORY, fields.strOption);
}

void WriteLocationKeys(CMarkupNode* pLocation, const SNodeFields& fields, const std::string& strPath,
                       const std::string& strStep)
{
    SetKeyText(pLocation, KEY_NAME, fields.strName);
    SetKeyText(pLocation, KEY_PATH, strPath);
    SetKeyText(pLocation, KEY_STEP, strStep);
}

} // namespace

EAddResult AddNode(CMarkupNode* pOwner, const SNodeFields& fields, CMarkupNode** ppNew,
                   CMarkupNode** ppMadeBlock)
{
    if (ppNew != nullptr)
        *ppNew = nullptr;
    if (ppMadeBlock != nullptr)
        *ppMadeBlock = nullptr;
    const int nType = fields.nType >= NODE_BLOCK && fields.nType < NODE_TYPE_COUNT ? fields.nType : NODE_TEXT;
    const bool bLinkedPage = IsData(pOwner);

    CMarkupNode* pFirstBlock = pOwner->FindChild(KEY_LOCATION);
    CMarkupNode* pParent = nullptr;
    if (bLinkedPage) {
        // Only the first block of a linked page is ever read: blocks after
        // it (an older editor may have written them) take no new nodes.
        if (pFirstBlock != nullptr && PathContains(FullNodePath(pFirstBlock), fields.strPath)) {
            CMarkupNode* pChild = pFirstBlock->FindChild(KEY_LOCATION);
            pParent = pChild != nullptr ? FindContainingLocation(pChild, fields.strPath) : nullptr;
            if (pParent == nullptr)
                pParent = pFirstBlock;
        }
    } else if (pFirstBlock != nullptr) {
        pParent = FindContainingLocation(pFirstBlock, fields.strPath);
    }
    std::string strBase;
    std::string strPath;
    CMarkupNode* pMadeBlock = nullptr;
    if (pParent != nullptr) {
        strBase = FullNodePath(pParent);
        strPath = RelativePath(fields.strPath, strBase);
    } else if (bLinkedPage && pFirstBlock != nullptr) {
        // The engine reads only the first block of a linked page; a second
        // one would be kept in the file and never extracted.
        return ADD_SECOND_LINKED_BLOCK;
    } else if (nType == NODE_BLOCK) {
        pParent = pOwner;
        strPath = fields.strPath;
    } else {
        // A field picked outside every block gets a block of its own that
        // stands exactly on the picked node.
        pMadeBlock = new CMarkupNode(KEY_LOCATION);
        SetKeyText(pMadeBlock, KEY_NAME, DEFAULT_LOCATION_NAME);
        SetKeyText(pMadeBlock, KEY_PATH, fields.strPath);
        SetKeyText(pMadeBlock, KEY_STEP, "");
        pOwner->AppendChild(pMadeBlock);
        pParent = pMadeBlock;
        strBase = fields.strPath;
    }

    CMarkupNode* pNew = nullptr;
    if (nType == NODE_BLOCK) {
        pNew = new CMarkupNode(KEY_LOCATION);
        WriteLocationKeys(pNew, fields, strPath, StepOf(fields.strSibling, strBase + strPath));
    } else {
        pNew = new CMarkupNode(KEY_DATA);
        WriteDataKeys(pNew, nType, fields, strPath, nType >= NODE_ATTRIBUTE);
    }
    pParent->AppendChild(pNew);
    if (ppNew != nullptr)
        *ppNew = pNew;
    if (ppMadeBlock != nullptr)
        *ppMadeBlock = pMadeBlock;
    return ADD_OK;
}

void ModifyNode(CMarkupNode* pElem, const SNodeFields& fields, EModifyOrigin nOrigin)
{
    if (pElem == nullptr)
        return;
    const CMarkupNode* pParent = pElem->GetParent();
    const std::string strBase = IsLocation(pParent) ? FullNodePath(pParent) : std::string();
    const std::string strPath = RelativePath(fields.strPath, strBase);
    if (IsLocation(pElem)) {
        WriteLocationKeys(pElem, fields, strPath, StepOf(fields.strSibling, strBase + strPath));
        return;
    }
    if (!IsData(pElem))
        return;
    // The stored type decides, not the dialog: modifying never turns a field
    // into another kind, and a type this editor does not know stays as it is.
    const int nType = NodeTypeIndexOf(pElem);
    const bool bAttribute = nOrigin == MODIFY_FROM_DOUBLE_CLICK || nType >= NODE_ATTRIBUTE;
    WriteDataKeys(pElem, nType, fields, strPath, bAttribute);
}

bool CheckSaveDirectory(std::string_view directory, std::string_view programDir, std::string& strChecked)
{
    strChecked = ResolveSaveDirectory(directory, programDir);
    std::error_code ec;
    return std::filesystem::is_directory(strChecked, ec);
}

std::string NormalizeSaveDirectory(std::string_view directory)
{
    std::string strDir(directory);
    if (strDir.empty() || strDir.back() != '/')
        strDir += '/';
    return strDir;
}

} // namespace quarvex
