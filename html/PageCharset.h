// PageCharset.h - which character set a page is written in, and its text
// converted to UTF-8 once before parsing (glibc iconv). Every byte that does
// not decode becomes U+FFFD: nothing is dropped silently and nothing fails.
#pragma once

#include <string>
#include <string_view>

// Where the charset of a page came from, in the order they are asked.
enum ECharsetSource {
    CHARSET_FROM_TASK,     // the task's (or command line's) own choice
    CHARSET_FROM_BOM,      // a byte-order mark
    CHARSET_FROM_HEADER,   // the Content-Type header's charset
    CHARSET_FROM_META,     // <meta charset> or <meta http-equiv> in the first 4 KiB
    CHARSET_FROM_UTF8,     // nothing declared; the bytes are valid UTF-8
    CHARSET_FROM_DEFAULT,  // nothing declared and not UTF-8: GB18030
};

struct SPageCharset {
    std::string strName;   // an iconv name: "UTF-8", "GB18030", "BIG5-HKSCS", ...
    ECharsetSource eSource = CHARSET_FROM_DEFAULT;
    std::size_t nBomLen = 0;  // bytes of byte-order mark to skip
};

// The iconv name of a charset label as pages and headers write it ("gbk",
// "x-sjis", "latin1", " UTF-8 "); empty when iconv knows no such charset.
std::string CanonicalCharset(std::string_view strLabel);

// The charset parameter of a Content-Type value; empty when there is none.
std::string_view ContentTypeCharset(std::string_view strContentType);

// The charset a <meta> in the first 4 KiB of strBody declares; empty when none does.
std::string_view MetaCharset(std::string_view strBody);

bool IsValidUtf8(std::string_view str);

// Decides the charset of strBody. strChoice is the task's own choice (empty:
// automatic); strContentType the Content-Type header value (may be empty).
SPageCharset DetectCharset(std::string_view strChoice, std::string_view strBody,
                           std::string_view strContentType);

// strIn (without its byte-order mark) in charset strCharset, as UTF-8.
// Invalid or cut sequences become U+FFFD. An unknown charset is treated as
// UTF-8.
std::string ConvertToUtf8(std::string_view strIn, const std::string& strCharset);

// UTF-8 text into strCharset (for form values sent in the page's charset);
// what the charset cannot express becomes '?'. Unknown charsets leave the
// text as it is.
std::string ConvertFromUtf8(std::string_view strIn, const std::string& strCharset);
