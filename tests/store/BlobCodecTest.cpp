// BlobCodecTest.cpp - the task blob: base-32 form, the cipher (checked against
// Crypto++), fixed vectors, and replies of every short length.
#include "BlobCodec.h"

#include <crypto++/gost.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace quarvex;

namespace {

const char s_szKey[] = "0123456789ABCDEF0123456789ABCDEF";

std::string Bytes(std::initializer_list<int> a)
{
    std::string s;
    for (int n : a)
        s += static_cast<char>(n);
    return s;
}

} // namespace

TEST(Base32Test, FixedVectors)
{
    struct { std::string strData; const char* pszText; } cases[] = {
        { "",                                   "" },
        { Bytes({ 0x01 }),                      "10" },
        { Bytes({ 0xFF }),                      "V7" },
        { Bytes({ 0x00, 0x01 }),                "0800" },
        { Bytes({ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }), "VVVVVVVV" },
        { Bytes({ 0x21, 0x00, 0x00, 0x00, 0x00, 0x01 }), "1100000010" },  // byte 0 lowest
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const unsigned char*>(c.strData.data());
        EXPECT_EQ(EncodeBase32(p, c.strData.size()), c.pszText) << c.pszText;
        EXPECT_EQ(DecodeBase32(c.pszText), c.strData) << c.pszText;
    }
}

TEST(Base32Test, LengthsAndRefusals)
{
    std::string strData;
    for (std::size_t n = 0; n <= 41; ++n) {
        const auto* p = reinterpret_cast<const unsigned char*>(strData.data());
        const std::string strText = EncodeBase32(p, n);
        EXPECT_EQ(strText.size(), (8 * n + 4) / 5) << n;
        EXPECT_EQ(DecodeBase32(strText)->size(), n) << n;
        EXPECT_EQ(IsWholeBlockBase32Length(strText.size()), n % 8 == 0) << n;
        strData += static_cast<char>(n * 37);
    }
    for (const char* psz : { "0a", "W0", "0-", "0 ", "v" })
        EXPECT_FALSE(DecodeBase32(psz).has_value()) << psz;
}

TEST(GostTest, AgreesWithCryptoPP)
{
    std::mt19937 rng(7);
    for (int nRun = 0; nRun < 50; ++nRun) {
        unsigned char aKey[32], aData[64];
        for (auto& b : aKey)
            b = static_cast<unsigned char>(rng());
        for (auto& b : aData)
            b = static_cast<unsigned char>(rng());
        const std::string strKey(reinterpret_cast<char*>(aKey), sizeof(aKey));

        unsigned char aOurs[64];
        std::copy(aData, aData + 64, aOurs);
        GostEncipherBlocks(strKey, aOurs, sizeof(aOurs));

        CryptoPP::GOST::Encryption enc(aKey, sizeof(aKey));
        for (int i = 0; i < 64; i += 8) {
            unsigned char aTheirs[8];
            enc.ProcessBlock(aData + i, aTheirs);
            ASSERT_EQ(0, std::memcmp(aTheirs, aOurs + i, 8)) << "run " << nRun << " block " << i / 8;
        }
        GostDecipherBlocks(strKey, aOurs, sizeof(aOurs));
        ASSERT_EQ(0, std::memcmp(aData, aOurs, 64)) << "run " << nRun;
    }
}

TEST(GostTest, PartBlockAtTheEndIsLeftAlone)
{
    unsigned char a[11] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 };
    GostEncipherBlocks(s_szKey, a, sizeof(a));
    EXPECT_EQ(a[8], 9);
    EXPECT_EQ(a[10], 11);
}

TEST(BlobKeyTest, LowNibbleThenHighNibble)
{
    const unsigned char aBytes[16] = { 0x12, 0xAB, 0x0F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x9C };
    EXPECT_EQ(MakeBlobKeyFromBytes(aBytes), "21BAF00F" "0000000000000000000000" "C9");
    const std::string strKey = MakeBlobKey();
    EXPECT_TRUE(IsBlobKey(strKey)) << strKey;
    EXPECT_NE(strKey, MakeBlobKey());
    for (const char* psz : { "", "0123456789ABCDEF0123456789ABCDE", "0123456789ABCDEF0123456789ABCDEG" })
        EXPECT_FALSE(IsBlobKey(psz)) << psz;
    EXPECT_TRUE(IsBlobKey("0123456789abcdef0123456789ABCDEF"));
}

// Fixed vectors for the two lengths around a block boundary: 16 bytes are two
// blocks with no zero fill, 17 bytes three blocks. The expected texts were
// produced by this cipher and agree with Crypto++ (GostTest above).
TEST(TaskBlobTest, FixedVectors)
{
    struct { const char* pszText; const char* pszBlob; } cases[] = {
        { "<root></root>\r\n\r", "EL4OOTFVBTDU5BG9EAGNMQLGG2" },
        { "<root></root>\r\n\r\n", "EL4OOTFVBTDU5BG9EAGNMQLGGAUP2N304J3G8D3" },
    };
    for (const auto& c : cases) {
        const std::string strBlob = EncodeTaskBlob(c.pszText, s_szKey);
        EXPECT_EQ(strBlob, c.pszBlob) << c.pszText;
        const std::size_t nBlocks = (std::strlen(c.pszText) + 7) / 8;
        EXPECT_EQ(strBlob.size(), (64 * nBlocks + 4) / 5);
        EXPECT_EQ(DecodeTaskReply(*BuildTaskReply(s_szKey, strBlob)), c.pszText);
    }
}

TEST(TaskBlobTest, EveryLengthFromZeroToFortyRoundTrips)
{
    std::string strText;
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string strKey = MakeBlobKey();
        const std::string strBlob = EncodeTaskBlob(strText, strKey);
        const std::optional<std::string> reply = BuildTaskReply(strKey, strBlob);
        ASSERT_TRUE(reply.has_value()) << n;
        EXPECT_GE(reply->size(), BLOB_REPLY_MIN_LEN) << n;
        // Long enough replies are the stored text as it came, interleaved.
        if (strBlob.size() >= BLOB_KEY_LEN) {
            EXPECT_EQ(reply->size(), BLOB_KEY_LEN + strBlob.size()) << n;
        }
        EXPECT_EQ(DecodeTaskReply(*reply), strText) << n;
        strText += static_cast<char>('a' + n % 26);
    }
}

TEST(TaskBlobTest, ReplyRefusals)
{
    const std::string strText(40, 'x');
    const std::string strReply = *BuildTaskReply(s_szKey, EncodeTaskBlob(strText, s_szKey));
    ASSERT_EQ(DecodeTaskReply(strReply), strText);

    EXPECT_FALSE(DecodeTaskReply(strReply.substr(0, 63)).has_value());
    // A lower-case letter in the data part (odd positions, or from 64 on)
    // makes the reply unusable; in the key part it is just a key byte.
    for (std::size_t nPos : { std::size_t(1), std::size_t(63), std::size_t(64), strReply.size() - 1 }) {
        std::string strBad = strReply;
        strBad[nPos] = 'a';
        EXPECT_FALSE(DecodeTaskReply(strBad).has_value()) << nPos;
    }
    std::string strKeyCase = strReply;
    strKeyCase[0] = 'a';
    EXPECT_TRUE(DecodeTaskReply(strKeyCase).has_value());

    // Texts of lengths that no whole-block blob has: only the whole blocks
    // are deciphered, and nothing is read past the reply.
    for (std::size_t nCut = 1; nCut <= 12; ++nCut) {
        const std::optional<std::string> text = DecodeTaskReply(strReply.substr(0, strReply.size() - nCut));
        ASSERT_TRUE(text.has_value()) << nCut;
        EXPECT_LE(text->size(), strText.size()) << nCut;
    }

    EXPECT_FALSE(BuildTaskReply("short", EncodeTaskBlob("x", s_szKey)).has_value());
    EXPECT_FALSE(BuildTaskReply(s_szKey, "0a").has_value());
    EXPECT_FALSE(BuildTaskReply(s_szKey, "0000").has_value());  // not whole blocks
    EXPECT_TRUE(BuildTaskReply(s_szKey, "").has_value());
}
