#include <gtest/gtest.h>

#include <sched.h>

#include <csignal>
#include <cstdlib>

#include "WsTestSupport.h"
#include "foundation/Text.h"
#include "websocket/WsServer.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::atomic<int> lateReplyResult{1};

// The commands of these tests: "wait<ms>" answers "done" after that long, "empty" first tries an
// empty reply and then answers with its result, "late" replies thrice after the client is
// expected to have gone, "echo..." answers its own text, anything else
// "got:<length>:<first 8>:<last 8>" (the length up to a NUL, so bytes that never arrived show as a
// short length). "next" answers from a thread that runs only when no other can: on one CPU the
// loop and the client then run between its reply and whatever its thread does next.
int testProc(mv::CommandThreadArgs* args) {
    std::string text = args->command ? std::string(args->command->c_str()) : std::string();
    std::string reply;
    if (text == "next") {
        const sched_param idle{};
        sched_setscheduler(0, SCHED_IDLE, &idle);  // this thread only
    }
    if (text.rfind("wait", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(text.c_str() + 4)));
        reply = "done";
    } else if (text.rfind("echo", 0) == 0) {
        reply = text;
    } else if (text == "empty") {
        reply = "rc:" + std::to_string(args->server->response(""));
    } else if (text == "late") {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // NSPR ignores SIGPIPE once NSS is up (the accept key); the server must not rely on that.
        std::signal(SIGPIPE, SIG_DFL);
        // The first send still leaves; the peer's reset fails the second; the third is a write
        // to a broken pipe.
        args->server->response("first");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        args->server->response("second");
        lateReplyResult = args->server->respondAndRelease("third", args->running);
        return 0;
    } else {
        reply = "got:" + std::to_string(text.size()) + ":" + text.substr(0, 8) + ":" +
                text.substr(text.size() < 8 ? 0 : text.size() - 8);
    }
    args->server->respondAndRelease(reply.c_str(), args->running);
    return 0;
}

std::string hex(const Bytes& bytes) {
    std::string out;
    mv::bytesToHex(bytes, out);
    return out;
}

// A final text frame as a client may send it, masked with the key 01 02 03 04 or unmasked, in
// the 16-bit length form or with `wide` in the 64-bit one; as hexadecimal.
std::string frame(const std::string& text, bool wide = false, bool masked = true) {
    Bytes out{0x81, static_cast<unsigned char>((masked ? 0x80 : 0) | (wide ? 127 : 126))};
    for (int shift = wide ? 56 : 8; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(shift < 32 ? text.size() >> shift : 0));
    }
    const Bytes key = masked ? Bytes{1, 2, 3, 4} : Bytes{0, 0, 0, 0};  // 0s leave the text as is
    if (masked) {
        out.insert(out.end(), key.begin(), key.end());
    }
    for (size_t i = 0; i < text.size(); ++i) {
        out.push_back(static_cast<unsigned char>(text[i] ^ key[i % 4]));
    }
    return hex(out);
}

// Plan steps, each followed by ", ".
std::string step(const std::string& op, const std::string& more = "") {
    return R"({"op": ")" + op + "\"" + more + "}, ";
}
std::string send(const std::string& text) {
    return step("send", R"(, "text": ")" + text + "\"");
}
std::string raw(const std::string& hex) {
    return step("raw", R"(, "hex": ")" + hex + "\"");
}
const std::string RECV = step("recv"), PAUSE = step("sleep", R"(, "s": 0.2)"), TERM = send("term");
// A receive that expects nothing.
const std::string WAIT = step("recv", R"(, "timeout": 0.7)"), TIMEOUT = "{\"timeout\": true}\n";
// The first `bytes` of a frame, then the rest in a later receive.
std::string split(const std::string& frame, size_t bytes) {
    return raw(frame.substr(0, 2 * bytes)) + PAUSE + raw(frame.substr(2 * bytes));
}
// A text of n bytes, "P" then "a"s, and its reply.
std::string sendn(size_t n) {
    return step("sendn", R"(, "prefix": "P", "n": )" + std::to_string(n)) + RECV;
}
std::string got(size_t n) {
    return "{\"recv\": \"got:" + std::to_string(n) + ":Paaaaaaa:aaaaaaaa\"}\n";
}
std::string recvLine(const std::string& text) {
    return "{\"recv\": \"" + text + "\"}\n";
}

// Each plan runs against a server of its own on a free port until its loop ends.
TEST(WsFrameTest, clientTable_repliesAndHowTheLoopEnds) {
    const std::string P300 = "P" + std::string(299, 'a');
    const struct {
        const char* why;
        std::string plan;
        int loopResult = 0;
        std::string lines = "";  // the client's, each ended by a line feed
        bool oneCpu = false;     // the server's threads and the client on the CPU of this one
    } cases[] = {
        {"7-bit length up to its limit, 64-bit length; 100000 bytes over many receives",
         sendn(125) + sendn(65536) + sendn(100000) + TERM, 0, got(125) + got(65536) + got(100000)},
        {"a header split after its first byte is gathered, in both long length forms",
         split(frame(P300), 1) + RECV + split(frame(P300, true), 1) + RECV + TERM, 0,
         got(300) + got(300)},
        {"an unmasked frame reads as the masked one, in both long length forms",
         raw(frame(P300, false, false)) + RECV + raw(frame(P300, true, false)) + RECV + TERM, 0,
         got(300) + got(300)},
        {"a reply of 65536 bytes goes in the 64-bit length form and arrives whole",
         step("sendn", R"(, "prefix": "echo", "n": 65536)") + RECV + TERM, 0,
         recvLine("echo" + std::string(65532, 'a'))},
        {"a command sent the moment the reply before arrives is never an overlap",
         step("chain", R"(, "text": "next", "n": 100)") + TERM, 0, "{\"replies\": 100}\n", true},
        {"an empty reply is refused and sends nothing", send("empty") + RECV + TERM, 0,
         recvLine("rc:-701")},
        {"terminate is term, and term while idle sends nothing", send("terminate") + WAIT, 0,
         TIMEOUT},
        // "ter", a NUL and more: three bytes are too short, also when more follow the NUL.
        {"a NUL within the first four bytes makes the text short", send(R"(ter\u0000x)"), -603},
        {"term while a command runs: er,-1 first, then the command's own reply",
         send("wait400") + PAUSE + TERM + RECV + RECV, -604, recvLine("er,-1") + recvLine("done")},
        {"an overlapping command ends the loop and gets no reply",
         send("wait400") + PAUSE + send("second") + RECV + WAIT, -605, recvLine("done") + TIMEOUT},
        {"the client's close frame", step("close"), -501},
        {"a ping frame, unanswered", step("ping", R"(, "text": "Paaa")") + WAIT, -501, TIMEOUT},
        {"a binary frame", step("send", R"(, "text": "Paaa", "binary": true)") + WAIT, -501,
         TIMEOUT},
        {"a connection closed by the client", step("drop"), -500},
        {"a reset between frames", step("reset"), -601},
        {"a reset inside a header", raw(frame(P300).substr(0, 2)) + PAUSE + step("reset"), -601},
        {"a reset while a frame is gathered",
         raw(frame(P300).substr(0, 40)) + PAUSE + step("reset"), -602},
        {"an empty text frame", raw(frame("")), -500},
        {"a reply to a client that has gone", send("late") + step("drop"), -500},
        // 14: the 8-byte header and 6 bytes of "second".
        {"two frames in one receive: the surplus is the code",
         raw(frame("first") + frame("second")), -14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::string plan = c.plan.substr(0, c.plan.size() - 2);
        cpu_set_t all;
        sched_getaffinity(0, sizeof all, &all);
        if (c.oneCpu) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(sched_getcpu(), &one);
            // Inherited by the server's threads and by the client.
            sched_setaffinity(0, sizeof one, &one);
        }
        int port = wstest::freePort();
        mv::WsServer server;
        server.setCommandProc(testProc);
        wstest::ServerRun run(server, port);
        std::string lines;
        for (const std::string& line : wstest::runClient(port, "[" + plan + "]")) {
            lines += line + "\n";
        }
        EXPECT_EQ(lines, c.lines);
        run.finish();
        EXPECT_EQ(run.openResult, 0);
        EXPECT_EQ(run.loopResult, c.loopResult) << server.lastError;
        sched_setaffinity(0, sizeof all, &all);
    }
    EXPECT_EQ(lateReplyResult.load(), -702) << "the process must live on to tell";
}

TEST(WsFrameTest, parseFrame_table) {
    const uint32_t MAX = mv::WsServer::MAX_PAYLOAD;
    const struct {
        const char* why;
        Bytes bytes;
        int result;
        size_t headerLength = 0;
        uint64_t payloadLength = 0;
        uint32_t key = 0;
    } cases[] = {
        {"reserved bit", {0xC1, 0x01, 'a'}, -501},
        {"a first fragment", {0x01, 0x01, 'a'}, -501},
        {"one byte beyond", {0x81, 0x01, 'a', 'b'}, -1, 2, 1, 0},
        {"16-bit form for a short length", {0x81, 0x7E, 0x00, 0x01, 'a'}, 0, 4, 1, 0},
        {"64-bit length, short header", {0x81, 0x7F, 0, 0, 0}, -500},
        {"low 32 bits count", {0x81, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 'a'}, 0, 10, 1},
        {"64-bit length at the bound", {0x81, 0x7F, 0, 0, 0, 0, 8, 0, 0, 0}, int(MAX), 10, MAX, 0},
        {"largest 32-bit length", {0x81, 0x7F, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, -501},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        uint32_t key = 0xDEADBEEF;
        size_t headerLength = 0;
        uint64_t payloadLength = 0;
        int rc = mv::WsServer::parseFrame(c.bytes.data(), c.bytes.size(), key, headerLength,
                                          payloadLength);
        EXPECT_EQ(rc, c.result);
        if (rc > -500) {
            EXPECT_EQ(std::make_tuple(headerLength, payloadLength, key),
                      std::make_tuple(c.headerLength, c.payloadLength, c.key));
        }
    }
    // Replies take the shortest length form (the real client would accept any).
    for (auto [length, header] : {std::pair{125, "817D"},
                                  {126, "817E007E"},
                                  {65535, "817EFFFF"},
                                  {65536, "817F0000000000010000"}}) {
        Bytes out;
        mv::WsServer::frameHeader(length, out);
        EXPECT_EQ(hex(out), header);
    }
}

}  // namespace
