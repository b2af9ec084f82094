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
        {"a,b", {"a", "b"}, "plain"},
        {"a, b ,c", {"a", "b", "c"}, "blanks around commas are dropped"},
        {"a b\tc", {"abc"}, "white space inside a token closes up"},
        {"a,,b", {"a", "", "b"}, "empty token between commas"},
        {"a,", {"a", ""}, "trailing comma adds an empty token"},
        {",a", {"", "a"}, "leading comma"},
        {",", {"", ""}, "lone comma"},
        {"a, ", {"a", ""}, "trailing comma followed by a blank"},
        {"\xE3\x81\x82,\xA0", {"\xE3\x81\x82", "\xA0"}, "high bytes are never white space"},
    };
    for (const Row& row : rows) {
        Tokens out{"old"};
        EXPECT_EQ(mv::splitTokens(row.text, out), static_cast<int>(row.tokens.size())) << row.why;
        EXPECT_EQ(out, row.tokens) << row.why;
    }
}

TEST(SplitTokens, emptyOrBlankText_distinguishesUntouchedFromEmptied) {
    Tokens out{"old"};
    EXPECT_EQ(mv::splitTokens("", out), 0);
    EXPECT_EQ(out, Tokens{"old"});
    EXPECT_EQ(mv::splitTokens(nullptr, out), 0);
    EXPECT_EQ(out, Tokens{"old"});
    EXPECT_EQ(mv::splitTokens(" ", out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(SplitLinesW, controlCharacterRuns_separateWithoutEmptyTokens) {
    std::u16string text = u"\r\nJPKI Provider\r\n\r\nOther CSP\t\x85last\r\n";
    std::vector<std::u16string> out{u"old"};
    EXPECT_EQ(mv::splitLinesW(text.data(), text.size(), out), 3);
    EXPECT_EQ(out, (std::vector<std::u16string>{u"JPKI Provider", u"Other CSP", u"last"}));

    std::u16string one = u"a b  c";
    EXPECT_EQ(mv::splitLinesW(one.data(), one.size(), out), 1);
    EXPECT_EQ(out[0], u"a b  c");

    EXPECT_EQ(mv::splitLinesW(nullptr, 5, out), 0);
    EXPECT_TRUE(out.empty());
}

}  // namespace
