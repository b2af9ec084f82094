#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Registration.h"
#include "platform/XdgDirs.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// HOME and the XDG base directories in a fresh temporary directory.
class XdgHomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/mvxdg.XXXXXX";
        dir = mkdtemp(dirTemplate);
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(name);
            saved.emplace_back(name, old ? old : "", old != nullptr);
        }
        setenv("HOME", dir.c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        list = dir + "/config/mimeapps.list";
    }
    void TearDown() override {
        for (auto& [name, value, present] : saved) {
            present ? setenv(name.c_str(), value.c_str(), 1) : unsetenv(name.c_str());
        }
        fs::remove_all(dir);
    }

    std::string dir, list;
    std::vector<std::tuple<std::string, std::string, bool>> saved;
};

using Registration = XdgHomeTest;
using XdgDirs = XdgHomeTest;

TEST_F(Registration, setDefaultApplication_table) {
    struct Row {
        const char* before;  // null: no file
        const char* after;
        const char* why;
    } rows[] = {
        {nullptr, "[Default Applications]\nx/s=q.desktop;\n", "a new file"},
        {"[Added Associations]\nx/s=a.desktop;\n",
         "[Added Associations]\nx/s=a.desktop;\n\n[Default Applications]\nx/s=q.desktop;\n",
         "another group stays, ours is added after a blank line"},
        {"[Default Applications]\nx/t=t.desktop;\n\n[Other]\nk=v\n",
         "[Default Applications]\nx/t=t.desktop;\nx/s=q.desktop;\n\n[Other]\nk=v\n",
         "inserted after the group's last line, before the blank line"},
        {"# mine\n[Default Applications]\nx/s = old.desktop;\nx/s=dup.desktop\n",
         "# mine\n[Default Applications]\nx/s=q.desktop;\n",
         "an existing default is replaced, a duplicate dropped, comments kept"},
        {"[Default Applications]\r\nx/u=u.desktop;\r\n",
         "[Default Applications]\nx/u=u.desktop;\nx/s=q.desktop;\n", "CR LF lines are read"},
    };
    fs::create_directories(dir + "/config");
    for (const Row& row : rows) {
        fs::remove(list);
        if (row.before != nullptr) {
            std::ofstream(list, std::ios::binary) << row.before;
        }
        ASSERT_EQ(mv::setDefaultApplication(list, "x/s", "q.desktop"), 0) << row.why;
        EXPECT_EQ(readFile(list), row.after) << row.why;
    }
}

TEST_F(Registration, removeDefaultApplication_table) {
    struct Row {
        const char* before;
        const char* after;
        const char* why;
    } rows[] = {
        {"[Default Applications]\nx/s=q.desktop;\nx/t=t.desktop;\n",
         "[Default Applications]\nx/t=t.desktop;\n", "our line goes"},
        {"[Default Applications]\nx/s=other.desktop;q.desktop;\n",
         "[Default Applications]\nx/s=other.desktop;\n", "another handler in the list stays"},
        {"[Default Applications]\nx/s=other.desktop;\n",
         "[Default Applications]\nx/s=other.desktop;\n", "someone else's default is left alone"},
        {"[Added Associations]\nx/s=q.desktop;\n", "[Added Associations]\nx/s=q.desktop;\n",
         "only the defaults group is ours"},
    };
    fs::create_directories(dir + "/config");
    for (const Row& row : rows) {
        std::ofstream(list, std::ios::binary) << row.before;
        ASSERT_EQ(mv::removeDefaultApplication(list, "x/s", "q.desktop"), 0) << row.why;
        EXPECT_EQ(readFile(list), row.after) << row.why;
    }
    fs::remove(list);
    EXPECT_EQ(mv::removeDefaultApplication(list, "x/s", "q.desktop"), 0);
    EXPECT_FALSE(fs::exists(list));
}

TEST_F(Registration, mimeappsListThatIsALink_staysALink) {
    fs::create_directories(dir + "/config");
    fs::create_directories(dir + "/dotfiles");
    std::ofstream(dir + "/dotfiles/mimeapps.list") << "[Default Applications]\n";
    fs::create_symlink(dir + "/dotfiles/mimeapps.list", list);
    ASSERT_EQ(mv::setDefaultApplication(list, "x/s", "q.desktop"), 0);
    EXPECT_TRUE(fs::is_symlink(list));
    EXPECT_EQ(readFile(dir + "/dotfiles/mimeapps.list"),
              "[Default Applications]\nx/s=q.desktop;\n");
}

TEST_F(Registration, programPathWithReservedCharacters_isEscapedForTheExecLine) {
    struct Row {
        const char* path;
        const char* exec;
    } rows[] = {
        {"/a b/q", "\"/a b/q\" %u"},
        {"/a\"b/q", "\"/a\\\\\"b/q\" %u"},
        {"/a$b`c/q", "\"/a\\\\$b\\\\`c/q\" %u"},
        {"/a\\b/q", "\"/a\\\\\\\\b/q\" %u"},
        {"/100%/q", "\"/100%%/q\" %u"},
    };
    for (const Row& row : rows) {
        std::string command;
        ASSERT_EQ(mv::registerUrlProtocol("quarnel01", row.path), 0) << row.path;
        ASSERT_EQ(mv::getUrlProtocolCommand("quarnel01", command), 1) << row.path;
        EXPECT_EQ(command, row.exec) << row.path;
    }
}

TEST_F(Registration, refusals) {
    // A line break in the path would add keys of its own to the entry.
    EXPECT_EQ(mv::registerUrlProtocol("quarnel01", "/a\nExec=/bin/evil"), -1);
    EXPECT_EQ(mv::registerUrlProtocol("quarnel01", "relative/q"), -1);
    EXPECT_FALSE(fs::exists(mv::desktopEntryPath("quarnel01")));
    // Nothing registered: unregistering fails at once and changes nothing.
    fs::create_directories(dir + "/config");
    std::ofstream(list)
        << "[Default Applications]\nx-scheme-handler/quarnel01=quarnel01.desktop;\n";
    EXPECT_EQ(mv::unregisterUrlProtocol("quarnel01"), -1);
    EXPECT_NE(readFile(list).find("quarnel01.desktop"), std::string::npos);
    // A data home that cannot hold the entry (a file where the directory should be).
    std::ofstream(dir + "/data") << "";
    EXPECT_EQ(mv::registerUrlProtocol("quarnel01", "/opt/q"), -1);
}

TEST_F(Registration, getUrlProtocolCommand_readsOnlyTheMainGroupsExec) {
    struct Row {
        const char* entry;
        int result;
        const char* command;
    } rows[] = {
        {"[Desktop Entry]\nName=x\nExec=\"/q\" %u\n", 1, "\"/q\" %u"},
        {"[Desktop Entry]\nExec = /q %u\n", 1, "/q %u"},
        {"[Desktop Entry]\nName=x\n[Desktop Action a]\nExec=/other\n", 0, ""},
        {"[Desktop Entry]\nTryExec=/q\n", 0, ""},
        {"", 0, ""},
    };
    fs::create_directories(dir + "/data/applications");
    for (const Row& row : rows) {
        std::ofstream(mv::desktopEntryPath("quarnel01")) << row.entry;
        std::string command;
        EXPECT_EQ(mv::getUrlProtocolCommand("quarnel01", command), row.result) << row.entry;
        EXPECT_EQ(command, row.command) << row.entry;
    }
    // 259 bytes fit the command buffer of the program's home platform, 260 do not.
    for (size_t length : {259u, 260u}) {
        std::ofstream(mv::desktopEntryPath("quarnel01"))
            << "[Desktop Entry]\nExec=" << std::string(length, 'x') << "\n";
        std::string command;
        EXPECT_EQ(mv::getUrlProtocolCommand("quarnel01", command), length == 259 ? 1 : -1);
    }
    fs::remove(mv::desktopEntryPath("quarnel01"));
    fs::create_directory(mv::desktopEntryPath("quarnel01"));
    std::string command;
    EXPECT_EQ(mv::getUrlProtocolCommand("quarnel01", command), -1) << "a directory is no entry";
}

TEST_F(XdgDirs, baseDirectories_followTheSpecificationsRules) {
    EXPECT_EQ(mv::getXdgDataHome(), dir + "/data");
    EXPECT_EQ(mv::getXdgConfigHome(), dir + "/config");
    setenv("XDG_DATA_HOME", "relative/data", 1);  // relative values are ignored
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(mv::getXdgDataHome(), dir + "/.local/share");
    EXPECT_EQ(mv::getXdgConfigHome(), dir + "/.config");
    setenv("XDG_DATA_HOME", (dir + "/d/").c_str(), 1);
    EXPECT_EQ(mv::getXdgDataHome(), dir + "/d");
}

TEST_F(XdgDirs, downloadDir_table) {
    struct Row {
        const char* userDirs;  // null: no file
        std::string expected;
    } rows[] = {
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
    fs::create_directories(dir + "/config");
    for (const Row& row : rows) {
        fs::remove(dir + "/config/user-dirs.dirs");
        if (row.userDirs != nullptr) {
            std::ofstream(dir + "/config/user-dirs.dirs") << row.userDirs;
        }
        EXPECT_EQ(mv::getDownloadDir(), row.expected) << (row.userDirs ? row.userDirs : "none");
    }
}

}  // namespace
