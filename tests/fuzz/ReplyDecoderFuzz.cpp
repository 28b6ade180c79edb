// ReplyDecoderFuzz.cpp - LoadTask replies as a hostile store might send them:
// no crash, no read past the reply, and the decoded text never longer than
// the data part can hold.
#include "store/BlobCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace quarvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const std::string_view strInput(reinterpret_cast<const char*>(pData), nSize);
    const std::optional<std::string> text = DecodeTaskReply(strInput);
    if (text && text->size() > (nSize - BLOB_KEY_LEN) * 5 / 8)
        std::abort();

    // The same bytes as a stored key and blob: whatever the store agrees to
    // build must decode again.
    if (nSize >= BLOB_KEY_LEN) {
        const std::optional<std::string> reply =
            BuildTaskReply(strInput.substr(0, BLOB_KEY_LEN), strInput.substr(BLOB_KEY_LEN));
        if (reply && !DecodeTaskReply(*reply))
            std::abort();
    }
    // Any text encodes and decodes back up to its first zero byte.
    const std::string strKey(strInput.substr(0, nSize < BLOB_KEY_LEN ? nSize : BLOB_KEY_LEN));
    if (strKey.size() == BLOB_KEY_LEN) {
        const std::string_view strText = strInput.substr(BLOB_KEY_LEN);
        const std::optional<std::string> back = DecodeTaskReply(*BuildTaskReply(strKey, EncodeTaskBlob(strText, strKey)));
        if (!back || *back != strText.substr(0, strText.find('\0')))
            std::abort();
    }
    return 0;
}
