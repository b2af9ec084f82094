#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "app/CmdRunner.h"
#include "foundation/ErrorLog.h"
#include "foundation/Text.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::u16string wide(const std::string& text) {
    return mv::utf8ToWString(text.data(), text.size());
}

class ErrorLogTest : public ::testing::Test {
protected:
    mv::test::TempHome dir;  // no display: the log's warning goes to standard error
    std::string logFile = dir.file("QuarnelCmd-error.log");
    std::u16string logPath = wide(logFile);
    Lines lines() const { return mv::test::logLines(logFile, true); }
};

TEST_F(ErrorLogTest, fileForm_privateCrLfAndCp932) {
    ASSERT_EQ(mv::writeLogFile(logPath.c_str(), u"a\r\nb", u"tag", false), 0);
    struct stat st {};
    ASSERT_EQ(stat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::thread([this] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        ASSERT_EQ(mv::writeLogFile(logPath.c_str(), u"署名\U0001F600", u"t", true), 0);
    }).join();
    // An embedded CR LF becomes CR CR LF: it cannot end the line early.
    std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d )");
    EXPECT_EQ(std::regex_replace(mv::test::readText(logFile), stamp, ""),
              "tag / a\r\r\nb\r\nt / \x8f\x90\x96\xbc?\r\n");
}

TEST_F(ErrorLogTest, firstLineFails_laterLinesAppendOnceWritableWithOneWarning) {
    std::string subLog = dir.file("later/log");
    mv::CmdRunner run;
    run.logPath = wide(subLog);
    ::testing::internal::CaptureStderr();
    run.writeLog(u"lost", u"a");  // the directory does not exist yet
    fs::create_directory(dir.file("later"));
    std::ofstream(subLog) << "kept\r\n";
    run.writeLog(u"second", u"b");
    std::string warnings = ::testing::internal::GetCapturedStderr();
    std::string log = mv::test::readText(subLog);
    EXPECT_EQ(log.rfind("kept\r\n", 0), 0u) << "a later line must not truncate";
    EXPECT_NE(log.find("b / second\r\n"), std::string::npos);
    EXPECT_NE(warnings.find("Warning: Log Write Error.\r\n" + subLog), std::string::npos);
    EXPECT_EQ(warnings.find("Warning", warnings.find("Warning") + 1), std::string::npos);
}

// (Other hostile log places are launched against the program in QuarnelCmdTest.)
TEST_F(ErrorLogTest, readerlessFifoAtLogPath_isRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(mv::writeLogFile(wide(dir.file("fifo")).c_str(), u"x", u"t", true), -1);
}

}  // namespace
