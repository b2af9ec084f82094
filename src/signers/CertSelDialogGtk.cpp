// The drawing of the certificate selection dialogs: GTK widgets on the UI thread. Everything the
// dialog says comes from the plain logic of CCapiSelDlg and CCertSelDlg.
#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <string>

#include "foundation/Text.h"
#include "platform/ui/Ui.h"
#include "signers/CertSelDialog.h"

namespace mv {

namespace {

// Controls shown with CR LF line breaks on Windows; GTK wants LF alone.
std::string displayText(const std::u16string& text) {
    std::string utf8 = toUtf8String(text.c_str());
    utf8.erase(std::remove(utf8.begin(), utf8.end(), '\r'), utf8.end());
    return utf8;
}

// What the widgets share while the dialog is up; lives on the stack of runCertSelDialog, which
// waits.
struct DialogState {
    const CertSelSource* source = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* list = nullptr;
    GtkWidget* detail = nullptr;
    int selection = -1;
    bool sized = false;
};

int selectedRow(GtkTreeView* view) {
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(view), &model, &iter)) {
        return -1;
    }
    GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
    int row = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    return row;
}

void onSelectionChanged(GtkTreeSelection*, gpointer data) {
    auto* state = static_cast<DialogState*>(data);
    state->selection = selectedRow(GTK_TREE_VIEW(state->list));
    gtk_label_set_text(GTK_LABEL(state->detail),
                       displayText(state->source->detail(state->selection)).c_str());
}

// The system's certificate view, modal on top of the selection dialog.
void viewCertificate(DialogState* state) {
    GtkWindow* parent = GTK_WINDOW(state->window);
    if (state->source->empty) {
        GtkWidget* box =
            gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_OK,
                                   "%s", toUtf8String(certsel::VIEW_NOT_FOUND).c_str());
        gtk_window_set_title(GTK_WINDOW(box), toUtf8String(certsel::VIEW_CAPTION).c_str());
        gtk_dialog_run(GTK_DIALOG(box));
        gtk_widget_destroy(box);
        return;
    }
    ByteBuffer der = state->source->der(state->selection);
    if (der.empty()) {
        return;
    }
    GcrCertificate* certificate = gcr_simple_certificate_new(der.data(), der.size());
    GtkWidget* view = gtk_dialog_new_with_buttons(toUtf8String(u"証明書").c_str(), parent,
                                                  GTK_DIALOG_MODAL, "OK", GTK_RESPONSE_OK, nullptr);
    GtkWidget* widget = GTK_WIDGET(gcr_certificate_widget_new(certificate));
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(view))), widget, TRUE, TRUE,
                       0);
    gtk_window_set_default_size(GTK_WINDOW(view), 480, 520);
    gtk_widget_show_all(view);
    gtk_dialog_run(GTK_DIALOG(view));
    gtk_widget_destroy(view);
    g_object_unref(certificate);
}

// A double click views the certificate; Enter on a line is OK, as in a dialog's list box.
void onRowActivated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer data) {
    auto* state = static_cast<DialogState*>(data);
    GdkEvent* event = gtk_get_current_event();
    bool byKey = event != nullptr && event->type == GDK_KEY_PRESS;
    if (event != nullptr) {
        gdk_event_free(event);
    }
    if (byKey) {
        gtk_dialog_response(GTK_DIALOG(state->window), 1);
    } else {
        viewCertificate(state);
    }
}

// The size at start is the smallest; the dialog may grow wider, never taller.
void onMap(GtkWidget* widget, gpointer data) {
    auto* state = static_cast<DialogState*>(data);
    if (state->sized) {
        return;
    }
    state->sized = true;
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(widget), &width, &height);
    GdkGeometry hints{};
    hints.min_width = width;
    hints.min_height = height;
    hints.max_width = G_MAXSHORT;
    hints.max_height = height;
    gtk_window_set_geometry_hints(GTK_WINDOW(widget), nullptr, &hints,
                                  GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
}

GtkDialog* build(GtkWindow* owner, DialogState* state, const CertSelView& view) {
    GtkWidget* window = gtk_dialog_new();
    state->window = window;
    GtkWindow* w = GTK_WINDOW(window);
    gtk_window_set_title(w, toUtf8String(certsel::TITLE).c_str());
    gtk_window_set_deletable(w, FALSE);  // no close box, as the dialog has no system menu
    gtk_window_set_default_size(w, 420, 330);
    ui::placeDialog(w, owner);

    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(window));
    gtk_box_set_spacing(GTK_BOX(content), 4);
    GtkWidget* prompt = gtk_label_new(toUtf8String(certsel::PROMPT).c_str());
    gtk_label_set_xalign(GTK_LABEL(prompt), 0);
    gtk_box_pack_start(GTK_BOX(content), prompt, FALSE, FALSE, 0);

    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    for (const std::u16string& line : view.lines) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, toUtf8String(line.c_str()).c_str(), -1);
    }
    state->list = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    GtkTreeView* list = GTK_TREE_VIEW(state->list);
    gtk_tree_view_set_headers_visible(list, FALSE);
    gtk_tree_view_insert_column_with_attributes(list, -1, "", gtk_cell_renderer_text_new(), "text",
                                                0, nullptr);
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scroll), state->list);
    gtk_box_pack_start(GTK_BOX(content), scroll, TRUE, TRUE, 0);

    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
    state->detail = gtk_label_new(displayText(view.detail).c_str());
    gtk_label_set_xalign(GTK_LABEL(state->detail), 0);
    gtk_label_set_yalign(GTK_LABEL(state->detail), 0);
    gtk_label_set_line_wrap(GTK_LABEL(state->detail), FALSE);
    gtk_label_set_selectable(GTK_LABEL(state->detail), FALSE);
    gtk_widget_set_size_request(state->detail, -1, 90);
    gtk_container_add(GTK_CONTAINER(frame), state->detail);
    gtk_box_pack_start(GTK_BOX(content), frame, FALSE, FALSE, 0);

    GtkWidget* viewButton = gtk_button_new_with_label(toUtf8String(certsel::VIEW_BUTTON).c_str());
    gtk_widget_set_halign(viewButton, GTK_ALIGN_START);
    gtk_widget_set_sensitive(viewButton, view.okEnabled);
    g_signal_connect(viewButton, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                         viewCertificate(static_cast<DialogState*>(data));
                     }),
                     state);
    gtk_box_pack_start(GTK_BOX(content), viewButton, FALSE, FALSE, 0);

    gtk_dialog_add_button(GTK_DIALOG(window), "OK", ui::RESULT_OK);
    gtk_dialog_add_button(GTK_DIALOG(window), toUtf8String(certsel::CANCEL_BUTTON).c_str(),
                          ui::RESULT_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(window), ui::RESULT_OK);
    gtk_dialog_set_response_sensitive(GTK_DIALOG(window), ui::RESULT_OK, view.okEnabled);

    GtkTreeSelection* selection = gtk_tree_view_get_selection(list);
    gtk_tree_selection_set_mode(selection, GTK_SELECTION_SINGLE);
    if (view.selection >= 0) {
        GtkTreePath* path = gtk_tree_path_new_from_indices(view.selection, -1);
        gtk_tree_selection_select_path(selection, path);
        gtk_tree_view_set_cursor(list, path, nullptr, FALSE);
        gtk_tree_path_free(path);
        state->selection = view.selection;
    }
    g_signal_connect(selection, "changed", G_CALLBACK(onSelectionChanged), state);
    g_signal_connect(list, "row-activated", G_CALLBACK(onRowActivated), state);
    g_signal_connect(window, "map", G_CALLBACK(onMap), state);
    gtk_widget_grab_focus(state->list);  // the list takes the initial focus
    return GTK_DIALOG(window);
}

}  // namespace

int runCertSelDialog(const CertSelSource& source, const CertSelView& view, int* row) {
    DialogState state;
    state.source = &source;
    int r = ui::runDialog(g_hDlgParent.load(),
                          [&](GtkWindow* owner) { return build(owner, &state, view); });
    if (r == ui::RESULT_OK) {
        *row = state.selection;
        return ui::RESULT_OK;
    }
    return r == ui::RESULT_CANCEL ? ui::RESULT_CANCEL : -1;
}

}  // namespace mv
