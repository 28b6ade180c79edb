// TextFormat.cpp - JSON and CSV escapes and UTC times.
#include "TextFormat.h"

#include <ctime>

namespace quarvex {

namespace {

// Length of the valid UTF-8 sequence at p (at most nLeft bytes), 0 if none:
// no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t Utf8Length(const unsigned char* p, std::size_t nLeft)
{
    const unsigned char c = p[0];
    std::size_t nLen = 0;
    unsigned int nMin = 0;
    unsigned int nCode = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        nLen = 2, nMin = 0x80, nCode = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        nLen = 3, nMin = 0x800, nCode = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        nLen = 4, nMin = 0x10000, nCode = c & 0x07;
    } else {
        return 0;
    }
    if (nLen > nLeft)
        return 0;
    for (std::size_t i = 1; i < nLen; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        nCode = (nCode << 6) | (p[i] & 0x3F);
    }
    if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        return 0;
    return nLen;
}

} // namespace

void AppendJsonQuoted(std::string& strOut, std::string_view strValue)
{
    static const char s_szHex[] = "0123456789abcdef";
    strOut += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(strValue.data());
    const std::size_t nSize = strValue.size();
    std::size_t i = 0;
    while (i < nSize) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            strOut += "\\n", ++i;
        } else if (c == '\r') {
            strOut += "\\r", ++i;
        } else if (c == '\t') {
            strOut += "\\t", ++i;
        } else if (c < 0x20 || c == 0x7F) {
            strOut += "\\u00";
            strOut += s_szHex[c >> 4];
            strOut += s_szHex[c & 15];
            ++i;
        } else if (c < 0x80) {
            strOut += static_cast<char>(c);
            ++i;
        } else {
            const std::size_t nLen = Utf8Length(p + i, nSize - i);
            if (nLen == 0) {
                strOut += "\\ufffd";
                ++i;
            } else {
                strOut.append(strValue.data() + i, nLen);
                i += nLen;
            }
        }
    }
    strOut += '"';
}

std::string JsonQuote(std::string_view strValue)
{
    std::string strOut;
    strOut.reserve(strValue.size() + 2);
    AppendJsonQuoted(strOut, strValue);
    return strOut;
}

void AppendCsvField(std::string& strOut, std::string_view strValue)
{
    const bool bQuote = strValue.find_first_of(",\"\r\n") != std::string_view::npos
                        || (!strValue.empty() && (strValue.front() == ' ' || strValue.back() == ' '));
    if (!bQuote) {
        strOut += strValue;
        return;
    }
    strOut += '"';
    for (char c : strValue) {
        if (c == '"')
            strOut += '"';
        strOut += c;
    }
    strOut += '"';
}

std::string CsvField(std::string_view strValue)
{
    std::string strOut;
    AppendCsvField(strOut, strValue);
    return strOut;
}

std::string IsoTimeUtc(long long nUnix)
{
    if (nUnix == 0)
        return std::string();
    const std::time_t t = static_cast<std::time_t>(nUnix);
    std::tm tmUtc{};
    if (gmtime_r(&t, &tmUtc) == nullptr)
        return std::string();
    char szText[32];
    std::strftime(szText, sizeof szText, "%Y-%m-%dT%H:%M:%SZ", &tmUtc);
    return szText;
}

} // namespace quarvex
