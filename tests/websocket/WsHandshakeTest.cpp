#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "WsTestSupport.h"
#include "websocket/WsServer.h"

namespace {

using wstest::connectTo;
using wstest::freePort;

const std::string RFC_KEY = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

std::string request(const std::string& requestLine, const std::string& headers) {
    return requestLine + "\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// Each request goes to a server of its own. The server listens on 127.0.0.1 only (127.0.0.2 is a
// loopback address too: a server listening on every address would accept it), closes the
// connection first, and the port of a finished run can be opened again at once.
TEST(WsHandshakeTest, requestTable_givesCodeAndAcceptKey) {
    const std::string get = "GET / HTTP/1.1", upgrade = "Upgrade: websocket\r\n" + RFC_KEY;
    const struct {
        const char* why;
        std::string request;
        int code;
    } cases[] = {
        {"RFC 6455 example",
         request(get, "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n" + upgrade), 0},
        {"blanks after the colon are dropped", request(get, "Upgrade:   " + upgrade.substr(8)), 0},
        {"query after the path", request("GET /?a=1 HTTP/1.1", upgrade), -406},
        {"no Upgrade header", request(get, RFC_KEY), -407},
        {"an upgrade to another protocol", request(get, "Upgrade: h2c\r\n" + RFC_KEY), -407},
        {"no key", request(get, "Upgrade: websocket\r\n"), -408},
        {"bare LF line ends store nothing", get + "\nUpgrade: websocket\nSec-WebSocket-Key: x\n\n",
         -405},
    };
    int port = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        port = freePort();
        mv::WsServer server;
        wstest::ServerRun run(server, port, false);
        int s = connectTo(port);
        ASSERT_GE(s, 0);
        EXPECT_EQ(connectTo(port, "127.0.0.2", 0), -1);
        ::send(s, c.request.data(), c.request.size(), MSG_NOSIGNAL);
        // The response: everything up to the empty line, or until the server closes.
        std::string answer;
        char next;
        while (answer.find("\r\n\r\n") == std::string::npos && ::recv(s, &next, 1, 0) == 1) {
            answer.push_back(next);
        }
        run.finish();
        ::close(s);
        EXPECT_EQ(run.openResult, c.code);
        EXPECT_EQ(answer, c.code != 0 ? ""
                                      : "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: "
                                        "Upgrade\r\nSec-WebSocket-Accept: "
                                        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    }
    mv::WsServer again;
    EXPECT_EQ(again.open(port, 0), -404) << again.lastError;  // bound, and no client came
    // A time-out below 0 must not wait for ever.
    EXPECT_EQ(again.open(freePort(), -1), -404);
}

// Clients that keep coming as fast as they are refused keep the listening socket readable: the
// wait must still end at the time-out. The first is another user's (a thread whose file-system
// uid is 65534 makes sockets of that user, which needs root); each refusal brings the next, a
// client that connects and closes at once.
TEST(WsHandshakeTest, refusedClientsKeepComing_openEndsAtTheTimeOut) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "making another user's socket needs root";
    }
    int port = freePort();
    mv::WsServer server;
    auto floodEnds = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool floodOver = false;
    server.setRefusedClients([&](const std::vector<mv::WsServer::RefusedClient>&) {
        if (std::chrono::steady_clock::now() >= floodEnds) {
            floodOver = true;
            return;
        }
        ::close(connectTo(port, "127.0.0.1", 0));
    });
    int first = -1;
    std::thread another([&] {
        syscall(SYS_setfsuid, 65534);
        first = connectTo(port);
    });
    EXPECT_EQ(server.open(port, 1), -404);
    another.join();
    ::close(first);
    EXPECT_FALSE(floodOver);
}

}  // namespace
