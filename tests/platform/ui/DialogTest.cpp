// The dialogs under a real X server (the ctest command wraps this program in xvfb-run), driven
// with xdotool the way a user drives them. Every dialog leaves a screenshot in SCREENSHOT_DIR.
#include <gtest/gtest.h>

#include "UiTestSupport.h"

namespace {

using namespace uitest;
using namespace std::chrono_literals;

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through xvfb-run (see CMakeLists.txt)";
        // No window may be left over from an earlier case.
        ASSERT_TRUE(words(run("xdotool search --onlyvisible --name '.+' 2>/dev/null")).empty());
    }
};

TEST_F(DialogTest, progressWindow_isTopmostUndecoratedAndShowsItsStatus) {
    Child probe({UI_PROBE_PATH, "progress", "接続待ち..."});
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(probe.readLine(), "status=接続待ち...");
    std::string state = run("xprop -id " + windows[0] + " _NET_WM_STATE _MOTIF_WM_HINTS");
    EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
    // Motif hints with the decorations flag set and no decoration: no title bar.
    EXPECT_NE(state.find("_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x2, 0x0, 0x0"), std::string::npos)
        << state;
    screenshot("progress-window");
    probe.send("close");
    EXPECT_EQ(probe.readLine(), "closed");
    EXPECT_EQ(probe.exitCode(), 0);
}

TEST_F(DialogTest, escapeThenOk_endsTheProcessWithExitCode1) {
    Child probe({UI_PROBE_PATH, "progress", "WSコマンド実行中"});
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE);
    ASSERT_EQ(windows.size(), 1u);
    pressKey(windows[0], "Escape");
    std::vector<std::string> both = windowsNamed(PROGRESS_TITLE, 2);
    ASSERT_EQ(both.size(), 2u) << "Escape must ask for confirmation";
    std::string confirm = newWindow(both, windows[0]);
    EXPECT_NE(run("xprop -id " + confirm + " _NET_WM_STATE").find("_NET_WM_STATE_ABOVE"),
              std::string::npos);
    screenshot("confirm-dialog");
    pressKey(confirm, "Return");  // OK is the default button
    EXPECT_EQ(probe.exitCode(), 1);
}

TEST_F(DialogTest, abortButtonThenCancel_keepsTheRunGoing) {
    Child probe({UI_PROBE_PATH, "progress", "初期化中..."});
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE);
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_EQ(probe.readLine(), "status=初期化中...");
    // Click "中断": it sits in the middle of the window's lower part.
    std::string geometry = run("xdotool getwindowgeometry --shell " + windows[0]);
    int width = 0, height = 0;
    std::sscanf(geometry.substr(geometry.find("WIDTH=")).c_str(), "WIDTH=%d\nHEIGHT=%d", &width,
                &height);
    ASSERT_GT(height, 0);
    run("xdotool mousemove --window " + windows[0] + " " + std::to_string(width / 2) + " " +
        std::to_string(height - 24) + " click 1");
    std::vector<std::string> both = windowsNamed(PROGRESS_TITLE, 2);
    ASSERT_EQ(both.size(), 2u) << "the button must ask for confirmation";
    pressKey(newWindow(both, windows[0]), "Escape");  // Escape is キャンセル
    EXPECT_EQ(probe.exitCode(500ms), -1) << "a cancelled abort must not end the process";
    EXPECT_EQ(windowsNamed(PROGRESS_TITLE).size(), 1u);
    // A second abort request still works after a cancelled one.
    pressKey(windows[0], "Escape");
    both = windowsNamed(PROGRESS_TITLE, 2);
    ASSERT_EQ(both.size(), 2u);
    pressKey(newWindow(both, windows[0]), "Escape");
    EXPECT_EQ(probe.exitCode(300ms), -1);
    probe.send("close");
    EXPECT_EQ(probe.readLine(), "closed");
    EXPECT_EQ(probe.exitCode(), 0);
}

TEST_F(DialogTest, messageDialog_showsCrLfTextOnSeveralLines) {
    Child probe({UI_PROBE_PATH, "message", "一行目\\r\\n二行目\\r\\nthird line", "QuarnelCmd"});
    std::vector<std::string> windows = windowsNamed("QuarnelCmd");
    ASSERT_EQ(windows.size(), 1u) << "the caption is the window title";
    EXPECT_EQ(probe.readLine(), "lines=3 scrolls=0 cr=0 editable=0");
    screenshot("message-dialog");
    pressKey(windows[0], "Return");
    EXPECT_EQ(probe.readLine(), "closed");
    EXPECT_EQ(probe.exitCode(), 0);
}

TEST_F(DialogTest, messageDialog_longTextScrollsAndEscapeCloses) {
    std::string text;
    for (int i = 1; i <= 40; ++i) {
        text += "line " + std::to_string(i) + "\\r\\n";
    }
    Child probe({UI_PROBE_PATH, "message", text});
    std::vector<std::string> windows = windowsNamed("署名コマンド");  // the default caption
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(probe.readLine(), "lines=41 scrolls=1 cr=0 editable=0");
    pressKey(windows[0], "Escape");
    EXPECT_EQ(probe.readLine(), "closed");
    EXPECT_EQ(probe.exitCode(), 0);
}

}  // namespace
