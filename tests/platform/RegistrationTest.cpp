#include "platform/Registration.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

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
    ASSERT_EQ(getUrlProtocolCommand("quarnel01", R"(/a b"$`\%/q)", command), 1);
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

// What registering makes stays the user's own: missing directories are made 0700 (the XDG
// rule), and a private list stays private when it is rewritten.
TEST_F(XdgHome, registration_privateDirectoriesAndTheListsModeKept) {
    fs::remove_all(dir + "/.config");
    ASSERT_EQ(registerUrlProtocol("quarnel01", "/opt/q"), 0);
    for (const char* made :
         {"/.local", "/.local/share", "/.local/share/applications", "/.config"}) {
        EXPECT_EQ(fs::status(dir + made).permissions(), fs::perms::owner_all) << made;
    }
    fs::permissions(list, fs::perms::owner_read | fs::perms::owner_write);
    for (bool set : {true, false}) {
        ASSERT_EQ(
            set ? registerUrlProtocol("quarnel01", "/opt/q") : unregisterUrlProtocol("quarnel01"),
            0);
        EXPECT_EQ(fs::status(list).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }
}

// Registered: our entry runs this program and is the default as GLib reads the list (every
// [Default Applications] group, the last line for the type winning, its first entry).
TEST_F(XdgHome, getUrlProtocolCommand_entryAndListTable) {
    const std::string q = "/opt/q", exec = "\"/opt/q\" %u", group = "[Default Applications]\n";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n";
    const struct {
        const char* why;
        std::string entry, program, list;  // an empty list: none
        int result;
        std::string command;
    } rows[] = {
        {"Exec of another group", "[Desktop Entry]\nName=x\n[Desktop Action a]\nExec=/q %u\n", q,
         group + ours, 0, ""},
        {"TryExec is not Exec", "[Desktop Entry]\nTryExec=/opt/q\n", q, group + ours, 0, ""},
        // 259 bytes fit the command buffer of the program's home platform, 260 do not.
        {"259 bytes", "[Desktop Entry]\nExec=" + std::string(259, 'x') + "\n",
         std::string(259, 'x'), group + ours, 1, std::string(259, 'x')},
        {"260 bytes", "[Desktop Entry]\nExec=" + std::string(260, 'x') + "\n",
         std::string(260, 'x'), group + ours, -1, ""},
        {"ours, unquoted", "[Desktop Entry]\nExec=/opt/q %u\n", q, group + ours, 1, "/opt/q %u"},
        {"another program", "[Desktop Entry]\nExec=" + exec + "\n", "/opt/q2", group + ours, 0, ""},
        {"no list", "[Desktop Entry]\nExec=" + exec + "\n", q, "", 0, ""},
        {"a later group names another", "[Desktop Entry]\nExec=" + exec + "\n", q,
         group + ours + "[Added Associations]\n" + ours + group + theirs, 0, ""},
        {"a later line is ours", "[Desktop Entry]\nExec=" + exec + "\n", q,
         group + theirs + "\n" + group + ours, 1, exec},
        {"ours second in the list", "[Desktop Entry]\nExec=" + exec + "\n", q,
         group + "x-scheme-handler/quarnel01=other.desktop;quarnel01.desktop;\n", 0, ""},
    };
    fs::create_directories(dir + "/.local/share/applications");
    for (const auto& row : rows) {
        std::ofstream(desktopEntryPath("quarnel01")) << row.entry;
        fs::remove(list);
        if (!row.list.empty()) {
            std::ofstream(list) << row.list;
        }
        std::string read;
        EXPECT_EQ(getUrlProtocolCommand("quarnel01", row.program.c_str(), read), row.result)
            << row.why;
        EXPECT_EQ(read, row.command) << row.why;
    }
}

TEST_F(XdgHome, baseDirectories_followTheXdgRules) {
    ScopedEnv relative("XDG_DATA_HOME", "relative/data");  // relative values are ignored
    ScopedEnv slash("XDG_CONFIG_HOME", dir + "/c/");
    ScopedEnv noTmp("TMPDIR", "");
    EXPECT_EQ(getXdgDataHome(), dir + "/.local/share");
    EXPECT_EQ(getXdgConfigHome(), dir + "/c");
    EXPECT_EQ(getTempPath(), "/tmp/");
    // An empty HOME names no home: the password database's entry does, not the root directory.
    ScopedEnv emptyHome("HOME", ""), noConfig("XDG_CONFIG_HOME", std::nullopt);
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(getXdgConfigHome(), std::string(entry->pw_dir) + "/.config");
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
