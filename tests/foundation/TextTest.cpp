#include <gtest/gtest.h>

#include <thread>

#include "foundation/Text.h"

namespace {

mv::ByteBuffer bytes(std::initializer_list<int> values) {
    return mv::ByteBuffer(values.begin(), values.end());
}

TEST(Utf8, roundTripAndInvalidInput) {
    const std::string utf8 = "署名 é€ 😀 ф";
    EXPECT_EQ(mv::toUtf8String(u"署名 \u00e9\u20ac \U0001F600 \u0444"), utf8);
    EXPECT_EQ(mv::utf8ToWString(utf8.data(), utf8.size()), u"署名 \u00e9\u20ac \U0001F600 \u0444");
    std::string bad = "a\xC3(b\xED\xA0\x80z\xF0\x9F";
    EXPECT_EQ(mv::utf8ToWString(bad.data(), bad.size()), u"a\uFFFD(b\uFFFD\uFFFD\uFFFDz\uFFFD");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(mv::toUtf8String(lone), "x\xEF\xBF\xBDy");
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
    // Little- and big-endian, each with an odd last byte that is dropped; a UTF-8 mark is no mark
    // here: its bytes are text of the thread's code page (UTF-8 in this program).
    const std::pair<mv::ByteBuffer, std::u16string> rows[] = {
        {bytes({0xFF, 0xFE, 0x41, 0x00, 0x42}), u"A"},
        {bytes({0xFE, 0xFF, 0x30, 0x42, 0x00}), u"\u3042"},
        {bytes({0xEF, 0xBB, 0xBF, 0x41}), u"\uFEFFA"},
    };
    for (const auto& [in, text] : rows) {
        std::u16string out = u"old";
        mv::bytesToWString(in.data(), in.size(), out);
        EXPECT_EQ(out, text);
    }
}

// The old parser's leniency with a page's hex text: "0X" is read as a pair of value 0, a
// separator shifts the pairing, an odd last character is dropped; a pair is read as strtoul reads
// it, so a second character that is no digit leaves the first digit's value, a minus negates and
// leading white space is skipped. (The "0x" prefix and the upper-case output are checked where a
// signer takes a hash and gives a certificate.)
TEST(Hex, hexToBytes_readsPairsLeniently) {
    EXPECT_EQ(mv::hexToBytes("0X0:aBC"), bytes({0x00, 0x00, 0xAB}));
    EXPECT_EQ(mv::hexToBytes("A:-1 F\tbg0"), bytes({0x0A, 0xFF, 0x0F, 0x0B, 0x00}));
}

}  // namespace
