#pragma once

namespace mv {

// Shows `text` (ANSI, CR LF line breaks) in the modal message dialog with `caption` (ANSI; null
// gives "署名コマンド") and returns when the user closes it. Without a display the text goes to
// standard error instead.
void showMessage(const char* text, const char* caption = nullptr);

}  // namespace mv
