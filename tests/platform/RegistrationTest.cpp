#include "platform/Registration.h"

#include <gmock/gmock.h>
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
    // The machine's own lists and entries stay out; the desktop's own list is test-mimeapps.list.
    ScopedEnv configDirs{"XDG_CONFIG_DIRS", dir + "/etc/xdg"},
        dataDirs{"XDG_DATA_DIRS", dir + "/none"}, desktop{"XDG_CURRENT_DESKTOP", "Test"};
};

// The status as a run of the agent reads it, in a process of its own: GIO keeps what it has read
// for the life of a process, and would answer a later row from an earlier row's files.
std::pair<int, std::string> statusOfAFreshProcess() {
    std::string text = test::inChild([] {
        std::string command;
        int st = getUrlProtocolCommand("quarnel01", command);
        return std::to_string(st) + "\n" + command;
    });
    size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos) {
        return {-2, "no answer"};
    }
    return {std::stoi(text.substr(0, lineEnd)), text.substr(lineEnd + 1)};
}

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
    // Every character that the Exec line's quoting must escape, in one path. GIO takes the entry
    // only when it finds the program that it reads from the line (before it turns "%%" into '%',
    // so that character is checked in the file alone).
    const std::string program = dir + R"(/a b"$`\/q)";
    fs::create_directories(fs::path(program).parent_path());
    std::ofstream(program) << "#!/bin/sh\n";
    fs::permissions(program, fs::perms::owner_all);
    ASSERT_EQ(registerUrlProtocol("quarnel01", program.c_str()), 0);
    EXPECT_EQ(statusOfAFreshProcess(), std::make_pair(1, "\"" + dir + R"(/a b\"\$\`\\/q" %u)"));
    ASSERT_EQ(registerUrlProtocol("quarnel01", R"(/a b"$`\%/q)"), 0);
    EXPECT_THAT(test::readText(desktopEntryPath("quarnel01")),
                ::testing::HasSubstr("\nExec="
                                     R"("/a b\\"\\$\\`\\\\%%/q" %u)"
                                     "\n"));
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

// Unregistering takes what is ours, our entry and the lines that name it, and nothing else: 0
// when it took something, -1 when nothing of ours was there.
TEST_F(XdgHome, unregisterUrlProtocol_removesOnlyWhatIsOurs_table) {
    const std::string group = "[Default Applications]\n", html = "text/html=other.desktop;\n";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n";
    const struct {
        const char* why;
        bool entry;
        std::string before;
        int result;
        std::string after;
    } rows[] = {
        {"our entry, another program's handler stays", true, group + theirs, 0, group + theirs},
        {"our line without our entry", false, group + html + ours, 0, group + html},
        {"nothing of ours", false, group + theirs, -1, group + theirs},
    };
    fs::create_directories(dir + "/.local/share/applications");
    for (const auto& row : rows) {
        if (row.entry) {
            std::ofstream(desktopEntryPath("quarnel01")) << "[Desktop Entry]\n";
        }
        std::ofstream(list) << row.before;
        EXPECT_EQ(unregisterUrlProtocol("quarnel01"), row.result) << row.why;
        EXPECT_EQ(test::readText(list), row.after) << row.why;
        EXPECT_FALSE(fs::exists(desktopEntryPath("quarnel01"))) << row.why;
    }
}

// The status is the scheme's handler as GIO resolves it, whichever program that is: every
// [Default Applications] group (the last line for the type winning, the first installed entry of
// it), added associations, the desktop's own list and those of XDG_CONFIG_DIRS.
TEST_F(XdgHome, getUrlProtocolCommand_entryAndListTable) {
    const std::string exec = "\"/bin/true\" %u", group = "[Default Applications]\n",
                      main = "[Desktop Entry]\nType=Application\nName=x\n",
                      config = ".config/mimeapps.list";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n";
    const std::string long259 = "/bin/true " + std::string(249, 'x'),
                      entry = main + "Exec=" + exec + "\n";
    using Lists = std::vector<std::pair<std::string, std::string>>;  // path in the home, text
    const Lists listsOurs = {{config, group + ours}};
    const struct {
        const char* why;
        std::string entry;
        int result;
        std::string command;
        Lists lists;
    } rows[] = {
        // clang-format off
        {"Exec of another group", main + "[Desktop Action a]\nExec=/bin/true %u\n", 0, "",
         listsOurs},
        {"TryExec is not Exec", main + "TryExec=/bin/true\n", 0, "", listsOurs},
        // 259 bytes fit the command buffer of the program's home platform, 260 do not.
        {"259 bytes", main + "Exec=" + long259 + "\n", 1, long259, listsOurs},
        {"260 bytes", main + "Exec=" + long259 + "x\n", -1, "", listsOurs},
        {"ours, unquoted", main + "Exec=/bin/true %u\n", 1, "/bin/true %u", listsOurs},
        {"another program, such as another copy of the agent", main + "Exec=/bin/cp %u\n", 1,
         "/bin/cp %u", listsOurs},
        {"no list", entry, 0, "", {}},
        {"a later group names another", entry, 1, "/bin/cat %u",
         {{config, group + ours + "[Added Associations]\n" + ours + group + theirs}}},
        {"a later line is ours", entry, 1, exec, {{config, group + theirs + "\n" + group + ours}}},
        {"ours second in the list", entry, 1, "/bin/cat %u",
         {{config, group + "x-scheme-handler/quarnel01=other.desktop;quarnel01.desktop;\n"}}},
        {"an added association alone", entry, 1, exec, {{config, "[Added Associations]\n" + ours}}},
        {"the default only in a list of XDG_CONFIG_DIRS", entry, 1, exec,
         {{"etc/xdg/mimeapps.list", group + ours}}},
        {"the desktop's own list names another", entry, 1, "/bin/cat %u",
         {{config, group + ours}, {".config/test-mimeapps.list", group + theirs}}},
        // clang-format on
    };
    fs::create_directories(dir + "/.local/share/applications");
    fs::create_directories(dir + "/etc/xdg");
    std::ofstream(dir + "/.local/share/applications/other.desktop") << main << "Exec=/bin/cat %u\n";
    for (const auto& row : rows) {
        std::ofstream(desktopEntryPath("quarnel01")) << row.entry;
        for (const char* each :
             {".config/mimeapps.list", ".config/test-mimeapps.list", "etc/xdg/mimeapps.list"}) {
            fs::remove(dir + "/" + each);
        }
        for (const auto& [path, text] : row.lists) {
            std::ofstream(dir + "/" + path) << text;
        }
        EXPECT_EQ(statusOfAFreshProcess(), std::make_pair(row.result, row.command)) << row.why;
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
