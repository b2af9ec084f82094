#include "platform/ui/MainWnd.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include "foundation/Text.h"
#include "platform/ui/Dialogs.h"

namespace mv {

CMainWnd g_mainWnd;

namespace {

constexpr const char* INITIAL_STATUS = "署名コマンド実行中";

void cancelClicked(GtkButton*, gpointer) {
    g_mainWnd.onCancel();
}

gboolean keyPressed(GtkWidget*, GdkEventKey* event, gpointer) {
    if (event->keyval == GDK_KEY_Escape) {
        g_mainWnd.onCancel();
        return TRUE;
    }
    return FALSE;
}

// A window manager may close even an undecorated window; treat that like the button.
gboolean deleteRequested(GtkWidget*, GdkEvent*, gpointer) {
    g_mainWnd.onCancel();
    return TRUE;
}

}  // namespace

GtkWidget* CMainWnd::create(GtkWindow* owner, ui::Finish finishWith) {
    finish = std::move(finishWith);
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* win = GTK_WINDOW(window);
    // The window has no title bar; the title still names it to window lists and tests.
    gtk_window_set_title(win, "署名コマンド");
    gtk_window_set_decorated(win, FALSE);
    gtk_window_set_resizable(win, FALSE);
    gtk_window_set_skip_taskbar_hint(win, TRUE);
    gtk_window_set_type_hint(win, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_default_size(win, 180, 80);
    if (owner != nullptr) {
        gtk_window_set_transient_for(win, owner);
        gtk_window_set_position(win, GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(win, GTK_WIN_POS_CENTER);
    }
    gtk_window_set_keep_above(win, TRUE);

    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_OUT);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 10);
    status = gtk_label_new(INITIAL_STATUS);
    gtk_label_set_justify(GTK_LABEL(status), GTK_JUSTIFY_CENTER);
    gtk_widget_set_name(status, "status");
    focus = gtk_button_new_with_label("中断");
    gtk_widget_set_halign(focus, GTK_ALIGN_CENTER);
    gtk_widget_set_size_request(focus, 75, -1);
    gtk_box_pack_start(GTK_BOX(box), status, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), focus, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(frame), box);
    gtk_container_add(GTK_CONTAINER(window), frame);

    g_signal_connect(focus, "clicked", G_CALLBACK(cancelClicked), nullptr);
    g_signal_connect(window, "key-press-event", G_CALLBACK(keyPressed), nullptr);
    g_signal_connect(window, "delete-event", G_CALLBACK(deleteRequested), nullptr);
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(focus);

    g_hDlgParent = win;
    bool closeFirst;
    {
        std::lock_guard lock(mutex);
        shown = true;
        closeFirst = closes != openedAt;
    }
    changed.notify_all();
    if (closeFirst) {
        // closeMainWnd was called before the window existed; its request found nothing to end.
        ui::post([this] { end(1); });
    }
    return window;
}

void CMainWnd::onCancel() {
    if (window == nullptr || confirm != nullptr) {
        return;
    }
    confirm = GTK_WIDGET(CConfDlg::create(GTK_WINDOW(window)));
    g_signal_connect(confirm, "response",
                     G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer) {
                         g_mainWnd.confirm = nullptr;
                         gtk_widget_destroy(GTK_WIDGET(dialog));
                         if (response == ui::RESULT_OK) {
                             g_mainWnd.end(2);
                         }
                     }),
                     nullptr);
    gtk_widget_show_all(confirm);
}

void CMainWnd::end(int result) {
    if (window == nullptr) {
        return;
    }
    if (confirm != nullptr) {
        gtk_widget_destroy(confirm);
        confirm = nullptr;
    }
    if (g_hDlgParent.load() == GTK_WINDOW(window)) {
        g_hDlgParent = g_hForeground.load();
    }
    // The modal run destroys the window.
    window = nullptr;
    status = nullptr;
    focus = nullptr;
    ui::Finish done = std::move(finish);
    finish = nullptr;
    done(result);
}

void CMainWnd::setStatus(const std::string& text) {
    if (status != nullptr) {
        gtk_label_set_text(GTK_LABEL(status), text.c_str());
    }
}

int runMainWnd(MainWndThreadArg* arg) {
    unsigned long openedAt;
    {
        // The starter waits for `shown` before it may close this run, so no close of this run
        // can come before this point; earlier ones (also unmatched ones) belong to earlier runs.
        std::lock_guard lock(g_mainWnd.mutex);
        openedAt = g_mainWnd.openedAt = g_mainWnd.closes;
    }
    if (!ui::hasDisplay()) {
        // No display: there is no window to wait for, only for the end of the work.
        std::unique_lock lock(g_mainWnd.mutex);
        g_mainWnd.shown = true;
        g_mainWnd.changed.notify_all();
        g_mainWnd.changed.wait(lock, [openedAt] { return g_mainWnd.closes != openedAt; });
        return 0;
    }
    GtkWindow* owner = arg != nullptr ? arg->owner : nullptr;
    int result = ui::runModal(owner, [](GtkWindow* owner, ui::Finish finish) {
        return g_mainWnd.create(owner, std::move(finish));
    });
    if (result == ui::RESULT_CANCEL) {
        // The user confirmed the abort: end now, from this thread, without running destructors
        // that other threads' work may still depend on.
        _exit(1);
    }
    return 0;
}

void waitMainWndShown() {
    std::unique_lock lock(g_mainWnd.mutex);
    g_mainWnd.changed.wait(lock, [] { return g_mainWnd.shown; });
}

void closeMainWnd() {
    {
        std::lock_guard lock(g_mainWnd.mutex);
        ++g_mainWnd.closes;
        // The next starter must wait for its own window, not see this one.
        g_mainWnd.shown = false;
    }
    g_mainWnd.changed.notify_all();
    ui::post([] { g_mainWnd.end(1); });
    g_hDlgParent = g_hForeground.load();
}

void setMainWndStatus(const char16_t* text) {
    if (text == nullptr) {
        return;
    }
    ui::post([utf8 = toUtf8String(text)] { g_mainWnd.setStatus(utf8); });
}

}  // namespace mv
