// ContentCoding.cpp - zlib inflation with an output bound.
#include "ContentCoding.h"

#include <strings.h>
#include <zlib.h>

namespace {

std::string_view Trim(std::string_view str)
{
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t'))
        str.remove_prefix(1);
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t' || str.back() == '\r'))
        str.remove_suffix(1);
    return str;
}

bool Is(std::string_view str, const char* psz)
{
    const std::size_t n = std::char_traits<char>::length(psz);
    return str.size() == n && strncasecmp(str.data(), psz, n) == 0;
}

// Inflates with the given window bits; false result codes as DecodeContent.
EDecodeResult Inflate(std::string_view strIn, int nWindowBits, bool bMembers, std::string& strOut,
                      std::size_t nMax)
{
    strOut.clear();
    z_stream zs{};
    if (inflateInit2(&zs, nWindowBits) != Z_OK)
        return DECODE_CORRUPT;
    struct SEnd { z_stream* p; ~SEnd() { inflateEnd(p); } } end{ &zs };

    const auto* pIn = reinterpret_cast<const Bytef*>(strIn.data());
    std::size_t nInLeft = strIn.size();
    char aBuffer[65536];
    for (;;) {
        // zlib counts in uInt; feed at most 1 GiB at a time.
        if (zs.avail_in == 0 && nInLeft > 0) {
            const std::size_t nFeed = nInLeft < (std::size_t{1} << 30) ? nInLeft : (std::size_t{1} << 30);
            zs.next_in = const_cast<Bytef*>(pIn);
            zs.avail_in = static_cast<uInt>(nFeed);
            pIn += nFeed;
            nInLeft -= nFeed;
        }
        zs.next_out = reinterpret_cast<Bytef*>(aBuffer);
        zs.avail_out = sizeof(aBuffer);
        const int nRet = inflate(&zs, Z_NO_FLUSH);
        const std::size_t nGot = sizeof(aBuffer) - zs.avail_out;
        if (nGot > nMax - strOut.size())
            return DECODE_TOO_LARGE;
        strOut.append(aBuffer, nGot);
        if (nRet == Z_STREAM_END) {
            // Another gzip member may follow; anything else is trailing junk.
            if (bMembers && zs.avail_in + nInLeft >= 2 && zs.next_in[0] == 0x1f && zs.next_in[1] == 0x8b) {
                if (inflateReset(&zs) != Z_OK)
                    return DECODE_CORRUPT;
                continue;
            }
            return DECODE_OK;
        }
        if (nRet == Z_BUF_ERROR && zs.avail_in == 0 && nInLeft == 0)
            return DECODE_CORRUPT;  // cut short
        if (nRet != Z_OK && nRet != Z_BUF_ERROR)
            return DECODE_CORRUPT;
    }
}

} // namespace

EContentCoding ParseContentCoding(std::string_view strValue)
{
    strValue = Trim(strValue);
    if (strValue.empty() || Is(strValue, "identity"))
        return CODING_IDENTITY;
    if (Is(strValue, "gzip") || Is(strValue, "x-gzip"))
        return CODING_GZIP;
    if (Is(strValue, "deflate"))
        return CODING_DEFLATE;
    return CODING_UNKNOWN;
}

EDecodeResult DecodeContent(EContentCoding eCoding, std::string_view strIn, std::string& strOut,
                            std::size_t nLimit, std::size_t nRatio)
{
    std::size_t nMax = nLimit;
    if (nRatio > 0 && strIn.size() < nLimit / nRatio)
        nMax = strIn.size() * nRatio;
    switch (eCoding) {
    case CODING_IDENTITY:
        if (strIn.size() > nLimit)
            return DECODE_TOO_LARGE;
        strOut.assign(strIn);
        return DECODE_OK;
    case CODING_GZIP:
        return Inflate(strIn, 16 + MAX_WBITS, true, strOut, nMax);
    case CODING_DEFLATE: {
        const EDecodeResult eResult = Inflate(strIn, MAX_WBITS, false, strOut, nMax);
        if (eResult != DECODE_CORRUPT)
            return eResult;
        return Inflate(strIn, -MAX_WBITS, false, strOut, nMax);
    }
    default:
        return DECODE_CORRUPT;
    }
}
