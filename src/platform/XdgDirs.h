#pragma once

#include <string>

namespace mv {

// The user's home: $HOME, else the password database's entry; empty when neither names one.
std::string getHomeDir();

// $XDG_DATA_HOME, else $HOME/.local/share; a relative value is ignored as the XDG Base Directory
// rules require. No final '/'.
std::string getXdgDataHome();

// $XDG_CONFIG_HOME, else $HOME/.config, by the same rule.
std::string getXdgConfigHome();

// The user's Downloads folder: XDG_DOWNLOAD_DIR of $XDG_CONFIG_HOME/user-dirs.dirs, else
// $HOME/Downloads. No final '/'; empty when no home is known.
std::string getDownloadDir();

// Makes `dir` and its missing parents with mode 0700 (the XDG rule for directories it creates).
// False when it does not exist afterwards.
bool makeDirs(const std::string& dir);

}  // namespace mv
