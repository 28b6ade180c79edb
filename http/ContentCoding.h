// ContentCoding.h - gzip and deflate response bodies decoded with zlib.
// Decoding is bounded so that no small body can unfold into unbounded memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum EContentCoding { CODING_IDENTITY, CODING_GZIP, CODING_DEFLATE, CODING_UNKNOWN };

// The coding a Content-Encoding value names ("gzip", "x-gzip", "deflate",
// "identity" or nothing); CODING_UNKNOWN for anything else, including a
// chain of several codings.
EContentCoding ParseContentCoding(std::string_view strValue);

enum EDecodeResult { DECODE_OK, DECODE_TOO_LARGE, DECODE_CORRUPT };

// Decodes strIn into strOut. The output may not exceed nLimit bytes nor
// nRatio times the input size; past either, DECODE_TOO_LARGE. A deflate body
// is read as zlib data or, as many servers send it, raw deflate data. A gzip
// body may hold several members. Trailing bytes after the data are ignored.
EDecodeResult DecodeContent(EContentCoding eCoding, std::string_view strIn, std::string& strOut,
                            std::size_t nLimit, std::size_t nRatio = 1000);
