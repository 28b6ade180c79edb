// HexDigit.h - the value of one hexadecimal digit, shared by every reader of
// percent escapes, chunk sizes, character references and cipher keys.
#pragma once

namespace quarvex {

// 0..15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other byte.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace quarvex
