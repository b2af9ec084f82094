#include <gtest/gtest.h>

#include "foundation/Base64.h"
#include "support/TestSupport.h"

namespace {

// The decoder's leniency with what a page sends. (Encoding is checked wherever a reply, a
// WebSocket accept key or a signature value is read back.)
TEST(Base64, decode_table) {
    struct Row {
        const char* text;
        std::string bytes;
        const char* why;
    } rows[] = {
        {"TQ", "M", "missing pads are supplied"},
        {"TWFuT", "Man", "lone trailing character yields nothing"},
        {"T-W\r\n_F u", "Man", "characters outside the alphabet are skipped"},
        {"TW\xE3\x81\x82" "F\xFF" "u", "Man", "so are bytes of 0x80 and above"},
        {"TWE=TWFu", "Ma", "decoding stops at the first padded group"},
        {"TWFuT=Fu", "Man", "'=' followed by data makes a malformed group"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mv::test::textOf(mv::base64DecodeToVec(row.text)), row.bytes) << row.why;
    }
}

}  // namespace
