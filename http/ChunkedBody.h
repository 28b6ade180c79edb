// ChunkedBody.h - the "chunked" transfer coding: finding where a chunked body
// ends while it arrives, and decoding it in place once it is whole.
#pragma once

#include <cstddef>

// Walks a chunked body as its bytes arrive, remembering how far it got, so
// that each new piece costs only its own chunk headers. A size line must
// start with 1 to 8 hexadecimal digits (a longer or missing size, or a chunk
// not followed by its line end, marks the body broken: it never completes
// and is kept as received).
class CChunkScanner
{
public:
    // Scans pBody[0, nLen) onwards from where the last call stopped; pBody may
    // have moved and grown since, but its first bytes must be the same. True
    // once the last chunk and the trailer's empty line are in; GetEnd() is
    // then the length of the chunked body (bytes after it are not part of it).
    bool Scan(const char* pBody, std::size_t nLen);
    bool IsComplete() const { return m_nState == STATE_COMPLETE; }
    bool IsBroken() const { return m_nState == STATE_BROKEN; }
    std::size_t GetEnd() const { return m_nPos; }

private:
    enum { STATE_SIZE, STATE_DATA, STATE_TRAILER, STATE_COMPLETE, STATE_BROKEN };
    int         m_nState = STATE_SIZE;
    std::size_t m_nPos = 0;        // Start of the unit (size line, data, trailer line) being read.
    std::size_t m_nLineScan = 0;   // How far a line feed has been looked for from m_nPos.
    std::size_t m_nChunkSize = 0;  // Data bytes of the chunk in STATE_DATA.
};

// Decodes the chunked body pBody[0, nLen) in place when it is complete and
// returns the decoded length (0 for a body that holds no data); returns
// nLen unchanged, touching nothing, when the body is incomplete or broken.
// bComplete reports which.
std::size_t DecodeChunked(char* pBody, std::size_t nLen, bool& bComplete);
