#include "foundation/Text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace mv {
namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;
constexpr const char* UTF16_HOST = std::endian::native == std::endian::little ? "UTF-16LE"
                                                                               : "UTF-16BE";

size_t wideLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, as the system conversion does.
template <typename Out>
void encodeUtf8(const char16_t* text, size_t length, Out& out) {
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        uint32_t cp = text[i];
        if (isHighSurrogate(text[i]) && i + 1 < length && isLowSurrogate(text[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(text[i]) || isLowSurrogate(text[i])) {
            cp = REPLACEMENT;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

// UTF-8 to UTF-16. Each maximal ill-formed subsequence becomes one U+FFFD (Unicode's
// recommended practice, which the system conversion follows); NUL bytes are kept.
std::u16string decodeUtf8(const unsigned char* s, size_t length) {
    std::u16string out;
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int need = 0;
        uint32_t cp = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out.push_back(REPLACEMENT);
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        while (got < need && j < length) {
            unsigned char c = s[j];
            if (c < lo || c > hi) break;
            cp = (cp << 6) | (c & 0x3F);
            lo = 0x80;
            hi = 0xBF;
            ++j;
            ++got;
        }
        if (got < need) {
            out.push_back(REPLACEMENT);
            i = j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i = j;
    }
    return out;
}

bool isUtf8Name(const std::string& name) {
    return strcasecmp(name.c_str(), "UTF-8") == 0 || strcasecmp(name.c_str(), "UTF8") == 0;
}

// Loading the locale costs a few hundred microseconds, and every command thread starts with the
// default: it is read once per process (the environment that names it does not change).
std::string readLocaleCodeset() {
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) {
        return "UTF-8";
    }
    std::string codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || strcasecmp(codeset.c_str(), "ASCII") == 0) {
        return "UTF-8";
    }
    return codeset;
}

const std::string& localeCodeset() {
    static const std::string codeset = readLocaleCodeset();
    return codeset;
}

struct IconvCloser {
    void operator()(void* cd) const {
        if (cd != nullptr) {
            iconv_close(static_cast<iconv_t>(cd));
        }
    }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

iconv_t openIconv(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    return cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd;
}

// The thread's code page with its two converters, opened once per thread and code page.
struct CodePage {
    std::string name;
    bool utf8 = true;
    IconvHandle toAnsi;
    IconvHandle fromAnsi;

    bool select(const std::string& wanted) {
        if (isUtf8Name(wanted)) {
            name = wanted;
            utf8 = true;
            toAnsi.reset();
            fromAnsi.reset();
            return true;
        }
        IconvHandle to(openIconv(wanted.c_str(), UTF16_HOST));
        IconvHandle from(openIconv(UTF16_HOST, wanted.c_str()));
        if (!to || !from) {
            return false;
        }
        name = wanted;
        utf8 = false;
        toAnsi = std::move(to);
        fromAnsi = std::move(from);
        return true;
    }
};

CodePage& codePage() {
    thread_local CodePage page = [] {
        CodePage p;
        if (!p.select(localeCodeset())) {
            p.select("UTF-8");
        }
        return p;
    }();
    return page;
}

// Runs iconv over the whole input. Where a character cannot be converted, `onBad` writes its
// stand-in and says how many input bytes to skip.
template <typename OnBad>
bool convert(iconv_t cd, const char* in, size_t inLength, std::string& out, OnBad onBad) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.assign(inLength * 2 + 16, '\0');
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inLength;
    size_t used = 0;
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        // With no input left, one more call returns a stateful code page to its initial shift.
        size_t r = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                            : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<size_t>(-1)) {
            if (flushing) break;
            flushing = inLeft == 0;
            continue;
        }
        if (!flushing && (errno == EILSEQ || errno == EINVAL)) {
            size_t skip = onBad(inPtr, inLeft, out, used);
            inPtr += skip;
            inLeft -= skip;
            flushing = inLeft == 0;
            continue;
        }
        if (errno != E2BIG) {
            return false;
        }
        out.resize(out.size() * 2 + 16);
    }
    out.resize(used);
    return true;
}

void putAt(std::string& out, size_t& used, const char* bytes, size_t n) {
    if (out.size() < used + n) out.resize(used + n + 16);
    std::memcpy(out.data() + used, bytes, n);
    used += n;
}

std::string wideToAnsi(const char16_t* text, size_t length) {
    CodePage& page = codePage();
    std::string out;
    if (page.utf8) {
        encodeUtf8(text, length, out);
        return out;
    }
    const char* in = reinterpret_cast<const char*>(text);
    bool ok = convert(static_cast<iconv_t>(page.toAnsi.get()), in, length * 2, out,
                      [](const char* at, size_t left, std::string& o, size_t& used) -> size_t {
                          putAt(o, used, "?", 1);
                          char16_t c;
                          std::memcpy(&c, at, 2);
                          if (isHighSurrogate(c) && left >= 4) {
                              char16_t d;
                              std::memcpy(&d, at + 2, 2);
                              if (isLowSurrogate(d)) return 4;
                          }
                          return left >= 2 ? 2 : left;
                      });
    return ok ? out : std::string();
}

std::u16string ansiToWide(const char* text, size_t length) {
    CodePage& page = codePage();
    if (page.utf8) {
        return decodeUtf8(reinterpret_cast<const unsigned char*>(text), length);
    }
    std::string bytes;
    bool ok = convert(static_cast<iconv_t>(page.fromAnsi.get()), text, length, bytes,
                      [](const char*, size_t, std::string& o, size_t& used) -> size_t {
                          char16_t c = REPLACEMENT;
                          putAt(o, used, reinterpret_cast<const char*>(&c), 2);
                          return 1;
                      });
    if (!ok) return {};
    std::u16string out(bytes.size() / 2, u'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

}  // namespace

const std::string& threadCodePage() { return codePage().name; }

bool setThreadCodePage(const std::string& name) { return codePage().select(name); }

std::string toUtf8String(const char16_t* text) {
    std::string out;
    if (text != nullptr) {
        encodeUtf8(text, wideLength(text), out);
    }
    return out;
}

ByteBuffer toUtf8Bytes(const char16_t* text) {
    ByteBuffer out;
    if (text != nullptr) {
        encodeUtf8(text, wideLength(text), out);
    }
    return out;
}

const char* toUtf8CString(const char16_t* text, std::string& out) {
    ByteBuffer bytes = toUtf8Bytes(text);
    if (bytes.empty()) {
        return nullptr;
    }
    out.assign(bytes.begin(), bytes.end());
    return out.c_str();
}

std::u16string utf8ToWString(const char* data, size_t length) {
    if (data == nullptr || length == 0) {
        return {};
    }
    return decodeUtf8(reinterpret_cast<const unsigned char*>(data), length);
}

std::u16string utf8VecToWString(const ByteBuffer& data) {
    return utf8ToWString(reinterpret_cast<const char*>(data.data()), data.size());
}

const char16_t* ansiToWString(const char* text, std::u16string& out) {
    if (text == nullptr || *text == '\0') {
        return nullptr;
    }
    out = ansiToWide(text, std::strlen(text));
    return out.c_str();
}

const char* toAnsiString(const char16_t* text, std::string& out) {
    if (text == nullptr || *text == 0) {
        return nullptr;
    }
    out = wideToAnsi(text, wideLength(text));
    return out.c_str();
}

ByteBuffer ansiToUtf8Bytes(const char* text) {
    std::u16string wide;
    if (ansiToWString(text, wide) == nullptr) {
        return {};
    }
    return toUtf8Bytes(wide.c_str());
}

const char* utf8ToAnsi(const char* data, size_t length, std::string& out) {
    out.clear();
    std::u16string wide = utf8ToWString(data, length);
    toAnsiString(wide.c_str(), out);
    return out.empty() ? nullptr : out.c_str();
}

bool swapBytePairs(const unsigned char* data, size_t length, ByteBuffer& out) {
    if (data == nullptr || length == 0) {
        return false;
    }
    out.resize(length);
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        out[i] = data[i + 1];
        out[i + 1] = data[i];
    }
    if (i < length) {
        out[i] = data[i];
    }
    return true;
}

const char16_t* bytesToWString(const unsigned char* data, size_t length, std::u16string& out) {
    out.clear();
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    auto fromLittleEndian = [&out](const unsigned char* p, size_t units) {
        out.resize(units);
        for (size_t i = 0; i < units; ++i) {
            out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
        }
    };
    if (length >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        fromLittleEndian(data + 2, (length - 2) / 2);
    } else if (length >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        ByteBuffer swapped;
        if (swapBytePairs(data + 2, length - 2, swapped)) {
            fromLittleEndian(swapped.data(), (length - 2) / 2);
        }
    } else {
        const unsigned char* nul = static_cast<const unsigned char*>(std::memchr(data, 0, length));
        std::string ansi(reinterpret_cast<const char*>(data), nul ? nul - data : length);
        ansiToWString(ansi.c_str(), out);
    }
    return out.c_str();
}

namespace {
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

template <typename String>
void appendHex(const unsigned char* data, size_t length, String& out) {
    out.clear();
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(HEX_DIGITS[data[i] >> 4]);
        out.push_back(HEX_DIGITS[data[i] & 0x0F]);
    }
}
}  // namespace

const char* bytesToHex(const ByteBuffer& data, std::string& out) {
    if (data.empty()) {
        return nullptr;
    }
    appendHex(data.data(), data.size(), out);
    return out.c_str();
}

const char16_t* bytesToHexW(const unsigned char* data, size_t length, std::u16string& out) {
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    appendHex(data, length, out);
    return out.c_str();
}

ByteBuffer hexToBytes(const std::string& text) {
    ByteBuffer out;
    size_t i = text.compare(0, 2, "0x") == 0 ? 2 : 0;
    out.reserve((text.size() - i) / 2);
    for (; i + 2 <= text.size(); i += 2) {
        // strtoul keeps the old parser's leniency: white space, a sign, a short pair.
        const char pair[3] = {text[i], text[i + 1], '\0'};
        out.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16) & 0xFF));
    }
    return out;
}

ByteBuffer hexToBytesW(const char16_t* text) {
    std::string ansi;
    if (toAnsiString(text, ansi) == nullptr) {
        return {};
    }
    return hexToBytes(ansi);
}

std::string toFsPath(const char16_t* path) { return toUtf8String(path); }

}  // namespace mv
