#include <gtk/gtk.h>

#include "foundation/Text.h"
#include "platform/ui/Ui.h"
#include "signers/capi/PinPrompt.h"

namespace mv {

namespace {

constexpr int MAX_PIN = 127;

struct PinState {
    GtkWidget* dialog = nullptr;
    std::string pin;
};

void onChanged(GtkEditable* entry, gpointer data) {
    auto* state = static_cast<PinState*>(data);
    state->pin = gtk_entry_get_text(GTK_ENTRY(entry));
    // The prompt cannot be confirmed with an empty PIN.
    gtk_dialog_set_response_sensitive(GTK_DIALOG(state->dialog), ui::RESULT_OK,
                                      !state->pin.empty());
}

}  // namespace

bool askTokenPin(std::string& pin) {
    PinState state;
    int r = ui::runDialog(g_hDlgParent.load(), [&](GtkWindow* owner) {
        GtkWidget* dialog = gtk_dialog_new();
        state.dialog = dialog;
        gtk_window_set_title(GTK_WINDOW(dialog), toUtf8String(u"PIN入力").c_str());
        gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
        ui::placeDialog(GTK_WINDOW(dialog), owner);
        GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
        gtk_box_set_spacing(GTK_BOX(content), 6);
        GtkWidget* label = gtk_label_new(toUtf8String(u"署名鍵のPINを入力してください。").c_str());
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        gtk_box_pack_start(GTK_BOX(content), label, FALSE, FALSE, 0);
        GtkWidget* entry = gtk_entry_new();
        gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
        gtk_entry_set_max_length(GTK_ENTRY(entry), MAX_PIN);
        gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
        gtk_box_pack_start(GTK_BOX(content), entry, FALSE, FALSE, 0);
        gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", ui::RESULT_OK);
        gtk_dialog_add_button(GTK_DIALOG(dialog), toUtf8String(u"キャンセル").c_str(),
                              ui::RESULT_CANCEL);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), ui::RESULT_OK);
        gtk_dialog_set_response_sensitive(GTK_DIALOG(dialog), ui::RESULT_OK, FALSE);
        g_signal_connect(entry, "changed", G_CALLBACK(onChanged), &state);
        gtk_widget_grab_focus(entry);
        return GTK_DIALOG(dialog);
    });
    if (r != ui::RESULT_OK || state.pin.empty()) {
        return false;
    }
    pin = state.pin;
    return true;
}

}  // namespace mv
