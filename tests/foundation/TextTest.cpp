#include <gtest/gtest.h>

#include <thread>

#include "foundation/Text.h"

namespace {

mv::ByteBuffer bytes(std::initializer_list<int> values) {
    return mv::ByteBuffer(values.begin(), values.end());
}

TEST(Utf8, roundTripAndInvalidInput) {
    const char16_t* text = u"署名 \u00e9\u20ac \U0001F600 \u0444";
    std::string utf8 = mv::toUtf8String(text);
    EXPECT_EQ(utf8, "署名 é€ 😀 ф");
    EXPECT_EQ(mv::utf8ToWString(utf8.data(), utf8.size()), text);
    std::string bad = "a\xC3(b\xED\xA0\x80z\xF0\x9F";
    EXPECT_EQ(mv::utf8ToWString(bad.data(), bad.size()), u"a\uFFFD(b\uFFFD\uFFFD\uFFFDz\uFFFD");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(mv::toUtf8String(lone), "x\xEF\xBF\xBDy");
    EXPECT_EQ(mv::utf8ToWString("a\0b", 3), std::u16string(u"a\0b", 3));
}

// On a thread whose ANSI code page is CP932, as a Japanese system's threads are; the bytes are
// those of iconv -t CP932. (Texts it can hold are converted in the launch and log tests.)
TEST(Ansi, cp932ReplacesWhatItCannotHold) {
    std::thread([] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        std::string out;
        mv::toAnsiString(u"署名\u00e9\U0001F600x", out);  // a surrogate pair is one character
        EXPECT_EQ(out, "\x8f\x90\x96\xbc??x");
        std::u16string back;
        mv::ansiToWString("a\x81", back);  // a lead byte with no trail byte
        EXPECT_EQ(back, u"a\uFFFD");
        EXPECT_FALSE(mv::setThreadCodePage("NO-SUCH-CODEPAGE"));
        EXPECT_EQ(mv::threadCodePage(), "CP932");
    }).join();
}

TEST(BytesToWString, byteOrderMarks) {
    struct Row {
        mv::ByteBuffer in;
        std::u16string out;
        const char* why;
    } rows[] = {
        {bytes({0xFF, 0xFE, 0x41, 0x00, 0x42}), u"A", "little-endian; odd last byte dropped"},
        {bytes({0xFE, 0xFF, 0x30, 0x42, 0x00}), u"\u3042", "big-endian; odd last byte dropped"},
        {bytes({0x41, 0x42, 0x00, 0x43}), u"AB", "ANSI up to the first NUL"},
    };
    for (const Row& row : rows) {
        std::u16string out = u"old";
        EXPECT_NE(mv::bytesToWString(row.in.data(), row.in.size(), out), nullptr) << row.why;
        EXPECT_EQ(out, row.out) << row.why;
    }
}

// The old parser's leniency with a page's hex text. (The "0x" prefix and the upper-case output
// are checked where a signer takes a hash and gives a certificate.)
TEST(Hex, hexToBytes_table) {
    struct Row {
        const char* text;
        mv::ByteBuffer out;
        const char* why;
    } rows[] = {
        {"0X0aff", bytes({0x00, 0x0A, 0xFF}), "0X is read as the pair 0X, value 0"},
        {"ABC", bytes({0xAB}), "odd last character dropped"},
        {"A:BC", bytes({0x0A, 0xBC}), "a separator shifts the pairing"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mv::hexToBytes(row.text), row.out) << row.why;
    }
}

}  // namespace
