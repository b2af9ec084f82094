#include "exchange/QuarnelXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "exchange/XmlCost.h"
#include "foundation/Text.h"
#include "support/HttpTestServer.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

constexpr int BUFFER_SIZE = QuarnelXml::REQUEST_BUFFER_SIZE;

// The request document, which must fit with its terminating zero; "failed" when it was refused
// and nothing written.
std::string build(bool cert, const char16_t* sid, const unsigned char* data, int length) {
    std::vector<unsigned char> buffer(BUFFER_SIZE, 'Q');
    QuarnelXml xml;
    int n = cert ? xml.createCertRequest(sid, data, length, buffer.data())
                 : xml.createSignRequest(sid, data, length, buffer.data());
    if (n < 0) {
        return buffer[0] == 'Q' ? "failed" : "failed, with the buffer written";
    }
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(buffer.data())), static_cast<size_t>(n));
    return std::string(buffer.begin(), buffer.begin() + n);
}

std::string utcNow() {
    time_t now = time(nullptr);
    char text[32];
    strftime(text, sizeof text, "%Y%m%d%H%M%SZ", gmtime(&now));
    return text;
}

std::string get(const std::string& xml, const std::string& query) {
    std::u16string xmlText = utf8ToWString(xml.data(), xml.size()),
                   path(query.begin(), query.end());
    return toUtf8String(QuarnelXml().xmlGet(xmlText.c_str(), path.c_str()).c_str());
}

TEST(QuarnelXmlRequest, documents_table) {
    test::ScopedEnv tz("TZ", "Pacific/Kiritimati");  // UTC+14: a local time would show
    tzset();
    const std::regex time(R"re(time="(\d{14}Z)")re");
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
        const std::string before = utcNow(), doc = build(cert, sid, bytes, length);
        std::smatch stamp;
        ASSERT_TRUE(std::regex_search(doc, stamp, time)) << doc;
        EXPECT_TRUE(before <= stamp[1].str() && stamp[1].str() <= utcNow()) << "UTC: " << doc;
        EXPECT_EQ(std::regex_replace(doc, time, "time=\"T\""),
                  std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") +
                      "<QrnRequest time=\"T\" type=\"QRN_" + (cert ? "CERT" : "SIGN") + "\" " +
                      rest + "</QrnRequest>\n");
    }
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
    EXPECT_EQ(build(true, sid.c_str(), data.data(), static_cast<int>(data.size())), "failed");
    EXPECT_EQ(QuarnelXml().createCertRequest(u"", nullptr, 0, nullptr), -1);
}

// The plain answers (a root attribute, a child's text, an attribute the root lacks) are the
// launched program's: tests/app/QuarnelCmdTest.cpp.
TEST(QuarnelXmlQuery, responses_giveTheSelectedTextOrNothing) {
    // Shapes that cost libxml2 minutes, or that an entity would expand, beside ordinary ones
    // of a few MiB however dense.
    std::string dense, attributes, identifiers, declarations, records, rowsOfFour;
    for (int n = 0; n < 1 << 19; ++n) {
        dense += "<a/>";
    }
    while (rowsOfFour.size() < 4 << 20) {
        rowsOfFour += "<row a=\"1\" b=\"2\" c=\"3\" d=\"4\"/>";
    }
    for (int n = 0; n < 2000; ++n) {
        attributes += " a" + std::to_string(n) + "=\"1\"";
        identifiers += " a" + std::to_string(n) + " ID #IMPLIED";
    }
    for (int n = 0; n < 300; ++n) {
        declarations += " xmlns:p" + std::to_string(n) + " CDATA \"urn:p\"";
    }
    // n attributes, or n namespace declarations from `first` on.
    auto many = [](const char* form, int first, int n) {
        std::string text;
        for (int i = first; i < first + n; ++i) {
            text +=
                " " + std::string(form) + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
        }
        return text;
    };
    // n declarations of attributes of `element`, each with `rest` after its name, but the
    // first `ids` of type ID.
    auto declared = [](const char* element, int n, const char* rest, int ids = 0) {
        std::string text = "<!DOCTYPE r [<!ATTLIST " + std::string(element);
        for (int i = 0; i < n; ++i) {
            text += " d" + std::to_string(i) + (i < ids ? " ID #IMPLIED" : rest);
        }
        return text + ">]>";
    };
    // A declaration of the ID attributes d<first>... of `element`.
    auto ids = [](const char* element, int first, int n) {
        std::string text = "<!ATTLIST " + std::string(element);
        for (int i = first; i < first + n; ++i) {
            text += " d" + std::to_string(i) + " ID #IMPLIED";
        }
        return text + ">";
    };
    // An attribute of `v` whose type lists n tokens.
    auto listed = [](const char* type, int n) {
        std::string text = "<!DOCTYPE r [<!ATTLIST v a " + std::string(type) + "(t0";
        for (int i = 1; i < n; ++i) {
            text += "|t" + std::to_string(i);
        }
        return text + ") #IMPLIED>]><r><v>x</v></r>";
    };
    // The top element and `v` beside n - 2 elements of other names; n levels of elements.
    auto names = [](int n) {
        std::string text = "<r><v>x</v>";
        for (int i = 0; i < n - 2; ++i) {
            text += "<n" + std::to_string(i) + "/>";
        }
        return text + "</r>";
    };
    auto levels = [](int n) {
        std::string open, close;
        for (int i = 1; i < n; ++i) {
            open += "<a>", close += "</a>";
        }
        return "<r><v>x</v>" + open + close + "</r>";
    };
    // n elements p:b 257 levels down, the prefix declared on the top element, padded with a
    // comment to `size` bytes.
    auto prefixedDeep = [](int n, size_t size) {
        std::string open, close;
        for (int i = 2; i <= 256; ++i) {
            open += "<a>", close += "</a>";
        }
        std::string text = "<r xmlns:p=\"urn:p\"><v>x</v>" + open;
        for (int i = 0; i < n; ++i) {
            text += "<p:b/>";
        }
        text += close + "</r><!--";
        return text + std::string(size - text.size() - 3, 'x') + "-->";
    };
    // `v` and n elements `a` after a document type, padded with a comment to `size` bytes.
    auto receiving = [](const std::string& type, int n, size_t size) {
        std::string text = type + "<r><v>x</v>";
        for (int i = 0; i < n; ++i) {
            text += "<a/>";
        }
        text += "</r><!--";
        return text + std::string(size - text.size() - 3, 'x') + "-->";
    };
    const std::string namespaceDefaults =
        "<!DOCTYPE r [<!ATTLIST a xmlns:p CDATA \"urn:p\" xmlns:q CDATA \"urn:q\">]>";
    const std::string unused =
        "<!ENTITY a0 \"\"><!ENTITY a1 \"&a0;&a0;\"><!ENTITY a2 \"&a1;&a1;\">";
    // Empty entities three levels deep, each referenced a thousand times; 64,000 attributes on
    // one element.
    auto times = [](const std::string& text, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) {
            out += text;
        }
        return out;
    };
    const std::string nested = "<!DOCTYPE QrnResponse [<!ENTITY a0 \"\"><!ENTITY a1 \"" +
                               times("&a0;", 1000) + "\"><!ENTITY a2 \"" + times("&a1;", 1000) +
                               "\">]><QrnResponse result=\"OK\">" + times("&a2;", 1000) +
                               "</QrnResponse>";
    const std::string crowded = "<QrnResponse result=\"OK\"" + many("a", 0, 64000) + "/>";
    for (int n = 0; records.size() < 8 << 20; ++n) {
        records += "\n  <entry no=\"" + std::to_string(n) +
                   "\"><name>\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E</name>"
                   "<amount currency=\"JPY\">" +
                   std::to_string(n * 7) + "</amount></entry>";
    }
    // Why, document, query, text.
    const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
        {"the first of several, its nested text and CDATA joined, blank text nodes dropped",
         "<r>\n <v> A <b>B<i>C</i>\t</b><![CDATA[<]]>\r\n </v><v>2</v></r>", "/r/v", " A BC<"},
        {"declared encoding ignored for decoded text",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\xE6\x97\xA5</r>", "/r", "\xE6\x97\xA5"},
        // Past libxml2's first read, a declared encoding would decode the rest: the text is read
        // as the UTF-8 it is, so markup written in UTF-7 stays text and Japanese stays itself.
        {"nested entities written in UTF-7", test::hiddenUnderUtf7(nested), "/QrnResponse/@result",
         ""},
        {"64,000 attributes written in UTF-7", test::hiddenUnderUtf7(crowded),
         "/QrnResponse/@result", ""},
        {"a hash under a declared UTF-7",
         test::afterPadding("UTF-7",
                            "<QrnResponse result=\"OK\"><hash>+AEEAQgBD-</hash></QrnResponse>"),
         "/QrnResponse/hash", "+AEEAQgBD-"},
        {"Japanese under a declared Shift_JIS", test::japaneseAnswer("Shift_JIS", "日本"),
         "/QrnResponse/hash", "日本"},
        {"Japanese under a declared EUC-JP", test::japaneseAnswer("EUC-JP", "日本"),
         "/QrnResponse/hash", "日本"},
        {"a UTF-8 byte order mark", "\uFEFF<?xml version=\"1.0\"?><r><v>x</v></r>", "/r/v", "x"},
        // A document that refers to an entity gives no value, never the text around it.
        {"an entity in an attribute",
         "<!DOCTYPE QrnResponse [<!ENTITY e \"XY\">]><QrnResponse result=\"o&e;k\"/>",
         "/QrnResponse/@result", ""},
        {"an entity in mixed element text, below a child",
         "<!DOCTYPE r [<!ENTITY e \"XY\">]><r><v>a<b>b&e;</b>c</v></r>", "/r/v", ""},
        {"an ordinary response of 8 MiB",
         "<QrnResponse result=\"ok\">" + records + "</QrnResponse>", "/QrnResponse/@result", "ok"},
        {"dense tiny elements, a tree's price in proportion to the size",
         "<QrnResponse result=\"ok\">" + dense + "</QrnResponse>", "/QrnResponse/@result", "ok"},
        {"rows of four short attributes",
         "<QrnResponse result=\"ok\">" + rowsOfFour + "</QrnResponse>", "/QrnResponse/@result",
         "ok"},
        {"a document type that declares a parameter entity nothing uses",
         "<!DOCTYPE r [<!ENTITY % p \"x\">]><r><v>x</v></r>", "/r/v", "x"},
        {"a document type that only declares: entities nothing uses, one from outside",
         "<!DOCTYPE r [" + unused + "<!ENTITY % ext PUBLIC \"-//X//ENTITIES x//EN\" \"x.ent\">" +
             "<!ATTLIST v k ID #IMPLIED d CDATA \"&amp;&#38;\">]><r><v k=\"i\">x</v></r>",
         "/r/v", "x"},
        {"an entity referenced in another element's attribute",
         "<!DOCTYPE r [" + unused + "]><r><v>x</v><w a=\"&a2;\"/></r>", "/r/v", ""},
        {"an entity referenced in a declared default",
         "<!DOCTYPE r [" + unused + "<!ATTLIST w a CDATA \"&a2;\">]><r><v>x</v><w/></r>", "/r/v",
         ""},
        {"dense tiny elements in an entity's value",
         "<!DOCTYPE r [<!ENTITY e \"" + dense + "\">]><r><v>x</v>&e;</r>", "/r/v", ""},
        {"thousands of attributes on one element", "<QrnResponse result=\"ok\"" + attributes + "/>",
         "/QrnResponse/@result", ""},
        // The bounds themselves: 1024 attributes on an element, 256 declarations in scope.
        {"1024 attributes", "<r" + many("a", 0, 1024) + "><v>x</v></r>", "/r/v", "x"},
        {"1025 attributes", "<r" + many("a", 0, 1025) + "><v>x</v></r>", "/r/v", ""},
        {"1025 attributes after an instruction whose target ends at its \"?>\"",
         "<?x?><r" + many("a", 0, 1025) + "><v>x</v></r>", "/r/v", ""},
        {"256 declarations in scope, half on the top element",
         "<r" + many("xmlns:p", 0, 128) + "><v" + many("xmlns:p", 128, 128) + ">x</v></r>", "/r/v",
         "x"},
        {"257 declarations in scope",
         "<r" + many("xmlns:p", 0, 128) + "><v" + many("xmlns:p", 128, 129) + ">x</v></r>", "/r/v",
         ""},
        {"1024 attributes with the defaults the document type declares",
         declared("v", 512, " CDATA \"x\"") + "<r><v" + many("a", 0, 512) + ">x</v></r>", "/r/v",
         "x"},
        {"1025 attributes with the defaults the document type declares",
         declared("v", 513, " CDATA #FIXED \"x\"") + "<r><v" + many("a", 0, 512) + ">x</v></r>",
         "/r/v", ""},
        {"1024 attributes that the document type declares for one element, 8 of them IDs",
         declared("v", 1024, " CDATA #IMPLIED", 8) + "<r><v>x</v></r>", "/r/v", "x"},
        {"1025 attributes that the document type declares for one element",
         declared("v", 1025, " CDATA #IMPLIED") + "<r><v>x</v></r>", "/r/v", ""},
        {"1024 ID attributes that the document type declares for one element",
         declared("v", 1024, " ID #IMPLIED") + "<r><v>x</v></r>", "/r/v", ""},
        // libxml2 reports an element's IDs again at each one declared after them.
        {"8 ID attributes declared for each of two elements",
         "<!DOCTYPE r [" + ids("v", 0, 8) + ids("w", 0, 8) + "]><r><v>x</v></r>", "/r/v", "x"},
        {"9 ID attributes declared for one element in two lists",
         "<!DOCTYPE r [" + ids("v", 0, 5) + ids("w", 0, 8) + ids("v", 5, 4) + "]><r><v>x</v></r>",
         "/r/v", ""},
        // Each token of a list is compared with all those before it: what that costs over the
        // whole document type is bounded, not a list's length (documentTypes_... below).
        {"an enumeration of 512 tokens", listed("", 512), "/r/v", "x"},
        {"an enumeration of 513 tokens", listed("", 513), "/r/v", "x"},
        {"a NOTATION list of 512 names", listed("NOTATION ", 512), "/r/v", "x"},
        {"a NOTATION list of 513 names", listed("NOTATION ", 513), "/r/v", "x"},
        // Defaults given to many elements: 64 at each of 1024 make 4 Mi comparisons, 1 Mi of
        // them free and 64 a byte for the rest; 2 namespace declarations at each, 256 of them
        // free and one per 16 bytes for the rest.
        {"64 defaults at each of 1024 elements in 49152 bytes",
         receiving(declared("a", 64, " CDATA \"x\""), 1024, 49152), "/r/v", "x"},
        {"64 defaults at each of 1024 elements in 49151 bytes",
         receiving(declared("a", 64, " CDATA \"x\""), 1024, 49151), "/r/v", ""},
        {"2 namespace defaults at each of 1024 elements in 28672 bytes",
         receiving(namespaceDefaults, 1024, 28672), "/r/v", "x"},
        {"2 namespace defaults at each of 1024 elements in 28671 bytes",
         receiving(namespaceDefaults, 1024, 28671), "/r/v", ""},
        {"65536 distinct names", names(65536), "/r/v", "x"},
        {"65537 distinct names", names(65537), "/r/v", ""},
        {"an instruction's target and 65536 distinct element names", "<?pi?>" + names(65536),
         "/r/v", ""},
        {"an instruction's target in the document type and 65536 distinct element names",
         "<!DOCTYPE r [<?pi?>]>" + names(65536), "/r/v", ""},
        {"a document type's own name and 65536 distinct element names",
         "<!DOCTYPE d>" + names(65536), "/r/v", ""},
        {"a name of a NOTATION list and 65536 distinct element names",
         "<!DOCTYPE r [<!ATTLIST v n0 NOTATION (q) #IMPLIED>]>" + names(65536), "/r/v", ""},
        {"257 levels", levels(257), "/r/v", "x"},
        // libxml2 walks up from each prefixed name to the element that declares its prefix:
        // 10,000 names 255 levels below it walk 2,550,000 levels, 257 * 1024 of them free and 4
        // a byte for the rest.
        {"prefixed names far below their declaration in 571708 bytes", prefixedDeep(10000, 571708),
         "/r/v", "x"},
        {"prefixed names far below their declaration in 571707 bytes", prefixedDeep(10000, 571707),
         "/r/v", ""},
        {"258 levels", levels(258), "/r/v", ""},
        // libxml2's own bound on a text node stays.
        {"a text of 10,000,000 bytes", "<r><v>x</v><w>" + std::string(10000000, 'y') + "</w></r>",
         "/r/v", "x"},
        {"a text of 10,000,001 bytes", "<r><v>x</v><w>" + std::string(10000001, 'y') + "</w></r>",
         "/r/v", ""},
        {"200 declarations each on siblings, never in scope together",
         "<r><a" + many("xmlns:p", 0, 200) + "></a><v" + many("xmlns:p", 0, 200) + ">x</v></r>",
         "/r/v", "x"},
        {"thousands of attributes that the document type declares for one element",
         "<!DOCTYPE r [<!ATTLIST v" + identifiers + ">]><r><v>x</v></r>", "/r/v", ""},
        {"hundreds of namespace declarations that the document type gives an element",
         "<!DOCTYPE r [<!ATTLIST r" + declarations + ">]><r><v>x</v></r>", "/r/v", ""},
        {"a parameter entity between declarations",
         "<!DOCTYPE r [<!ENTITY % p \"<!ENTITY e 'x'>\"> %p;]><r><v>x</v></r>", "/r/v", ""},
        // Bad documents and queries give the empty text.
        {"unclosed root", R"(<QrnResponse result="OK">)", "/QrnResponse/@result", ""},
        {"query syntax error", "<r/>", "/r/[", ""},
    };
    for (const auto& [why, xml, query, text] : rows) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(get(xml, query), text) << why;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << why << ": libxml2 wrote there";
    }
}

// What a document type costs libxml2 beyond its size: real code lists (ISO 639-3 has about 7,900
// codes) and real large document types (20,000 to 40,000 attribute declarations) are taken;
// lists, declarations and defaults that only an attack has are refused at their bounds.
TEST(QuarnelXmlQuery, documentTypes_realCodeListsAndDeclarationsTaken_attacksRefused) {
    // `count` attributes, each of an element of its own, whose types list n tokens (the n-th
    // code of `width` letters: aaa, aab...), with `before` and `after` around each token.
    auto lists = [](int count, int n, int width, const char* kind = "", const char* before = "",
                    const char* after = "") {
        std::string text = "<!DOCTYPE r [";
        for (int list = 0; list < count; ++list) {
            text += "<!ATTLIST e" + std::to_string(list) + " a " + kind + "(";
            for (int i = 0; i < n; ++i) {
                std::string code(width, 'a');
                for (int k = width - 1, rest = i; k >= 0; --k, rest /= 26) {
                    code[k] = static_cast<char>('a' + rest % 26);
                }
                text += (i > 0 ? "|" : "") + std::string(before) + code + after;
            }
            text += ") #IMPLIED>";
        }
        return text + "]>";
    };
    // n attribute declarations, a thousand for each element.
    auto attributeDeclarations = [](int n) {
        std::string text = "<!DOCTYPE r [";
        for (int first = 0; first < n; first += 1000) {
            text += "<!ATTLIST e" + std::to_string(first / 1000);
            for (int i = first; i < std::min(n, first + 1000); ++i) {
                text += " a" + std::to_string(i - first) + " CDATA #IMPLIED";
            }
            text += ">";
        }
        return text + "]>";
    };
    // `declared` after the top element and `v`, n elements `a` and a comment that makes the
    // document `size` bytes long.
    auto padded = [](const std::string& declared, int n, size_t size) {
        std::string text = declared + "<r><v>x</v>";
        for (int i = 0; i < n; ++i) {
            text += "<a/>";
        }
        text += "</r><!--";
        return text + std::string(size - text.size() - 3, 'x') + "-->";
    };
    std::string idsLast = "<!DOCTYPE r [<!ATTLIST v";
    for (int i = 0; i < 1016; ++i) {
        idsLast += " c" + std::to_string(i) + " CDATA #IMPLIED";
    }
    for (int i = 0; i < 8; ++i) {
        idsLast += " d" + std::to_string(i) + " ID #IMPLIED";
    }
    idsLast += ">]>";
    std::string withDefaults = "<!DOCTYPE r [";
    for (int i = 0; i < 1024; ++i) {
        withDefaults += "<!ATTLIST d" + std::to_string(i) + " k CDATA \"1\">";
    }
    withDefaults += "]>";
    const std::string content = "<r><v>x</v></r>";
    // Why, document, text.
    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"a code list of 2,000 tokens", lists(1, 2000, 3) + content, "x"},
        {"a code list of 8,000 tokens", lists(1, 8000, 3) + content, "x"},
        {"a code list of 8,000 tokens with white space around each",
         lists(1, 8000, 3, "", " ", "\n") + content, "x"},
        {"a NOTATION list of 8,000 names", lists(1, 8000, 3, "NOTATION ") + content, "x"},
        {"two code lists of 8,000 tokens", lists(2, 8000, 3) + content, "x"},
        // Two lists of 8192 five-letter tokens: 2 * 6 * (0 + 1 + ... + 8191) bytes compared at
        // most, 2^28 of them free and 32 a byte of the document for the rest.
        {"two lists of 8192 tokens in 4192768 bytes", padded(lists(2, 8192, 5), 0, 4192768), "x"},
        {"two lists of 8192 tokens in 4192767 bytes", padded(lists(2, 8192, 5), 0, 4192767), ""},
        {"two lists of 8192 tokens, white space before each", lists(2, 8192, 5, "", " ") + content,
         ""},
        {"two lists of 8192 tokens, white space after each",
         lists(2, 8192, 5, "", "", " ") + content, ""},
        {"two NOTATION lists of 8192 names, white space around each",
         lists(2, 8192, 5, "NOTATION ", "\t", "\r\n") + content, ""},
        {"2,000 lists of 512 tokens", lists(2000, 512, 3) + content, ""},
        {"100,000 attribute declarations", attributeDeclarations(100000) + content, "x"},
        {"100,001 attribute declarations", attributeDeclarations(100001) + content, ""},
        {"8 ID attributes declared for one element after 1016 others", idsLast + content, "x"},
        // 1024 element names with defaults, looked up at each of 100,002 start tags and at
        // each default declared: 1024 * 100002 + (1 + 2 + ... + 1024) look-ups, 2^22 of them
        // free and 32 a byte for the rest.
        {"1024 names with defaults, 100,002 start tags in 3085392 bytes",
         padded(withDefaults, 100000, 3085392), "x"},
        {"1024 names with defaults, 100,002 start tags in 3085391 bytes",
         padded(withDefaults, 100000, 3085391), ""},
    };
    for (const auto& [why, xml, text] : rows) {
        EXPECT_EQ(get(xml, "/r/v"), text) << why;
    }
}

// References that only the pass's own reading finds where libxml2 would be the first to meet
// them: each refused by the pass's verdict itself, and by the query (where libxml2 would stop at
// it too).
TEST(QuarnelXmlQuery, referencesThePassMustFind_refusedByThePassAndTheQuery) {
    const std::string types =
        "<!DOCTYPE r [<!ENTITY ltx0 \"\"><!ENTITY ltx1 \"&ltx0;&ltx0;\"><!ENTITY ltx2 "
        "\"&ltx1;&ltx1;\">]>";
    std::string open, close;
    for (int level = 2; level <= 257; ++level) {
        open += "<a>", close += "</a>";
    }
    const std::pair<const char*, std::string> rows[] = {
        {"an entity whose name begins like a predefined one's",
         types + "<r><v>x</v><w>&ltx2;</w></r>"},
        {"a reference inside the deepest element allowed, 257 levels down",
         "<!DOCTYPE r [<!ENTITY e \"x\">]><r><v>x</v>" + open + "&e;" + close + "</r>"},
        {"a parameter entity referenced in a general entity's value",
         "<!DOCTYPE r [<!ENTITY e \"%p;\">]><r><v>x</v></r>"},
    };
    for (const auto& [why, xml] : rows) {
        EXPECT_TRUE(measureXmlCost(xml.data(), xml.size()).entityReferences) << why;
        EXPECT_FALSE(xmlCostBounded(xml.data(), xml.size())) << why;
        EXPECT_EQ(get(xml, "/r/v"), "") << why;
    }
}

// Documents a hostile server may send: entities are never expanded, external ones and DTDs never
// loaded, from a file or over the network.
TEST(QuarnelXmlHostile, entitiesAndExternalParts_giveEmptyText) {
    test::ScratchDir dir;
    const std::string secret = dir.file("secret.txt"), dtd = dir.file("evil.dtd");
    std::ofstream(secret) << "TOPSECRET";
    std::ofstream(dtd) << "<!ENTITY x \"TOPSECRET\">";
    test::HttpTestServer server;
    ASSERT_TRUE(server.start({"--log", dir.file("requests.log")}));
    for (const std::string& doc : {
             std::string("<!DOCTYPE r [<!ENTITY x \"TOPSECRET\">]><r><v>&x;</v></r>"),
             "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r><v>&x;</v></r>",
             "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r><v>&x;</v></r>",
             "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + server.url() + "/echo\"> %p;]><r><v/></r>",
             "<r xmlns:xi=\"http://www.w3.org/2001/XInclude\"><v><xi:include href=\"file://" +
                 secret + "\" parse=\"text\"/></v></r>",
         }) {
        EXPECT_EQ(get(doc, "/r/v"), "") << doc;
    }
    EXPECT_EQ(test::readText(dir.file("requests.log")), "") << "nothing was fetched";
}

}  // namespace
}  // namespace mv
