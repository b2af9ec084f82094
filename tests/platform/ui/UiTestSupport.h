#pragma once
// Helpers of the dialog tests: xdotool and xprop.
#include <chrono>
#include <cstdio>
#include <iterator>
#include <thread>

#include "support/TestSupport.h"  // and the strings, streams and vectors it uses

namespace uitest {

using namespace std::chrono_literals;

inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        for (int c; (c = fgetc(pipe)) != EOF;) {
            out += static_cast<char>(c);
        }
        pclose(pipe);
    }
    return out;
}

// The ids of the visible windows whose name matches.
inline std::vector<std::string> windowIds(const std::string& pattern) {
    std::istringstream in(run("xdotool search --onlyvisible --name '" + pattern + "' 2>/dev/null"));
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The visible windows with this exact name, waiting up to 10 s for at least `count` of them.
inline std::vector<std::string> windowsNamed(const std::string& name, size_t count = 1) {
    std::vector<std::string> ids;
    for (int i = 0; i < 100 && (ids = windowIds("^" + name + "$")).size() < count; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    return ids;
}

inline bool hasState(const std::string& window, const std::string& state) {
    return run("xprop -id " + window + " _NET_WM_STATE").find(state) != std::string::npos;
}

inline void pressKey(const std::string& window, const std::string& key) {
    run("xdotool windowfocus --sync " + window + " key " + key);
}

}  // namespace uitest
