#pragma once

#include <string>

#include "platform/ui/Ui.h"

namespace mv {

// Shows `text` (ANSI, CR LF line breaks) in the modal message dialog with `caption` (ANSI; null
// gives "署名コマンド") and returns when the user closes it. Without a display the text goes to
// standard error instead.
void showMessage(const char* text, const char* caption = nullptr);

enum class MessageBoxButtons { Ok, OkCancel };

// A plain message box with no owner, kept above other windows; texts in ANSI. Returns
// ui::RESULT_OK or ui::RESULT_CANCEL (closing the box also cancels). Without a display the
// caption and text go to standard error and the answer is ui::RESULT_CANCEL.
int showMessageBox(const char* text, const char* caption, MessageBoxButtons buttons);

// The message dialog: a read-only text that scrolls, and OK.
class CMesgDlg {
public:
    // On the caller's thread: the texts are ANSI of that thread.
    CMesgDlg(const char* text, const char* caption);
    // On the UI thread: the dialog, not yet shown. Responses: 1 OK, 2 Escape or close.
    GtkDialog* create(GtkWindow* owner) const;

    std::string text;     // ANSI
    std::string caption;  // ANSI
private:
    std::string utf8Text, utf8Caption;
};

// The confirmation dialog of the progress window: "中断しますか？" with OK (1) and
// "キャンセル" (2).
class CConfDlg {
public:
    // On the UI thread: the dialog, not yet shown.
    static GtkDialog* create(GtkWindow* owner);
};

// UTF-8 of an ANSI text of the calling thread.
std::string ansiToUtf8(const char* text);

}  // namespace mv
