#include "exchange/QuarnelXml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>

#include "foundation/Text.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

using test::ScopedEnv;
using test::ScratchDir;

constexpr int BUFFER_SIZE = QuarnelXml::REQUEST_BUFFER_SIZE;

// The request document, which must fit with its terminating zero.
std::string build(bool cert, const char16_t* sid, const unsigned char* data, int length) {
    std::vector<unsigned char> buffer(BUFFER_SIZE);
    QuarnelXml xml;
    int n = cert ? xml.createCertRequest(sid, data, length, buffer.data())
                 : xml.createSignRequest(sid, data, length, buffer.data());
    EXPECT_GT(n, 0);
    n = std::max(n, 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(buffer.data())), static_cast<size_t>(n));
    return std::string(buffer.begin(), buffer.begin() + n);
}

const std::regex TIME(R"re(time="(\d{14}Z)")re");

std::string get(const std::string& xml, const std::string& query) {
    std::u16string xmlText = utf8ToWString(xml.data(), xml.size());
    std::u16string queryText = utf8ToWString(query.data(), query.size());
    return toUtf8String(QuarnelXml().xmlGet(xmlText.c_str(), queryText.c_str()).c_str());
}

TEST(QuarnelXmlRequest, documents_table) {
    const unsigned char data[] = {0x30, 0xAB, 0x0F};
    // Certificate or signature request, sid, data, length, the root element from its sid on.
    const std::tuple<bool, const char16_t*, const unsigned char*, int, std::string> rows[] = {
        {true, u"S-1", data, 3, R"(sid="S-1"><cert>30AB0F</cert>)"},
        {false, u"abc", data + 1, 2, R"(sid="abc"><sign>AB0F</sign>)"},
        {false, u"", data, -5, R"(sid=""><sign/>)"},
        {true, nullptr, nullptr, 4, R"(sid=""><cert/>)"},
        {true, u"a\"<b>&'\u65E5\u672C", nullptr, 0,
         "sid=\"a&quot;&lt;b&gt;&amp;'\xE6\x97\xA5\xE6\x9C\xAC\"><cert/>"},
    };
    for (const auto& [cert, sid, bytes, length, rest] : rows) {
        EXPECT_EQ(std::regex_replace(build(cert, sid, bytes, length), TIME, "time=\"T\""),
                  std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") +
                      "<QrnRequest time=\"T\" type=\"QRN_" + (cert ? "CERT" : "SIGN") + "\" " +
                      rest + "</QrnRequest>\n");
    }

    ScopedEnv tz("TZ", "Pacific/Kiritimati");  // UTC+14: a local time would show
    tzset();
    auto utcNow = [] {
        time_t now = time(nullptr);
        char text[32];
        strftime(text, sizeof text, "%Y%m%d%H%M%SZ", gmtime(&now));
        return std::string(text);
    };
    const std::string before = utcNow();
    const std::string doc = build(true, u"s", nullptr, 0);
    std::smatch time;
    ASSERT_TRUE(std::regex_search(doc, time, TIME));
    EXPECT_LE(before, time[1].str()) << "the time is UTC";
    EXPECT_GE(utcNow(), time[1].str());
}

TEST(QuarnelXmlRequest, sizeLimit_exactlyFullBufferFitsOneMoreByteFails) {
    const unsigned char one = 0x5A;
    const int base = static_cast<int>(build(true, u"", &one, 1).size());
    // Each further data byte adds two hexadecimal digits, each sid character one byte.
    const int room = BUFFER_SIZE - 1 - base;
    std::vector<unsigned char> data(static_cast<size_t>(1 + room / 2), 0x5A);
    std::u16string sid(static_cast<size_t>(room % 2), u'x');
    EXPECT_EQ(build(true, sid.c_str(), data.data(), static_cast<int>(data.size())).size(),
              static_cast<size_t>(BUFFER_SIZE - 1));

    sid += u'x';
    std::vector<unsigned char> buffer(BUFFER_SIZE, 'Q');
    QuarnelXml xml;
    EXPECT_EQ(xml.createCertRequest(sid.c_str(), data.data(), static_cast<int>(data.size()),
                                    buffer.data()),
              -1);
    EXPECT_EQ(buffer[0], 'Q') << "nothing is written when the document does not fit";
    EXPECT_EQ(xml.createCertRequest(u"", nullptr, 0, nullptr), -1);
}

TEST(QuarnelXmlQuery, responses_giveTheSelectedTextOrNothing) {
    const std::string response = R"(<QrnResponse result="OK"><hash>AB12</hash></QrnResponse>)";
    // Why, document, query, text.
    const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
        {"root attribute", response, "/QrnResponse/@result", "OK"},
        {"child text", response, "/QrnResponse/hash", "AB12"},
        {"attribute the root lacks", response, "/QrnResponse/@redirect", ""},
        {"nested text concatenates, blank text nodes dropped",
         "<r>\n <v> A <b>B<i>C</i>\t</b>\r\n </v></r>", "/r/v", " A BC"},
        {"first of several", "<r><v>1</v><v>2</v></r>", "/r/v", "1"},
        {"CDATA", "<r><v><![CDATA[a<b]]></v></r>", "/r/v", "a<b"},
        {"declared encoding ignored for decoded text",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\xE6\x97\xA5</r>", "/r", "\xE6\x97\xA5"},
        // Bad documents and queries give the empty text.
        {"unclosed root", R"(<QrnResponse result="OK">)", "/QrnResponse/@result", ""},
        {"query syntax error", response, "/QrnResponse/[", ""},
        {"query that is not a node set", response, "count(/QrnResponse)", ""},
    };
    for (const auto& [why, xml, query, text] : rows) {
        EXPECT_EQ(get(xml, query), text) << why;
    }
    EXPECT_EQ(QuarnelXml().xmlGet(nullptr, u"/r"), u"");
    EXPECT_EQ(QuarnelXml().xmlGet(u"<r>1</r>", nullptr), u"");
}

TEST(QuarnelXmlHostile, entityBombs_giveEmptyTextWithoutExpanding) {
    // Billion laughs: 10^10 * 30 bytes if anything expanded it.
    std::string laughs = "<!DOCTYPE QrnResponse [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 10; ++i) {
        std::string value;
        for (int j = 0; j < 10; ++j) {
            value += "&l" + std::to_string(i - 1) + ";";
        }
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + value + "\">";
    }
    laughs += "]>";
    EXPECT_EQ(get(laughs + "<QrnResponse><hash>&l10;</hash></QrnResponse>", "/QrnResponse/hash"),
              "");
    EXPECT_EQ(get(laughs + "<QrnResponse result=\"&l10;\"/>", "/QrnResponse/@result"), "");
}

TEST(QuarnelXmlHostile, externalEntitiesAndDtds_areNeverLoaded) {
    ScratchDir dir;
    const std::string secret = dir.file("secret.txt"), dtd = dir.file("evil.dtd");
    std::ofstream(secret) << "TOPSECRET";
    std::ofstream(dtd) << "<!ENTITY x \"TOPSECRET\">";
    test::HttpTestServer server;
    ASSERT_TRUE(server.start({"--log", dir.file("requests.log")}));
    const std::string remote = server.url() + "/echo/fetched";

    for (const std::string& doc : {
             "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r><v>&x;</v></r>",
             "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r><v>&x;</v></r>",
             "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + remote + "\"> %p;]><r><v>1</v></r>",
             "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><v><xi:include href=\"file://" +
                 secret + "\" parse=\"text\"/></v></r>",
         }) {
        EXPECT_EQ(get(doc, "/r/v").find("TOPSECRET"), std::string::npos) << doc;
    }
    EXPECT_EQ(test::readText(dir.file("requests.log")), "") << "nothing was fetched";
}

}  // namespace
}  // namespace mv
