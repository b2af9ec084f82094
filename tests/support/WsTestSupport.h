#pragma once

// Helpers for tests that run a real WebSocket server on 127.0.0.1 and talk to it with a raw
// socket or with the python3-websockets client in ws_client.py.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "websocket/WsServer.h"

namespace wstest {

// A port that nothing listens on right now.
inline int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// A socket listening on 127.0.0.1:port, so that nobody else can; -1 if the port is taken.
inline int holdPort(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Connects to address:port, retrying while the server is not yet listening. -1 when refused
// for `seconds`.
inline int connectTo(int port, const char* address = "127.0.0.1", double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
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

inline void sendText(int s, const std::string& text) {
    ::send(s, text.data(), text.size(), MSG_NOSIGNAL);
}

// The handshake response: everything up to the empty line, or until the peer closes.
inline std::string receiveResponse(int s) {
    std::string all;
    char c;
    while (all.find("\r\n\r\n") == std::string::npos && ::recv(s, &c, 1, 0) == 1) {
        all.push_back(c);
    }
    return all;
}

// A server that opens and serves on a thread of its own, as WebSocket mode does on its main
// thread; `finish` joins it, then waits for its command thread and closes it.
struct ServerRun {
    explicit ServerRun(mv::WsServer& server, int port, int timeout = 10, bool serve = true)
        : server(server) {
        worker = std::thread([this, port, timeout, serve] {
            openResult = this->server.open(port, timeout);
            openError = this->server.lastError;
            if (openResult == 0 && serve) {
                loopResult = this->server.loop();
                loopError = this->server.errorText();
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
    std::string openError;
    std::string loopError;
};

// Runs ws_client.py with `plan` (a JSON list of steps) against the port; its output lines.
inline std::vector<std::string> runClient(int port, const std::string& plan) {
    mv::test::ScratchDir dir;
    std::ofstream(dir.file("plan")) << plan;
    std::string all =
        mv::test::launch({"/usr/bin/python3", QUARNEL_TEST_SUPPORT_DIR "/ws_client.py",
                          std::to_string(port), dir.file("plan")})
            .out;
    std::vector<std::string> lines;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

struct Served {
    std::vector<std::string> lines;  // the client's
    int openResult, loopResult;
    std::string loopError;
};

// A server with `proc` on a free port, served until its loop ends, with ws_client.py and `plan`.
inline Served serve(mv::CommandProc proc, const std::string& plan) {
    int port = freePort();
    mv::WsServer server;
    server.setCommandProc(proc);
    ServerRun run(server, port);
    std::vector<std::string> lines = runClient(port, plan);
    run.finish();
    return {lines, run.openResult, run.loopResult, run.loopError};
}

}  // namespace wstest
