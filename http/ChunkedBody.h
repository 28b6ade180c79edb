// ChunkedBody.h - the "chunked" transfer coding, decoded in place while the
// body arrives, so that a finished body is already its data and a broken one
// never hands its framing on as page text.
#pragma once

#include <cstddef>

// Decodes a chunked body in the buffer it arrives in. After each call the
// buffer holds the data decoded so far, followed by the few bytes of a size
// line or line end still waiting for the rest. A size line must start with
// 1 to 8 hexadecimal digits, followed only by blanks, an extension after ';'
// or the line end; anything else, a chunk not followed by its line end, or
// an endless size or trailer line marks the body broken.
class CChunkDecoder
{
public:
    enum EState { CHUNK_MORE, CHUNK_COMPLETE, CHUNK_BROKEN };

    // pBody[0, GetDecoded()) is what earlier calls decoded; pBody[GetDecoded(),
    // nLen) are bytes that follow it in the stream. Decodes what it can and
    // returns the buffer's new length: the decoded data plus the waiting bytes
    // (none once complete or broken; bytes after the last chunk's trailer are
    // not part of the body and are dropped).
    std::size_t Decode(char* pBody, std::size_t nLen);
    EState GetState() const { return m_nState; }
    std::size_t GetDecoded() const { return m_nOut; }

private:
    enum EUnit { UNIT_SIZE, UNIT_DATA, UNIT_DATA_END, UNIT_TRAILER };
    // Looks for the line that starts at nPos; its end (past the LF), or 0
    // while it is incomplete. Breaks the body when the line is too long.
    std::size_t FindLineEnd(const char* pBody, std::size_t nPos, std::size_t nLen);

    EState      m_nState = CHUNK_MORE;
    EUnit       m_nUnit = UNIT_SIZE;
    std::size_t m_nOut = 0;        // Decoded bytes at the start of the buffer.
    std::size_t m_nLeft = 0;       // Data bytes of the current chunk still to come.
    std::size_t m_nLineScan = 0;   // How far a line feed has been looked for in the waiting bytes.
    std::size_t m_nTrailer = 0;    // Trailer bytes seen, bounded like a header.
};

// Decodes a whole chunked body pBody[0, nLen) in place and returns the
// decoded length. bComplete is false when the body was cut short or broken;
// the result is then the data decoded before that point, never framing.
std::size_t DecodeChunked(char* pBody, std::size_t nLen, bool& bComplete);
