#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <map>

#include "WsTestSupport.h"
#include "websocket/WsServer.h"

namespace {

using wstest::connectTo;
using wstest::freePort;

constexpr char RFC_KEY[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char RFC_ACCEPT[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string request(const std::string& requestLine, const std::string& headers) {
    return requestLine + "\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

struct HandshakeCase {
    const char* why;
    std::string request;
    int code;
    std::string error;
};

TEST(WsHandshakeTest, requestTable_givesCodeAndQuotedError) {
    const std::string good =
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + std::string(RFC_KEY) +
        "\r\nSec-WebSocket-Version: 13\r\n";
    const std::string key = std::string("Sec-WebSocket-Key: ") + RFC_KEY + "\r\n";
    const HandshakeCase cases[] = {
        {"RFC 6455 example", request("GET / HTTP/1.1", good), 0, ""},
        {"blanks after the colon are dropped",
         request("GET / HTTP/1.1", "Upgrade:    websocket\r\n" + key), 0, ""},
        {"query after the path", request("GET /?a=1 HTTP/1.1", good), -406,
         "open parse: invalid method = GET /?a=1 HTTP/1.1 (-406)"},
        {"other path", request("GET /ws HTTP/1.1", good), -406,
         "open parse: invalid method = GET /ws HTTP/1.1 (-406)"},
        {"HTTP/1.0", request("GET / HTTP/1.0", good), -406,
         "open parse: invalid method = GET / HTTP/1.0 (-406)"},
        {"method in lower case", request("get / HTTP/1.1", good), -406,
         "open parse: invalid method = get / HTTP/1.1 (-406)"},
        {"header name in lower case", request("GET / HTTP/1.1", "upgrade: websocket\r\n" + key),
         -407, "open parse: invalid protocol. (-407)"},
        {"value with capitals", request("GET / HTTP/1.1", "Upgrade: WebSocket\r\n" + key), -407,
         "open parse: invalid protocol. (-407)"},
        {"blank after the value", request("GET / HTTP/1.1", "Upgrade: websocket \r\n" + key), -407,
         "open parse: invalid protocol. (-407)"},
        {"no Upgrade header", request("GET / HTTP/1.1", key), -407,
         "open parse: invalid protocol. (-407)"},
        {"no key", request("GET / HTTP/1.1", "Upgrade: websocket\r\n"), -408,
         "open parse: no websocket key. (-408)"},
        {"empty key", request("GET / HTTP/1.1", "Upgrade: websocket\r\nSec-WebSocket-Key: \r\n"),
         -408, "open parse: no websocket key. (-408)"},
        {"bare LF line ends store nothing",
         "GET / HTTP/1.1\nUpgrade: websocket\nSec-WebSocket-Key: x\n\n", -405,
         "open parse: no buffer. (-405)"},
        {"nothing sent before the client closes", "", -405, "open parse: no buffer. (-405)"},
    };
    for (const HandshakeCase& c : cases) {
        SCOPED_TRACE(c.why);
        int port = freePort();
        mv::WsServer server;
        wstest::ServerRun run(server, port, 10, false);
        int s = connectTo(port);
        ASSERT_GE(s, 0);
        wstest::sendText(s, c.request);
        ::shutdown(s, SHUT_WR);
        std::string answer = wstest::receiveResponse(s);
        ::close(s);
        run.finish();
        EXPECT_EQ(run.openResult, c.code);
        EXPECT_EQ(run.openError, c.error);
        if (c.code == 0) {
            EXPECT_EQ(answer, std::string("HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: "
                                          "Upgrade\r\nSec-WebSocket-Accept: ") +
                                  RFC_ACCEPT + "\r\n\r\n");
        } else {
            EXPECT_EQ(answer, "") << "a refused client gets no response";
        }
    }
}

TEST(WsHandshakeTest, noClientWithTimeoutZero_failsAtOnceWith404) {
    mv::WsServer server;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.open(freePort(), 0), -404);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(server.lastError, "open select: 0 (-404)");
    EXPECT_EQ(server.state, 0);
    EXPECT_EQ(server.listenSocket, -1);
}

TEST(WsHandshakeTest, portInUse_fails402WithErrno) {
    int port = freePort();
    int other = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(other, 1), 0);
    mv::WsServer server;
    EXPECT_EQ(server.open(port, 0), -402);
    EXPECT_EQ(server.lastError, "open bind: " + std::to_string(EADDRINUSE) + " (-402)");
    ::close(other);
}

TEST(WsHandshakeTest, negativeTimeout_failsAsTheWait) {
    mv::WsServer server;
    EXPECT_EQ(server.open(freePort(), -1), -404);
    EXPECT_EQ(server.lastError, "open select: " + std::to_string(EINVAL) + " (-404)");
}

// Linux has no failed socket-layer start; the state is set by hand to reach the refusal.
TEST(WsHandshakeTest, uninitialisedServerForcedByHand_refusesOpen400) {
    mv::WsServer server;
    server.state = -1;
    EXPECT_EQ(server.open(freePort(), 0), -400);
    EXPECT_EQ(server.lastError, "open init: not initialized. (-400)");
}

TEST(WsHandshakeTest, noConnection_loopAndResponseRefuse) {
    mv::WsServer server;
    EXPECT_EQ(server.loop(), -600);
    EXPECT_EQ(server.lastError, "loop init: not initialized. (-600)");
    EXPECT_EQ(server.response("0,"), -700);
    EXPECT_EQ(server.lastError, "response init: not initialized. (-700)");
    server.close();
    server.close();
    EXPECT_EQ(server.state, 0);
}

// Every IPv4 address of this machine but 127.0.0.1: 127.0.0.2 always, and the interfaces'.
std::vector<std::string> otherAddresses() {
    std::vector<std::string> out{"127.0.0.2"};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            char text[INET_ADDRSTRLEN];
            auto* in = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            if (std::string(text) != "127.0.0.1") {
                out.push_back(text);
            }
        }
        freeifaddrs(list);
    }
    return out;
}

TEST(WsHandshakeTest, listeningServer_isReachableOnlyThroughLoopback) {
    int port = freePort();
    mv::WsServer server;
    wstest::ServerRun run(server, port, 10, false);
    // Time to start listening; the loopback connection below proves that it did.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const std::string& address : otherAddresses()) {
        SCOPED_TRACE(address);
        EXPECT_EQ(connectTo(port, address.c_str(), 0), -1);
    }
    int s = connectTo(port);
    ASSERT_GE(s, 0);
    wstest::sendText(s, request("GET / HTTP/1.1", std::string("Upgrade: websocket\r\n"
                                                              "Sec-WebSocket-Key: ") +
                                                      RFC_KEY + "\r\n"));
    run.finish();
    ::close(s);
    EXPECT_EQ(run.openResult, 0);
}

TEST(WsHandshakeTest, portOfAFinishedRun_canBeOpenedAgainAtOnce) {
    int port = freePort();
    {
        mv::WsServer server;
        wstest::ServerRun run(server, port, 10, false);
        int s = connectTo(port);
        ASSERT_GE(s, 0);
        wstest::sendText(s, request("GET / HTTP/1.1", std::string("Upgrade: websocket\r\n"
                                                                  "Sec-WebSocket-Key: ") +
                                                          RFC_KEY + "\r\n"));
        wstest::receiveResponse(s);
        run.finish();  // the server closes first, so its side of the connection lingers
        ::close(s);
        ASSERT_EQ(run.openResult, 0);
    }
    mv::WsServer again;
    EXPECT_EQ(again.open(port, 0), -404) << again.lastError;
}

TEST(WsParseHeaderTest, table) {
    struct Case {
        const char* why;
        const char* text;
        int count;
        std::string requestLine;
        std::map<std::string, std::string> headers;
    };
    const Case cases[] = {
        {"null-like empty text", "", 0, "", {}},
        {"a repeated name keeps the last value",
         "GET / HTTP/1.1\r\nA: 1\r\nA: 2\r\n",
         1,
         "GET / HTTP/1.1",
         {{"A", "2"}}},
        {"a last line without CR is not stored", "R\r\nA: 1\r\nB: 2", 1, "R", {{"A", "1"}}},
        {"later colons belong to the value", "R\r\nHost: a:80\r\n", 1, "R", {{"Host", "a:80"}}},
        {"a colon at the start of a line is skipped", "R\r\n:A: 1\r\n", 1, "R", {{"A", "1"}}},
        {"tabs and trailing blanks stay", "R\r\nA:\t x \r\n", 1, "R", {{"A", "\t x "}}},
        {"blanks only give an empty value", "R\r\nA:   \r\n", 1, "R", {{"A", ""}}},
        {"the last line without a colon is the request line",
         "X\r\nA: 1\r\nY\r\n",
         1,
         "Y",
         {{"A", "1"}}},
        {"a bare LF keeps the name pending", "R\r\nA:\nb\r\n", 1, "R", {{"A", "b"}}},
        {"the name is kept exactly", "R\r\n Up grade : v\r\n", 1, "R", {{" Up grade ", "v"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::string line;
        std::map<std::string, std::string> headers{{"stale", "x"}};
        EXPECT_EQ(mv::WsServer::parseHeader(c.text, line, headers), c.count);
        EXPECT_EQ(line, c.requestLine);
        if (c.count > 0) {
            EXPECT_EQ(headers, c.headers);
        }
    }
    std::string line;
    std::map<std::string, std::string> headers;
    EXPECT_EQ(mv::WsServer::parseHeader(nullptr, line, headers), 0);
}

}  // namespace
