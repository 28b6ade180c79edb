// PathCheck.cpp - resolving a browser pick in our own tree of the page text.
#include "PathCheck.h"

#include "ElementModel.h"

#include <cstdint>
#include <cstring>

namespace quarvex {

namespace {

// Nodes visited (and text bytes gathered) by one check before it gives up:
// a hostile page with millions of nested elements must not keep the check
// busy for minutes.
constexpr long CHECK_BUDGET = 5'000'000;
// Paths worked out for matching elements; beyond these they are only counted.
constexpr int MAX_MATCH_PATHS = 64;

inline bool IsSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

std::string_view StepTag(std::string_view strStep)
{
    return strStep.substr(0, strStep.find('#'));
}

void AppendUtf8(uint32_t nCode, std::string& strOut)
{
    if (nCode < 0x80) {
        strOut += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        strOut += static_cast<char>(0xC0 | (nCode >> 6));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
        strOut += static_cast<char>(0xE0 | (nCode >> 12));
        strOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        strOut += static_cast<char>(0xF0 | (nCode >> 18));
        strOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        strOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

// Decodes the reference at strText[i] ('&'); returns its length, or 0 when it
// is not one we know (the '&' then stands for itself).
size_t DecodeEntity(std::string_view strText, size_t i, std::string& strOut)
{
    const size_t nSemi = strText.find(';', i);
    if (nSemi == std::string_view::npos || nSemi - i > 10)
        return 0;
    const std::string_view strName = strText.substr(i + 1, nSemi - i - 1);
    uint32_t nCode = 0;
    if (strName.size() >= 2 && strName[0] == '#') {
        const bool bHex = strName[1] == 'x' || strName[1] == 'X';
        const std::string_view strDigits = strName.substr(bHex ? 2 : 1);
        if (strDigits.empty())
            return 0;
        for (char c : strDigits) {
            int nDigit;
            if (c >= '0' && c <= '9')
                nDigit = c - '0';
            else if (bHex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
                nDigit = (c | 0x20) - 'a' + 10;
            else
                return 0;
            nCode = nCode * (bHex ? 16 : 10) + static_cast<uint32_t>(nDigit);
            if (nCode > 0x10FFFF)
                return 0;
        }
        if (nCode == 0 || (nCode >= 0xD800 && nCode <= 0xDFFF))
            return 0;
    } else if (strName == "amp") {
        nCode = '&';
    } else if (strName == "lt") {
        nCode = '<';
    } else if (strName == "gt") {
        nCode = '>';
    } else if (strName == "quot") {
        nCode = '"';
    } else if (strName == "apos") {
        nCode = '\'';
    } else if (strName == "nbsp") {
        nCode = 0xA0;
    } else {
        return 0;
    }
    if (nCode != 0xA0 && !(nCode < 0x80 && IsSpace(static_cast<unsigned char>(nCode))))
        AppendUtf8(nCode, strOut);
    return nSemi - i + 1;
}

// The normalised text of a node as our renderer would give it, stopped after
// nCap bytes. False when the budget ran out.
bool CollectText(const CHtmlNode* pTop, size_t nCap, long& nBudget, std::string& strOut)
{
    std::vector<const CHtmlNode*> aResume;
    const CHtmlNode* pNode = pTop;
    while (pNode != nullptr && strOut.size() < nCap) {
        if (--nBudget < 0)
            return false;
        const CHtmlNode* pDown = nullptr;
        if (pNode->GetKind() == CHtmlNode::KIND_TEXT) {
            const std::string_view strRun(pNode->GetStart(), static_cast<size_t>(pNode->GetEnd() - pNode->GetStart()));
            strOut += NormalizeText(strRun, true);
            // A long run costs its length, so a page of huge texts cannot keep
            // the check busy either.
            nBudget -= static_cast<long>(strRun.size() / 64);
        } else if (pNode->GetKind() == CHtmlNode::KIND_ELEMENT) {
            const std::string_view strName = pNode->GetName();
            if (!EqualNoCase(strName, "script") && !EqualNoCase(strName, "style"))
                pDown = pNode->GetFirstChild();
        }
        if (pDown != nullptr) {
            if (pNode != pTop && pNode->GetNext() != nullptr)
                aResume.push_back(pNode->GetNext());
            pNode = pDown;
            continue;
        }
        pNode = pNode != pTop ? pNode->GetNext() : nullptr;
        if (pNode == nullptr && !aResume.empty()) {
            pNode = aResume.back();
            aResume.pop_back();
        }
    }
    if (strOut.size() > nCap)
        strOut.resize(nCap);
    return true;
}

// Decides whether a node of our tree is the element the browser picked.
class CMatcher {
public:
    explicit CMatcher(const SPickedElement& picked)
        : m_picked(picked), m_strText(NormalizeText(picked.strText, false))
    {
        for (const auto& [strName, strValue] : picked.aAttributes)
            m_aAttributes.emplace_back(strName, NormalizeText(strValue, false));
    }

    // -1 when the budget ran out, otherwise 1 for a match and 0 for none.
    int Matches(const CHtmlNode* pNode, long& nBudget) const
    {
        if (pNode->GetKind() != CHtmlNode::KIND_ELEMENT || !pNode->IsElement(m_picked.strTag))
            return 0;
        std::string strValue;
        for (const auto& [strName, strWanted] : m_aAttributes) {
            strValue.clear();
            if (!pNode->GetAttribute(strName, strValue) || NormalizeText(strValue, true) != strWanted)
                return 0;
        }
        std::string strOurs;
        const size_t nCap = m_strText.size() + (m_picked.bTextCut ? 0 : 1);
        if (!CollectText(pNode, nCap, nBudget, strOurs))
            return -1;
        return strOurs == m_strText ? 1 : 0;
    }

private:
    const SPickedElement& m_picked;
    std::string m_strText;
    std::vector<std::pair<std::string, std::string>> m_aAttributes;
};

bool IsWritableName(std::string_view strName)
{
    return !strName.empty() && strName.find_first_of("@#") == std::string_view::npos;
}

// One level of the walk: the first node of the level and the node reached.
struct SLevel {
    const CHtmlNode* pFirst;
    const CHtmlNode* pNode;
};

std::string PathOfLevels(const std::vector<SLevel>& aLevels)
{
    std::string strPath;
    for (const SLevel& level : aLevels) {
        const std::string_view strName = level.pNode->GetName();
        if (level.pNode->GetKind() != CHtmlNode::KIND_ELEMENT || !IsWritableName(strName))
            return {};
        const std::string strTag = LowerAscii(strName);
        if (!strPath.empty())
            strPath += '@';
        strPath += strTag;
        for (const CHtmlNode* p = level.pFirst; p != level.pNode; p = p->GetNext()) {
            if (p->IsElement(strTag)) {
                strPath += '#';
                strPath += strTag;
            }
        }
    }
    return strPath;
}

// Pre-order walk over the whole tree; fnVisit(node, levels) returns false to
// stop. False when the budget ran out.
template <typename F>
bool WalkTree(const CHtmlDoc& doc, long& nBudget, F fnVisit)
{
    std::vector<SLevel> aLevels;
    if (doc.GetFirst() != nullptr)
        aLevels.push_back({ doc.GetFirst(), doc.GetFirst() });
    while (!aLevels.empty()) {
        const CHtmlNode* pNode = aLevels.back().pNode;
        if (pNode == nullptr) {
            aLevels.pop_back();
            if (!aLevels.empty())
                aLevels.back().pNode = aLevels.back().pNode->GetNext();
            continue;
        }
        if (--nBudget < 0)
            return false;
        if (!fnVisit(pNode, aLevels))
            return true;
        if (pNode->GetKind() == CHtmlNode::KIND_ELEMENT && pNode->GetFirstChild() != nullptr)
            aLevels.push_back({ pNode->GetFirstChild(), pNode->GetFirstChild() });
        else
            aLevels.back().pNode = pNode->GetNext();
    }
    return true;
}

size_t CommonPrefix(std::string_view a, std::string_view b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        ++n;
    return n;
}

// Cuts at nMax bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& strText, size_t nMax)
{
    if (strText.size() <= nMax)
        return;
    size_t n = nMax;
    while (n > 0 && (static_cast<unsigned char>(strText[n]) & 0xC0) == 0x80)
        --n;
    strText.resize(n);
    strText += "…";
}

} // namespace

std::string NormalizeText(std::string_view strText, bool bEntities)
{
    std::string strOut;
    strOut.reserve(strText.size());
    for (size_t i = 0; i < strText.size();) {
        const unsigned char c = static_cast<unsigned char>(strText[i]);
        if (IsSpace(c)) {
            ++i;
        } else if (c == 0xC2 && i + 1 < strText.size() && static_cast<unsigned char>(strText[i + 1]) == 0xA0) {
            i += 2;
        } else if (c == '&' && bEntities) {
            const size_t nLen = DecodeEntity(strText, i, strOut);
            if (nLen == 0) {
                strOut += '&';
                ++i;
            } else {
                i += nLen;
            }
        } else {
            strOut += static_cast<char>(c);
            ++i;
        }
    }
    return strOut;
}

std::string DropInventedTbody(std::string_view strPath, const CHtmlDoc& doc)
{
    std::string strKept;
    std::string_view strLastTag;
    size_t nPos = 0;
    while (nPos <= strPath.size()) {
        size_t nEnd = strPath.find('@', nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strPath.size();
        const std::string_view strStep = strPath.substr(nPos, nEnd - nPos);
        bool bKeep = true;
        if (!strKept.empty() && EqualNoCase(StepTag(strStep), "tbody") && EqualNoCase(strLastTag, "table"))
            bKeep = doc.FindPath(strKept + '@' + std::string(strStep)) != nullptr;
        if (bKeep) {
            if (nPos > 0)
                strKept += '@';
            strKept.append(strStep);
            strLastTag = StepTag(strStep);
        }
        nPos = nEnd + 1;
    }
    return strKept;
}

std::string PathOfNode(const CHtmlDoc& doc, const CHtmlNode* pNode)
{
    std::string strPath;
    long nBudget = CHECK_BUDGET;
    WalkTree(doc, nBudget, [&](const CHtmlNode* p, const std::vector<SLevel>& aLevels) {
        if (p != pNode)
            return true;
        strPath = PathOfLevels(aLevels);
        return false;
    });
    return strPath;
}

std::string RenderNodeValue(const CHtmlNode* pNode, int nType, std::string_view strAttribute, size_t nMaxBytes)
{
    std::string strValue;
    if (pNode == nullptr)
        return strValue;
    switch (nType) {
    case 2:
        pNode->AppendInnerHtml(strValue);
        break;
    case 3:
        pNode->AppendOuterHtml(strValue);
        break;
    case 4:
    case 5:
    case 6:
        pNode->GetAttribute(strAttribute, strValue);
        break;
    default:
        pNode->AppendText(strValue);
        break;
    }
    CutUtf8(strValue, nMaxBytes);
    return strValue;
}

SPathCheck CheckPickedPath(const CHtmlDoc& doc, const SPickedElement& picked, int nType,
                           std::string_view strAttribute)
{
    SPathCheck check;
    check.strPath = doc.GetFirst() != nullptr ? DropInventedTbody(picked.strPath, doc)
                                              : ReplaceTableTbody(picked.strPath);
    if (doc.GetFirst() == nullptr || picked.strTag.empty())
        return check;

    const CMatcher matcher(picked);
    long nBudget = CHECK_BUDGET;
    const CHtmlNode* pAt = doc.FindPath(check.strPath);
    if (pAt != nullptr) {
        const int nMatch = matcher.Matches(pAt, nBudget);
        if (nMatch < 0)
            return check;
        if (nMatch > 0) {
            check.nResult = CHECK_FOUND;
            check.nMatches = 1;
            check.strValue = RenderNodeValue(pAt, nType, strAttribute);
            check.bValueFound = true;
            return check;
        }
    }

    // The browser's path misses: look for the element by its tag and text,
    // and offer the match whose path stays closest to the picked one.
    const CHtmlNode* pBest = nullptr;
    size_t nBestCommon = 0;
    bool bBudgetOut = false;
    const bool bComplete = WalkTree(doc, nBudget, [&](const CHtmlNode* p, const std::vector<SLevel>& aLevels) {
        const int nMatch = matcher.Matches(p, nBudget);
        if (nMatch < 0) {
            bBudgetOut = true;
            return false;
        }
        if (nMatch == 0)
            return true;
        ++check.nMatches;
        if (check.nMatches > MAX_MATCH_PATHS)
            return true;
        std::string strMatch = PathOfLevels(aLevels);
        if (strMatch.empty() || doc.FindPath(strMatch) != p)
            return true;
        const size_t nCommon = CommonPrefix(strMatch, check.strPath);
        if (pBest == nullptr || nCommon > nBestCommon) {
            pBest = p;
            nBestCommon = nCommon;
            check.strMatchPath = std::move(strMatch);
        }
        return true;
    });
    if (!bComplete || bBudgetOut)
        return check;

    if (pBest != nullptr) {
        check.nResult = CHECK_MOVED;
        check.strValue = RenderNodeValue(pBest, nType, strAttribute);
        check.bValueFound = true;
    } else if (pAt != nullptr) {
        check.nResult = CHECK_DIFFERENT;
        check.strValue = RenderNodeValue(pAt, nType, strAttribute);
        check.bValueFound = true;
    } else {
        check.nResult = CHECK_NOT_IN_PAGE;
    }
    return check;
}

std::string DescribePathCheck(const SPathCheck& check, const SPickedElement& picked)
{
    std::string strWhich = "<" + picked.strTag + ">";
    std::string strText = picked.strText;
    CutUtf8(strText, 60);
    if (!strText.empty()) {
        strWhich += "，文本“" + strText + "”";
    } else {
        for (const auto& [strName, strValue] : picked.aAttributes) {
            std::string strShown = strValue;
            CutUtf8(strShown, 60);
            strWhich += "，" + strName + "=“" + strShown + "”";
        }
    }
    switch (check.nResult) {
    case CHECK_FOUND:
        return "已核对：此路径在网页源文本中找到同一节点。";
    case CHECK_MOVED: {
        std::string strLine = "此路径在网页源文本中找不到所选节点；源文本中标签与文本相同的节点（" + strWhich
                              + "）的路径是 " + check.strMatchPath;
        if (check.nMatches > 1)
            strLine += "（共 " + std::to_string(check.nMatches) + " 处相同，取与所选路径最接近的一处）";
        return strLine + "。";
    }
    case CHECK_DIFFERENT:
        return "此路径在网页源文本中指向另一个节点，源文本中也没有与所选节点（" + strWhich + "）相同的节点。";
    case CHECK_NOT_IN_PAGE:
        return "网页源文本中没有这个元素（" + strWhich + "）：它是网页的脚本生成的，任务看不到它。";
    case CHECK_UNCHECKED:
        break;
    }
    return "未能核对：网页源文本为空，或太大无法查找。";
}

} // namespace quarvex
