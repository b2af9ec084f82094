#include "foundation/Base64.h"

#include <array>
#include <cstring>
#include <new>

namespace mv {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Reverse of ALPHABET: the value of each byte, -1 outside the alphabet. Decoding large command
// arguments (whole XML documents) looks up every character.
constexpr std::array<signed char, 256> makeReverseAlphabet() {
    std::array<signed char, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(ALPHABET[i])] = static_cast<signed char>(i);
    }
    return values;
}
constexpr std::array<signed char, 256> REVERSE_ALPHABET = makeReverseAlphabet();

int valueOf(char c) { return REVERSE_ALPHABET[static_cast<unsigned char>(c)]; }

}  // namespace

void base64EncodeBlock(const unsigned char in[3], char out[4]) {
    unsigned v = (in[0] << 16) | (in[1] << 8) | in[2];
    out[0] = ALPHABET[(v >> 18) & 0x3F];
    out[1] = ALPHABET[(v >> 12) & 0x3F];
    out[2] = ALPHABET[(v >> 6) & 0x3F];
    out[3] = ALPHABET[v & 0x3F];
}

bool base64Encode(const unsigned char* data, size_t length, std::vector<char>& out) {
    out.clear();
    if (data == nullptr) {
        out.push_back('\0');
        return false;
    }
    out.reserve(length / 3 * 4 + 5);
    char group[4];
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        base64EncodeBlock(data + i, group);
        out.insert(out.end(), group, group + 4);
    }
    if (i < length) {
        unsigned char rest[3] = {0, 0, 0};
        std::memcpy(rest, data + i, length - i);
        base64EncodeBlock(rest, group);
        group[3] = '=';
        if (length - i == 1) {
            group[2] = '=';
        }
        out.insert(out.end(), group, group + 4);
    }
    out.push_back('\0');
    return true;
}

const char* base64EncodeStr(const unsigned char* data, size_t length, std::string& out) {
    out.clear();
    std::vector<char> text;
    base64Encode(data, length, text);
    if (text.size() <= 1) {
        return nullptr;
    }
    out.assign(text.data(), text.size() - 1);
    return out.c_str();
}

const char* base64EncodeVec(const ByteBuffer& data, std::string& out) {
    // An empty vector may have no storage; the encoder treats that as an empty input.
    static const unsigned char none = 0;
    return base64EncodeStr(data.empty() ? &none : data.data(), data.size(), out);
}

int base64DecodeQuad(const char in[4], unsigned char out[3]) {
    int values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = valueOf(in[i]);
    }
    int count = 3;
    bool padding = true;
    for (int i = 3; i >= 0; --i) {
        if (values[i] >= 0) {
            padding = false;
            continue;
        }
        if (!padding || in[i] != '=') {
            return 0;
        }
        values[i] = 0;
        --count;
    }
    if (count < 0) {
        count = 0;
    }
    unsigned v = (((values[0] * 64u + values[1]) * 64u + values[2]) * 64u) + values[3];
    v >>= 8 * (3 - count);
    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>(v >> (8 * (count - 1 - i)));
    }
    return count;
}

int base64Decode(const char* text, ByteBuffer& out) {
    out.clear();
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    size_t length = std::strlen(text);
    std::string copy;
    try {
        out.reserve(length);
        copy.reserve(length + 5);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    copy.assign(text, length);
    copy += "====";

    size_t pos = 0;
    for (;;) {
        char group[4];
        int filled = 0;
        while (filled < 4 && pos < copy.size()) {
            char c = copy[pos++];
            if (c == '=' || valueOf(c) >= 0) {
                group[filled++] = c;
            }
        }
        if (filled < 4) {
            break;  // cannot happen while the appended "====" stands, kept for safety
        }
        unsigned char bytes[3];
        int n = base64DecodeQuad(group, bytes);
        out.insert(out.end(), bytes, bytes + n);
        if (n != 3) {
            break;
        }
    }
    out.shrink_to_fit();
    return static_cast<int>(out.size());
}

ByteBuffer base64DecodeToVec(const char* text) {
    ByteBuffer out;
    if (base64Decode(text, out) < 0) {
        out.clear();
    }
    return out;
}

ByteBuffer base64DecodeStr(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    return base64DecodeToVec(text.c_str());
}

}  // namespace mv
