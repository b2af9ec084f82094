#pragma once

// Runs tests/support/http_test_server.py (HTTP, or HTTPS with --cert/--key) on 127.0.0.1 for the
// life of the object. Header-only so that any test program can use it.

#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

namespace mv::test {

class HttpTestServer {
public:
    HttpTestServer() = default;
    ~HttpTestServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
        }
        if (output_ != nullptr) {
            pclose(output_);
        }
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Starts the server with the given arguments (--log is required) and waits until it listens.
    // False when it could not be started or did not report its port.
    bool start(const std::vector<std::string>& args) {
        std::string command =
            "exec /usr/bin/python3 '" QUARNEL_TEST_SUPPORT_DIR "/http_test_server.py'";
        for (std::string arg : args) {
            for (size_t at = 0; (at = arg.find('\'', at)) != std::string::npos; at += 4) {
                arg.replace(at, 1, "'\\''");  // ends the quoted word, adds a quote, goes on
            }
            command += " '" + arg + "'";
        }
        output_ = popen(command.c_str(), "re");
        return output_ != nullptr &&
               fscanf(output_, "PORT %d %d %d", &port_, &pid_, &ftpPort_) == 3;
    }

    std::string url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_);
    }

    // An FTP server beside it that refuses every client at once.
    std::string ftpUrl() const { return "ftp://127.0.0.1:" + std::to_string(ftpPort_); }

private:
    FILE* output_ = nullptr;  // the server's standard output; closing it waits for the server
    int pid_ = -1;
    int port_ = 0;
    int ftpPort_ = 0;
};

}  // namespace mv::test
