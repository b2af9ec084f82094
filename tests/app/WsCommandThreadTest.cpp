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

// A runner whose log lives in a fresh temporary directory, as in a URL run.
class WsCommandThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner = std::make_unique<mv::CmdRunner>();
        runner->logPath = mv::utf8ToWString(logFile.data(), logFile.size());
    }
    void TearDown() override { runner.reset(); }
    Lines logLines() const { return mv::test::logLines(logFile, true); }

    mv::test::ScratchDir dir;
    mv::test::ScopedEnv tmp{"TMPDIR", dir.path().string()};
    std::string logFile = dir.file("QuarnelCmd-error.log");
    std::unique_ptr<mv::CmdRunner> runner;
};

// On a CP932 thread: replies stay UTF-8, log lines take the thread's code page.
TEST_F(WsCommandThreadTest, commandTableOnACp932Thread_repliesAndLogLines) {
    const struct {
        const char* frame;  // JSON string contents
        std::string reply;
        Lines log;
    } cases[] = {
        {"vers", VERS_REPLY, {ACCEPT}},
        {"VERS", ARG_ERROR, {"ws-command / error(-10) VERS"}},
        {"vrs ", ARG_ERROR, {"ws-command / error(-10) vrs "}},
        {",vers", ARG_ERROR, {"ws-command / error(-10) ,vers"}},
        // "引数エラー" in CP932.
        {"vers,",
         ARG_ERROR,
         {ACCEPT, "vers / error(-10) \x88\xf8\x90\x94\x83\x47\x83\x89\x81\x5b(-10)"}},
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
    wstest::Served run = wstest::serve(
        +[](mv::CommandThreadArgs* args) {
            mv::setThreadCodePage("CP932");
            return mv::wsCommandThreadProc(args);
        },
        plan);
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
    std::atomic<int64_t> running{1};
    mv::WsServer server;  // never opened
    mv::CommandThreadArgs vers{"vers", &server, &running};
    std::thread(mv::wsCommandThreadProc, &vers).join();
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(server.lastError, "response init: not initialized. (-700)");
}

// A record whose copy of the frame failed (only exhausted memory does that, so the proc drops the
// copy itself) is answered with the argument error; of an unknown mebibyte command only the
// beginning can reach the log.
TEST_F(WsCommandThreadTest, mockedLostCopyAndHugeUnknownCommand_argumentError) {
    const std::string plan = R"([{"op": "sendn", "n": 1048576}, {"op": "recv"}])";
    const Lines replies{R"({"recv": ")" + ARG_ERROR + R"("})"};
    EXPECT_EQ(wstest::serve(mv::wsCommandThreadProc, plan).lines, replies);
    EXPECT_LT(mv::test::readText(logFile).size(), 64u * 1024);
    EXPECT_EQ(wstest::serve(
                  +[](mv::CommandThreadArgs* args) {
                      args->command.reset();
                      return mv::wsCommandThreadProc(args);
                  },
                  plan)
                  .lines,
              replies);
    EXPECT_EQ(logLines().size(), 1u) << "a lost copy logs nothing";
}

}  // namespace
