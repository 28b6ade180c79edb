// BlobCodec.cpp - GOST 28147-89 (simple substitution), the store's base-32
// form and the LoadTask reply layout.
#include "BlobCodec.h"
#include "platform/HexDigit.h"

#include <random>

namespace quarvex {

namespace {

// The S-box set of the GOST R 34.11-94 test parameter set; row 0 substitutes
// the lowest four bits of the round value.
const unsigned char s_aSBox[8][16] = {
    { 4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3 },
    { 14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9 },
    { 5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11 },
    { 7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3 },
    { 6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2 },
    { 4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14 },
    { 13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12 },
    { 1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12 },
};

// Round function: substitute each nibble, then rotate left by 11.
std::uint32_t Round(std::uint32_t x)
{
    std::uint32_t y = 0;
    for (int i = 0; i < 8; ++i)
        y |= static_cast<std::uint32_t>(s_aSBox[i][(x >> (4 * i)) & 0xF]) << (4 * i);
    return (y << 11) | (y >> 21);
}

std::uint32_t GetLE32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutLE32(unsigned char* p, std::uint32_t n)
{
    p[0] = static_cast<unsigned char>(n);
    p[1] = static_cast<unsigned char>(n >> 8);
    p[2] = static_cast<unsigned char>(n >> 16);
    p[3] = static_cast<unsigned char>(n >> 24);
}

enum Direction { ENCIPHER, DECIPHER };

void CryptBlocks(std::string_view strKey, unsigned char* pData, std::size_t nLen, Direction nDir)
{
    std::uint32_t aKey[8] = {};
    // A short key is zero-extended rather than read past; callers check the
    // length, this only keeps a mistake from becoming an overread.
    unsigned char aKeyBytes[32] = {};
    for (std::size_t i = 0; i < 32 && i < strKey.size(); ++i)
        aKeyBytes[i] = static_cast<unsigned char>(strKey[i]);
    for (int i = 0; i < 8; ++i)
        aKey[i] = GetLE32(aKeyBytes + 4 * i);

    // Key schedule: words 0-7 three times, then 7-0 to encipher; the reverse
    // to decipher.
    int aOrder[32];
    for (int i = 0; i < 32; ++i) {
        const int nEnc = i < 24 ? i % 8 : 7 - i % 8;
        aOrder[i] = nDir == ENCIPHER ? nEnc : (i < 8 ? i : 7 - i % 8);
    }

    for (std::size_t nOff = 0; nOff + 8 <= nLen; nOff += 8) {
        unsigned char* p = pData + nOff;
        std::uint32_t n1 = GetLE32(p);
        std::uint32_t n2 = GetLE32(p + 4);
        for (int i = 0; i < 32; ++i) {
            const std::uint32_t t = n2 ^ Round(n1 + aKey[aOrder[i]]);
            n2 = n1;
            n1 = t;
        }
        // The last round does not swap the halves.
        PutLE32(p, n2);
        PutLE32(p + 4, n1);
    }
}

int Base32Value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'V')
        return c - 'A' + 10;
    return -1;
}

char Base32Digit(unsigned v)
{
    return static_cast<char>(v < 10 ? '0' + v : 'A' + (v - 10));
}

} // namespace

void GostEncipherBlocks(std::string_view strKey, unsigned char* pData, std::size_t nLen)
{
    CryptBlocks(strKey, pData, nLen, ENCIPHER);
}

void GostDecipherBlocks(std::string_view strKey, unsigned char* pData, std::size_t nLen)
{
    CryptBlocks(strKey, pData, nLen, DECIPHER);
}

std::string EncodeBase32(const unsigned char* pData, std::size_t nLen)
{
    std::string strOut;
    strOut.reserve((8 * nLen + 4) / 5);
    // Bits leave from the low end of the accumulator; a group of 5 bytes thus
    // becomes 8 digits with byte 0 least significant, and the final short
    // group gets one digit for its remaining bits.
    std::uint32_t nAcc = 0;
    int nBits = 0;
    for (std::size_t i = 0; i < nLen; ++i) {
        nAcc |= static_cast<std::uint32_t>(pData[i]) << nBits;
        nBits += 8;
        while (nBits >= 5) {
            strOut += Base32Digit(nAcc & 31);
            nAcc >>= 5;
            nBits -= 5;
        }
    }
    if (nBits > 0)
        strOut += Base32Digit(nAcc & 31);
    return strOut;
}

bool IsBase32(std::string_view strText)
{
    for (char c : strText) {
        if (Base32Value(c) < 0)
            return false;
    }
    return true;
}

std::optional<std::string> DecodeBase32(std::string_view strText)
{
    std::string strOut;
    strOut.reserve(strText.size() * 5 / 8);
    std::uint32_t nAcc = 0;
    int nBits = 0;
    for (char c : strText) {
        const int v = Base32Value(c);
        if (v < 0)
            return std::nullopt;
        nAcc |= static_cast<std::uint32_t>(v) << nBits;
        nBits += 5;
        if (nBits >= 8) {
            strOut += static_cast<char>(nAcc & 0xFF);
            nAcc >>= 8;
            nBits -= 8;
        }
    }
    return strOut;
}

bool IsWholeBlockBase32Length(std::size_t nChars)
{
    const std::size_t nBytes = nChars * 5 / 8;
    return nBytes % 8 == 0 && (8 * nBytes + 4) / 5 == nChars;
}

std::string MakeBlobKeyFromBytes(const unsigned char* pBytes16)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string strKey;
    strKey.reserve(BLOB_KEY_LEN);
    for (int i = 0; i < 16; ++i) {
        strKey += s_szHex[pBytes16[i] & 0xF];
        strKey += s_szHex[pBytes16[i] >> 4];
    }
    return strKey;
}

std::string MakeBlobKey()
{
    // The key is sent beside the blob, so it needs to differ between calls
    // rather than to be secret; random_device reads the kernel's generator.
    std::random_device rd;
    unsigned char aBytes[16];
    for (int i = 0; i < 16; i += 4) {
        const unsigned n = rd();
        for (int j = 0; j < 4; ++j)
            aBytes[i + j] = static_cast<unsigned char>(n >> (8 * j));
    }
    return MakeBlobKeyFromBytes(aBytes);
}

bool IsBlobKey(std::string_view strKey)
{
    if (strKey.size() != BLOB_KEY_LEN)
        return false;
    for (char c : strKey) {
        if (HexDigitValue(c) < 0)
            return false;
    }
    return true;
}

std::string EncodeTaskBlob(std::string_view strText, std::string_view strKey)
{
    std::string strBuf(strText);
    strBuf.resize((strBuf.size() + 7) / 8 * 8, '\0');
    auto* p = reinterpret_cast<unsigned char*>(strBuf.data());
    GostEncipherBlocks(strKey, p, strBuf.size());
    return EncodeBase32(p, strBuf.size());
}

std::optional<std::string> DecodeTaskReply(std::string_view strReply)
{
    if (strReply.size() < BLOB_REPLY_MIN_LEN)
        return std::nullopt;
    std::string strKey, strText;
    strKey.reserve(BLOB_KEY_LEN);
    strText.reserve(strReply.size() - BLOB_KEY_LEN);
    for (std::size_t i = 0; i < BLOB_REPLY_MIN_LEN; i += 2) {
        strKey += strReply[i];
        strText += strReply[i + 1];
    }
    strText.append(strReply.substr(BLOB_REPLY_MIN_LEN));

    std::optional<std::string> data = DecodeBase32(strText);
    if (!data)
        return std::nullopt;
    // Only whole blocks are deciphered; the bytes of a part block at the end
    // (a text of a length that no whole-block blob has) stay as they came.
    auto* p = reinterpret_cast<unsigned char*>(data->data());
    GostDecipherBlocks(strKey, p, data->size());
    const std::size_t nEnd = data->find('\0');
    if (nEnd != std::string::npos)
        data->resize(nEnd);
    return data;
}

std::optional<std::string> BuildTaskReply(std::string_view strKey, std::string_view strBase32)
{
    if (strKey.size() != BLOB_KEY_LEN || !IsBase32(strBase32) ||
        !IsWholeBlockBase32Length(strBase32.size()))
        return std::nullopt;

    std::string strText;
    if (strBase32.size() >= BLOB_KEY_LEN) {
        strText = strBase32;
    } else {
        std::string strData = *DecodeBase32(strBase32);
        std::string strZero;
        while ((8 * (strData.size() + strZero.size()) + 4) / 5 < BLOB_KEY_LEN)
            strZero.append(8, '\0');
        GostEncipherBlocks(strKey, reinterpret_cast<unsigned char*>(strZero.data()), strZero.size());
        strData += strZero;
        strText = EncodeBase32(reinterpret_cast<const unsigned char*>(strData.data()), strData.size());
    }

    std::string strReply;
    strReply.reserve(BLOB_KEY_LEN + strText.size());
    for (std::size_t i = 0; i < BLOB_KEY_LEN; ++i) {
        strReply += strKey[i];
        strReply += strText[i];
    }
    strReply.append(strText, BLOB_KEY_LEN);
    return strReply;
}

} // namespace quarvex
