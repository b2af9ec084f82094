#pragma once

#include <string>

// The URL-scheme registration of the user, as Linux desktops and browsers read it: a desktop
// entry $XDG_DATA_HOME/applications/<scheme>.desktop that handles x-scheme-handler/<scheme>, and
// the line in $XDG_CONFIG_HOME/mimeapps.list that makes it the scheme's default handler.
namespace mv {

// 1: registered, `command` is the Exec line of the desktop entry; 0: not registered (no desktop
// entry or no Exec line in it, an entry that runs another program than `programPath`, or one
// that the list of defaults does not name as the scheme's handler); -1: any other failure, an
// Exec line of 260 bytes or more and an entry or list that is no regular file included.
int getUrlProtocolCommand(const char* scheme, const char* programPath, std::string& command);

// Writes the desktop entry (Name "URL:QuarnelCmd Protocol", Exec "\"<program>\" %u"; keys of
// an existing entry that are not ours stay) and then makes it the scheme's default, so the list
// never names a missing entry. 0: both written; -1: a step failed (what was written before it
// stays).
int registerUrlProtocol(const char* scheme, const char* programPath);

// Removes the default line and then the desktop entry. -1 at once, changing nothing, when there
// is no desktop entry or it is no regular file; -1 when a step fails; else 0.
int unregisterUrlProtocol(const char* scheme);

// The desktop entry's path and name for a scheme.
std::string desktopEntryPath(const char* scheme);
std::string desktopEntryId(const char* scheme);

// Edit every [Default Applications] group of a mimeapps.list file (a header with blanks around
// it included), keeping every other line and each line's end (LF or CR LF).
// setDefaultApplication makes `desktopId` the default for `mimeType` (creating the file and the
// group when needed); removeDefaultApplication takes `desktopId` out of that key's lists, drops a
// key with nothing left, and a group with nothing left once our line is gone (a missing file is
// nothing to remove). 0 or -1; -1 also for anything but a regular file (a link is followed).
int setDefaultApplication(const std::string& listPath, const std::string& mimeType,
                          const std::string& desktopId);
int removeDefaultApplication(const std::string& listPath, const std::string& mimeType,
                             const std::string& desktopId);

}  // namespace mv
