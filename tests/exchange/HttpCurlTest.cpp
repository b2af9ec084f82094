#include "exchange/HttpCurl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/TestSupport.h"
#include "support/HttpTestServer.h"

namespace mv {
namespace {

using test::bytesOf;
using test::ScopedEnv;
using test::ScratchDir;
using test::textOf;

// One plain HTTP server for the suite; proxies from the environment must not take loopback
// requests elsewhere.
class HttpCurlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new ScratchDir;
        server = new test::HttpTestServer;
        ASSERT_TRUE(server->start(
            {"--log", dir->file("requests.log"), "--user", "signer", "--password", "p:w d"}));
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
    }

    struct Result {
        int code;
        std::string reply;
        std::string error;
    };
    static Result post(const std::string& url, const std::string& body,
                       const std::string& headers = "") {
        HttpCurl http;
        ByteBuffer reply;
        int code = http.open(url);
        if (code == 0) {
            code = http.requestBody(bytesOf(body), reply, headers);
        }
        return {code, textOf(reply), http.errorMessage()};
    }

    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    ScopedEnv user{"MV_PROXY_USERNAME", std::nullopt};
    ScopedEnv password{"MV_PROXY_PASSWORD", std::nullopt};
    static ScratchDir* dir;
    static test::HttpTestServer* server;
};
ScratchDir* HttpCurlTest::dir = nullptr;
test::HttpTestServer* HttpCurlTest::server = nullptr;

TEST_F(HttpCurlTest, answers_giveCodesRepliesAndTexts) {
    struct Row {
        const char* path;
        int code;
        const char* reply;
        const char* error;
    };
    const Row rows[] = {
        {"/chunked", 0, "first piece-second piece", "No message."},
        {"/close-empty", 0, "", "No message."},
        {"/zero", HTTP_ERR_EMPTY_LENGTH, "", "No message."},
        {"/short", HTTP_ERR_SHORT_BODY, "", "No message."},
        {"/nocontent", HTTP_ERR_STATUS, "", "HTTP STATUS = 204"},
        {"/status/500", HTTP_ERR_STATUS, "", "HTTP STATUS = 500"},
        {"/status/404", HTTP_ERR_STATUS, "", "HTTP STATUS = 404"},
        {"/auth", HTTP_ERR_STATUS, "", "HTTP STATUS = 401"},
    };
    for (const Row& row : rows) {
        Result r = post(server->url() + row.path, "body");
        EXPECT_EQ(r.code, row.code) << row.path;
        EXPECT_EQ(r.reply, row.reply) << row.path;
        EXPECT_EQ(r.error, row.error) << row.path;
    }
}

TEST_F(HttpCurlTest, post_sendsBodyHeadersAndUserAgentAndReadsContentLength) {
    std::string body("<QrnRequest>\0\xFF</QrnRequest>", 27);
    Result r = post(server->url() + "/echo/sign?x=1", body, "X-One: 1\r\nX-Two: two\r\n");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.reply.rfind("POST /echo/sign?x=1\n", 0), 0u) << r.reply;
    EXPECT_NE(r.reply.find("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Win32)\n"),
              std::string::npos);
    EXPECT_NE(r.reply.find("X-One: 1\n"), std::string::npos);
    EXPECT_NE(r.reply.find("X-Two: two\n"), std::string::npos);
    EXPECT_NE(r.reply.find("Content-Length: 27\n"), std::string::npos);
    EXPECT_EQ(r.reply.find("Content-Type"), std::string::npos)
        << "none unless the caller sends one";
    EXPECT_EQ(r.reply.substr(r.reply.size() - body.size()), body);
}

TEST_F(HttpCurlTest, largeBody_isPostedWithoutExpectAndReadWhole) {
    std::string body(3 * 1024 * 1024, 'b');
    Result r = post(server->url() + "/echo", body, "Content-Type: text/xml");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_NE(r.reply.find("Content-Type: text/xml\n"), std::string::npos);
    EXPECT_EQ(r.reply.find("Expect"), std::string::npos);
    EXPECT_EQ(r.reply.size(), r.reply.find("\n\n") + 2 + body.size());
}

TEST_F(HttpCurlTest, zeroSize_sendsTheDefaultRequestWithoutBody) {
    HttpCurl http;
    ASSERT_EQ(http.open(server->url() + "/echo/empty"), 0);
    ByteBuffer reply;
    ASSERT_EQ(http.request(nullptr, 0, reply, ""), 0) << http.errorMessage();
    EXPECT_EQ(textOf(reply).rfind("GET /echo/empty\n", 0), 0u);
}

TEST_F(HttpCurlTest, credentials_comeFromTheTwoVariables) {
    {
        ScopedEnv u("MV_PROXY_USERNAME", "signer");
        ScopedEnv p("MV_PROXY_PASSWORD", "p:w d");
        Result r = post(server->url() + "/auth", "x");
        EXPECT_EQ(r.code, 0) << r.error;
        EXPECT_EQ(r.reply, "welcome signer");
    }
    {
        ScopedEnv u("MV_PROXY_USERNAME", "signer");
        ScopedEnv p("MV_PROXY_PASSWORD", "wrong");
        EXPECT_EQ(post(server->url() + "/auth", "x").error, "HTTP STATUS = 401");
    }
    {
        // Empty values set nothing; a value of 1024 characters counts as absent.
        ScopedEnv u("MV_PROXY_USERNAME", "");
        ScopedEnv p("MV_PROXY_PASSWORD", std::string(1024, 'p'));
        Result r = post(server->url() + "/echo", "x");
        ASSERT_EQ(r.code, 0);
        EXPECT_EQ(r.reply.find("Authorization"), std::string::npos);
    }
}

TEST_F(HttpCurlTest, redirects_areFollowedOnlyToHttp) {
    Result r = post(server->url() + "/redirect?to=/echo/moved", "x");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.reply.rfind("GET /echo/moved\n", 0), 0u)
        << "a 302 answer to a POST is followed by a GET";

    for (const char* target :
         {"/redirect?to=file:///etc/passwd", "/redirect?to=ftp://127.0.0.1/x", "/loop"}) {
        Result refused = post(server->url() + target, "x");
        EXPECT_EQ(refused.code, HTTP_ERR_STATUS) << target;
        EXPECT_EQ(refused.error, "HTTP STATUS = 302") << target;
        EXPECT_EQ(refused.reply, "");
    }
}

TEST_F(HttpCurlTest, unusableTargets_failWithTheirCodes) {
    {
        HttpCurl http;
        ByteBuffer reply;
        EXPECT_EQ(http.request(reinterpret_cast<const unsigned char*>("x"), 1, reply, ""),
                  HTTP_ERR_NOT_OPEN);
        EXPECT_STREQ(http.errorMessage(), "No message.");
    }
    for (const char* url : {"ftp://127.0.0.1/x", "127.0.0.1:80/x", "file:///etc/passwd"}) {
        HttpCurl http;
        EXPECT_EQ(http.open(url), HTTP_ERR_BAD_URL) << url;
        EXPECT_STREQ(http.errorMessage(), "No message.");
    }
    {
        HttpCurl http;
        EXPECT_EQ(http.open("https:///path"), HTTP_ERR_CONNECT);
        ASSERT_EQ(http.open(server->url() + "/echo"), 0);
        ByteBuffer reply;
        EXPECT_EQ(http.request(nullptr, 5, reply, ""), HTTP_ERR_OPEN_REQUEST) << "no body bytes";
        EXPECT_EQ(http.request(reinterpret_cast<const unsigned char*>("x"), -1, reply, ""),
                  HTTP_ERR_OPEN_REQUEST);
    }
    {
        // A host text that would smuggle in user information and another host.
        Result r = post("http://user@127.0.0.1:" + std::to_string(server->port()) + "/echo", "x");
        EXPECT_EQ(r.code, HTTP_ERR_SEND);
        EXPECT_STRNE(r.error.c_str(), "No message.");
    }
}

TEST_F(HttpCurlTest, refusedConnection_isASendFailureWithTheLibraryText) {
    // A port that was just free: bind, learn it, close.
    test::HttpTestServer gone;
    ScratchDir dir;
    ASSERT_TRUE(gone.start({"--log", dir.file("log")}));
    const std::string url = gone.url() + "/echo";
    gone.stop();
    Result r = post(url, "x");
    EXPECT_EQ(r.code, HTTP_ERR_SEND);
    EXPECT_NE(r.error.find("onnect"), std::string::npos) << r.error;
}

TEST_F(HttpCurlTest, reopen_dropsTheEarlierTarget) {
    HttpCurl http;
    ASSERT_EQ(http.open(server->url() + "/status/500"), 0);
    ASSERT_EQ(http.open(server->url() + "/echo/second"), 0);
    ByteBuffer reply;
    ASSERT_EQ(http.requestBody(bytesOf("x"), reply, ""), 0);
    EXPECT_EQ(textOf(reply).rfind("POST /echo/second\n", 0), 0u);
    http.close();
    ByteBuffer again;
    EXPECT_EQ(http.requestBody(bytesOf("x"), again, ""), HTTP_ERR_NOT_OPEN);
}

TEST_F(HttpCurlTest, transportLock_serialisesThreadsAndLetsTheOwnerIn) {
    std::atomic<bool> secondHolds{false};
    std::thread second;
    {
        HttpCurl first;
        HttpCurl sameThread;  // the owner may take the lock again
        second = std::thread([&] {
            HttpCurl other;
            secondHolds = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(secondHolds) << "another thread waits while a transport lives";
    }
    second.join();
    EXPECT_TRUE(secondHolds);
}

// HTTPS against a server whose certificate a test authority issued.
class HttpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string command =
            "/bin/sh " QUARNEL_TEST_SUPPORT_DIR "/make-test-ca.sh " + dir.path().string();
        ASSERT_EQ(std::system(command.c_str()), 0);
        ASSERT_TRUE(server.start({"--log", dir.file("requests.log"), "--cert",
                                  dir.file("server.pem"), "--key", dir.file("server.key")}));
    }
    ScratchDir dir;
    test::HttpTestServer server;
    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
};

TEST_F(HttpsTest, trustedAuthority_throughSslCertFile_succeeds) {
    ScopedEnv file("SSL_CERT_FILE", dir.file("ca.pem"));
    ScopedEnv path("SSL_CERT_DIR", std::nullopt);
    HttpCurl http;
    ASSERT_EQ(http.open(server.url("https") + "/echo/tls"), 0);
    ByteBuffer reply;
    ASSERT_EQ(http.requestBody(bytesOf("signed"), reply, ""), 0) << http.errorMessage();
    EXPECT_EQ(textOf(reply).rfind("POST /echo/tls\n", 0), 0u);
}

TEST_F(HttpsTest, unknownAuthority_failsToSendAndReachesNoHandler) {
    std::filesystem::create_directory(dir.path() / "empty");
    struct Row {
        const char* why;
        std::optional<std::string> file;
        std::optional<std::string> path;
    };
    const Row rows[] = {
        {"another authority only", dir.file("other-ca.pem"), dir.file("empty")},
        {"the system store", std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        ScopedEnv file("SSL_CERT_FILE", row.file);
        ScopedEnv path("SSL_CERT_DIR", row.path);
        HttpCurl http;
        ASSERT_EQ(http.open(server.url("https") + "/echo/tls"), 0);
        ByteBuffer reply;
        EXPECT_EQ(http.requestBody(bytesOf("x"), reply, ""), HTTP_ERR_SEND) << row.why;
        EXPECT_NE(std::string(http.errorMessage()).find("certificate"), std::string::npos)
            << http.errorMessage();
        EXPECT_TRUE(reply.empty());
    }
    server.stop();
    EXPECT_EQ(test::readText(dir.file("requests.log")), "");
}

}  // namespace
}  // namespace mv
