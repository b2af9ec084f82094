#pragma once

// Helpers for tests that run a real WebSocket server on 127.0.0.1 and talk to it with a raw
// socket or with the python3-websockets client in ws_client.py.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "websocket/WsServer.h"

namespace wstest {

inline sockaddr_in loopback(int port, const char* address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// A socket listening on 127.0.0.1:port, so that nobody else can; -1 if the port is taken.
inline int holdPort(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A port that nothing listens on right now.
inline int freePort() {
    int s = holdPort(0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Connects to address:port, retrying while the server is not yet listening. -1 when refused
// for `seconds`.
inline int connectTo(int port, const char* address = "127.0.0.1", double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port, address);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            return s;
        }
        ::close(s);
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A server that opens and serves on a thread of its own, as WebSocket mode does on its main
// thread; `finish` joins it, then waits for its command thread and closes it.
struct ServerRun {
    explicit ServerRun(mv::WsServer& server, int port, bool serve = true) : server(server) {
        worker = std::thread([this, port, serve] {
            openResult = this->server.open(port, 10);
            if (openResult == 0 && serve) {
                loopResult = this->server.loop();
            }
        });
    }
    ~ServerRun() { finish(); }
    void finish() {
        if (worker.joinable()) {
            worker.join();
            server.waitCommandThread();
            server.close();
        }
    }
    mv::WsServer& server;
    std::thread worker;
    int openResult = 1;
    int loopResult = 1;
};

// Runs ws_client.py with `plan` (a JSON list of steps) against the port; its output lines.
// `asUser` is a command that runs the client as another user (setpriv ...); that user gets the
// plan on its command line, since it may not read the test's files.
inline std::vector<std::string> runClient(int port, const std::string& plan,
                                          std::vector<std::string> asUser = {}) {
    mv::test::ScratchDir dir;
    std::ofstream(dir.file("plan")) << plan;
    asUser.insert(asUser.end(), {"/usr/bin/python3", QUARNEL_TEST_SUPPORT_DIR "/ws_client.py",
                                 std::to_string(port), asUser.empty() ? dir.file("plan") : plan});
    std::istringstream out(mv::test::launch(asUser).out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace wstest
