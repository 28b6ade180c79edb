// ContentCodingTest.cpp - gzip and deflate bodies, and the bounds that keep
// a decompression bomb from exhausting memory.
#include "http/ContentCoding.h"

#include "ZlibCompress.h"

#include <gtest/gtest.h>
#include <zlib.h>

TEST(ContentCodingTest, NamesOfCodings)
{
    EXPECT_EQ(ParseContentCoding(""), CODING_IDENTITY);
    EXPECT_EQ(ParseContentCoding(" identity "), CODING_IDENTITY);
    EXPECT_EQ(ParseContentCoding("GZIP"), CODING_GZIP);
    EXPECT_EQ(ParseContentCoding("x-gzip"), CODING_GZIP);
    EXPECT_EQ(ParseContentCoding("deflate"), CODING_DEFLATE);
    EXPECT_EQ(ParseContentCoding("br"), CODING_UNKNOWN);
    EXPECT_EQ(ParseContentCoding("gzip, gzip"), CODING_UNKNOWN);
}

TEST(ContentCodingTest, GzipZlibAndRawDeflate)
{
    const std::string strPage = "<html>" + std::string(20000, 'x') + "中文</html>";
    std::string strOut;
    EXPECT_EQ(DecodeContent(CODING_GZIP, Compress(strPage, 16 + MAX_WBITS), strOut, 1 << 30), DECODE_OK);
    EXPECT_EQ(strOut, strPage);
    EXPECT_EQ(DecodeContent(CODING_DEFLATE, Compress(strPage, MAX_WBITS), strOut, 1 << 30), DECODE_OK);
    EXPECT_EQ(strOut, strPage);
    EXPECT_EQ(DecodeContent(CODING_DEFLATE, Compress(strPage, -MAX_WBITS), strOut, 1 << 30), DECODE_OK);
    EXPECT_EQ(strOut, strPage);
    // Two gzip members make one body.
    const std::string strTwo = Compress("abc", 16 + MAX_WBITS) + Compress("def", 16 + MAX_WBITS);
    EXPECT_EQ(DecodeContent(CODING_GZIP, strTwo, strOut, 1 << 30), DECODE_OK);
    EXPECT_EQ(strOut, "abcdef");
}

TEST(ContentCodingTest, BrokenBodies)
{
    const std::string strGzip = Compress(std::string(5000, 'a') + "end", 16 + MAX_WBITS);
    std::string strOut;
    EXPECT_EQ(DecodeContent(CODING_GZIP, strGzip.substr(0, strGzip.size() / 2), strOut, 1 << 30), DECODE_CORRUPT);
    EXPECT_EQ(DecodeContent(CODING_GZIP, "not gzip at all", strOut, 1 << 30), DECODE_CORRUPT);
    EXPECT_EQ(DecodeContent(CODING_DEFLATE, "\xff\xff\xff", strOut, 1 << 30), DECODE_CORRUPT);
    EXPECT_EQ(DecodeContent(CODING_GZIP, "", strOut, 1 << 30), DECODE_CORRUPT);
}

TEST(ContentCodingTest, BombsAreStopped)
{
    // 50 MB of zeros squeeze into about 50 KB: far past 1000 times.
    const std::string strBomb = Compress(std::string(50 << 20, '\0'), 16 + MAX_WBITS);
    std::string strOut;
    EXPECT_EQ(DecodeContent(CODING_GZIP, strBomb, strOut, std::size_t{1} << 30), DECODE_TOO_LARGE);
    EXPECT_LE(strOut.size(), strBomb.size() * 1000);
    // The absolute limit holds whatever the ratio.
    const std::string strText = Compress(std::string(100000, 'q'), 16 + MAX_WBITS);
    EXPECT_EQ(DecodeContent(CODING_GZIP, strText, strOut, 50000, 0), DECODE_TOO_LARGE);
    EXPECT_EQ(DecodeContent(CODING_GZIP, strText, strOut, 200000, 0), DECODE_OK);
    EXPECT_EQ(DecodeContent(CODING_IDENTITY, "abc", strOut, 2), DECODE_TOO_LARGE);
}
