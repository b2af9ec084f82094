#include "platform/Registration.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/Paths.h"
#include "platform/XdgDirs.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

class XdgHome : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir + "/.config"); }
    test::TempHome home;
    const std::string dir = home.home, list = dir + "/.config/mimeapps.list";
};

TEST_F(XdgHome, defaultApplications_table) {
    // Why, set or remove q.desktop for x/s, the list before (null: no file) and after.
    const std::tuple<const char*, bool, const char*, const char*> rows[] = {
        {"a new file", true, nullptr, "[Default Applications]\nx/s=q.desktop;\n"},
        {"another handler in the list stays", false,
         "[Default Applications]\nx/s=other.desktop;q.desktop;\n",
         "[Default Applications]\nx/s=other.desktop;\n"},
        {"someone else's default is left alone", false,
         "[Default Applications]\nx/s=other.desktop;\n",
         "[Default Applications]\nx/s=other.desktop;\n"},
        {"a missing file is nothing to remove", false, nullptr, nullptr},
    };
    for (const auto& [why, set, before, after] : rows) {
        fs::remove(list);
        if (before != nullptr) {
            std::ofstream(list, std::ios::binary) << before;
        }
        ASSERT_EQ(set ? setDefaultApplication(list, "x/s", "q.desktop")
                      : removeDefaultApplication(list, "x/s", "q.desktop"),
                  0)
            << why;
        EXPECT_EQ(fs::exists(list), after != nullptr) << why;
        EXPECT_EQ(test::readText(list), after ? after : "") << why;
    }
}

TEST_F(XdgHome, registration_escapesTheProgramPathAndRefusesUnsafeOnes) {
    // Every character that the Exec line's quoting must escape, in one path.
    std::string command;
    ASSERT_EQ(registerUrlProtocol("quarnel01", R"(/a b"$`\%/q)"), 0);
    ASSERT_EQ(getUrlProtocolCommand("quarnel01", command), 1);
    EXPECT_EQ(command, R"("/a b\\"\\$\\`\\\\%%/q" %u)");
    fs::remove_all(dir + "/.local/share");
    // A line break in the path would add keys of its own to the entry.
    EXPECT_EQ(registerUrlProtocol("quarnel01", "/a\nExec=/bin/evil"), -1);
    EXPECT_EQ(registerUrlProtocol("quarnel01", "relative/q"), -1);
    EXPECT_FALSE(fs::exists(desktopEntryPath("quarnel01")));
    // A data home that cannot hold the entry (a file where the directory should be).
    std::ofstream(dir + "/.local/share") << "";
    EXPECT_EQ(registerUrlProtocol("quarnel01", "/opt/q"), -1);
}

TEST_F(XdgHome, getUrlProtocolCommand_readsOnlyTheMainGroupsExec) {
    // 259 bytes fit the command buffer of the program's home platform, 260 do not.
    const std::tuple<std::string, int, std::string> rows[] = {
        {"[Desktop Entry]\nName=x\n[Desktop Action a]\nExec=/other\n", 0, ""},
        {"[Desktop Entry]\nTryExec=/q\n", 0, ""},
        {"[Desktop Entry]\nExec=" + std::string(259, 'x') + "\n", 1, std::string(259, 'x')},
        {"[Desktop Entry]\nExec=" + std::string(260, 'x') + "\n", -1, ""},
    };
    fs::create_directories(dir + "/.local/share/applications");
    for (const auto& [entry, result, command] : rows) {
        std::ofstream(desktopEntryPath("quarnel01")) << entry;
        std::string read;
        EXPECT_EQ(getUrlProtocolCommand("quarnel01", read), result) << entry;
        EXPECT_EQ(read, command) << entry;
    }
}

TEST_F(XdgHome, baseDirectories_followTheXdgRules) {
    ScopedEnv relative("XDG_DATA_HOME", "relative/data");  // relative values are ignored
    ScopedEnv slash("XDG_CONFIG_HOME", dir + "/c/");
    ScopedEnv noTmp("TMPDIR", "");
    EXPECT_EQ(getXdgDataHome(), dir + "/.local/share");
    EXPECT_EQ(getXdgConfigHome(), dir + "/c");
    EXPECT_EQ(getTempPath(), "/tmp/");
}

TEST_F(XdgHome, downloadDir_table) {
    const std::pair<const char*, std::string> rows[] = {
        {"  XDG_DOWNLOAD_DIR=\"/srv/dl/\"\n", "/srv/dl"},  // indented, a trailing slash
        // The last assignment wins; $HOME and escapes in it.
        {"XDG_DOWNLOAD_DIR=\"/first\"\nXDG_DOWNLOAD_DIR=\"$HOME/a \\\"q\\\"\"\n", dir + "/a \"q\""},
        // Lines that set nothing: commented, relative, $HOME not as a whole word, unterminated.
        {"# XDG_DOWNLOAD_DIR=\"/commented\"\nXDG_DOWNLOAD_DIR=\"relative\"\n"
         "XDG_DOWNLOAD_DIR=\"$HOMEX/d\"\nXDG_DOWNLOAD_DIR=\"/unterminated\n",
         dir + "/Downloads"},
    };
    for (const auto& [userDirs, expected] : rows) {
        std::ofstream(dir + "/.config/user-dirs.dirs") << userDirs;
        EXPECT_EQ(getDownloadDir(), expected) << userDirs;
    }
}

}  // namespace
}  // namespace mv
