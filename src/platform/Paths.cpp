#include "platform/Paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace mv {

std::string getTempPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    if (dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

std::string getAbsoluteTempPath() {
    std::string dir = getTempPath();
    char cwd[PATH_MAX];
    if (dir[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr) {
        dir = std::string(cwd) + (cwd[1] != '\0' ? "/" : "") + dir;
    }
    return dir;
}

}  // namespace mv
