// The program itself, run without a display in a temporary home: its exit codes, its error log,
// and the scheme registration as xdg-mime sees it. Message boxes go to standard error here.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

#include "signers/Fixtures.h"
#include "support/TestSupport.h"
#include "support/WsTestSupport.h"

namespace {

namespace fs = std::filesystem;
using mv::test::readText;
using Lines = std::vector<std::string>;

using mv::test::Outcome;

class QuarnelCmdTest : public ::testing::Test {
protected:
    fixtures::TempHome home;  // HOME with room for the user's NSS store
    std::string dir = home.home;
    std::string program = fs::canonical(QUARNELCMD_PATH).string();
    std::vector<std::string> localeEnv = {"LANG=C.UTF-8", "LC_ALL="};

    // No system-wide XDG directories and no desktop environment: xdg-mime reads the files itself.
    Outcome run(std::vector<std::string> argv) {
        std::vector<std::string> env = {"XDG_DATA_DIRS=" + dir + "/none",
                                        "XDG_CONFIG_DIRS=" + dir + "/none",
                                        "DBUS_SESSION_BUS_ADDRESS=disabled:"};
        env.insert(env.end(), localeEnv.begin(), localeEnv.end());
        return mv::test::launch(argv, env);
    }
    // Bounded, so that a run that blocks fails its test instead of stalling the suite.
    Outcome quarnelcmd(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"timeout", "60", program});
        return run(args);
    }
    // The default log's lines without their time stamps; each must have one.
    std::string defaultLog = home.file("QuarnelCmd-error.log");
    Lines logLines() { return mv::test::logLines(defaultLog, true); }
    std::string desktopEntry() const {
        return dir + "/.local/share/applications/quarnel01.desktop";
    }
    std::string statusText(const std::string& state) const {
        return "署名コマンド: QuarnelCmd v1.1.R1\n状態：レジストリ(quarnel01)" + state + "\n";
    }
};

// With nothing registered: every run exits 0; a URL run writes its log, any other command line
// shows a box (on standard error here) and writes none.
TEST_F(QuarnelCmdTest, commandLineTable_boxesAndLogLinesWithNothingRegistered) {
    const Lines endOnly{"cmd-end / cmd execute end."};
    const std::string unregistered = statusText("未登録です。");
    const struct {
        std::vector<std::string> args;
        std::string err;
        Lines log;
    } rows[] = {
        {{"quarnel01:"}, "", endOnly},
        {{"quarnel01:S,8080,30,0,,,,"}, "", endOnly},  // unusable parameters
        {{"quarnel01:S,1", ",,,,"}, "", endOnly},      // "S,1 ,,,," once joined: 6 tokens
        {{}, unregistered, {}},
        {{"QUARNEL01:S,8080,30,0,,,"}, unregistered, {}},
        {{"regist", "now"}, unregistered, {}},
        {{"Regist"}, unregistered, {}},
        {{"unregist"}, "署名コマンド: レジストリ未登録です。\n削除できません。\n", {}},
        {{"unregist-POSTX"}, "署名コマンド: レジストリ削除に失敗しました。\n", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.empty() ? "" : row.args[0]);
        fs::remove(defaultLog);
        Outcome r = quarnelcmd(row.args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(logLines(), row.log);
        EXPECT_FALSE(fs::exists(desktopEntry()));
    }
}

// A port that is taken: the run logs the server's reason, into the log named by the parameters
// (flag 0x2000) after its earlier lines (flag 0x4000), and exits 0.
TEST_F(QuarnelCmdTest, portInUse_logsTheServerReasonIntoTheNamedLogAfterItsEarlierLines) {
    int port = wstest::freePort();
    int holder = wstest::holdPort(port);
    ASSERT_GE(holder, 0);
    std::string custom = dir + "/my.log";
    std::ofstream(custom) << "earlier\r\n";
    Outcome r =
        quarnelcmd({"quarnel01:S," + std::to_string(port) + ",1," +
                    std::to_string(0x2000 | 0x4000) + ",," + mv::test::base64Of(custom) + ","});
    ::close(holder);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readText(custom).rfind("earlier\r\n", 0), 0u);
    Lines lines = mv::test::logLines(custom);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "ws-open / error(-60) WebSocket connection error.");
    EXPECT_NE(lines[2].find("(-402)"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "cmd-end / cmd execute end.");
    EXPECT_FALSE(fs::exists(defaultLog));
}

TEST_F(QuarnelCmdTest, registrationRoundTrip_asXdgMimeSeesIt) {
    Outcome r = quarnelcmd({"regist"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "署名コマンド: レジストリ登録しました。\n");

    Outcome query = run({"xdg-mime", "query", "default", "x-scheme-handler/quarnel01"});
    EXPECT_EQ(query.out, "quarnel01.desktop\n") << query.err;

    std::string entry = readText(desktopEntry());
    std::string exec = "\"" + program + "\" %u";
    EXPECT_NE(entry.find("\nExec=" + exec + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nName=URL:QuarnelCmd Protocol\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nMimeType=x-scheme-handler/quarnel01;\n"), std::string::npos) << entry;
    Outcome valid = run({"desktop-file-validate", desktopEntry()});
    EXPECT_EQ(valid.exitCode, 0) << valid.out << valid.err;

    EXPECT_EQ(quarnelcmd().err, statusText("登録済みです。\n" + exec));
    // Asked whether to overwrite; without a display the answer is Cancel.
    r = quarnelcmd({"regist"});
    EXPECT_EQ(r.err, "署名コマンド: レジストリ登録済みです。\n上書きしますか？\n" + exec + "\n");

    r = quarnelcmd({"unregist"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "署名コマンド: レジストリ削除しました。\n");
    EXPECT_FALSE(fs::exists(desktopEntry()));
    query = run({"xdg-mime", "query", "default", "x-scheme-handler/quarnel01"});
    EXPECT_EQ(query.out, "");
    EXPECT_EQ(quarnelcmd().err, statusText("未登録です。"));
}

TEST_F(QuarnelCmdTest, unreadableRegistration_isReportedAsAFailedRead) {
    fs::create_directories(dir + "/.local/share/applications");
    std::ofstream(desktopEntry()) << "[Desktop Entry]\nExec=\"/" << std::string(300, 'x')
                                  << "\" %u\n";
    EXPECT_EQ(quarnelcmd().err, statusText("の取得に失敗しました。"));
    // A registration that cannot be read may still exist: "unregist" tries to remove it.
    Outcome r = quarnelcmd({"unregist"});
    EXPECT_EQ(r.err, "署名コマンド: レジストリ削除しました。\n");
    EXPECT_FALSE(fs::exists(desktopEntry()));
}

// WebSocket mode as a page launches it (flags 0): the store signer is set up from the user's
// store, which the page's options and sid reach, before any command is served; a failed set-up
// ends the run.
TEST_F(QuarnelCmdTest, webSocketMode_asAPageLaunchesIt_setsUpTheStoreSignerThenServes) {
    const struct {
        std::string bundles, options, error;  // no error: served
    } rows[] = {
        {"ee", "", ""},
        {"", "", "init / error(-11) Error: certificate not found."},
        {"ee", "bad", "init / error(-10) Error: invalid opt argument format."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        fs::remove_all(home.nssDir());
        home.makeNssDb(row.bundles);
        int port = wstest::freePort();
        Lines replies;
        std::thread page([&] {
            replies = wstest::runClient(port, row.error.empty() ? R"([{"op": "send", "text":
                "cert,0,"}, {"op": "recv", "full": true}, {"op": "send", "text": "term"}])"
                                                                : R"([{"op": "recv"}])");
        });
        Outcome outcome = quarnelcmd({"quarnel01:S," + std::to_string(port) + ",20,0," +
                                      mv::test::base64Of(row.options) + ",,c2lkLTE="});
        page.join();
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        Lines log{"cmd-start / cmd execute start.", "ws-open / WebScoket connection ok."};
        if (row.error.empty()) {  // without flag 0x4 the certificate comes in a request document
            ASSERT_EQ(replies.size(), 1u);
            std::string document = mv::test::textOf(
                mv::base64DecodeStr(replies[0].substr(12, replies[0].size() - 14)));
            EXPECT_NE(document.find("sid=\"sid-1\""), std::string::npos) << document;
            log.insert(log.end(),
                       {"api-init / sign api init ok.", "ws-command / cert cmd accept.",
                        "cert / cert command end.", "ws-loop / WebScoket connection end."});
        } else {
            EXPECT_EQ(replies, Lines{R"({"closed": 1006})"});  // no close frame: the agent ends
            log.insert(log.end(), {row.error, "api-init / error(" + row.error.substr(13, 3) +
                                                  ") sign api init error."});
        }
        log.push_back("cmd-end / cmd execute end.");
        EXPECT_EQ(logLines(), log);
    }
}

// mimeapps.list files as other programs and users leave them. "regist" must make our entry the
// default as GLib itself reads the file and "unregist" take back just our line; anything but a
// regular file is refused without blocking. The entry is written before the list's line and
// removed after it, so the list never names a missing entry.
TEST_F(QuarnelCmdTest, hostileMimeappsLists_table) {
    const std::string group = "[Default Applications]\n", html = "text/html=other.desktop;\n";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n",
                      added = "\n[Added Associations]\n" + ours,
                      crlf = "[Default Applications]\r\nk=v\r\n";
    const struct {
        const char* why;
        char kind;  // 'f' a file, 'l' a link to one, 'p' a FIFO, 'q' a link to one, 'd' a
                    // directory, 'e' no list but a FIFO in the desktop entry's place
        std::string before = {}, registered = {}, unregistered = {};  // empty: as before
    } rows[] = {
        {"a second group naming another handler (GLib takes the last value), a duplicate", 'f',
         group + "# mine\n" + theirs + "x-scheme-handler/quarnel01 = dup\n" + html + "\n" + group +
             theirs,
         group + "# mine\n" + ours + html + "\n" + group + ours, group + "# mine\n" + html},
        {"blanks around the header: the same group, ours after its last line", 'f',
         "  [Default Applications] \n" + html + added,
         "  [Default Applications] \n" + html + ours + added},
        {"CR LF line ends stay", 'f', crlf,
         crlf + "x-scheme-handler/quarnel01=quarnel01.desktop;\r\n"},
        {"a group that only we filled goes again, another group's line stays", 'f', added,
         added + "\n" + group + ours},
        {"a link to a file is followed and stays a link", 'l', group + html, group + html + ours},
        {"a FIFO would block its reader", 'p'},
        {"a link to a FIFO as well", 'q'},
        {"a directory", 'd'},
        {"the entry is read for the status too, and never replaced or removed", 'e'},
    };
    const std::string list = dir + "/.config/mimeapps.list", elsewhere = dir + "/elsewhere";
    fs::create_directories(dir + "/.local/share/applications"),
        fs::create_directories(dir + "/.config");
    std::ofstream(dir + "/.local/share/applications/other.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %u\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        fs::remove_all(list), fs::remove(elsewhere), fs::remove(desktopEntry());
        std::string file = row.kind == 'l' || row.kind == 'q' ? elsewhere : list;
        bool regular = row.kind == 'f' || row.kind == 'l';
        if (regular) {
            std::ofstream(file, std::ios::binary) << row.before;
        } else {
            std::string fifo = row.kind == 'e' ? desktopEntry() : file;
            ASSERT_EQ(row.kind == 'd' ? mkdir(list.c_str(), 0700) : mkfifo(fifo.c_str(), 0600), 0);
        }
        if (file == elsewhere) {
            fs::create_symlink(elsewhere, list);
        }
        std::string failed = regular ? "" : "に失敗";
        EXPECT_EQ(quarnelcmd({"regist"}).err,
                  "署名コマンド: レジストリ登録" + failed + "しました。\n");
        // The entry was written first, also when the list was refused.
        EXPECT_EQ(quarnelcmd().err,
                  statusText(row.kind == 'e' ? "の取得に失敗しました。"
                                             : "登録済みです。\n\"" + program + "\" %u"));
        if (regular) {
            EXPECT_EQ(readText(file), row.registered);
            std::string gio = run({"gio", "mime", "x-scheme-handler/quarnel01"}).out;
            EXPECT_THAT(gio.substr(0, gio.find('\n')), ::testing::EndsWith(": quarnel01.desktop"));
        }
        EXPECT_EQ(quarnelcmd({"unregist"}).err,
                  "署名コマンド: レジストリ削除" + failed + "しました。\n");
        EXPECT_EQ(fs::exists(desktopEntry()), !regular);  // kept while the list may name it
        EXPECT_EQ(fs::is_fifo(desktopEntry()), row.kind == 'e');
        EXPECT_EQ(regular ? readText(file) : "",
                  row.unregistered.empty() ? row.before : row.unregistered);
        EXPECT_EQ(fs::is_symlink(list), file == elsewhere);
    }
}

// A client that connects and never sends its upgrade request: the agent closes the connection
// after the launch time-out rather than holding the page's port for ever.
TEST_F(QuarnelCmdTest, silentClient_handshakeEndsAfterTheLaunchTimeOut) {
    int port = wstest::freePort();
    bool closedByAgent = false;
    std::thread page([&] {
        int s = wstest::connectTo(port, "127.0.0.1", 20);
        pollfd fd{s, POLLIN, 0};
        char c;
        closedByAgent = ::poll(&fd, 1, 30000) == 1 && ::recv(s, &c, 1, 0) == 0;
        ::close(s);
    });
    EXPECT_EQ(quarnelcmd({"quarnel01:S," + std::to_string(port) + ",3,0,,,"}).exitCode, 0);
    page.join();
    EXPECT_TRUE(closedByAgent);
    EXPECT_EQ(
        logLines(),
        (Lines{"cmd-start / cmd execute start.", "ws-open / error(-60) WebSocket connection error.",
               "ws-open / open parse: no buffer. (-405)", "cmd-end / cmd execute end."}));
}

// "term" while a command runs, from a page that then goes: the command's late reply fails, and
// the log must still give the reason the loop ended. The command is "vers" padded with blanks,
// which takes the command thread a while to split.
TEST_F(QuarnelCmdTest, termWhileACommandRuns_logsWhyTheLoopEndedNotTheLateReplysFailure) {
    home.makeNssDb("ee");
    int port = wstest::freePort();
    std::thread page([&] {
        wstest::runClient(port, R"([{"op": "sendn", "prefix": "vers", "fill": " ", "n": 33554432},
                                    {"op": "send", "text": "term"}, {"op": "drop"},
                                    {"op": "sleep", "s": 0.5}])");
    });
    Outcome outcome = quarnelcmd({"quarnel01:S," + std::to_string(port) + ",20,0,,,"});
    page.join();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(logLines(), (Lines{
                              "cmd-start / cmd execute start.",
                              "ws-open / WebScoket connection ok.",
                              "api-init / sign api init ok.",
                              "ws-command / vers cmd accept.",
                              "ws-loop / error(-604) WebSocket loop error.",
                              "ws-loop / loop cmd: break. (-604)",
                              "cmd-end / cmd execute end.",
                          }));
}

// Where the log goes, from a page (flag 0x2000) or a local user who was there first: the line
// reaches only a plain file of ours in the temporary directory, or it is lost with the warning.
TEST_F(QuarnelCmdTest, hostileLogPlaces_reachNoOtherFile) {
    int port = wstest::freePort(), holder = wstest::holdPort(port);  // a quick run of 4 lines
    std::string victim = dir + "/.ssh/authorized_keys", name = "QuarnelCmd-error.log";
    fs::create_directories(dir + "/.ssh");
    const struct {
        int flags;
        std::string page;
        char made;  // at the default log: 'o' another user's 0666 file, 's' a symbolic link,
                    // 'h' a hard link (both to the victim), 'f' a FIFO with a reader
        std::string landsIn;  // the log's name, or "" for lost
    } rows[] = {
        {0x2000, victim, 0, "authorized_keys"},  // the user's file: only its name counts
        {0x2000, "C:\\Users\\me\\w.log", 0, "w.log"},
        {0x2000, dir + "/..", 0, name},  // no plain name: the default log
        {0x2000, dir + "/", 0, name},
        {0x2000, ".", 0, name},
        {0x2000, "a\nb.log", 0, name},
        {0, "", 'o', ""},
        {0, "", 's', ""},
        {0, "", 'h', ""},
        {0, "", 'f', ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.page + row.made);
        std::ofstream(victim) << "KEY";
        fs::remove(dir + "/" + (row.landsIn.empty() ? name : row.landsIn));
        if (row.made == 'o') {  // only root can give a file away: it plays nobody's victim
            if (geteuid() != 0)
                continue;
            std::ofstream(defaultLog) << "KEY";
            ASSERT_EQ(chmod(defaultLog.c_str(), 0666) | chown(defaultLog.c_str(), 65534, 65534), 0);
        }
        row.made == 's' ? fs::create_symlink(victim, defaultLog) : void();
        row.made == 'h' ? fs::create_hard_link(victim, defaultLog) : void();
        ASSERT_TRUE(row.made != 'f' || mkfifo(defaultLog.c_str(), 0666) == 0);
        int reader = open(defaultLog.c_str(), O_RDONLY | O_NONBLOCK);
        Outcome r =
            quarnelcmd({"quarnel01:S," + std::to_string(port) + ",1," + std::to_string(row.flags) +
                        ",," + mv::test::base64Of(row.page) + ","});
        char heard[8];
        EXPECT_LE(row.made == 'f' ? read(reader, heard, sizeof heard) : 0, 0);
        close(reader);
        EXPECT_EQ(readText(victim), "KEY");
        if (row.landsIn.empty()) {
            EXPECT_EQ(r.err, "QuarnelCmd: Warning: Log Write Error.\r\n" + defaultLog + "\n");
            EXPECT_TRUE(row.made == 'f' || readText(defaultLog) == "KEY");  // a FIFO would block
        } else {
            EXPECT_EQ(mv::test::logLines(dir + "/" + row.landsIn, true).size(), 4u);
        }
    }
    ::close(holder);
}

// A desktop in code page 932: the page's log name reaches the file system as the page wrote it.
TEST_F(QuarnelCmdTest, logNameOutsideTheCodePage_keepsItsCharacters) {
    if (run({"localedef", "-i", "ja_JP", "-f", "WINDOWS-31J", dir + "/ja_JP.CP932"}).exitCode) {
        GTEST_SKIP() << "localedef cannot build ja_JP.CP932 (Debian package locales)";
    }
    localeEnv = {"LANG=ja_JP.CP932", "LC_ALL=", "LOCPATH=" + dir};
    quarnelcmd({"quarnel01:S,0,1,8192,," + mv::test::base64Of("/x/café.log") + ","});
    EXPECT_EQ(mv::test::logLines(dir + "/café.log", true).size(), 4u);
}

// The file form with what a Downloads folder may hold: only a parameter text of at most 64 KiB
// is taken, and then removed; file times compare as counted from 1601.
TEST_F(QuarnelCmdTest, fileFormDownloads_onlyAParameterTextIsTakenAndRemoved) {
    const std::string text = "B,0,,,,,,,0,0,,0,", pad(64 * 1024 - text.size(), ' ');
    const std::string a = dir + "/Downloads/a.txt", b = dir + "/Downloads/b.txt";
    fs::create_directories(dir + "/Downloads");
    const struct {
        std::string a, b;  // b.txt, when there, is stamped at the epoch and a.txt a year before
        bool taken;        // the newest is taken and removed; any other file stays
    } rows[] = {
        {text + pad, "", true},  // 64 KiB
        {text + pad + " ", "", false},
        {"S,8080,30,0,,,", "", false},  // a WebSocket text, not a batch text
        {text, text, true},
    };
    for (const auto& row : rows) {
        std::ofstream(a) << row.a;
        timespec old[2] = {{-31536000, 0}, {-31536000, 0}}, epoch[2] = {};
        if (!row.b.empty() && (std::ofstream(b) << row.b).flush()) {
            utimensat(AT_FDCWD, a.c_str(), old, 0), utimensat(AT_FDCWD, b.c_str(), epoch, 0);
        }
        quarnelcmd({"quarnel01:F,*.txt"});
        EXPECT_EQ(fs::exists(a), !row.taken || !row.b.empty());
        EXPECT_FALSE(fs::exists(b));
        EXPECT_EQ(logLines()[0],
                  row.taken ? "cmd-start / cmd execute start." : "cmd-end / cmd execute end.");
        fs::remove(a);
    }
}

// A page's unknown command (names are compared exactly) with line breaks, and a flood: one log
// line each, escaped and cut.
TEST_F(QuarnelCmdTest, unknownCommandText_isLoggedEscapedAndCut) {
    int port = wstest::freePort();
    std::thread page([&] {
        wstest::runClient(port,
                          R"([{"op": "send", "text": "VERS,\r\n2026-01-01T00:00:00 forged\u0085"},
            {"op": "recv", "timeout": 10}, {"op": "sendn", "prefix": "y", "fill": "A", "n": 9000},
            {"op": "recv", "timeout": 10}, {"op": "send", "text": "term"}])");
    });
    quarnelcmd({"quarnel01:S," + std::to_string(port) + ",20,2048,,,"});
    page.join();
    Lines log = logLines();
    EXPECT_EQ(log.at(3), "ws-command / error(-10) VERS,\\x0D\\x0A2026-01-01T00:00:00 forged\\x85");
    EXPECT_EQ(log.at(4), "ws-command / error(-10) y" + std::string(4095, 'A'));
}

}  // namespace
