#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "WsTestSupport.h"
#include "websocket/WsServer.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::atomic<int> lateReplyResult{1};

// The commands of these tests: "wait<ms>" answers "done" after that long, "len:<n>" answers n
// bytes of "x", "empty" first tries an empty reply and then answers with its result and error
// text, "late" replies thrice after the client is expected to have gone, anything else
// "got:<length>:<first 8>:<last 8>" (the length up to a NUL, so bytes that never arrived show as a
// short length).
int testProc(mv::CommandThreadArgs* args) {
    std::string text = args->command ? std::string(args->command->c_str()) : std::string();
    std::string reply;
    if (text.rfind("wait", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(text.c_str() + 4)));
        reply = "done";
    } else if (text == "empty") {
        int rc = args->server->response("");
        reply = "rc:" + std::to_string(rc) + ":" + args->server->errorText();
    } else if (text == "late") {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // The first send still leaves; the peer's reset fails the second; the third is a write
        // to a broken pipe.
        args->server->response("first");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        args->server->response("second");
        lateReplyResult = args->server->respondAndRelease("third", args->running);
        return 0;
    } else if (text.rfind("len:", 0) == 0) {
        reply.assign(static_cast<size_t>(std::atoi(text.c_str() + 4)), 'x');
    } else {
        reply = "got:" + std::to_string(text.size()) + ":" + text.substr(0, 8) + ":" +
                text.substr(text.size() < 8 ? 0 : text.size() - 8);
    }
    args->server->respondAndRelease(reply.c_str(), args->running);
    return 0;
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A client text frame with the masking key 37 fa 21 3d, or unmasked.
Bytes clientFrame(const std::string& text, bool masked = true, unsigned char first = 0x81) {
    const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
    Bytes out;
    mv::WsServer::frameHeader(text.size(), out);
    out[0] = first;
    if (masked) {
        out[1] |= 0x80;
        out.insert(out.end(), key, key + 4);
    }
    for (size_t i = 0; i < text.size(); ++i) {
        out.push_back(static_cast<unsigned char>(text[i]) ^ (masked ? key[i % 4] : 0));
    }
    return out;
}

std::string got(size_t n) {
    return "{\"recv\": \"got:" + std::to_string(n) + ":Paaaaaaa:aaaaaaaa\"}";
}
std::string recvLine(const std::string& text) {
    return "{\"recv\": \"" + text + "\"}";
}
const std::string TIMEOUT = "{\"timeout\": true}";

struct FrameCase {
    const char* why;
    std::string plan;  // the steps inside the JSON list
    std::vector<std::string> lines;
    int loopResult;
    std::string loopError;
};

void runCases(const std::vector<FrameCase>& cases) {
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.why);
        int port = wstest::freePort();
        mv::WsServer server;
        server.setCommandProc(testProc);
        wstest::ServerRun run(server, port);
        std::vector<std::string> lines = wstest::runClient(port, "[" + c.plan + "]");
        run.finish();
        EXPECT_EQ(run.openResult, 0) << run.openError;
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(run.loopResult, c.loopResult);
        EXPECT_EQ(run.loopError, c.loopError);
    }
}

const std::string FINISHED = "loop: finished.";
const std::string TERM = R"({"op": "send", "text": "term"})";
const std::string RECV = R"({"op": "recv"})";

TEST(WsFrameTest, realClientFrames_areGatheredUnmaskedAndAnswered) {
    auto sendn = [](size_t n) {
        return R"({"op": "sendn", "prefix": "P", "n": )" + std::to_string(n) + "},";
    };
    runCases({
        {"masked and unmasked frames give the same command",
         R"({"op": "send", "text": "Paaaaaaaaa"}, )" + RECV +
             R"(, {"op": "unmasked", "text": "Paaaaaaaaa"}, )" + RECV + "," + TERM,
         {got(10), got(10)},
         0,
         FINISHED},
        {"7-bit, 16-bit and 64-bit lengths; 100000 bytes over many receives",
         sendn(125) + RECV + "," + sendn(126) + RECV + "," + sendn(65535) + RECV + "," +
             sendn(65536) + RECV + "," + sendn(100000) + RECV + "," + TERM,
         {got(125), got(126), got(65535), got(65536), got(100000)},
         0,
         FINISHED},
        {"a header split over two receives is gathered",
         R"({"op": "split", "at": 1, "hex": ")" + hex(clientFrame("Paaaaaaaaaaa")) + R"("}, )" +
             RECV + R"(, {"op": "split", "at": 7, "hex": ")" +
             hex(clientFrame(std::string(300, 'a').replace(0, 1, "P"))) + R"("}, )" + RECV + "," +
             TERM,
         {got(12), got(300)},
         0,
         FINISHED},
        {"a reply of 126 bytes and one of 70000 arrive whole",
         R"({"op": "send", "text": "len:126"}, {"op": "recv"}, )"
         R"({"op": "send", "text": "len:70000"}, {"op": "recv"}, )" +
             TERM,
         {R"({"recv_len": 126, "distinct": "x"})", R"({"recv_len": 70000, "distinct": "x"})"},
         0,
         FINISHED},
        {"an empty reply is refused and sends nothing",
         R"({"op": "send", "text": "empty"}, )" + RECV + "," + TERM,
         {recvLine("rc:-701:response arg: invalid argument. (-701)")},
         0,
         FINISHED},
        {"a command right after each reply is never an overlap",
         R"({"op": "repeat", "text": "Paaaaaaaaa", "count": 300}, )" + TERM,
         {R"({"count": 300, "first": "got:10:Paaaaaaa:aaaaaaaa", "bad": 0})"},
         0,
         FINISHED},
    });
}

TEST(WsFrameTest, loopEnds_termAndCommandRules) {
    runCases({
        {"term while idle sends nothing",
         TERM + R"(, {"op": "recv", "timeout": 0.5})",
         {TIMEOUT},
         0,
         FINISHED},
        {"terminate is term",
         R"({"op": "send", "text": "terminate"}, {"op": "recv", "timeout": 0.5})",
         {TIMEOUT},
         0,
         FINISHED},
        {"three bytes are too short",
         R"({"op": "send", "text": "ter"})",
         {},
         -603,
         "loop cmd: invalid command length. (-603)"},
        {"a NUL within the first four bytes makes the text short",
         R"({"op": "send", "text": "ab\u0000cdef"})",
         {},
         -603,
         "loop cmd: invalid command length. (-603)"},
        {"term while a command runs: er,-1 first, then the command's own reply",
         R"({"op": "send", "text": "wait400"}, {"op": "sleep", "s": 0.1}, )" + TERM + "," + RECV +
             "," + RECV,
         {recvLine("er,-1"), recvLine("done")},
         -604,
         "loop cmd: break. (-604)"},
        {"an overlapping command ends the loop and gets no reply",
         R"({"op": "send", "text": "wait400"}, {"op": "sleep", "s": 0.1}, )"
         R"({"op": "send", "text": "second"}, {"op": "recv"}, {"op": "recv", "timeout": 1})",
         {recvLine("done"), TIMEOUT},
         -605,
         "loop cmd: overlap execute. (-605)"},
    });
}

TEST(WsFrameTest, refusedFrames_endTheLoopAsParseErrors) {
    const std::string parseError = "loop prase: command parse error.";
    const Bytes key = {1, 2, 3, 4};
    Bytes oversized = {0x81, 0xFF, 0, 0, 0, 0, 0x08, 0, 0, 0x01, 1, 2, 3, 4};
    Bytes highBytesIgnored = {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0, 0, 0};
    highBytesIgnored.insert(highBytesIgnored.end(), {'P', 'a', 'a', 'a'});
    Bytes two = clientFrame("first");
    Bytes second = clientFrame("second");
    two.insert(two.end(), second.begin(), second.end());
    runCases({
        {"the client's close frame", R"({"op": "close"})", {}, -501, parseError + " (-501)"},
        {"a ping frame", R"({"op": "ping"})", {}, -501, parseError + " (-501)"},
        {"a binary frame",
         R"({"op": "binary", "hex": "76657273"})",
         {},
         -501,
         parseError + " (-501)"},
        {"a first fragment",
         R"({"op": "raw", "hex": ")" + hex(clientFrame("vers", true, 0x01)) + R"("})",
         {},
         -501,
         parseError + " (-501)"},
        {"a connection closed by the client",
         R"({"op": "drop"})",
         {},
         -500,
         parseError + " (-500)"},
        {"an empty text frame",
         R"({"op": "raw", "hex": "818001020304"})",
         {},
         -500,
         parseError + " (-500)"},
        {"an announced length above the bound ends before anything arrives",
         R"({"op": "raw", "hex": ")" + hex(oversized) + R"("}, {"op": "recv", "timeout": 1})",
         {TIMEOUT},
         -501,
         parseError + " (-501)"},
        {"two frames in one receive: the surplus is the code",
         R"({"op": "raw", "hex": ")" + hex(two) + R"("})",
         {},
         -static_cast<int>(second.size()),
         parseError + " (-" + std::to_string(second.size()) + ")"},
        {"only the low 32 bits of a 64-bit length count",
         R"({"op": "raw", "hex": ")" + hex(highBytesIgnored) + R"("}, )" + RECV + "," + TERM,
         {recvLine("got:4:Paaa:Paaa")},
         0,
         FINISHED},
    });
}

TEST(WsFrameTest, replyOf126Bytes_startsWithSixteenBitLength) {
    int port = wstest::freePort();
    mv::WsServer server;
    server.setCommandProc(testProc);
    wstest::ServerRun run(server, port);
    int s = wstest::connectTo(port);
    ASSERT_GE(s, 0);
    wstest::sendText(s, "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n\r\n");
    wstest::receiveResponse(s);
    Bytes frame = clientFrame("len:126");
    ::send(s, frame.data(), frame.size(), 0);
    std::string reply = wstest::receiveAll(s, 130);
    Bytes term = clientFrame("term");
    ::send(s, term.data(), term.size(), 0);
    run.finish();
    ::close(s);
    ASSERT_EQ(reply.size(), 130u);
    EXPECT_EQ(reply.substr(0, 4), std::string("\x81\x7e\x00\x7e", 4));
    EXPECT_EQ(reply.substr(4), std::string(126, 'x'));
    EXPECT_EQ(run.loopResult, 0);
}

TEST(WsFrameTest, replyToAClientThatHasGone_fails702WithoutEndingTheProcess) {
    int port = wstest::freePort();
    mv::WsServer server;
    server.setCommandProc(testProc);
    wstest::ServerRun run(server, port);
    int s = wstest::connectTo(port);
    ASSERT_GE(s, 0);
    wstest::sendText(s, "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n\r\n");
    wstest::receiveResponse(s);
    // NSPR ignores SIGPIPE once NSS is up (the accept key); the server must not rely on that.
    std::signal(SIGPIPE, SIG_DFL);
    Bytes frame = clientFrame("late");
    ::send(s, frame.data(), frame.size(), 0);
    ::close(s);
    run.finish();
    EXPECT_EQ(run.loopResult, -500);
    EXPECT_EQ(lateReplyResult.load(), -702);
    EXPECT_EQ(server.errorText(), "response send: response send error. (-702)");
}

TEST(WsFrameTest, parseFrame_table) {
    struct Case {
        const char* why;
        Bytes bytes;
        int result;
        size_t headerLength;
        uint64_t payloadLength;
        uint32_t key;
    };
    const Case cases[] = {
        {"two bytes", {0x81, 0x00}, -500, 0, 0, 0},
        {"binary", {0x82, 0x01, 'a'}, -501, 0, 0, 0},
        {"continuation", {0x00, 0x01, 'a'}, -501, 0, 0, 0},
        {"reserved bit", {0xC1, 0x01, 'a'}, -501, 0, 0, 0},
        {"complete unmasked", {0x81, 0x01, 'a'}, 0, 2, 1, 0},
        {"bytes still to come", {0x81, 0x05, 'a'}, 4, 2, 5, 0},
        {"one byte beyond", {0x81, 0x01, 'a', 'b'}, -1, 2, 1, 0},
        {"masked", {0x81, 0x81, 1, 2, 3, 4, 'a'}, 0, 6, 1, 0x01020304},
        {"16-bit length", {0x81, 0xFE, 0x01, 0x00, 9, 9, 9, 9}, 256, 8, 256, 0x09090909},
        {"16-bit form for a short length", {0x81, 0x7E, 0x00, 0x01, 'a'}, 0, 4, 1, 0},
        {"64-bit length, short header", {0x81, 0x7F, 0, 0, 0}, -500, 0, 0, 0},
        {"64-bit length at the bound",
         {0x81, 0x7F, 0, 0, 0, 0, 0x08, 0, 0, 0},
         static_cast<int>(mv::WsServer::MAX_PAYLOAD),
         10,
         mv::WsServer::MAX_PAYLOAD,
         0},
        {"64-bit length above the bound", {0x81, 0x7F, 0, 0, 0, 0, 0x08, 0, 0, 1}, -501, 10, 0, 0},
        {"largest 32-bit length", {0x81, 0x7F, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, -501, 10, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        uint32_t key = 0xDEADBEEF;
        size_t headerLength = 0;
        uint64_t payloadLength = 0;
        int rc = mv::WsServer::parseFrame(c.bytes.data(), c.bytes.size(), key, headerLength,
                                          payloadLength);
        EXPECT_EQ(rc, c.result);
        if (rc > -500) {
            EXPECT_EQ(headerLength, c.headerLength);
            EXPECT_EQ(payloadLength, c.payloadLength);
            EXPECT_EQ(key, c.key);
        }
    }
}

// Receive results scripted from memory: a failed receive is a fault no real socket produces on
// demand.
struct ScriptedReceiver {
    std::deque<Bytes> pieces;  // an empty piece stands for a failed receive
    long operator()(unsigned char* buffer, size_t length) {
        if (pieces.empty()) {
            return 0;
        }
        Bytes& piece = pieces.front();
        if (piece.empty()) {
            pieces.pop_front();
            return -1;
        }
        size_t n = std::min(length, piece.size());
        std::memcpy(buffer, piece.data(), n);
        piece.erase(piece.begin(), piece.begin() + static_cast<long>(n));
        if (piece.empty()) {
            pieces.pop_front();
        }
        return static_cast<long>(n);
    }
};

TEST(WsFrameTest, readFrame_mockedReceiveFailuresAndClosedConnections) {
    Bytes frame = clientFrame("hello, frame");
    Bytes firstByte(frame.begin(), frame.begin() + 1);
    Bytes rest(frame.begin() + 1, frame.end());
    struct Case {
        const char* why;
        std::deque<Bytes> pieces;
        mv::WsServer::FrameEnd end;
        std::string payload;
    };
    const Case cases[] = {
        {"one byte at a time", {}, mv::WsServer::FrameEnd::Complete, "hello, frame"},
        {"first receive fails", {{}}, mv::WsServer::FrameEnd::ReceiveFailed, ""},
        {"failure while gathering the header",
         {firstByte, {}},
         mv::WsServer::FrameEnd::ReceiveFailed,
         ""},
        {"failure while gathering the payload",
         {Bytes(frame.begin(), frame.begin() + 8), {}},
         mv::WsServer::FrameEnd::GatherFailed,
         ""},
        {"closed inside the payload leaves zeros",
         {Bytes(frame.begin(), frame.end() - 2)},
         mv::WsServer::FrameEnd::Complete,
         std::string("hello, fra\0\0", 12)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScriptedReceiver source{c.pieces};
        if (c.pieces.empty()) {
            for (unsigned char b : frame) {
                source.pieces.push_back({b});
            }
        }
        Bytes block;
        Bytes payload;
        int code = 0;
        auto end = mv::WsServer::readFrame(std::ref(source), block, payload, code);
        EXPECT_EQ(end, c.end);
        if (end == mv::WsServer::FrameEnd::Complete) {
            EXPECT_EQ(std::string(payload.begin(), payload.end()), c.payload);
        }
    }
}

}  // namespace
