// The program itself under a real X server: the dialogs of its two roads.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <regex>

#include "UiTestSupport.h"

namespace {

using namespace uitest;
using mv::test::readText;

// The program started as a user starts it, ended by `timeout` if it waits for ever; its exit code.
std::future<int> start(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), {"timeout", "60", QUARNELCMD_PATH});
    return std::async(std::launch::async, [=] { return mv::test::launch(args, env).exitCode; });
}

class BinaryDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
    }
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    mv::test::TempHome temp;
    mv::test::ScopedEnv keepDisplay{"DISPLAY", display};  // the program and the X tools use it
    const std::string dir = temp.home;
    const std::string entry = dir + "/.local/share/applications/quarnel01.desktop";
};

TEST_F(BinaryDialogTest, showCommandLineFlag_showsItOverTheProgressWindowThenRunsOn) {
    std::future<int> program = start({"quarnel01:S,8080,0,4096,,,\r\nsecond", "line"});
    // The progress window and, above it, the message with the command line.
    std::vector<std::string> windows = windowsNamed(PROGRESS_TITLE, 2);
    ASSERT_EQ(windows.size(), 2u);
    screenshot("launch-command-line");
    const std::string message = hasState(windows[0], "MODAL") ? windows[0] : windows[1];
    ASSERT_TRUE(hasState(message, "MODAL"));
    EXPECT_EQ(program.wait_for(300ms), std::future_status::timeout) << "the run waits for the user";
    pressKey(message, "Return");
    EXPECT_EQ(program.get(), 0);
    // With a time-out of 0 no page can connect: the run is logged and ends after the OK.
    const std::string log = readText(dir + "/QuarnelCmd-error.log");
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(\S+ cmd-start / cmd execute start\.\r\n)"
                        R"(\S+ ws-open / error\(-60\) WebSocket connection error\.\r\n)"
                        R"(\S+ ws-open / [^\r\n]+ \(-40\d\)\r\n)"
                        R"(\S+ cmd-end / cmd execute end\.\r\n)")))
        << log;
}

// The registration state is a message box; "regist" over an existing registration asks first,
// keeps it on Cancel, and on OK writes it again and reports that in a box of its own.
TEST_F(BinaryDialogTest, registrationBoxes_statusAndOverwriteQuestion) {
    {
        std::future<int> program = start({});
        std::vector<std::string> windows = windowsNamed("署名コマンド");
        ASSERT_EQ(windows.size(), 1u);
        screenshot("registration-status");
        pressKey(windows[0], "Return");
        EXPECT_EQ(program.get(), 0);
    }
    ASSERT_EQ(start({"regist"}, {"DISPLAY="}).get(), 0);
    std::ofstream(entry, std::ios::app) << "X-Marker=1\n";  // shows whether it is written again

    for (const char* key : {"Escape", "Return"}) {
        std::future<int> program = start({"regist"});
        std::vector<std::string> windows = windowsNamed("署名コマンド");
        ASSERT_EQ(windows.size(), 1u);
        screenshot(std::string("overwrite-question-") + key);
        pressKey(windows[0], key);
        if (key == std::string("Return")) {
            std::vector<std::string> report;
            for (int i = 0; i < 100 && (report.empty() || report[0] == windows[0]); ++i) {
                report = windowsNamed("署名コマンド");
            }
            ASSERT_EQ(report.size(), 1u);
            ASSERT_NE(report[0], windows[0]);
            pressKey(report[0], "Return");
        }
        EXPECT_EQ(program.get(), 0);
        EXPECT_EQ(readText(entry).find("X-Marker=1") != std::string::npos,
                  key == std::string("Escape"));
    }
}

}  // namespace
