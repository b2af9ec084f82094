#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Split.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> tokens;
    int n = mv::splitTokens(text.c_str(), tokens);
    if (n != static_cast<int>(tokens.size()) && n != 0) {
        __builtin_trap();
    }
    for (const std::string& token : tokens) {
        if (token.find(',') != std::string::npos) __builtin_trap();
    }
    std::u16string wide(text.begin(), text.end());
    std::vector<std::u16string> lines;
    mv::splitLinesW(wide.data(), wide.size(), lines);
    return 0;
}
