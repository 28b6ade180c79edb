// BlobCodec.h - the task blob: a definition text zero-filled to whole 8-byte
// blocks, enciphered with GOST 28147-89 under a throw-away key and written in
// the store's base-32 form. The key travels with the blob, so this hides the
// text from casual eyes only; it is no secret and nothing may rely on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarvex {

// Length of a blob key and of the interleaved head of a LoadTask reply.
constexpr std::size_t BLOB_KEY_LEN = 32;
constexpr std::size_t BLOB_REPLY_MIN_LEN = 64;

// GOST 28147-89 in simple substitution mode on whole 8-byte blocks, in place.
// The 32 key bytes are read as eight little-endian 32-bit words; a trailing
// part block (nLen not a multiple of 8) is left as it is.
void GostEncipherBlocks(std::string_view strKey, unsigned char* pData, std::size_t nLen);
void GostDecipherBlocks(std::string_view strKey, unsigned char* pData, std::size_t nLen);

// The store's base-32 form: 5 bits at a time from the least significant end,
// byte 0 lowest, digits '0'-'9' and 'A'-'V'. Output has (8n+4)/5 characters.
std::string EncodeBase32(const unsigned char* pData, std::size_t nLen);
// Decodes to floor(5n/8) bytes; returns nullopt on any character outside
// '0'-'9', 'A'-'V' (lower case included).
std::optional<std::string> DecodeBase32(std::string_view strText);
// True when every character is a base-32 digit.
bool IsBase32(std::string_view strText);
// True when the text has the length that whole 8-byte blocks encode to.
bool IsWholeBlockBase32Length(std::size_t nChars);

// A fresh key: 16 random bytes, each written as the upper-case hexadecimal
// digit of its low four bits, then that of its high four bits.
std::string MakeBlobKey();
// The key text from 16 given bytes (the same layout; for tests and tools).
std::string MakeBlobKeyFromBytes(const unsigned char* pBytes16);
// True for 32 hexadecimal digits of either case.
bool IsBlobKey(std::string_view strKey);

// The base-32 text that AddTask and UpdateTask send for a definition text.
// strKey must be BLOB_KEY_LEN bytes. Bytes after a zero byte in strText are
// sent but never read back: a decoded text ends at its first zero byte.
std::string EncodeTaskBlob(std::string_view strText, std::string_view strKey);

// Reads a LoadTask reply: the first 64 characters interleave the key (even
// positions) with the first 32 base-32 characters (odd positions); the rest
// continues the base-32 text. Deciphers the whole blocks only and returns the
// text up to the first zero byte; nullopt when the reply is shorter than 64
// characters or its data part is not base-32.
std::optional<std::string> DecodeTaskReply(std::string_view strReply);

// Builds a LoadTask reply from a stored key and base-32 text. A text shorter
// than 32 characters (a definition of 16 bytes or less) cannot fill the
// interleaved head, so whole enciphered zero blocks are appended to the
// decoded bytes until it can; they decode to zeros and end the text where it
// ended. Returns nullopt when the key is not BLOB_KEY_LEN bytes or the text
// is not base-32 of whole blocks.
std::optional<std::string> BuildTaskReply(std::string_view strKey, std::string_view strBase32);

} // namespace quarvex
