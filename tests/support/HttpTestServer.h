#pragma once

// Runs tests/support/http_test_server.py (HTTP, or HTTPS with --cert/--key) on 127.0.0.1 for the
// life of the object. Header-only so that any test program can use it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace mv::test {

class HttpTestServer {
public:
    HttpTestServer() = default;
    ~HttpTestServer() { stop(); }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Starts the server with the given arguments (--log is required) and waits until it listens.
    // False when it could not be started or did not report its port.
    bool start(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        std::vector<std::string> all = {"/usr/bin/python3",
                                        QUARNEL_TEST_SUPPORT_DIR "/http_test_server.py"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(fds[0]);
            return false;
        }
        std::string line;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        ::close(fds[0]);
        if (line.rfind("PORT ", 0) != 0) {
            stop();
            return false;
        }
        port_ = std::stoi(line.substr(5));
        return true;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    int port() const { return port_; }
    std::string url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_);
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace mv::test
