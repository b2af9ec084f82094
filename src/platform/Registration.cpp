#include "platform/Registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/XdgDirs.h"

namespace mv {
namespace {

constexpr const char* DEFAULTS_GROUP = "[Default Applications]";
// The read buffer of the command on the program's home platform held 260 bytes with the zero.
constexpr size_t COMMAND_LIMIT = 259;

std::string mimeTypeOf(const char* scheme) {
    return std::string("x-scheme-handler/") + scheme;
}

std::string mimeappsListPath() {
    std::string config = getXdgConfigHome();
    return config.empty() ? std::string() : config + "/mimeapps.list";
}

std::string trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

// "Key=Value" with optional blanks around '=': the key, or empty for any other line.
std::string keyOf(const std::string& line, std::string* value = nullptr) {
    size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) {
        return {};
    }
    if (value != nullptr) {
        *value = trim(line.substr(equals + 1));
    }
    return trim(line.substr(0, equals));
}

int readLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? 0 : -1;
    }
    std::ifstream in(path, std::ios::binary);
    if (!S_ISREG(st.st_mode) || !in) {
        return -1;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return in.bad() ? -1 : 1;
}

// Replaces the file as a whole, so a reader never sees half of it. A symbolic link (a dotfile
// manager's) stays: its target is replaced.
int writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
    std::string target = path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        target = resolved;
        struct stat st {};
        if (stat(target.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
        }
    }
    std::string temp = target + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        return -1;
    }
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(name.data(), target.c_str()) != 0) {
        unlink(name.data());
        return -1;
    }
    return 0;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
    }
    return out;
}

std::string parentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The program's path as one quoted argument of an Exec line: the Desktop Entry rules
// escapes '"', '`', '$' and '\' inside quotes, '%' as "%%", and then every '\' once more as a
// string value. Ordinary paths come out unchanged.
std::string quotedExecArgument(const std::string& program) {
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
        } else if (c == '\\') {
            quoted += "\\\\\\";
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string desktopEntryId(const char* scheme) {
    return std::string(scheme) + ".desktop";
}

std::string desktopEntryPath(const char* scheme) {
    std::string data = getXdgDataHome();
    return data.empty() ? std::string() : data + "/applications/" + desktopEntryId(scheme);
}

int getUrlProtocolCommand(const char* scheme, std::string& command) {
    std::string path = desktopEntryPath(scheme);
    if (path.empty()) {
        return -1;
    }
    std::vector<std::string> lines;
    int read = readLines(path, lines);
    if (read <= 0) {
        return read;
    }
    bool inMainGroup = false;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        std::string value;
        if (inMainGroup && keyOf(line, &value) == "Exec") {
            if (value.size() > COMMAND_LIMIT) {
                return -1;
            }
            command = value;
            return 1;
        }
    }
    return 0;
}

int registerUrlProtocol(const char* scheme, const char* programPath) {
    if (scheme == nullptr || programPath == nullptr || programPath[0] != '/') {
        return -1;
    }
    std::string program = programPath;
    for (unsigned char c : program) {
        // A line break would start a key of its own in the entry.
        if (c < 0x20 || c == 0x7f) {
            return -1;
        }
    }
    std::string path = desktopEntryPath(scheme);
    if (path.empty() || !makeDirs(parentDir(path))) {
        return -1;
    }
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=URL:QuarnelCmd Protocol\n"
          << "Exec=" << quotedExecArgument(program) << " %u\n"
          << "Icon=application-x-executable\n"
          << "MimeType=" << mimeTypeOf(scheme) << ";\n"
          << "NoDisplay=true\n"
          << "Terminal=false\n";
    if (writeFileAtomically(path, entry.str(), 0644) != 0) {
        return -1;
    }
    std::string list = mimeappsListPath();
    if (list.empty() || !makeDirs(parentDir(list))) {
        return -1;
    }
    return setDefaultApplication(list, mimeTypeOf(scheme), desktopEntryId(scheme));
}

int unregisterUrlProtocol(const char* scheme) {
    if (scheme == nullptr) {
        return -1;
    }
    std::string path = desktopEntryPath(scheme);
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0) {
        return -1;
    }
    std::string list = mimeappsListPath();
    if (list.empty() ||
        removeDefaultApplication(list, mimeTypeOf(scheme), desktopEntryId(scheme)) != 0) {
        return -1;
    }
    return unlink(path.c_str()) == 0 ? 0 : -1;
}

int setDefaultApplication(const std::string& listPath, const std::string& mimeType,
                          const std::string& desktopId) {
    std::vector<std::string> lines;
    if (readLines(listPath, lines) < 0) {
        return -1;
    }
    std::string newLine = mimeType + "=" + desktopId + ";";
    std::vector<std::string> out;
    bool inGroup = false;
    bool groupSeen = false;
    bool written = false;
    size_t insertAt = 0;  // after the last non-blank line of the group
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == DEFAULTS_GROUP && !groupSeen;
            groupSeen = groupSeen || inGroup;
            out.push_back(line);
            if (inGroup) {
                insertAt = out.size();
            }
            continue;
        }
        if (inGroup && keyOf(line) == mimeType) {
            if (!written) {
                out.push_back(newLine);
                written = true;
            }
            continue;  // a later duplicate would only confuse readers
        }
        out.push_back(line);
        if (inGroup && !trim(line).empty()) {
            insertAt = out.size();
        }
    }
    if (!written) {
        if (groupSeen) {
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        } else {
            if (!out.empty() && !trim(out.back()).empty()) {
                out.emplace_back();
            }
            out.emplace_back(DEFAULTS_GROUP);
            out.push_back(newLine);
        }
    }
    return writeFileAtomically(listPath, joinLines(out), 0644);
}

int removeDefaultApplication(const std::string& listPath, const std::string& mimeType,
                             const std::string& desktopId) {
    std::vector<std::string> lines;
    int read = readLines(listPath, lines);
    if (read <= 0) {
        return read;
    }
    std::vector<std::string> out;
    bool inGroup = false;
    bool changed = false;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] == '[') {
            inGroup = line == DEFAULTS_GROUP;
            out.push_back(line);
            continue;
        }
        std::string value;
        if (inGroup && keyOf(line, &value) == mimeType) {
            std::string kept;
            std::stringstream items(value);
            std::string item;
            bool ours = false;
            while (std::getline(items, item, ';')) {
                if (trim(item) == desktopId) {
                    ours = true;
                } else if (!trim(item).empty()) {
                    kept += trim(item) + ";";
                }
            }
            if (ours) {
                changed = true;
                if (!kept.empty()) {
                    out.push_back(mimeType + "=" + kept);
                }
                continue;
            }
        }
        out.push_back(line);
    }
    return changed ? writeFileAtomically(listPath, joinLines(out), 0644) : 0;
}

}  // namespace mv
