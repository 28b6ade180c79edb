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

} // namespace

ExportFormat ExportFormatOf(const std::string& strPath)
{
    if (EndsWithNoCase(strPath, ".jsonl") || EndsWithNoCase(strPath, ".json") || EndsWithNoCase(strPath, ".ndjson"))
        return ExportFormat::JSON_LINES;
    return ExportFormat::CSV;
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
                strOut += (i ? "," : "") + JsonQuote(aColumns[i]) + ":" + JsonQuote(i < aRow.size() ? aRow[i] : strEmpty);
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
