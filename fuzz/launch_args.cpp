// The launch parameter text comes from any web page that opens a "quarnel01:" link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "foundation/ErrorLog.h"

namespace {

std::string parameterFile;

// The file form reads the newest file of the Downloads folder: a home of our own whose Downloads
// folder holds one parameter file.
bool isolateHome() {
    static char dirTemplate[] = "/tmp/fuzz_launch_args.XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (dir == nullptr) {
        return false;
    }
    setenv("HOME", dir, 1);
    setenv("TMPDIR", dir, 1);
    setenv("XDG_CONFIG_HOME", dir, 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::string downloads = std::string(dir) + "/Downloads";
    parameterFile = downloads + "/params.txt";
    return mkdir(downloads.c_str(), 0700) == 0;
}

bool writeParameterFile(const std::string& content) {
    int fd = open(parameterFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = isolateHome();
    if (!ready) {
        return 0;
    }
    // The runner makes the temporary directory current; libFuzzer's own relative paths need ours.
    static int startDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct Restore {
        ~Restore() { (void)!fchdir(startDir); }
    } restore;
    // The launch text ends at its first zero byte; what follows it, or else the whole input, is
    // the parameter file that an "F,<pattern>" text finds.
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t zero = text.find('\0');
    if (!writeParameterFile(zero == std::string::npos ? text : text.substr(zero + 1))) {
        return 0;
    }
    mv::CmdRunner runner;
    std::u16string defaultLog = runner.logPath;
    mv::CmdParams params;
    int r = runner.parseLaunchArgs(text.c_str(), params);
    if (r != 1 && r != 0 && r != -10) {
        __builtin_trap();
    }
    // An unusable text changes nothing.
    if (r == -10 && (runner.logAppend != 0 || runner.logPath != defaultLog || params.flags != 0 ||
                     !params.sid.empty())) {
        __builtin_trap();
    }
    if (r == 0 && params.signUrl.empty() && !params.certUrl.empty()) {
        __builtin_trap();
    }
    // Only a parameter text that the batch run takes is removed.
    if (access(parameterFile.c_str(), F_OK) != 0 &&
        (r != 0 || mv::batchTransportOf(params) == mv::BatchTransport::Refused)) {
        __builtin_trap();
    }
    // Whatever the page names, the log stays a plain name in the temporary directory.
    size_t dirEnd = defaultLog.rfind(u'/') + 1;
    if (runner.logPath.compare(0, dirEnd, defaultLog, 0, dirEnd) != 0 ||
        runner.logPath.find(u'/', dirEnd) != std::u16string::npos ||
        runner.logPath.size() == dirEnd) {
        __builtin_trap();
    }
    // The text as an unknown command would enter the log: bounded, no control character.
    std::u16string logged = mv::outsideAnsiTextForLog(text);
    if (logged.size() > mv::OUTSIDE_TEXT_LOG_LIMIT ||
        std::any_of(logged.begin(), logged.end(), [](char16_t c) { return c < 0x20; })) {
        __builtin_trap();
    }
    return 0;
}
