// LocationLoader.cpp - reading blocks and columns from a task definition.
#include "LocationLoader.h"

#include "markup/MarkupDoc.h"
#include "markup/TaskDef.h"

#include <string>

using namespace quarvex;

namespace {

// Blocks, and the blocks of linked pages inside their columns, nest at most
// this deep. Real definitions use a handful of levels; the bound keeps the
// recursive walks over the forest safe from a hostile definition.
const int MAX_NESTING = 64;

CLocation* LoadLocationAt(const CMarkupNode* pElem, int nNesting);

CDataNode* LoadDataNodeAt(const CMarkupNode* pElem, int nNesting)
{
    if (pElem == nullptr || !pElem->IsElement() || pElem->GetNameView() != KEY_DATA)
        return nullptr;
    CDataNode* pData = new CDataNode;
    pData->m_nType = GetKeyNumber(pElem, KEY_TYPE);
    pData->m_nOrder = GetKeyNumber(pElem, KEY_ORDER);
    pData->m_bKey = GetKeyNumber(pElem, KEY_ONLY) != 0;
    pData->m_strName = GetDataName(pElem);
    pData->m_strPath = GetKeyText(pElem, KEY_PATH);
    pData->m_strAttribute = GetKeyText(pElem, KEY_ATTRIBUTE);
    if (pData->m_nType == CDataNode::TYPE_LINKED_PAGE) {
        pData->m_strOption = GetKeyText(pElem, KEY_SPLITTER);
    } else if (pData->m_nType == CDataNode::TYPE_LINKED_FILE) {
        // The file name is put directly after the directory, so it must end
        // with a separator whatever the definition wrote.
        pData->m_strOption = ResolveSaveDirectory(GetKeyText(pElem, KEY_DIRECTORY));
        if (pData->m_strOption.empty() || pData->m_strOption.back() != '/')
            pData->m_strOption += '/';
    }
    // Only the first <location> of a column describes the linked page.
    pData->m_pLinked = LoadLocationAt(pElem->FindChild(KEY_LOCATION), nNesting + 1);
    return pData;
}

CLocation* LoadLocationAt(const CMarkupNode* pElem, int nNesting)
{
    if (pElem == nullptr || !pElem->IsElement() || pElem->GetNameView() != KEY_LOCATION)
        return nullptr;
    if (nNesting >= MAX_NESTING)
        return nullptr;
    CLocation* pBlock = new CLocation(GetKeyText(pElem, KEY_PATH), GetKeyText(pElem, KEY_STEP));
    // Chains are extended at their tails here; appending through the block
    // would walk each chain once per element.
    CDataNode* pLastData = nullptr;
    for (const CMarkupNode* p = pElem->FindChild(KEY_DATA); p != nullptr; p = p->NextSameName()) {
        CDataNode* pData = LoadDataNodeAt(p, nNesting);
        if (pData == nullptr)
            continue;
        pData->m_pOwner = pBlock;
        (pLastData == nullptr ? pBlock->m_pFirstData : pLastData->m_pNext) = pData;
        pLastData = pData;
    }
    CLocation* pLastChild = nullptr;
    for (const CMarkupNode* p = pElem->FindChild(KEY_LOCATION); p != nullptr; p = p->NextSameName()) {
        CLocation* pChild = LoadLocationAt(p, nNesting + 1);
        if (pChild == nullptr)
            continue;
        pChild->m_pParent = pBlock;
        (pLastChild == nullptr ? pBlock->m_pFirstChild : pLastChild->m_pNext) = pChild;
        pLastChild = pChild;
    }
    return pBlock;
}

} // namespace

CLocation* LoadLocations(const CMarkupDoc& def)
{
    CLocation* pFirst = nullptr;
    CLocation* pLast = nullptr;
    for (const CMarkupNode* p = def.FindPath(PATH_LOCATION); p != nullptr; p = p->NextSameName()) {
        CLocation* pBlock = LoadLocationAt(p, 0);
        if (pBlock == nullptr)
            continue;
        (pLast == nullptr ? pFirst : pLast->m_pNext) = pBlock;
        pLast = pBlock;
    }
    return pFirst;
}

CLocation* LoadLocation(const CMarkupNode* pElem)
{
    return LoadLocationAt(pElem, 0);
}

CDataNode* LoadDataNode(const CMarkupNode* pElem)
{
    return LoadDataNodeAt(pElem, 0);
}
