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

TEST_F(DialogTest, showCommandLineFlag_showsItOverTheProgressWindowThenRunsOn) {
    std::future<int> program = start({"quarnel01:S,8080,0,4096,,,\r\nsecond", "line"});
    // The progress window and, above it, the message with the command line.
    std::vector<std::string> windows = windowsNamed("署名コマンド", 2);
    ASSERT_EQ(windows.size(), 2u);
    const std::string message = hasState(windows[0], "MODAL") ? windows[0] : windows[1];
    ASSERT_TRUE(hasState(message, "MODAL"));
    EXPECT_EQ(program.wait_for(300ms), std::future_status::timeout) << "the run waits for the user";
    pressKey(message, "Return");
    EXPECT_EQ(program.get(), 0);
    // With a time-out of 0 no page can connect: the run goes on to that after the OK.
    EXPECT_NE(mv::test::readText(temp.home + "/QuarnelCmd-error.log").find("ws-open / error(-60)"),
              std::string::npos);
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
