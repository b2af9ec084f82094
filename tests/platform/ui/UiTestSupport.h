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
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace uitest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* const PROGRESS_TITLE = "署名コマンド";

inline std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        out.append(buffer, n);
    }
    pclose(pipe);
    return out;
}

inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

// The visible windows with this exact name, waiting up to 10 s for at least `count` of them.
inline std::vector<std::string> windowsNamed(const std::string& name, size_t count = 1) {
    std::vector<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        ids = words(run("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null"));
        if (ids.size() >= count) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    return ids;
}

// The one window of `ids` that is not `known`.
inline std::string newWindow(const std::vector<std::string>& ids, const std::string& known) {
    for (const std::string& id : ids) {
        if (id != known) {
            return id;
        }
    }
    return {};
}

inline void pressKey(const std::string& window, const std::string& key) {
    run("xdotool windowfocus --sync " + window + " key " + key);
}

inline void screenshot(const std::string& name) {
    fs::create_directories(SCREENSHOT_DIR);
    run(std::string("import -window root '") + SCREENSHOT_DIR + "/" + name + ".png'");
}

// A child process with its standard input and output on pipes and its own environment.
class Child {
public:
    Child(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> environment = env;
        for (char** e = environ; *e != nullptr; ++e) {
            environment.emplace_back(*e);  // the first of two equal names wins
        }
        std::vector<char*> envp;
        for (std::string& e : environment) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        input = in[1];
        output = out[0];
    }
    ~Child() {
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(input);
        close(output);
    }

    void send(const std::string& line) {
        std::string text = line + "\n";
        (void)!write(input, text.data(), text.size());
    }
    // The next line of its output, or "" after 10 s.
    std::string readLine() {
        for (;;) {
            size_t nl = buffered.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return line;
            }
            pollfd p{output, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                return {};
            }
            char chunk[256];
            ssize_t n = read(output, chunk, sizeof chunk);
            if (n <= 0) {
                return {};
            }
            buffered.append(chunk, static_cast<size_t>(n));
        }
    }
    // Its exit code, or -1 while it still runs after `wait`.
    int exitCode(std::chrono::milliseconds wait = 10s) {
        auto until = std::chrono::steady_clock::now() + wait;
        while (!exited) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > until) {
                return -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        return code;
    }

    pid_t pid = -1;

private:
    int input = -1, output = -1;
    bool exited = false;
    int code = -1;
    std::string buffered;
};

}  // namespace uitest
