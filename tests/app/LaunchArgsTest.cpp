#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/Text.h"
#include "support/TestSupport.h"

namespace {

using mv::test::base64Of;

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

// The WebSocket form's log flags (and every unusable text) are launched in QuarnelCmdTest.
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
        // Log flags 0x4000 (append) and 0x2000 (path from token 3 in batch mode).
        {"B,24576,," + log64 + ",,,,,0,0,,0,", "0 0 0 24576||" + log + "|||||0 0||0 1|" + log,
         "batch path and append"},
        {"B,8192,,,,,,,0,0,,0,", "0 0 0 8192|||||||0 0||0 0|",
         "an empty batch path keeps the default too"},
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
    mv::CmdRunner runner;
    mv::CmdParams params;
    EXPECT_EQ(runner.parseLaunchArgs(nullptr, params), -10);
    // Base64 texts are stored in the thread's code page.
    std::thread([] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        EXPECT_EQ(parse("S,1,1,0," + base64Of("署名") + ",,"),
                  "1 1 1 0|\x8f\x90\x96\xbc||||||0 0||0 0|");
    }).join();
}

}  // namespace
