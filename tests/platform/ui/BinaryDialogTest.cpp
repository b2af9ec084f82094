// The program itself under a real X server: the dialogs of its two roads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "UiTestSupport.h"

namespace {

using namespace uitest;
using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class BinaryDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through xvfb-run (see CMakeLists.txt)";
        char dirTemplate[] = "/tmp/mvui.XXXXXX";
        dir = mkdtemp(dirTemplate);
        env = {"HOME=" + dir, "TMPDIR=" + dir, "XDG_DATA_HOME=" + dir + "/data",
               "XDG_CONFIG_HOME=" + dir + "/config"};
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<std::string> withoutDisplay() const {
        std::vector<std::string> e = env;
        e.insert(e.begin(), {"DISPLAY=", "WAYLAND_DISPLAY="});
        return e;
    }
    std::string desktopEntry() const { return dir + "/data/applications/quarnel01.desktop"; }

    std::string dir;
    std::vector<std::string> env;
};

TEST_F(BinaryDialogTest, showCommandLineFlag_showsItOverTheProgressWindowThenRunsOn) {
    Child program({QUARNELCMD_PATH, "quarnel01:S,8080,0,4096,,,\r\nsecond", "line"}, env);
    // The progress window and, above it, the message with the command line.
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE, 2);
    ASSERT_EQ(windows.size(), 2u);
    screenshot("launch-command-line");
    std::string message;
    for (const std::string& w : windows) {
        if (run("xprop -id " + w + " _NET_WM_STATE").find("MODAL") != std::string::npos) {
            message = w;
        }
    }
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(program.exitCode(300ms), -1) << "the run waits for the user";
    pressKey(message, "Return");
    EXPECT_EQ(program.exitCode(), 0);
    std::string log = readFile(dir + "/QuarnelCmd-error.log");
    // With a time-out of 0 no page can connect: the run is logged and ends after the OK.
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(\S+ cmd-start / cmd execute start\.\r\n)"
                        R"(\S+ ws-open / error\(-60\) WebSocket connection error\.\r\n)"
                        R"(\S+ ws-open / [^\r\n]+ \(-40\d\)\r\n)"
                        R"(\S+ cmd-end / cmd execute end\.\r\n)")))
        << log;
}

TEST_F(BinaryDialogTest, registrationStatus_isAMessageBoxThatOkCloses) {
    Child program({QUARNELCMD_PATH}, env);
    std::vector<std::string> windows = windowsNamed("署名コマンド");
    ASSERT_EQ(windows.size(), 1u);
    screenshot("registration-status");
    pressKey(windows[0], "Return");
    EXPECT_EQ(program.exitCode(), 0);
}

TEST_F(BinaryDialogTest, registOverExistingRegistration_asksAndKeepsItOnCancel) {
    Child setup({QUARNELCMD_PATH, "regist"}, withoutDisplay());
    ASSERT_EQ(setup.exitCode(), 0);
    ASSERT_TRUE(fs::exists(desktopEntry()));
    // Mark the entry, to see whether it is written again.
    std::ofstream(desktopEntry(), std::ios::app) << "X-Marker=1\n";

    {
        Child program({QUARNELCMD_PATH, "regist"}, env);
        std::vector<std::string> windows = windowsNamed("署名コマンド");
        ASSERT_EQ(windows.size(), 1u);
        screenshot("overwrite-question");
        pressKey(windows[0], "Escape");
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_NE(readFile(desktopEntry()).find("X-Marker=1"), std::string::npos);
    }
    {
        Child program({QUARNELCMD_PATH, "regist"}, env);
        std::vector<std::string> windows = windowsNamed("署名コマンド");
        ASSERT_EQ(windows.size(), 1u);
        pressKey(windows[0], "Return");
        // The second instance reports the new registration in a box of its own.
        std::vector<std::string> report;
        for (int i = 0; i < 100 && (report.empty() || report[0] == windows[0]); ++i) {
            report = windowsNamed("署名コマンド");
        }
        ASSERT_EQ(report.size(), 1u);
        ASSERT_NE(report[0], windows[0]);
        pressKey(report[0], "Return");
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_EQ(readFile(desktopEntry()).find("X-Marker=1"), std::string::npos);
    }
}

}  // namespace
