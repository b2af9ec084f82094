#pragma once

namespace mv {

// Appends (or, when `append` is false, replaces the file with) one line
// "<local time> <tag> / <text>" in the thread's ANSI code page, every LF written as CR LF.
// The file is opened without following a symbolic link and created with mode 0600, because its
// default place is a shared temporary directory.
// Returns 0 when the line was handed to the file, -1 when the local time could not be formed or
// the file could not be opened.
int writeLogFile(const char16_t* path, const char16_t* text, const char16_t* tag, bool append);

}  // namespace mv
