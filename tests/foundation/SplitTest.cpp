#include <gtest/gtest.h>

#include "foundation/Split.h"

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitTokens, table) {
    // Why, the text, the list after it (it holds "old" before).
    const std::tuple<const char*, const char*, Tokens> rows[] = {
        {"white space is dropped wherever it stands", "a, b\tc ,d", {"a", "bc", "d"}},
        {"so are line ends, VT and FF", "\r\na,\vb\fc\r\n", {"a", "bc"}},
        {"empty tokens between and after commas", "a,,b, ", {"a", "", "b", ""}},
        {"high bytes are never white space", "\xE3\x81\x82,\xA0", {"\xE3\x81\x82", "\xA0"}},
        {"only a blank empties the list", " ", {}},
        {"empty text leaves the list untouched", "", {"old"}},
        {"no text leaves the list untouched", nullptr, {"old"}},
    };
    for (const auto& [why, text, tokens] : rows) {
        Tokens out{"old"};
        mv::splitTokens(text, out);
        EXPECT_EQ(out, tokens) << why;
    }
}

TEST(SplitLinesW, controlCharacterRunsSeparateWithoutEmptyTokens) {
    std::u16string text = u"\r\nJPKI Provider\r\n\r\nOther CSP\t\x85last\r\n";
    std::vector<std::u16string> out{u"old"};
    EXPECT_EQ(mv::splitLinesW(text.data(), text.size(), out), 3);
    EXPECT_EQ(out, (std::vector<std::u16string>{u"JPKI Provider", u"Other CSP", u"last"}));
}

}  // namespace
