// ChunkedBody.cpp - CChunkScanner and DecodeChunked.
#include "ChunkedBody.h"

#include <cstring>

namespace {

// Longest size line or trailer line taken, extensions included. Real
// servers send a few bytes; the bound keeps a hostile endless line from
// being searched again on every new piece.
const std::size_t s_nMaxLine = 8192;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool CChunkScanner::Scan(const char* pBody, std::size_t nLen)
{
    for (;;) {
        switch (m_nState) {
        case STATE_COMPLETE:
            return true;
        case STATE_BROKEN:
            return false;
        case STATE_SIZE:
        case STATE_TRAILER: {
            // Both wait for a whole line first.
            std::size_t nScan = m_nPos + m_nLineScan;
            const char* pLf = nScan < nLen
                ? static_cast<const char*>(std::memchr(pBody + nScan, '\n', nLen - nScan))
                : nullptr;
            if (pLf == nullptr) {
                m_nLineScan = nLen - m_nPos;
                if (m_nLineScan > s_nMaxLine)
                    m_nState = STATE_BROKEN;
                return false;
            }
            const std::size_t nLineEnd = static_cast<std::size_t>(pLf - pBody) + 1;
            if (nLineEnd - m_nPos > s_nMaxLine) {
                m_nState = STATE_BROKEN;
                return false;
            }
            if (m_nState == STATE_TRAILER) {
                const std::size_t nLineLen = nLineEnd - m_nPos;
                const bool bEmpty = nLineLen == 1 || (nLineLen == 2 && pBody[m_nPos] == '\r');
                m_nPos = nLineEnd;
                m_nLineScan = 0;
                if (bEmpty)
                    m_nState = STATE_COMPLETE;
                continue;
            }
            std::size_t nSize = 0;
            int nDigits = 0;
            for (std::size_t i = m_nPos; i < nLineEnd && HexValue(pBody[i]) >= 0; ++i, ++nDigits) {
                if (nDigits == 8) {
                    m_nState = STATE_BROKEN;
                    return false;
                }
                nSize = nSize * 16 + static_cast<std::size_t>(HexValue(pBody[i]));
            }
            if (nDigits == 0) {
                m_nState = STATE_BROKEN;
                return false;
            }
            m_nPos = nLineEnd;
            m_nLineScan = 0;
            m_nChunkSize = nSize;
            m_nState = nSize == 0 ? STATE_TRAILER : STATE_DATA;
            continue;
        }
        case STATE_DATA: {
            // The data, then its own line end (CR LF, or a bare LF).
            if (nLen - m_nPos < m_nChunkSize + 1)
                return false;
            const std::size_t nAfter = m_nPos + m_nChunkSize;
            if (pBody[nAfter] == '\n') {
                m_nPos = nAfter + 1;
            } else if (pBody[nAfter] == '\r') {
                if (nLen - nAfter < 2)
                    return false;
                if (pBody[nAfter + 1] != '\n') {
                    m_nState = STATE_BROKEN;
                    return false;
                }
                m_nPos = nAfter + 2;
            } else {
                m_nState = STATE_BROKEN;
                return false;
            }
            m_nState = STATE_SIZE;
            continue;
        }
        }
    }
}

std::size_t DecodeChunked(char* pBody, std::size_t nLen, bool& bComplete)
{
    CChunkScanner scanner;
    bComplete = scanner.Scan(pBody, nLen);
    if (!bComplete)
        return nLen;

    // The body is known to be well formed up to GetEnd(), so this walk needs
    // no checks beyond those the scanner made. Decoded data never overtakes
    // the read position, so it moves down within the same buffer.
    const std::size_t nEnd = scanner.GetEnd();
    std::size_t nRead = 0;
    std::size_t nWrite = 0;
    for (;;) {
        std::size_t nSize = 0;
        while (HexValue(pBody[nRead]) >= 0)
            nSize = nSize * 16 + static_cast<std::size_t>(HexValue(pBody[nRead++]));
        nRead = static_cast<std::size_t>(static_cast<char*>(std::memchr(pBody + nRead, '\n', nEnd - nRead)) - pBody) + 1;
        if (nSize == 0)
            break;
        std::memmove(pBody + nWrite, pBody + nRead, nSize);
        nWrite += nSize;
        nRead += nSize;
        nRead += pBody[nRead] == '\r' ? 2 : 1;
    }
    return nWrite;
}
