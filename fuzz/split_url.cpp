#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange/HttpConnect.h"

// Server addresses come from launch parameters and pages. Beyond not crashing, the parts must
// be cut from the URL as given: a host never holds '/' or ':', a path always begins with '/',
// and the parts put back together are the URL after its scheme.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    // Markers that no output can equal: a host and a port never hold '/', a path begins with it.
    std::string host = "/H", path = "P", port = "/N";
    const int result = mv::splitUrl(url, host, path, port);
    if (result == -1) {
        if (host != "/H" || path != "P" || port != "/N") {
            __builtin_trap();
        }
        return 0;
    }
    if (result != 0 && result != 1) {
        __builtin_trap();
    }
    if (host.find_first_of("/:") != std::string::npos) {
        __builtin_trap();
    }
    if (path != "P" && (path.empty() || path[0] != '/')) {
        __builtin_trap();
    }
    const size_t schemeLength = result == 1 ? 8 : (url.size() >= 7 && url[4] == ':' ? 7 : 0);
    std::string joined = host;
    if (port != "/N") {
        joined += ":" + port;
    }
    if (path != "P") {
        joined += path;
    }
    const std::string rest = url.substr(schemeLength);
    // "host:" leaves the port empty, which puts back the same text.
    if (joined != rest && joined + ":" != rest) {
        __builtin_trap();
    }
    return 0;
}
