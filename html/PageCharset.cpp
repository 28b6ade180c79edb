// PageCharset.cpp - charset detection and conversion through iconv.
#include "PageCharset.h"
#include "platform/AsciiText.h"

#include <cerrno>
#include <iconv.h>
#include <strings.h>

namespace {

constexpr std::size_t s_nMetaWindow = 4096;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

std::string_view Trim(std::string_view str)
{
    while (!str.empty() && (IsBlank(str.front()) || str.front() == '"' || str.front() == '\''))
        str.remove_prefix(1);
    while (!str.empty() && (IsBlank(str.back()) || str.back() == '"' || str.back() == '\''))
        str.remove_suffix(1);
    return str;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// RAII for an iconv descriptor.
class CIconv {
public:
    CIconv(const char* pszTo, const char* pszFrom) : m_cd(iconv_open(pszTo, pszFrom)) {}
    ~CIconv() { if (IsOpen()) iconv_close(m_cd); }
    CIconv(const CIconv&) = delete;
    CIconv& operator=(const CIconv&) = delete;
    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }
private:
    iconv_t m_cd;
};

// Labels whose iconv name differs from the label, or that a browser reads as
// a wider charset than they name (a "gb2312" page routinely holds GBK and
// GB18030 characters, a "big5" page HKSCS ones).
struct SAlias { const char* pszLabel; const char* pszName; };
const SAlias s_aAliases[] = {
    { "gb2312", "GB18030" }, { "gbk", "GB18030" }, { "x-gbk", "GB18030" }, { "gb_2312-80", "GB18030" },
    { "cp936", "GB18030" }, { "windows-936", "GB18030" }, { "chinese", "GB18030" }, { "euc-cn", "GB18030" },
    { "big5", "BIG5-HKSCS" }, { "big5-hkscs", "BIG5-HKSCS" }, { "cn-big5", "BIG5-HKSCS" }, { "x-x-big5", "BIG5-HKSCS" },
    { "shift_jis", "CP932" }, { "shift-jis", "CP932" }, { "sjis", "CP932" }, { "x-sjis", "CP932" },
    { "ms_kanji", "CP932" }, { "windows-31j", "CP932" }, { "csshiftjis", "CP932" },
    { "euc-kr", "CP949" }, { "ks_c_5601-1987", "CP949" },
    { "iso-8859-1", "WINDOWS-1252" }, { "iso8859-1", "WINDOWS-1252" }, { "latin1", "WINDOWS-1252" },
    { "l1", "WINDOWS-1252" }, { "us-ascii", "WINDOWS-1252" }, { "ascii", "WINDOWS-1252" },
    { "utf8", "UTF-8" }, { "unicode-1-1-utf-8", "UTF-8" },
    { "utf-16", "UTF-16LE" }, { "unicode", "UTF-16LE" },
};

// Appends U+FFFD.
void AppendReplacement(std::string& strOut)
{
    strOut.append("\xEF\xBF\xBD");
}

std::size_t UnitSize(const std::string& strCharset)
{
    if (strCharset.rfind("UTF-16", 0) == 0)
        return 2;
    if (strCharset.rfind("UTF-32", 0) == 0)
        return 4;
    return 1;
}

// One iconv run over strIn; a byte (or unit) that does not convert becomes
// U+FFFD, or '?' when writing into a legacy charset.
std::string Convert(std::string_view strIn, const char* pszTo, const char* pszFrom, std::size_t nUnit,
                    bool bReplaceWithFffd)
{
    std::string strOut;
    CIconv cd(pszTo, pszFrom);
    if (!cd.IsOpen())
        return std::string(strIn);
    strOut.resize(strIn.size() + strIn.size() / 2 + 16);
    char* pIn = const_cast<char*>(strIn.data());
    std::size_t nInLeft = strIn.size();
    std::size_t nOutPos = 0;
    while (nInLeft > 0) {
        char* pOut = strOut.data() + nOutPos;
        std::size_t nOutLeft = strOut.size() - nOutPos;
        const std::size_t nResult = iconv(cd.Get(), &pIn, &nInLeft, &pOut, &nOutLeft);
        nOutPos = strOut.size() - nOutLeft;
        if (nResult != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG) {
            strOut.resize(strOut.size() + nInLeft * 2 + 64);
            continue;
        }
        // EILSEQ or EINVAL (a sequence cut off at the end): one unit is
        // replaced and reading goes on after it.
        strOut.resize(nOutPos);
        if (bReplaceWithFffd)
            AppendReplacement(strOut);
        else
            strOut.push_back('?');
        const std::size_t nSkip = nInLeft < nUnit ? nInLeft : nUnit;
        pIn += nSkip;
        nInLeft -= nSkip;
        // From UTF-8 the whole broken or unwritable sequence is one mark.
        if (nUnit == 1 && std::string_view(pszFrom) == "UTF-8") {
            for (int k = 0; k < 3 && nInLeft > 0 && (static_cast<unsigned char>(*pIn) & 0xC0) == 0x80; ++k) {
                ++pIn;
                --nInLeft;
            }
        }
        iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
        nOutPos = strOut.size();
        strOut.resize(nOutPos + nInLeft + nInLeft / 2 + 16);
    }
    // Flush any shift state.
    for (;;) {
        char* pOut = strOut.data() + nOutPos;
        std::size_t nOutLeft = strOut.size() - nOutPos;
        const std::size_t nResult = iconv(cd.Get(), nullptr, nullptr, &pOut, &nOutLeft);
        nOutPos = strOut.size() - nOutLeft;
        if (nResult != static_cast<std::size_t>(-1) || errno != E2BIG)
            break;
        strOut.resize(strOut.size() + 64);
    }
    strOut.resize(nOutPos);
    return strOut;
}

} // namespace

std::string CanonicalCharset(std::string_view strLabel)
{
    strLabel = Trim(strLabel);
    if (strLabel.empty() || strLabel.size() > 40)
        return std::string();
    std::string strLower;
    for (char c : strLabel) {
        // Names are letters, digits and a few marks; anything else is no name.
        const bool bOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '-' || c == '_' || c == '.' || c == ':';
        if (!bOk)
            return std::string();
        strLower.push_back(quarvex::ToLowerAscii(c));
    }
    std::string strName;
    for (const SAlias& alias : s_aAliases) {
        if (strLower == alias.pszLabel) {
            strName = alias.pszName;
            break;
        }
    }
    if (strName.empty()) {
        for (char c : strLower)
            strName.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    // Only a charset iconv can read is a charset.
    CIconv cd("UTF-8", strName.c_str());
    return cd.IsOpen() ? strName : std::string();
}

std::string_view ContentTypeCharset(std::string_view strType)
{
    std::size_t nPos = 0;
    while ((nPos = strType.find(';', nPos)) != std::string_view::npos) {
        ++nPos;
        std::string_view strParam = strType.substr(nPos);
        strParam = strParam.substr(0, strParam.find(';'));
        while (!strParam.empty() && IsBlank(strParam.front()))
            strParam.remove_prefix(1);
        const std::size_t nEq = strParam.find('=');
        if (nEq == std::string_view::npos)
            continue;
        std::string_view strKey = strParam.substr(0, nEq);
        while (!strKey.empty() && IsBlank(strKey.back()))
            strKey.remove_suffix(1);
        if (EqualsNoCase(strKey, "charset"))
            return Trim(strParam.substr(nEq + 1));
    }
    return std::string_view();
}

std::string_view MetaCharset(std::string_view strBody)
{
    strBody = strBody.substr(0, s_nMetaWindow);
    std::size_t nPos = 0;
    while (nPos < strBody.size()) {
        const std::size_t nLt = strBody.find('<', nPos);
        if (nLt == std::string_view::npos)
            break;
        if (strBody.substr(nLt, 4) == "<!--") {
            const std::size_t nEnd = strBody.find("-->", nLt + 4);
            if (nEnd == std::string_view::npos)
                break;
            nPos = nEnd + 3;
            continue;
        }
        nPos = nLt + 1;
        if (nLt + 5 >= strBody.size() || !EqualsNoCase(strBody.substr(nLt + 1, 4), "meta")
            || !(IsBlank(strBody[nLt + 5]) || strBody[nLt + 5] == '/'))
            continue;
        // Attributes up to the tag's end, quotes honoured.
        std::size_t i = nLt + 5;
        bool bHttpEquiv = false;
        std::string_view strCharset, strContent;
        while (i < strBody.size() && strBody[i] != '>') {
            while (i < strBody.size() && (IsBlank(strBody[i]) || strBody[i] == '/'))
                ++i;
            const std::size_t nName = i;
            while (i < strBody.size() && !IsBlank(strBody[i]) && strBody[i] != '=' && strBody[i] != '>'
                   && strBody[i] != '/')
                ++i;
            const std::string_view strName = strBody.substr(nName, i - nName);
            while (i < strBody.size() && IsBlank(strBody[i]))
                ++i;
            std::string_view strValue;
            if (i < strBody.size() && strBody[i] == '=') {
                ++i;
                while (i < strBody.size() && IsBlank(strBody[i]))
                    ++i;
                if (i < strBody.size() && (strBody[i] == '"' || strBody[i] == '\'')) {
                    const char cQuote = strBody[i++];
                    const std::size_t nEnd = strBody.find(cQuote, i);
                    if (nEnd == std::string_view::npos)
                        return std::string_view();
                    strValue = strBody.substr(i, nEnd - i);
                    i = nEnd + 1;
                } else {
                    const std::size_t nStart = i;
                    while (i < strBody.size() && !IsBlank(strBody[i]) && strBody[i] != '>')
                        ++i;
                    strValue = strBody.substr(nStart, i - nStart);
                }
            }
            if (strName.empty() && i < strBody.size() && strBody[i] != '>') {
                ++i;  // a stray mark
                continue;
            }
            if (EqualsNoCase(strName, "charset"))
                strCharset = strValue;
            else if (EqualsNoCase(strName, "content"))
                strContent = strValue;
            else if (EqualsNoCase(strName, "http-equiv"))
                bHttpEquiv = EqualsNoCase(Trim(strValue), "content-type");
        }
        if (!strCharset.empty())
            return Trim(strCharset);
        if (bHttpEquiv && !strContent.empty()) {
            const std::string_view str = ContentTypeCharset(strContent);
            if (!str.empty())
                return str;
        }
        nPos = i;
    }
    return std::string_view();
}

bool IsValidUtf8(std::string_view str)
{
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    const auto* pEnd = p + str.size();
    while (p < pEnd) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t nMore;
        unsigned nMin;
        char32_t nCode;
        if (c >= 0xC2 && c <= 0xDF) { nMore = 1; nMin = 0x80; nCode = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { nMore = 2; nMin = 0x800; nCode = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { nMore = 3; nMin = 0x10000; nCode = c & 0x07; }
        else return false;
        if (static_cast<std::size_t>(pEnd - p) <= nMore)
            return false;
        for (std::size_t k = 1; k <= nMore; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            nCode = (nCode << 6) | (p[k] & 0x3F);
        }
        if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
            return false;
        p += nMore + 1;
    }
    return true;
}

SPageCharset DetectCharset(std::string_view strChoice, std::string_view strBody,
                           std::string_view strContentType)
{
    SPageCharset result;
    // A byte-order mark is skipped whatever decides the charset.
    if (strBody.substr(0, 3) == "\xEF\xBB\xBF") {
        result.nBomLen = 3;
        result.strName = "UTF-8";
    } else if (strBody.substr(0, 2) == "\xFF\xFE") {
        result.nBomLen = 2;
        result.strName = "UTF-16LE";
    } else if (strBody.substr(0, 2) == "\xFE\xFF") {
        result.nBomLen = 2;
        result.strName = "UTF-16BE";
    }

    std::string strName = CanonicalCharset(strChoice);
    if (!strName.empty()) {
        result.strName = strName;
        result.eSource = CHARSET_FROM_TASK;
        return result;
    }
    if (result.nBomLen > 0) {
        result.eSource = CHARSET_FROM_BOM;
        return result;
    }
    strName = CanonicalCharset(ContentTypeCharset(strContentType));
    if (!strName.empty()) {
        result.strName = strName;
        result.eSource = CHARSET_FROM_HEADER;
        return result;
    }
    strName = CanonicalCharset(MetaCharset(strBody));
    // A page read as ASCII cannot be announcing UTF-16 in a tag it wrote in
    // ASCII: browsers read such a page as UTF-8, and so do we. A tag that
    // claims UTF-8 over bytes that are not is a copied template lying about
    // its page; the home code page below reads those pages.
    if (strName.rfind("UTF-16", 0) == 0)
        strName = "UTF-8";
    if (!strName.empty() && !(strName == "UTF-8" && !IsValidUtf8(strBody))) {
        result.strName = strName;
        result.eSource = CHARSET_FROM_META;
        return result;
    }
    if (IsValidUtf8(strBody)) {
        result.strName = "UTF-8";
        result.eSource = CHARSET_FROM_UTF8;
    } else {
        result.strName = "GB18030";
        result.eSource = CHARSET_FROM_DEFAULT;
    }
    return result;
}

std::string ConvertToUtf8(std::string_view strIn, const std::string& strCharset)
{
    if (strCharset.empty() || strCharset == "UTF-8") {
        if (IsValidUtf8(strIn))
            return std::string(strIn);
        return Convert(strIn, "UTF-8", "UTF-8", 1, true);
    }
    CIconv probe("UTF-8", strCharset.c_str());
    if (!probe.IsOpen())
        return ConvertToUtf8(strIn, "UTF-8");
    return Convert(strIn, "UTF-8", strCharset.c_str(), UnitSize(strCharset), true);
}

std::string ConvertFromUtf8(std::string_view strIn, const std::string& strCharset)
{
    if (strCharset.empty() || strCharset == "UTF-8")
        return std::string(strIn);
    CIconv probe(strCharset.c_str(), "UTF-8");
    if (!probe.IsOpen())
        return std::string(strIn);
    return Convert(strIn, strCharset.c_str(), "UTF-8", 1, false);
}
