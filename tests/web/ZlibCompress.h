// ZlibCompress.h - compressed bodies for the decoding tests: nWindowBits picks
// the wrapping as zlib does (16 + MAX_WBITS gzip, MAX_WBITS zlib, negative raw).
#pragma once

#include <string>
#include <string_view>
#include <zlib.h>

inline std::string Compress(std::string_view strIn, int nWindowBits, int nLevel = 9)
{
    z_stream zs{};
    deflateInit2(&zs, nLevel, Z_DEFLATED, nWindowBits, 9, Z_DEFAULT_STRATEGY);
    std::string strOut(deflateBound(&zs, strIn.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strIn.data()));
    zs.avail_in = static_cast<uInt>(strIn.size());
    zs.next_out = reinterpret_cast<Bytef*>(strOut.data());
    zs.avail_out = static_cast<uInt>(strOut.size());
    deflate(&zs, Z_FINISH);
    strOut.resize(zs.total_out);
    deflateEnd(&zs);
    return strOut;
}
