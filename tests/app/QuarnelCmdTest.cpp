// The program itself, launched as a page or a user launches it, in a temporary home without a
// display (message boxes go to standard error), with a real NSS store, SoftHSM2 token, WebSocket
// client, HTTP server and helper programs: each row a launch or a command with the exit code,
// reply, box and log lines it must give.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "signers/Fixtures.h"
#include "support/HttpTestServer.h"
#include "support/WsTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using mv::test::base64Of;
using mv::test::readText;

const std::string ARG_ERROR = "-10,5byV5pWw44Ko44Op44O8KC0xMCk=";  // 引数エラー(-10)
const std::string HASH = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const std::string OK_HASH = "<QrnResponse result=\"OK\"><hash>" + HASH + "</hash></QrnResponse>";
const Lines START{"cmd-start / cmd execute start."}, END{"cmd-end / cmd execute end."};
const Lines UPLOADED{"cert / 証明書取得完了", "httpSend / 証明書通信完了"};

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Lines WS_START =
    START + Lines{"ws-open / WebScoket connection ok.", "api-init / sign api init ok."};
const Lines WS_END = Lines{"ws-loop / WebScoket connection end."} + END;
// The loop's lines after "term" while a command runs.
const Lines LOOP_BROKEN = {"ws-loop / error(-604) WebSocket loop error.",
                           "ws-loop / loop cmd: break. (-604)"};
// A WebSocket run whose server could not open, for `reason`.
Lines openFailed(const std::string& reason) {
    return START + Lines{"ws-open / error(-60) WebSocket connection error.", reason} + END;
}
const Lines SUCCESS = UPLOADED + Lines{"sign / 署名値計算完了", "httpSend / 署名値通信完了"};

// A path of the test server that answers with `text`, or with the bytes of the file `path`.
std::string answer(const std::string& text) {
    return "/answer/" + fixtures::hexOf(mv::test::bytesOf(text));
}
std::string answerFile(const std::string& path) {
    return "/file/" + fixtures::hexOf(mv::test::bytesOf(path));
}

// Successful answers of a hostile page or server, with entities that refer to entities: empty
// ones three levels deep, referenced a thousand times (cubic work in the parser); and one of
// 1 MiB ten by ten by ten, referenced in text and as an Id (expanded whole wherever the Id is
// read). Either is refused at once.
std::string entityAnswer(bool large) {
    auto times = [](const std::string& text, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) {
            out += text;
        }
        return out;
    };
    std::string types = "<!ENTITY a0 \"\"><!ENTITY a1 \"" + times("&a0;", 1000) +
                        "\"><!ENTITY a2 \"" + times("&a1;", 1000) + "\">",
                body = times("&a2;", 1000);
    if (large) {
        types = "<!ENTITY a0 \"" + std::string(1 << 20, 'x') + "\">";
        for (int level = 1; level <= 3; ++level) {
            types += "<!ENTITY a" + std::to_string(level) + " \"" +
                     times("&a" + std::to_string(level - 1) + ";", 10) + "\">";
        }
        body = "<v Id=\"&a3;\">&a3;</v>";
    }
    return "<!DOCTYPE QrnResponse [" + types + "]><QrnResponse Id=\"x\" result=\"OK\"><hash>" +
           HASH + "</hash>" + body + "</QrnResponse>";
}

// A successful answer whose top element has 64,000 attributes: libxml2 compares each with all
// those before it.
std::string crowdedAnswer() {
    std::string text = "<QrnResponse result=\"OK\"";
    for (int n = 0; n < 64000; ++n) {
        text += " a" + std::to_string(n) + "=\"\"";
    }
    return text + "><hash>" + HASH + "</hash></QrnResponse>";
}

// Runs `work` on a thread whose file-system uid is 65534: the sockets it makes are that user's
// (which needs root).
void asAnotherUser(const std::function<void()>& work) {
    std::thread([&] {
        syscall(SYS_setfsuid, 65534);
        work();
    }).join();
}

// `n` connections of uid 65534 to the port, started without waiting for them to be taken.
std::vector<int> connectAsAnotherUser(int port, int n) {
    std::vector<int> sockets;
    asAnotherUser([&] {
        for (int i = 0; i < n; ++i) {
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in address = wstest::loopback(port);
            ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
            sockets.push_back(s);
        }
    });
    return sockets;
}

void closeAll(const std::vector<int>& sockets) {
    for (int s : sockets) {
        ::close(s);
    }
}

// The connection ends with a reset by `deadline` (10 s from now unless given), not in order and
// not with data. Several checked against one deadline get that long in all, not each.
bool readsReset(int socket,
                std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() +
                                                                 std::chrono::seconds(10)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{socket, POLLIN, 0};
    char byte;
    return ::poll(&readable, 1, std::max<int>(0, static_cast<int>(left.count()))) == 1 &&
           ::recv(socket, &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNRESET;
}

// The agent serving `port`, once its port listens: its pid, or -1 after 10 s.
pid_t agentListeningOn(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    const std::string launch = "quarnel01:S," + std::to_string(port) + ",";
    for (int tries = 0; tries < 500; ++tries) {
        bool listening = false;
        std::ifstream table("/proc/net/tcp");
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string slot, address, remote, state;
            fields >> slot >> address >> remote >> state;
            listening = listening || (address == local && state == "0A");
        }
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (!listening || name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::string arguments = readText(entry.path() / "cmdline");
            size_t second = arguments.find('\0');
            if (second != std::string::npos &&
                arguments.compare(second + 1, launch.size(), launch) == 0) {
                return std::stoi(name);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// A page on a socket of the test's own, so that a row can tell when its connection was taken;
// then the upgrade and masked frames as a browser sends them.
class RawPage {
public:
    ~RawPage() {
        if (socket >= 0) {
            ::close(socket);
        }
    }
    // Starts connecting to the port; true when the connection is taken within `ms`.
    bool connect(int port, int ms) {
        socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address = wstest::loopback(port);
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd writable{socket, POLLOUT, 0};
        int error = -1;
        socklen_t length = sizeof error;
        return ::poll(&writable, 1, ms) == 1 &&
               ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    // Once the connection is taken (10 s at most), the upgrade request; the answer's status line.
    std::string upgrade() {
        pollfd writable{socket, POLLOUT, 0};
        ::poll(&writable, 1, 10000);
        ::fcntl(socket, F_SETFL, 0);
        timeval wait{10, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const std::string request =
            "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
        std::string answer;
        char next;
        while (answer.find("\r\n\r\n") == std::string::npos && ::recv(socket, &next, 1, 0) == 1) {
            answer.push_back(next);
        }
        return answer.substr(0, answer.find("\r\n"));
    }
    void send(const std::string& text) {
        const unsigned char key[4] = {0x12, 0x34, 0x56, 0x78};
        std::string frame = {'\x81', static_cast<char>(0x80 | text.size())};
        frame.append(reinterpret_cast<const char*>(key), 4);
        for (size_t i = 0; i < text.size(); ++i) {
            frame.push_back(static_cast<char>(text[i] ^ key[i % 4]));
        }
        ::send(socket, frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    // Sends a short command; its reply's text, or "" when none came.
    std::string command(const std::string& text) {
        send(text);
        unsigned char header[2];
        if (!receive(header, 2)) {
            return "";
        }
        size_t length = header[1] & 0x7F;
        if (length == 126) {
            unsigned char wide[2];
            if (!receive(wide, 2)) {
                return "";
            }
            length = (size_t{wide[0]} << 8) | wide[1];
        }
        std::string reply(length, '\0');
        return receive(reinterpret_cast<unsigned char*>(reply.data()), length) ? reply : "";
    }

private:
    bool receive(unsigned char* data, size_t length) {
        for (size_t got = 0; got < length;) {
            ssize_t n = ::recv(socket, data + got, length - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int socket = -1;
};

// `text` (ASCII) in UTF-16LE after its byte order mark.
std::string utf16WithMark(const std::string& text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

class QuarnelCmdTest : public ::testing::Test {
protected:
    fixtures::TempHome home;  // HOME with room for the user's NSS store
    std::string dir = home.home;
    std::string program = fs::canonical(QUARNELCMD_PATH).string();
    std::string defaultLog = home.file("QuarnelCmd-error.log");
    std::string desktopEntry = dir + "/.local/share/applications/quarnel01.desktop";
    std::vector<std::string> localeEnv = {"LANG=C.UTF-8", "LC_ALL="};
    mv::test::HttpTestServer server;
    mv::test::Outcome last;
    // A copy of the program in a directory of its own, as installed; its helpers go beside it.
    const std::string bin = dir + "/bin", copy = bin + "/quarnelcmd";
    void installCopy() {
        fs::create_directories(bin + "/sub");
        fs::copy_file(program, copy);
    }

    // The machine's own XDG directories and desktop stay out: the lists of XDG_CONFIG_DIRS and
    // the desktop's own list (test-mimeapps.list) are the test's, in its home.
    mv::test::Outcome run(std::vector<std::string> argv) {
        std::vector<std::string> env = {
            "XDG_DATA_DIRS=" + dir + "/none", "XDG_CONFIG_DIRS=" + dir + "/etc/xdg",
            "XDG_CURRENT_DESKTOP=Test", "DBUS_SESSION_BUS_ADDRESS=disabled:"};
        env.insert(env.end(), localeEnv.begin(), localeEnv.end());
        return mv::test::launch(argv, env);
    }
    // Bounded, so that a run that blocks fails its test instead of stalling the suite.
    mv::test::Outcome quarnelcmd(std::vector<std::string> args = {},
                                 const std::string& limit = "60", const std::string& file = "") {
        args.insert(args.begin(), {"timeout", limit, file.empty() ? program : file});
        return last = run(args);
    }
    // A log's lines without their time stamps; each must have one.
    Lines log(const std::string& file = "") {
        return mv::test::logLines(file.empty() ? defaultLog : file, true);
    }
    // WebSocket mode as a page starts it: "quarnel01:S,<port>," and `params`, while ws_client.py
    // plays `plan`; the client's lines. `file` and `limit` as for quarnelcmd.
    Lines page(const std::string& params, const std::string& plan, const std::string& file = "",
               int port = wstest::freePort(), const std::string& limit = "60") {
        Lines replies;
        std::thread client([&] { replies = wstest::runClient(port, plan); });
        quarnelcmd({"quarnel01:S," + std::to_string(port) + "," + params}, limit, file);
        client.join();
        EXPECT_EQ(last.exitCode, 0) << last.err;
        return replies;
    }
    // The signature in a reply or an upload (hexadecimal, alone or in a request document) verifies
    // over HASH with the key of "ee".
    static void expectSignature(const std::string& text) {
        size_t open = text.find("<sign>"), close = text.find("</sign>");
        std::string hex =
            open == std::string::npos ? text : text.substr(open + 6, close - open - 6);
        EXPECT_EQ(fixtures::verify("ee", "sha256", mv::hexToBytes(HASH), mv::hexToBytes(hex)), 0);
    }
    std::string statusText(const std::string& state) const {
        return "署名コマンド: QuarnelCmd v1.1.R1\n状態：レジストリ(quarnel01)" + state + "\n";
    }
    // The status box for the handler `command` runs, or for none.
    std::string statusOf(const std::string& command) const {
        return statusText(command.empty() ? "未登録です。" : "登録済みです。\n" + command);
    }
    // "regist" when `command` is registered: asked first; without a display the answer is Cancel.
    static std::string overwriteQuestion(const std::string& command) {
        return "署名コマンド: レジストリ登録済みです。\n上書きしますか？\n" + command + "\n";
    }
};

// With nothing registered: every run exits 0; a URL run writes its log, any other command line
// shows a box (on standard error here) and writes none.
TEST_F(QuarnelCmdTest, commandLineTable_boxesAndLogLinesWithNothingRegistered) {
    const struct {
        std::vector<std::string> args;
        std::string err;
        Lines log;
    } rows[] = {
        {{"quarnel01:"}, "", END},
        {{"quarnel01:S,8080,30,0,,,,"}, "", END},  // unusable parameters
        {{"QUARNEL01:S,8080,30,0,,,"}, statusText("未登録です。"), {}},
        {{"regist", "now"}, statusText("未登録です。"), {}},
        {{"Regist"}, statusText("未登録です。"), {}},
        {{"unregist"}, "署名コマンド: レジストリ未登録です。\n削除できません。\n", {}},
        {{"unregist-POSTX"}, "署名コマンド: レジストリ削除に失敗しました。\n", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0]);
        fs::remove(defaultLog);
        EXPECT_EQ(quarnelcmd(row.args).exitCode, 0);
        EXPECT_EQ(last.err, row.err);
        EXPECT_EQ(log(), row.log);
    }
}

// mimeapps.list files as other programs and users leave them. "regist" must make our entry the
// default as GLib itself reads the file and "unregist" take back just our line; anything but a
// regular file is refused without blocking. The entry is written before the list's line and
// removed after it, so the list never names a missing entry.
TEST_F(QuarnelCmdTest, registrationRoundTrip_hostileMimeappsListsTable) {
    const std::string group = "[Default Applications]\n", html = "text/html=other.desktop;\n";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n",
                      added = "\n[Added Associations]\n" + ours,
                      crlf = "[Default Applications]\r\nk=v\r\n";
    const struct {
        const char* why;
        char kind;  // 'f' a file, 'l' a link to one, 'p' a FIFO, 'e' no list but a FIFO in the
                    // desktop entry's place
        std::string before = {}, registered = {}, unregistered = {};  // empty: as before
        std::string asked = {};  // the handler's command when "regist" asks first
    } rows[] = {
        {"a second group naming another handler (GLib takes the last value), a duplicate", 'f',
         group + "# mine\n" + theirs + "x-scheme-handler/quarnel01 = dup\n" + html + "\n" + group +
             theirs,
         group + "# mine\n" + ours + html + "\n" + group + ours, group + "# mine\n" + html,
         "/bin/true %u"},
        {"blanks around the header: the same group, ours after its last line", 'f',
         "  [Default Applications] \n" + html + added,
         "  [Default Applications] \n" + html + ours + added},
        {"CR LF line ends stay", 'f', crlf,
         crlf + "x-scheme-handler/quarnel01=quarnel01.desktop;\r\n"},
        {"a group that only we filled goes again, another group's line stays", 'f', added,
         added + "\n" + group + ours},
        {"a link to a file is followed and stays a link", 'l', group + html, group + html + ours},
        {"a FIFO would block its reader", 'p'},
        {"the entry is read for the status too, and never replaced or removed", 'e'},
    };
    const std::string list = dir + "/.config/mimeapps.list", elsewhere = dir + "/elsewhere";
    const std::string exec = "\"" + program + "\" %u";
    fs::create_directories(dir + "/.local/share/applications"),
        fs::create_directories(dir + "/.config");
    std::ofstream(dir + "/.local/share/applications/other.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %u\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        fs::remove_all(list), fs::remove(elsewhere), fs::remove(desktopEntry);
        std::string file = row.kind == 'l' ? elsewhere : list;
        bool regular = row.kind == 'f' || row.kind == 'l';
        if (regular) {
            std::ofstream(file, std::ios::binary) << row.before;
        } else {
            std::string fifo = row.kind == 'e' ? desktopEntry : file;
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        }
        if (file == elsewhere) {
            fs::create_symlink(elsewhere, list);
        }
        std::string failed = regular ? "" : "に失敗";
        if (!row.asked.empty()) {
            // Registered to another program: "regist" asks, and OK starts "regist-POSTX".
            EXPECT_EQ(quarnelcmd({"regist"}).err, overwriteQuestion(row.asked));
        }
        EXPECT_EQ(quarnelcmd({row.asked.empty() ? "regist" : "regist-POSTX"}).err,
                  "署名コマンド: レジストリ登録" + failed + "しました。\n");
        // The status reads the entry and the list; an unreadable one is a failed read.
        EXPECT_EQ(quarnelcmd().err,
                  statusText(regular ? "登録済みです。\n" + exec : "の取得に失敗しました。"));
        if (regular) {
            EXPECT_EQ(readText(file), row.registered);
            std::string gio = run({"gio", "mime", "x-scheme-handler/quarnel01"}).out;
            EXPECT_THAT(gio.substr(0, gio.find('\n')), ::testing::EndsWith(": quarnel01.desktop"));
            // GLib follows the list alone; other desktops want the entry to name the scheme.
            EXPECT_THAT(readText(desktopEntry),
                        ::testing::ContainsRegex("\nName=URL:QuarnelCmd Protocol\n.*\n"
                                                 "MimeType=x-scheme-handler/quarnel01;\n"));
            EXPECT_EQ(quarnelcmd({"regist"}).err, overwriteQuestion(exec));
        }
        EXPECT_EQ(quarnelcmd({"unregist"}).err,
                  "署名コマンド: レジストリ削除" + failed + "しました。\n");
        EXPECT_EQ(fs::exists(desktopEntry), !regular);  // kept while the list may name it
        EXPECT_EQ(regular ? readText(file) : "",
                  row.unregistered.empty() ? row.before : row.unregistered);
    }
    // Another default chosen through GLib is what links open, and what the status shows.
    // Registering again keeps what others put into our entry: their keys and their groups.
    fs::remove_all(list), fs::remove(desktopEntry), fs::remove(elsewhere);
    quarnelcmd({"regist"});
    const std::string action = "[Desktop Action a]\nName=A\nExec=/bin/true a\n";
    std::ofstream(desktopEntry, std::ios::app) << "X-Other=kept\n" << action;
    run({"gio", "mime", "x-scheme-handler/quarnel01", "other.desktop"});
    EXPECT_EQ(quarnelcmd().err, statusOf("/bin/true %u"));
    EXPECT_EQ(quarnelcmd({"regist-POSTX"}).err, "署名コマンド: レジストリ登録しました。\n");
    EXPECT_EQ(quarnelcmd().err, statusOf(exec));
    EXPECT_THAT(readText(desktopEntry), ::testing::HasSubstr("\nX-Other=kept\n" + action));
}

// The status is what links open, as the desktop resolves every list and entry, whichever program
// that is: "regist" asks before it overwrites it, and "unregist" removes what is ours and leaves
// another program's handler in place.
TEST_F(QuarnelCmdTest, registrationStatus_whatLinksOpen_table) {
    const std::string group = "[Default Applications]\n", exec = "\"" + program + "\" %u";
    const std::string ours = "x-scheme-handler/quarnel01=quarnel01.desktop;\n",
                      theirs = "x-scheme-handler/quarnel01=other.desktop;\n";
    const std::string elsewhere = dir + "/elsewhere";
    const std::string config = ".config/mimeapps.list", other = "/bin/true %u";
    const struct {
        const char* why;
        std::string registeredBy;  // the program that ran "regist", or none
        std::string command;       // what the status shows
        bool removed;              // "unregist" removed something of ours
        std::string after;         // what the status shows after it
        std::vector<std::pair<std::string, std::string>> lists;  // in place of the registered one
    } rows[] = {
        // clang-format off
        {"our entry through an added association alone", program, exec, true, "",
         {{config, "[Added Associations]\n" + ours}}},
        {"our entry the default only in a list of XDG_CONFIG_DIRS", program, exec, true, "",
         {{"etc/xdg/mimeapps.list", group + ours}}},
        {"our entry, run by another copy of the agent", elsewhere, "\"" + elsewhere + "\" %u",
         true, "", {{config, group + ours}}},
        {"the desktop's own list names another handler", program, other, true, other,
         {{config, group + ours}, {".config/test-mimeapps.list", group + theirs}}},
        {"another handler, nothing of ours", "", other, false, other, {{config, group + theirs}}},
        // clang-format on
    };
    fs::copy_file(program, elsewhere);
    fs::create_directories(dir + "/.local/share/applications");
    fs::create_directories(dir + "/etc/xdg");
    std::ofstream(dir + "/.local/share/applications/other.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other\nExec=" << other << "\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        for (const char* each :
             {".config/mimeapps.list", ".config/test-mimeapps.list", "etc/xdg/mimeapps.list",
              ".local/share/applications/quarnel01.desktop"}) {
            fs::remove(dir + "/" + each);
        }
        if (!row.registeredBy.empty()) {
            EXPECT_EQ(quarnelcmd({"regist"}, "60", row.registeredBy).err,
                      "署名コマンド: レジストリ登録しました。\n");
            fs::remove(dir + "/.config/mimeapps.list");
        }
        for (const auto& [path, text] : row.lists) {
            std::ofstream(dir + "/" + path) << text;
        }
        EXPECT_EQ(quarnelcmd().err, statusOf(row.command));
        EXPECT_EQ(quarnelcmd({"regist"}).err, overwriteQuestion(row.command));
        EXPECT_EQ(quarnelcmd({"unregist"}).err, std::string("署名コマンド: レジストリ削除") +
                                                    (row.removed ? "" : "に失敗") + "しました。\n");
        EXPECT_FALSE(fs::exists(desktopEntry));
        EXPECT_EQ(quarnelcmd().err, statusOf(row.after));
    }
}

// WebSocket runs that end early. A failed set-up of the store signer (the page's options reach
// it) ends the run before any command is served. "term" while a command runs, from a page that
// then goes: the command's late reply fails, and the log must still give the reason the loop
// ended, before the run's end (the command is "vers" padded with blanks, which takes the command
// thread a while to split: its accept line may come before the loop's lines or after them).
TEST_F(QuarnelCmdTest, webSocketMode_earlyEnds_logWhyTheRunEnded) {
    home.makeNssDb("ee");
    const struct {
        std::string options, plan;
        Lines log;
        std::string racing;  // a line of the command thread's that may stand anywhere after start
    } rows[] = {
        {"bad", R"([{"op": "recv"}])",
         START + Lines{"ws-open / WebScoket connection ok.",
                       "init / error(-10) Error: invalid opt argument format.",
                       "api-init / error(-10) sign api init error."},
         ""},
        {"", R"([{"op": "sendn", "prefix": "vers", "fill": " ", "n": 33554432},
                {"op": "send", "text": "term"}, {"op": "drop"}, {"op": "sleep", "s": 0.5}])",
         WS_START + LOOP_BROKEN, "ws-command / vers cmd accept."},
    };
    for (const auto& row : rows) {
        page("20,0," + base64Of(row.options) + ",,", row.plan);
        Lines got = log();
        if (!row.racing.empty()) {
            EXPECT_EQ(std::erase(got, row.racing), 1u);
        }
        EXPECT_EQ(got, row.log + END);
    }
}

// The page's commands to the store signer, one after another in one run, with the reply and the
// log lines of each. Without flag 0x4 certificates and signatures come in request documents,
// which carry the page's sid.
TEST_F(QuarnelCmdTest, webSocketMode_storeSignerCommandTable) {
    home.makeNssDb("ee");
    ASSERT_TRUE(server.start({"--log", dir + "/http.log"}));
    const std::string url = server.url(), okTo = answer(OK_HASH),
                      redirectTo = answer("<QrnResponse result=\"ok\" redirect=\"r\"/>"),
                      okTypo = answer("<QrnResponse result=\"Ok\"/>"),
                      utf16Ok = answer(utf16WithMark(OK_HASH));
    auto http = [&](const std::string& path) { return "http," + base64Of(path) + ",eA==,,0"; };
    auto argError = [](const std::string& tag) { return tag + " / error(-10) 引数エラー(-10)"; };
    auto end = [](const std::string& tag) { return tag + " / " + tag + " command end."; };
    const std::string notWellFormed = "-141," + base64Of("Enveloped指定のエラー(-141)");
    const Lines xdesRefused = {"xades / error(-141) xades cmd error.",
                               "xades / error(-141) Enveloped指定のエラー(-141)"},
                pxmlRefused = {"pxml / error(-10) ", argError("pxml")};
    // A page's document as its author laid it out: the signed document keeps it byte for byte
    // (checked below the table).
    const std::string indented = "<r Id=\"x\">\n  <a>1</a>\n  <b>2</b>\n</r>";
    // clang-format off
    const struct {
        std::string frame, reply;  // an empty reply is checked below the table
        Lines log;                 // after the command's accept line, if it has one
        int seconds = 10;          // the most the reply may take
    } rows[] = {
        {"cert,1", ARG_ERROR, {argError("cert")}},
        {"cert,0,", "", {end("cert")}},
        {"sign,0," + base64Of(OK_HASH) + ",0,", "", {end("sign")}},
        {"xdes,0,0," + base64Of(indented) + ",eA==,,", "", {end("xades")}},
        {"sign,0," + base64Of("<QrnResponse result=\"Ok\"><hash>00</hash></QrnResponse>") + ",0,",
         ARG_ERROR, {"sign / error(-10) Ok", argError("sign")}},
        {"xdes,0,0," + base64Of("<a Id=\"x\"/>") + ",,,", ARG_ERROR,  // an empty Id is refused
         {"xades / error(-10) xades cmd error.", argError("xades")}},
        {http(url + answer("error:\r\nx")), "-20," + base64Of("error:\r\nx"),
         {"httpSend / " + url + answer("error:\r\nx"), "http / error:\\x0D\\x0Ax"}},
        {http(url + answer("Error:x")), "0," + base64Of("Error:x"),  // case matters
         {"httpSend / " + url + answer("Error:x"), end("http")}},
        {http(url + answer("errors")), "0," + base64Of("errors"),  // the colon is part of it
         {"httpSend / " + url + answer("errors"), end("http")}},
        {http(url + "/zero"), "-20," + base64Of("HTTP通信エラー(-20)"),
         {"httpSend / " + url + "/zero", "HttpConnect:request / error(-20) No message.",
          "http / error(-20) HTTP通信エラー(-20)"}},
        // A failure status is the answer at once: its 3,000 bytes trickling over 30 s are not
        // waited for (the reply is awaited 10 s).
        {http(url + "/trickle/404/30/10"), "-20," + base64Of("HTTP通信エラー(-20)"),
         {"httpSend / " + url + "/trickle/404/30/10",
          "HttpConnect:request / error(-20) HTTP STATUS = 404",
          "http / error(-20) HTTP通信エラー(-20)"}},
        {"exec,0,," + base64Of(url + okTo) + ",0,,0," + base64Of(url + redirectTo) + ",,0",
         "0," + base64Of("r"),
         {end("cert"), "httpSend / " + url + okTo, "http / cert http command end.", "http / " + HASH,
          end("sign"), "httpSend / " + url + redirectTo, "http / sign http command end.",
          "http / r", end("exec")}},
        {"exec,0,," + base64Of(url + okTypo) + ",0,,0,,,0", ARG_ERROR,
         {end("cert"), "httpSend / " + url + okTypo, "pxml / error(-10) Ok", argError("exec.pxml1")}},
        // UTF-16 after its byte order mark, from a server or a page: UTF-8 up to the first zero
        // byte, no markup (batch mode decodes it by its mark).
        {"exec,0,," + base64Of(url + utf16Ok) + ",0,,0,,,0", ARG_ERROR,
         {end("cert"), "httpSend / " + url + utf16Ok, "pxml / error(-10) ", argError("exec.pxml1")}},
        {"pxml," + base64Of(utf16WithMark(OK_HASH)), ARG_ERROR, pxmlRefused},
        {"pxml," + base64Of("<QrnResponse result=\"ok\"/>"), "0,", {end("pxml")}},
        {"pxml," + base64Of(entityAnswer(false)), ARG_ERROR, pxmlRefused},
        {"pxml," + base64Of(entityAnswer(true)), ARG_ERROR, pxmlRefused},
        {"xdes,0,0," + base64Of(entityAnswer(false)) + ",eA==,,", notWellFormed, xdesRefused},
        {"xdes,0,0," + base64Of(entityAnswer(true)) + ",eA==,,", notWellFormed, xdesRefused},
        // Past libxml2's first read a declared encoding would decode the rest: the answer is read
        // as the UTF-8 it is, so markup written in UTF-7 is text outside the top element, at once.
        {"pxml," + base64Of(mv::test::hiddenUnderUtf7(entityAnswer(false))), ARG_ERROR,
         pxmlRefused, 1},
        {"pxml," + base64Of(mv::test::hiddenUnderUtf7(crowdedAnswer())), ARG_ERROR,
         pxmlRefused, 1},
        {"pxml," + base64Of(mv::test::afterPadding("UTF-7", "<QrnResponse result=\"OK\"><hash>"
                                                        "+AEEAQgBD-</hash></QrnResponse>")),
         "0," + base64Of("+AEEAQgBD-"), {end("pxml")}},
        {"pxml," + base64Of(mv::test::japaneseAnswer("Shift_JIS", "日本")), "0," + base64Of("日本"),
         {end("pxml")}},
        {"pxml," + base64Of(mv::test::japaneseAnswer("EUC-JP", "日本")), "0," + base64Of("日本"),
         {end("pxml")}},
        {"pxml," + base64Of("<QrnResponse result=\"OK\" redirect=\"r\"><hash>00</hash>"
                            "</QrnResponse>"),
         "0," + base64Of("r"), {end("pxml")}},  // the redirect before the hash
        // Helper programs are plain names beside the program file.
        {http("file:///sub/x?-a"), ARG_ERROR,
         {"debugExe / " + fs::path(program).parent_path().string() + "/sub/x", "debugExe / -a",
          "debugExe / error(-10) Invalid hostname.", argError("http")}},
        // Names compare exactly; the page's unknown text can neither forge nor flood the log.
        {"VERS,\\r\\n2026-01-01T00:00:00 forged\\u0085\\u009F", ARG_ERROR,
         {"ws-command / error(-10) VERS,\\x0D\\x0A2026-01-01T00:00:00 forged\\x85\\x9F"}},
        {"y" + std::string(9000, 'A'), ARG_ERROR,
         {"ws-command / error(-10) y" + std::string(4095, 'A')}},
    };
    // clang-format on
    std::string plan = "[";
    Lines lines = WS_START;
    for (const auto& row : rows) {
        plan += R"({"op": "send", "text": ")" + row.frame + R"("}, {"op": "recv", "timeout": )" +
                std::to_string(row.seconds) + "},";
        if (row.log[0].rfind("ws-command", 0) != 0) {
            lines.push_back("ws-command / " + row.frame.substr(0, 4) + " cmd accept.");
        }
        lines = lines + row.log;
    }
    Lines got = page("20,0,,," + base64Of("sid-1"), plan + R"({"op": "send", "text": "term"}])");
    ASSERT_EQ(got.size(), std::size(rows));
    for (size_t i = 0; i < got.size(); ++i) {
        got[i] = got[i].substr(10, got[i].size() - 12);  // {"recv": "<reply>"}
        EXPECT_EQ(got[i], rows[i].reply.empty() ? got[i] : rows[i].reply) << rows[i].frame;
    }
    EXPECT_THAT(mv::test::textOf(mv::base64DecodeStr(got[1].substr(2))),
                ::testing::HasSubstr("sid=\"sid-1\""));
    expectSignature(mv::test::textOf(mv::base64DecodeStr(got[2].substr(2))));
    EXPECT_THAT(mv::test::textOf(mv::base64DecodeStr(got[3].substr(2))),
                ::testing::HasSubstr("<r Id=\"x\">\n  <a>1</a>\n  <b>2</b>\n<Signature "));
    EXPECT_EQ(log(), lines + WS_END);
}

// "stat" with the PKCS#11 signer on a SoftHSM2 token: the token's state, and a failure answered
// and logged as one, not as a state. SoftHSM2 reads its configuration at each C_Initialize:
// removed once the set-up is done (the page's first reply), it fails the state's query.
TEST_F(QuarnelCmdTest, webSocketMode_statTable_tokenStateOrFailure) {
    home.addSoftHsmToken("ee");
    const std::string conf = readText(home.file("softhsm2.conf"));
    const struct {
        bool removed;
        std::string reply;
        Lines log;
    } rows[] = {
        {false, "1,", {"stat / stat command end."}},
        {true,
         "-11," + base64Of("証明書が見つからない(-11)"),
         {"stat / error(-11) 証明書が見つからない(-11)"}},
    };
    for (const auto& row : rows) {
        std::ofstream(home.file("softhsm2.conf")) << conf;
        std::thread remover([&] {
            for (int i = 0; i < 1000 && row.removed; ++i) {
                if (readText(defaultLog).find("vers cmd accept.") != std::string::npos) {
                    fs::remove(home.file("softhsm2.conf"));
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        Lines got =
            page("20,1," + base64Of(fixtures::TempHome::softHsmLibrary()) + ",,",
                 R"([{"op": "send", "text": "vers"}, {"op": "recv"}, {"op": "sleep", "s": )" +
                     std::string(row.removed ? "3" : "0") +
                     R"(}, {"op": "send", "text": "stat"}, {"op": "recv"},
                             {"op": "send", "text": "term"}])");
        remover.join();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[1], R"({"recv": ")" + row.reply + R"("})") << row.removed;
        const Lines accepted = {"ws-command / vers cmd accept.", "ws-command / stat cmd accept."};
        EXPECT_EQ(log(), WS_START + accepted + row.log + WS_END) << row.removed;
    }
}

// A client that connects and never sends its upgrade request: the agent closes the connection
// after the launch time-out rather than holding the page's port for ever.
// A page's "http" behind an office's proxy that tunnels CONNECT and asks for the credentials in
// its address, as the environment names it for both schemes: a server's redirect from http to
// https arrives through a tunnel of its own, and a server that offers only Basic gets the user's
// credentials through it. A server's challenge in a scheme that nothing here knows fails at once,
// its body never waited for.
TEST_F(QuarnelCmdTest, webSocketMode_behindAProxy_redirectsAndChallengesAsCurlTakesThem) {
    home.makeNssDb("ee");
    const std::string certs = fixtures::certDir();
    mv::test::HttpTestServer tls, proxy;
    ASSERT_TRUE(server.start({"--log", dir + "/http.log"}));
    ASSERT_TRUE(tls.start({"--log", dir + "/https.log", "--cert", certs + "/server.pem", "--key",
                           certs + "/server.key"}));
    ASSERT_TRUE(proxy.start({"--log", dir + "/proxy.log", "--proxy", base64Of("pu:pp")}));
    const std::string through = "http://pu:pp@" + proxy.url().substr(7);
    mv::test::ScopedEnv trust("SSL_CERT_FILE", certs + "/ca.pem"), http("http_proxy", through),
        https("https_proxy", through), all("ALL_PROXY", std::nullopt),
        none("no_proxy", std::nullopt), noneUpper("NO_PROXY", std::nullopt),
        user("MV_PROXY_USERNAME", "signer"), password("MV_PROXY_PASSWORD", "pw");
    const std::string moved =
        server.url() + "/raw/" +
        base64Of("HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: " + tls.url("https") +
                 "/echo/moved\r\n\r\n");
    const std::string basic = tls.url("https") + "/auth/" + base64Of("signer:pw"),
                      bogus = tls.url("https") + "/stall/" +
                              base64Of(
                                  "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bogus "
                                  "realm=\"q\"\r\nContent-Length: 100\r\n\r\n");
    auto send = [](const std::string& address) {
        return R"({"op": "send", "text": "http,)" + base64Of(address) +
               R"(,eA==,,0"}, {"op": "recv", "timeout": 20}, )";
    };
    Lines got = page("30,0,,,", "[" + send(moved) + send(basic) + send(bogus) +
                                    R"({"op": "send", "text": "term"}])");
    ASSERT_EQ(got.size(), 3u);
    const std::string prefix = "{\"recv\": \"0,";
    ASSERT_EQ(got[0].rfind(prefix, 0), 0u) << got[0];
    const std::string echoed = mv::test::textOf(
        mv::base64DecodeStr(got[0].substr(prefix.size(), got[0].size() - prefix.size() - 2)));
    EXPECT_EQ(echoed.substr(0, echoed.find('\n')), "GET /echo/moved");
    EXPECT_EQ(got[1], "{\"recv\": \"0," + base64Of("welcome") + "\"}");
    EXPECT_EQ(got[2], "{\"recv\": \"-20," + base64Of("HTTP通信エラー(-20)") + "\"}");
    EXPECT_THAT(log(), ::testing::Contains("HttpConnect:request / error(-20) HTTP STATUS = 401"));
    // Each command's first request is asked for the proxy's credentials, a tunnel too; the
    // redirect's tunnel carries them at once.
    const std::string answered = " Proxy-Authorization: Basic " + base64Of("pu:pp") + "\n",
                      connect = "CONNECT 127.0.0.1:" + tls.url().substr(17),
                      asked = connect + "\n" + connect + answered;
    EXPECT_EQ(mv::test::readText(dir + "/proxy.log"),
              "POST " + moved + "\nPOST " + moved + answered + connect + answered + asked + asked);
}

TEST_F(QuarnelCmdTest, silentClient_handshakeEndsAfterTheLaunchTimeOut) {
    int port = wstest::freePort();
    std::thread agent([&] { quarnelcmd({"quarnel01:S," + std::to_string(port) + ",3,0,,,"}); });
    int silent = wstest::connectTo(port, "127.0.0.1", 20);
    agent.join();  // a wait for ever ends at the test's limit, without the lines below
    ::close(silent);
    EXPECT_EQ(log(), openFailed("ws-open / open parse: no buffer. (-405)"));
}

// What comes to the page's port besides the page, and the page's own session, each row as a
// local attacker or a stray client of the user's own plays it; the page is served every time.
// - A client of another user (uid 65534) connects first, to take the page's session: it is closed
//   at once and logged, and the wait goes on. Also while that user holds thousands of loopback
//   connections (each listed in the kernel's socket tables) and connects and closes from many
//   threads to keep the page out, and while two of that user's processes connect and close as
//   fast as they can, which kept a short queue of connections full so that the page's own
//   connection was dropped: the page still gets in within the launch time-out (how long it
//   waited, the refusals logged and the log's size are printed).
// - A hundred and one clients of that user that say nothing, one after another: each reads a
//   reset, not an orderly end; the first hundred are listed, the last counted in one line.
// - A client of the user's own that half-closes, or closes, before its request (as it comes, or
//   once the agent has taken it): refused as such, not taken for the page (whose run would then
//   end with nothing received).
// - The agent held stopped (SIGSTOP, as a loaded machine may hold it) while ten of that user's
//   clients connect: the page connecting after them still finds room in the queue at once.
// - Once the page is in, the queue is short again: a client that waited in it while the page
//   sent its request is reset, and of 300 more only a handful find a place. Eight of the user's
//   own that waited there (more than the short queue holds) are each reset, not only the first,
//   and the page's session goes on.
TEST_F(QuarnelCmdTest, clientsThatAreNotThePage_areRefusedAndLogged_thePageIsServed) {
    const Lines nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (geteuid() != 0 || run(nobody + Lines{"/bin/true"}).exitCode != 0) {
        GTEST_SKIP() << "this machine cannot run a process as uid 65534 (needs root)";
    }
    home.makeNssDb("ee");
    const std::string theirsRefused =
                          "ws-open / WebSocket client of another user refused (uid 65534).",
                      closedRefused =
                          "ws-open / WebSocket client closed before its request refused.";
    const std::string cert = R"([{"op": "send", "text": "cert,0,"}, {"op": "recv"})";
    auto thePage = [&](int port) {
        Lines ours = wstest::runClient(port, cert + R"(, {"op": "send", "text": "term"}])");
        ASSERT_EQ(ours.size(), 1u);
        EXPECT_THAT(ours[0], ::testing::StartsWith("{\"recv\": \"0,"));
    };
    auto theirs = [&](int port) {
        Lines got = wstest::runClient(port, cert + "]", nobody);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_THAT(got[0], ::testing::StartsWith("{\"connect_error\": "));
    };
    const struct {
        const char* why;
        int held, workers, launchTimeout;
        const char* kind;  // of the flood's workers
        // Plays the others and the page on the port of the agent `agent` (its pid once it
        // listens).
        std::function<void(int port, pid_t agent)> play;
        Lines refused;  // the refusal lines; none checked exactly for a flood
    } rows[] = {
        {"one client",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             theirs(port);
             thePage(port);
         },
         {theirsRefused}},
        {"under a flood",
         6000,
         100,
         5,
         "threads",
         [&](int port, pid_t) {
             theirs(port);
             thePage(port);
         },
         {}},
        {"under two processes that connect and close",
         0,
         2,
         5,
         "processes",
         [&](int port, pid_t) {
             theirs(port);
             thePage(port);
         },
         {}},
        {"a hundred and one that say nothing", 0, 0, 30, "",
         [&](int port, pid_t) {
             int resets = 0;
             asAnotherUser([&] {
                 for (int n = 0; n < 101; ++n) {
                     int s = wstest::connectTo(port);
                     timeval wait{10, 0};
                     ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
                     char byte;
                     resets += ::recv(s, &byte, 1, 0) < 0 && errno == ECONNRESET ? 1 : 0;
                     ::close(s);
                 }
             });
             EXPECT_EQ(resets, 101);
             thePage(port);
         },
         Lines(100, theirsRefused) + Lines{"ws-open / WebSocket clients refused: 1 more, not "
                                           "listed."}},
        {"our own that half-closes first",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             int s = wstest::connectTo(port);
             ::shutdown(s, SHUT_WR);
             thePage(port);
             ::close(s);
         },
         {closedRefused}},
        {"our own that closes first",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             ::close(wstest::connectTo(port));
             thePage(port);
         },
         {closedRefused}},
        {"our own that closes once taken, before its request",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             int s = wstest::connectTo(port);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the agent takes it
             ::close(s);
             thePage(port);
         },
         {closedRefused}},
        {"ten while the agent is stopped", 0, 0, 30, "",
         [&](int port, pid_t agent) {
             ::kill(agent, SIGSTOP);
             std::vector<int> others = connectAsAnotherUser(port, 10);
             RawPage page;
             EXPECT_TRUE(page.connect(port, 500)) << "the page's connection was not taken";
             ::kill(agent, SIGCONT);
             EXPECT_EQ(page.upgrade(), "HTTP/1.1 101 OK");
             EXPECT_THAT(page.command("cert,0,"), ::testing::StartsWith("0,"));
             page.send("term");
             closeAll(others);
         },
         Lines(10, theirsRefused)},
        {"one waiting for the page's request, 300 after it",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             RawPage page;
             EXPECT_TRUE(page.connect(port, 5000));
             std::vector<int> waiting = connectAsAnotherUser(port, 1);
             EXPECT_EQ(page.upgrade(), "HTTP/1.1 101 OK");
             EXPECT_TRUE(readsReset(waiting[0]));
             std::vector<int> after = connectAsAnotherUser(port, 300);
             std::this_thread::sleep_for(std::chrono::milliseconds(500));
             size_t taken = std::count_if(after.begin(), after.end(), [](int s) {
                 sockaddr_in peer{};
                 socklen_t length = sizeof peer;
                 return ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
             });
             std::cout << "after the page: " << taken << " of 300 connections taken\n";
             EXPECT_LE(taken, 8u);
             EXPECT_THAT(page.command("cert,0,"), ::testing::StartsWith("0,"));
             page.send("term");
             closeAll(waiting);
             closeAll(after);
         },
         {}},
        {"eight of our own waiting for the page's request",
         0,
         0,
         30,
         "",
         [&](int port, pid_t) {
             RawPage page;
             EXPECT_TRUE(page.connect(port, 5000));
             std::vector<int> waiting;
             for (int n = 0; n < 8; ++n) {
                 waiting.push_back(wstest::connectTo(port));
             }
             EXPECT_EQ(page.upgrade(), "HTTP/1.1 101 OK");
             // One deadline for all: a client left in the queue must not wait out the agent's
             // run, whose end would reset it too.
             auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             size_t resets = std::count_if(waiting.begin(), waiting.end(),
                                           [&](int s) { return readsReset(s, deadline); });
             EXPECT_EQ(resets, waiting.size());
             EXPECT_THAT(page.command("cert,0,"), ::testing::StartsWith("0,"));
             page.send("term");
             closeAll(waiting);
         },
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_max < static_cast<rlim_t>(2 * row.held + row.workers + 400)) {
            GTEST_SKIP() << "the flood needs more file descriptors than " << files.rlim_max;
        }
        int port = wstest::freePort();
        // The flood holds its connections before the agent starts, so that its set-up takes
        // nothing from the launch time-out.
        FILE* flood = nullptr;
        auto floodSays = [&flood](const char* expected) {
            char said[200] = "";
            if (flood == nullptr || fgets(said, sizeof said, flood) == nullptr ||
                std::string(said) != std::string(expected) + "\n") {
                ADD_FAILURE() << "the flood said \"" << said << "\", not " << expected;
            }
        };
        if (row.workers > 0) {
            // Below the agent's priority: where processors are few (a sanitizer build on two
            // cores), the flood must not win by starving the agent, which no queue can mend.
            std::string command = "nice -n 10 ";
            for (const std::string& word : nobody) {
                command += word + " ";
            }
            command += "/usr/bin/python3 " QUARNEL_TEST_SUPPORT_DIR "/loopback_flood.py " +
                       std::to_string(port) + " " + std::to_string(row.held) + " " +
                       std::to_string(row.workers) + " " + row.kind;
            flood = popen(command.c_str(), "re");
            floodSays("held");
        }
        std::thread agent([&] {
            quarnelcmd({"quarnel01:S," + std::to_string(port) + "," +
                        std::to_string(row.launchTimeout) + ",4,,," + base64Of("s")},
                       "20");
        });
        if (flood != nullptr) {
            floodSays("ready");
        }
        pid_t pid = agentListeningOn(port);
        EXPECT_GT(pid, 0);
        auto start = std::chrono::steady_clock::now();
        if (pid > 0) {
            row.play(port, pid);
        }
        std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
        agent.join();
        if (flood != nullptr) {
            pclose(flood);  // it ends when the agent's port refuses it
        }
        EXPECT_LT(waited.count(), row.launchTimeout);
        // Each refused client is listed, up to a hundred; any more are counted in one line, so
        // that a flood cannot crowd the page's own lines out of the log.
        Lines got = log();
        Lines refusals;
        std::erase_if(got, [&](const std::string& line) {
            bool refusal = line.starts_with("ws-open / WebSocket client");
            if (refusal) {
                refusals.push_back(line);
            }
            return refusal;
        });
        std::cout << row.why << ": the page waited " << waited.count() << " s; " << refusals.size()
                  << " refusal lines, log " << fs::file_size(defaultLog) << " bytes\n";
        const Lines served = {"ws-open / WebScoket connection ok.", "api-init / sign api init ok.",
                              "ws-command / cert cmd accept.", "cert / cert command end."};
        if (row.workers == 0) {
            EXPECT_EQ(log(), START + row.refused + served + WS_END);
            continue;
        }
        {
            size_t listed = 0, unlisted = 0;
            for (const std::string& line : refusals) {
                const std::string prefix = "ws-open / WebSocket clients refused: ";
                if (line.starts_with(prefix) && line.ends_with(" more, not listed.")) {
                    unlisted += std::stoul(line.substr(prefix.size()));
                } else {
                    EXPECT_TRUE(line == theirsRefused || line == closedRefused ||
                                line ==
                                    "ws-open / WebSocket client of another user refused (uid "
                                    "unknown).")
                        << line;
                    ++listed;
                }
            }
            EXPECT_GE(listed, 1u);
            EXPECT_LE(listed, 100u);
            EXPECT_TRUE(unlisted == 0 || listed == 100) << listed << " listed, " << unlisted;
        }
        EXPECT_EQ(got, START + served + WS_END);
    }
}

// Where neither source of a client's owner is there (/proc hidden, and a sandbox that allows no
// netlink socket), the client is refused and logged as any other user's would be, and the wait
// ends at the launch time-out.
TEST_F(QuarnelCmdTest, clientWhoseOwnerCannotBeLearned_isRefusedAndLogged) {
    const Lines withoutProc = {"unshare", "-m", "sh", "-c",
                               R"(mount -t tmpfs none /proc && exec "$0" "$@")"};
    if (run(withoutProc + Lines{"/bin/true"}).exitCode != 0) {
        GTEST_SKIP() << "this machine cannot hide /proc in a mount namespace (needs root)";
    }
    int port = wstest::freePort();
    Lines got;
    std::thread page([&] { got = wstest::runClient(port, R"([{"op": "send", "text": "term"}])"); });
    // Not its exit code: a sanitizer build's leak check cannot run without /proc and fails it.
    run(Lines{"timeout", "60"} + withoutProc +
        Lines{QUARNEL_NO_NETLINK, program, "quarnel01:S," + std::to_string(port) + ",3,0,,,"});
    page.join();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], ::testing::StartsWith("{\"connect_error\": "));
    const Lines refused = {"ws-open / WebSocket client of another user refused (uid unknown).",
                           "ws-open / error(-60) WebSocket connection error.",
                           "ws-open / open select: 0 (-404)"};
    EXPECT_EQ(log(), START + refused + END);
}

// A page names the agent itself as its helper to remove the registration in a nested run: by a
// link beside it, or by its own name once an upgrade has renamed a new binary over the running
// agent. Refused like a bad name, and the registration stays.
TEST_F(QuarnelCmdTest, agentAsItsOwnHelper_isRefused_theRegistrationStays) {
    home.makeNssDb("ee");
    installCopy();
    fs::create_symlink("quarnelcmd", bin + "/self");
    std::ofstream(bin + "/upgrade")
        << "#!/bin/sh\ncd \"${0%/*}\" && cp quarnelcmd new && mv new quarnelcmd\n";
    fs::permissions(bin + "/upgrade", fs::perms::owner_all);
    quarnelcmd({"regist"}, "60", copy);
    auto http = [](const std::string& address) {
        return R"({"op": "send", "text": "http,)" + base64Of(address) +
               R"(,eA==,,0"}, {"op": "recv"}, )";
    };
    const struct {
        std::string helper, before;  // the frames sent before, and their log lines
        Lines beforeLog;
    } rows[] = {
        {"self", "", {}},
        {"quarnelcmd",
         http("file:///upgrade"),
         {"ws-command / http cmd accept.", "debugExe / " + bin + "/upgrade", "debugExe / ",
          "http / response is empty."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.helper);
        struct stat agent {};
        stat(copy.c_str(), &agent);
        Lines got = page("20,0,,,",
                         "[" + row.before + http("file:///" + row.helper + "?unregist-POSTX") +
                             R"({"op": "send", "text": "term"}])",
                         copy);
        EXPECT_EQ(got.back(), "{\"recv\": \"" + ARG_ERROR + "\"}");
        const Lines refused = {"ws-command / http cmd accept.",
                               "debugExe / " + bin + "/" + row.helper, "debugExe / unregist-POSTX",
                               "debugExe / error(-10) Invalid hostname.",
                               "http / error(-10) 引数エラー(-10)"};
        EXPECT_EQ(log(), WS_START + row.beforeLog + refused + WS_END);
        EXPECT_THAT(readText(desktopEntry), ::testing::HasSubstr("Exec=\"" + copy + "\" %u"));
        struct stat now {};
        stat(copy.c_str(), &now);
        EXPECT_EQ(now.st_ino != agent.st_ino, !row.before.empty()) << "a new file in its place";
    }
}

// "term" while a command still works: "http" waiting for a server that answers 2 s later (it may
// have taken the page's signature already), "http" waiting for a helper that answers 15 s later,
// or (once the log has its accept line) "xdes" signing a data table of 32 MiB, a document that
// every bound takes and that keeps the signer busy for seconds. The page hears "er,-1" first, then
// the command's own reply, whole. The loop's lines are logged when the loop ends, before the
// command's last lines; the agent ends with its closing lines, no line gives a command up, and the
// page's port opens again.
TEST_F(QuarnelCmdTest,
       termWhileACommandRuns_lateServerHelperOrLongSignature_replyStillArrives_Long) {
    home.makeNssDb("ee");
    ASSERT_TRUE(server.start({"--log", dir + "/http.log"}));
    const std::string late = server.url() + "/late/2/" + fixtures::hexOf(mv::test::bytesOf("ok"));
    installCopy();
    std::ofstream(bin + "/late") << "#!/bin/sh\nsleep 15\nprintf late\n";
    fs::permissions(bin + "/late", fs::perms::owner_all);
    // A wide data table: rows of a thousand columns, attributes for compactness.
    std::string table = "<QrnTable Id=\"x\">", tableRow = "<r";
    for (int column = 1; column <= 1000; ++column) {
        tableRow += " c" + std::to_string(column) + "=\"" + std::to_string(1000000 + column) + "\"";
    }
    tableRow += "/>";
    while (table.size() < (32u << 20)) {
        table += tableRow;
    }
    table += "</QrnTable>";
    const std::string aSecond = R"({"op": "sleep", "s": 1})",
                      accepted = R"({"op": "wait_file", "path": ")" + defaultLog +
                                 R"(", "text": "xdes cmd accept."})";
    auto reply = [](const std::string& text) { return "{\"recv\": \"" + text + "\"}"; };
    const std::string chooseCertificate = R"({"op": "send", "text": "cert,0,"}, {"op": "recv"}, )";
    const Lines chosen = {"ws-command / cert cmd accept.", "cert / cert command end."};
    const struct {
        std::string before, frame, wait;  // the steps before the command, between it and "term"
        std::string heard;                // how the command's own reply after "er,-1" begins
        Lines beforeLog, early, late;     // the log lines of `before`; of the command before
                                          // "term", and after it
        std::string replyWithin, limit;   // seconds after "er,-1"; of the agent's run
    } rows[] = {
        {"",
         "http," + base64Of(late) + ",eA==,,0",
         aSecond,
         reply("0," + base64Of("ok")),
         {},
         {"httpSend / " + late},
         {"http / http command end."},
         "30",
         "40"},
        {"",
         "http," + base64Of("file:///late") + ",eA==,,0",
         aSecond,
         reply("0," + base64Of("late")),
         {},
         {"debugExe / " + bin + "/late", "debugExe / "},
         {"http / http command end."},
         "30",
         "40"},
        {chooseCertificate,
         "xdes,0,0," + base64Of(table) + ",eA==,,",
         accepted,
         "{\"recv\": \"0,",
         chosen,
         {},
         {"xades / xades command end."},
         "100",
         "110"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame.substr(0, 64));
        int port = wstest::freePort();
        Lines got = page("30,0,,,",
                         "[" + row.before + R"({"op": "send", "text": ")" + row.frame + R"("}, )" +
                             row.wait +
                             R"(, {"op": "send", "text": "term"}, {"op": "recv"},
                                {"op": "recv", "timeout": )" +
                             row.replyWithin + "}]",
                         copy, port, row.limit);
        if (!row.before.empty()) {
            ASSERT_EQ(got.size(), 3u);
            got.erase(got.begin());
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], reply("er,-1"));
        EXPECT_THAT(got[1], ::testing::StartsWith(row.heard));
        if (row.frame.rfind("xdes", 0) == 0) {
            std::string signedTable = mv::test::textOf(mv::base64DecodeStr(
                got[1].substr(row.heard.size(), got[1].size() - row.heard.size() - 2)));
            // The whole table, then the signature in it (not printed: it is megabytes long).
            const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
                              tableRows =
                                  table.substr(0, table.size() - std::strlen("</QrnTable>"));
            EXPECT_TRUE(signedTable.starts_with(declaration + tableRows + "<Signature ") &&
                        signedTable.ends_with("</Signature></QrnTable>\n"))
                << signedTable.size() << " bytes";
        }
        const Lines accept = {"ws-command / " + row.frame.substr(0, 4) + " cmd accept."};
        EXPECT_EQ(log(),
                  WS_START + row.beforeLog + accept + row.early + LOOP_BROKEN + row.late + END);
        quarnelcmd({"quarnel01:S," + std::to_string(port) + ",0,0,,,"});
        EXPECT_EQ(log(), openFailed("ws-open / open select: 0 (-404)"));
    }
}

// The frame of a page that signs, by the Id of one row, a document of 32 MiB with an Id on every
// row, which its document type declares of `type` (as XHTML declares id of type ID); and the log
// lines of "cert" and of that "xdes".
std::string signIdOnEveryRow(const char* type) {
    std::string table =
        "<!DOCTYPE QrnTable [<!ATTLIST r Id " + std::string(type) + " #IMPLIED>]><QrnTable>";
    for (int n = 0; table.size() < (32u << 20); ++n) {
        table += "<r Id=\"r" + std::to_string(n) + "\" v=\"" + std::to_string(n % 1000) + "\"/>";
    }
    return "xdes,0,0," + base64Of(table + "</QrnTable>") + "," + base64Of("r1000") + ",,";
}
const Lines SIGNED_ROWS = {"ws-command / cert cmd accept.", "cert / cert command end.",
                           "ws-command / xdes cmd accept.", "xades / xades command end."};

// The signed table in a reply, whole: its reference to the row, the Signature at its end.
void expectSignedRows(const std::string& reply) {
    ASSERT_TRUE(reply.starts_with("{\"recv\": \"0,")) << reply.substr(0, 200);
    const std::string table =
        mv::test::textOf(mv::base64DecodeStr(reply.substr(12, reply.size() - 14)));
    EXPECT_TRUE(table.find("<Reference URI=\"#r1000\"") != std::string::npos &&
                table.ends_with("</Signature></QrnTable>\n"))
        << table.size() << " bytes";
}

// An Id on every row that the document type declares ID: libxml2 would register each in tables
// that stop growing, minutes of work for 32 MiB. The table is signed within three times what the
// same rows take when their Id is declared CDATA (seconds).
TEST_F(QuarnelCmdTest, xdesOfAnIdOnEveryRow_32MiB_asFastAsPlainRows_Long) {
    home.makeNssDb("ee");
    double plainSeconds = 0;
    for (const char* type : {"CDATA", "ID"}) {
        SCOPED_TRACE(type);
        const std::string plan =
            R"([{"op": "send", "text": "cert,0,"}, {"op": "recv"}, )"
            R"({"op": "send", "text": ")" +
            signIdOnEveryRow(type) +
            R"("}, )"
            R"({"op": "recv", "timeout": 100}, {"op": "send", "text": "term"}])";
        const auto start = std::chrono::steady_clock::now();
        Lines got = page("30,0,,,", plan, "", wstest::freePort(), "110");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(got.size(), 2u);
        expectSignedRows(got[1]);
        EXPECT_EQ(log(), WS_START + SIGNED_ROWS + WS_END);
        if (plainSeconds == 0) {
            plainSeconds = took.count();
        } else {
            EXPECT_LE(took.count(), 3 * plainSeconds) << "plain rows took " << plainSeconds << " s";
        }
    }
}

// The same table with "term" sent once the command is accepted: the page hears "er,-1", then the
// signed table whole; the loop's lines come before the command's last one, and no line gives the
// command up.
TEST_F(QuarnelCmdTest, xdesOfAnIdOnEveryRow_32MiB_replyArrivesAfterTerm_Long) {
    home.makeNssDb("ee");
    const std::string accepted = R"({"op": "wait_file", "path": ")" + defaultLog +
                                 R"(", "text": "xdes cmd accept."})",
                      plan = R"([{"op": "send", "text": "cert,0,"}, {"op": "recv"}, )"
                             R"({"op": "send", "text": ")" +
                             signIdOnEveryRow("ID") + R"("}, )" + accepted +
                             R"(, {"op": "send", "text": "term"}, {"op": "recv"}, )"
                             R"({"op": "recv", "timeout": 100}])";
    Lines got = page("30,0,,,", plan, "", wstest::freePort(), "110");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], "{\"recv\": \"er,-1\"}");
    expectSignedRows(got[2]);
    EXPECT_EQ(log(), WS_START + Lines(SIGNED_ROWS.begin(), SIGNED_ROWS.end() - 1) + LOOP_BROKEN +
                         Lines{SIGNED_ROWS.back()} + END);
}

// "term" while "http" reads a server that sends a byte every tenth of a second for minutes: the
// exchange runs on after "term" for the agent's two minutes, then is aborted, and its failure is
// the page's reply after "er,-1"; the log says why, and the page's port opens again. (A run of its
// own, for it takes those two minutes.)
TEST_F(QuarnelCmdTest, termWhileAnExchangeOutlastsTheWait_isAbortedAtTheBound_Long) {
    home.makeNssDb("ee");
    ASSERT_TRUE(server.start({"--log", dir + "/http.log"}));
    const std::string trickle = server.url() + "/trickle/200/300";
    int port = wstest::freePort();
    const auto start = std::chrono::steady_clock::now();
    Lines got = page("30,0,,,",
                     R"([{"op": "send", "text": "http,)" + base64Of(trickle) +
                         R"(,eA==,,0"}, {"op": "sleep", "s": 1}, {"op": "send", "text": "term"},
                         {"op": "recv"}, {"op": "recv", "timeout": 200}])",
                     "", port, "240");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "{\"recv\": \"er,-1\"}");
    EXPECT_EQ(got[1], "{\"recv\": \"-20," + base64Of("HTTP通信エラー(-20)") + "\"}");
    EXPECT_GE(took.count(), 120);
    Lines lines = log();
    ASSERT_EQ(lines.size(), 11u) << ::testing::PrintToString(lines);
    const Lines aborted = {"ws-loop / command still running 120 s after the loop ended.", lines[8],
                           "http / error(-20) HTTP通信エラー(-20)"};
    const Lines began = {"ws-command / http cmd accept.", "httpSend / " + trickle};
    EXPECT_EQ(lines, WS_START + began + LOOP_BROKEN + aborted + END);
    EXPECT_THAT(lines[8], ::testing::StartsWith("HttpConnect:request / error(-20) "));
    quarnelcmd({"quarnel01:S," + std::to_string(port) + ",0,0,,,"});
    EXPECT_EQ(log(), openFailed("ws-open / open select: 0 (-404)"));
}

// "term" while the PKCS#11 signer's C_Sign has not returned (a token waiting for its button, a hung
// reader: the test module's takes 150 s), past the agent's two minutes and the abort's grace. No
// abort reaches a token's signature: the log says that the command was given up, the agent ends
// without its reply (the page's connection closes) and the page's port opens again. (A run of its
// own, for it takes those two minutes.)
TEST_F(QuarnelCmdTest, termWhileATokenSignsPastTheWait_isGivenUp_theAgentEnds_Long) {
    mv::test::ScratchDir installed = fixtures::rootOnlyDir();  // a page may name a library there
    const std::string module = installed.file("slow-p11.so");
    fs::copy_file(QUARNEL_P11_TEST_MODULE, module);
    mv::test::ScopedEnv slow("QUARNEL_TEST_P11", "slowsign:150"),
        certificate("QUARNEL_TEST_P11_CERT", fixtures::certDir() + "/ee.der");
    const std::string pin = base64Of("1234");
    int port = wstest::freePort();
    Lines got = page("30,1," + base64Of(module) + ",,",
                     R"([{"op": "send", "text": "cert,16,)" + pin +
                         R"("}, {"op": "recv"}, {"op": "send", "text": "sign,0,)" + base64Of(HASH) +
                         ",0," + pin +
                         R"("}, {"op": "sleep", "s": 1}, {"op": "send", "text": "term"},
                         {"op": "recv"}, {"op": "recv", "timeout": 200}])",
                     "", port, "240");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_THAT(got[0], ::testing::StartsWith("{\"recv\": \"0,"));
    EXPECT_EQ(got[1], "{\"recv\": \"er,-1\"}");
    EXPECT_EQ(got[2], "{\"closed\": 1006}");  // no close frame: the process ended
    const Lines began = {"ws-command / cert cmd accept.", "cert / cert command end.",
                         "ws-command / sign cmd accept."},
                givenUp = {"ws-loop / command still running 120 s after the loop ended.",
                           "ws-loop / command still running after the loop ended: given up."};
    EXPECT_EQ(log(), WS_START + began + LOOP_BROKEN + givenUp + END);
    quarnelcmd({"quarnel01:S," + std::to_string(port) + ",0,0,,,"});
    EXPECT_EQ(log(), openFailed("ws-open / open select: 0 (-404)"));
}

// Where the log goes, from a page (flag 0x2000, after its earlier lines with 0x4000) or a local
// user who was there first: the line reaches only a plain file of ours in the temporary
// directory, or it is lost with the warning. The port is taken: the server's reason is logged.
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
        {0x6000, "C:\\Users\\me\\w.log", 0, "w.log"},
        {0x2000, dir + "/..", 0, name},  // no plain name: the default log
        {0x2000, dir + "/", 0, name},
        {0x2000, ".", 0, name},
        {0x2000, "a\nb.log", 0, name},
        {0, "n.log", 0, name},  // no flag: the page's name is not taken
        {0, "", 'o', ""},
        {0, "", 's', ""},
        {0, "", 'h', ""},
        {0, "", 'f', ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.page + row.made);
        std::ofstream(victim) << "KEY";
        fs::remove(defaultLog);
        std::string landing = dir + "/" + row.landsIn;
        if (!row.landsIn.empty()) {
            std::ofstream(landing) << "2026-01-01T00:00:00 earlier\r\n";
        }
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
        quarnelcmd({"quarnel01:S," + std::to_string(port) + ",1," + std::to_string(row.flags) +
                    ",," + base64Of(row.page) + ","});
        EXPECT_EQ(readText(victim), "KEY");
        if (row.landsIn.empty()) {
            EXPECT_EQ(last.err, "QuarnelCmd: Warning: Log Write Error.\r\n" + defaultLog + "\n");
            std::string heard(8, '\0');  // not even the lines after the first, refused one
            EXPECT_TRUE(row.made == 'f' ? read(reader, heard.data(), heard.size()) <= 0
                                        : readText(defaultLog) == "KEY");
        } else {
            EXPECT_EQ(log(landing), (row.flags & 0x4000 ? Lines{"earlier"} : Lines{}) +
                                        openFailed("ws-open / open bind: 98 (-402)"));
            EXPECT_EQ(fs::exists(defaultLog), row.landsIn == name);
        }
        close(reader);
    }
    ::close(holder);
}

// A relative TMPDIR names a place from the directory the program starts in: the run changes
// into it, and its log (the default one or a page's) still lands there.
TEST_F(QuarnelCmdTest, relativeTmpdir_theLogLandsInIt) {
    int port = wstest::freePort(), holder = wstest::holdPort(port);  // a quick run of 4 lines
    fs::create_directories(dir + "/start/rel");
    const std::pair<int, std::string> rows[] = {{0, "QuarnelCmd-error.log"}, {0x2000, "page.log"}};
    for (const auto& [flags, name] : rows) {
        last = run({"env", "-C", dir + "/start", "TMPDIR=rel", "timeout", "60", program,
                    "quarnel01:S," + std::to_string(port) + ",1," + std::to_string(flags) + ",," +
                        base64Of("/x/page.log") + ","});
        EXPECT_EQ(last.err, "");  // no "Log Write Error." box
        EXPECT_EQ(log(dir + "/start/rel/" + name), openFailed("ws-open / open bind: 98 (-402)"));
    }
    ::close(holder);
}

// A page that sends command after command cannot fill the temporary directory: a run adds at
// most 16 MiB to the log (here after an earlier run's line, flag 0x4000), the last line saying
// that later ones are dropped. Every command is still answered.
TEST_F(QuarnelCmdTest, manyCommands_theRunAddsAtMost16MiBToTheLog) {
    const std::string earlier = "2026-01-01T00:00:00 earlier\r\n",
                      frame = "y" + std::string(4200, 'A'),
                      full =
                          "log / log limit of 16 MiB for this run reached: later lines are "
                          "dropped.\r\n";
    const size_t bound = 16u * 1024 * 1024, fullLine = 20 + full.size();
    home.makeNssDb("ee");
    // What a run writes before its first command's line, and that line's bytes beside the page's
    // text (here the four letters "yyyy").
    page("20,16384,,,", R"([{"op": "send", "text": "yyyy"}, {"op": "recv"}, {"op": "send", )"
                        R"("text": "term"}])");
    std::string probe = readText(defaultLog);
    const size_t head = probe.rfind("\r\n", probe.find(" ws-command / ")) + 2,
                 overhead = probe.find("\r\n", head) + 2 - head - 4, longest = overhead + 4096;
    // The first command's line is sized so that the longest lines after it leave one byte too
    // few for the line saying the log is full: it must fit in room kept for it below the bound.
    const size_t first = (bound - fullLine + 1 - head) % longest;
    ASSERT_GE(first, overhead + 4) << probe;
    std::ofstream(defaultLog) << earlier;
    const int frames = 4200;  // each logs one line of about 4 KiB: 17 MiB in all
    std::string plan = R"([{"op": "send", "text": ")" + std::string(first - overhead, 'y') +
                       R"("}, {"op": "recv"},)";
    for (int i = 1; i < frames; ++i) {
        plan += R"({"op": "send", "text": ")" + frame + R"("}, {"op": "recv"},)";
    }
    Lines replies = page("20,16384,,,", plan + R"({"op": "send", "text": "term"}])");
    ASSERT_EQ(replies.size(), size_t(frames));
    EXPECT_EQ(replies.back(), R"({"recv": ")" + ARG_ERROR + R"("})");
    std::string text = readText(defaultLog);
    EXPECT_EQ(text.substr(0, earlier.size()), earlier);
    EXPECT_LE(text.size() - earlier.size(), bound);
    EXPECT_GT(text.size() - earlier.size(), bound - 8192);
    size_t last = text.rfind("\r\n", text.size() - 3) + 2;
    EXPECT_THAT(text.substr(last), ::testing::MatchesRegex("....-..-..T..:..:.. .*"));
    EXPECT_EQ(text.substr(last + 20), full);
}

// A desktop in code page 932: the page's log name reaches the file system as the page wrote it.
TEST_F(QuarnelCmdTest, logNameOutsideTheCodePage_keepsItsCharacters) {
    if (run({"localedef", "-i", "ja_JP", "-f", "WINDOWS-31J", dir + "/ja_JP.CP932"}).exitCode) {
        GTEST_SKIP() << "localedef cannot build ja_JP.CP932 (Debian package locales)";
    }
    localeEnv = {"LANG=ja_JP.CP932", "LC_ALL=", "LOCPATH=" + dir};
    quarnelcmd({"quarnel01:S,0,1,8192,," + base64Of("/x/café.log") + ","});
    EXPECT_EQ(log(dir + "/café.log").size(), 4u);
}

// The file form with what a Downloads folder may hold: only the newest entry that matches the
// pattern is taken, only if it is a parameter text of at most 64 KiB that the batch run takes,
// and then it is removed, so that the next launch does not run it again. The text (its first
// token unread) signs over HTTPS, trusted through SSL_CERT_FILE, or with helper programs beside a
// copy of the program.
TEST_F(QuarnelCmdTest, fileForm_takesOnlyTheNewestMatchingParameterText_andSignsOverHttps) {
    home.makeNssDb("ee");
    installCopy();
    std::ofstream(bin + "/both") << "#!/bin/sh\ncat >/dev/null\nif [ \"$1\" = -cert ]; then\n"
                                 << "echo '" << OK_HASH << "'\nelse\n"
                                 << "echo '<QrnResponse result=\"OK\"/>'\nfi\n";
    fs::permissions(bin + "/both", fs::perms::owner_all);
    auto helpers = [](const std::string& url, const std::string& cert, const std::string& sign) {
        return "x,0,,,," + base64Of(url) + "," + base64Of(cert) + "," + base64Of(sign) +
               ",0,0,,0,x";
    };
    const Lines refused =
        START + Lines{"execute / error(-10) Invalid hostname.",
                      "execute / error(-10) command execute error.", "execute / 引数エラー(-10)",
                      "cmd-end / cmd execute error."};
    const std::string certs = fixtures::certDir();
    ASSERT_TRUE(server.start({"--log", dir + "/https.log", "--cert", certs + "/server.pem", "--key",
                              certs + "/server.key"}));
    mv::test::ScopedEnv trust("SSL_CERT_FILE", certs + "/ca.pem");
    const std::string text = "x,4,,,," + base64Of(server.url("https")) + "," +
                             base64Of(answer(OK_HASH)) + "," +
                             base64Of(answer("<QrnResponse result=\"OK\"/>")) + ",0,0,,0,x",
                      pad(64 * 1024 - text.size(), ' ');
    const std::string downloads = dir + "/Downloads", secret = dir + "/secret.txt";
    std::ofstream(secret) << text;
    quarnelcmd({"quarnel01:F,*"}, "60", copy);
    EXPECT_EQ(log(), END) << "no Downloads folder";
    const struct {
        std::string pattern;
        std::vector<std::pair<std::string, std::string>> files;  // name and text, oldest first
        std::string taken;  // the file taken and removed; every other file stays
        Lines log = {};     // when not the success of `taken` or the quiet end without it
    } rows[] = {
        {"*.txt", {{"a.txt", text + pad}}, "a.txt"},  // 64 KiB
        {"*.txt", {{"a.txt", text + pad + " "}}, ""},
        {"*.txt", {{"a.txt", "S,8080,30,0,,,"}}, ""},  // a WebSocket text, not a batch text
        {"*.txt", {{"a.txt", text}, {"b.txt", text}}, "b.txt"},  // times count from 1601
        {"*.txt", {{"a.txt", text}, {"b.txt", ""}}, ""},  // the empty newest is not passed over
        {"*1.TXT", {{"a1.txt", text}, {"b2.txt", text}}, "a1.txt"},  // letters without case
        {"a?.txt", {{"a1.txt", text}, {"a22.txt", text}}, "a1.txt"},
        {"[a]*", {{"a.txt", text}}, ""},    // brackets are not wildcards
        {"*", {{"a.txt", text}}, "a.txt"},  // the folder itself is no entry of it
        {"../secret.txt", {}, ""},
        // 13 columns, but no server address that the batch run takes: it runs and fails, and the
        // user's table stays.
        {"*.csv",
         {{"staff.csv", "7,Sato,,sato@example.jp,0312,A1,Kato,2020,,3,Sales,,x"}},
         "",
         refused},
        // An empty sign helper is the cert helper: the text runs, so it goes.
        {"*.txt", {{"a.txt", helpers("file:///x", "both", "")}}, "a.txt"},
        {"*.txt", {{"a.txt", helpers("file:///x", "quarnelcmd", "both")}}, "", refused},
        {"*.txt", {{"a.txt", helpers("httpx://x", "both", "both")}}, "", refused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pattern);
        fs::remove_all(downloads), fs::create_directory(downloads);
        time_t stamp = -31536000 * static_cast<time_t>(row.files.size());  // a year apart
        for (const auto& [name, content] : row.files) {
            std::ofstream(downloads + "/" + name) << content;
            timespec times[2] = {{stamp += 31536000, 0}, {stamp, 0}};
            utimensat(AT_FDCWD, (downloads + "/" + name).c_str(), times, 0);
        }
        quarnelcmd({"quarnel01:F," + row.pattern}, "60", copy);
        for (const auto& file : row.files) {
            EXPECT_EQ(fs::exists(downloads + "/" + file.first), file.first != row.taken);
        }
        EXPECT_EQ(log(), !row.log.empty()    ? row.log
                         : row.taken.empty() ? END
                                             : START + SUCCESS + END);
    }
    expectSignature(readText(dir + "/https.log.body"));  // flag 0x4: hexadecimal
}

// Batch mode with request documents (flags 0), a copy of the program with its helper programs
// beside it, and the failure lines a server or a helper can provoke.
TEST_F(QuarnelCmdTest, batchMode_launchTable_exitCodesLogLinesAndUploads) {
    home.makeNssDb("ee");
    ASSERT_TRUE(server.start({"--log", dir + "/http.log"}));
    installCopy();
    fs::create_hard_link(copy, bin + "/again");
    const std::string helper = "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\ncat >\"$0.in\"\n";
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"cert", helper + "cat <<'E'\n" + OK_HASH + "\nE\n"},
             {"sign", helper + "echo '<QrnResponse result=\"OK\"/>'\n"},
             {"mute", helper}}) {
        std::ofstream(bin + "/" + name) << text;
        fs::permissions(bin + "/" + name, fs::perms::owner_all);
    }
    auto launch = [](const std::string& url, const std::string& certUrl, const std::string& signUrl,
                     int certFlags = 0) {
        return "quarnel01:B,0,,,," + base64Of(url) + "," + base64Of(certUrl) + "," +
               base64Of(signUrl) + "," + std::to_string(certFlags) + ",0,,0,x";
    };
    const std::string url = server.url(), ok = answer("<QrnResponse result=\"ok\"/>");
    const std::string host = "execute / error(-10) Invalid hostname.",
                      got = "cert / 証明書取得完了", nested = dir + "/nested.xml",
                      large = dir + "/large.xml", hiddenNested = dir + "/hidden-nested.xml",
                      hiddenCrowded = dir + "/hidden-crowded.xml", japanese = dir + "/sjis.xml";
    std::ofstream(nested) << entityAnswer(false);
    std::ofstream(large) << entityAnswer(true);
    // Markup written in UTF-7 past libxml2's first read, under a declaration of it; Japanese
    // there under a declared Shift_JIS. The answer is read as the UTF-8 it is.
    std::ofstream(hiddenNested) << mv::test::hiddenUnderUtf7(entityAnswer(false));
    std::ofstream(hiddenCrowded) << mv::test::hiddenUnderUtf7(crowdedAnswer());
    std::ofstream(japanese) << mv::test::japaneseAnswer("Shift_JIS", HASH);
    // clang-format off
    const std::map<int, std::string> messages = {{1, "実行キャンセル"}, {-10, "引数エラー"},
        {-20, "HTTP通信エラー"}, {-22, "デバッグコマンド実行エラー"}, {-16, "ハッシュ値の計算エラー"}};
    const struct {
        std::string launch;
        int rc;
        Lines log;        // between the start line and the lines of the outcome
        int parsing = 0;  // seconds the answer's refusal may add to the run, when timed
    } rows[] = {
        {launch(url, answer(OK_HASH), ok), 0, SUCCESS},
        {launch("file:///a b", "cert", "sign"), 0, SUCCESS},
        {launch("debug://touch ", dir + "/marker", "sign"), -10, {host}},  // runs nothing
        {launch("file:///x", "..", "sign"), -10, {host}},
        {launch("file:///x", "cert", "sub/x"), -10, {host}},
        {launch("file:///x", "quarnelcmd", "sign"), -10, {host}},  // the agent itself, nested
        {launch("file:///x", "cert", "again"), -10, {host}},       // by a hard link
        {launch(url, "/zero", ok), -20, {got, "HttpConnect:request / error(-20) No message."}},
        {launch(url, answer("<QrnResponse><hash>00</hash></QrnResponse>"), ok), -20,
         {got, "httpSend / error(-20) "}},
        {launch(url, ok, ok), -20, {got, "httpSend / error(-20) cert response hash is empty."}},
        {launch(url, answerFile(nested), ok), -20, {got, "httpSend / error(-20) "}},
        {launch(url, answerFile(large), ok), -20, {got, "httpSend / error(-20) "}},
        {launch(url, answerFile(hiddenNested), ok), -20, {got, "httpSend / error(-20) "}, 1},
        {launch(url, answerFile(hiddenCrowded), ok), -20, {got, "httpSend / error(-20) "}, 1},
        {launch(url, answerFile(japanese), ok), 0, SUCCESS},
        {launch(url, answer(utf16WithMark(OK_HASH)), ok), 0, SUCCESS},  // decoded by its mark
        {launch(url, answer("<QrnResponse result=\"OK\"><hash>00</hash></QrnResponse>"), ok), -16,  // a 1-byte hash
         UPLOADED + Lines{"sign / error(-16) sign cmd error.", "cert / error(-16) sign calculate error."}},
        {launch(url, answer(OK_HASH), answer("<QrnResponse result=\"NG\"/>")), -20,
         UPLOADED + Lines{"sign / 署名値計算完了", "httpSend / error(-20) NG"}},
        {launch("file:///x", "mute", "sign"), -20, {got, "httpSend / error(-20) cert response is empty."}},
        {launch("file:///x", "gone", "sign"), -22, {got, "debugExe / error(-22) debug cert execute error."}},
        // The choice without a display: Cancel.
        {launch(url, "c", "s", 0x1), 1, {"cert / error(1) cert cmd error.", "cert / error(1) Cert select canceled."}},
    };
    // clang-format on
    // A run whose answer is timed may take what the first, ordinary run took and the answer's
    // allowance besides.
    double ordinary = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.launch);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(quarnelcmd({row.launch}, "60", copy).exitCode, row.rc == 0 ? 0 : 1);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ordinary = ordinary == 0 ? seconds : ordinary;
        if (row.parsing > 0) {
            EXPECT_LT(seconds, ordinary + row.parsing);
        }
        const std::string code = std::to_string(row.rc),
                          message = row.rc ? messages.at(row.rc) : "";
        Lines outcome = row.rc < 0 ? Lines{"execute / error(" + code + ") command execute error.",
                                           "execute / " + message + "(" + code + ")"}
                                   : Lines{};
        outcome.push_back(row.rc ? "cmd-end / cmd execute error." : END[0]);
        EXPECT_EQ(log(), START + row.log + outcome);
        EXPECT_EQ(last.err, row.rc ? "署名コマンドエラー: " + message + "(" + code + ")\n" : "");
    }
    EXPECT_FALSE(fs::exists(dir + "/marker"));
    // The server got the certificate, then the signature, as request documents.
    expectSignature(readText(dir + "/http.log.body"));
    EXPECT_EQ(readText(bin + "/cert.args"), "-cert\na b\n");
    EXPECT_THAT(readText(bin + "/cert.in"), ::testing::HasSubstr("type=\"QRN_CERT\""));
    // Launched by a parent that leaves SIGCHLD ignored (passed on through exec): the helpers'
    // ends are still read.
    EXPECT_EQ(run({"timeout", "60", "bash", "-c", "trap '' CHLD; exec \"$0\" \"$@\"", copy,
                   launch("file:///a b", "cert", "sign")})
                  .exitCode,
              0);
    EXPECT_EQ(log(), START + SUCCESS + END);
    // A server that never answers: the run waits for it (up to the stall time-out, 60 s) until
    // ended.
    EXPECT_EQ(quarnelcmd({launch(url, "/hang", "")}, "2").exitCode, 124);
    EXPECT_EQ(log(), START + Lines{got});
}

}  // namespace
