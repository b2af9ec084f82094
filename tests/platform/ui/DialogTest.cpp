// The dialogs under a real X server (the ctest command wraps this program in xvfb-run), answered
// with xdotool the way a user does: those this process shows through the UI layer, read on the UI
// thread, and those of the program itself on its two roads.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <clocale>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>

#include "UiTestSupport.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/MainWnd.h"
#include "signers/Fixtures.h"
#include "support/WsTestSupport.h"

namespace {

using namespace uitest;

// The mapped widget of that name in any window, or null.
GtkWidget* findNamed(const char* name, GList* widgets = nullptr) {
    GList* list = widgets != nullptr ? widgets : gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* w = list; w != nullptr && found == nullptr; w = w->next) {
        GtkWidget* widget = GTK_WIDGET(w->data);
        if (std::strcmp(gtk_widget_get_name(widget), name) == 0) {
            found = gtk_widget_get_mapped(widget) ? widget : nullptr;
        } else if (GTK_IS_CONTAINER(widget)) {
            GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
            found = children != nullptr ? findNamed(name, children) : nullptr;
        }
    }
    g_list_free(list);
    return found;
}

// `read` run on the UI thread, which owns every widget.
std::string onUiThread(std::function<std::string()> read) {
    std::promise<std::string> result;
    mv::ui::post([&] { result.set_value(read()); });
    return result.get_future().get();
}

// The message dialog's text as shown, and whether it scrolls or can be edited.
std::string messageShown() {
    GtkWidget* view = findNamed("mesg-text");
    if (view == nullptr) {
        return "no text view";
    }
    char* text = nullptr;
    g_object_get(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), "text", &text, nullptr);
    std::string shown = text;
    g_free(text);
    GtkAdjustment* v = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
    bool scrolls = gtk_adjustment_get_upper(v) > gtk_adjustment_get_page_size(v) + 0.5;
    bool editable = gtk_text_view_get_editable(GTK_TEXT_VIEW(view));
    return shown + (scrolls ? " [scrolls]" : "") + (editable ? " [editable]" : "");
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
        std::setlocale(LC_ALL, "");  // as the program's entry: GTK names windows in it
    }
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    mv::test::TempHome temp;
    mv::test::ScopedEnv keepDisplay{"DISPLAY", display};  // the program and the X tools use it
};

// The status line shows what the run sets. (Its abort is driven through the program itself.)
TEST_F(DialogTest, progressWindow_showsTheStatusSet) {
    mv::MainWndThreadArg arg;
    std::thread window(mv::runMainWnd, &arg);
    mv::waitMainWndShown();
    mv::setMainWndStatus(u"WSコマンド実行中");
    EXPECT_EQ(onUiThread([] {
                  GtkWidget* status = findNamed("status");
                  return status ? gtk_label_get_text(GTK_LABEL(status)) : "no status line";
              }),
              "WSコマンド実行中");
    mv::closeMainWnd();
    window.join();
}

TEST_F(DialogTest, messageDialog_showsCrLfTextOnSeveralLines) {
    std::string longText, longShown;
    for (int i = 1; i <= 40; ++i) {
        longText += "line " + std::to_string(i) + "\r\n";
        longShown += "line " + std::to_string(i) + "\n";
    }
    // Text, caption given, window title, what the dialog shows, key.
    const std::tuple<std::string, const char*, const char*, std::string, const char*> rows[] = {
        {"一行目\r\n二行目\r\nthird line", "QuarnelCmd", "QuarnelCmd", "一行目\n二行目\nthird line",
         "Return"},
        {longText, nullptr, "署名コマンド", longShown + " [scrolls]", "Escape"},
    };
    for (const auto& [text, caption, title, shown, key] : rows) {
        // The user, while this thread waits in the dialog.
        auto user = std::async(std::launch::async, [&, title = title, key = key] {
            std::vector<std::string> windows = windowsNamed(title);
            if (windows.size() != 1) {
                std::_Exit(1);  // no dialog: nobody would close what this thread waits in
            }
            std::string seen = onUiThread(messageShown);
            pressKey(windows[0], key);
            return seen;
        });
        mv::showMessage(text.c_str(), caption);
        EXPECT_EQ(user.get(), shown);
    }
}

// The program started as a user starts it, ended by `timeout` if it waits for ever; its exit code.
std::future<int> start(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), {"timeout", "60", QUARNELCMD_PATH});
    return std::async(std::launch::async, [=] { return mv::test::launch(args, env).exitCode; });
}

// The page can connect only once the box is answered: until then nothing listens on its port.
TEST_F(DialogTest, showCommandLineFlag_showsItOverTheProgressWindowThenRunsOn) {
    const int port = wstest::freePort();
    std::future<int> program =
        start({"quarnel01:S," + std::to_string(port) + ",20,4096,,,\r\nsecond", "line"});
    // The progress window and, above it, the message with the command line.
    std::vector<std::string> windows = windowsNamed("署名コマンド", 2);
    ASSERT_EQ(windows.size(), 2u);
    const std::string message = hasState(windows[0], "MODAL") ? windows[0] : windows[1];
    ASSERT_TRUE(hasState(message, "MODAL"));
    EXPECT_EQ(wstest::connectTo(port, "127.0.0.1", 0.5), -1) << "a page connected before the OK";
    EXPECT_EQ(program.wait_for(0ms), std::future_status::timeout) << "the run waits for the user";
    pressKey(message, "Return");
    int page = wstest::connectTo(port, "127.0.0.1", 10);
    EXPECT_GE(page, 0) << "no page can connect after the OK";
    ::close(page);  // without a handshake: the open fails
    EXPECT_EQ(program.get(), 0);
    EXPECT_NE(mv::test::readText(temp.home + "/QuarnelCmd-error.log").find("ws-open / error(-60)"),
              std::string::npos);
}

// The progress window's status line on each road of a run, in order, as GTK is given it (a
// recorder preloaded into the program sees each text). Texts that the run sets after the window
// has closed (in WebSocket mode, once the signer is set up) show nowhere.
TEST_F(DialogTest, progressWindow_statusTextsOfEachRoadInOrder) {
    fixtures::TempHome home;  // a store with one certificate: the set-up succeeds
    home.makeNssDb("ee");
    mv::test::ScopedEnv keepDisplayHere{"DISPLAY", display};  // the home took it away
    const std::string record = home.file("status");
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> env = {
        "LD_PRELOAD=" STATUS_RECORDER, "QUARNEL_STATUS_RECORD=" + record,
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    // The agent's port is one that bind(0) finds free, not the one above `taken`: the kernel gives
    // connect() the other parity, so that port may be the local end of any connection on the
    // machine, and even one waiting in TIME_WAIT fails the agent's bind.
    const int taken = wstest::freePort(), holder = wstest::holdPort(taken),
              port = wstest::freePort();
    const std::string start = "署名コマンド実行中", waiting = "接続待ち...", setUp = "初期化中...";
    const struct {
        std::string launch;
        char page;  // 'n' none; after the handshake 'c' closes, 't' sends "term"; 'b' the box
        std::vector<std::string> shown;
    } rows[] = {
        {"S," + std::to_string(taken) + ",5,0,,,", 'n', {start, waiting, "接続エラー"}},
        {"S," + std::to_string(port) + ",5,0," + mv::test::base64Of("bad") + ",,",
         'c',
         {start, waiting, setUp, "初期化エラー"}},
        {"S," + std::to_string(port) + ",5,0,,,", 't', {start, waiting, setUp}},
        {"B,0,,,," + mv::test::base64Of("debug://x") + ",,,0,0,,0,x",
         'b',
         {start, "一括コマンド実行", "一括実行エラー", "一括コマンド終了"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.launch);
        std::filesystem::remove(record);
        std::future<int> program = std::async(std::launch::async, [&] {
            return mv::test::launch({"timeout", "60", QUARNELCMD_PATH, "quarnel01:" + row.launch},
                                    env)
                .exitCode;
        });
        // The page and the user wait for the program as long as it runs, however slowly a busy
        // machine starts it.
        auto running = [&] { return program.wait_for(100ms) == std::future_status::timeout; };
        if (row.page == 'c' || row.page == 't') {
            int page = -1;
            while ((page = wstest::connectTo(port, "127.0.0.1", 0)) < 0 && running()) {
            }
            ASSERT_GE(page, 0) << "the program ended without listening";
            std::string upgrade =
                "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                "Sec-WebSocket-Version: 13\r\n\r\n";
            // "term" in a masked text frame (a zero mask).
            std::string term = std::string("\x81\x84\0\0\0\0", 6) + "term";
            char answer[512];
            EXPECT_GT(::send(page, upgrade.data(), upgrade.size(), 0), 0);
            EXPECT_GT(::recv(page, answer, sizeof answer, 0), 0);
            if (row.page == 't') {
                EXPECT_GT(::send(page, term.data(), term.size(), 0), 0);
            }
            program.wait();
            ::close(page);
        } else if (row.page == 'b') {
            std::vector<std::string> box;
            while ((box = windowIds("^署名コマンドエラー$")).empty() && running()) {
            }
            ASSERT_EQ(box.size(), 1u);
            pressKey(box[0], "Return");
        }
        EXPECT_EQ(program.get(), row.page == 'b' ? 1 : 0);
        std::istringstream lines(mv::test::readText(record));
        EXPECT_EQ(std::vector<std::string>(std::istream_iterator<std::string>(lines), {}),
                  row.shown);
    }
    ::close(holder);
}

// "regist" over an existing registration asks first, keeps it on Cancel, and on OK writes our
// keys again (another program's stay) and reports that in a box of its own.
TEST_F(DialogTest, registrationBoxes_overwriteQuestion) {
    const std::string entry = temp.home + "/.local/share/applications/quarnel01.desktop";
    ASSERT_EQ(start({"regist"}, {"DISPLAY="}).get(), 0);
    std::string text = mv::test::readText(entry);
    text.replace(text.find("Name="), 5, "X-Marker=1\nName=Changed ");  // shows a rewrite
    std::ofstream(entry) << text;

    for (const char* key : {"Escape", "Return"}) {
        std::future<int> program = start({"regist"});
        std::vector<std::string> windows = windowsNamed("署名コマンド");
        ASSERT_EQ(windows.size(), 1u);
        pressKey(windows[0], key);
        if (key == std::string("Return")) {
            std::vector<std::string> report = windows;
            for (int i = 0; i < 100 && report == windows; ++i) {
                report = windowsNamed("署名コマンド");
            }
            ASSERT_EQ(report.size(), 1u);
            pressKey(report[0], "Return");
        }
        EXPECT_EQ(program.get(), 0);
        EXPECT_NE(mv::test::readText(entry).find("X-Marker=1"), std::string::npos);
        EXPECT_EQ(mv::test::readText(entry).find("Name=Changed") != std::string::npos,
                  key == std::string("Escape"));
    }
}

}  // namespace
