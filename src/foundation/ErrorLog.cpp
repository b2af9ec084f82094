#include "foundation/ErrorLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/System.h"
#include "foundation/Text.h"

namespace mv {
namespace {

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Our own log, where another local user cannot read it or point it elsewhere: a FIFO with a
// reader, a device, a file of theirs (mode 0666) or a second name of one of the user's files.
bool isOwnPlainFile(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

}  // namespace

std::string formatLogLine(const char16_t* text, const char16_t* tag) {
    std::string time = getLocalTimeString();
    if (time.empty()) {
        return {};
    }
    std::u16string line(time.begin(), time.end());
    line += u" ";
    if (tag != nullptr) {
        line += tag;
    }
    line += u" / ";
    if (text != nullptr) {
        line += text;
    }
    line += u"\n";

    std::string ansi;
    toAnsiString(line.c_str(), ansi);
    // The file is what a text-mode stream on the program's home platform writes: LF as CR LF.
    std::string bytes;
    bytes.reserve(ansi.size() + 8);
    for (char c : ansi) {
        if (c == '\n') {
            bytes.push_back('\r');
        }
        bytes.push_back(c);
    }
    return bytes;
}

int writeLogBytes(const char16_t* path, const std::string& bytes, bool append) {
    if (path == nullptr) {
        return -1;
    }
    // Not truncated by open: only a file that passes the checks may be emptied. O_NONBLOCK: a
    // FIFO without a reader costs the line instead of blocking the run (a regular file ignores
    // it).
    int fd =
        open(toFsPath(path).c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (!isOwnPlainFile(fd) || (!append && ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    // A failed write is not reported: the line is simply lost, as with the original stream.
    (void)!write(fd, bytes.data(), bytes.size());
    close(fd);
    return 0;
}

int writeLogFile(const char16_t* path, const char16_t* text, const char16_t* tag, bool append) {
    std::string bytes = formatLogLine(text, tag);
    return bytes.empty() ? -1 : writeLogBytes(path, bytes, append);
}

std::u16string outsideTextForLog(std::u16string_view text) {
    static constexpr char16_t HEX[] = u"0123456789ABCDEF";
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                    text[i + 1] <= 0xDFFF;
        size_t need = isControl(c) ? 4 : pair ? 2 : 1;
        if (out.size() + need > OUTSIDE_TEXT_LOG_LIMIT) {
            break;
        }
        if (isControl(c)) {
            out += {u'\\', u'x', HEX[c >> 4], HEX[c & 0xF]};
        } else {
            out += text.substr(i, need);
            i += need - 1;
        }
    }
    return out;
}

std::u16string outsideAnsiTextForLog(std::string_view ansi) {
    // A UTF-16 unit takes at most four bytes (GB18030), so this prefix holds every unit that can
    // reach the line, even when it ends inside a character.
    std::string prefix(ansi.substr(0, 4 * OUTSIDE_TEXT_LOG_LIMIT + 4));
    std::u16string wide;
    ansiToWString(prefix.c_str(), wide);
    return outsideTextForLog(wide);
}

}  // namespace mv
