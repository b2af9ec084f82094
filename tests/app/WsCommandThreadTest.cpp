#include <gtest/gtest.h>

#include <algorithm>

#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"
#include "app/CommandThread.h"
#include "foundation/Text.h"
#include "support/TestSupport.h"
#include "support/WsTestSupport.h"

namespace {

using Lines = std::vector<std::string>;

const std::string VERS_REPLY = "0,djEuMS5SMQ==", ACCEPT = "ws-command / vers cmd accept.";
// -10 and the Base64 of the UTF-8 of "引数エラー(-10)".
const std::string ARG_ERROR = "-10,5byV5pWw44Ko44Op44O8KC0xMCk=";

// One unmasked reply frame of fewer than 126 bytes, as the client reads it.
std::string readReply(int socket) {
    unsigned char head[2];
    if (::recv(socket, head, 2, MSG_WAITALL) != 2) {
        return "<no reply>";
    }
    std::string text(head[1] & 0x7F, '\0');
    ::recv(socket, text.data(), text.size(), MSG_WAITALL);
    return text;
}

// A runner whose log lives in a fresh temporary directory, as in a URL run.
class WsCommandThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner = std::make_unique<mv::CmdRunner>();
        runner->logPath = mv::utf8ToWString(logFile.data(), logFile.size());
    }
    void TearDown() override { runner.reset(); }
    Lines logLines() const { return mv::test::logLines(logFile, true); }

    // A command record for the command thread, answered through a server that was never opened.
    std::atomic<int64_t> running{1};
    mv::WsServer server;
    mv::CommandThreadArgs record(const char* command) {
        mv::CommandThreadArgs args;
        if (command != nullptr) {
            args.command = command;
        }
        args.server = &server;
        args.running = &running;
        return args;
    }

    mv::test::ScratchDir dir;
    mv::test::ScopedEnv tmp{"TMPDIR", dir.path().string()};
    std::string logFile = dir.file("QuarnelCmd-error.log");
    std::unique_ptr<mv::CmdRunner> runner;
};

TEST_F(WsCommandThreadTest, commandTable_repliesAndLogLines) {
    const struct {
        const char* frame;  // JSON string contents
        std::string reply;
        Lines log;
    } cases[] = {
        {"vers", VERS_REPLY, {ACCEPT}},
        {"VERS", ARG_ERROR, {"ws-command / error(-10) VERS"}},
        {"vrs ", ARG_ERROR, {"ws-command / error(-10) vrs "}},
        {",vers", ARG_ERROR, {"ws-command / error(-10) ,vers"}},
        {"vers,", ARG_ERROR, {ACCEPT, "vers / error(-10) 引数エラー(-10)"}},
        {"    ", ARG_ERROR, {"ws-command / error(-10)     "}},
        {" term", ARG_ERROR, {"ws-command / error(-10)  term"}},
        {"v e r s", VERS_REPLY, {ACCEPT}},
        {" vers\\t", VERS_REPLY, {ACCEPT}},
        {"vers\\u0000,x", VERS_REPLY, {ACCEPT}},
    };
    std::string plan = "[";
    Lines replies, log;
    for (const auto& c : cases) {
        plan += std::string(R"({"op": "send", "text": ")") + c.frame + R"("}, {"op": "recv"}, )";
        replies.push_back(R"({"recv": ")" + c.reply + R"("})");
        log.insert(log.end(), c.log.begin(), c.log.end());
    }
    plan += R"({"op": "send", "text": "term"}])";
    wstest::Served run = wstest::serve(mv::wsCommandThreadProc, plan);
    EXPECT_EQ(run.lines, replies);
    EXPECT_EQ(run.loopError, "loop: finished.");
    EXPECT_EQ(logLines(), log);
}

TEST_F(WsCommandThreadTest, tenThousandVersInSequence_noneRefusedAsOverlapping) {
    wstest::Served run = wstest::serve(
        mv::wsCommandThreadProc,
        R"([{"op": "repeat", "text": "vers", "count": 10000}, {"op": "send", "text": "term"}])");
    EXPECT_EQ(run.lines, Lines{R"({"count": 10000, "first": "0,djEuMS5SMQ==", "bad": 0})"});
    EXPECT_EQ(run.loopResult, 0) << run.loopError;
    EXPECT_EQ(logLines(), Lines(10000, ACCEPT));
}

TEST_F(WsCommandThreadTest, replyThatCannotBeSent_stillReleasesTheCounter) {
    mv::CommandThreadArgs vers = record("vers");
    std::thread(mv::wsCommandThreadProc, &vers).join();
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(server.lastError, "response init: not initialized. (-700)");
    EXPECT_EQ(logLines(), Lines{ACCEPT});
}

// Records run by the command thread of a connected server, whose replies a raw client reads.
TEST_F(WsCommandThreadTest, recordsOnAConnectedServer_repliesAsTheClientSeesThem) {
    int port = wstest::freePort();
    wstest::ServerRun run(server, port, 10, false);
    int client = wstest::connectTo(port);
    timeval wait{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    wstest::sendText(client,
                     "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n\r\n");
    wstest::receiveResponse(client);
    run.worker.join();
    ASSERT_EQ(run.openResult, 0) << run.openError;
    std::string big(1 << 20, 'a');
    const struct {
        const char* why;
        const char* command;  // null: the loop could not copy the frame
        const char* codePage;
        std::string reply;
        Lines log;
    } rows[] = {
        {"a command", "vers", "UTF-8", VERS_REPLY, {ACCEPT}},
        {"a record without text", nullptr, "UTF-8", ARG_ERROR, {}},
        // "引数エラー" in CP932 in the log; the reply is UTF-8 whatever the thread's code page.
        {"a CP932 thread",
         "vers,",
         "CP932",
         ARG_ERROR,
         {ACCEPT, "vers / error(-10) \x88\xf8\x90\x94\x83\x47\x83\x89\x81\x5b(-10)"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        std::filesystem::remove(logFile);
        runner->logWritten = 0;
        running = 1;
        mv::CommandThreadArgs args = record(row.command);
        std::thread([&] {
            ASSERT_TRUE(mv::setThreadCodePage(row.codePage));
            mv::wsCommandThreadProc(&args);
        }).join();
        EXPECT_EQ(running.load(), 0);
        EXPECT_EQ(readReply(client), row.reply);
        EXPECT_EQ(logLines(), row.log);
    }
    // An unknown command of a mebibyte: only its beginning can reach the log.
    std::filesystem::remove(logFile);
    mv::CommandThreadArgs args = record(big.c_str());
    std::thread(mv::wsCommandThreadProc, &args).join();
    EXPECT_EQ(readReply(client), ARG_ERROR);
    EXPECT_LT(std::filesystem::file_size(logFile), 64u * 1024);
    ::close(client);
}

}  // namespace
