#pragma once

#include <string>
#include <vector>

#include "foundation/Bytes.h"

namespace mv {

class CapiKeyEntry;

// The modal dialog in which the user chooses the key entry of the store signer: one line per
// entry, the details of the selected one, the certificate view, OK and Cancel. The texts and
// the state changes are plain code; only DoModal draws (GTK, on the UI thread).
class CCapiSelDlg {
public:
    static constexpr const char16_t* TITLE = u"証明書の選択";
    static constexpr const char16_t* PROMPT =
        u"署名に利用する証明書を選択してください (所有者 / 発行者)";
    static constexpr const char16_t* VIEW_BUTTON = u"詳細表示...";
    static constexpr const char16_t* CANCEL_BUTTON = u"キャンセル";
    static constexpr const char16_t* NO_CERTIFICATE = u"証明書がありません。";
    static constexpr const char16_t* READ_ERROR_LINE = u"ERROR:証明書読み込みエラー";
    static constexpr const char16_t* VIEW_NOT_FOUND = u"ERROR:証明書が見つかりません。";
    static constexpr const char16_t* VIEW_CAPTION = u"証明書表示";

    // The list line: "[IC] " for provider entries, the subject's and the issuer's simple display
    // names joined by " / "; empty for an entry without a certificate.
    static std::u16string makeListText(const CapiKeyEntry* entry);
    // Source line, owner, issuer, validity (local dates), serial, joined by CR LF.
    static std::u16string makeDetailText(const CapiKeyEntry* entry);

    // What the dialog shows when it opens.
    struct InitialView {
        std::vector<std::u16string> lines;  // an empty line text shown as READ_ERROR_LINE
        int selection = -1;                 // line 0, or none without entries
        bool okEnabled = false;             // OK and the view button
        std::u16string detail;
    };
    InitialView onInitDialog();
    // The details for the selected line (-1: none).
    std::u16string onSelChange(int selection) const;
    // OK: the chosen index is the selection when there are entries, else -1; returns 1.
    int onOk(int selection);

    // The DER of the entry on `row`; empty when there is none.
    ByteBuffer certificateDer(int row) const;

    // Shows the dialog modally on the UI thread, owned by g_hDlgParent, and waits. 1 OK (the
    // chosen index set), 2 Cancel (also without a display), -1 the dialog could not be made.
    int DoModal();

    std::vector<CapiKeyEntry*> entries;  // a copy of the signer's list; the signer owns them
    int chosenIndex = -1;
};

}  // namespace mv
