#include <gtest/gtest.h>

#include "foundation/Base64.h"
#include "support/TestSupport.h"

namespace {

using mv::test::base64Of;
using mv::test::textOf;

TEST(Base64, encode_partialGroupsPadAndEmptyInputGivesNull) {
    EXPECT_EQ(base64Of("M"), "TQ==");
    EXPECT_EQ(base64Of("Ma"), "TWE=");
    EXPECT_EQ(base64Of(std::string("\xFF\xFE\x00", 3)), "//4A");
    std::string out = "x";
    EXPECT_EQ(mv::base64EncodeVec({}, out), nullptr);
    EXPECT_EQ(out, "");
    std::vector<char> text;
    EXPECT_FALSE(mv::base64Encode(nullptr, 0, text));
    EXPECT_EQ(text, std::vector<char>{'\0'});
}

TEST(Base64, decode_table) {
    struct Row {
        const char* text;
        std::string bytes;
        const char* why;
    } rows[] = {
        {"TWE=", "Ma", "one pad"},
        {"TWE", "Ma", "missing pad is supplied"},
        {"TQ", "M", "missing two pads"},
        {"TWFuT", "Man", "lone trailing character yields nothing"},
        {"TW\r\nFu", "Man", "line breaks are skipped"},
        {"T-W_F u", "Man", "characters outside the alphabet are skipped"},
        {"TWE=TWFu", "Ma", "decoding stops at the first padded group"},
        {"TQ==TWFu", "M", "stops after double padding too"},
        {"TWFuT=Fu", "Man", "'=' followed by data makes a malformed group"},
        {"====", "", "four pads give no byte"},
        {"", "", "empty"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(textOf(mv::base64DecodeToVec(row.text)), row.bytes) << row.why;
    }
    EXPECT_TRUE(mv::base64DecodeToVec(nullptr).empty());
    unsigned char out[3] = {1, 2, 3};
    EXPECT_EQ(mv::base64DecodeQuad("T=Fu", out), 0);
    EXPECT_EQ(out[0], 1) << "a malformed group writes nothing";
}

}  // namespace
