#pragma once

#include <string>

// The URL-scheme registration of the user, as Linux desktops and browsers read it: a desktop
// entry $XDG_DATA_HOME/applications/<scheme>.desktop that handles x-scheme-handler/<scheme>, and
// the line in $XDG_CONFIG_HOME/mimeapps.list that makes it the scheme's default handler. What
// links open is read back through GIO, which resolves every list and entry as the desktop does.
namespace mv {

// The scheme's handler as the desktop resolves it (GIO's default application for the scheme,
// whichever program that is): 1 with `command` its command line, 0 when there is none, -1 when it
// cannot be read (no home, our desktop entry or the user's list of defaults present but no
// readable regular file, a command of 260 bytes or more). GIO keeps what it has read, and the XDG
// directories it read it from, for the life of the process: a process asks once.
int getUrlProtocolCommand(const char* scheme, std::string& command);

// Writes the desktop entry (Name "URL:QuarnelCmd Protocol", Exec "\"<program>\" %u"; keys of
// an existing entry that are not ours stay) and then makes it the scheme's default, so the list
// never names a missing entry. 0: both written; -1: a step failed (what was written before it
// stays).
int registerUrlProtocol(const char* scheme, const char* programPath);

// Removes our lines from the list of defaults and then our desktop entry; another program's
// handler stays. 0 when something of ours was removed; -1 when nothing was, at once when the
// entry's place holds anything but a regular file, or when a step fails.
int unregisterUrlProtocol(const char* scheme);

// The desktop entry's path and name for a scheme.
std::string desktopEntryPath(const char* scheme);
std::string desktopEntryId(const char* scheme);

// Edit every [Default Applications] group of a mimeapps.list file (a header with blanks around
// it included), keeping every other line and each line's end (LF or CR LF).
// setDefaultApplication makes `desktopId` the default for `mimeType` (creating the file and the
// group when needed); removeDefaultApplication takes `desktopId` out of that key's lists, drops a
// key with nothing left, and a group with nothing left once our line is gone (a missing file is
// nothing to remove), and sets `removed` when it took a line. 0 or -1; -1 also for anything but a
// regular file (a link is followed).
int setDefaultApplication(const std::string& listPath, const std::string& mimeType,
                          const std::string& desktopId);
int removeDefaultApplication(const std::string& listPath, const std::string& mimeType,
                             const std::string& desktopId, bool* removed = nullptr);

}  // namespace mv
