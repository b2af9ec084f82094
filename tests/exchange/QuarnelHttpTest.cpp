#include "exchange/QuarnelHttp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/HttpTestServer.h"

namespace mv {
namespace {

using test::bytesOf;
using test::ScopedEnv;
using test::ScratchDir;
using test::textOf;

struct Sent {
    int code;
    std::string reply;
    std::u16string place;
    std::string error;
};

Sent send(QuarnelHttp& http, const char16_t* urlOrPath, const std::string& body, int absolute,
          const char16_t* headers = nullptr) {
    ByteBuffer reply;
    std::u16string place;
    ByteBuffer bytes = bytesOf(body);
    int code = http.httpSend(urlOrPath, headers, bytes.data(), static_cast<int>(bytes.size()),
                             absolute, reply, place);
    return {code, textOf(reply), place, http.httpError};
}

std::u16string wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

TEST(QuarnelHttpSet, addresses_setModeUrlAndSid) {
    struct Row {
        const char16_t* url;
        const char16_t* sid;
        bool commandMode;
        const char16_t* storedUrl;
        const char16_t* storedSid;
    };
    const Row rows[] = {
        {u"https://srv/base", u"S1", false, u"https://srv/base", u"S1"},
        {u"debug://helper -x ", u"S2", true, u"helper -x ", u"S2"},
        {u"debug://", nullptr, true, u"", u""},
        {u"DEBUG://helper", u"", false, u"DEBUG://helper", u""},
        {u"Debug://helper", nullptr, false, u"Debug://helper", u""},
        {nullptr, u"only-sid", false, u"", u"only-sid"},
        {u"", u"s", false, u"", u"s"},
    };
    for (const Row& row : rows) {
        QuarnelHttp http;
        http.httpSet(u"debug://earlier", u"earlier", u"earlier");
        EXPECT_EQ(http.httpSet(row.url, row.sid, nullptr), 0);
        EXPECT_EQ(http.commandMode, row.commandMode) << http.url.size();
        EXPECT_EQ(http.url, row.storedUrl);
        EXPECT_EQ(http.sid, row.storedSid);
        EXPECT_EQ(http.option3, u"") << "replaced with the rest of the state";
    }
}

TEST(QuarnelHttpSend, missingParts_areRefusedBeforeAnyTransport) {
    struct Row {
        const char* why;
        const char16_t* base;
        const char16_t* urlOrPath;
        bool nullBody;
        int size;
        int absolute;
    };
    const Row rows[] = {
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
    for (const Row& row : rows) {
        QuarnelHttp http;
        http.httpSet(row.base, u"sid", nullptr);
        http.httpError = "stale";
        ByteBuffer reply;
        std::u16string place;
        EXPECT_EQ(http.httpSend(row.urlOrPath, nullptr, row.nullBody ? nullptr : body, row.size,
                                row.absolute, reply, place),
                  -10)
            << row.why;
        EXPECT_EQ(place, u"httpSend") << row.why;
        EXPECT_EQ(http.httpError, "") << row.why;
    }
}

class QuarnelHttpExchange : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new ScratchDir;
        server = new test::HttpTestServer;
        ASSERT_TRUE(server->start({"--log", dir->file("requests.log")}));
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
    }
    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
    static ScratchDir* dir;
    static test::HttpTestServer* server;
};
ScratchDir* QuarnelHttpExchange::dir = nullptr;
test::HttpTestServer* QuarnelHttpExchange::server = nullptr;

TEST_F(QuarnelHttpExchange, relativeSends_joinBaseAndPathAsTheyAre) {
    QuarnelHttp http;
    http.httpSet(wide(server->url() + "/echo/base").c_str(), u"sid", nullptr);
    struct Row {
        const char16_t* path;
        const char* requestLine;
    };
    for (const Row& row :
         {Row{u"/cert", "POST /echo/base/cert\n"}, Row{u"cert", "POST /echo/basecert\n"},
          Row{u"?q=1", "POST /echo/base?q=1\n"}}) {
        Sent s = send(http, row.path, "request", 0);
        ASSERT_EQ(s.code, 0) << s.error;
        EXPECT_EQ(s.reply.rfind(row.requestLine, 0), 0u) << s.reply;
        EXPECT_EQ(s.reply.substr(s.reply.size() - 7), "request");
    }
}

TEST_F(QuarnelHttpExchange, absoluteSend_ignoresTheBaseAndPassesHeaders) {
    QuarnelHttp http;
    http.httpSet(u"http://127.0.0.1:1/unused", nullptr, nullptr);
    Sent s = send(http, wide(server->url() + "/echo/abs").c_str(), "b", 1,
                  u"Content-Type: application/xml\r\nX-Page: 1");
    ASSERT_EQ(s.code, 0) << s.error;
    EXPECT_EQ(s.reply.rfind("POST /echo/abs\n", 0), 0u);
    EXPECT_NE(s.reply.find("Content-Type: application/xml\n"), std::string::npos);
    EXPECT_NE(s.reply.find("X-Page: 1\n"), std::string::npos);
}

TEST_F(QuarnelHttpExchange, failures_givePlacesAndTransportTexts) {
    struct Row {
        std::string target;
        const char16_t* place;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"ftp://127.0.0.1/x", u"HttpConnect:open", "No message."},
        {"DEBUG://cat", u"HttpConnect:open", "No message."},
        {server->url() + "/nocontent", u"HttpConnect:request", "HTTP STATUS = 204"},
        {server->url() + "/zero", u"HttpConnect:request", "No message."},
        {server->url() + "/short", u"HttpConnect:request", "No message."},
        {server->url() + "/close-empty", u"HttpConnect:response", ""},
    };
    for (const Row& row : rows) {
        QuarnelHttp http;
        http.httpSet(wide(row.target).c_str(), nullptr, nullptr);
        EXPECT_FALSE(http.commandMode);
        Sent s = send(http, u"?", "x", 0);
        EXPECT_EQ(s.code, -20) << row.target;
        EXPECT_EQ(s.place, row.place) << row.target;
        EXPECT_EQ(s.error, row.error) << row.target;
        EXPECT_EQ(s.reply, "");
    }
}

TEST_F(QuarnelHttpExchange, refusedConnection_keepsTheLibraryText) {
    QuarnelHttp http;
    http.httpSet(u"http://127.0.0.1:1", nullptr, nullptr);
    Sent s = send(http, u"/x", "x", 0);
    EXPECT_EQ(s.code, -20);
    EXPECT_EQ(s.place, u"HttpConnect:request");
    EXPECT_NE(s.error.find("Couldn't connect"), std::string::npos) << s.error;
}

// The command exchange, with real programs in the place of the server.
TEST(QuarnelHttpCommand, children_answerOnTheirOutput) {
    struct Row {
        const char* why;
        const char16_t* base;
        const char16_t* path;
        int absolute;
        std::string body;
        std::string reply;
    };
    const std::string large(1 << 20, 'i');
    const std::vector<Row> rows = {
        {"echo of the input", u"debug://cat", u" -", 0, "<QrnRequest/>", "<QrnRequest/>"},
        {"no output", u"debug://true", u" -cert", 0, "request", ""},
        {"a base ending in a blank", u"debug://printf [%s] ", u"-cert", 0, "x", "[-cert]"},
        {"a base run together with the path", u"debug://printf [%s]", u"-cert", 0, "x", "[]-cert"},
        {"empty base, absolute send", u"debug://", u"printf \"%s|\" \"a b\" c\\\"d", 1, "x",
         "a b|c\"d|"},
        {"standard error joins the output", u"debug://sh -c \"echo oops >&2\"", u" -", 0, "x",
         "oops\n"},
        {"never reads its large input", u"debug://printf done", u" ", 0, large, "done"},
        {"stops reading its input", u"debug://", u"head -c 3", 1, large, "iii"},
        {"reads part, answers", u"debug://sh -c \"head -c 5; echo .\"", u" ", 0, large, "iiiii.\n"},
        {"a grandchild keeps the output open", u"debug://sh -c \"sleep 5 & echo quick\"", u" ", 0,
         "x", "quick\n"},
    };
    for (const Row& row : rows) {
        QuarnelHttp http;
        http.httpSet(row.base, u"sid", nullptr);
        ASSERT_TRUE(http.commandMode);
        Sent s = send(http, row.path, row.body, row.absolute);
        EXPECT_EQ(s.code, 0) << row.why;
        EXPECT_EQ(s.reply, row.reply) << row.why;
        EXPECT_EQ(s.place, u"") << row.why;
    }
}

TEST(QuarnelHttpCommand, largeOutput_isCutTo10240BytesWithoutBlocking) {
    QuarnelHttp http;
    http.httpSet(u"debug://head -c 5000000 /dev/zero", nullptr, nullptr);
    // The child writes far more than a pipe holds while it ignores a large input.
    Sent s = send(http, u" ", std::string(2 << 20, 'x'), 0);
    EXPECT_EQ(s.code, 0);
    EXPECT_EQ(s.reply, std::string(10240, '\0'));

    http.httpSet(u"debug://cat", nullptr, nullptr);
    std::string body;
    for (int i = 0; body.size() < (3u << 20); ++i) {
        body += std::to_string(i) + ",";
    }
    s = send(http, u" -", body, 0);
    EXPECT_EQ(s.code, 0);
    EXPECT_EQ(s.reply, body.substr(0, 10240)) << "the first bytes, in order";
}

TEST(QuarnelHttpCommand, failures_givePlaces) {
    QuarnelHttp http;
    http.httpSet(u"debug://", nullptr, nullptr);
    Sent s = send(http, u"no-such-program-qrn", "x", 1);
    EXPECT_EQ(s.code, -20);
    EXPECT_EQ(s.place, u"HttpConnect:WaitForSingleObject");
    EXPECT_EQ(s.error, "");

    s = send(http, u"   ", "x", 1);
    EXPECT_EQ(s.place, u"HttpConnect:WaitForSingleObject") << "a blank command line runs nothing";

    // 1023 characters still run; one more is refused.
    std::u16string base = u"debug://sh -c \"printf ok\" ";
    http.httpSet(base.c_str(), nullptr, nullptr);
    std::u16string path(QuarnelHttp::MAX_COMMAND_LINE - (base.size() - 8), u'x');
    s = send(http, path.c_str(), "x", 0);
    EXPECT_EQ(s.code, 0);
    EXPECT_EQ(s.reply, "ok");
    path += u'x';
    s = send(http, path.c_str(), "x", 0);
    EXPECT_EQ(s.code, -20);
    EXPECT_EQ(s.place, u"HttpConnect:CommandLine");
    EXPECT_EQ(s.reply, "");
}

TEST(QuarnelHttpCommand, httpMode_isNeverAShell) {
    ScratchDir dir;
    const std::string marker = dir.file("ran");
    QuarnelHttp http;
    // Shell syntax is no more than arguments to the program named first.
    http.httpSet(wide("debug://printf [%s] ;touch " + marker + " $(touch " + marker + ")").c_str(),
                 nullptr, nullptr);
    Sent s = send(http, u" |touch x", "x", 0);
    EXPECT_EQ(s.code, 0);
    EXPECT_EQ(s.reply, "[;touch][" + marker + "][$(touch][" + marker + ")][|touch][x]");
    EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace mv
