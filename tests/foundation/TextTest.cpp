#include <gtest/gtest.h>

#include <thread>

#include "foundation/Text.h"

namespace {

// Runs `body` on a thread of its own whose ANSI code page is `codePage`, as a Japanese system's
// threads would be.
template <typename Body>
void onThreadWithCodePage(const char* codePage, Body body) {
    std::thread([&] {
        ASSERT_TRUE(mv::setThreadCodePage(codePage));
        body();
    }).join();
}

mv::ByteBuffer bytes(std::initializer_list<int> values) {
    mv::ByteBuffer b;
    for (int v : values) b.push_back(static_cast<unsigned char>(v));
    return b;
}

TEST(Utf8, roundTrip_keepsCharactersOutsideCp932AndSurrogatePairs) {
    const char16_t* text = u"署名 \u00e9\u20ac \U0001F600 \u0444";
    std::string utf8 = mv::toUtf8String(text);
    EXPECT_EQ(utf8, "署名 é€ 😀 ф");
    EXPECT_EQ(mv::utf8ToWString(utf8.data(), utf8.size()), text);
}

TEST(Utf8, invalidInput_becomesReplacementCharacter) {
    std::string bad = "a\xC3(b\xED\xA0\x80z\xF0\x9F";
    EXPECT_EQ(mv::utf8ToWString(bad.data(), bad.size()), u"a\uFFFD(b\uFFFD\uFFFD\uFFFDz\uFFFD");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(mv::toUtf8String(lone), "x\xEF\xBF\xBDy");
}

TEST(Utf8, embeddedNulWithExplicitLength_isKept) {
    const char data[] = {'a', '\0', 'b'};
    EXPECT_EQ(mv::utf8ToWString(data, 3), std::u16string(u"a\0b", 3));
}

TEST(Utf8, emptyInputs_giveEmptyResultsAndNullPointers) {
    EXPECT_EQ(mv::toUtf8String(nullptr), "");
    EXPECT_TRUE(mv::toUtf8Bytes(u"").empty());
    std::string out = "kept";
    EXPECT_EQ(mv::toUtf8CString(u"", out), nullptr);
    EXPECT_EQ(out, "kept");
    EXPECT_STREQ(mv::toUtf8CString(u"ok", out), "ok");
    EXPECT_EQ(mv::utf8ToWString(nullptr, 4), u"");
    EXPECT_EQ(mv::utf8ToWString("abc", 0), u"");
}

TEST(Ansi, cp932_convertsJapaneseAndReplacesWhatItCannotHold) {
    onThreadWithCodePage("CP932", [] {
        std::string out;
        mv::toAnsiString(u"署名\u00e9\U0001F600x", out);
        EXPECT_EQ(out, "\x8f\x90\x96\xbc??x");
        std::u16string back;
        mv::ansiToWString("\x8f\x90\x96\xbc", back);
        EXPECT_EQ(back, u"署名");
        EXPECT_EQ(mv::ansiToUtf8Bytes("\x8f\x90\x96\xbc"), bytes({0xE7, 0xBD, 0xB2, 0xE5, 0x90, 0x8D}));
        std::string ansi = "kept";
        EXPECT_STREQ(mv::utf8ToAnsi("\xE7\xBD\xB2", 3, ansi), "\x8f\x90");
        EXPECT_EQ(mv::utf8ToAnsi("abc", 0, ansi), nullptr);
        EXPECT_EQ(ansi, "");
    });
}

TEST(Ansi, invalidCp932Bytes_doNotStopTheConversion) {
    onThreadWithCodePage("CP932", [] {
        std::u16string out;
        mv::ansiToWString("a\x81", out);  // a lead byte with no trail byte
        EXPECT_EQ(out, u"a\uFFFD");
    });
}

TEST(Ansi, nullInputs_leaveOutputUntouched) {
    std::string narrow = "kept";
    std::u16string wide = u"kept";
    EXPECT_EQ(mv::toAnsiString(nullptr, narrow), nullptr);
    EXPECT_EQ(mv::ansiToWString(nullptr, wide), nullptr);
    EXPECT_EQ(narrow, "kept");
    EXPECT_EQ(wide, u"kept");
}

TEST(Ansi, unknownCodePage_isRefusedAndOldOneKept) {
    onThreadWithCodePage("CP932", [] {
        EXPECT_FALSE(mv::setThreadCodePage("NO-SUCH-CODEPAGE"));
        EXPECT_EQ(mv::threadCodePage(), "CP932");
    });
}

TEST(BytesToWString, byteOrderMarks) {
    struct Row {
        mv::ByteBuffer in;
        std::u16string out;
        const char* why;
    } rows[] = {
        {bytes({0xFF, 0xFE, 0x41, 0x00, 0x42}), u"A", "little-endian; odd last byte dropped"},
        {bytes({0xFE, 0xFF, 0x00, 0x41}), u"A", "big-endian"},
        {bytes({0xFE, 0xFF, 0x30, 0x42, 0x00}), u"\u3042", "big-endian; odd last byte dropped"},
        {bytes({0xFF, 0xFE}), u"", "only the mark"},
        {bytes({0x41, 0x42, 0x00, 0x43}), u"AB", "ANSI up to the first NUL"},
        {bytes({0x5A}), u"Z", "single byte is ANSI"},
    };
    for (const Row& row : rows) {
        std::u16string out = u"old";
        EXPECT_NE(mv::bytesToWString(row.in.data(), row.in.size(), out), nullptr) << row.why;
        EXPECT_EQ(out, row.out) << row.why;
    }
    std::u16string out = u"old";
    EXPECT_EQ(mv::bytesToWString(nullptr, 3, out), nullptr);
    EXPECT_EQ(out, u"");
}

TEST(BytesToWString, utf8MarkIsNotRecognised_cp932ShowsItsBytes) {
    onThreadWithCodePage("CP932", [] {
        mv::ByteBuffer in = bytes({0xEF, 0xBB, 0xBF, 'h', 'i'});
        std::u16string out;
        mv::bytesToWString(in.data(), in.size(), out);
        // The mark's bytes stay in front as CP932 characters: BB and BF are half-width katakana.
        ASSERT_GE(out.size(), 4u);
        EXPECT_EQ(out.substr(out.size() - 4), u"\uFF7B\uFF7Fhi");
    });
}

TEST(SwapBytePairs, oddLastByteIsCopied) {
    mv::ByteBuffer out;
    mv::ByteBuffer in = bytes({1, 2, 3});
    ASSERT_TRUE(mv::swapBytePairs(in.data(), in.size(), out));
    EXPECT_EQ(out, bytes({2, 1, 3}));
    EXPECT_FALSE(mv::swapBytePairs(in.data(), 0, out));
}

TEST(Hex, bytesToHex_upperCaseTwoDigitsEach) {
    std::string out = "kept";
    EXPECT_STREQ(mv::bytesToHex(bytes({0x00, 0x0A, 0xFF}), out), "000AFF");
    std::string untouched = "kept";
    EXPECT_EQ(mv::bytesToHex({}, untouched), nullptr);
    EXPECT_EQ(untouched, "kept");
    std::u16string wide = u"kept";
    EXPECT_STREQ(reinterpret_cast<const char*>(mv::toUtf8String(
                     mv::bytesToHexW(bytes({0xAB}).data(), 1, wide)).c_str()), "AB");
    EXPECT_EQ(mv::bytesToHexW(nullptr, 1, wide), nullptr);
}

TEST(Hex, hexToBytes_table) {
    struct Row {
        const char* text;
        mv::ByteBuffer out;
        const char* why;
    } rows[] = {
        {"0aFF", bytes({0x0A, 0xFF}), "mixed case"},
        {"0x0aff", bytes({0x0A, 0xFF}), "lower-case 0x prefix is skipped"},
        {"0X0aff", bytes({0x00, 0x0A, 0xFF}), "0X is read as the pair 0X, value 0"},
        {"ABC", bytes({0xAB}), "odd last character dropped"},
        {"A:BC", bytes({0x0A, 0xBC}), "a separator shifts the pairing"},
        {"-1", bytes({0xFF}), "a sign negates, low 8 bits kept"},
        {" F", bytes({0x0F}), "leading white space accepted"},
        {"G1", bytes({0x00}), "no digit first gives 0"},
        {"", {}, "empty"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mv::hexToBytes(row.text), row.out) << row.why;
    }
    EXPECT_EQ(mv::hexToBytesW(u"0x30AB0F"), bytes({0x30, 0xAB, 0x0F}));
    EXPECT_TRUE(mv::hexToBytesW(nullptr).empty());
}

}  // namespace
