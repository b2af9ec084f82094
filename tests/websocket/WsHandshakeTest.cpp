#include <gtest/gtest.h>

#include <map>

#include "WsTestSupport.h"
#include "websocket/WsServer.h"

namespace {

using wstest::connectTo;
using wstest::freePort;

const std::string RFC_KEY = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

std::string request(const std::string& requestLine, const std::string& headers) {
    return requestLine + "\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

TEST(WsHandshakeTest, requestTable_givesCodeAndQuotesARefusedRequestLine) {
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
        {"header name in lower case", request(get, "upgrade: websocket\r\n" + RFC_KEY), -407},
        {"blank after the value", request(get, "Upgrade: websocket \r\n" + RFC_KEY), -407},
        {"no Upgrade header", request(get, RFC_KEY), -407},
        {"no key", request(get, "Upgrade: websocket\r\n"), -408},
        {"empty key", request(get, "Upgrade: websocket\r\nSec-WebSocket-Key: \r\n"), -408},
        {"bare LF line ends store nothing", get + "\nUpgrade: websocket\nSec-WebSocket-Key: x\n\n",
         -405},
        {"nothing sent before the client closes", "", -405},
    };
    for (const auto& c : cases) {
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
        if (c.code == -406) {  // the log shows what the page asked for
            EXPECT_NE(run.openError.find("GET /?a=1 HTTP/1.1 (-406)"), std::string::npos);
        }
        EXPECT_EQ(answer, c.code != 0 ? ""
                                      : "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: "
                                        "Upgrade\r\nSec-WebSocket-Accept: "
                                        "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    }
}

TEST(WsHandshakeTest, refusalsWithoutAClient) {
    mv::WsServer server;
    EXPECT_EQ(server.open(freePort(), 0), -404);
    EXPECT_EQ(server.listenSocket, -1);
    EXPECT_EQ(server.open(freePort(), -1), -404);
    int port = freePort();
    int holder = wstest::holdPort(port);
    EXPECT_EQ(server.open(port, 0), -402);
    ::close(holder);
    EXPECT_EQ(server.loop(), -600);
    EXPECT_EQ(server.response("0,"), -700);
    server.close();
    server.close();
    EXPECT_EQ(server.state, 0);
}

// 127.0.0.2 is a loopback address too: a server listening on every address would accept it.
// The port of a finished run (closed first by the server) can be opened again at once.
TEST(WsHandshakeTest, listensOnlyOn127001_andItsPortIsFreeAgainAtOnce) {
    int port = freePort();
    {
        mv::WsServer server;
        wstest::ServerRun run(server, port, 10, false);
        int s = connectTo(port);
        ASSERT_GE(s, 0);
        EXPECT_EQ(connectTo(port, "127.0.0.2", 0), -1);
        wstest::sendText(s, request("GET / HTTP/1.1", "Upgrade: websocket\r\n" + RFC_KEY));
        wstest::receiveResponse(s);
        run.finish();
        ::close(s);
        ASSERT_EQ(run.openResult, 0);
    }
    mv::WsServer again;
    EXPECT_EQ(again.open(port, 0), -404) << again.lastError;
}

TEST(WsParseHeaderTest, table) {
    const struct {
        const char* why;
        const char* text;
        int count;
        std::string requestLine;
        std::map<std::string, std::string> headers;
    } cases[] = {
        {"a repeated name keeps the last value", "R\r\nA: 1\r\nA: 2\r\n", 1, "R", {{"A", "2"}}},
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::string line;
        std::map<std::string, std::string> headers{{"stale", "x"}};
        EXPECT_EQ(mv::WsServer::parseHeader(c.text, line, headers), c.count);
        EXPECT_EQ(line, c.requestLine);
        if (c.count > 0) {
            EXPECT_EQ(headers, c.headers);
        }
    }
}

}  // namespace
