#include <cctype>

#include "exchange/HttpConnect.h"

namespace mv {

int splitUrl(const std::string& url, std::string& host, std::string& path, std::string& port) {
    // The lower-case copy only recognises the scheme; every part is cut from the URL as given.
    std::string lower(url);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    int result = 0;
    std::string rest;
    if (lower.starts_with("https://")) {
        result = 1;
        rest = url.substr(8);
    } else if (lower.starts_with("http://")) {
        rest = url.substr(7);
    } else if (url.find(':') != std::string::npos) {
        return -1;
    } else {
        rest = url;
    }
    size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        path = rest.substr(slash);
        rest.resize(slash);
    }
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    } else {
        host = rest;
    }
    return result;
}

}  // namespace mv
