#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/Base64.h"
#include "foundation/Text.h"

namespace {

namespace fs = std::filesystem;

std::string b64(const std::string& text) {
    std::string out;
    mv::base64EncodeStr(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
    return out;
}

std::string toUtf8(const std::u16string& text) {
    return mv::toUtf8String(text.c_str());
}

// Points HOME and the XDG directories at a fresh temporary directory for the test.
class LaunchArgsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/mvargs.XXXXXX";
        dir = mkdtemp(dirTemplate);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
            const char* old = std::getenv(name);
            saved.emplace_back(name,
                               old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        }
        // A warning of the log must go to standard error, not to a dialog on the tester's screen.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("HOME", dir.c_str(), 1);
        setenv("TMPDIR", dir.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        downloads = dir + "/Downloads";
        fs::create_directory(downloads);
    }
    void TearDown() override {
        for (auto& [name, value] : saved) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        fs::remove_all(dir);
    }

    // A file in Downloads with its last-write time `age` seconds in the past.
    std::string download(const std::string& name, const std::string& content, int age) {
        std::string path = downloads + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    }

    std::string dir, downloads;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(LaunchArgsTest, webSocketForm_table) {
    struct Row {
        const char* text;
        int port, timeout, flags;
        std::string options, logPath, sid;
    } rows[] = {
        {"S,8080,30,0,,,", 8080, 30, 0, "", "", ""},
        // Only the first character of token 0 is looked at.
        {"Sxyz,1,2,3,YQ==,,Yg==", 1, 2, 3, "a", "", "b"},
        // White space is dropped everywhere, also inside a token.
        {" S , 80 80 ,\t3\r\n0 ,0,,,", 8080, 30, 0, "", "", ""},
        // Integers read as atoi does: sign, digits up to the first other character, else 0.
        {"S,-5,abc,12x,,,", -5, 0, 12, "", "", ""},
        // Base64 decoding skips characters outside the alphabet and accepts missing padding.
        {"S,0,0,0,Y*Q,bG9n,c2lk", 0, 0, 0, "a", "log", "sid"},
    };
    for (const Row& row : rows) {
        mv::CmdRunner runner;
        mv::CmdParams params;
        ASSERT_EQ(runner.parseLaunchArgs(row.text, params), 1) << row.text;
        EXPECT_EQ(params.port, row.port) << row.text;
        EXPECT_EQ(params.timeoutSec, row.timeout) << row.text;
        EXPECT_EQ(params.flags, row.flags) << row.text;
        EXPECT_EQ(params.signerOptions, row.options) << row.text;
        EXPECT_EQ(params.logPath, row.logPath) << row.text;
        EXPECT_EQ(params.sid, row.sid) << row.text;
        EXPECT_EQ(params.url, "") << row.text;
    }
}

TEST_F(LaunchArgsTest, batchForm_fillsEveryFieldInTokenOrder) {
    std::string text = "B,7," + b64("opt") + ",," + b64("sid1") + "," + b64("https://h/x") + "," +
                       b64("/cert") + "," + b64("/sign") + ",4,5," + b64("0A0B") + ",10,end";
    mv::CmdRunner runner;
    mv::CmdParams p;
    ASSERT_EQ(runner.parseLaunchArgs(text.c_str(), p), 0);
    EXPECT_EQ(p.flags, 7);
    EXPECT_EQ(p.signerOptions, "opt");
    EXPECT_EQ(p.sid, "sid1");
    EXPECT_EQ(p.url, "https://h/x");
    EXPECT_EQ(p.certUrl, "/cert");
    EXPECT_EQ(p.signUrl, "/sign");
    EXPECT_EQ(p.certFlags, 4);
    EXPECT_EQ(p.signFlags, 5);
    EXPECT_EQ(p.signCertHex, "0A0B");
    EXPECT_EQ(p.signAlg, 10);
    EXPECT_EQ(p.port, 0);
}

TEST_F(LaunchArgsTest, batchForm_lowerCaseSAndEmptySignUrl) {
    // 's' is not 'S': this is batch mode, and an empty token 7 uploads to the certificate path.
    std::string text = "s,0,,,,," + b64("/cert") + ",,0,0,,0,";
    mv::CmdRunner runner;
    mv::CmdParams p;
    ASSERT_EQ(runner.parseLaunchArgs(text.c_str(), p), 0);
    EXPECT_EQ(p.certUrl, "/cert");
    EXPECT_EQ(p.signUrl, "/cert");
}

TEST_F(LaunchArgsTest, unusableTexts_giveMinus10AndChangeNothing) {
    struct Row {
        const char* text;
        const char* reason;
    } rows[] = {
        {"", "empty text"},
        {" \t\r\n", "only white space"},
        {"S,8080,30,16384,,,,", "8 tokens after S (a trailing comma adds one)"},
        {"S,8080,30,16384", "too few tokens after S"},
        {"s,8080,30,16384,,,", "lower-case s needs 13 tokens"},
        {",8080,30,16384,,,", "empty first token is batch mode: 13 tokens"},
        {"B,16384,,,,,,,,,,", "12 tokens"},
        {"B,16384,,,,,,,,,,,,", "14 tokens"},
        {"F", "file form needs 2 tokens; alone it is a batch text of 1"},
        {"F,nothing-matches-*.txt", "file form without a match"},
    };
    for (const Row& row : rows) {
        mv::CmdRunner runner;
        std::u16string defaultLog = runner.logPath;
        mv::CmdParams params;
        params.port = 99;
        EXPECT_EQ(runner.parseLaunchArgs(row.text, params), -10) << row.reason;
        EXPECT_EQ(params.port, 99) << row.reason;
        EXPECT_EQ(params.flags, 0) << row.reason;
        EXPECT_EQ(runner.logAppend, 0) << row.reason;
        EXPECT_EQ(runner.logPath, defaultLog) << row.reason;
    }
    mv::CmdRunner runner;
    mv::CmdParams params;
    EXPECT_EQ(runner.parseLaunchArgs(nullptr, params), -10);
}

TEST_F(LaunchArgsTest, logFlags_appendAndPathRulePerMode) {
    std::string custom = dir + "/custom.log";
    struct Row {
        std::string text;
        int result, append;
        std::string logPath;  // "<default>" for the runner's default
    } rows[] = {
        {"S,1,1,16384,,,", 1, 1, "<default>"},
        {"S,1,1,8192,," + b64(custom) + ",", 1, 0, custom},
        // An empty path keeps the default log in WebSocket mode...
        {"S,1,1,8192,,,", 1, 0, "<default>"},
        // ...and the path is taken only with the flag.
        {"S,1,1,0,," + b64(custom) + ",", 1, 0, "<default>"},
        {"B,24576,," + b64(custom) + ",,,,,0,0,,0,", 0, 1, custom},
        // ...but empties the path in batch mode.
        {"B,8192,,,,,,,0,0,,0,", 0, 0, ""},
    };
    for (const Row& row : rows) {
        mv::CmdRunner runner;
        std::string defaultLog = toUtf8(runner.logPath);
        mv::CmdParams params;
        ASSERT_EQ(runner.parseLaunchArgs(row.text.c_str(), params), row.result) << row.text;
        EXPECT_EQ(runner.logAppend, row.append) << row.text;
        EXPECT_EQ(toUtf8(runner.logPath), row.logPath == "<default>" ? defaultLog : row.logPath)
            << row.text;
    }
}

TEST_F(LaunchArgsTest, batchEmptyLogPath_warnsOnceOnTheFirstLine) {
    mv::CmdRunner runner;
    mv::CmdParams params;
    ASSERT_EQ(runner.parseLaunchArgs("B,8192,,,,,,,0,0,,0,", params), 0);
    ::testing::internal::CaptureStderr();
    runner.writeLog(u"cmd execute start.", u"cmd-start");
    runner.writeLog(u"cmd execute end.", u"cmd-end");
    std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(warnings, "QuarnelCmd: Warning: Log Write Error.\r\n\n");
}

TEST_F(LaunchArgsTest, base64Texts_areStoredInTheThreadsCodePage) {
    std::thread([] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        mv::CmdRunner runner;
        mv::CmdParams params;
        std::string text = "S,1,1,0," + b64("署名") + ",,";
        ASSERT_EQ(runner.parseLaunchArgs(text.c_str(), params), 1);
        EXPECT_EQ(params.signerOptions, "\x8f\x90\x96\xbc");
    }).join();
}

TEST_F(LaunchArgsTest, fileForm_takesTheNewestMatchAndDeletesIt) {
    std::string batch = "X,3,,,,," + b64("/cert") + ",,0,0,,0,";
    std::string older = download("old.txt", "B,1,,,,,,,0,0,,0,", 100);
    std::string newer = download("new.TXT", batch, 10);
    download("newest.dat", batch, 0);  // does not match
    mv::CmdRunner runner;
    mv::CmdParams params;
    // The pattern compares letters without case; the first token of the file is not examined.
    ASSERT_EQ(runner.parseLaunchArgs("F,*.txt", params), 0);
    EXPECT_EQ(params.flags, 3);
    EXPECT_EQ(params.signUrl, "/cert");
    EXPECT_FALSE(fs::exists(newer));
    EXPECT_TRUE(fs::exists(older));
}

TEST_F(LaunchArgsTest, fileForm_refusals) {
    std::string batch = "B,3,,,,,,,0,0,,0,";
    {
        // An empty newest file is unusable and stays; the older one is not taken instead.
        std::string older = download("a1.txt", batch, 100);
        std::string empty = download("a2.txt", "", 10);
        mv::CmdRunner runner;
        mv::CmdParams params;
        EXPECT_EQ(runner.parseLaunchArgs("F,a?.txt", params), -10);
        EXPECT_TRUE(fs::exists(empty));
        EXPECT_TRUE(fs::exists(older));
    }
    {
        // A WebSocket text in the file is still read as a batch text: unusable, and gone.
        std::string ws = download("b.txt", "S,8080,30,0,,,", 0);
        mv::CmdRunner runner;
        mv::CmdParams params;
        EXPECT_EQ(runner.parseLaunchArgs("F,b.txt", params), -10);
        EXPECT_FALSE(fs::exists(ws));
    }
    {
        // The text ends at the first zero byte.
        std::string withZero = download("c.txt", batch + std::string("\0,more", 6), 0);
        mv::CmdRunner runner;
        mv::CmdParams params;
        EXPECT_EQ(runner.parseLaunchArgs("F,c.txt", params), 0);
        EXPECT_EQ(params.flags, 3);
    }
    {
        // A pattern cannot reach outside the Downloads folder.
        std::string outside = dir + "/secret.txt";
        std::ofstream(outside) << batch;
        mv::CmdRunner runner;
        mv::CmdParams params;
        EXPECT_EQ(runner.parseLaunchArgs("F,../secret.txt", params), -10);
        EXPECT_EQ(runner.parseLaunchArgs("F,../*", params), -10);
        EXPECT_TRUE(fs::exists(outside));
    }
}

TEST_F(LaunchArgsTest, fileForm_readsTheDownloadsFolderOfUserDirs) {
    fs::create_directories(dir + "/.config");
    fs::create_directories(dir + "/Telechargements");
    std::ofstream(dir + "/.config/user-dirs.dirs")
        << "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Telechargements\"\n";
    std::ofstream(dir + "/Telechargements/p.txt") << "B,5,,,,,,,0,0,,0,";
    download("p.txt", "B,6,,,,,,,0,0,,0,", 0);
    mv::CmdRunner runner;
    mv::CmdParams params;
    ASSERT_EQ(runner.parseLaunchArgs("F,p.txt", params), 0);
    EXPECT_EQ(params.flags, 5);
}

TEST(FindNewestFile, table) {
    char dirTemplate[] = "/tmp/mvfind.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    auto make = [&](const std::string& name, int age) {
        std::ofstream(dir + "/" + name) << "x";
        timespec times[2] = {{1700000000 - age, 0}, {1700000000 - age, 0}};
        utimensat(AT_FDCWD, (dir + "/" + name).c_str(), times, 0);
    };
    make("x1.log", 30);
    make("x2.log", 20);
    make("y.log", 10);
    fs::create_directory(dir + "/x3.log");  // a directory is an entry like any other
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
        EXPECT_EQ(mv::findNewestFile(dir, row.pattern, path), row.result) << row.pattern;
        EXPECT_EQ(path, row.result == 0 ? dir + "/" + row.name : "unchanged") << row.pattern;
    }
    std::string path;
    EXPECT_EQ(mv::findNewestFile("", "*", path), -1);
    EXPECT_EQ(mv::findNewestFile(dir + "/missing", "*", path), -1);
    fs::remove_all(dir);
}

}  // namespace
