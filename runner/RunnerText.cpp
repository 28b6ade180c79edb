// RunnerText.cpp - escapes for JSON, HTML, Prometheus labels and log lines.
#include "RunnerText.h"

#include <cstdio>
#include <ctime>

namespace quarvex {

namespace {

// Length of the valid UTF-8 sequence at p (at most nLeft bytes), 0 if none.
std::size_t Utf8Length(const unsigned char* p, std::size_t nLeft)
{
    const unsigned char c = p[0];
    std::size_t nLen = 0;
    unsigned int nMin = 0;
    unsigned int nCode = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        nLen = 2; nMin = 0x80; nCode = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        nLen = 3; nMin = 0x800; nCode = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        nLen = 4; nMin = 0x10000; nCode = c & 0x07;
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

std::string JsonQuote(std::string_view strValue)
{
    std::string strOut;
    strOut.reserve(strValue.size() + 2);
    strOut += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(strValue.data());
    std::size_t i = 0;
    while (i < strValue.size()) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\u%04x", c);
            strOut += szEscape;
            ++i;
        } else if (c < 0x80) {
            strOut += static_cast<char>(c);
            ++i;
        } else {
            const std::size_t nLen = Utf8Length(p + i, strValue.size() - i);
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
    return strOut;
}

std::string HtmlEscape(std::string_view strValue)
{
    std::string strOut;
    strOut.reserve(strValue.size());
    for (char c : strValue) {
        switch (c) {
        case '&': strOut += "&amp;"; break;
        case '<': strOut += "&lt;"; break;
        case '>': strOut += "&gt;"; break;
        case '"': strOut += "&quot;"; break;
        case '\'': strOut += "&#39;"; break;
        default: strOut += c; break;
        }
    }
    return strOut;
}

std::string PromLabelEscape(std::string_view strValue)
{
    std::string strOut;
    strOut.reserve(strValue.size());
    for (char c : strValue) {
        if (c == '\\')
            strOut += "\\\\";
        else if (c == '"')
            strOut += "\\\"";
        else if (c == '\n')
            strOut += "\\n";
        else
            strOut += c;
    }
    return strOut;
}

std::string OneLine(std::string_view strValue)
{
    std::string strOut(strValue);
    for (char& c : strOut) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    while (!strOut.empty() && strOut.back() == ' ')
        strOut.pop_back();
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
