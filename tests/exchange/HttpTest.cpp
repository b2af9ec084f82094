// URL splitting, the HTTP(S) transport and the server exchange, against a real HTTP server on
// 127.0.0.1 and real child programs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "exchange/HttpCurl.h"
#include "exchange/QuarnelHttp.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

using test::bytesOf;
using test::ScopedEnv;
using test::ScratchDir;
using test::textOf;

TEST(SplitUrl, table) {
    // host|path|port; a bad URL must leave "h|p|n" untouched.
    const std::tuple<const char*, int, std::string> rows[] = {
        {"https://sign.example:8443/sign/x", 1, "sign.example|/sign/x|8443"},
        {"http://host/a/b?q=1:2", 0, "host|/a/b?q=1:2|"},
        {"hTtPs://Host:", 1, "Host||"},
        {"host.example/path", 0, "host.example|/path|"},
        {"https://", 1, "||"},
        {"http://h:80:90/p", 0, "h|/p|80:90"},
        {"ftp://host/x", -1, "h|p|n"},
        {"debug://cat", -1, "h|p|n"},
        {"host:8080/x", -1, "h|p|n"},
        {"https:/host", -1, "h|p|n"},
        {":", -1, "h|p|n"},
    };
    for (const auto& [url, result, parts] : rows) {
        std::string host = result < 0 ? "h" : "", path = result < 0 ? "p" : "",
                    port = result < 0 ? "n" : "";
        EXPECT_EQ(splitUrl(url, host, path, port), result) << url;
        EXPECT_EQ(host + "|" + path + "|" + port, parts) << url;
    }
}

struct Result {
    int code;
    std::string reply, error;
    std::u16string place;
};

Result send(QuarnelHttp& http, const std::u16string& urlOrPath, const std::string& body,
            int absolute = 0, const char16_t* headers = nullptr) {
    ByteBuffer reply, bytes = bytesOf(body);
    std::u16string place;
    int code = http.httpSend(urlOrPath.c_str(), headers, bytes.data(),
                             static_cast<int>(bytes.size()), absolute, reply, place);
    return {code, textOf(reply), http.httpError, place};
}

std::u16string wide(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One server per test program; it knows the user "signer". Proxies from the environment must not
// take loopback requests elsewhere, and no server credentials are set unless a test sets them.
class Exchange : public ::testing::Test {
protected:
    static test::HttpTestServer& server() {
        static ScratchDir dir;
        static test::HttpTestServer server;
        static bool started = server.start(
            {"--log", dir.file("requests.log"), "--user", "signer", "--password", "p:w d"});
        EXPECT_TRUE(started);
        return server;
    }
    static std::string url(const std::string& path) { return server().url() + path; }

    static Result post(const std::string& url, const std::string& body,
                       const std::string& headers = "") {
        HttpCurl http;
        ByteBuffer reply;
        int code = http.open(url);
        if (code == 0) {
            code = http.requestBody(bytesOf(body), reply, headers);
        }
        return {code, textOf(reply), http.errorMessage(), u""};
    }

    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    ScopedEnv user{"MV_PROXY_USERNAME", std::nullopt};
    ScopedEnv password{"MV_PROXY_PASSWORD", std::nullopt};
};

// Each answer through the transport, and through the exchange object, which names the place of a
// failure and keeps the transport's text.
TEST_F(Exchange, answers_giveCodesRepliesTextsAndPlaces) {
    const std::tuple<std::string, int, const char*, const char*, const char16_t*> rows[] = {
        {url("/chunked"), 0, "first piece-second piece", "No message.", u""},
        {url("/close-empty"), 0, "", "No message.", u"HttpConnect:response"},
        {url("/zero"), HTTP_ERR_EMPTY_LENGTH, "", "No message.", u"HttpConnect:request"},
        {url("/short"), HTTP_ERR_SHORT_BODY, "", "No message.", u"HttpConnect:request"},
        {url("/nocontent"), HTTP_ERR_STATUS, "", "HTTP STATUS = 204", u"HttpConnect:request"},
        {url("/status/500"), HTTP_ERR_STATUS, "", "HTTP STATUS = 500", u"HttpConnect:request"},
        {url("/auth"), HTTP_ERR_STATUS, "", "HTTP STATUS = 401", u"HttpConnect:request"},
        {"DEBUG://cat", HTTP_ERR_BAD_URL, "", "No message.", u"HttpConnect:open"},
        {"127.0.0.1:80/x", HTTP_ERR_BAD_URL, "", "No message.", u"HttpConnect:open"},
        {"file:///etc/passwd", HTTP_ERR_BAD_URL, "", "No message.", u"HttpConnect:open"},
        {"https:///path", HTTP_ERR_CONNECT, "", "No message.", u"HttpConnect:open"},
        // Redirects are followed only to http and https, and not for ever.
        {url("/redirect?to=file:///etc/passwd"), HTTP_ERR_STATUS, "", "HTTP STATUS = 302",
         u"HttpConnect:request"},
        {url("/redirect?to=ftp://127.0.0.1/x"), HTTP_ERR_STATUS, "", "HTTP STATUS = 302",
         u"HttpConnect:request"},
        {url("/loop"), HTTP_ERR_STATUS, "", "HTTP STATUS = 302", u"HttpConnect:request"},
    };
    for (const auto& [target, code, reply, error, place] : rows) {
        Result r = post(target, "body");
        EXPECT_EQ(r.code, code) << target;
        EXPECT_EQ(r.reply, reply) << target;
        EXPECT_EQ(r.error, error) << target;

        QuarnelHttp http;
        http.httpSet(wide(target).c_str(), nullptr, nullptr);
        EXPECT_FALSE(http.commandMode) << "\"DEBUG://\" is no command";
        Result s = send(http, wide(target), "body", 1);
        EXPECT_EQ(s.code, *place ? -20 : 0) << target;
        EXPECT_EQ(s.reply, reply) << target;
        EXPECT_EQ(s.place, place) << target;
        EXPECT_EQ(s.error, *place == 0 || s.place == u"HttpConnect:response" ? "" : error);
    }
}

TEST_F(Exchange, post_sendsBodyAndHeadersReadsALargeReplyWholeAndFollowsRedirects) {
    const std::string body = std::string("<Q>\0\xFF", 5) + std::string(3 << 20, 'b');
    Result r = post(url("/echo/sign?x=1"), body, "X-One: 1\r\nX-Two: two\r\n");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.reply.rfind("POST /echo/sign?x=1\n", 0), 0u) << r.reply.substr(0, 200);
    const std::string head = r.reply.substr(0, r.reply.find("\n\n") + 2);
    EXPECT_TRUE(has(head, "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Win32)\n")) << head;
    EXPECT_TRUE(has(head, "X-One: 1\nX-Two: two\n")) << head;
    EXPECT_TRUE(has(head, "Content-Length: " + std::to_string(body.size()) + "\n")) << head;
    EXPECT_FALSE(has(head, "Expect")) << head;
    EXPECT_FALSE(has(head, "Content-Type")) << "none unless the caller sends one";
    EXPECT_TRUE(r.reply.substr(head.size()) == body) << "the body, every byte";

    HttpCurl http;  // no body: the library's default request
    ASSERT_EQ(http.open(url("/echo/empty")), 0);
    ByteBuffer reply;
    ASSERT_EQ(http.request(nullptr, 0, reply, ""), 0) << http.errorMessage();
    EXPECT_EQ(textOf(reply).rfind("GET /echo/empty\n", 0), 0u);

    r = post(url("/redirect?to=/echo/moved"), "x");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.reply.rfind("GET /echo/moved\n", 0), 0u) << "a 302 to a POST is followed by a GET";
}

TEST_F(Exchange, credentials_comeFromTheTwoVariables) {
    // User name, password, path, result, the start of the reply.
    const std::tuple<const char*, std::string, const char*, int, const char*> rows[] = {
        {"signer", "p:w d", "/auth", 0, "welcome signer"},
        {"signer", "wrong", "/auth", HTTP_ERR_STATUS, ""},
        // Empty values set nothing; a value of 1024 characters counts as absent.
        {"", std::string(1024, 'p'), "/echo", 0, "POST /echo\n"},
    };
    for (const auto& [user, password, path, code, reply] : rows) {
        ScopedEnv u("MV_PROXY_USERNAME", user);
        ScopedEnv p("MV_PROXY_PASSWORD", password);
        Result r = post(url(path), "x");
        EXPECT_EQ(r.code, code) << password;
        EXPECT_EQ(r.reply.rfind(reply, 0), 0u) << r.reply;
        EXPECT_FALSE(has(r.reply, "Authorization")) << r.reply;
    }
}

TEST_F(Exchange, unusableTargetsAndRequests_failWithTheirCodes) {
    const unsigned char x = 'x';
    ByteBuffer reply;
    HttpCurl http;
    EXPECT_EQ(http.request(&x, 1, reply, ""), HTTP_ERR_NOT_OPEN);
    EXPECT_STREQ(http.errorMessage(), "No message.");
    // A later open replaces the earlier target; close forgets it.
    ASSERT_EQ(http.open(url("/status/500")), 0);
    ASSERT_EQ(http.open(url("/echo/second")), 0);
    EXPECT_EQ(http.request(nullptr, 5, reply, ""), HTTP_ERR_OPEN_REQUEST) << "no body bytes";
    EXPECT_EQ(http.request(&x, -1, reply, ""), HTTP_ERR_OPEN_REQUEST);
    ASSERT_EQ(http.request(&x, 1, reply, ""), 0);
    EXPECT_EQ(textOf(reply).rfind("POST /echo/second\n", 0), 0u);
    http.close();
    EXPECT_EQ(http.request(&x, 1, reply, ""), HTTP_ERR_NOT_OPEN);
}

TEST_F(Exchange, sendFailures_carryTheLibraryText) {
    test::HttpTestServer gone;  // a port that was just free
    ScratchDir dir;
    ASSERT_TRUE(gone.start({"--log", dir.file("log")}));
    gone.stop();
    Result r = post(gone.url() + "/echo", "x");
    EXPECT_EQ(r.code, HTTP_ERR_SEND);
    EXPECT_TRUE(has(r.error, "onnect")) << r.error;
    // A host text that would smuggle in user information.
    r = post("http://user@127.0.0.1:" + std::to_string(server().port()) + "/echo", "x");
    EXPECT_EQ(r.code, HTTP_ERR_SEND);
    EXPECT_NE(r.error, "No message.");
}

TEST_F(Exchange, transportLock_serialisesThreadsAndLetsTheOwnerIn) {
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

// HTTPS against a server whose certificate a test authority issued: only an authority named
// through SSL_CERT_FILE makes it trusted, and an untrusted peer never sees a request.
TEST_F(Exchange, https_verifiesThePeerAgainstTheNamedTrustStore) {
    ScratchDir dir;
    const std::string make =
        "/bin/sh " QUARNEL_TEST_SUPPORT_DIR "/make-test-ca.sh " + dir.path().string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    test::HttpTestServer tls;
    ASSERT_TRUE(tls.start({"--log", dir.file("requests.log"), "--cert", dir.file("server.pem"),
                           "--key", dir.file("server.key")}));
    std::filesystem::create_directory(dir.path() / "empty");
    using Store = std::optional<std::string>;
    const std::tuple<const char*, Store, Store, int> rows[] = {
        {"another authority only", dir.file("other-ca.pem"), dir.file("empty"), HTTP_ERR_SEND},
        {"the system store", std::nullopt, std::nullopt, HTTP_ERR_SEND},
        {"the test authority", dir.file("ca.pem"), std::nullopt, 0},
    };
    for (const auto& [why, file, path, code] : rows) {
        ScopedEnv f("SSL_CERT_FILE", file);
        ScopedEnv p("SSL_CERT_DIR", path);
        Result r = post(tls.url("https") + "/echo/tls", "signed");
        EXPECT_EQ(r.code, code) << why << ": " << r.error;
        if (code != 0) {
            EXPECT_TRUE(has(r.error, "certificate")) << r.error;
            EXPECT_EQ(r.reply, "");
        }
    }
    EXPECT_EQ(test::readText(dir.file("requests.log")), "POST /echo/tls\n");
}

TEST(QuarnelHttpSet, addresses_setModeUrlAndSid) {
    // URL and sid given, command mode, URL and sid kept.
    const std::tuple<const char16_t*, const char16_t*, bool, std::u16string, std::u16string>
        rows[] = {
            {u"https://srv/base", u"S1", false, u"https://srv/base", u"S1"},
            {u"debug://helper -x ", u"S2", true, u"helper -x ", u"S2"},
            {u"debug://", nullptr, true, u"", u""},
            {u"DEBUG://helper", u"", false, u"DEBUG://helper", u""},
            {u"Debug://helper", nullptr, false, u"Debug://helper", u""},
            {nullptr, u"only-sid", false, u"", u"only-sid"},
            {u"", u"s", false, u"", u"s"},
        };
    for (const auto& [url, sid, commandMode, storedUrl, storedSid] : rows) {
        QuarnelHttp http;
        http.httpSet(u"debug://earlier", u"earlier", u"earlier");
        EXPECT_EQ(http.httpSet(url, sid, nullptr), 0);
        EXPECT_EQ(http.commandMode, commandMode) << http.url.size();
        EXPECT_EQ(http.url, storedUrl);
        EXPECT_EQ(http.sid, storedSid);
        EXPECT_EQ(http.option3, u"") << "replaced with the rest of the state";
    }
}

TEST(QuarnelHttpSend, missingParts_areRefusedBeforeAnyTransport) {
    // Why, base, path, body missing, size, absolute.
    const std::tuple<const char*, const char16_t*, const char16_t*, bool, int, int> rows[] = {
        {"null path", u"http://127.0.0.1:1", nullptr, false, 1, 0},
        {"empty path", u"http://127.0.0.1:1", u"", false, 1, 1},
        {"null body", u"http://127.0.0.1:1", u"/x", true, 1, 0},
        {"zero size", u"http://127.0.0.1:1", u"/x", false, 0, 0},
        {"negative size", u"http://127.0.0.1:1", u"/x", false, -1, 1},
        {"relative without base", nullptr, u"/x", false, 1, 0},
        {"only the lowest bit counts", nullptr, u"/x", false, 1, 2},
        {"zero size in command mode", u"debug://cat", u" -", false, 0, 0},
        {"relative with empty command", u"debug://", u"cat", false, 1, 0},
    };
    const unsigned char body[] = {'x'};
    for (const auto& [why, base, urlOrPath, noBody, size, absolute] : rows) {
        QuarnelHttp http;
        http.httpSet(base, u"sid", nullptr);
        http.httpError = "stale";
        ByteBuffer reply;
        std::u16string place;
        EXPECT_EQ(http.httpSend(urlOrPath, nullptr, noBody ? nullptr : body, size, absolute, reply,
                                place),
                  -10)
            << why;
        EXPECT_EQ(place, u"httpSend") << why;
        EXPECT_EQ(http.httpError, "") << why;
    }
}

TEST_F(Exchange, quarnelHttp_joinsBaseAndPathAsTheyAreOrSendsAbsolute) {
    QuarnelHttp http;
    http.httpSet(wide(url("/echo/base")).c_str(), u"sid", nullptr);
    const std::pair<const char16_t*, const char*> joins[] = {
        {u"/cert", "POST /echo/base/cert\n"},
        {u"cert", "POST /echo/basecert\n"},
        {u"?q=1", "POST /echo/base?q=1\n"},
        {u"/a b?q=c d", "POST /echo/base/a%20b?q=c%20d\n"}};
    for (auto [path, requestLine] : joins) {
        Result s = send(http, path, "request");
        ASSERT_EQ(s.code, 0) << s.error;
        EXPECT_EQ(s.reply.rfind(requestLine, 0), 0u) << s.reply;
        EXPECT_EQ(s.reply.substr(s.reply.size() - 7), "request");
    }
    http.httpSet(u"http://127.0.0.1:1/unused", nullptr, nullptr);
    Result s =
        send(http, wide(url("/echo/abs")), "b", 1, u"Content-Type: application/xml\r\nX-P: 1");
    ASSERT_EQ(s.code, 0) << s.error;
    EXPECT_EQ(s.reply.rfind("POST /echo/abs\n", 0), 0u);
    EXPECT_TRUE(has(s.reply, "Content-Type: application/xml\nX-P: 1\n")) << s.reply;
}

// The command exchange, with real programs in the place of the server. The command line is never
// given to a shell, and no child can block the exchange, whatever it does with its pipes.
TEST(QuarnelHttpCommand, children_answerOnTheirOutputOrGivePlaces) {
    const std::string large(1 << 20, 'i');
    std::string counting;
    for (int i = 0; counting.size() < (3u << 20); ++i) {
        counting += std::to_string(i) + ",";
    }
    // 1023 characters of command line still run; one more is refused.
    const std::u16string longBase = u"debug://sh -c \"printf ok\" ";
    const std::u16string longPath(QuarnelHttp::MAX_COMMAND_LINE - (longBase.size() - 8), u'x');
    // Why, base, path, absolute, input, reply, place of a failure.
    const std::tuple<const char*, std::u16string, std::u16string, int, std::string, std::string,
                     const char16_t*>
        rows[] = {
            {"echo of the input", u"debug://cat", u" -", 0, "<QrnRequest/>", "<QrnRequest/>", u""},
            {"no output", u"debug://true", u" -cert", 0, "request", "", u""},
            {"a base ending in a blank", u"debug://printf [%s] ", u"-cert", 0, "x", "[-cert]", u""},
            {"a base run together with the path", u"debug://printf [%s]", u"-cert", 0, "x",
             "[]-cert", u""},
            {"empty base, absolute send", u"debug://", u"printf \"%s|\" \"a b\" c\\\"d", 1, "x",
             "a b|c\"d|", u""},
            {"shell syntax is only arguments", u"debug://printf [%s] ;touch /no/a $(touch /no/b)",
             u" |touch x", 0, "x", "[;touch][/no/a][$(touch][/no/b)][|touch][x]", u""},
            {"standard error joins the output", u"debug://sh -c \"echo oops >&2\"", u" -", 0, "x",
             "oops\n", u""},
            {"never reads its large input", u"debug://printf done", u" ", 0, large, "done", u""},
            {"stops reading its input", u"debug://", u"head -c 3", 1, large, "iii", u""},
            {"a grandchild keeps the output open", u"debug://sh -c \"sleep 5 & echo quick\"", u" ",
             0, "x", "quick\n", u""},
            {"the first 10240 bytes, in order", u"debug://cat", u" -", 0, counting,
             counting.substr(0, 10240), u""},
            {"floods its output, ignores its input", u"debug://head -c 5000000 /dev/zero", u" ", 0,
             std::string(2 << 20, 'x'), std::string(10240, '\0'), u""},
            {"no such program", u"debug://", u"no-such-program-qrn", 1, "x", "",
             u"HttpConnect:WaitForSingleObject"},
            {"a blank command line runs nothing", u"debug://", u"   ", 1, "x", "",
             u"HttpConnect:WaitForSingleObject"},
            {"1023 characters", longBase, longPath, 0, "x", "ok", u""},
            {"1024 characters", longBase, longPath + u'x', 0, "x", "", u"HttpConnect:CommandLine"},
        };
    for (const auto& [why, base, path, absolute, input, reply, place] : rows) {
        QuarnelHttp http;
        http.httpSet(base.c_str(), u"sid", nullptr);
        ASSERT_TRUE(http.commandMode);
        Result s = send(http, path, input, absolute);
        EXPECT_EQ(s.code, *place ? -20 : 0) << why;
        EXPECT_TRUE(s.reply == reply) << why << ": " << s.reply.substr(0, 100);
        EXPECT_EQ(s.place, place) << why;
        EXPECT_EQ(s.error, "") << why;
    }
}

}  // namespace
}  // namespace mv
