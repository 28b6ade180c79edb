// ChunkedBody.cpp - CChunkDecoder and DecodeChunked.
#include "ChunkedBody.h"
#include "platform/HexDigit.h"

#include <cstring>

namespace {

// Longest size line or trailer line taken, extensions included. Real
// servers send a few bytes; the bound keeps a hostile endless line from
// being searched again on every new piece.
const std::size_t s_nMaxLine = 8192;
// Trailer fields taken in all, as much as a response header may hold.
const std::size_t s_nMaxTrailer = 65536;

} // namespace

std::size_t CChunkDecoder::FindLineEnd(const char* pBody, std::size_t nPos, std::size_t nLen)
{
    const std::size_t nScan = nPos + m_nLineScan;
    const char* pLf = nScan < nLen ? static_cast<const char*>(std::memchr(pBody + nScan, '\n', nLen - nScan)) : nullptr;
    const std::size_t nLineLen = pLf == nullptr ? nLen - nPos : static_cast<std::size_t>(pLf - pBody) + 1 - nPos;
    if (nLineLen > s_nMaxLine) {
        m_nState = CHUNK_BROKEN;
        return 0;
    }
    if (pLf == nullptr) {
        m_nLineScan = nLen - nPos;
        return 0;
    }
    m_nLineScan = 0;
    return nPos + nLineLen;
}

std::size_t CChunkDecoder::Decode(char* pBody, std::size_t nLen)
{
    if (m_nState != CHUNK_MORE)
        return m_nOut;
    std::size_t nPos = m_nOut;  // Next byte of the stream to read.
    while (m_nState == CHUNK_MORE && nPos < nLen) {
        switch (m_nUnit) {
        case UNIT_DATA: {
            // Data moves down over the framing it followed; it never
            // overtakes the read position, so the move stays in the buffer.
            const std::size_t nTake = nLen - nPos < m_nLeft ? nLen - nPos : m_nLeft;
            if (nPos != m_nOut)
                std::memmove(pBody + m_nOut, pBody + nPos, nTake);
            m_nOut += nTake;
            nPos += nTake;
            m_nLeft -= nTake;
            if (m_nLeft == 0)
                m_nUnit = UNIT_DATA_END;
            break;
        }
        case UNIT_DATA_END:
            // The data's own line end: CR LF, or a bare LF.
            if (pBody[nPos] == '\n') {
                ++nPos;
            } else if (pBody[nPos] == '\r') {
                if (nLen - nPos < 2)
                    goto wait;
                if (pBody[nPos + 1] != '\n') {
                    m_nState = CHUNK_BROKEN;
                    break;
                }
                nPos += 2;
            } else {
                m_nState = CHUNK_BROKEN;
                break;
            }
            m_nUnit = UNIT_SIZE;
            break;
        case UNIT_SIZE: {
            const std::size_t nEnd = FindLineEnd(pBody, nPos, nLen);
            if (nEnd == 0)
                goto wait;
            std::size_t nSize = 0;
            std::size_t i = nPos;
            for (; i < nEnd && quarvex::HexDigitValue(pBody[i]) >= 0; ++i) {
                if (i - nPos == 8) {
                    m_nState = CHUNK_BROKEN;  // too long a size is never a wrapped one
                    break;
                }
                nSize = nSize * 16 + static_cast<std::size_t>(quarvex::HexDigitValue(pBody[i]));
            }
            if (m_nState == CHUNK_BROKEN)
                break;
            while (i < nEnd && (pBody[i] == ' ' || pBody[i] == '\t'))
                ++i;
            if (i == nPos || (pBody[i] != ';' && pBody[i] != '\r' && pBody[i] != '\n')) {
                m_nState = CHUNK_BROKEN;  // no size, a sign, or stray bytes after it
                break;
            }
            nPos = nEnd;
            m_nLeft = nSize;
            m_nUnit = nSize == 0 ? UNIT_TRAILER : UNIT_DATA;
            break;
        }
        case UNIT_TRAILER: {
            const std::size_t nEnd = FindLineEnd(pBody, nPos, nLen);
            if (nEnd == 0)
                goto wait;
            const std::size_t nLineLen = nEnd - nPos;
            m_nTrailer += nLineLen;
            nPos = nEnd;
            if (nLineLen == 1 || (nLineLen == 2 && pBody[nEnd - 2] == '\r'))
                m_nState = CHUNK_COMPLETE;
            else if (m_nTrailer > s_nMaxTrailer)
                m_nState = CHUNK_BROKEN;
            break;
        }
        }
    }
wait:
    if (m_nState != CHUNK_MORE)
        return m_nOut;
    // The bytes of an unfinished unit wait right after the data.
    if (nPos != m_nOut && nPos < nLen)
        std::memmove(pBody + m_nOut, pBody + nPos, nLen - nPos);
    return m_nOut + (nLen - nPos);
}

std::size_t DecodeChunked(char* pBody, std::size_t nLen, bool& bComplete)
{
    CChunkDecoder decoder;
    decoder.Decode(pBody, nLen);
    bComplete = decoder.GetState() == CChunkDecoder::CHUNK_COMPLETE;
    return decoder.GetDecoded();
}
