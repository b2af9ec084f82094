// quarnelcmd: started by a web page through the URL scheme "quarnel01:", or by the user to show
// or change that scheme's registration.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "app/CommandThread.h"
#include "foundation/Text.h"
#include "platform/ExchangeAbort.h"
#include "platform/Registration.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/MainWnd.h"
#include "websocket/WsServer.h"

extern char** environ;

namespace {

constexpr const char* URL_PREFIX = "quarnel01:";
constexpr const char* SCHEME = "quarnel01";
constexpr const char* VERSION = "v1.1.R1";
constexpr const char* CAPTION = "署名コマンド";
// How long the end of WebSocket mode waits for a command still running, so that its own reply
// still reaches the page: longer than any accepted command's own work at the frame limit (a
// 96 MiB document takes some 15-31 s to parse and sign on a loaded machine), and long enough for
// a user to answer a dialog, or a server that has taken the page's signature to answer it. Past
// this an exchange with a server or a helper still waiting is aborted; a parse, a canonical form,
// a token's signature or a dialog cannot be interrupted, and is given up, so that the agent ends
// and frees the page's port whatever the command is doing.
constexpr auto COMMAND_END_WAIT = std::chrono::seconds(120);
// How long an exchange aborted at that bound has to end and send the page its failure: libcurl
// and the helper's wait look at the abort at least once a second, and a helper that does not end
// when asked is killed a second later.
constexpr auto ABORT_GRACE = std::chrono::seconds(3);
// Refused clients listed one a line in the log; any more are counted.
constexpr size_t REFUSALS_LISTED = 100;

// The program's texts are written in UTF-8; dialogs take the thread's ANSI code page.
std::string ansi(const std::string& utf8) {
    std::string out;
    mv::utf8ToAnsi(utf8.data(), utf8.size(), out);
    return out;
}

void messageBox(const std::string& utf8Text) {
    mv::showMessageBox(ansi(utf8Text).c_str(), ansi(CAPTION).c_str(), mv::MessageBoxButtons::Ok);
}

std::string programPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Starts this program again with one argument and waits for it. Changing the user's own
// registration needs no elevation on Linux; the second instance still does the change and
// reports it, so both words behave as users of the program know them.
void relaunchSelf(const char* argument) {
    std::string self = programPath();
    char* argv[] = {self.data(), const_cast<char*>(argument), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) {
        return;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

int runRegistrationRoad(const std::string& commandLine) {
    std::string registered;
    int st = mv::getUrlProtocolCommand(SCHEME, registered);

    if (commandLine == "regist-POSTX") {
        int r = mv::registerUrlProtocol(SCHEME, programPath().c_str());
        messageBox(r == 0 ? "レジストリ登録しました。" : "レジストリ登録に失敗しました。");
    } else if (commandLine == "unregist-POSTX") {
        int r = mv::unregisterUrlProtocol(SCHEME);
        messageBox(r == 0 ? "レジストリ削除しました。" : "レジストリ削除に失敗しました。");
    } else if (commandLine == "regist") {
        if (st == 1) {
            std::string question = "レジストリ登録済みです。\n上書きしますか？\n" + registered;
            if (mv::showMessageBox(ansi(question).c_str(), ansi(CAPTION).c_str(),
                                   mv::MessageBoxButtons::OkCancel) != mv::ui::RESULT_OK) {
                return 0;
            }
        }
        relaunchSelf("regist-POSTX");
    } else if (commandLine == "unregist") {
        if (st == 0) {
            messageBox("レジストリ未登録です。\n削除できません。");
        } else {
            relaunchSelf("unregist-POSTX");
        }
    } else {
        std::string status = std::string("QuarnelCmd ") + VERSION + "\n状態：レジストリ(" + SCHEME;
        if (st == 1) {
            status += ")登録済みです。\n" + registered;
        } else if (st == 0) {
            status += ")未登録です。";
        } else {
            status += ")の取得に失敗しました。";
        }
        messageBox(status);
    }
    return 0;
}

// The server's failure text and the result messages are ANSI text; the log takes UTF-16.
std::u16string wide(const std::string& ansiText) {
    std::u16string out;
    mv::ansiToWString(ansiText.c_str(), out);
    return out;
}

// WebSocket mode: wait for the page, set up the signer, then serve commands until "term" or a
// failure. Every outcome is only logged; the exit code stays 0. `givenUp` is set when a command
// still ran COMMAND_END_WAIT after the loop ended and its exchanges' abort did not end it: its
// thread still uses the server, the runner and its signer.
int runWebSocketMode(mv::WsServer& server, mv::CmdRunner& runner, const mv::CmdParams& params,
                     bool& givenUp) {
    mv::setMainWndStatus(u"接続待ち...");
    // A flood of refused clients would fill the run's share of the log in seconds and leave no
    // room for the page's own lines: the first are listed, the rest counted in one line.
    size_t unlisted = 0;
    server.setRefusedClients([&runner, &unlisted, listed = size_t(0)](
                                 const std::vector<mv::WsServer::RefusedClient>& clients) mutable {
        std::vector<std::u16string> lines;
        for (const mv::WsServer::RefusedClient& client : clients) {
            if (listed == REFUSALS_LISTED) {
                ++unlisted;
                continue;
            }
            ++listed;
            std::string text =
                client.closedBeforeRequest
                    ? std::string("WebSocket client closed before its request refused.")
                    : "WebSocket client of another user refused (uid " +
                          (client.owner ? std::to_string(*client.owner) : std::string("unknown")) +
                          ").";
            lines.push_back(mv::utf8ToWString(text.data(), text.size()));
        }
        runner.writeLogLines(lines, u"ws-open");
    });
    const int opened = server.open(params.port, params.timeoutSec);
    if (unlisted > 0) {
        std::string text =
            "WebSocket clients refused: " + std::to_string(unlisted) + " more, not listed.";
        runner.writeLog(mv::utf8ToWString(text.data(), text.size()).c_str(), u"ws-open");
    }
    if (opened < 0) {
        mv::setMainWndStatus(u"接続エラー");
        runner.logError(-60, u"WebSocket connection error.", u"ws-open");
        runner.writeLog(wide(server.errorText()).c_str(), u"ws-open");
        return -60;
    }
    runner.writeLog(u"WebScoket connection ok.", u"ws-open");
    mv::setMainWndStatus(u"初期化中...");

    int rc =
        runner.apiInit(params.flags, wide(params.signerOptions).c_str(), wide(params.sid).c_str());
    if (rc < 0) {
        mv::setMainWndStatus(u"初期化エラー");
        runner.logError(rc, u"sign api init error.", u"api-init");
        return rc;
    }
    runner.writeLog(u"sign api init ok.", u"api-init");
    mv::closeMainWnd();
    mv::g_hDlgParent = mv::g_hForeground.load();
    mv::setMainWndStatus(u"WSコマンド実行中");

    server.setCommandProc(mv::wsCommandThreadProc);
    rc = server.loop();
    const auto deadline = std::chrono::steady_clock::now() + COMMAND_END_WAIT;
    // Logged as soon as the loop ends: a command that outlasts it may take up to the bound, and
    // the reason must not wait for it, nor be lost if the process is ended meanwhile.
    if (rc < 0) {
        mv::setMainWndStatus(u"通信エラー");
        runner.logError(rc, u"WebSocket loop error.", u"ws-loop");
        runner.writeLog(wide(server.errorText()).c_str(), u"ws-loop");
    } else {
        mv::setMainWndStatus(u"WSコマンド終了");
        runner.writeLog(u"WebScoket connection end.", u"ws-loop");
    }
    // The loop may end ("term", a closed connection or a second command while one runs) with the
    // command thread still working on the runner and its signer: both outlive it, and the
    // connection stays open, so that the command's own reply still reaches the page after
    // "er,-1", an exchange's too: its server may have taken the page's signature already.
    givenUp = !server.waitCommandThreadUntil(deadline);
    if (givenUp) {
        // What follows says what became of it: an exchange's failure, or the line below.
        std::string text = "command still running " + std::to_string(COMMAND_END_WAIT.count()) +
                           " s after the loop ended.";
        runner.writeLog(mv::utf8ToWString(text.data(), text.size()).c_str(), u"ws-loop");
        mv::abortExchanges();
        givenUp = !server.waitCommandThreadUntil(std::chrono::steady_clock::now() + ABORT_GRACE);
    }
    if (givenUp) {
        runner.writeLog(u"command still running after the loop ended: given up.", u"ws-loop");
    }
    return rc;
}

// Batch mode: the whole exchange with the signing server. A failure is logged here as well; the
// end of the road reports it to the user.
int runBatchMode(mv::CmdRunner& runner, const mv::CmdParams& params) {
    mv::setMainWndStatus(u"一括コマンド実行");
    int rc = runner.execute(params);
    if (rc < 0) {
        mv::setMainWndStatus(u"一括実行エラー");
        runner.logError(rc, u"command execute error.", u"execute");
        runner.writeLog(wide(runner.getResultMessage(rc)).c_str(), u"execute");
    }
    mv::setMainWndStatus(u"一括コマンド終了");
    return rc;
}

// The run of the mode that the parameters chose; the result code of the run.
int runMode(int mode, mv::WsServer& server, mv::CmdRunner& runner, mv::CmdParams& params,
            bool& givenUp) {
    if (mode == 1) {
        return runWebSocketMode(server, runner, params, givenUp);
    }
    return runBatchMode(runner, params);
}

int runUrlRoad(mv::WsServer& server, const std::string& commandLine) {
    mv::MainWndThreadArg windowArg;
    windowArg.owner = mv::g_hForeground.load();
    std::thread window(mv::runMainWnd, &windowArg);
    mv::waitMainWndShown();
    mv::setMainWndStatus(u"署名コマンド実行中");

    int exitCode = 0;
    {
        mv::CmdRunner runner;
        mv::CmdParams params;
        int r = runner.parseLaunchArgs(commandLine.c_str() + std::strlen(URL_PREFIX), params);
        int rc = 0;
        bool givenUp = false;
        // Unusable parameters end the run quietly: only the closing line is logged.
        if (r >= 0) {
            runner.writeLog(u"cmd execute start.", u"cmd-start");
            if (params.flags & mv::FLAG_SHOW_COMMAND_LINE) {
                mv::showMessage(commandLine.c_str());
            }
            rc = runMode(r, server, runner, params, givenUp);
        }

        if (!givenUp) {
            server.close();
        }
        mv::closeMainWnd();
        mv::g_hDlgParent = mv::g_hForeground.load();
        if (r == 0 && rc != 0) {
            mv::showMessage(runner.getResultMessage(rc), ansi("署名コマンドエラー").c_str());
            runner.writeLog(u"cmd execute error.", u"cmd-end");
            exitCode = 1;
        } else {
            runner.writeLog(u"cmd execute end.", u"cmd-end");
        }
        if (givenUp) {
            // Nothing that the command thread still uses may be released, nor may anything wait
            // for it. The reply and every log line have reached the kernel (nothing is buffered
            // in the process), and the process's end closes the sockets, freeing the port.
            _exit(exitCode);
        }
    }
    window.join();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // A parent may pass SIGCHLD on ignored (an ignored signal stays so across exec): the system
    // would then reap each helper before the agent could learn how it ended, and every helper
    // run would fail.
    std::signal(SIGCHLD, SIG_DFL);
    std::setlocale(LC_ALL, "");
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    // The foreground window at start (the browser) cannot be learnt on Linux; dialogs then
    // centre on the screen and stay above it.
    mv::g_hForeground = nullptr;
    // Made before either road and released after it; on the URL road the runner and its
    // signer are gone before the server is.
    mv::WsServer server;
    if (commandLine.rfind(URL_PREFIX, 0) == 0) {
        return runUrlRoad(server, commandLine);
    }
    return runRegistrationRoad(commandLine);
}
