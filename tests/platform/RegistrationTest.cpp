#include "platform/Registration.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/Paths.h"
#include "platform/XdgDirs.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

namespace fs = std::filesystem;
using test::readText;
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
        EXPECT_EQ(readText(list), after ? after : "") << why;
    }
}

TEST_F(XdgHome, registration_escapesTheProgramPathAndRefusesUnsafeOnes) {
    const std::pair<const char*, const char*> rows[] = {
        {"/a b/q", "\"/a b/q\" %u"},
        {"/a\"b/q", "\"/a\\\\\"b/q\" %u"},
        {"/a$b`c/q", "\"/a\\\\$b\\\\`c/q\" %u"},
        {"/a\\b/q", "\"/a\\\\\\\\b/q\" %u"},
        {"/100%/q", "\"/100%%/q\" %u"},
    };
    for (const auto& [path, exec] : rows) {
        std::string command;
        ASSERT_EQ(registerUrlProtocol("quarnel01", path), 0) << path;
        ASSERT_EQ(getUrlProtocolCommand("quarnel01", command), 1) << path;
        EXPECT_EQ(command, exec) << path;
    }
    fs::remove_all(dir + "/.local/share");
    // A line break in the path would add keys of its own to the entry.
    EXPECT_EQ(registerUrlProtocol("quarnel01", "/a\nExec=/bin/evil"), -1);
    EXPECT_EQ(registerUrlProtocol("quarnel01", "relative/q"), -1);
    EXPECT_FALSE(fs::exists(desktopEntryPath("quarnel01")));
    // Nothing registered: unregistering fails at once and changes nothing.
    std::ofstream(list)
        << "[Default Applications]\nx-scheme-handler/quarnel01=quarnel01.desktop;\n";
    EXPECT_EQ(unregisterUrlProtocol("quarnel01"), -1);
    EXPECT_NE(readText(list).find("quarnel01.desktop"), std::string::npos);
    // A data home that cannot hold the entry (a file where the directory should be).
    std::ofstream(dir + "/.local/share") << "";
    EXPECT_EQ(registerUrlProtocol("quarnel01", "/opt/q"), -1);
}

TEST_F(XdgHome, getUrlProtocolCommand_readsOnlyTheMainGroupsExec) {
    // 259 bytes fit the command buffer of the program's home platform, 260 do not.
    const std::tuple<std::string, int, std::string> rows[] = {
        {"[Desktop Entry]\nName=x\nExec=\"/q\" %u\n", 1, "\"/q\" %u"},
        {"[Desktop Entry]\nExec = /q %u\n", 1, "/q %u"},
        {"[Desktop Entry]\nName=x\n[Desktop Action a]\nExec=/other\n", 0, ""},
        {"[Desktop Entry]\nTryExec=/q\n", 0, ""},
        {"", 0, ""},
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
    fs::remove(desktopEntryPath("quarnel01"));
    fs::create_directory(desktopEntryPath("quarnel01"));
    std::string command;
    EXPECT_EQ(getUrlProtocolCommand("quarnel01", command), -1) << "a directory is no entry";
}

TEST_F(XdgHome, baseDirectories_followTheXdgRules) {
    {
        ScopedEnv relative("XDG_DATA_HOME", "relative/data");  // relative values are ignored
        ScopedEnv empty("XDG_CONFIG_HOME", "");
        EXPECT_EQ(getXdgDataHome(), dir + "/.local/share");
        EXPECT_EQ(getXdgConfigHome(), dir + "/.config");
    }
    ScopedEnv slash("XDG_DATA_HOME", dir + "/d/");
    EXPECT_EQ(getXdgDataHome(), dir + "/d");
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(getTempPath(), "/var/tmp/");
    ScopedEnv noTmp("TMPDIR", "");
    EXPECT_EQ(getTempPath(), "/tmp/");
}

TEST_F(XdgHome, downloadDir_table) {
    const std::pair<const char*, std::string> rows[] = {
        {nullptr, dir + "/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n", dir + "/Téléchargements"},
        {"  XDG_DOWNLOAD_DIR=\"/srv/dl/\"\n", "/srv/dl"},
        {"# XDG_DOWNLOAD_DIR=\"/commented\"\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n",
         dir + "/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"relative\"\n", dir + "/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"$HOMEX/d\"\n", dir + "/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"/unterminated\n", dir + "/Downloads"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/a \\\"q\\\"\"\n", dir + "/a \"q\""},
        {"XDG_DOWNLOAD_DIR=\"/first\"\nXDG_DOWNLOAD_DIR=\"/second\"\n", "/second"},
    };
    for (const auto& [userDirs, expected] : rows) {
        fs::remove(dir + "/.config/user-dirs.dirs");
        if (userDirs != nullptr) {
            std::ofstream(dir + "/.config/user-dirs.dirs") << userDirs;
        }
        EXPECT_EQ(getDownloadDir(), expected) << (userDirs ? userDirs : "none");
    }
}

}  // namespace
}  // namespace mv
