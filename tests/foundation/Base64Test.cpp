#include <gtest/gtest.h>

#include "foundation/Base64.h"

namespace {

std::string encode(const std::string& bytes) {
    std::string out = "untouched";
    const char* r = mv::base64EncodeStr(reinterpret_cast<const unsigned char*>(bytes.data()),
                                        bytes.size(), out);
    return r == nullptr ? "<null:" + out + ">" : out;
}

std::string decode(const char* text) {
    mv::ByteBuffer b = mv::base64DecodeToVec(text);
    return std::string(b.begin(), b.end());
}

TEST(Base64, encode_partialGroups_padWithOneOrTwoEquals) {
    EXPECT_EQ(encode("M"), "TQ==");
    EXPECT_EQ(encode("Ma"), "TWE=");
    EXPECT_EQ(encode("Man"), "TWFu");
    EXPECT_EQ(encode(std::string("\xFF\xFE\x00", 3)), "//4A");
    EXPECT_EQ(encode(""), "<null:>");
    std::string out = "x";
    EXPECT_EQ(mv::base64EncodeVec({}, out), nullptr);
    EXPECT_EQ(out, "");
}

TEST(Base64, encode_nullPointer_givesFalseAndEmptyText) {
    std::vector<char> out;
    EXPECT_FALSE(mv::base64Encode(nullptr, 0, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], '\0');
}

struct DecodeRow {
    const char* text;
    std::string bytes;
    const char* why;
};

TEST(Base64, decode_table) {
    const DecodeRow rows[] = {
        {"TWFu", "Man", "full group"},
        {"TWE=", "Ma", "one pad"},
        {"TWE", "Ma", "missing pad is supplied by the appended ===="},
        {"TQ", "M", "missing two pads"},
        {"TWFuT", "Man", "lone trailing character yields nothing"},
        {"TW\r\nFu", "Man", "line breaks are skipped"},
        {"T-W_F u", "Man", "characters outside the alphabet are skipped"},
        {"TWE=TWFu", "Ma", "decoding stops at the first padded group"},
        {"TQ==TWFu", "M", "stops after double padding too"},
        {"TWFuT=Fu", "Man", "'=' followed by data makes a malformed group"},
        {"====", "", "four pads give no byte"},
        {"!!!!", "", "nothing from the alphabet"},
        {"", "", "empty"},
    };
    for (const DecodeRow& row : rows) {
        EXPECT_EQ(decode(row.text), row.bytes) << row.why;
    }
    EXPECT_TRUE(mv::base64DecodeToVec(nullptr).empty());
    EXPECT_TRUE(mv::base64DecodeStr("").empty());
}

TEST(Base64, decode_76ColumnCrLfText_matchesUnbrokenText) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7));
    std::string text = encode(data);
    std::string broken;
    for (size_t i = 0; i < text.size(); i += 76) broken += text.substr(i, 76) + "\r\n";
    EXPECT_EQ(decode(broken.c_str()), data);
}

TEST(Base64, decodeQuad_malformedGroup_writesNothing) {
    unsigned char out[3] = {1, 2, 3};
    EXPECT_EQ(mv::base64DecodeQuad("T=Fu", out), 0);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(mv::base64DecodeQuad("TWE=", out), 2);
    EXPECT_EQ(out[0], 'M');
    EXPECT_EQ(out[1], 'a');
}

}  // namespace
