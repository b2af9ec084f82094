#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

#include "WsTestSupport.h"
#include "foundation/Text.h"
#include "websocket/WsServer.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::atomic<int> lateReplyResult{1};
std::string lateReplyError;

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
        lateReplyError = args->server->errorText();
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
std::string send(const std::string& text) {
    return R"({"op": "send", "text": ")" + text + R"("}, )";
}
// Raw bytes, or with `at` in two writes split there.
std::string raw(const Bytes& bytes, int at = 0, const char* op = "raw") {
    return R"({"op": ")" + std::string(at ? "split" : op) + R"(", "at": )" + std::to_string(at) +
           R"(, "hex": ")" + hex(bytes) + R"("}, )";
}
std::string sendn(size_t n) {
    return R"({"op": "sendn", "prefix": "P", "n": )" + std::to_string(n) + "}, " +
           R"({"op": "recv"}, )";
}
const std::string TIMEOUT = "{\"timeout\": true}";
const std::string RECV = R"({"op": "recv"}, )";
const std::string WAIT = R"({"op": "recv", "timeout": 0.7}, )";
const std::string TERM = send("term");
// The loop's error texts; other codes are parse errors.
const std::map<int, std::string> LOOP_ERRORS = {{-601, "loop recv: recv error."},
                                                {-602, "loop recv: recv error."},
                                                {-603, "loop cmd: invalid command length."},
                                                {-604, "loop cmd: break."},
                                                {-605, "loop cmd: overlap execute."}};

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
        EXPECT_EQ(run.loopResult, c.loopResult);
        auto known = LOOP_ERRORS.find(c.loopResult);
        std::string text =
            known != LOOP_ERRORS.end() ? known->second : "loop prase: command parse error.";
        EXPECT_EQ(run.loopError, c.loopResult == 0
                                     ? "loop: finished."
                                     : text + " (" + std::to_string(c.loopResult) + ")");
    }
}

TEST(WsFrameTest, realClientFrames_areGatheredUnmaskedAndAnswered) {
    runCases(
        {
            {"masked and unmasked frames give the same command",
             send("Paaaaaaaaa") + RECV + R"({"op": "unmasked", "text": "Paaaaaaaaa"}, )" + RECV,
             {got(10), got(10)}},
            {"7-bit, 16-bit and 64-bit lengths; 100000 bytes over many receives",
             sendn(125) + sendn(126) + sendn(65535) + sendn(65536) + sendn(100000),
             {got(125), got(126), got(65535), got(65536), got(100000)}},
            {"a header split over two receives is gathered; two bytes of it are whole",
             raw(clientFrame("Paaaaaaaaaaa"), 1) + RECV +
                 raw(clientFrame("P" + std::string(299, 'a')), 7) + RECV +
                 raw(clientFrame("Paaaa", false), 2) + RECV,
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
    Bytes two = clientFrame("first");
    Bytes second = clientFrame("second");
    two.insert(two.end(), second.begin(), second.end());
    Bytes long300 = clientFrame(std::string(300, 'a'));
    const std::string RESET = R"({"op": "reset"}, )";
    runCases({
        {"the client's close frame", R"({"op": "close"}, )", {}, -501},
        {"a ping frame", R"({"op": "ping"}, )", {}, -501},
        {"a binary frame", raw({'v', 'e', 'r', 's'}, 0, "binary"), {}, -501},
        {"a first fragment", raw(clientFrame("vers", true, 0x01)), {}, -501},
        {"a connection closed by the client", R"({"op": "drop"}, )", {}, -500},
        {"a reset between frames", RESET, {}, -601},
        {"a reset inside a header",
         raw({0x81}) + R"({"op": "sleep", "s": 0.2}, )" + RESET,
         {},
         -601},
        {"a reset while a frame is gathered",
         raw(Bytes(long300.begin(), long300.begin() + 20)) + R"({"op": "sleep", "s": 0.2}, )" +
             RESET,
         {},
         -602},
        {"an empty text frame", raw({0x81, 0x80, 1, 2, 3, 4}), {}, -500},
        {"an announced length above the bound ends before anything arrives",
         raw({0x81, 0xFF, 0, 0, 0, 0, 0x08, 0, 0, 0x01, 1, 2, 3, 4}) + WAIT,
         {TIMEOUT},
         -501},
        {"a reply to a client that has gone", send("late") + R"({"op": "drop"}, )", {}, -500},
        {"two frames in one receive: the surplus is the code",
         raw(two),
         {},
         -static_cast<int>(second.size())},
    });
    EXPECT_EQ(lateReplyResult.load(), -702) << "the process must live on to tell";
    EXPECT_EQ(lateReplyError, "response send: response send error. (-702)");
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
        {"one byte", {0x81}, -500},
        {"a lone two-byte header is whole", {0x81, 0x05}, 5, 2, 5, 0},
        {"binary", {0x82, 0x01, 'a'}, -501},
        {"continuation", {0x00, 0x01, 'a'}, -501},
        {"reserved bit", {0xC1, 0x01, 'a'}, -501},
        {"complete unmasked", {0x81, 0x01, 'a'}, 0, 2, 1, 0},
        {"bytes still to come", {0x81, 0x05, 'a'}, 4, 2, 5, 0},
        {"one byte beyond", {0x81, 0x01, 'a', 'b'}, -1, 2, 1, 0},
        {"masked", {0x81, 0x81, 1, 2, 3, 4, 'a'}, 0, 6, 1, 0x01020304},
        {"16-bit length", {0x81, 0xFE, 0x01, 0x00, 9, 9, 9, 9}, 256, 8, 256, 0x09090909},
        {"16-bit form for a short length", {0x81, 0x7E, 0x00, 0x01, 'a'}, 0, 4, 1, 0},
        {"64-bit length, short header", {0x81, 0x7F, 0, 0, 0}, -500},
        {"64-bit length at the bound", {0x81, 0x7F, 0, 0, 0, 0, 8, 0, 0, 0}, int(MAX), 10, MAX, 0},
        {"64-bit length above the bound", {0x81, 0x7F, 0, 0, 0, 0, 8, 0, 0, 1}, -501},
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
