// ChunkedBodyTest.cpp - finding the end of a chunked body as it arrives, and
// decoding it, fed whole and byte by byte.
#include "http/ChunkedBody.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Feeds strBody one byte more at a time; returns the end offset at which the
// scanner first reported the body complete, or npos.
std::size_t ScanInPieces(const std::string& strBody)
{
    CChunkScanner scanner;
    for (std::size_t n = 0; n <= strBody.size(); ++n) {
        if (scanner.Scan(strBody.data(), n))
            return scanner.GetEnd();
    }
    return std::string::npos;
}

} // namespace

TEST(ChunkedBodyTest, CompleteBodiesDecodeAndEndAtTheTrailersBlankLine)
{
    struct { std::string strIn; std::string strOut; std::size_t nEnd; } cases[] = {
        { "5\r\nhello\r\n0\r\n\r\n",                   "hello",       15 },
        { "1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcdefghijklmnopqrstuvwxyz", 37 },
        { "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n", "abcdefghijklmnopqrstuvwxyz", 37 },
        { "0\r\n\r\n",                                 "",            5 },   // no data: empty, not "0\r\n\r\n"
        { "3;name=v\r\nabc\r\n0\r\n\r\n",              "abc",         20 },  // extension ignored
        { "3\nabc\n0\n\n",                             "abc",         9 },   // bare LF lines
        { "2\r\nab\r\n0\r\nX-T: 1\r\n\r\n",            "ab",          20 },  // a trailer field
        { "2\r\nab\r\n0\r\n\r\nGET / HTTP/1.1",        "ab",          12 },  // bytes after the end are not body
        { "00000002\r\nab\r\n0\r\n\r\n",               "ab",          19 },  // eight digits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScanInPieces(c.strIn), c.nEnd) << c.strIn;
        std::string strBody = c.strIn;
        bool bComplete = false;
        const std::size_t nLen = DecodeChunked(strBody.data(), strBody.size(), bComplete);
        EXPECT_TRUE(bComplete) << c.strIn;
        EXPECT_EQ(strBody.substr(0, nLen), c.strOut) << c.strIn;
    }
}

TEST(ChunkedBodyTest, IncompleteOrHostileBodiesStayAsReceived)
{
    const char* cases[] = {
        "5\r\nhel",                          // last chunk cut short
        "5\r\nhello\r\n",                    // no last chunk
        "5\r\nhello\r\n0\r\n",               // last chunk without the trailer's blank line
        "FFFFFFFF\r\nabc\r\n0\r\n\r\n",      // size larger than what remains
        "100000000\r\nabc\r\n0\r\n\r\n",     // nine digits: never a wrapped length
        "zz\r\nabc\r\n0\r\n\r\n",            // no size at all
        "3\r\nabcX0\r\n\r\n",                // data not followed by its line end
        "",
    };
    for (const char* pszIn : cases) {
        const std::string strIn = pszIn;
        EXPECT_EQ(ScanInPieces(strIn), std::string::npos) << strIn;
        std::string strBody = strIn;
        bool bComplete = true;
        EXPECT_EQ(DecodeChunked(strBody.data(), strBody.size(), bComplete), strIn.size()) << strIn;
        EXPECT_FALSE(bComplete) << strIn;
        EXPECT_EQ(strBody, strIn) << strIn;
    }
}

TEST(ChunkedBodyTest, EndlessSizeLineIsGivenUpNotSearchedForever)
{
    const std::string strLine(20000, '1');
    CChunkScanner scanner;
    EXPECT_FALSE(scanner.Scan(strLine.data(), strLine.size()));
    EXPECT_TRUE(scanner.IsBroken());
    const std::string strExtension = "1;" + std::string(20000, 'x');
    CChunkScanner scanner2;
    EXPECT_FALSE(scanner2.Scan(strExtension.data(), strExtension.size()));
    EXPECT_TRUE(scanner2.IsBroken());
}
