#include "platform/ui/Dialogs.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>

#include "foundation/Text.h"

namespace mv {

std::string ansiToUtf8(const char* text) {
    std::u16string wide;
    ansiToWString(text != nullptr ? text : "", wide);
    return toUtf8String(wide.c_str());
}

namespace {

constexpr const char* DEFAULT_CAPTION = "署名コマンド";

// The calling thread's ANSI form of one of our own UTF-8 texts.
std::string ansiOf(const char* utf8) {
    std::string out;
    utf8ToAnsi(utf8, std::strlen(utf8), out);
    return out;
}

// GTK draws CR LF as one break already; a lone CR would show as a box glyph.
std::string withLfBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                continue;
            }
            out.push_back('\n');
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

void printToStderr(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

CMesgDlg::CMesgDlg(const char* text, const char* caption)
    : text(text != nullptr ? text : ""),
      caption(caption != nullptr ? caption : ansiOf(DEFAULT_CAPTION)),
      utf8Text(ansiToUtf8(text)),
      utf8Caption(caption != nullptr ? ansiToUtf8(caption) : std::string(DEFAULT_CAPTION)) {}

GtkDialog* CMesgDlg::create(GtkWindow* owner) const {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), utf8Caption.c_str());
    // Centred on the foreground window at start, which Linux does not name: on the screen.
    ui::placeDialog(GTK_WINDOW(dialog), owner);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 400, 160);

    GtkWidget* view = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
    gtk_widget_set_name(view, "mesg-text");
    std::string shown = withLfBreaks(utf8Text);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), shown.c_str(), -1);

    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scroller), view);
    gtk_widget_set_vexpand(scroller, TRUE);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_container_set_border_width(GTK_CONTAINER(content), 8);
    gtk_box_pack_start(GTK_BOX(content), scroller, TRUE, TRUE, 0);

    GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", ui::RESULT_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), ui::RESULT_OK);
    gtk_widget_grab_focus(ok);
    return GTK_DIALOG(dialog);
}

GtkDialog* CConfDlg::create(GtkWindow* owner) {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), "署名コマンド");
    ui::placeDialog(GTK_WINDOW(dialog), owner);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_container_set_border_width(GTK_CONTAINER(content), 12);
    gtk_box_pack_start(GTK_BOX(content), gtk_label_new("中断しますか？"), TRUE, TRUE, 4);
    GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", ui::RESULT_OK);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "キャンセル", ui::RESULT_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), ui::RESULT_OK);
    gtk_widget_grab_focus(ok);
    return GTK_DIALOG(dialog);
}

void showMessage(const char* text, const char* caption) {
    CMesgDlg dialog(text, caption);
    if (!ui::hasDisplay()) {
        printToStderr(caption != nullptr ? ansiToUtf8(caption) : DEFAULT_CAPTION, ansiToUtf8(text));
        return;
    }
    ui::runDialog(g_hDlgParent.load(),
                  [&dialog](GtkWindow* owner) { return dialog.create(owner); });
}

int showMessageBox(const char* text, const char* caption, MessageBoxButtons buttons) {
    std::string utf8Text = ansiToUtf8(text);
    std::string utf8Caption = ansiToUtf8(caption);
    if (!ui::hasDisplay()) {
        printToStderr(utf8Caption, utf8Text);
        return ui::RESULT_CANCEL;
    }
    return ui::runDialog(nullptr, [&](GtkWindow* owner) {
        GtkWidget* box =
            gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE,
                                   "%s", withLfBreaks(utf8Text).c_str());
        gtk_window_set_title(GTK_WINDOW(box), utf8Caption.c_str());
        ui::placeDialog(GTK_WINDOW(box), owner);
        gtk_dialog_add_button(GTK_DIALOG(box), "OK", ui::RESULT_OK);
        if (buttons == MessageBoxButtons::OkCancel) {
            gtk_dialog_add_button(GTK_DIALOG(box), "キャンセル", ui::RESULT_CANCEL);
        }
        gtk_dialog_set_default_response(GTK_DIALOG(box), ui::RESULT_OK);
        return GTK_DIALOG(box);
    });
}

}  // namespace mv
