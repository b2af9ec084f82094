#pragma once

#include <string>

namespace mv {

// The PIN prompt that a token asks through when it needs a PIN: the PKCS#11 signer's PIN dialog
// (CCertPinDlg). True with the PIN (UTF-8) after OK; false after Cancel, and always without a
// display.
bool askTokenPin(std::string& pin);

}  // namespace mv
