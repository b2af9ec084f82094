#pragma once

#include <string>

namespace mv {

// The PIN prompt that a token asks through when it needs a PIN, in the style of the PKCS#11
// signer's PIN dialog: "PIN入力", "署名鍵のPINを入力してください。", a password field of at
// most 127 characters, OK and "キャンセル". `tokenName` (UTF-8) tells which token asks.
// True with a non-empty `pin` after OK; false after Cancel, and always without a display.
bool askTokenPin(const std::string& tokenName, bool retry, std::string& pin);

}  // namespace mv
