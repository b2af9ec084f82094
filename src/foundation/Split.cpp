#include "foundation/Split.h"

#include <cstring>

namespace mv {

int splitTokens(const char* text, std::vector<std::string>& out) {
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    out.clear();
    std::string token;
    // Each token is sized once, to the text up to the next comma: a command frame may be one
    // token of many megabytes, which doubling growth would hold up to twice over.
    token.reserve(std::strcspn(text, ","));
    bool lastWasSeparator = false;
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
            // The C locale's white space; bytes of 0x80 and above never are.
            case ' ':
            case '\t':
            case '\n':
            case '\v':
            case '\f':
            case '\r':
                break;
            case ',':
                out.push_back(std::move(token));
                token = std::string();
                token.reserve(std::strcspn(p + 1, ","));
                lastWasSeparator = true;
                break;
            default:
                token.push_back(*p);
                lastWasSeparator = false;
                break;
        }
    }
    if (!token.empty() || lastWasSeparator) {
        out.push_back(std::move(token));
    }
    return static_cast<int>(out.size());
}

int splitLinesW(const char16_t* text, size_t length, std::vector<std::u16string>& out) {
    out.clear();
    if (text == nullptr || length == 0) {
        return 0;
    }
    std::u16string token;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        bool control = c <= 0x1F || (c >= 0x7F && c <= 0x9F);
        if (!control) {
            token.push_back(c);
        } else if (!token.empty()) {
            out.push_back(std::move(token));
            token.clear();
        }
    }
    if (!token.empty()) {
        out.push_back(std::move(token));
    }
    return static_cast<int>(out.size());
}

}  // namespace mv
