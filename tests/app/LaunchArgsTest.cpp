#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/Text.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using mv::test::base64Of;

std::string toUtf8(const std::u16string& text) {
    return mv::toUtf8String(text.c_str());
}

// Sets a file's last-write time `age` seconds before `now`.
void setAge(const std::string& path, int age, time_t now = time(nullptr)) {
    timespec times[2] = {{now - age, 0}, {now - age, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Parses `text` into parameters whose port is 99: the result, then every field that differs
// from those parameters, and the runner's log settings where they differ from its defaults.
std::string parse(const std::string& text) {
    mv::CmdRunner runner;
    std::u16string defaultLog = runner.logPath;
    mv::CmdParams p;
    p.port = 99;
    std::ostringstream out;
    out << runner.parseLaunchArgs(text.c_str(), p);
    auto num = [&](const char* name, int value, int unset = 0) {
        if (value != unset)
            out << ' ' << name << '=' << value;
    };
    auto str = [&](const char* name, const std::string& value) {
        if (!value.empty())
            out << ' ' << name << '=' << value;
    };
    num("port", p.port, 99);
    num("timeout", p.timeoutSec);
    num("flags", p.flags);
    str("options", p.signerOptions);
    str("logPath", p.logPath);
    str("sid", p.sid);
    str("url", p.url);
    str("certUrl", p.certUrl);
    str("signUrl", p.signUrl);
    num("certFlags", p.certFlags);
    str("certArg", p.certArg);
    num("signFlags", p.signFlags);
    str("hex", p.signCertHex);
    num("alg", p.signAlg);
    num("append", runner.logAppend);
    if (runner.logPath != defaultLog)
        out << " log=" << toUtf8(runner.logPath);
    return out.str();
}

class LaunchArgsTest : public ::testing::Test {
protected:
    mv::test::TempHome temp;
    std::string home = temp.home, downloads = temp.file("Downloads");
    bool made = fs::create_directory(downloads);

    // A file in Downloads with its last-write time `age` seconds in the past.
    std::string download(const std::string& name, const std::string& content, int age) {
        std::string path = downloads + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        setAge(path, age);
        return path;
    }
};

TEST_F(LaunchArgsTest, textTable_fieldsAndLogSettings) {
    const std::string log = home + "/custom.log", log64 = base64Of(log);
    const struct {
        std::string text, parsed;
        const char* why;
    } rows[] = {
        {"Sxyz,1,2,3,YQ==,,Yg==", "1 port=1 timeout=2 flags=3 options=a sid=b",
         "only the first character of token 0 counts"},
        {"S,-5,abc,12x,,,", "1 port=-5 flags=12", "integers read as atoi does"},
        {"B,7," + base64Of("opt") + ",," + base64Of("sid1") + "," + base64Of("https://h/x") + "," +
             base64Of("/cert") + "," + base64Of("/sign") + ",4,5," + base64Of("0A0B") + ",10,end",
         "0 flags=7 options=opt sid=sid1 url=https://h/x certUrl=/cert signUrl=/sign certFlags=4 "
         "signFlags=5 hex=0A0B alg=10",
         "batch form, every field in token order"},
        {"s,0,,,,," + base64Of("/cert") + ",,0,0,,0,", "0 certUrl=/cert signUrl=/cert",
         "'s' is batch mode; an empty token 7 uploads to the certificate path"},
        // Log flags 0x4000 (append) and 0x2000 (path from token 5, or token 3 in batch mode).
        {"S,1,1,8192,,,", "1 port=1 timeout=1 flags=8192", "an empty path keeps the default"},
        {"S,1,1,0,," + log64 + ",", "1 port=1 timeout=1 logPath=" + log, "no flag, no path"},
        {"B,24576,," + log64 + ",,,,,0,0,,0,",
         "0 flags=24576 logPath=" + log + " append=1 log=" + log, "batch path and append"},
        {"B,8192,,,,,,,0,0,,0,", "0 flags=8192", "an empty batch path keeps the default too"},
        // Unusable texts change nothing.
        {" \t\r\n", "-10", "only white space"},
        {"s,8080,30,16384,,,", "-10", "lower-case s needs 13 tokens"},
        {",8080,30,16384,,,", "-10", "empty first token is batch mode: 13 tokens"},
        {"B,16384,,,,,,,,,,", "-10", "12 tokens"},
        {"B,16384,,,,,,,,,,,,", "-10", "14 tokens"},
        {"F", "-10", "file form needs 2 tokens; alone it is a batch text of 1"},
        {"F,nothing-matches-*.txt", "-10", "file form without a match"},
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
                  "1 port=1 timeout=1 options=\x8f\x90\x96\xbc");
    }).join();
}

TEST_F(LaunchArgsTest, fileForm_refusals) {
    // An empty newest file is unusable and stays; the older one is not taken instead.
    std::string older = download("a1.txt", "B,3,,,,,,,0,0,,0,", 100);
    std::string empty = download("a2.txt", "", 10);
    EXPECT_EQ(parse("F,a?.txt"), "-10");
    EXPECT_TRUE(fs::exists(empty));
    EXPECT_TRUE(fs::exists(older));
    // A pattern cannot reach outside the Downloads folder.
    std::ofstream(home + "/secret.txt") << "B,3,,,,,,,0,0,,0,";
    EXPECT_EQ(parse("F,../secret.txt"), "-10");
    EXPECT_EQ(parse("F,../*"), "-10");
    EXPECT_TRUE(fs::exists(home + "/secret.txt"));
}

TEST(FindNewestFile, table) {
    mv::test::ScratchDir scratch;
    std::string home = scratch.path().string();
    for (auto [name, age] : {std::pair{"x1.log", 30}, {"x2.log", 20}, {"y.log", 10}}) {
        std::ofstream(home + "/" + name) << "x";
        setAge(home + "/" + name, age, 1700000000);
    }
    fs::create_directory(home + "/x3.log");  // a directory is an entry like any other
    struct Row {
        const char* pattern;
        int result;
        const char* name;
    } rows[] = {
        {"x?.log", 0, "x3.log"},  // the directory was made just now
        {"y*", 0, "y.log"},
        {"*1.LOG", 0, "x1.log"},
        {"x1.log", 0, "x1.log"},
        {"x", -1, ""},
        {"", -1, ""},
        {"[xy]*", -1, ""},  // brackets are not wildcards
    };
    for (const Row& row : rows) {
        std::string path = "unchanged";
        EXPECT_EQ(mv::findNewestFile(home, row.pattern, path), row.result) << row.pattern;
        EXPECT_EQ(path, row.result == 0 ? home + "/" + row.name : "unchanged") << row.pattern;
    }
    std::string path;
    EXPECT_EQ(mv::findNewestFile("", "*", path), -1);
    EXPECT_EQ(mv::findNewestFile(home + "/missing", "*", path), -1);
}

}  // namespace
