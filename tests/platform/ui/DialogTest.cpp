// The dialogs under a real X server (the ctest command wraps this program in xvfb-run), driven
// with xdotool the way a user drives them. Every dialog leaves a screenshot in SCREENSHOT_DIR.
#include <gtest/gtest.h>

#include "UiTestSupport.h"

namespace {

using namespace uitest;

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through xvfb-run (see CMakeLists.txt)";
        ASSERT_TRUE(windowIds(".+").empty()) << "a window left over from an earlier case";
    }
};

// The status line shows what the run sets. (Its abort is driven through the program itself.)
TEST_F(DialogTest, progressWindow_showsTheStatusSet) {
    Child probe({UI_PROBE_PATH, "progress", "WSコマンド実行中"});
    ASSERT_EQ(windowsNamed(PROGRESS_TITLE).size(), 1u);
    EXPECT_EQ(probe.readLine(), "status=WSコマンド実行中");
}

TEST_F(DialogTest, messageDialog_showsCrLfTextOnSeveralLines) {
    std::string longText;
    for (int i = 1; i <= 40; ++i) {
        longText += "line " + std::to_string(i) + "\\r\\n";
    }
    // Text, caption given, window title, what the dialog shows, key.
    const std::tuple<std::string, const char*, const char*, const char*, const char*> rows[] = {
        {"一行目\\r\\n二行目\\r\\nthird line", "QuarnelCmd", "QuarnelCmd",
         "lines=3 scrolls=0 cr=0 editable=0", "Return"},
        {longText, nullptr, "署名コマンド", "lines=41 scrolls=1 cr=0 editable=0", "Escape"},
    };
    for (const auto& [text, caption, title, shown, key] : rows) {
        Child probe(caption ? std::vector<std::string>{UI_PROBE_PATH, "message", text, caption}
                            : std::vector<std::string>{UI_PROBE_PATH, "message", text});
        std::vector<std::string> windows = windowsNamed(title);
        ASSERT_EQ(windows.size(), 1u) << title;
        EXPECT_EQ(probe.readLine(), shown);
        screenshot(std::string("message-dialog-") + key);
        pressKey(windows[0], key);
        EXPECT_EQ(probe.readLine(), "closed");
        EXPECT_EQ(probe.exitCode(), 0);
    }
}

}  // namespace
