#include "signers/capi/PinPrompt.h"

#include "foundation/Text.h"
#include "signers/pkcs11/CCertSelDlg.h"

namespace mv {

bool askTokenPin(std::string& pin) {
    CCertPinDlg dialog;
    if (dialog.DoModal() != 1) {
        return false;
    }
    toUtf8CString(dialog.pin, pin);
    return !pin.empty();
}

}  // namespace mv
