// The dialogs under a real X server (the ctest command wraps this program in xvfb-run): this
// process shows them through the UI layer, reads what they hold on the UI thread, and answers
// them with xdotool the way a user does. Every dialog leaves a screenshot in SCREENSHOT_DIR.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <clocale>
#include <cstring>
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
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    char* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
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
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through xvfb-run (see CMakeLists.txt)";
        ASSERT_TRUE(windowIds(".+").empty()) << "a window left over from an earlier case";
        std::setlocale(LC_ALL, "");  // as the program's entry: GTK names windows in it
    }
};

// The status line shows what the run sets. (Its abort is driven through the program itself.)
TEST_F(DialogTest, progressWindow_showsTheStatusSet) {
    mv::MainWndThreadArg arg;
    std::thread window(mv::runMainWnd, &arg);
    mv::waitMainWndShown();
    mv::setMainWndStatus(u"WSコマンド実行中");
    EXPECT_EQ(windowsNamed(PROGRESS_TITLE).size(), 1u);
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
                std::fprintf(stderr, "no single window \"%s\" appeared\n", title);
                std::_Exit(1);  // nobody would close the dialog this thread waits in
            }
            std::string seen = onUiThread(messageShown);
            screenshot(std::string("message-dialog-") + key);
            pressKey(windows[0], key);
            return seen;
        });
        mv::showMessage(text.c_str(), caption);
        EXPECT_EQ(user.get(), shown);
    }
}

}  // namespace
