// The PKCS#11 signer on the roads a page and a batch launch take it (launch flag 0x1), without a
// display (the PIN dialog answers Cancel): a hostile module (the test module) notes every PIN it
// is handed, and a library planted where only the loader's own search would find it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "signers/Fixtures.h"
#include "support/HttpTestServer.h"
#include "support/WsTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using mv::test::base64Of;

const std::string HASH = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";

class Pkcs11RoadTest : public ::testing::Test {
protected:
    Pkcs11RoadTest() { fs::copy_file(QUARNEL_P11_TEST_MODULE, module); }

    // The program launched with `text` after "quarnel01:", the test module in `mode`, its
    // certificate ee; with `frames`, a page that sends each and then "term". The page's replies.
    Lines launch(const std::string& text, const std::string& mode, const Lines& frames = {},
                 std::vector<std::string> env = {}) {
        env.insert(env.end(),
                   {"QUARNEL_TEST_P11=" + mode, "QUARNEL_TEST_P11_LOG=" + moduleLog,
                    "QUARNEL_TEST_P11_CERT=" + fixtures::certDir() + "/ee.der", "LANG=C.UTF-8"});
        int port = wstest::freePort();
        std::string plan = "[";
        for (const std::string& frame : frames) {
            plan += R"({"op": "send", "text": ")" + frame + R"("}, {"op": "recv"}, )";
        }
        plan += R"({"op": "send", "text": "term"}])";
        Lines replies;
        std::thread page([&] {
            if (text[0] == 'S') {
                replies = wstest::runClient(port, plan);
            }
        });
        std::string args = text[0] == 'S' ? "S," + std::to_string(port) + text.substr(1) : text;
        exitCode =
            mv::test::launch({"timeout", "60", QUARNELCMD_PATH, "quarnel01:" + args}, env).exitCode;
        page.join();
        return replies;
    }
    // What the module was handed.
    std::string moduleSaw() const { return mv::test::readText(moduleLog); }

    fixtures::TempHome home;
    mv::test::ScratchDir installed = fixtures::rootOnlyDir();  // a page may name a library there
    const std::string module = installed.file("hostile-p11.so"), moduleLog = home.file("p11.log");
    int exitCode = -1;
};

// Only a PIN that a page sends for a token with tries to spare reaches C_Login. Batch mode hands
// the signer the upload path and the library list where a page's commands hand it PINs; a token
// that reports a low count, a last try or a lock would be locked by a page's wrong PINs. In each
// case the PIN dialog asks instead, and without a display it answers Cancel. A token that does
// not tell its state at all is not tried either: the command fails.
TEST_F(Pkcs11RoadTest, hostileMockModule_onlyThePagesPinForATokenWithTriesToSpareReachesCLogin) {
    mv::test::HttpTestServer server;
    ASSERT_TRUE(server.start({"--log", home.file("http.log")}));
    const std::string ok = "<QrnResponse result=\"OK\"><hash>" + HASH + "</hash></QrnResponse>";
    auto answer = [](const std::string& text) {
        return "/answer/" + fixtures::hexOf(mv::test::bytesOf(text));
    };
    const std::string batch = "B,1," + base64Of(module) + ",,," + base64Of(server.url()) + "," +
                              base64Of(answer(ok)) + "," +
                              base64Of(answer("<QrnResponse result=\"OK\"/>")) + ",16,0,,0,x";
    const std::string page = "S,20,5," + base64Of(module) + ",,";
    const std::string cert = "cert,16," + base64Of("1234"),
                      sign = "sign,0," + base64Of(HASH) + ",0," + base64Of("1234");
    const std::string loaded = "C_GetFunctionList\n", tried = "C_Login PIN=\"1234\"\n";
    const struct {
        const char* why;
        std::string launch, mode;
        Lines frames, replies;  // each reply's code
        std::string saw;
    } rows[] = {
        // clang-format off
        {"batch mode: the PIN dialog's Cancel ends the run after the certificate's upload", batch,
         "", {}, {}, loaded},
        {"a token with tries to spare", page, "", {cert, sign}, {"0", "0"}, loaded + tried + tried},
        {"count low", page, "pinlow", {cert, sign}, {"0", "-11"}, loaded},
        {"final try", page, "pinfinal", {cert, sign}, {"0", "-11"}, loaded},
        {"locked", page, "pinlocked", {cert, sign}, {"0", "-11"}, loaded},
        {"the token's state unknown", page, "wide:C_GetTokenInfo", {cert, sign}, {"-11", "-11"},
         loaded},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        fs::remove(moduleLog);
        Lines replies = launch(row.launch, row.mode, row.frames);
        EXPECT_EQ(exitCode, row.frames.empty() ? 1 : 0);
        for (std::string& reply : replies) {  // {"recv": "<code>,<Base64>"}
            reply = reply.substr(10, reply.find(',') - 10);
        }
        EXPECT_EQ(replies, row.replies);
        EXPECT_EQ(moduleSaw(), row.saw);
    }
}

// The agent's working directory is the shared temporary one, and an LD_LIBRARY_PATH that ends in
// ":" names it too: a library planted there under a name the page sends must never load. The
// system's own library of that name still does.
TEST_F(Pkcs11RoadTest, plantedLibrary_bareNameNeverLoadsFromTheWorkingDirectory) {
    const std::vector<std::string> env = {"LD_LIBRARY_PATH=/opt/vendor/lib:"};
    const std::string log = home.file("QuarnelCmd-error.log");
    // name, the run's set-up line
    const std::pair<std::string, std::string> rows[] = {
        {"quarnel-planted.so", "api-init / error(-31) sign api init error."},
        {"opensc-pkcs11.so", "api-init / sign api init ok."},  // /usr/lib/<multiarch>
    };
    for (const auto& [name, setUp] : rows) {
        SCOPED_TRACE(name);
        fs::copy_file(QUARNEL_P11_TEST_MODULE, home.file(name));
        fs::remove(moduleLog);
        launch("S,20,5," + base64Of(name) + ",,", "", {}, env);
        EXPECT_EQ(moduleSaw(), "");
        EXPECT_THAT(mv::test::logLines(log), ::testing::Contains(setUp));
    }
}

}  // namespace
