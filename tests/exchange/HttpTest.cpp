// URL splitting, the HTTP(S) transport and the server exchange, against a real HTTP server on
// 127.0.0.1 and real child programs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "exchange/HttpCurl.h"
#include "exchange/QuarnelHttp.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

using test::ScopedEnv;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(SplitUrl, table) {
    // host|path|port, each "h", "p", "n" before: a part the URL does not have is left untouched,
    // and a bad URL leaves all three.
    const std::tuple<const char*, int, std::string> rows[] = {
        {"https://sign.example:8443/sign/x", 1, "sign.example|/sign/x|8443"},
        {"http://host/a/b?q=1:2", 0, "host|/a/b?q=1:2|n"},
        {"hTtPs://Host:", 1, "Host|p|"},
        {"host.example/path", 0, "host.example|/path|n"},
        {"https://", 1, "|p|n"},
        {"http://h:80:90/p", 0, "h|/p|80:90"},
        {"debug://cat", -1, "h|p|n"},
        {"host:8080/x", -1, "h|p|n"},
        {"https:/host", -1, "h|p|n"},
    };
    for (const auto& [url, result, parts] : rows) {
        std::string host = "h", path = "p", port = "n";
        EXPECT_EQ(splitUrl(url, host, path, port), result) << url;
        EXPECT_EQ(host + "|" + path + "|" + port, parts) << url;
    }
}

// One send, as the signer makes it, through an exchange object that ran a command before and
// kept an error text: setting the address replaces all of that. What it gives, as
// "<result> <place of a failure>: <error text>|<reply>".
std::string send(const char16_t* address, const char16_t* urlOrPath, const void* body, int size,
                 int absolute, const char16_t* headers = nullptr) {
    QuarnelHttp http;
    http.httpSet(u"debug://cat", u"earlier", u"earlier");
    http.httpSet(address, nullptr, nullptr);
    http.httpError = "stale";
    ByteBuffer reply;
    std::u16string place;
    int code = http.httpSend(urlOrPath, headers, static_cast<const unsigned char*>(body), size,
                             absolute, reply, place);
    return std::to_string(code) + " " + std::string(place.begin(), place.end()) + ": " +
           http.httpError + "|" + test::textOf(reply);
}

// Without a base the address is absolute.
std::string send(const std::string& urlOrPath, const std::string& body,
                 const std::string& base = "", const char16_t* headers = nullptr) {
    const std::u16string path(urlOrPath.begin(), urlOrPath.end()), url(base.begin(), base.end());
    return send(base.empty() ? path.c_str() : url.c_str(), path.c_str(), body.data(),
                static_cast<int>(body.size()), base.empty(), headers);
}

// One server per test program. Proxies from the environment must not take loopback requests
// elsewhere, and no server credentials are set unless a test sets them.
class Exchange : public ::testing::Test {
protected:
    static std::string url(const std::string& path, bool ftp = false) {
        static test::HttpTestServer server;
        static bool started = server.start({"--log", requestLog()});
        EXPECT_TRUE(started);
        return (ftp ? server.ftpUrl() : server.url()) + path;
    }
    // The requests that reached that server, one line each.
    static std::string requestLog() {
        static test::ScratchDir dir;
        return dir.file("requests.log");
    }
    // The path at which the server gives `answer` as its whole answer.
    static std::string raw(const std::string& answer) {
        return url("/raw/" + test::base64Of(answer));
    }

    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    ScopedEnv user{"MV_PROXY_USERNAME", std::nullopt};
    ScopedEnv password{"MV_PROXY_PASSWORD", std::nullopt};
};

// The environment of one row beyond the fixture's: each name with its value, or unset.
using Environment = std::vector<std::pair<const char*, std::optional<std::string>>>;

// Sets `environment` for as long as the result lives.
std::vector<std::unique_ptr<ScopedEnv>> applied(const Environment& environment) {
    std::vector<std::unique_ptr<ScopedEnv>> set;
    for (const auto& [name, value] : environment) {
        set.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    return set;
}

// A proxy on 127.0.0.1 that asks for `credentials` ("user:password"), from the test server's
// --proxy; false when it could not be started.
bool startProxy(test::HttpTestServer& proxy, const test::ScratchDir& dir,
                const std::string& credentials) {
    return proxy.start({"--log", dir.file("proxy.log"), "--proxy", test::base64Of(credentials)});
}

// The environment that sends requests for 127.0.0.1 through `proxy`, named by `variable` alone.
Environment through(const std::string& proxy, const char* variable = "http_proxy") {
    Environment environment;
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"}) {
        environment.emplace_back(name, std::nullopt);
    }
    environment.emplace_back(variable, proxy);
    return environment;
}

// URL-safe Base64, for the test server's answers that take more than one part in their path.
std::string urlBase64Of(const std::string& text) {
    std::string encoded = test::base64Of(text);
    for (char& c : encoded) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return encoded;
}

// A long text as a failure shows it: its start and its size.
std::string shown(const std::string& text) {
    return text.size() <= 300 ? text
                              : text.substr(0, 300) + "... (" + std::to_string(text.size()) + ")";
}

// Each answer a server may give, with the place of a failure and the transport's text. Each ends
// within seconds, whatever the server goes on sending (the limits are a minute and more).
TEST_F(Exchange, answers_giveRepliesTextsAndPlaces) {
    const std::string ok = "HTTP/1.1 200 OK\r\n", failed = "-20 HttpConnect:request: ";
    const std::string found = "HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: ";
    std::string eleven = url("/echo/end");  // redirects, one more than are followed
    // The same, the last of them sending its body without end.
    std::string elevenEndless = url("/endless/302/" + test::base64Of(url("/echo/end")));
    for (int i = 0; i < 11; ++i) {
        eleven = raw(found + eleven + "\r\n\r\n");
        elevenEndless = i < 10 ? raw(found + elevenEndless + "\r\n\r\n") : elevenEndless;
    }
    const std::string fullSize(16u << 20, 'a');
    // The head, a piece that many times (0: without end) and a tail, as the server's answer.
    auto repeated = [](const std::string& head, const std::string& piece, int count,
                       const std::string& tail) {
        return url("/repeat/" + std::to_string(count) + "/" + urlBase64Of(head) + "/" +
                   urlBase64Of(piece) + "/" + urlBase64Of(tail));
    };
    const std::string twoBytes = ok + "Content-Length: 2\r\n\r\nok";
    const std::pair<std::string, std::string> rows[] = {
        {url("/size/100"), "0 : |" + std::string(100, 'a')},  // chunked: no length announced
        // Informational answers come before the answer.
        {raw("HTTP/1.1 100 Continue\r\n\r\n" + twoBytes), "0 : |ok"},
        {raw("HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" + twoBytes),
         "0 : |ok"},
        {raw(ok + "Connection: close\r\n\r\n"), "-20 HttpConnect:response: |"},
        {raw(ok + "Content-Length: 100\r\n\r\n0123456789"), failed + "No message.|"},
        // An answer of 16 MiB is kept whole; none above it, announced or not, nor the bodies of
        // the redirects before it counted together.
        {url("/length/16777216"), "0 : |" + fullSize},
        {url("/size/16777216"), "0 : |" + fullSize},
        {raw(ok + "Content-Length: 16777217\r\n\r\n"), failed + "Maximum file size exceeded|"},
        {url("/size/16777217"), failed + "Failure writing output to destination|"},
        {url("/size/16777217/302"), failed + "Callback aborted|"},
        {url("/chain/4/8388608"), failed + "Callback aborted|"},
        {url("/length/1/302/" + test::base64Of("/length/16777216")),
         failed + "Maximum file size exceeded|"},
        // A final status other than 200 is the answer at once, its body unread however it comes.
        {url("/trickle/404/30/10"), failed + "HTTP STATUS = 404|"},  // 3,000 bytes in 30 s
        {url("/endless/404"), failed + "HTTP STATUS = 404|"},
        {url("/length/17825792/404"), failed + "HTTP STATUS = 404|"},
        {url("/size/16777217/404"), failed + "HTTP STATUS = 404|"},
        {raw("HTTP/1.1 500 Oops\r\nContent-Length: 7\r\n\r\nrefused"),
         failed + "HTTP STATUS = 500|"},
        {"DEBUG://cat", "-20 HttpConnect:open: No message.|"},  // no command: the prefix is exact
        {"https:///path", "-20 HttpConnect:open: No message.|"},
        // A host text must not smuggle in user information.
        {"http://user@" + url("/echo").substr(7),
         failed + "URL using bad/illegal format or missing URL|"},
        // Redirects are followed only to http and https, and not for ever.
        {raw(found + url("/x", true) + "\r\n\r\n"), failed + "HTTP STATUS = 302|"},
        {eleven, failed + "HTTP STATUS = 302|"},
        // Either redirect is the answer, however long its body, also after one that is followed.
        {url("/endless/302/" + test::base64Of(url("/x", true))), failed + "HTTP STATUS = 302|"},
        {raw(found + url("/endless/302/" + test::base64Of(url("/x", true))) + "\r\n\r\n"),
         failed + "HTTP STATUS = 302|"},
        {elevenEndless, failed + "HTTP STATUS = 302|"},
        // libcurl follows the first Location; a header line is no status line, whatever it
        // begins with.
        {raw(found + "/length/2\r\nLocation: " + url("/x", true) + "\r\n\r\n"), "0 : |aa"},
        {raw(found + "/length/2\r\nHTTP/2-Settings: x\r\n\r\n"), "0 : |aa"},
        {raw(found + "\r\nLocation: /length/2\r\n\r\n"), "0 : |aa"},  // an empty one first
        // Where libcurl itself ends the exchange, its words say why, not the status of a
        // response it went past.
        {repeated("", "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload; as=style\r\n\r\n",
                  8000, twoBytes),
         failed + "Too large response headers: 307221 > 307200|"},
        {repeated(ok, "X-Filler: " + std::string(40, 'f') + "\r\n", 0, ""),
         failed + "Too large response headers: 307233 > 307200|"},
        {repeated(ok + "X-Long: ", "l", 200000, "\r\nContent-Length: 2\r\n\r\nok"),
         failed + "Out of memory|"},
        {raw(found + raw("") + "\r\n\r\n"), failed + "Empty reply from server|"},
    };
    for (const auto& [target, outcome] : rows) {
        const auto start = std::chrono::steady_clock::now();
        const std::string got = send(target, "body");
        EXPECT_TRUE(got == outcome)
            << target << "\n got: " << shown(got) << "\nwant: " << shown(outcome);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << target;
    }
}

// The request as the server gets it: the path joined to the base as it is (blanks escaped), the
// caller's headers and none that libcurl would add, every byte of a large binary body.
TEST_F(Exchange, post_sendsBodyAndHeadersAsGivenAndFollowsRedirects) {
    const std::string body = std::string("<Q>\0\xFF", 5) + std::string(3 << 20, 'b');
    std::string r = send("/a b?q=c d", body, url("/echo/base"), u"X-One: 1\r\nX-Two: two\r\n");
    const std::string head = r.substr(0, r.find("\n\n") + 2);
    ASSERT_EQ(head.rfind("0 : |POST /echo/base/a%20b?q=c%20d\n", 0), 0u) << head;
    EXPECT_THAT(head, HasSubstr("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Win32)\n"));
    EXPECT_THAT(head, HasSubstr("X-One: 1\nX-Two: two\n"));
    EXPECT_THAT(head, HasSubstr("Content-Length: " + std::to_string(body.size()) + "\n"));
    EXPECT_THAT(head, Not(ContainsRegex("Expect|Content-Type")));
    EXPECT_TRUE(r.substr(head.size()) == body) << "the body, every byte";
    EXPECT_THAT(send("cert", "x", url("/echo/base")), StartsWith("0 : |POST /echo/basecert\n"));
    r = send(raw("HTTP/1.1 302 Found\r\nLocation: /echo/moved\r\nContent-Length: 0\r\n\r\n"), "x");
    EXPECT_THAT(r, StartsWith("0 : |GET /echo/moved\n"));
}

// An HTTPS server on 127.0.0.1 with the certificate <name>.pem that gencerts.sh made (for a name
// without a key of its own, with ee.key).
bool startTls(test::HttpTestServer& server, const test::ScratchDir& dir, const std::string& name) {
    const std::string certs = test::certDir();  // empty if gencerts.sh failed: no server starts
    const std::string key = certs + (name == "server" ? "/server.key" : "/ee.key");
    return server.start(
        {"--log", dir.file("requests.log"), "--cert", certs + "/" + name + ".pem", "--key", key});
}

// The server's credentials come from the two variables; a value of 1024 characters counts as
// absent, so a server that knows it never sees it. They answer the server's challenge in the
// scheme it names, Basic here, over http as over https, and never go before it asks.
TEST_F(Exchange, credentials_comeFromTheTwoVariablesAndAnswerTheChallenge) {
    test::ScratchDir dir, plainDir, proxyDir;
    test::HttpTestServer tls, plain, proxy;
    ASSERT_TRUE(startTls(tls, dir, "server"));
    ASSERT_TRUE(plain.start({"--log", plainDir.file("requests.log")}));
    ASSERT_TRUE(startProxy(proxy, proxyDir, "pu:p w"));
    ScopedEnv trust("SSL_CERT_FILE", test::certDir() + "/ca.pem");
    const std::string longest(1023, 'p'), refused = "-20 HttpConnect:request: HTTP STATUS = 401|";
    // The server, the password, the environment beyond it, the outcome.
    const std::tuple<std::string, std::string, Environment, std::string> rows[] = {
        {tls.url("https"), "p:w d", {}, "0 : |welcome"},
        {tls.url("https"), longest, {}, "0 : |welcome"},
        {tls.url("https"), longest + "p", {}, refused},
        {plain.url(), "p:w d", {}, "0 : |welcome"},
        {tls.url("https"), "", {}, "0 : |welcome"},  // a user name alone: "signer:"
        // A proxy that asks for the credentials its address names, then the server for its own.
        {plain.url(), "p:w d", through("http://pu:p%20w@" + proxy.url().substr(7)), "0 : |welcome"},
    };
    for (const auto& [base, password, environment, outcome] : rows) {
        ScopedEnv u("MV_PROXY_USERNAME", "signer"), p("MV_PROXY_PASSWORD", password);
        const auto set = applied(environment);
        EXPECT_EQ(send(base + "/auth/" + test::base64Of("signer:" + password), "x"), outcome)
            << base << " " << password.size() << " " << environment.size();
    }
    const std::string path = "POST /auth/" + test::base64Of("signer:p:w d");
    EXPECT_EQ(
        test::readText(plainDir.file("requests.log")),
        path + "\n" + path + " Authorization: Basic " + test::base64Of("signer:p:w d") + "\n");
    // Through the proxy: asked, then with its credentials, then with the server's too.
    const std::string proxied = "POST " + plain.url() + path.substr(5),
                      proxyAnswer = " Proxy-Authorization: Basic " + test::base64Of("pu:p w");
    EXPECT_EQ(test::readText(proxyDir.file("proxy.log")),
              proxied + "\n" + proxied + proxyAnswer + "\n" + proxied + " Authorization: Basic " +
                  test::base64Of("signer:p:w d") + proxyAnswer + "\n");
    // Credentials the server refuses: its second challenge is the answer, however long its body.
    {
        ScopedEnv u("MV_PROXY_USERNAME", "signer"), p("MV_PROXY_PASSWORD", "wrong");
        EXPECT_EQ(send(plain.url() + "/auth/" + test::base64Of("signer:p:w d") + "/endless", "x"),
                  "-20 HttpConnect:request: HTTP STATUS = 401|");
    }
}

// A request ends within its limits however the server moves: one that trickles without ever
// stalling ends at the total limit; one that keeps moving for longer than the connect and stall
// times is an answer. A failure status needs no limit: its trickling body is not waited for, nor
// the body that a challenge announces when nothing here can answer it (the stall limit would
// end that wait, with its own text).
// (Limits of seconds here; the agent's are 60 s, 60 s and 10 minutes.)
TEST_F(Exchange, limits_endATrickleAndLetAMovingAnswerFinish) {
    using std::chrono::seconds;
    test::ScratchDir proxyDir;
    test::HttpTestServer proxy;
    ASSERT_TRUE(startProxy(proxy, proxyDir, "pu:pp"));
    const std::string timedOut =
        "^-1006 Operation timed out after [0-9]+ milliseconds with [0-9]+ bytes received\\|$";
    // A challenge that announces a body and never sends it.
    auto stalled = [](const std::string& status, const std::string& asks,
                      const std::string& scheme = "Basic") {
        return "/stall/" + test::base64Of("HTTP/1.1 " + status + "\r\n" + asks + ": " + scheme +
                                          " realm=\"q\"\r\nContent-Length: 100\r\n\r\n");
    };
    const std::string unauthorized = stalled("401 Unauthorized", "WWW-Authenticate"),
                      proxyAuthenticationRequired =
                          stalled("407 Proxy Authentication Required", "Proxy-Authenticate");
    const std::string refused401 = "^-2005 HTTP STATUS = 401\\|$",
                      refused407 = "^-2005 HTTP STATUS = 407\\|$";
    const seconds none(600), atOnce(5);
    const std::string withCredentials = "http://pu:pp@" + proxy.url().substr(7);
    const Environment serverCredentials = {{"MV_PROXY_USERNAME", "signer"}};
    // The address, the total limit, the environment beyond the fixture's, the outcome, the time
    // it may take at most.
    const std::tuple<std::string, seconds, Environment, std::string, seconds> rows[] = {
        {url("/trickle/200/3"), seconds(30), {}, "^0 No message.\\|a{30}$", seconds(20)},
        {url("/trickle/200/10"), seconds(2), {}, timedOut, seconds(8)},
        {url("/trickle/404/30/10"), none, {}, "^-2005 HTTP STATUS = 404\\|$", atOnce},
        // No server credentials, or a password alone, which libcurl never sends.
        {url(unauthorized), none, {}, refused401, atOnce},
        {url(unauthorized), none, {{"MV_PROXY_PASSWORD", "pp"}}, refused401, atOnce},
        // No proxy, or a proxy whose address names no credentials, also for https (CONNECT).
        {url(proxyAuthenticationRequired), none, {}, refused407, atOnce},
        {url("/stall/x"), none, through(proxy.url()), refused407, atOnce},
        {url("/stall/x"), none, through(proxy.url(), "ALL_PROXY"), refused407, atOnce},
        {"https" + url("/x").substr(4), none, through(proxy.url(), "https_proxy"), refused407,
         atOnce},
        // HTTP_PROXY is no proxy: a server's 407 has no credentials to answer it.
        {url(proxyAuthenticationRequired), none, through(withCredentials, "HTTP_PROXY"), refused407,
         atOnce},
        // Credentials that nothing here can use: a scheme libcurl does not know, a host that a
        // redirect reached (libcurl sends them only where the request started), a proxy that
        // refuses those of its address.
        {url(stalled("401 Unauthorized", "WWW-Authenticate", "Bogus")), none, serverCredentials,
         refused401, atOnce},
        {raw("HTTP/1.1 302 Found\r\nLocation: " + proxy.url() + unauthorized + "\r\n\r\n"), none,
         serverCredentials, refused401, atOnce},
        {url("/echo/x"), none, through("http://pu:wrong@" + proxy.url().substr(7)), refused407,
         atOnce},
    };
    for (const auto& [address, total, environment, outcome, within] : rows) {
        const auto set = applied(environment);
        const auto start = std::chrono::steady_clock::now();
        HttpCurl transport({seconds(1), seconds(1), total});
        ByteBuffer reply;
        const unsigned char body[] = {'x'};
        int code = transport.open(address);
        if (code == 0) {
            code = transport.request(body, 1, reply, "");
        }
        EXPECT_THAT(
            std::to_string(code) + " " + transport.errorMessage() + "|" + test::textOf(reply),
            ContainsRegex(outcome))
            << address;
        EXPECT_LT(std::chrono::steady_clock::now() - start, within) << address;
    }
}

// A peer must be trusted and named: its certificate from an authority named through SSL_CERT_FILE
// and for the host the address names. A peer that fails either check never sees a request.
TEST_F(Exchange, https_verifiesThePeerAgainstTheNamedTrustStoreAndTheHostName) {
    const std::string certs = test::certDir();
    // The server's certificate, the authority trusted, the outcome, the request log.
    const std::tuple<const char*, const char*, std::string, std::string> rows[] = {
        {"server", "other-ca", "^-20 HttpConnect:request: .*certificate.*\\|$", ""},
        {"otherhost", "ca",
         "^-20 HttpConnect:request: SSL: no alternative certificate subject name matches target "
         "host name '127.0.0.1'\\|$",
         ""},
        {"server", "ca", "^0 : \\|POST /echo/tls\n", "POST /echo/tls\n"},
    };
    for (const auto& [name, authority, outcome, requests] : rows) {
        SCOPED_TRACE(std::string(name) + " trusting " + authority);
        test::ScratchDir dir;
        test::HttpTestServer tls;
        ASSERT_TRUE(startTls(tls, dir, name));
        ScopedEnv file("SSL_CERT_FILE", certs + "/" + authority + ".pem");
        EXPECT_THAT(send(tls.url("https") + "/echo/tls", "signed"), ContainsRegex(outcome));
        EXPECT_EQ(test::readText(dir.file("requests.log")), requests);
    }
}

// The request line of an answer from /echo, or the answer itself when it is none.
std::string requestLine(const std::string& answer) {
    return answer.substr(0, answer.find('\n'));
}

// Behind proxies that tunnel CONNECT, as offices have them, every hop of a redirect goes where
// libcurl's own rule sends it, as it does for curl -L in the same environment: the proxy of the
// hop's own scheme (never HTTP_PROXY; an empty variable is none), or none for a host that
// NO_PROXY names; a hop that needs a tunnel of its own gets one, and a proxy's credentials, in
// its address with or without a scheme, answer it on every hop, CONNECT included.
TEST_F(Exchange, proxies_eachHopGoesWhereCurlGoes) {
    test::ScratchDir dir, otherDir, proxyDir, otherProxyDir, askingDir, userDir, passwordDir;
    test::HttpTestServer tls, otherTls, proxy, otherProxy, asking, userOnly, passwordOnly;
    ASSERT_TRUE(startTls(tls, dir, "server"));
    ASSERT_TRUE(startTls(otherTls, otherDir, "server"));
    ASSERT_TRUE(proxy.start({"--log", proxyDir.file("proxy.log"), "--proxy", ""}));
    ASSERT_TRUE(otherProxy.start({"--log", otherProxyDir.file("proxy.log"), "--proxy", ""}));
    ASSERT_TRUE(startProxy(asking, askingDir, "pu:pp"));
    ASSERT_TRUE(startProxy(userOnly, userDir, "pu:"));
    ASSERT_TRUE(startProxy(passwordOnly, passwordDir, ":pp"));
    ScopedEnv trust("SSL_CERT_FILE", test::certDir() + "/ca.pem");
    const std::string p = proxy.url(), other = otherProxy.url(), plainPort = url("").substr(17);
    auto port = [](const test::HttpTestServer& server) { return server.url().substr(17); };
    // A 302 from `server` (its /raw/) to `target`.
    auto redirect = [](const std::string& server, const std::string& target) {
        return server + "/raw/" +
               test::base64Of("HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: " + target +
                              "\r\n\r\n");
    };
    const std::string toTls = redirect(url(""), tls.url("https") + "/echo/a"),
                      toPlain = redirect(tls.url("https"), url("/echo/b")),
                      toOtherTls = redirect(tls.url("https"), otherTls.url("https") + "/echo/c"),
                      toLocalhost = redirect(url(""), "http://localhost:" + plainPort + "/echo/d");
    const std::string relayedToTls = "POST " + toTls + "\n",
                      tunnelToTls = "CONNECT 127.0.0.1:" + port(tls) + "\n";
    const std::string credentials = " Proxy-Authorization: Basic " + test::base64Of("pu:pp"),
                      tunnelWithCredentials = "CONNECT 127.0.0.1:" + port(tls) + credentials + "\n";
    const std::string askingUrl = "http://pu:pp@" + asking.url().substr(7);
    // Why, the environment, the address, the request that arrives, each proxy's log.
    struct Row {
        const char* why;
        Environment environment;
        std::string address, arrives, proxyLog, otherLog, askingLog;
    };
    auto both = [](const std::string& http, const std::string& https, Environment more = {}) {
        Environment environment = through(http);
        environment.emplace_back("https_proxy", https);
        environment.insert(environment.end(), more.begin(), more.end());
        return environment;
    };
    const Row rows[] = {
        {"both schemes through one proxy, http to https", both(p, p), toTls, "GET /echo/a",
         relayedToTls + tunnelToTls},
        {"http_proxy alone: the https hop goes direct", through(p), toTls, "GET /echo/a",
         relayedToTls},
        {"https to http: each hop through its own scheme's proxy", both(other, p), toPlain,
         "GET " + url("/echo/b"), tunnelToTls, "GET " + url("/echo/b") + "\n"},
        {"https to https on another port: a tunnel for each", through(p, "https_proxy"), toOtherTls,
         "GET /echo/c", tunnelToTls + "CONNECT 127.0.0.1:" + port(otherTls) + "\n"},
        {"NO_PROXY names the second hop's host", both(p, p, {{"NO_PROXY", "localhost"}}),
         toLocalhost, "GET /echo/d", "POST " + toLocalhost + "\n"},
        {"a proxy that asks for credentials, on both hops", both(askingUrl, askingUrl), toTls,
         "GET /echo/a", "", "",
         "POST " + toTls + "\nPOST " + toTls + credentials + "\n" + tunnelWithCredentials},
        {"CONNECT answered with credentials", through(askingUrl, "https_proxy"),
         tls.url("https") + "/echo/e", "POST /echo/e", "", "", tunnelToTls + tunnelWithCredentials},
        {"an empty https_proxy is none: HTTPS_PROXY is read",
         both(p, "", {{"HTTPS_PROXY", askingUrl}}), tls.url("https") + "/echo/f", "POST /echo/f",
         "", "", tunnelToTls + tunnelWithCredentials},
        {"HTTP_PROXY is never read", through(p, "HTTP_PROXY"), url("/echo/g"), "POST /echo/g"},
        {"a proxy's address without a scheme",
         through("pu:pp@" + asking.url().substr(7), "https_proxy"), tls.url("https") + "/echo/h",
         "POST /echo/h", "", "", tunnelToTls + tunnelWithCredentials},
        {"a user name alone", through("http://pu@" + userOnly.url().substr(7), "https_proxy"),
         tls.url("https") + "/echo/i", "POST /echo/i"},
        {"a password alone", through("http://:pp@" + passwordOnly.url().substr(7), "https_proxy"),
         tls.url("https") + "/echo/j", "POST /echo/j"},
    };
    const std::vector<std::string> logs = {
        proxyDir.file("proxy.log"), otherProxyDir.file("proxy.log"), askingDir.file("proxy.log")};
    auto taken = [&logs] {
        std::vector<std::string> texts;
        for (const std::string& log : logs) {
            texts.push_back(test::readText(log));
            std::ofstream(log, std::ios::trunc);
        }
        return texts;
    };
    taken();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        const auto set = applied(row.environment);
        const std::string ours = send(row.address, "x");
        const std::vector<std::string> ourHops = taken();
        EXPECT_EQ(requestLine(ours), "0 : |" + row.arrives);
        EXPECT_EQ(ourHops, (std::vector<std::string>{row.proxyLog, row.otherLog, row.askingLog}));
        // curl -L, on the same libcurl, asking the proxy's scheme as the agent does.
        const test::Outcome curl =
            test::launch({"curl", "-sS", "-L", "--proxy-anyauth", "--cacert",
                          test::certDir() + "/ca.pem", "--data", "x", row.address});
        EXPECT_EQ(requestLine(curl.out), row.arrives) << curl.err;
        EXPECT_EQ(taken(), ourHops);
    }
}

TEST(HttpCurl, transportLock_serialisesThreadsAndLetsTheOwnerIn) {
    std::atomic<bool> secondHolds{false};
    std::thread second;
    {
        HttpCurl first, sameThread;  // the owner may take the lock again
        second = std::thread([&] {
            HttpCurl other;
            secondHolds = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(secondHolds) << "another thread waits while a transport lives";
    }
    second.join();
}

TEST(QuarnelHttpSend, missingParts_areRefusedBeforeAnyTransport) {
    const char x[] = {'x'};
    const char16_t* base = u"http://127.0.0.1:1";
    // Why, base, path, body, size, absolute.
    std::tuple<const char*, const char16_t*, const char16_t*, const char*, int, int> rows[] = {
        {"null path", base, nullptr, x, 1, 0},
        {"empty path", base, u"", x, 1, 1},
        {"null body", base, u"/x", nullptr, 1, 0},
        {"zero size", base, u"/x", x, 0, 0},
        {"negative size", base, u"/x", x, -1, 1},
        {"relative without base", nullptr, u"/x", x, 1, 0},
        {"only the lowest bit counts", nullptr, u"/x", x, 1, 2},
    };
    for (const auto& [why, url, path, body, size, absolute] : rows) {
        EXPECT_EQ(send(url, path, body, size, absolute), "-10 httpSend: |") << why;
    }
}

// The command exchange, with real programs in the place of the server. The command line is never
// given to a shell, and no child can block the exchange, whatever it does with its pipes.
TEST(QuarnelHttpCommand, children_answerOnTheirOutputOrGivePlaces) {
    const std::string large = "first" + std::string(3 << 20, 'b');
    // 1023 characters of command line still run; one more is refused.
    const std::string longBase = "debug://sh -c \"printf ok\" ";
    const std::string longPath(QuarnelHttp::MAX_COMMAND_LINE - (longBase.size() - 8), 'x');
    const std::string none = "-20 HttpConnect:WaitForSingleObject: |";
    // Why, base, path, input, outcome.
    const std::tuple<const char*, std::string, std::string, std::string, std::string> rows[] = {
        {"shell syntax is only arguments; no blank joins the path",
         "debug://printf [%s] ;touch /no/a $(touch /no/b)", "|touch x", "x",
         "0 : |[;touch][/no/a][$(touch][/no/b)|touch][x]"},
        {"standard error joins the output", "debug://sh -c \"echo oops >&2\"", " -", "x",
         "0 : |oops\n"},
        {"the exchange ends with the child, not with a grandchild that keeps the output",
         "debug://sh -c \"(sleep 2; echo late) & echo quick\"", " ", "x", "0 : |quick\n"},
        {"the first 10240 bytes", "debug://cat", " -", large, "0 : |" + large.substr(0, 10240)},
        {"no such program", "debug://no-such-program-qrn", " ", "x", none},
        {"a blank command line runs nothing", "debug:// ", "  ", "x", none},
        {"1023 characters", longBase, longPath, "x", "0 : |ok"},
        {"1024 characters", longBase, longPath + "x", "x", "-20 HttpConnect:CommandLine: |"},
    };
    for (const auto& [why, base, path, input, outcome] : rows) {
        EXPECT_EQ(send(path, input, base), outcome) << why;
    }
}

}  // namespace
}  // namespace mv
