#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "WsTestSupport.h"
#include "foundation/Text.h"
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
        // NSPR ignores SIGPIPE once NSS is up (the accept key); the server must not rely on that.
        std::signal(SIGPIPE, SIG_DFL);
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
    std::string out;
    mv::bytesToHex(bytes, out);
    return out;
}

std::string got(size_t n) {
    return "{\"recv\": \"got:" + std::to_string(n) + ":Paaaaaaa:aaaaaaaa\"}";
}
std::string recvLine(const std::string& text) {
    return "{\"recv\": \"" + text + "\"}";
}
std::string send(const std::string& text) {
    return R"({"op": "send", "text": ")" + text + R"("}, )";
}
std::string raw(const Bytes& bytes, const char* op = "raw") {
    return R"({"op": ")" + std::string(op) + R"(", "hex": ")" + hex(bytes) + R"("}, )";
}
// Text frames that ws_client.py frames itself; `more` adds its options (see there).
std::string frames(const std::string& texts, const std::string& more = "") {
    return R"({"op": "frames", "texts": [)" + texts + "]" + more + "}, ";
}
std::string sendn(size_t n) {
    return R"({"op": "sendn", "prefix": "P", "n": )" + std::to_string(n) + "}, " +
           R"({"op": "recv"}, )";
}
const std::string TIMEOUT = "{\"timeout\": true}";
const std::string RECV = R"({"op": "recv"}, )";
const std::string WAIT = R"({"op": "recv", "timeout": 0.7}, )";
const std::string TERM = send("term");

struct FrameCase {
    const char* why;
    std::string plan;  // the steps of the JSON list, each followed by ", "
    std::vector<std::string> lines;
    int loopResult = 0;
};

void runCases(const std::vector<FrameCase>& cases, bool term = false) {
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.why);
        std::string plan = c.plan + (term ? TERM : "");
        plan.erase(plan.find_last_not_of(", ") + 1);
        wstest::Served run = wstest::serve(testProc, "[" + plan + "]");
        EXPECT_EQ(run.openResult, 0);
        EXPECT_EQ(run.lines, c.lines);
        EXPECT_EQ(run.loopResult, c.loopResult) << run.loopError;
    }
}

TEST(WsFrameTest, realClientFrames_areGatheredUnmaskedAndAnswered) {
    runCases(
        {
            {"masked and unmasked frames give the same command",
             send("Paaaaaaaaa") + RECV + frames(R"("Paaaaaaaaa")", R"(, "unmasked": true)") + RECV,
             {got(10), got(10)}},
            {"7-bit, 16-bit and 64-bit lengths; 100000 bytes over many receives",
             sendn(125) + sendn(126) + sendn(65535) + sendn(65536) + sendn(100000),
             {got(125), got(126), got(65535), got(65536), got(100000)}},
            {"a header split over two receives is gathered; two bytes of it are whole",
             frames(R"("Paaaaaaaaaaa")", R"(, "at": 1)") + RECV +
                 frames("\"P" + std::string(299, 'a') + "\"", R"(, "at": 7)") + RECV +
                 frames(R"("Paaaa")", R"(, "at": 2, "unmasked": true)") + RECV,
             {got(12), got(300), recvLine("got:5:Paaaa:Paaaa")}},
            {"replies of 126 and 70000 bytes arrive whole",
             send("len:126") + RECV + send("len:70000") + RECV,
             {R"({"recv_len": 126, "distinct": "x"})", R"({"recv_len": 70000, "distinct": "x"})"}},
            {"an empty reply is refused and sends nothing",
             send("empty") + RECV,
             {recvLine("rc:-701:response arg: invalid argument. (-701)")}},
            {"a command right after each reply is never an overlap",
             R"({"op": "repeat", "text": "Paaaaaaaaa", "count": 300}, )",
             {R"({"count": 300, "first": "got:10:Paaaaaaa:aaaaaaaa", "bad": 0})"}},
            {"only the low 32 bits of a 64-bit length count",
             raw({0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0, 0, 0, 'P', 'a', 'a', 'a'}) +
                 RECV,
             {recvLine("got:4:Paaa:Paaa")}},
        },
        true);
}

TEST(WsFrameTest, loopEnds_termAndCommandRules) {
    runCases({
        {"term while idle sends nothing", TERM + WAIT, {TIMEOUT}},
        {"terminate is term", send("terminate") + WAIT, {TIMEOUT}},
        {"three bytes are too short", send("ter"), {}, -603},
        {"a NUL within the first four bytes makes the text short",
         send(R"(ab\u0000cdef)"),
         {},
         -603},
        {"term while a command runs: er,-1 first, then the command's own reply",
         send("wait400") + R"({"op": "sleep", "s": 0.1}, )" + TERM + RECV + RECV,
         {recvLine("er,-1"), recvLine("done")},
         -604},
        {"an overlapping command ends the loop and gets no reply",
         send("wait400") + R"({"op": "sleep", "s": 0.1}, )" + send("second") + RECV + WAIT,
         {recvLine("done"), TIMEOUT},
         -605},
    });
}

TEST(WsFrameTest, refusedFrames_endTheLoopAsParseErrors) {
    const std::string RESET = R"({"op": "reset"}, )";
    runCases({
        {"the client's close frame", R"({"op": "close"}, )", {}, -501},
        {"a ping frame", R"({"op": "ping"}, )", {}, -501},
        {"a binary frame", raw({'v', 'e', 'r', 's'}, "binary"), {}, -501},
        {"a first fragment", frames(R"("vers")", R"(, "fin": false)"), {}, -501},
        {"a connection closed by the client", R"({"op": "drop"}, )", {}, -500},
        {"a reset between frames", RESET, {}, -601},
        {"a reset inside a header",
         raw({0x81}) + R"({"op": "sleep", "s": 0.2}, )" + RESET,
         {},
         -601},
        {"a reset while a frame is gathered",
         frames("\"" + std::string(300, 'a') + "\"", R"(, "cut": 20)") +
             R"({"op": "sleep", "s": 0.2}, )" + RESET,
         {},
         -602},
        {"an empty text frame", raw({0x81, 0x80, 1, 2, 3, 4}), {}, -500},
        {"an announced length above the bound ends before anything arrives",
         raw({0x81, 0xFF, 0, 0, 0, 0, 0x08, 0, 0, 0x01, 1, 2, 3, 4}) + WAIT,
         {TIMEOUT},
         -501},
        {"a reply to a client that has gone", send("late") + R"({"op": "drop"}, )", {}, -500},
        // 12: the 2-byte header, 4-byte key and 6 bytes of "second".
        {"two frames in one receive: the surplus is the code",
         frames(R"("first", "second")"),
         {},
         -12},
    });
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
        {"one byte beyond", {0x81, 0x01, 'a', 'b'}, -1, 2, 1, 0},
        {"16-bit form for a short length", {0x81, 0x7E, 0x00, 0x01, 'a'}, 0, 4, 1, 0},
        {"64-bit length, short header", {0x81, 0x7F, 0, 0, 0}, -500},
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
