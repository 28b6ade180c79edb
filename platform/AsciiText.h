// AsciiText.h - letter case, blanks and digits of ASCII only. Names, types,
// hosts and keys must read the same whatever locale the process has set: a
// Turkish one leaves 'i' as it is when upper-casing, so "int" is no "INT".
#pragma once

#include <string>
#include <string_view>

namespace quarvex {

constexpr char ToUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool IsSpaceAscii(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool IsDigitAscii(char c) { return c >= '0' && c <= '9'; }

inline std::string LowerAscii(std::string_view str)
{
    std::string strOut(str);
    for (char& c : strOut)
        c = ToLowerAscii(c);
    return strOut;
}

} // namespace quarvex
