#include <gtest/gtest.h>

#include "foundation/Base64.h"
#include "support/TestSupport.h"

namespace {

using mv::test::textOf;

// Expected texts are those of coreutils' base64.
TEST(Base64, encode_padsPartialGroups) {
    EXPECT_EQ(mv::test::base64Of("M"), "TQ==");
    EXPECT_EQ(mv::test::base64Of(std::string("\xFF\xFE\x00", 3)), "//4A");
    std::string out = "x";
    EXPECT_EQ(mv::base64EncodeVec({}, out), nullptr);
    EXPECT_EQ(out, "");
}

TEST(Base64, decode_table) {
    struct Row {
        const char* text;
        std::string bytes;
        const char* why;
    } rows[] = {
        {"TWE=", "Ma", "one pad"},
        {"TQ", "M", "missing pads are supplied"},
        {"TWFuT", "Man", "lone trailing character yields nothing"},
        {"T-W\r\n_F u", "Man", "characters outside the alphabet are skipped"},
        {"TWE=TWFu", "Ma", "decoding stops at the first padded group"},
        {"TWFuT=Fu", "Man", "'=' followed by data makes a malformed group"},
        {"", "", "empty"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(textOf(mv::base64DecodeToVec(row.text)), row.bytes) << row.why;
    }
    EXPECT_TRUE(mv::base64DecodeToVec(nullptr).empty());
}

}  // namespace
