// FormBody.cpp - form body decoding for the store server.
#include "FormBody.h"
#include "platform/HexDigit.h"

namespace quarvex {

bool FormDecode(std::string_view strText, std::string& strOut)
{
    strOut.clear();
    strOut.reserve(strText.size());
    for (std::size_t i = 0; i < strText.size(); ++i) {
        const char c = strText[i];
        if (c == '+') {
            strOut += ' ';
        } else if (c == '%') {
            if (i + 2 >= strText.size())
                return false;
            const int nHi = HexDigitValue(strText[i + 1]);
            const int nLo = HexDigitValue(strText[i + 2]);
            if (nHi < 0 || nLo < 0)
                return false;
            strOut += static_cast<char>(nHi * 16 + nLo);
            i += 2;
        } else {
            strOut += c;
        }
    }
    return true;
}

bool ParseFormBody(std::string_view strBody, std::map<std::string, std::string>& mapOut)
{
    mapOut.clear();
    std::size_t nPos = 0;
    while (nPos <= strBody.size()) {
        std::size_t nEnd = strBody.find('&', nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strBody.size();
        const std::string_view strField = strBody.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (strField.empty())
            continue;
        const std::size_t nEq = strField.find('=');
        std::string strName, strValue;
        const bool bOk = FormDecode(strField.substr(0, nEq), strName) &&
                         (nEq == std::string_view::npos || FormDecode(strField.substr(nEq + 1), strValue));
        if (!bOk || !mapOut.emplace(std::move(strName), std::move(strValue)).second) {
            mapOut.clear();
            return false;
        }
    }
    return true;
}

} // namespace quarvex
