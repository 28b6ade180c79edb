// FormBody.h - reads an application/x-www-form-urlencoded request body. The
// body comes from anyone on the network, so every escape is checked and a
// malformed body is refused as a whole rather than half read.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace quarvex {

// Fills mapOut (cleared first) with the decoded fields of strBody: '&'
// separates fields, the first '=' separates name and value, '+' is a space
// and %XX a byte. Empty fields are skipped; a field without '=' has an empty
// value. Returns false, with mapOut empty, on a '%' not followed by two
// hexadecimal digits or on a name given twice.
bool ParseFormBody(std::string_view strBody, std::map<std::string, std::string>& mapOut);

// Decodes one form-encoded text into strOut (cleared first); false on a bad
// escape.
bool FormDecode(std::string_view strText, std::string& strOut);

} // namespace quarvex
