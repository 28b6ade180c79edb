// Export.cpp - CSV and JSON Lines writers.
#include "Export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace quarvex {

namespace {

bool EndsWithNoCase(const std::string& strText, const char* pszSuffix)
{
    const std::size_t nLen = std::strlen(pszSuffix);
    if (strText.size() < nLen)
        return false;
    for (std::size_t i = 0; i < nLen; ++i) {
        char c = strText[strText.size() - nLen + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != pszSuffix[i])
            return false;
    }
    return true;
}

// Length of the UTF-8 sequence at p (at most nLeft bytes), 0 when invalid.
std::size_t Utf8Length(const unsigned char* p, std::size_t nLeft)
{
    const unsigned char c = p[0];
    std::size_t nLen;
    unsigned int nMin;
    unsigned int nCode;
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
    if (nLeft < nLen)
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

ExportFormat ExportFormatOf(const std::string& strPath)
{
    if (EndsWithNoCase(strPath, ".jsonl") || EndsWithNoCase(strPath, ".json") || EndsWithNoCase(strPath, ".ndjson"))
        return ExportFormat::JSON_LINES;
    return ExportFormat::CSV;
}

std::string CsvField(const std::string& strValue)
{
    const bool bQuote = strValue.find_first_of(",\"\r\n") != std::string::npos ||
                        (!strValue.empty() && (strValue.front() == ' ' || strValue.back() == ' '));
    if (!bQuote)
        return strValue;
    std::string strOut = "\"";
    for (char c : strValue) {
        if (c == '"')
            strOut += '"';
        strOut += c;
    }
    strOut += '"';
    return strOut;
}

std::string JsonString(const std::string& strValue)
{
    static const char s_szHex[] = "0123456789abcdef";
    std::string strOut = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(strValue.data());
    const std::size_t nSize = strValue.size();
    for (std::size_t i = 0; i < nSize;) {
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
        } else if (c < 0x20) {
            strOut += "\\u00";
            strOut += s_szHex[c >> 4];
            strOut += s_szHex[c & 15];
            ++i;
        } else {
            const std::size_t nLen = Utf8Length(p + i, nSize - i);
            if (nLen == 0) {
                strOut += "\\ufffd";
                ++i;
            } else {
                strOut.append(strValue, i, nLen);
                i += nLen;
            }
        }
    }
    strOut += '"';
    return strOut;
}

bool ExportRows(const std::string& strPath, const std::vector<std::string>& aColumns,
                const std::vector<CDataRow>& aRows, std::string& strError)
{
    struct CClose { void operator()(std::FILE* p) const { std::fclose(p); } };
    std::unique_ptr<std::FILE, CClose> pFile(std::fopen(strPath.c_str(), "wb"));
    if (!pFile) {
        strError = std::strerror(errno);
        return false;
    }
    std::string strOut;
    bool bOk = true;
    auto flush = [&](bool bAlways) {
        if (bOk && (bAlways || strOut.size() >= 65536)) {
            bOk = std::fwrite(strOut.data(), 1, strOut.size(), pFile.get()) == strOut.size();
            strOut.clear();
        }
    };
    const std::string strEmpty;
    if (ExportFormatOf(strPath) == ExportFormat::CSV) {
        strOut = "\xEF\xBB\xBF";
        for (std::size_t i = 0; i < aColumns.size(); ++i)
            strOut += (i ? "," : "") + CsvField(aColumns[i]);
        strOut += "\r\n";
        for (const CDataRow& aRow : aRows) {
            for (std::size_t i = 0; i < aColumns.size(); ++i)
                strOut += (i ? "," : "") + CsvField(i < aRow.size() ? aRow[i] : strEmpty);
            strOut += "\r\n";
            flush(false);
        }
    } else {
        for (const CDataRow& aRow : aRows) {
            strOut += '{';
            for (std::size_t i = 0; i < aColumns.size(); ++i)
                strOut += (i ? "," : "") + JsonString(aColumns[i]) + ":" + JsonString(i < aRow.size() ? aRow[i] : strEmpty);
            strOut += "}\n";
            flush(false);
        }
    }
    flush(true);
    if (!bOk || std::fflush(pFile.get()) != 0) {
        strError = std::strerror(errno);
        return false;
    }
    if (std::fclose(pFile.release()) != 0) {
        strError = std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& strPath, const std::string& strData, std::string& strError)
{
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        strError = std::strerror(errno);
        return false;
    }
    const bool bWritten = std::fwrite(strData.data(), 1, strData.size(), pFile) == strData.size();
    const int nWriteErrno = errno;
    const bool bClosed = std::fclose(pFile) == 0;
    if (!bWritten || !bClosed) {
        strError = std::strerror(bWritten ? errno : nWriteErrno);
        return false;
    }
    return true;
}

} // namespace quarvex
