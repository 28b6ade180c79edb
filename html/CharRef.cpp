// CharRef.cpp - character reference decoding with the full named table.
#include "CharRef.h"
#include "platform/HexDigit.h"

#include <algorithm>
#include <cstring>

namespace {

struct SCharRef {
    const char* pszName;
    const char* pszText;
};

#include "CharRefTable.inc"

// Longest name in the table, ';' included.
constexpr std::size_t s_nMaxName = 33;

bool IsAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

const SCharRef* FindName(std::string_view strName)
{
    const SCharRef* pEnd = s_aCharRefs + std::size(s_aCharRefs);
    const SCharRef* p = std::lower_bound(s_aCharRefs, pEnd, strName,
        [](const SCharRef& ref, std::string_view str) { return std::string_view(ref.pszName) < str; });
    if (p != pEnd && std::string_view(p->pszName) == strName)
        return p;
    return nullptr;
}

// Code points 0x80-0x9F that pages mean as windows-1252 characters.
const char16_t s_aC1[32] = {
    0x20AC, 0x81, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D, 0x017D, 0x8F,
    0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D, 0x017E, 0x0178,
};

// A numeric reference at strIn (just after "&#"); returns the bytes it
// used, or 0 when there are no digits.
std::size_t DecodeNumeric(std::string_view strIn, std::string& strOut)
{
    std::size_t i = 0;
    int nBase = 10;
    if (i < strIn.size() && (strIn[i] == 'x' || strIn[i] == 'X')) {
        nBase = 16;
        ++i;
    }
    const std::size_t nDigits = i;
    char32_t nCode = 0;
    for (; i < strIn.size(); ++i) {
        const int nDigit = nBase == 16 ? quarvex::HexDigitValue(strIn[i]) : (strIn[i] >= '0' && strIn[i] <= '9' ? strIn[i] - '0' : -1);
        if (nDigit < 0)
            break;
        // Saturate: any value past the last code point means U+FFFD.
        nCode = nCode > 0x10FFFF ? nCode : nCode * nBase + nDigit;
    }
    if (i == nDigits)
        return 0;
    if (i < strIn.size() && strIn[i] == ';')
        ++i;
    if (nCode >= 0x80 && nCode <= 0x9F)
        nCode = s_aC1[nCode - 0x80];
    AppendUtf8(nCode == 0 ? 0xFFFD : nCode, strOut);
    return i;
}

// A named reference at strIn (just after "&"); returns the bytes it used,
// or 0 when it names nothing.
std::size_t DecodeNamed(std::string_view strIn, ECharRefContext eContext, std::string& strOut)
{
    std::size_t nRun = 0;
    while (nRun < strIn.size() && nRun < s_nMaxName && IsAlnum(strIn[nRun]))
        ++nRun;
    if (nRun == 0)
        return 0;
    std::size_t nTry = nRun;
    if (nTry < strIn.size() && strIn[nTry] == ';')
        ++nTry;
    for (; nTry > 1; --nTry) {
        const SCharRef* pRef = FindName(strIn.substr(0, nTry));
        if (pRef == nullptr)
            continue;
        if (strIn[nTry - 1] != ';' && eContext == CHARREF_ATTRIBUTE && nTry < strIn.size()
            && (IsAlnum(strIn[nTry]) || strIn[nTry] == '='))
            return 0;
        strOut.append(pRef->pszText);
        return nTry;
    }
    return 0;
}

} // namespace

void AppendUtf8(char32_t nCode, std::string& strOut)
{
    if (nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        nCode = 0xFFFD;
    if (nCode < 0x80) {
        strOut.push_back(static_cast<char>(nCode));
    } else if (nCode < 0x800) {
        strOut.push_back(static_cast<char>(0xC0 | (nCode >> 6)));
        strOut.push_back(static_cast<char>(0x80 | (nCode & 0x3F)));
    } else if (nCode < 0x10000) {
        strOut.push_back(static_cast<char>(0xE0 | (nCode >> 12)));
        strOut.push_back(static_cast<char>(0x80 | ((nCode >> 6) & 0x3F)));
        strOut.push_back(static_cast<char>(0x80 | (nCode & 0x3F)));
    } else {
        strOut.push_back(static_cast<char>(0xF0 | (nCode >> 18)));
        strOut.push_back(static_cast<char>(0x80 | ((nCode >> 12) & 0x3F)));
        strOut.push_back(static_cast<char>(0x80 | ((nCode >> 6) & 0x3F)));
        strOut.push_back(static_cast<char>(0x80 | (nCode & 0x3F)));
    }
}

void AppendDecodedCharRefs(std::string_view strIn, ECharRefContext eContext, std::string& strOut)
{
    std::size_t nPos = 0;
    while (nPos < strIn.size()) {
        const std::size_t nAmp = strIn.find('&', nPos);
        if (nAmp == std::string_view::npos) {
            strOut.append(strIn.substr(nPos));
            return;
        }
        strOut.append(strIn.substr(nPos, nAmp - nPos));
        std::string_view strRest = strIn.substr(nAmp + 1);
        std::size_t nUsed = 0;
        if (!strRest.empty() && strRest.front() == '#') {
            nUsed = DecodeNumeric(strRest.substr(1), strOut);
            if (nUsed > 0)
                ++nUsed;
        } else {
            nUsed = DecodeNamed(strRest, eContext, strOut);
        }
        if (nUsed == 0)
            strOut.push_back('&');
        nPos = nAmp + 1 + nUsed;
    }
}

std::string DecodeCharRefs(std::string_view strIn, ECharRefContext eContext)
{
    std::string strOut;
    strOut.reserve(strIn.size());
    AppendDecodedCharRefs(strIn, eContext, strOut);
    return strOut;
}
