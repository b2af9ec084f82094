// The program launched as a page launches it, with a real NSS store, a real WebSocket client and a
// real signing server (or helper programs): each row a command or a launch text with the reply,
// exit code and log lines it must give.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "signers/Fixtures.h"
#include "support/HttpTestServer.h"
#include "support/WsTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using mv::test::base64Of;

const std::string ARG_ERROR = "-10,5byV5pWw44Ko44Op44O8KC0xMCk=";  // 引数エラー(-10)
const std::string HASH = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const std::string OK_HASH = "<QrnResponse result=\"OK\"><hash>" + HASH + "</hash></QrnResponse>";
const Lines START{"cmd-start / cmd execute start."};
const Lines UPLOADED{"cert / 証明書取得完了", "httpSend / 証明書通信完了"};

std::string answer(const std::string& text) {
    return "/answer/" + fixtures::hexOf(mv::test::bytesOf(text));
}
Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Lines WS_START =
    START + Lines{"ws-open / WebScoket connection ok.", "api-init / sign api init ok."};
const Lines WS_END{"ws-loop / WebScoket connection end.", "cmd-end / cmd execute end."};
const Lines SUCCESS = UPLOADED + Lines{"sign / 署名値計算完了", "httpSend / 署名値通信完了"};

class UrlRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        fixtures::setZone("JST-9");
        ASSERT_TRUE(server.start({"--log", home.home + "/http.log"}));
    }

    // Runs the agent with the test's environment (its home, no display) and one argument; its
    // exit code. `limit` may end it.
    int run(const std::string& argument, const std::string& program = QUARNELCMD_PATH,
            const std::string& limit = "60") {
        last = mv::test::launch({"timeout", limit, program, argument});
        return last.exitCode;
    }
    mv::test::Outcome last;
    Lines log() const { return mv::test::logLines(home.home + "/QuarnelCmd-error.log", true); }

    // WebSocket mode: every frame answered in turn, then "term"; the client's lines.
    Lines serveFrames(int flags, const Lines& frames, const std::string& options = "") {
        int port = wstest::freePort();
        std::string plan = "[";
        for (const std::string& frame : frames) {
            plan += R"({"op": "send", "text": ")" + frame + R"("}, {"op": "recv", "full": true},)";
        }
        Lines replies;
        std::thread page([&] {
            replies = wstest::runClient(port, plan + R"({"op": "send", "text": "term"}])");
        });
        EXPECT_EQ(run("quarnel01:S," + std::to_string(port) + ",20," + std::to_string(flags) + "," +
                      options + ",,"),
                  0);
        page.join();
        for (std::string& reply : replies) {
            reply = reply.substr(10, reply.size() - 12);  // {"recv": "<reply>"}
        }
        return replies;
    }
    // The signature in a reply or an upload (hexadecimal, alone or in a request document) verifies
    // over HASH with the key of "ee".
    static void expectSignature(const std::string& text) {
        size_t open = text.find("<sign>"), close = text.find("</sign>");
        std::string hex =
            open == std::string::npos ? text : text.substr(open + 6, close - open - 6);
        EXPECT_EQ(fixtures::verify("ee", "sha256", mv::hexToBytes(HASH), mv::hexToBytes(hex)), 0);
    }

    fixtures::TempHome home;
    mv::test::HttpTestServer server;
};

TEST_F(UrlRoadTest, webSocketMode_storeSignerCommandTable) {
    home.makeNssDb("ee");
    const mv::ByteBuffer der = fixtures::readCert("ee");
    const std::string url = server.url(), redirect = "<QrnResponse result=\"ok\" redirect=\"r\"/>";
    const std::string okTo = answer(OK_HASH), redirectTo = answer(redirect),
                      okTypo = answer("<QrnResponse result=\"Ok\"/>"),
                      helperDir = fs::canonical(QUARNELCMD_PATH).parent_path();
    auto http = [&](const std::string& path) { return "http," + base64Of(path) + ",eA==,,0"; };
    auto argError = [](const std::string& tag) { return tag + " / error(-10) 引数エラー(-10)"; };
    auto end = [](const std::string& tag) { return tag + " / " + tag + " command end."; };
    // clang-format off
    const struct {
        std::string frame, reply;  // an empty reply is checked below the table
        Lines log;                 // after the command's accept line
    } rows[] = {
        {"stat", "1,", {end("stat")}},
        {"cert,1", ARG_ERROR, {argError("cert")}},
        {"cert,0,", "0," + base64Of(fixtures::hexOf(der)), {end("cert")}},
        {"sign,0," + base64Of(HASH) + ",0,", "", {end("sign")}},
        {"sign,0," + base64Of(OK_HASH) + ",0,", "", {end("sign")}},
        {"sign,0," + base64Of("<QrnResponse result=\"Ok\"><hash>00</hash></QrnResponse>") + ",0,",
         ARG_ERROR, {"sign / error(-10) Ok", argError("sign")}},
        {"xdes,0,0," + base64Of("<a Id=\"x\"/>") + ",,,", ARG_ERROR,  // an empty Id is refused
         {"xades / error(-10) xades cmd error.", argError("xades")}},
        {"xdes,0,0," + base64Of("<a Id=\"x\"/>") + "," + base64Of("x") + ",,", "", {end("xades")}},
        {http(url + answer("error:\r\nx")), "-20," + base64Of("error:\r\nx"),
         {"httpSend / " + url + answer("error:\r\nx"), "http / error:\\x0D\\x0Ax"}},
        {http(url + answer("Error:x")), "0," + base64Of("Error:x"),  // case matters
         {"httpSend / " + url + answer("Error:x"), end("http")}},
        {http(url + "/zero"), "-20," + base64Of("HTTP通信エラー(-20)"),
         {"httpSend / " + url + "/zero", "HttpConnect:request / error(-20) No message.",
          "http / error(-20) HTTP通信エラー(-20)"}},
        {"exec,0,," + base64Of(url + okTo) + ",0,,0," + base64Of(url + redirectTo) + ",,0",
         "0," + base64Of("r"),
         {end("cert"), "httpSend / " + url + okTo, "http / cert http command end.", "http / " + HASH,
          end("sign"), "httpSend / " + url + redirectTo, "http / sign http command end.",
          "http / r", end("exec")}},
        {"exec,0,," + base64Of(url + okTypo) + ",0,,0,,,0", ARG_ERROR,
         {end("cert"), "httpSend / " + url + okTypo, "pxml / error(-10) Ok", argError("exec.pxml1")}},
        {"pxml," + base64Of("<QrnResponse result=\"ok\"/>"), "0,", {end("pxml")}},
        // Helper programs are plain names beside the program file.
        {http("file:///sub/x?-a"), ARG_ERROR, {"debugExe / " + helperDir + "/sub/x",
          "debugExe / -a", "debugExe / error(-10) Invalid hostname.", argError("http")}},
    };
    // clang-format on
    Lines frames, lines = WS_START;
    for (const auto& row : rows) {
        frames.push_back(row.frame);
        lines.push_back("ws-command / " + row.frame.substr(0, 4) + " cmd accept.");
        lines.insert(lines.end(), row.log.begin(), row.log.end());
    }
    Lines got = serveFrames(0x4, frames);
    ASSERT_EQ(got.size(), std::size(rows));
    for (size_t i = 0; i < got.size(); ++i) {
        if (!rows[i].reply.empty()) {
            EXPECT_EQ(got[i], rows[i].reply) << rows[i].frame;
        }
    }
    // PKCS#1 v1.5 is deterministic: the hash and the response document give the same signature.
    expectSignature(mv::test::textOf(mv::base64DecodeStr(got[3].substr(2))));
    EXPECT_EQ(got[4], got[3]);
    EXPECT_EQ(log(), lines + WS_END);
}

// The PKCS#11 signer (flag 0x1) over a SoftHSM2 token, the PIN in the commands' arguments.
TEST_F(UrlRoadTest, webSocketMode_pkcs11SignerOverSoftHsm_certAndSignWithThePin) {
    home.addSoftHsmToken("ee");
    const std::string pin = base64Of("1234");
    Lines replies =
        serveFrames(0x5, {"stat", "cert,0," + pin, "sign,0," + base64Of(HASH) + ",0," + pin},
                    base64Of(fixtures::TempHome::softHsmLibrary()));
    EXPECT_EQ(replies.at(0), "1,");
    EXPECT_EQ(replies.at(1), "0," + base64Of(fixtures::hexOf(fixtures::readCert("ee"))));
    expectSignature(mv::test::textOf(mv::base64DecodeStr(replies.at(2).substr(2))));
    const Lines commands{"ws-command / stat cmd accept.", "stat / stat command end.",
                         "ws-command / cert cmd accept.", "cert / cert command end.",
                         "ws-command / sign cmd accept.", "sign / sign command end."};
    EXPECT_EQ(log(), WS_START + commands + WS_END);
}

// Batch mode with request documents (flags 0), a copy of the program with its helper programs
// beside it, and the failure lines a server or a helper can provoke.
TEST_F(UrlRoadTest, batchMode_launchTable_exitCodesLogLinesAndUploads) {
    home.makeNssDb("ee");
    const std::string bin = home.home + "/bin", program = bin + "/quarnelcmd";
    fs::create_directories(bin + "/sub");
    fs::copy_file(QUARNELCMD_PATH, program);
    const std::string helper = "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\ncat >\"$0.in\"\n";
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"cert", helper + "cat <<'E'\n" + OK_HASH + "\nE\n"},
             {"sign", helper + "echo '<QrnResponse result=\"OK\"/>'\n"},
             {"mute", helper},
             {"flood", "#!/bin/sh\nhead -c 1000000 /dev/zero\ncat >/dev/null\n"}}) {
        std::ofstream(bin + "/" + name) << text;
        fs::permissions(bin + "/" + name, fs::perms::owner_all);
    }
    auto launch = [](const std::string& url, const std::string& certUrl, const std::string& signUrl,
                     int certFlags = 0) {
        return "B,0,,,," + base64Of(url) + "," + base64Of(certUrl) + "," + base64Of(signUrl) + "," +
               std::to_string(certFlags) + ",0,,0,x";
    };
    const std::string url = server.url(), ok = answer("<QrnResponse result=\"ok\"/>");
    const std::string host = "execute / error(-10) Invalid hostname.",
                      got = "cert / 証明書取得完了";
    // clang-format off
    const std::map<int, std::string> messages = {{1, "実行キャンセル"}, {-10, "引数エラー"},
        {-20, "HTTP通信エラー"}, {-22, "デバッグコマンド実行エラー"}};
    const struct {
        std::string launch;
        int rc;
        Lines log;  // between the start line and the lines of the outcome
    } rows[] = {
        {launch(url, answer(OK_HASH), ok), 0, SUCCESS},
        {launch("file:///a b", "cert", "sign"), 0, SUCCESS},
        {launch("ftp://x", "cert", "sign"), -10, {host}},
        {launch("debug://touch ", home.home + "/marker", "sign"), -10, {host}},  // runs nothing
        {launch("file:///x", "../cert", "sign"), -10, {host}},
        {launch("file:///x", "cert", "sub/x"), -10, {host}},
        {launch(url, "/zero", ok), -20, {got, "HttpConnect:request / error(-20) No message."}},
        {launch(url, answer("<QrnResponse result=\"Ok\"><hash>00</hash></QrnResponse>"), ok), -20,
         {got, "httpSend / error(-20) Ok"}},
        {launch(url, answer("<QrnResponse><hash>00</hash></QrnResponse>"), ok), -20,
         {got, "httpSend / error(-20) "}},
        {launch(url, ok, ok), -20, {got, "httpSend / error(-20) cert response hash is empty."}},
        {launch(url, answer(OK_HASH), answer("<QrnResponse result=\"NG\"/>")), -20,
         UPLOADED + Lines{"sign / 署名値計算完了", "httpSend / error(-20) NG"}},
        {launch("file:///x", "mute", "sign"), -20, {got, "httpSend / error(-20) cert response is empty."}},
        {launch("file:///x", "flood", "sign"), -20, {got, "httpSend / error(-20) "}},
        {launch("file:///x", "gone", "sign"), -22, {got, "debugExe / error(-22) debug cert execute error."}},
        // The choice without a display: Cancel.
        {launch(url, "c", "s", 0x1), 1, {"cert / error(1) cert cmd error.", "cert / error(1) Cert select canceled."}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.launch);
        EXPECT_EQ(run("quarnel01:" + row.launch, program), row.rc == 0 ? 0 : 1);
        const std::string code = std::to_string(row.rc),
                          message = row.rc ? messages.at(row.rc) : "";
        Lines outcome = row.rc < 0 ? Lines{"execute / error(" + code + ") command execute error.",
                                           "execute / " + message + "(" + code + ")"}
                                   : Lines{};
        outcome.push_back(row.rc ? "cmd-end / cmd execute error." : "cmd-end / cmd execute end.");
        EXPECT_EQ(log(), START + row.log + outcome);
        EXPECT_EQ(last.err, row.rc ? "署名コマンドエラー: " + message + "(" + code + ")\n" : "");
    }
    EXPECT_FALSE(fs::exists(home.home + "/marker"));
    // The server got the certificate, then the signature, as request documents.
    expectSignature(mv::test::readText(home.home + "/http.log.body"));
    EXPECT_EQ(mv::test::readText(bin + "/cert.args"), "-cert\na b\n");
    EXPECT_NE(mv::test::readText(bin + "/cert.in").find("type=\"QRN_CERT\""), std::string::npos);
}

// The file form from the Downloads folder, over HTTPS trusted through SSL_CERT_FILE.
TEST_F(UrlRoadTest, batchMode_fileFormOverHttps_succeedsAndDeletesTheFile) {
    home.makeNssDb("ee");
    const std::string certs = fixtures::certDir();
    mv::test::HttpTestServer https;
    ASSERT_TRUE(https.start({"--log", home.home + "/https.log", "--cert", certs + "/server.pem",
                             "--key", certs + "/server.key"}));
    mv::test::ScopedEnv trust("SSL_CERT_FILE", certs + "/ca.pem");
    fs::create_directories(home.home + "/Downloads");
    std::ofstream(home.home + "/Downloads/p.txt")
        << "x,4,,,," + base64Of(https.url("https")) + "," + base64Of(answer(OK_HASH)) + "," +
               base64Of(answer("<QrnResponse result=\"OK\"/>")) + ",0,0,,0,x";
    EXPECT_EQ(run("quarnel01:F,*.txt"), 0);
    EXPECT_EQ(log(), START + SUCCESS + Lines{"cmd-end / cmd execute end."});
    EXPECT_FALSE(fs::exists(home.home + "/Downloads/p.txt"));
    expectSignature(mv::test::readText(home.home + "/https.log.body"));  // flag 0x4: hexadecimal
}

// A server that never answers: the run waits for it (no time-out of its own) until the test ends
// it.
TEST_F(UrlRoadTest, batchMode_serverThatNeverAnswers_runWaitsUntilEnded) {
    home.makeNssDb("ee");
    EXPECT_EQ(
        run("quarnel01:B,0,,,," + base64Of(server.url()) + "," + base64Of("/hang") + ",,0,0,,0,x",
            QUARNELCMD_PATH, "2"),
        124);
    EXPECT_EQ(log(), START + Lines{"cert / 証明書取得完了"});
}

}  // namespace
