#pragma once

#include <string>
#include <string_view>

namespace mv {

// Appends (or, when `append` is false, replaces the file with) one line
// "<local time> <tag> / <text>" in the thread's ANSI code page, every LF written as CR LF.
// The default place of the log is a shared temporary directory, where another user may have put
// something first: the file is opened without following a symbolic link, created with mode 0600,
// and written (or emptied) only when, once open, it is a regular file of ours with one link.
// Returns 0 when the line was handed to the file, -1 when the local time could not be formed or
// the file could not be opened or is not such a file.
int writeLogFile(const char16_t* path, const char16_t* text, const char16_t* tag, bool append);
// writeLogFile in two steps, for a caller that counts what it writes: the line's bytes as they
// reach the file (empty when the local time could not be formed), then their write (0 or -1).
std::string formatLogLine(const char16_t* text, const char16_t* tag);
int writeLogBytes(const char16_t* path, const std::string& bytes, bool append);

// Most UTF-16 units that text from outside (a page's command, a server's answer) may fill in a
// log line.
inline constexpr size_t OUTSIDE_TEXT_LOG_LIMIT = 4096;

// Text from outside made fit for a log line: every control character (C0, DEL, C1: CR and LF
// among them) written as "\xHH", and the result cut to OUTSIDE_TEXT_LOG_LIMIT units (never
// inside an escape or a surrogate pair). Callers pass it as the text of writeLog or logError, so
// that what arrived from outside can neither forge log lines nor grow the log without bound.
std::u16string outsideTextForLog(std::u16string_view text);
// The same for ANSI text (the thread's code page); only the part that can reach the line is
// converted.
std::u16string outsideAnsiTextForLog(std::string_view ansi);

}  // namespace mv
