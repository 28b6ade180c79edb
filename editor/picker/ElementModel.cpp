// ElementModel.cpp - node paths from the browser's element model.
#include "ElementModel.h"

#include <algorithm>

namespace quarvex {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'A' && ca <= 'Z')
            ca = static_cast<char>(ca + ('a' - 'A'));
        if (cb >= 'A' && cb <= 'Z')
            cb = static_cast<char>(cb + ('a' - 'A'));
        if (ca != cb)
            return false;
    }
    return true;
}

} // namespace

std::string LowerAscii(std::string_view strText)
{
    std::string strOut(strText);
    for (char& c : strOut) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    }
    return strOut;
}

int CElementModel::Add(std::string_view strTag, int nParent)
{
    const int nIndex = static_cast<int>(m_aElements.size());
    SPickElement element;
    element.strTag = strTag;
    element.nParent = nParent >= 0 && nParent < nIndex ? nParent : -1;
    m_aElements.push_back(std::move(element));
    if (m_aElements.back().nParent >= 0)
        m_aElements[static_cast<size_t>(nParent)].aChildren.push_back(nIndex);
    return nIndex;
}

std::string BuildNodePath(const CElementModel& model, int nElement)
{
    if (nElement < 0 || nElement >= model.GetCount())
        return {};
    // From the element up to the topmost one; a parent index always lies
    // below its child's, so the walk ends.
    std::vector<int> aChain;
    for (int n = nElement; n >= 0; n = model.Get(n).nParent)
        aChain.push_back(n);
    std::reverse(aChain.begin(), aChain.end());

    std::string strPath = LowerAscii(model.Get(aChain.front()).strTag);
    for (size_t i = 1; i < aChain.size(); ++i) {
        const SPickElement& element = model.Get(aChain[i]);
        const std::string strTag = LowerAscii(element.strTag);
        bool bFirst = true;
        for (int nChild : model.Get(element.nParent).aChildren) {
            if (EqualNoCase(model.Get(nChild).strTag, strTag)) {
                strPath += bFirst ? '@' : '#';
                strPath += strTag;
                bFirst = false;
            }
            if (nChild == aChain[i])
                break;
        }
    }
    return strPath;
}

std::string ReplaceTableTbody(std::string_view strPath)
{
    static constexpr std::string_view s_strFrom = "table@tbody";
    std::string strOut;
    size_t nPos = 0;
    for (;;) {
        const size_t nHit = strPath.find(s_strFrom, nPos);
        if (nHit == std::string_view::npos)
            break;
        strOut.append(strPath.substr(nPos, nHit - nPos));
        strOut += "table";
        nPos = nHit + s_strFrom.size();
    }
    strOut.append(strPath.substr(nPos));
    return strOut;
}

} // namespace quarvex
