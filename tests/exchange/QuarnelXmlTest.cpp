#include "exchange/QuarnelXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "foundation/Text.h"
#include "support/HttpTestServer.h"

namespace mv {
namespace {

using test::ScopedEnv;
using test::ScratchDir;

constexpr int BUFFER_SIZE = QuarnelXml::REQUEST_BUFFER_SIZE;

std::string build(bool cert, const char16_t* sid, const unsigned char* data, int length,
                  int* result = nullptr) {
    std::vector<unsigned char> buffer(BUFFER_SIZE);
    QuarnelXml xml;
    int n = cert ? xml.createCertRequest(sid, data, length, buffer.data())
                 : xml.createSignRequest(sid, data, length, buffer.data());
    if (result != nullptr) {
        *result = n;
    }
    if (n < 0) {
        return {};
    }
    EXPECT_EQ(buffer[n], '\0');
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(buffer.data())), static_cast<size_t>(n));
    return std::string(buffer.begin(), buffer.begin() + n);
}

std::string get(const std::string& xml, const std::string& query) {
    QuarnelXml parser;
    std::u16string xmlText = utf8ToWString(xml.data(), xml.size());
    std::u16string queryText = utf8ToWString(query.data(), query.size());
    return toUtf8String(parser.xmlGet(xmlText.c_str(), queryText.c_str()).c_str());
}

const std::regex REQUEST_FORM(
    R"re(<\?xml version="1\.0" encoding="utf-8"\?>\n)re"
    R"re(<QrnRequest time="(\d{14}Z)" type="(QRN_CERT|QRN_SIGN)" sid="([^"]*)">)re"
    R"re((?:<(cert|sign)>([0-9A-F]*)</\4>|<(cert|sign)/>)</QrnRequest>\n)re");

TEST(QuarnelXmlRequest, certRequest_threeBytes_hasOrderedAttributesAndHexText) {
    const unsigned char data[] = {0x30, 0xAB, 0x0F};
    std::string doc = build(true, u"S-1", data, 3);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(doc, m, REQUEST_FORM)) << doc;
    EXPECT_EQ(m[2], "QRN_CERT");
    EXPECT_EQ(m[3], "S-1");
    EXPECT_EQ(m[4], "cert");
    EXPECT_EQ(m[5], "30AB0F");
}

TEST(QuarnelXmlRequest, signRequest_namesTypeAndElementSign) {
    const unsigned char data[] = {0x00, 0xFF};
    std::string doc = build(false, u"abc", data, 2);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(doc, m, REQUEST_FORM)) << doc;
    EXPECT_EQ(m[2], "QRN_SIGN");
    EXPECT_EQ(m[4], "sign");
    EXPECT_EQ(m[5], "00FF");
}

TEST(QuarnelXmlRequest, emptySidAndData_giveEmptyAttributeAndElement) {
    const unsigned char data[] = {0x01};
    struct Case {
        const char16_t* sid;
        const unsigned char* data;
        int length;
    };
    for (const Case& c : {Case{u"", nullptr, 0}, Case{nullptr, data, 0}, Case{u"", data, -5},
                          Case{nullptr, nullptr, 4}}) {
        std::string doc = build(true, c.sid, c.data, c.length);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(doc, m, REQUEST_FORM)) << doc;
        EXPECT_EQ(m[3], "");
        EXPECT_EQ(m[6], "cert") << "an empty element: " << doc;
    }
}

TEST(QuarnelXmlRequest, timeAttribute_isUtcWhateverTheTimeZone) {
    ScopedEnv tz("TZ", "Pacific/Kiritimati");  // UTC+14: a local time would show
    tzset();
    const std::string before = toUtf8String(utcTimeText().c_str());
    std::string doc = build(true, u"s", nullptr, 0);
    const std::string after = toUtf8String(utcTimeText().c_str());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(doc, m, REQUEST_FORM)) << doc;
    EXPECT_EQ(before.size(), 15u);
    EXPECT_LE(before, m[1].str());
    EXPECT_GE(after, m[1].str());
}

TEST(QuarnelXmlRequest, sidWithMarkup_isEscapedAndReadsBack) {
    const char16_t* sid = u"a\"<b>&'\u65E5\u672C";
    std::string doc = build(true, sid, nullptr, 0);
    ASSERT_FALSE(doc.empty());
    QuarnelXml xml;
    std::u16string text = utf8ToWString(doc.data(), doc.size());
    EXPECT_EQ(xml.xmlGet(text.c_str(), u"/QrnRequest/@sid"), sid);
    EXPECT_EQ(xml.xmlGet(text.c_str(), u"/QrnRequest/@type"), u"QRN_CERT");
    EXPECT_NE(doc.find("\xE6\x97\xA5\xE6\x9C\xAC"), std::string::npos) << "sent as UTF-8";
}

TEST(QuarnelXmlRequest, sizeLimit_exactlyFullBufferFitsOneMoreByteFails) {
    const unsigned char one = 0x5A;
    int base = 0;
    build(true, u"", &one, 1, &base);
    ASSERT_GT(base, 0);
    // Each further data byte adds two hexadecimal digits, each sid character one byte.
    const int room = BUFFER_SIZE - 1 - base;
    std::vector<unsigned char> data(static_cast<size_t>(1 + room / 2), 0x5A);
    std::u16string sid(static_cast<size_t>(room % 2), u'x');

    int n = 0;
    build(true, sid.c_str(), data.data(), static_cast<int>(data.size()), &n);
    EXPECT_EQ(n, BUFFER_SIZE - 1);

    sid += u'x';
    std::vector<unsigned char> buffer(BUFFER_SIZE, 'Q');
    QuarnelXml xml;
    EXPECT_EQ(xml.createCertRequest(sid.c_str(), data.data(), static_cast<int>(data.size()),
                                    buffer.data()),
              -1);
    EXPECT_EQ(buffer[0], 'Q') << "nothing is written when the document does not fit";
    EXPECT_EQ(xml.createCertRequest(u"", nullptr, 0, nullptr), -1);
}

TEST(QuarnelXmlQuery, responses_giveTheSelectedText) {
    struct Row {
        const char* why;
        std::string xml;
        std::string query;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"root attribute", R"(<QrnResponse result="OK"><hash>AB12</hash></QrnResponse>)",
         "/QrnResponse/@result", "OK"},
        {"child text", R"(<QrnResponse result="OK"><hash>AB12</hash></QrnResponse>)",
         "/QrnResponse/hash", "AB12"},
        {"attribute the root lacks", R"(<QrnResponse result="OK"/>)", "/QrnResponse/@redirect", ""},
        {"nested elements concatenate",
         "<QrnResponse><hash>AB<b>CD<i>EF</i></b>01</hash></QrnResponse>", "/QrnResponse/hash",
         "ABCDEF01"},
        {"blank text nodes dropped",
         "<QrnResponse>\n  <hash>\n    <p>AB</p>\n    <p>CD</p>\n  </hash>\n</QrnResponse>",
         "/QrnResponse/hash", "ABCD"},
        {"text beside elements kept, blank-only nodes not", "<r><v> A <b>B</b> </v></r>", "/r/v",
         " A B"},
        {"first of several", "<r><v>1</v><v>2</v></r>", "/r/v", "1"},
        {"CDATA", "<r><v><![CDATA[a<b]]></v></r>", "/r/v", "a<b"},
        {"character references", R"(<r v="a&amp;b&#x41;"/>)", "/r/@v", "a&bA"},
        {"declared encoding ignored for decoded text",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\xE6\x97\xA5</r>", "/r", "\xE6\x97\xA5"},
        {"empty element", "<r><v/></r>", "/r/v", ""},
        {"request handed back", R"(<QrnRequest type="QRN_CERT"><cert>30AB0F</cert></QrnRequest>)",
         "/QrnRequest/cert", "30AB0F"},
        {"wrong root", "<Other><hash>AB</hash></Other>", "/QrnResponse/hash", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(get(row.xml, row.query), row.expected) << row.why;
    }
}

TEST(QuarnelXmlQuery, badInput_givesEmptyText) {
    struct Row {
        const char* why;
        std::string xml;
        std::string query;
    };
    const std::vector<Row> rows = {
        {"unclosed root", R"(<QrnResponse result="OK">)", "/QrnResponse/@result"},
        {"server refusal text", "error: refused", "/QrnResponse/@result"},
        {"two roots", R"(<a x="1"/><a x="2"/>)", "/a/@x"},
        {"empty document", "", "/QrnResponse"},
        {"empty query", R"(<QrnResponse result="OK"/>)", ""},
        {"query syntax error", R"(<QrnResponse result="OK"/>)", "/QrnResponse/["},
        {"query that is not a node set", R"(<QrnResponse result="OK"/>)", "count(/QrnResponse)"},
        {"undeclared namespace prefix", "<r><v>1</v></r>", "/x:r/v"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(get(row.xml, row.query), "") << row.why;
    }
    QuarnelXml xml;
    EXPECT_EQ(xml.xmlGet(nullptr, u"/r"), u"");
    EXPECT_EQ(xml.xmlGet(u"<r>1</r>", nullptr), u"");
}

TEST(QuarnelXmlHostile, entityBombs_giveEmptyTextWithoutExpanding) {
    std::string laughs = "<!DOCTYPE QrnResponse [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 10; ++i) {
        std::string prev = "&l" + std::to_string(i - 1) + ";";
        std::string value;
        for (int j = 0; j < 10; ++j) {
            value += prev;
        }
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + value + "\">";
    }
    laughs += "]>";
    // 10^10 * 30 bytes if anything expanded it.
    EXPECT_EQ(get(laughs + "<QrnResponse><hash>&l10;</hash></QrnResponse>", "/QrnResponse/hash"),
              "");
    EXPECT_EQ(get(laughs + "<QrnResponse result=\"&l10;\"/>", "/QrnResponse/@result"), "");

    // Quadratic blow-up: one large entity referenced many times.
    std::string big(100000, 'x');
    std::string refs;
    for (int i = 0; i < 20000; ++i) {
        refs += "&big;";
    }
    std::string quadratic =
        "<!DOCTYPE r [<!ENTITY big \"" + big + "\">]><r><v>" + refs + "</v><w>plain</w></r>";
    EXPECT_EQ(get(quadratic, "/r/v"), "");
    EXPECT_EQ(get(quadratic, "/r/w"), "plain") << "the rest of the document still reads";
}

TEST(QuarnelXmlHostile, externalEntitiesAndDtds_areNeverLoaded) {
    ScratchDir dir;
    const std::string secret = dir.file("secret.txt");
    std::ofstream(secret) << "TOPSECRET";
    const std::string dtd = dir.file("evil.dtd");
    std::ofstream(dtd) << "<!ENTITY x \"TOPSECRET\">";

    test::HttpTestServer server;
    const std::string log = dir.file("requests.log");
    ASSERT_TRUE(server.start({"--log", log}));
    const std::string remote = server.url() + "/echo/fetched";

    const std::vector<std::string> docs = {
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r><v>&x;</v></r>",
        "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r><v>&x;</v></r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + remote + "\">]><r><v>&x;</v></r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + remote + "\"> %p;]><r><v>1</v></r>",
        "<!DOCTYPE r SYSTEM \"" + remote + "\"><r><v>&x;</v></r>",
        "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><v><xi:include href=\"file://" + secret +
            "\" parse=\"text\"/></v></r>",
    };
    for (const std::string& doc : docs) {
        EXPECT_EQ(get(doc, "/r/v").find("TOPSECRET"), std::string::npos) << doc;
    }
    server.stop();
    EXPECT_EQ(test::readText(log), "") << "nothing was fetched from the network";
}

}  // namespace
}  // namespace mv
