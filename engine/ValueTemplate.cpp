// ValueTemplate.cpp - the web post substitution.
#include "ValueTemplate.h"

#include <cstdio>
#include <memory>

#include "http/Url.h"

namespace {

// Replaces every occurrence of strFrom in strText by strTo, scanning on after
// each replacement so that strTo is never searched again.
void ReplaceAll(std::string& strText, std::string_view strFrom, std::string_view strTo)
{
    if (strFrom.empty())
        return;
    std::string strOut;
    std::size_t nPos = 0;
    for (;;) {
        const std::size_t nHit = strText.find(strFrom, nPos);
        if (nHit == std::string::npos)
            break;
        strOut.append(strText, nPos, nHit - nPos);
        strOut += strTo;
        nPos = nHit + strFrom.size();
    }
    if (nPos == 0)
        return;
    strOut.append(strText, nPos, std::string::npos);
    strText.swap(strOut);
}

bool ReadWholeFile(const std::string& strPath, std::string& strOut)
{
    if (strPath.empty())
        return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pFile(std::fopen(strPath.c_str(), "rb"),
                                                          &std::fclose);
    if (!pFile)
        return false;
    strOut.clear();
    char aBuf[65536];
    std::size_t nRead;
    while ((nRead = std::fread(aBuf, 1, sizeof aBuf, pFile.get())) > 0)
        strOut.append(aBuf, nRead);
    return !std::ferror(pFile.get());
}

} // namespace

std::string SubstituteWebPost(std::string_view strText, const std::vector<std::string>& aRecord,
                              const std::vector<CDbColumn>& aColumns)
{
    std::string strOut(strText);
    for (std::size_t i = 0; i < aColumns.size(); ++i) {
        const CDbColumn& column = aColumns[i];
        const std::string& strValue = i < aRecord.size() ? aRecord[i] : std::string();
        ReplaceAll(strOut, "<@@" + column.m_strName + "@@>", strValue);
        if (!column.m_bLinkedFile)
            continue;
        const std::string strFileForm = "<@#" + column.m_strName + "#@>";
        if (strOut.find(strFileForm) == std::string::npos)
            continue;
        std::string strContent;
        if (ReadWholeFile(strValue, strContent))
            ReplaceAll(strOut, strFileForm, UrlEncode(strContent.data(), strContent.size()));
    }
    return strOut;
}
