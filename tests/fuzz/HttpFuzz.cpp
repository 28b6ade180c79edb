// HttpFuzz.cpp - fuzz entry for the response side of the HTTP session: the
// input's first byte picks a piece size, the rest is a server's answer. It is
// fed whole and in pieces, then the close; both runs must end alike, the body
// must stay zero-terminated and within its limits.
#include "http/HttpPostSession.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class CFuzzSession : public CHttpPostSession
{
public:
    CFuzzSession()
    {
        m_nBodyLimit = 1 << 20;
        m_hDoneEvent.Reset();
        m_bBusy = true;
        StartResponse();
    }
    ~CFuzzSession() override { Stop(); }

    void Feed(const char* pData, std::size_t nLen, std::size_t nPiece, bool bClose)
    {
        for (std::size_t i = 0; i < nLen; i += nPiece) {
            if (!TakeResponseBytes(pData + i, std::min(nPiece, nLen - i)))
                return;
            Check();
        }
        if (bClose)
            TakeResponseClose();
        Check();
    }
    void Check() const
    {
        if (m_nBodyLen < 0 || m_nBodyLen > m_nBodyCapacity || static_cast<std::size_t>(m_nBodyCapacity) > m_nBodyLimit)
            std::abort();
        if (m_pBody && m_pBody.get()[m_nBodyLen] != '\0')
            std::abort();
        if (m_strHeader.size() > m_nHeaderLimit + 65536)
            std::abort();
    }
    bool IsComplete() const { return m_bComplete; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return 0;
    const std::size_t nPiece = 1 + pData[0] % 17;
    const bool bClose = (pData[0] & 0x80) != 0;
    const char* pResponse = reinterpret_cast<const char*>(pData + 1);
    const std::size_t nLen = nSize - 1;

    CFuzzSession whole;
    whole.Feed(pResponse, nLen, nLen == 0 ? 1 : nLen, bClose);
    CFuzzSession pieces;
    pieces.Feed(pResponse, nLen, nPiece, bClose);

    // Where a response ends and what it holds may not depend on how the
    // network cut it into pieces.
    if (whole.m_nError != pieces.m_nError || whole.IsComplete() != pieces.IsComplete())
        std::abort();
    if (whole.m_nError == 0 && (whole.GetBody() != pieces.GetBody() || whole.m_strHeader != pieces.m_strHeader
                                || whole.m_hDoneEvent.IsSet() != pieces.m_hDoneEvent.IsSet()))
        std::abort();
    return 0;
}
