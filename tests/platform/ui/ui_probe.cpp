// A small program that the dialog tests drive under Xvfb: it shows one of the dialogs through the
// UI layer and reports what the dialog holds on standard output. The tests press the keys and
// buttons with xdotool, as a user would.
//
//   ui_probe progress <status>   progress window with that status line, up until it is aborted
//   ui_probe message <text>      message dialog; "\r\n" in <text> are CR LF
#include <gtk/gtk.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "foundation/Text.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/MainWnd.h"

namespace {

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

std::string unescapeCrLf(std::string text) {
    for (size_t at; (at = text.find("\\r\\n")) != std::string::npos;) {
        text.replace(at, 4, "\r\n");
    }
    return text;
}

// Reports, from the UI thread once the dialog has been drawn, what the progress window's status
// line or the message dialog shows.
gboolean report(gpointer) {
    if (GtkWidget* status = findNamed("status")) {
        std::printf("status=%s\n", gtk_label_get_text(GTK_LABEL(status)));
        return G_SOURCE_REMOVE;
    }
    GtkWidget* view = findNamed("mesg-text");
    if (view == nullptr) {
        return G_SOURCE_CONTINUE;
    }
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    char* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    GtkAdjustment* v = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
    bool scrolls = gtk_adjustment_get_upper(v) > gtk_adjustment_get_page_size(v) + 0.5;
    std::printf("lines=%d scrolls=%d cr=%d editable=%d\n", gtk_text_buffer_get_line_count(buffer),
                scrolls ? 1 : 0, std::strchr(text, '\r') != nullptr ? 1 : 0,
                gtk_text_view_get_editable(GTK_TEXT_VIEW(view)) ? 1 : 0);
    g_free(text);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 3 || !mv::ui::hasDisplay()) {
        std::fprintf(stderr, "usage: ui_probe progress|message <text> (needs a display)\n");
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "message") {
        g_timeout_add(50, report, nullptr);
        std::string text = unescapeCrLf(argv[2]);
        mv::showMessage(text.c_str(), argc > 3 ? argv[3] : nullptr);
        std::printf("closed\n");
        return 0;
    }
    if (mode == "progress") {
        mv::MainWndThreadArg arg;
        std::thread window(mv::runMainWnd, &arg);
        mv::waitMainWndShown();
        std::u16string status = mv::utf8ToWString(argv[2], std::strlen(argv[2]));
        mv::setMainWndStatus(status.c_str());
        // After the status update, which was posted first.
        mv::ui::post([] { g_timeout_add(50, report, nullptr); });
        window.join();  // until the user aborts: nothing else closes it
        return 0;
    }
    return 2;
}
