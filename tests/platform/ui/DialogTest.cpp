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

// The progress window is topmost, has no title bar and shows its status. Its "中断" button asks
// first: Cancel keeps the run going, and a later Escape asks again, where OK ends the process at
// once with exit code 1. (Its close at the end of a run is the program's own road.)
TEST_F(DialogTest, progressWindow_abortCancelledThenConfirmed_endsTheProcessWithExitCode1) {
    Child probe({UI_PROBE_PATH, "progress", "WSコマンド実行中"});
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(probe.readLine(), "status=WSコマンド実行中");
    EXPECT_TRUE(hasState(windows[0], "_NET_WM_STATE_ABOVE"));
    // Motif hints with the decorations flag set and no decoration: no title bar.
    std::string hints = run("xprop -id " + windows[0] + " _MOTIF_WM_HINTS");
    EXPECT_NE(hints.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x2, 0x0, 0x0"), std::string::npos)
        << hints;
    screenshot("progress-window");
    // "中断" sits in the middle of the window's lower part.
    std::string geometry = run("xdotool getwindowgeometry --shell " + windows[0]);
    int width = 0, height = 0;
    std::sscanf(geometry.substr(geometry.find("WIDTH=")).c_str(), "WIDTH=%d\nHEIGHT=%d", &width,
                &height);
    ASSERT_GT(height, 0);
    run("xdotool mousemove --window " + windows[0] + " " + std::to_string(width / 2) + " " +
        std::to_string(height - 24) + " click 1");
    std::string confirm = secondWindow(PROGRESS_TITLE, windows[0]);
    ASSERT_FALSE(confirm.empty()) << "the button must ask for confirmation";
    pressKey(confirm, "Escape");  // Escape is キャンセル
    EXPECT_EQ(probe.exitCode(500ms), -1) << "a cancelled abort must not end the process";
    EXPECT_EQ(windowsNamed(PROGRESS_TITLE).size(), 1u);

    pressKey(windows[0], "Escape");
    confirm = secondWindow(PROGRESS_TITLE, windows[0]);
    ASSERT_FALSE(confirm.empty()) << "Escape must ask for confirmation";
    EXPECT_TRUE(hasState(confirm, "_NET_WM_STATE_ABOVE"));
    screenshot("confirm-dialog");
    pressKey(confirm, "Return");  // OK is the default button
    EXPECT_EQ(probe.exitCode(), 1);
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
