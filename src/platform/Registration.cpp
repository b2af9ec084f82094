#include "platform/Registration.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
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

// Blanks and the CR of a CR LF line end are no part of a line's text.
std::string trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(start, end - start + 1);
}

// "Key=Value" with optional blanks around '=' (a trimmed line): the key, or empty for any other
// line.
std::string keyOf(const std::string& text, std::string* value = nullptr) {
    size_t equals = text.find('=');
    if (text.empty() || text[0] == '#' || text[0] == '[' || equals == std::string::npos) {
        return {};
    }
    if (value != nullptr) {
        *value = trim(text.substr(equals + 1));
    }
    return trim(text.substr(0, equals));
}

bool isGroupHeader(const std::string& text) {
    return !text.empty() && text[0] == '[';
}

// Opens `path` for reading if it is a regular file (a link is followed). 1 with `fd` open, 0: no
// file, -1: anything else. Without blocking, so that a FIFO in its place is refused instead of
// waiting for a writer for ever.
int openRegularFile(const std::string& path, int& fd) {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fd = -1;
        return -1;
    }
    return 1;
}

int fileState(const std::string& path) {
    int fd = -1;
    int state = openRegularFile(path, fd);
    if (fd >= 0) {
        close(fd);
    }
    return state;
}

// The file's lines as they stand, a CR before the line feed included. 0: no file; -1: anything
// but a regular file, or a read failure.
int readLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    int fd = -1;
    int state = openRegularFile(path, fd);
    if (state <= 0) {
        return state;
    }
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    std::string content;
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    std::stringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return 1;
}

// The line end for lines we add: CR LF when the file's first line has it.
std::string lineEndOf(const std::vector<std::string>& lines) {
    return !lines.empty() && !lines[0].empty() && lines[0].back() == '\r' ? "\r" : "";
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
            if (!S_ISREG(st.st_mode)) {
                return -1;  // renaming over it would replace what someone else put there
            }
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

// `lines` of a desktop entry with our keys of its main group set to our values: each in place of
// its first line, later duplicates dropped, missing ones added at the group's end. Every other
// line (another program's keys, comments, other groups) stays as it was.
std::vector<std::string> withEntryKeys(
    const std::vector<std::string>& lines,
    const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string cr = lineEndOf(lines);
    auto ourLine = [&](const std::string& key) -> std::string {
        for (const auto& [name, value] : keys) {
            if (name == key) {
                return name + "=" + value + cr;
            }
        }
        return {};
    };
    std::vector<std::string> out;
    std::vector<std::string> written;
    auto addMissing = [&] {
        for (const auto& [name, value] : keys) {
            if (std::find(written.begin(), written.end(), name) == written.end()) {
                out.push_back(name + "=" + value + cr);
            }
        }
    };
    bool inMainGroup = false;
    bool mainSeen = false;
    for (const std::string& line : lines) {
        std::string text = trim(line);
        if (isGroupHeader(text)) {
            if (inMainGroup) {
                addMissing();
            }
            inMainGroup = !mainSeen && text == "[Desktop Entry]";
            mainSeen = mainSeen || inMainGroup;
        } else if (std::string key = keyOf(text); inMainGroup && !ourLine(key).empty()) {
            if (std::find(written.begin(), written.end(), key) == written.end()) {
                out.push_back(ourLine(key));
                written.push_back(key);
            }
            continue;
        }
        out.push_back(line);
    }
    if (!mainSeen) {
        // No main group yet (a new entry): it comes first, as the Desktop Entry rules require.
        out.insert(out.begin(), "[Desktop Entry]" + cr);
        std::vector<std::string> rest(out.begin() + 1, out.end());
        out.resize(1);
        addMissing();
        out.insert(out.end(), rest.begin(), rest.end());
    } else if (inMainGroup) {
        addMissing();
    }
    return out;
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
    if (scheme == nullptr) {
        return -1;
    }
    // GIO waits for ever on a FIFO and passes over a file it cannot read: the two files that
    // registering writes must be readable regular files, or the answer would mean nothing.
    std::string entry = desktopEntryPath(scheme), list = mimeappsListPath();
    if (entry.empty() || list.empty() || fileState(entry) < 0 || fileState(list) < 0) {
        return -1;
    }
    std::unique_ptr<GAppInfo, void (*)(gpointer)> handler(
        g_app_info_get_default_for_uri_scheme(scheme), g_object_unref);
    // A handler without a command line (an entry without Exec) opens nothing: as no command.
    const char* line = handler ? g_app_info_get_commandline(handler.get()) : nullptr;
    if (line == nullptr || line[0] == '\0') {
        return 0;
    }
    std::string text = line;
    if (text.size() > COMMAND_LIMIT) {
        return -1;
    }
    command = text;
    return 1;
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
    const std::vector<std::pair<std::string, std::string>> ours = {
        {"Type", "Application"},
        {"Name", "URL:QuarnelCmd Protocol"},
        {"Exec", quotedExecArgument(program) + " %u"},
        {"Icon", "application-x-executable"},
        {"MimeType", mimeTypeOf(scheme) + ";"},
        {"NoDisplay", "true"},
        {"Terminal", "false"},
    };
    std::vector<std::string> lines;
    if (readLines(path, lines) < 0 ||
        writeFileAtomically(path, joinLines(withEntryKeys(lines, ours)), 0644) != 0) {
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
    // Something else in the entry's place is not ours to remove.
    std::string path = desktopEntryPath(scheme), list = mimeappsListPath();
    int entry = path.empty() ? -1 : fileState(path);
    if (entry < 0 || list.empty()) {
        return -1;
    }
    bool lineRemoved = false;
    if (removeDefaultApplication(list, mimeTypeOf(scheme), desktopEntryId(scheme), &lineRemoved) !=
        0) {
        return -1;
    }
    if (entry == 0) {
        return lineRemoved ? 0 : -1;
    }
    return unlink(path.c_str()) == 0 ? 0 : -1;
}

// GLib merges every group of this name and takes a key's last value, other readers its first:
// each group gets our line in place of its first one for the type, and loses the others.
int setDefaultApplication(const std::string& listPath, const std::string& mimeType,
                          const std::string& desktopId) {
    std::vector<std::string> lines;
    if (readLines(listPath, lines) < 0) {
        return -1;
    }
    std::string cr = lineEndOf(lines);
    std::string newLine = mimeType + "=" + desktopId + ";" + cr;
    std::vector<std::string> out;
    int groups = 0;
    bool inGroup = false;
    bool writtenInGroup = false;
    bool written = false;
    size_t insertAt = 0;  // after the last non-blank line of the first group
    for (const std::string& line : lines) {
        std::string text = trim(line);
        if (isGroupHeader(text)) {
            inGroup = text == DEFAULTS_GROUP;
            groups += inGroup ? 1 : 0;
            writtenInGroup = false;
            out.push_back(line);
            insertAt = inGroup && groups == 1 ? out.size() : insertAt;
            continue;
        }
        if (inGroup && keyOf(text) == mimeType) {
            if (!writtenInGroup) {
                out.push_back(newLine);
                written = writtenInGroup = true;
            }
            continue;
        }
        out.push_back(line);
        if (inGroup && groups == 1 && !text.empty()) {
            insertAt = out.size();
        }
    }
    if (!written) {
        if (groups > 0) {
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        } else {
            if (!out.empty() && !trim(out.back()).empty()) {
                out.push_back(cr);
            }
            out.push_back(DEFAULTS_GROUP + cr);
            out.push_back(newLine);
        }
    }
    return writeFileAtomically(listPath, joinLines(out), 0644);
}

// A group that held nothing but our line goes with it, so that registering and unregistering
// give the file back as it was.
int removeDefaultApplication(const std::string& listPath, const std::string& mimeType,
                             const std::string& desktopId, bool* removed) {
    if (removed != nullptr) {
        *removed = false;
    }
    std::vector<std::string> lines;
    int read = readLines(listPath, lines);
    if (read <= 0) {
        return read;
    }
    std::vector<std::string> out;
    bool inGroup = false;
    bool changed = false;
    size_t header = 0;
    bool headerEmptied = false;  // out[header] heads a group we took a line from
    auto dropEmptiedGroup = [&](bool atEnd) {
        bool empty = headerEmptied;
        for (size_t i = header + 1; empty && i < out.size(); ++i) {
            empty = trim(out[i]).empty();
        }
        if (empty) {
            size_t from = header;
            while (atEnd && from > 0 && trim(out[from - 1]).empty()) {
                --from;
            }
            out.resize(from);
        }
        headerEmptied = false;
    };
    for (const std::string& line : lines) {
        std::string text = trim(line);
        if (isGroupHeader(text)) {
            dropEmptiedGroup(false);
            inGroup = text == DEFAULTS_GROUP;
            header = out.size();
            out.push_back(line);
            continue;
        }
        std::string value;
        if (inGroup && keyOf(text, &value) == mimeType) {
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
                changed = headerEmptied = true;
                if (!kept.empty()) {
                    out.push_back(mimeType + "=" + kept + (line.back() == '\r' ? "\r" : ""));
                }
                continue;
            }
        }
        out.push_back(line);
    }
    dropEmptiedGroup(true);
    if (!changed) {
        return 0;
    }
    if (writeFileAtomically(listPath, joinLines(out), 0644) != 0) {
        return -1;
    }
    if (removed != nullptr) {
        *removed = true;
    }
    return 0;
}

}  // namespace mv
