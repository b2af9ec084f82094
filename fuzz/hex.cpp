#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    mv::ByteBuffer bytes = mv::hexToBytes(text);
    std::string hex;
    mv::bytesToHex(bytes, hex);
    if (mv::hexToBytes(hex) != bytes) {
        __builtin_trap();
    }
    std::u16string wide(text.begin(), text.end());
    (void)mv::hexToBytesW(wide.c_str());
    return 0;
}
