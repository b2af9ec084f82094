#include "platform/Paths.h"

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

}  // namespace mv
