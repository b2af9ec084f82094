#pragma once

#include <string>

namespace mv {

// The message of a result code, "未定義エラー" for a code outside the table, in UTF-8.
const char* resultMessageUtf8(int code);

// "message(code)" in the calling thread's ANSI code page, as replies, logs and the batch-failure
// dialog show it.
std::string resultMessageText(int code);

}  // namespace mv
