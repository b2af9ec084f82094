// The runner's parts that the launched program cannot show apart: the launch text's fields, the
// result messages and the log's writing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>

#include "app/CmdRunner.h"
#include "foundation/ErrorLog.h"
#include "foundation/Text.h"
#include "signers/Fixtures.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using mv::test::base64Of;

// A log file's text without the lines' time stamps.
std::string unstamped(const std::string& file) {
    return std::regex_replace(mv::test::readText(file),
                              std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d )"), "");
}

// The result of parsing `text`, then the fields in token order and the runner's log settings
// (the log only where it differs from the default).
std::string parse(const std::string& text) {
    mv::CmdRunner runner;
    std::u16string defaultLog = runner.logPath;
    mv::CmdParams p;
    std::ostringstream out;
    out << runner.parseLaunchArgs(text.c_str(), p) << ' ' << p.port << ' ' << p.timeoutSec << ' '
        << p.flags << '|' << p.signerOptions << '|' << p.logPath << '|' << p.sid << '|' << p.url
        << '|' << p.certUrl << '|' << p.signUrl << '|' << p.certFlags << ' ' << p.signFlags << '|'
        << p.signCertHex << '|' << p.signAlg << ' ' << runner.logAppend << '|'
        << (runner.logPath == defaultLog ? "" : mv::toUtf8String(runner.logPath.c_str()));
    return out.str();
}

// The WebSocket form's log flags and the file form are launched in QuarnelCmdTest.
TEST(LaunchArgsTest, textTable_fieldsAndLogSettings) {
    mv::test::TempHome temp;
    const std::string log = temp.home + "/custom.log", log64 = base64Of(log);
    const struct {
        std::string text, parsed;
        const char* why;
    } rows[] = {
        {"Sxyz,1,2,3,YQ==,,Yg==", "1 1 2 3|a||b||||0 0||0 0|",
         "only the first character of token 0 counts"},
        {"S,-5,abc,12x,,,", "1 -5 0 12|||||||0 0||0 0|", "integers read as atoi does"},
        {"B,7," + base64Of("opt") + ",," + base64Of("sid1") + "," + base64Of("https://h/x") + "," +
             base64Of("/cert") + "," + base64Of("/sign") + ",4,5," + base64Of("0A0B") + ",10,end",
         "0 0 0 7|opt||sid1|https://h/x|/cert|/sign|4 5|0A0B|10 0|",
         "batch form, every field in token order"},
        {"s,0,,,,," + base64Of("/cert") + ",,0,0,,0,", "0 0 0 0|||||/cert|/cert|0 0||0 0|",
         "'s' is batch mode; an empty token 7 uploads to the certificate path"},
        {"B,24576,," + log64 + ",,,,,0,0,,0,", "0 0 0 24576||" + log + "|||||0 0||0 1|" + log,
         "log flags 0x4000 (append) and 0x2000 (the path from token 3 in batch mode)"},
        // Unusable texts.
        {" \t\r\n", "-10 0 0 0|||||||0 0||0 0|", "only white space"},
        {"s,8080,30,16384,,,", "-10 0 0 0|||||||0 0||0 0|", "lower-case s needs 13 tokens"},
        {",8080,30,16384,,,", "-10 0 0 0|||||||0 0||0 0|", "empty first token is batch mode"},
        {"B,16384,,,,,,,,,,", "-10 0 0 0|||||||0 0||0 0|", "12 tokens"},
        {"B,16384,,,,,,,,,,,,", "-10 0 0 0|||||||0 0||0 0|", "14 tokens"},
        {"F", "-10 0 0 0|||||||0 0||0 0|", "file form needs 2 tokens; alone it is a batch text"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parse(row.text), row.parsed) << row.why;
    }
    // Base64 texts are stored in the thread's code page, and so are the result messages.
    std::thread([] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        EXPECT_EQ(parse("S,1,1,0," + base64Of("署名") + ",,"),
                  "1 1 1 0|\x8f\x90\x96\xbc||||||0 0||0 0|");
        EXPECT_STREQ(mv::CmdRunner().getResultMessage(0), "\x90\xB3\x8F\xED\x8F\x49\x97\xB9(0)");
    }).join();
}

// The codes the launched program gives are checked there; these are the ranges' edges.
TEST(GetResultMessage, table_sparseRangesFallToDefault) {
    mv::CmdRunner runner;
    const std::pair<int, const char*> rows[] = {
        {0, "正常終了(0)"},
        {-157, "未署名のファイルだった(-157)"},
    };
    for (const auto& [code, text] : rows) {
        EXPECT_STREQ(runner.getResultMessage(code), text) << code;
    }
    for (int code : {-1, -19, -145, -158, -604, 2}) {
        EXPECT_EQ(runner.getResultMessage(code), "未定義エラー(" + std::to_string(code) + ")");
    }
    // A pointer kept from an earlier call reads the latest text, from the same live buffer.
    const char* kept = runner.getResultMessage(-157);
    runner.getResultMessage(-10);
    EXPECT_STREQ(kept, "引数エラー(-10)");
}

TEST(ErrorLogTest, fileForm_privateCrLfAndCp932_aFifoWithoutReaderRefusedWithoutBlocking) {
    mv::test::TempHome dir;
    std::string logFile = dir.file("QuarnelCmd-error.log");
    ASSERT_EQ(mv::writeLogFile(fixtures::u16(logFile).c_str(), u"a\r\nb", u"tag", false), 0);
    EXPECT_EQ(fs::status(logFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    std::thread([&] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        ASSERT_EQ(mv::writeLogFile(fixtures::u16(logFile).c_str(), u"署名\U0001F600", u"t", true),
                  0);
    }).join();
    // An embedded CR LF becomes CR CR LF: it cannot end the line early.
    EXPECT_EQ(unstamped(logFile), "tag / a\r\r\nb\r\nt / \x8f\x90\x96\xbc?\r\n");
    // (Other hostile log places are launched against the program in QuarnelCmdTest.)
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(mv::writeLogFile(fixtures::u16(dir.file("fifo")).c_str(), u"x", u"t", true), -1);
}

TEST(ErrorLogTest, firstLineFails_laterLinesAppendOnceWritableWithOneWarning) {
    mv::test::TempHome dir;
    std::string subLog = dir.file("later/log");
    mv::CmdRunner run;
    run.logPath = fixtures::u16(subLog);
    ::testing::internal::CaptureStderr();
    run.writeLog(u"lost", u"a");  // the directory does not exist yet
    fs::create_directory(dir.file("later"));
    std::ofstream(subLog) << "kept\r\n";
    run.writeLog(u"second", u"b");  // appends: only the first line may empty the file
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "QuarnelCmd: Warning: Log Write Error.\r\n" + subLog + "\n");
    EXPECT_EQ(unstamped(subLog), "kept\r\nb / second\r\n");
}

// Lines written together, as a flood of refused clients is logged: the run's first line empties
// the file, every line is stamped and takes its own room in the run's bound, so the line that
// passes the bound becomes the one that says so and the rest of the batch is dropped.
TEST(ErrorLogTest, linesWrittenTogether_firstEmptiesTheFile_eachTakesItsRoom) {
    mv::test::TempHome dir;
    std::string logFile = dir.file("QuarnelCmd-error.log");
    std::ofstream(logFile) << "an earlier run\r\n";
    mv::CmdRunner run;
    run.logPath = fixtures::u16(logFile);
    const std::vector<std::u16string> first = {u"one", u"two"}, second = {u"3", u"4", u"5"};
    run.writeLogLines(first, u"t");
    run.writeLogLines({}, u"t");
    // Room for "3" alone, its time stamp included.
    run.logBytes = mv::LOG_RUN_LIMIT - mv::LOG_DROPPED_LINE_ROOM - std::string("t / 3\r\n").size() -
                   std::string("2026-01-01T00:00:00 ").size();
    run.writeLogLines(second, u"t");
    EXPECT_EQ(unstamped(logFile),
              "t / one\r\nt / two\r\nt / 3\r\n"
              "log / log limit of 16 MiB for this run reached: later lines are dropped.\r\n");
}

}  // namespace
