#include "foundation/System.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

namespace mv {
namespace {

std::string formatTime(bool utc, const char* format) {
    time_t now = time(nullptr);
    struct tm parts {};
    if ((utc ? gmtime_r(&now, &parts) : localtime_r(&now, &parts)) == nullptr) {
        return {};
    }
    char text[256];
    size_t n = strftime(text, sizeof text, format, &parts);
    return std::string(text, n);
}

}  // namespace

std::string getModulePath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    std::string file(path, static_cast<size_t>(n));
    // The kernel's mark for a program file that was replaced or removed while it runs.
    const std::string replaced = " (deleted)";
    if (file.size() > replaced.size() &&
        file.compare(file.size() - replaced.size(), replaced.size(), replaced) == 0) {
        file.resize(file.size() - replaced.size());
    }
    return file;
}

std::string getModuleDir() {
    std::string dir = getModulePath();
    size_t slash = dir.rfind('/');
    // /proc/self/exe always names an absolute path; without a separator there is no directory.
    return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

std::string getUtcTimeString() {
    return formatTime(true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string getLocalTimeString() {
    return formatTime(false, "%Y-%m-%dT%H:%M:%S");
}

ByteBuffer readFileBytes(const std::string& fileName, size_t maxSize) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever; a FIFO
    // has no size, so it then gives the empty result like any other unreadable name.
    int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    ByteBuffer data;
    struct stat st {};
    if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) {
        off_t size = lseek(fd, 0, SEEK_END);
        if (size > 0 && static_cast<uint64_t>(size) <= maxSize && lseek(fd, 0, SEEK_SET) == 0) {
            try {
                data.resize(static_cast<size_t>(size));
            } catch (const std::bad_alloc&) {
                // A size no buffer can hold (a huge sparse file, a disk device) is a failure to
                // read, not a reason for the caller to die.
                close(fd);
                return {};
            }
            size_t got = 0;
            while (got < data.size()) {
                ssize_t n = read(fd, data.data() + got, data.size() - got);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                got += static_cast<size_t>(n);
            }
            // A file that shrank while it was read yields what was there.
            data.resize(got);
        }
    }
    close(fd);
    return data;
}

}  // namespace mv
