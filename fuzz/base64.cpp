#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    mv::ByteBuffer decoded = mv::base64DecodeToVec(text.c_str());
    // Whatever was decoded must survive a round trip through the encoder.
    std::string encoded;
    mv::base64EncodeVec(decoded, encoded);
    if (mv::base64DecodeStr(encoded) != decoded) {
        __builtin_trap();
    }
    return 0;
}
