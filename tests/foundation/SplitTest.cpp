#include <gtest/gtest.h>

#include "foundation/Split.h"

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitTokens, table) {
    struct Row {
        const char* text;
        Tokens tokens;
        const char* why;
    } rows[] = {
        {"a, b\tc ,d", {"a", "bc", "d"}, "white space is dropped wherever it stands"},
        {"a,,b, ", {"a", "", "b", ""}, "empty tokens between and after commas"},
        {"\xE3\x81\x82,\xA0", {"\xE3\x81\x82", "\xA0"}, "high bytes are never white space"},
        {" ", {}, "only a blank empties the list"},
        {"", {"old"}, "empty text leaves the list untouched"},
        {nullptr, {"old"}, "no text leaves the list untouched"},
    };
    for (const Row& row : rows) {
        Tokens out{"old"};
        int expected = row.tokens == Tokens{"old"} ? 0 : static_cast<int>(row.tokens.size());
        EXPECT_EQ(mv::splitTokens(row.text, out), expected) << row.why;
        EXPECT_EQ(out, row.tokens) << row.why;
    }
}

TEST(SplitLinesW, controlCharacterRunsSeparateWithoutEmptyTokens) {
    std::u16string text = u"\r\nJPKI Provider\r\n\r\nOther CSP\t\x85last\r\n";
    std::vector<std::u16string> out{u"old"};
    EXPECT_EQ(mv::splitLinesW(text.data(), text.size(), out), 3);
    EXPECT_EQ(out, (std::vector<std::u16string>{u"JPKI Provider", u"Other CSP", u"last"}));
}

}  // namespace
