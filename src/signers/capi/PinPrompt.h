#pragma once

#include <string>

namespace mv {

// The PIN prompt that a token asks through when it needs a PIN, in the style of the PKCS#11
// signer's PIN dialog: "PIN入力", "署名鍵のPINを入力してください。", a password field of at
// most 127 characters, OK and "キャンセル" (OK stays disabled while the field is empty). True
// with the PIN (UTF-8) after OK; false after Cancel, and always without a display.
bool askTokenPin(std::string& pin);

}  // namespace mv
