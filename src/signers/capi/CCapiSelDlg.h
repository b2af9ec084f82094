#pragma once

#include <string>
#include <vector>

#include "foundation/Bytes.h"
#include "signers/CertSelDialog.h"

namespace mv {

class CapiKeyEntry;

// The modal dialog in which the user chooses the key entry of the store signer: one line per
// entry, the details of the selected one, the certificate view, OK and Cancel. The texts and
// the state changes are plain code; only DoModal draws (GTK, on the UI thread).
class CCapiSelDlg {
public:
    static constexpr const char16_t* TITLE = certsel::TITLE;
    static constexpr const char16_t* NO_CERTIFICATE = certsel::NO_CERTIFICATE;
    static constexpr const char16_t* READ_ERROR_LINE = certsel::READ_ERROR_LINE;

    // The list line: "[IC] " for provider entries, the subject's and the issuer's simple display
    // names joined by " / "; empty for an entry without a certificate.
    static std::u16string makeListText(const CapiKeyEntry* entry);
    // Source line, owner, issuer, validity (local dates), serial, joined by CR LF.
    static std::u16string makeDetailText(const CapiKeyEntry* entry);

    // What the dialog shows when it opens.
    using InitialView = CertSelView;
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
