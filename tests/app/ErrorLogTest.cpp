#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/CmdRunner.h"
#include "foundation/ErrorLog.h"
#include "foundation/Text.h"

namespace {

namespace fs = std::filesystem;

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The log's warning must go to standard error, not to a dialog on the tester's screen.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        char dirTemplate[] = "/tmp/mvlog.XXXXXX";
        dir = mkdtemp(dirTemplate);
        logFile = dir + "/QuarnelCmd-error.log";
        logPath = mv::utf8ToWString(logFile.data(), logFile.size());
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string contents() const {
        std::ifstream in(logFile, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The log lines without their time stamps.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::string all = contents();
        std::regex line(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d) ([^\r\n]*)\r\n)");
        for (auto it = std::sregex_iterator(all.begin(), all.end(), line);
             it != std::sregex_iterator(); ++it) {
            out.push_back((*it)[2]);
        }
        return out;
    }

    std::string dir, logFile;
    std::u16string logPath;
};

TEST_F(ErrorLogTest, twoRunsWithoutAppend_keepOnlyTheSecond_withAppendKeepBoth) {
    for (int appendRun = 0; appendRun < 2; ++appendRun) {
        mv::CmdRunner run;
        run.logPath = logPath;
        run.logAppend = appendRun;
        run.writeLog(appendRun ? u"second" : u"first", u"t");
        run.writeLog(u"more", u"t");
    }
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"t / first", "t / more", "t / second", "t / more"}));
    mv::CmdRunner third;
    third.logPath = logPath;
    third.writeLog(u"third", u"t");
    EXPECT_EQ(lines(), (std::vector<std::string>{"t / third"}));
}

TEST_F(ErrorLogTest, logError_formatsCodeAndNullTextAndNullTag) {
    mv::CmdRunner run;
    run.logPath = logPath;
    run.logError(-60, u"WebSocket connection error.", u"ws-open");
    run.logError(0, nullptr, u"x");
    run.writeLog(u"no tag", nullptr);
    EXPECT_EQ(lines(), (std::vector<std::string>{"ws-open / error(-60) WebSocket connection error.",
                                                 "x / error(0) ", " / no tag"}));
}

TEST_F(ErrorLogTest, embeddedCrLf_becomesCrCrLf) {
    ASSERT_EQ(mv::writeLogFile(logPath.c_str(), u"a\r\nb", u"tag", false), 0);
    std::string all = contents();
    EXPECT_NE(all.find("tag / a\r\r\nb\r\n"), std::string::npos);
    EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
    EXPECT_EQ(all.find("\r\n\r\n"), std::string::npos);
}

TEST_F(ErrorLogTest, firstLineFails_laterLinesAppendOnceWritable) {
    std::string sub = dir + "/later";
    std::string subLog = sub + "/log";
    mv::CmdRunner run;
    run.logPath = mv::utf8ToWString(subLog.data(), subLog.size());
    ::testing::internal::CaptureStderr();
    run.writeLog(u"lost", u"a");  // the directory does not exist yet
    std::ofstream(sub + "-marker").close();
    fs::create_directory(sub);
    std::ofstream(subLog) << "kept\r\n";
    run.writeLog(u"second", u"b");
    std::string warnings = ::testing::internal::GetCapturedStderr();
    std::ifstream in(subLog, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str().rfind("kept\r\n", 0), 0u) << "a later line must not truncate";
    EXPECT_NE(s.str().find("b / second\r\n"), std::string::npos);
    // One warning, for the first line only, naming the path.
    EXPECT_NE(warnings.find("Warning: Log Write Error.\r\n" + subLog), std::string::npos);
    EXPECT_EQ(warnings.find("Warning", warnings.find("Warning") + 1), std::string::npos);
}

TEST_F(ErrorLogTest, symlinkAtLogPath_isRefusedAndTargetUntouched) {
    std::string target = dir + "/victim";
    std::ofstream(target) << "precious";
    fs::create_symlink(target, logFile);
    EXPECT_EQ(mv::writeLogFile(logPath.c_str(), u"x", u"t", false), -1);
    std::ifstream in(target);
    std::string victim;
    in >> victim;
    EXPECT_EQ(victim, "precious");
}

TEST_F(ErrorLogTest, newLogFile_isPrivateToTheUser) {
    ASSERT_EQ(mv::writeLogFile(logPath.c_str(), u"x", u"t", false), 0);
    struct stat st {};
    ASSERT_EQ(stat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ErrorLogTest, cp932Thread_writesCp932AndReplacesTheRest) {
    std::thread([this] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        ASSERT_EQ(mv::writeLogFile(logPath.c_str(), u"署名\U0001F600", u"t", false), 0);
    }).join();
    EXPECT_NE(contents().find("t / \x8f\x90\x96\xbc?\r\n"), std::string::npos);
}

}  // namespace
