// LocalTime.cpp - strftime over localtime_r, which, unlike localtime, is safe
// while several task threads stamp their log lines at once.
#include "LocalTime.h"

namespace quarvex {

std::string FormatLocalTime(const char* pszFormat, std::time_t t)
{
    std::tm tmLocal {};
    if (localtime_r(&t, &tmLocal) == nullptr)
        return std::string();
    char szText[256];
    const size_t nLen = std::strftime(szText, sizeof(szText), pszFormat, &tmLocal);
    return std::string(szText, nLen);
}

std::string FormatLocalTimeNow(const char* pszFormat)
{
    return FormatLocalTime(pszFormat, std::time(nullptr));
}

} // namespace quarvex
