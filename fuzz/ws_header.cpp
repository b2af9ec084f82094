// The WebSocket upgrade request parser on arbitrary bytes (read, like the request, up to the first
// NUL).
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "websocket/WsServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string requestLine;
    std::map<std::string, std::string> headers;
    int count = mv::WsServer::parseHeader(text.c_str(), requestLine, headers);
    if (count != static_cast<int>(headers.size())) {
        std::abort();
    }
    for (const auto& [name, value] : headers) {
        // A name never holds a line end; a value never starts with a blank.
        if (name.empty() || name.find_first_of("\r\n") != std::string::npos ||
            (!value.empty() && value[0] == ' ')) {
            std::abort();
        }
    }
    return 0;
}
