#pragma once

#include <string>
#include <vector>

#include "foundation/Bytes.h"
#include "signers/CertSelDialog.h"

namespace mv {

// The modal dialog in which the user chooses one of the certificates read from the token: one
// line per certificate, the details of the selected one, the certificate view, OK and Cancel.
// The texts and the state changes are plain code; only DoModal draws (GTK, on the UI thread).
class CCertSelDlg {
public:
    // The subject's and the issuer's simple display names joined by " / "; empty for a
    // certificate that does not parse (or no such index).
    std::u16string getListText(int index) const;
    // Owner, issuer, validity (local dates) and serial, joined by CR LF; empty as above.
    std::u16string getDetailText(int index) const;

    // What the dialog shows when it opens; `selection` becomes -1.
    CertSelView onInitDialog();
    // The details for the selected line (-1: none).
    std::u16string onSelChange(int row) const;
    // OK: `selection` is the selected line when there are certificates, else -1; returns 1.
    int onOk(int row);

    // 1 OK (`selection` set), 2 Cancel (also without a display), -1 the dialog could not be made.
    int DoModal();

    int selection = -1;
    std::vector<ByteBuffer> certificates;  // filled by the caller before DoModal
};

// The modal dialog that asks for the token's PIN: "PIN入力", a password field, OK and Cancel.
class CCertPinDlg {
public:
    static constexpr const char16_t* TITLE = u"PIN入力";
    static constexpr const char16_t* PROMPT = u"署名鍵のPINを入力してください。";
    static constexpr size_t PIN_SIZE = 128;  // 127 characters and the terminator

    CCertPinDlg() = default;
    ~CCertPinDlg();  // wipes the PIN
    CCertPinDlg(const CCertPinDlg&) = delete;
    CCertPinDlg& operator=(const CCertPinDlg&) = delete;

    // OK with the text of the field: at most 127 characters are taken. An empty text leaves the
    // dialog open (0); otherwise `pin` holds it and the result is 1.
    int onOk(const std::u16string& text);

    // 1 OK (`pin` holds a non-empty PIN), 2 Cancel (also without a display).
    int DoModal();

    char16_t pin[PIN_SIZE] = {};
};

// The file-open dialog for a PKCS#11 library ("*.so", or any file): the chosen path, empty when
// the user cancelled, there is no display, or the path is longer than `maxLength` characters.
std::u16string selectLibraryFile(size_t maxLength);

}  // namespace mv
