// quarnelcmd: started by a web page through the URL scheme "quarnel01:", or by the user to show
// or change that scheme's registration.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <string>
#include <thread>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/Text.h"
#include "platform/Registration.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/MainWnd.h"

extern char** environ;

namespace {

constexpr const char* URL_PREFIX = "quarnel01:";
constexpr const char* SCHEME = "quarnel01";
constexpr const char* VERSION = "v1.1.R1";
constexpr const char* CAPTION = "署名コマンド";

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
    std::string program = programPath();
    std::string registered;
    int st = mv::getUrlProtocolCommand(SCHEME, registered);

    if (commandLine == "regist-POSTX") {
        int r = mv::registerUrlProtocol(SCHEME, program.c_str());
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

// The run of the mode that the parameters chose; the result code of the run.
int runMode(int mode, mv::CmdRunner& runner, mv::CmdParams& params) {
    (void)runner;
    (void)params;
    if (mode == 1) {
        // WebSocket mode: open the server, set up the signer, serve the page. It is wired here
        // when the WebSocket server and the signers exist.
        return 0;
    }
    // Batch mode: the whole exchange with the signing server, wired here with the batch run.
    return 0;
}

int runUrlRoad(const std::string& commandLine) {
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
        // Unusable parameters end the run quietly: only the closing line is logged.
        if (r >= 0) {
            runner.writeLog(u"cmd execute start.", u"cmd-start");
            if (params.flags & mv::FLAG_SHOW_COMMAND_LINE) {
                mv::showMessage(commandLine.c_str());
            }
            rc = runMode(r, runner, params);
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
    }
    window.join();
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
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
    // The WebSocket server object belongs here: made before either road, released after it.
    if (commandLine.rfind(URL_PREFIX, 0) == 0) {
        return runUrlRoad(commandLine);
    }
    return runRegistrationRoad(commandLine);
}
