// RunnerText.cpp - escapes for HTML, Prometheus labels and log lines.
#include "RunnerText.h"

namespace quarvex {

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

} // namespace quarvex
