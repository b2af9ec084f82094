// The program itself, run without a display in a temporary home: its exit codes, its error log,
// and the scheme registration as xdg-mime sees it. Message boxes go to standard error here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "../support/WsTestSupport.h"
#include "foundation/Base64.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

class QuarnelCmdTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/mvcmd.XXXXXX";
        dir = mkdtemp(dirTemplate);
        char real[PATH_MAX];
        ASSERT_NE(realpath(QUARNELCMD_PATH, real), nullptr);
        program = real;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs `argv` with HOME, TMPDIR and the XDG directories in the test's directory, no display
    // and no desktop environment (so xdg-mime reads the files itself).
    Outcome run(std::vector<std::string> argv) {
        std::vector<std::string> env = {"HOME=" + dir,
                                        "TMPDIR=" + dir,
                                        "XDG_DATA_HOME=" + dir + "/data",
                                        "XDG_CONFIG_HOME=" + dir + "/config",
                                        "XDG_DATA_DIRS=" + dir + "/none",
                                        "XDG_CONFIG_DIRS=" + dir + "/none",
                                        "PATH=/usr/bin:/bin",
                                        "LANG=C.UTF-8",
                                        "DBUS_SESSION_BUS_ADDRESS=disabled:"};
        for (char** e = environ; *e != nullptr; ++e) {
            std::string variable = *e;
            if (variable.rfind("ASAN_OPTIONS=", 0) == 0 ||
                variable.rfind("UBSAN_OPTIONS=", 0) == 0 ||
                variable.rfind("LSAN_OPTIONS=", 0) == 0) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> envp, args;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        std::string outFile = dir + "/.out", errFile = dir + "/.err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        Outcome outcome;
        pid_t pid;
        if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = readFile(outFile);
        outcome.err = readFile(errFile);
        fs::remove(outFile);
        fs::remove(errFile);
        return outcome;
    }
    Outcome quarnelcmd(std::vector<std::string> args = {}) {
        args.insert(args.begin(), program);
        return run(args);
    }
    // The log's lines without their time stamps; each must have one.
    std::vector<std::string> logLines() {
        std::string all = readFile(dir + "/QuarnelCmd-error.log");
        std::vector<std::string> out;
        std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d ([^\r\n]*)\r\n)");
        size_t covered = 0;
        for (auto it = std::sregex_iterator(all.begin(), all.end(), line);
             it != std::sregex_iterator(); ++it) {
            out.push_back((*it)[1]);
            covered += (*it)[0].length();
        }
        EXPECT_EQ(covered, all.size()) << all;
        return out;
    }
    std::string desktopEntry() const { return dir + "/data/applications/quarnel01.desktop"; }
    std::string mimeappsList() const { return dir + "/config/mimeapps.list"; }
    std::string statusText(const std::string& state) const {
        return "署名コマンド: QuarnelCmd v1.1.R1\n状態：レジストリ(quarnel01)" + state + "\n";
    }

    std::string dir, program;
};

TEST_F(QuarnelCmdTest, unusableUrlParameters_logOnlyTheEndLineAndExit0) {
    // The last one is "quarnel01:S,1 ,,,," once joined: 6 tokens after the blank is dropped.
    const std::vector<std::vector<std::string>> commandLines = {{"quarnel01:"},
                                                                {"quarnel01:S,8080,30,0,,,,"},
                                                                {"quarnel01:x,1,2"},
                                                                {"quarnel01:S,1", ",,,,"}};
    for (const auto& args : commandLines) {
        const std::string& text = args[0];
        Outcome r = quarnelcmd(args);
        EXPECT_EQ(r.exitCode, 0) << text;
        EXPECT_EQ(r.err, "") << text;
        EXPECT_EQ(logLines(), std::vector<std::string>{"cmd-end / cmd execute end."}) << text;
    }
}

TEST_F(QuarnelCmdTest, logPathFromParameters_isUsedAndAppendKeepsEarlierLines) {
    std::string custom = dir + "/my.log";
    std::string b64;
    mv::base64EncodeStr(reinterpret_cast<const unsigned char*>(custom.data()), custom.size(), b64);
    std::ofstream(custom) << "earlier\r\n";
    // A time-out of 0 on a free port: the run fails to connect at once and logs it.
    Outcome r = quarnelcmd({"quarnel01:S," + std::to_string(wstest::freePort()) + ",0," +
                            std::to_string(0x2000 | 0x4000) + ",," + b64 + ","});
    EXPECT_EQ(r.exitCode, 0);
    std::string log = readFile(custom);
    EXPECT_EQ(log.rfind("earlier\r\n", 0), 0u) << log;
    EXPECT_NE(log.find(" cmd-end / cmd execute end.\r\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(dir + "/QuarnelCmd-error.log"));
}

TEST_F(QuarnelCmdTest, otherCommandLines_takeTheRegistrationRoadAndShowTheStatus) {
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"QUARNEL01:S,8080,30,0,,,"}, {"regist "}, {"regist", "now"}, {"Regist"}, {"--help"}};
    for (const auto& args : commandLines) {
        Outcome r = quarnelcmd(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, statusText("未登録です。")) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(fs::exists(desktopEntry()));
        EXPECT_FALSE(fs::exists(dir + "/QuarnelCmd-error.log"));
    }
}

TEST_F(QuarnelCmdTest, registrationRoundTrip_asXdgMimeSeesIt) {
    Outcome r = quarnelcmd({"regist"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "署名コマンド: レジストリ登録しました。\n");

    Outcome query = run({"xdg-mime", "query", "default", "x-scheme-handler/quarnel01"});
    EXPECT_EQ(query.out, "quarnel01.desktop\n") << query.err;

    std::string entry = readFile(desktopEntry());
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

// What a browser does with a "quarnel01:" link: GIO (the library Firefox and GTK programs open
// links with) looks up the scheme's default handler and starts the Exec line of its entry.
TEST_F(QuarnelCmdTest, registeredScheme_isOpenedByGioWithTheSameProgram) {
    ASSERT_EQ(quarnelcmd({"regist"}).exitCode, 0);
    Outcome open = run({"gio", "open", "quarnel01:S,1,1,0,,,,"});
    ASSERT_EQ(open.exitCode, 0) << open.err;
    // gio starts the handler and does not wait for it.
    std::string log = dir + "/QuarnelCmd-error.log";
    for (int i = 0; i < 100 && readFile(log).find("\r\n") == std::string::npos; ++i) {
        usleep(100000);
    }
    EXPECT_EQ(logLines(), std::vector<std::string>{"cmd-end / cmd execute end."});
}

TEST_F(QuarnelCmdTest, unregisterWithNothingRegistered_saysSoOrFails) {
    Outcome r = quarnelcmd({"unregist"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "署名コマンド: レジストリ未登録です。\n削除できません。\n");
    r = quarnelcmd({"unregist-POSTX"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "署名コマンド: レジストリ削除に失敗しました。\n");
}

TEST_F(QuarnelCmdTest, unreadableRegistration_isReportedAsAFailedRead) {
    fs::create_directories(dir + "/data/applications");
    std::ofstream(desktopEntry()) << "[Desktop Entry]\nExec=\"/" << std::string(300, 'x')
                                  << "\" %u\n";
    EXPECT_EQ(quarnelcmd().err, statusText("の取得に失敗しました。"));
    // A registration that cannot be read may still exist: "unregist" tries to remove it.
    Outcome r = quarnelcmd({"unregist"});
    EXPECT_EQ(r.err, "署名コマンド: レジストリ削除しました。\n");
    EXPECT_FALSE(fs::exists(desktopEntry()));
}

}  // namespace

namespace {

// WebSocket mode of the real program with a real client: the page's "vers" and "term", and the
// lines of a normal run in the log. Flag 0x800 sets the signer up without loading keys, since
// the temporary home has no certificate store.
TEST_F(QuarnelCmdTest, webSocketMode_servesVersThenTermAndLogsTheRun) {
    int port = wstest::freePort();
    std::vector<std::string> replies;
    std::thread page([&] {
        replies = wstest::runClient(port, R"([{"op": "send", "text": "vers"},
                                              {"op": "recv", "timeout": 10},
                                              {"op": "send", "text": "term"},
                                              {"op": "recv", "timeout": 10}])");
    });
    Outcome outcome = quarnelcmd({"quarnel01:S," + std::to_string(port) + ",20,2048,,,"});
    page.join();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies[0], R"({"recv": "0,djEuMS5SMQ=="})");
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "cmd-start / cmd execute start.",
                              "ws-open / WebScoket connection ok.",
                              "api-init / sign api init ok.",
                              "ws-command / vers cmd accept.",
                              "ws-loop / WebScoket connection end.",
                              "cmd-end / cmd execute end.",
                          }));
}

TEST_F(QuarnelCmdTest, webSocketPortInUse_logsTheServerReasonAndExits0) {
    int port = wstest::freePort();
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    Outcome outcome = quarnelcmd({"quarnel01:S," + std::to_string(port) + ",1,0,,,"});
    ::close(holder);
    EXPECT_EQ(outcome.exitCode, 0);
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "ws-open / error(-60) WebSocket connection error.");
    EXPECT_NE(lines[2].find("(-402)"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "cmd-end / cmd execute end.");
}

}  // namespace
