#include "foundation/ErrorLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "foundation/System.h"
#include "foundation/Text.h"

namespace mv {

int writeLogFile(const char16_t* path, const char16_t* text, const char16_t* tag, bool append) {
    std::string time = getLocalTimeString();
    if (time.empty() || path == nullptr) {
        return -1;
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

    // The path may come from the launching page: a FIFO without a reader must cost the line, not
    // block the run for good (O_NONBLOCK changes nothing for a regular file).
    int flags =
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = open(toFsPath(path).c_str(), flags, 0600);
    if (fd < 0) {
        return -1;
    }
    // A failed write is not reported: the line is simply lost, as with the original stream.
    (void)!write(fd, bytes.data(), bytes.size());
    close(fd);
    return 0;
}

}  // namespace mv
