#pragma once
// Helpers of the dialog tests: processes on pipes, xdotool and screenshots.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace uitest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* const PROGRESS_TITLE = "署名コマンド";

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

inline void screenshot(const std::string& name) {
    fs::create_directories(SCREENSHOT_DIR);
    run(std::string("import -window root '") + SCREENSHOT_DIR + "/" + name + ".png'");
}

// A child process with its standard input and output on pipes; `env` (NAME=value) is set on top
// of this process's environment.
class Child {
public:
    Child(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), env.begin(), env.end());
        args.insert(args.begin(), "/usr/bin/env");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        input = in[1];
        output = out[0];
    }
    ~Child() {
        if (exitCode(0ms) == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(input);
        close(output);
    }

    // The next line of its output; what came of it when nothing more came for 10 s.
    std::string readLine() {
        std::string line;
        pollfd p{output, POLLIN, 0};
        for (char c; poll(&p, 1, 10000) > 0 && read(output, &c, 1) == 1 && c != '\n';) {
            line += c;
        }
        return line;
    }
    // Its exit code, or -1 while it still runs after `wait`.
    int exitCode(std::chrono::milliseconds wait = 10s) {
        if (pid <= 0) {
            return 127;  // never started
        }
        for (auto until = std::chrono::steady_clock::now() + wait; code == -1;) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() > until) {
                return -1;
            } else {
                std::this_thread::sleep_for(50ms);
            }
        }
        return code;
    }

private:
    pid_t pid = -1;
    int input = -1, output = -1, code = -1;
};

}  // namespace uitest
