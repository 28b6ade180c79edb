// ChunkedBodyTest.cpp - decoding chunked bodies in place as they arrive, fed
// whole and in small pieces: where they end, what they decode to, and that
// a broken or cut body keeps its decoded data and never its framing.
#include "http/ChunkedBody.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CDecoded
{
    CChunkDecoder::EState nState;
    std::string strData;     // The buffer once decoding stopped.
    std::size_t nConsumed;   // Input bytes fed until it stopped.
};

// Feeds strIn in pieces of nPiece into one buffer, as the session does, and
// stops feeding once the decoder says the body is complete or broken.
CDecoded DecodeInPieces(const std::string& strIn, std::size_t nPiece)
{
    CChunkDecoder decoder;
    std::string strBuffer(strIn.size(), '\0');
    std::size_t nLen = 0;
    std::size_t nFed = 0;
    while (nFed < strIn.size() && decoder.GetState() == CChunkDecoder::CHUNK_MORE) {
        const std::size_t nTake = std::min(nPiece, strIn.size() - nFed);
        strBuffer.replace(nLen, nTake, strIn, nFed, nTake);
        nFed += nTake;
        nLen = decoder.Decode(strBuffer.data(), nLen + nTake);
        EXPECT_LE(nLen, nFed);
    }
    return { decoder.GetState(), strBuffer.substr(0, nLen), nFed };
}

const std::size_t s_aPieces[] = { 1, 2, 5, 1000 };

} // namespace

TEST(ChunkedBodyTest, CompleteBodiesDecodeAndEndAtTheTrailersBlankLine)
{
    struct { std::string strIn; std::string strOut; std::size_t nEnd; } cases[] = {
        { "5\r\nhello\r\n0\r\n\r\n",                   "hello",       15 },
        { "1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcdefghijklmnopqrstuvwxyz", 37 },
        { "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcdefghijklmnopqrstuvwxyz", 37 },
        { "0\r\n\r\n",                                 "",            5 },   // no data: empty, not "0\r\n\r\n"
        { "3;name=v\r\nabc\r\n0\r\n\r\n",              "abc",         20 },  // extension ignored
        { "3 \r\nabc\r\n0\r\n\r\n",                    "abc",         14 },  // a blank after the size
        { "3\nabc\n0\n\n",                             "abc",         9 },   // bare LF lines
        { "2\r\nab\r\n0\r\nX-T: 1\r\n\r\n",            "ab",          20 },  // a trailer field
        { "2\r\nab\r\n0\r\n\r\nGET / HTTP/1.1",        "ab",          12 },  // bytes after the end are not body
        { "00000002\r\nab\r\n0\r\n\r\n",               "ab",          19 },  // eight digits
        { "1\r\n\r\r\n1\r\n\n\r\n0\r\n\r\n",           "\r\n",        17 },  // line-end bytes as data
    };
    for (const auto& c : cases) {
        for (std::size_t nPiece : s_aPieces) {
            const CDecoded d = DecodeInPieces(c.strIn, nPiece);
            EXPECT_EQ(d.nState, CChunkDecoder::CHUNK_COMPLETE) << c.strIn << " / " << nPiece;
            EXPECT_EQ(d.strData, c.strOut) << c.strIn << " / " << nPiece;
            if (nPiece == 1) {
                EXPECT_EQ(d.nConsumed, c.nEnd) << c.strIn;
            }
        }
        std::string strBody = c.strIn;
        bool bComplete = false;
        const std::size_t nLen = DecodeChunked(strBody.data(), strBody.size(), bComplete);
        EXPECT_TRUE(bComplete) << c.strIn;
        EXPECT_EQ(strBody.substr(0, nLen), c.strOut) << c.strIn;
    }
}

TEST(ChunkedBodyTest, BrokenOrCutBodiesKeepTheirDataAndNeverTheirFraming)
{
    // bBroken: the framing itself is wrong (the body can never complete);
    // otherwise the body is merely unfinished and waits for more.
    struct { const char* pszIn; bool bBroken; const char* pszData; } cases[] = {
        { "5\r\nhel",                         false, "hel" },     // last chunk cut short
        { "5\r\nhello\r\n",                   false, "hello" },   // no last chunk
        { "5\r\nhello\r\n0\r\n",              false, "hello" },   // no blank line after the last chunk
        { "5\r\nhello\r\n10\r\npartial",      false, "hellopartial" },
        { "",                                 false, "" },
        { "5\r\nhello\r\nZZZ\r\nabc\r\n0\r\n\r\n", true, "hello" },   // no size at all
        { "-5\r\nhello\r\n0\r\n\r\n",         true,  "" },        // a negative size
        { "100000000\r\nabc\r\n0\r\n\r\n",    true,  "" },        // nine digits: never a wrapped length
        { "5x\r\nhello\r\n0\r\n\r\n",         true,  "" },        // stray bytes after the size
        { "3\r\nabcX0\r\n\r\n",               true,  "abc" },     // data not followed by its line end
        { "3\r\nabc\rX0\r\n\r\n",             true,  "abc" },     // a CR without its LF
    };
    for (const auto& c : cases) {
        const std::string strIn = c.pszIn;
        for (std::size_t nPiece : s_aPieces) {
            const CDecoded d = DecodeInPieces(strIn, nPiece);
            EXPECT_EQ(d.nState, c.bBroken ? CChunkDecoder::CHUNK_BROKEN : CChunkDecoder::CHUNK_MORE)
                << strIn << " / " << nPiece;
            // Waiting bytes of an unfinished size line may still follow the
            // data; the decoded part is the data alone.
            EXPECT_EQ(d.strData.substr(0, std::string(c.pszData).size()), c.pszData) << strIn << " / " << nPiece;
        }
        std::string strBody = strIn;
        bool bComplete = true;
        const std::size_t nLen = DecodeChunked(strBody.data(), strBody.size(), bComplete);
        EXPECT_FALSE(bComplete) << strIn;
        EXPECT_EQ(strBody.substr(0, nLen), c.pszData) << strIn;
    }
}

TEST(ChunkedBodyTest, EndlessSizeOrTrailerLinesAreGivenUpNotSearchedForever)
{
    const std::string aInputs[] = {
        std::string(20000, '1'),
        "1;" + std::string(20000, 'x'),
        "1\r\na\r\n0\r\n" + std::string(20000, 't'),
    };
    for (const std::string& strIn : aInputs) {
        EXPECT_EQ(DecodeInPieces(strIn, 1000).nState, CChunkDecoder::CHUNK_BROKEN) << strIn.substr(0, 12);
    }
    // Many short trailer lines are bounded in all, like a header.
    std::string strTrailers = "1\r\na\r\n0\r\n";
    for (int i = 0; i < 10000; ++i)
        strTrailers += "X-T: 1\r\n";
    const CDecoded d = DecodeInPieces(strTrailers, 4096);
    EXPECT_EQ(d.nState, CChunkDecoder::CHUNK_BROKEN);
    EXPECT_EQ(d.strData, "a");
}
