#include "platform/XdgDirs.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace mv {
namespace {

std::string baseDir(const char* variable, const char* fallbackUnderHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        std::string dir = value;
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        return dir;
    }
    std::string home = getHomeDir();
    return home.empty() ? std::string() : home + fallbackUnderHome;
}

// One value of user-dirs.dirs: "$HOME/..." or an absolute path in double quotes, with backslash
// escapes; anything else is not a usable value.
bool parseUserDirValue(const std::string& raw, const std::string& home, std::string& out) {
    size_t open = raw.find('"');
    if (open == std::string::npos) {
        return false;
    }
    std::string value;
    size_t i = open + 1;
    for (; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            ++i;
        }
        value.push_back(raw[i]);
    }
    if (i >= raw.size()) {
        return false;
    }
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
        out = home + value.substr(5);
    } else if (!value.empty() && value[0] == '/') {
        out = value;
    } else {
        return false;
    }
    while (out.size() > 1 && out.back() == '/') {
        out.pop_back();
    }
    return true;
}

}  // namespace

std::string getHomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    struct passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string getXdgDataHome() {
    return baseDir("XDG_DATA_HOME", "/.local/share");
}

std::string getXdgConfigHome() {
    return baseDir("XDG_CONFIG_HOME", "/.config");
}

std::string getDownloadDir() {
    std::string home = getHomeDir();
    std::string config = getXdgConfigHome();
    std::string found;
    if (!config.empty()) {
        std::ifstream in(config + "/user-dirs.dirs");
        std::string line;
        while (std::getline(in, line)) {
            size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#') {
                continue;
            }
            if (line.compare(start, 17, "XDG_DOWNLOAD_DIR=") == 0) {
                std::string value;
                if (parseUserDirValue(line.substr(start + 17), home, value)) {
                    found = value;  // the last assignment wins, as in a shell
                }
            }
        }
    }
    if (!found.empty()) {
        return found;
    }
    return home.empty() ? std::string() : home + "/Downloads";
}

bool makeDirs(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = slash == std::string::npos ? dir : dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace mv
