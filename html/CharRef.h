// CharRef.h - HTML character references (&amp; &#38; &#x26;) decoded into
// UTF-8, as a browser reads them in text and in attribute values. The page's
// inner and outer HTML never go through here: they stay as written.
#pragma once

#include <string>
#include <string_view>

enum ECharRefContext { CHARREF_TEXT, CHARREF_ATTRIBUTE };

// Appends strIn to strOut with every character reference decoded. A
// reference that names nothing stays as written. In an attribute a named
// reference without its ';' is kept when a letter, digit or '=' follows it
// ("?a=1&copy=2" is a query, not a copyright sign).
void AppendDecodedCharRefs(std::string_view strIn, ECharRefContext eContext, std::string& strOut);
std::string DecodeCharRefs(std::string_view strIn, ECharRefContext eContext);

// Appends the UTF-8 form of nCode; anything that is no scalar value becomes U+FFFD.
void AppendUtf8(char32_t nCode, std::string& strOut);
