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

    // An absolute send through the exchange object, as the signer makes it. The object served a
    // command before: setting the address replaces all of that.
    static Result post(const std::string& target, const std::string& body,
                       const char16_t* headers = nullptr) {
        QuarnelHttp http;
        http.httpSet(u"debug://cat", u"earlier", u"earlier");
        http.httpSet(wide(target).c_str(), nullptr, nullptr);
        return send(http, wide(target), body, 1, headers);
    }

    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    ScopedEnv user{"MV_PROXY_USERNAME", std::nullopt};
    ScopedEnv password{"MV_PROXY_PASSWORD", std::nullopt};
};

// Each answer, with the place of a failure and the transport's text. "DEBUG://" is no command.
TEST_F(Exchange, answers_giveRepliesTextsAndPlaces) {
    const std::tuple<std::string, const char*, const char*, const char16_t*> rows[] = {
        {url("/chunked"), "first piece-second piece", "", u""},
        {url("/close-empty"), "", "", u"HttpConnect:response"},
        {url("/zero"), "", "No message.", u"HttpConnect:request"},
        {url("/short"), "", "No message.", u"HttpConnect:request"},
        // No answer above 16 MiB is kept, announced or not.
        {url("/size/16777217"), "", "Maximum file size exceeded", u"HttpConnect:request"},
        {url("/size/16777217?chunked"), "", "Failure writing output to destination",
         u"HttpConnect:request"},
        {url("/nocontent"), "", "HTTP STATUS = 204", u"HttpConnect:request"},
        {url("/status/500"), "", "HTTP STATUS = 500", u"HttpConnect:request"},
        {"file:///etc/passwd", "", "No message.", u"HttpConnect:open"},
        {"DEBUG://cat", "", "No message.", u"HttpConnect:open"},
        {"https:///path", "", "No message.", u"HttpConnect:open"},
        // Redirects are followed only to http and https, and not for ever.
        {url("/redirect?to=file:///etc/passwd"), "", "HTTP STATUS = 302", u"HttpConnect:request"},
        {url("/loop"), "", "HTTP STATUS = 302", u"HttpConnect:request"},
    };
    for (const auto& [target, reply, error, place] : rows) {
        Result r = post(target, "body");
        EXPECT_EQ(r.code, *place ? -20 : 0) << target;
        EXPECT_EQ(r.reply, reply) << target;
        EXPECT_EQ(r.place, place) << target;
        EXPECT_EQ(r.error, error) << target;
    }
}

TEST_F(Exchange, post_sendsBodyAndHeadersReadsALargeReplyWholeAndFollowsRedirects) {
    const std::string body = std::string("<Q>\0\xFF", 5) + std::string(3 << 20, 'b');
    Result r = post(url("/echo/sign?x=1"), body, u"X-One: 1\r\nX-Two: two\r\n");
    ASSERT_EQ(r.code, 0) << r.error;
    EXPECT_EQ(r.reply.rfind("POST /echo/sign?x=1\n", 0), 0u) << r.reply.substr(0, 200);
    const std::string head = r.reply.substr(0, r.reply.find("\n\n") + 2);
    EXPECT_TRUE(has(head, "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Win32)\n")) << head;
    EXPECT_TRUE(has(head, "X-One: 1\nX-Two: two\n")) << head;
    EXPECT_TRUE(has(head, "Content-Length: " + std::to_string(body.size()) + "\n")) << head;
    EXPECT_FALSE(has(head, "Expect")) << head;
    EXPECT_FALSE(has(head, "Content-Type")) << "none unless the caller sends one";
    EXPECT_TRUE(r.reply.substr(head.size()) == body) << "the body, every byte";
    r = post(url("/redirect?to=/echo/moved"), "x");
    EXPECT_EQ(r.reply.rfind("GET /echo/moved\n", 0), 0u) << r.error;
}

TEST_F(Exchange, credentials_comeFromTheTwoVariables) {
    // User name, password, path, result, the start of the reply.
    const std::tuple<const char*, std::string, const char*, int, const char*> rows[] = {
        {"signer", "p:w d", "/auth", 0, "welcome signer"},
        {"signer", "wrong", "/auth", -20, ""},
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

// A value of 1024 characters counts as absent: a server that knows it never sees it.
TEST_F(Exchange, credentials_ofOneKiBOrMore_areNotSent) {
    for (size_t length : {1023, 1024}) {
        const std::string password(length, 'p');
        ScratchDir dir;
        test::HttpTestServer own;
        ASSERT_TRUE(
            own.start({"--log", dir.file("log"), "--user", "signer", "--password", password}));
        ScopedEnv u("MV_PROXY_USERNAME", "signer"), p("MV_PROXY_PASSWORD", password);
        EXPECT_EQ(post(own.url() + "/auth", "x").code, length < 1024 ? 0 : -20) << length;
    }
}

// A host text must not smuggle in user information.
TEST_F(Exchange, hostWithUserInformation_isASendFailure) {
    Result r = post("http://user@127.0.0.1:" + std::to_string(server().port()) + "/echo", "x");
    EXPECT_EQ(r.place, u"HttpConnect:request");
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
    const std::string certs = test::certDir();
    ASSERT_FALSE(certs.empty()) << "gencerts.sh";
    ScratchDir dir;
    test::HttpTestServer tls;
    ASSERT_TRUE(tls.start({"--log", dir.file("requests.log"), "--cert", certs + "/server.pem",
                           "--key", certs + "/server.key"}));
    std::filesystem::create_directory(dir.path() / "empty");
    using Store = std::optional<std::string>;
    const std::tuple<const char*, Store, Store, int> rows[] = {
        {"another authority only", certs + "/other-ca.pem", dir.file("empty"), -20},
        {"the system store", std::nullopt, std::nullopt, -20},
        {"the test authority", certs + "/ca.pem", std::nullopt, 0},
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
        {u"/a b?q=c d", "POST /echo/base/a%20b?q=c%20d\n"}};
    for (auto [path, requestLine] : joins) {
        Result s = send(http, path, "request");
        ASSERT_EQ(s.code, 0) << s.error;
        EXPECT_EQ(s.reply.rfind(requestLine, 0), 0u) << s.reply;
        EXPECT_EQ(s.reply.substr(s.reply.size() - 7), "request");
    }
    EXPECT_EQ(send(http, wide(url("/echo/abs")), "b", 1).reply.rfind("POST /echo/abs\n", 0), 0u);
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
            {"a base run together with the path", u"debug://printf [%s]", u"-cert", 0, "x",
             "[]-cert", u""},
            {"shell syntax is only arguments", u"debug://printf [%s] ;touch /no/a $(touch /no/b)",
             u" |touch x", 0, "x", "[;touch][/no/a][$(touch][/no/b)][|touch][x]", u""},
            {"standard error joins the output", u"debug://sh -c \"echo oops >&2\"", u" -", 0, "x",
             "oops\n", u""},
            {"never reads its large input", u"debug://printf done", u" ", 0, large, "done", u""},
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
