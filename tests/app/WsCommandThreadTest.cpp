#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "../support/WsTestSupport.h"
#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"
#include "app/CommandThread.h"
#include "foundation/Text.h"

namespace {

namespace fs = std::filesystem;

const std::string VERS_REPLY = "0,djEuMS5SMQ==";
// -10 and the Base64 of the UTF-8 of "引数エラー(-10)".
const std::string ARG_ERROR = "-10,5byV5pWw44Ko44Op44O8KC0xMCk=";

// A runner whose log lives in a fresh temporary directory, as in a URL run.
class WsCommandThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/mvcmd.XXXXXX";
        dir = mkdtemp(dirTemplate);
        setenv("TMPDIR", dir.c_str(), 1);
        runner = std::make_unique<mv::CmdRunner>();
        logFile = dir + "/QuarnelCmd-error.log";
        runner->logPath = mv::utf8ToWString(logFile.data(), logFile.size());
    }
    void TearDown() override {
        runner.reset();
        fs::remove_all(dir);
    }

    // The log lines without their time stamps.
    std::vector<std::string> logLines() const {
        std::ifstream in(logFile, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        std::string all = s.str();
        std::vector<std::string> out;
        std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d ([^\r\n]*)\r\n)");
        for (auto it = std::sregex_iterator(all.begin(), all.end(), line);
             it != std::sregex_iterator(); ++it) {
            out.push_back((*it)[1]);
        }
        return out;
    }

    // Runs the plan against a server that serves with the command thread; the client's lines.
    std::vector<std::string> serve(const std::string& plan, int& loopResult,
                                   std::string& loopError) {
        int port = wstest::freePort();
        mv::WsServer server;
        server.setCommandProc(mv::wsCommandThreadProc);
        wstest::ServerRun run(server, port);
        std::vector<std::string> lines = wstest::runClient(port, plan);
        run.finish();
        EXPECT_EQ(run.openResult, 0) << run.openError;
        loopResult = run.loopResult;
        loopError = run.loopError;
        return lines;
    }

    std::string dir, logFile;
    std::unique_ptr<mv::CmdRunner> runner;
};

std::string recvLine(const std::string& text) {
    return "{\"recv\": \"" + text + "\"}";
}

TEST_F(WsCommandThreadTest, commandTable_repliesAndLogLines) {
    struct Case {
        const char* frame;  // JSON string contents
        std::string reply;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"vers", VERS_REPLY, {"ws-command / vers cmd accept."}},
        {"VERS", ARG_ERROR, {"ws-command / error(-10) VERS"}},
        {"vrs ", ARG_ERROR, {"ws-command / error(-10) vrs "}},
        {",vers", ARG_ERROR, {"ws-command / error(-10) ,vers"}},
        {"vers,",
         ARG_ERROR,
         {"ws-command / vers cmd accept.", "vers / error(-10) 引数エラー(-10)"}},
        {"    ", ARG_ERROR, {"ws-command / error(-10)     "}},
        {" term", ARG_ERROR, {"ws-command / error(-10)  term"}},
        {"v e r s", VERS_REPLY, {"ws-command / vers cmd accept."}},
        {" vers\\t", VERS_REPLY, {"ws-command / vers cmd accept."}},
        {"vers\\u0000,x", VERS_REPLY, {"ws-command / vers cmd accept."}},
    };
    std::string plan = "[";
    std::vector<std::string> replies;
    std::vector<std::string> log;
    for (const Case& c : cases) {
        plan += std::string(R"({"op": "send", "text": ")") + c.frame + R"("}, {"op": "recv"}, )";
        replies.push_back(recvLine(c.reply));
        log.insert(log.end(), c.log.begin(), c.log.end());
    }
    plan += R"({"op": "send", "text": "term"}])";
    int loopResult = 1;
    std::string loopError;
    EXPECT_EQ(serve(plan, loopResult, loopError), replies);
    EXPECT_EQ(loopResult, 0);
    EXPECT_EQ(loopError, "loop: finished.");
    EXPECT_EQ(logLines(), log);
}

TEST_F(WsCommandThreadTest, tenThousandVersInSequence_noneRefusedAsOverlapping) {
    int loopResult = 1;
    std::string loopError;
    std::vector<std::string> lines = serve(
        R"([{"op": "repeat", "text": "vers", "count": 10000}, {"op": "send", "text": "term"}])",
        loopResult, loopError);
    EXPECT_EQ(lines,
              std::vector<std::string>{R"({"count": 10000, "first": "0,djEuMS5SMQ==", "bad": 0})"});
    EXPECT_EQ(loopResult, 0) << loopError;
    std::vector<std::string> log = logLines();
    EXPECT_EQ(log.size(), 10000u);
    EXPECT_EQ(std::count(log.begin(), log.end(), "ws-command / vers cmd accept."), 10000);
}

TEST_F(WsCommandThreadTest, replyThatCannotBeSent_stillReleasesTheCounter) {
    mv::WsServer server;  // never opened: every send fails
    std::atomic<int64_t> running{1};
    mv::CommandThreadArgs args;
    args.command = "vers";
    args.server = &server;
    args.running = &running;
    std::thread(mv::wsCommandThreadProc, &args).join();
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(server.lastError, "response init: not initialized. (-700)");
    EXPECT_EQ(logLines(), std::vector<std::string>{"ws-command / vers cmd accept."});

    // A record without text is answered with the argument error and logs nothing.
    running = 1;
    args.command.reset();
    std::thread(mv::wsCommandThreadProc, &args).join();
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(WsCommandThreadTest, cp932Thread_replyIsStillUtf8AndLogIsCp932) {
    mv::WsServer server;
    std::atomic<int64_t> running{1};
    mv::CommandThreadArgs args;
    args.command = "vers,";
    args.server = &server;
    args.running = &running;
    std::thread([&] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        mv::wsCommandThreadProc(&args);
    }).join();
    std::ifstream in(logFile, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    // "引数エラー" in CP932.
    EXPECT_NE(s.str().find("vers / error(-10) \x88\xf8\x90\x94\x83\x47\x83\x89\x81\x5b(-10)\r\n"),
              std::string::npos);
    std::string reply;
    std::thread([&] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        mv::writeErrorReply(-10, reply);
    }).join();
    EXPECT_EQ(reply, ARG_ERROR);
}

}  // namespace
