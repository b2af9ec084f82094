// The drawing of the PIN dialog and of the library file dialog: GTK widgets on the UI thread.
#include <gtk/gtk.h>
#include <string.h>

#include "foundation/Text.h"
#include "platform/ui/Ui.h"
#include "signers/pkcs11/CCertSelDlg.h"

namespace mv {

namespace {

// What the widgets share while the PIN dialog is up; lives on the stack of DoModal, which waits.
struct PinState {
    CCertPinDlg* dialog = nullptr;
    GtkWidget* entry = nullptr;
    GdkWindow* previousForeground = nullptr;  // owned reference
    bool painted = false;
};

// OK reads the field; an empty one keeps the dialog open.
void onResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto* state = static_cast<PinState*>(data);
    if (response != ui::RESULT_OK) {
        return;
    }
    char* utf8 = g_strdup(gtk_entry_get_text(GTK_ENTRY(state->entry)));
    std::u16string text = utf8ToWString(utf8, strlen(utf8));
    explicit_bzero(utf8, strlen(utf8));
    g_free(utf8);
    if (state->dialog->onOk(text) == 0) {
        g_signal_stop_emission_by_name(dialog, "response");
    }
    explicit_bzero(text.data(), text.size() * sizeof(char16_t));
}

// On the first paint the dialog takes the foreground and remembers who had it.
gboolean onDraw(GtkWidget* widget, cairo_t*, gpointer data) {
    auto* state = static_cast<PinState*>(data);
    if (!state->painted) {
        state->painted = true;
        // X11 tells the active window of another program only through this call.
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        state->previousForeground = gdk_screen_get_active_window(gtk_widget_get_screen(widget));
        G_GNUC_END_IGNORE_DEPRECATIONS
        gtk_window_present(GTK_WINDOW(widget));
    }
    return FALSE;  // the painting itself is GTK's
}

// Closing gives the foreground back.
void onDestroy(GtkWidget*, gpointer data) {
    auto* state = static_cast<PinState*>(data);
    if (state->previousForeground != nullptr) {
        gdk_window_focus(state->previousForeground, GDK_CURRENT_TIME);
        g_object_unref(state->previousForeground);
        state->previousForeground = nullptr;
    }
}

GtkDialog* buildPinDialog(GtkWindow* owner, PinState* state) {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), toUtf8String(CCertPinDlg::TITLE).c_str());
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    ui::placeDialog(GTK_WINDOW(dialog), owner);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_box_set_spacing(GTK_BOX(content), 6);
    GtkWidget* label = gtk_label_new(toUtf8String(CCertPinDlg::PROMPT).c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_pack_start(GTK_BOX(content), label, FALSE, FALSE, 0);
    state->entry = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(state->entry), FALSE);
    // The field holds 128 characters; OK takes 127 of them.
    gtk_entry_set_max_length(GTK_ENTRY(state->entry), CCertPinDlg::PIN_SIZE);
    gtk_entry_set_activates_default(GTK_ENTRY(state->entry), TRUE);
    gtk_box_pack_start(GTK_BOX(content), state->entry, FALSE, FALSE, 0);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", ui::RESULT_OK);
    gtk_dialog_add_button(GTK_DIALOG(dialog), toUtf8String(certsel::CANCEL_BUTTON).c_str(),
                          ui::RESULT_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), ui::RESULT_OK);
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), state);
    g_signal_connect(dialog, "draw", G_CALLBACK(onDraw), state);
    g_signal_connect(dialog, "destroy", G_CALLBACK(onDestroy), state);
    gtk_widget_grab_focus(state->entry);
    return GTK_DIALOG(dialog);
}

}  // namespace

int CCertPinDlg::DoModal() {
    explicit_bzero(pin, sizeof pin);
    PinState state;
    state.dialog = this;
    int r = ui::runDialog(g_hDlgParent.load(),
                          [&](GtkWindow* owner) { return buildPinDialog(owner, &state); });
    return r == ui::RESULT_OK && pin[0] != 0 ? ui::RESULT_OK : ui::RESULT_CANCEL;
}

std::u16string selectLibraryFile(size_t maxLength) {
    std::string chosen;
    std::string title = toUtf8String(u"開く");
    std::string cancel = toUtf8String(certsel::CANCEL_BUTTON);
    std::string libraries = toUtf8String(u"共有ライブラリ(*.so)");
    std::string all = toUtf8String(u"すべてのファイル(*.*)");
    ui::runDialog(g_hDlgParent.load(), [&](GtkWindow* owner) {
        GtkWidget* dialog = gtk_file_chooser_dialog_new(
            title.c_str(), owner, GTK_FILE_CHOOSER_ACTION_OPEN, cancel.c_str(), ui::RESULT_CANCEL,
            "OK", ui::RESULT_OK, nullptr);
        ui::placeDialog(GTK_WINDOW(dialog), owner);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), ui::RESULT_OK);
        for (auto [name, pattern] : {std::pair{&libraries, "*.so"}, std::pair{&all, "*"}}) {
            GtkFileFilter* filter = gtk_file_filter_new();
            gtk_file_filter_set_name(filter, name->c_str());
            gtk_file_filter_add_pattern(filter, pattern);
            gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
        }
        // The path is taken before the layer destroys the dialog.
        g_signal_connect(dialog, "response",
                         G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
                             if (response != ui::RESULT_OK) {
                                 return;
                             }
                             if (char* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d))) {
                                 *static_cast<std::string*>(data) = file;
                                 g_free(file);
                             }
                         }),
                         &chosen);
        return GTK_DIALOG(dialog);
    });
    std::u16string path = utf8ToWString(chosen.data(), chosen.size());
    return path.size() <= maxLength ? path : std::u16string();
}

}  // namespace mv
