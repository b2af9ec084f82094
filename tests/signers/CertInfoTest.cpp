#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "Fixtures.h"
#include "signers/CertInfo.h"

namespace {

using mv::ByteBuffer;
using mv::CertAttributes;
using mv::CertNameList;

std::string text(const ByteBuffer& b) {
    return std::string(b.begin(), b.end());
}

// Certificate times read as local time; the descriptions were written for UTC+9.
class CertInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "JST-9", 1);
        tzset();
    }
};

struct Described {
    const char* cert;
    int type;
};

TEST_F(CertInfoTest, getCertInfo_eachFixture_matchesExpectedDocumentsInBothFormats) {
    const Described rows[] = {
        {"ca", 1},     {"ee", 0},           {"ee2", 0},           {"expired", 0},
        {"notyet", 0}, {"selfissued", 1},   {"jpki", 2},          {"jpkidup", 2},
        {"regist", 3}, {"both", 3},         {"japanesebmp", 0},   {"japaneseutf8", 0},
        {"names", 0},  {"registbadlen", 0}, {"registoverrun", 0}, {"jpkioverrun", 0},
    };
    for (const Described& row : rows) {
        ByteBuffer der = fixtures::readCert(row.cert);
        ASSERT_FALSE(der.empty()) << row.cert;
        // Format bit 0 alone chooses: 0 and 2 give JSON, 1 and 3 give XML.
        for (int format : {0, 1, 2, 3}) {
            ByteBuffer out;
            EXPECT_EQ(mv::getCertInfo(der, format, out), row.type) << row.cert << " " << format;
            std::string expected = fixtures::readText(std::string(QUARNEL_TEST_DATA_DIR) + "/" +
                                                      row.cert + (format & 1 ? ".xml" : ".json"));
            EXPECT_EQ(text(out), expected) << row.cert << " " << format;
        }
    }
}

TEST_F(CertInfoTest, getCertInfo_failures_returnMinusOneAndLeaveOutputUntouched) {
    const char* rows[] = {
        "forever",        // notAfter 9999-12-31: beyond the local-time conversion
        "jpkimissing",    // JPKI attributes without "gender"
        "registmissing",  // registration attributes without "title"
    };
    for (const char* cert : rows) {
        for (int format : {0, 1}) {
            ByteBuffer out{'x'};
            EXPECT_EQ(mv::getCertInfo(fixtures::readCert(cert), format, out), -1) << cert;
            EXPECT_EQ(text(out), "x") << cert;
        }
    }
    ByteBuffer out{'x'};
    ByteBuffer der = fixtures::readCert("ee");
    for (size_t cut : {size_t(0), size_t(1), der.size() / 2, der.size() - 1}) {
        ByteBuffer truncated(der.begin(), der.begin() + cut);
        EXPECT_EQ(mv::getCertInfo(truncated, 0, out), -1) << cut;
    }
    EXPECT_EQ(text(out), "x");
}

TEST_F(CertInfoTest, getCertInfo_utcPlusNine_showsTheNextLocalDay) {
    ByteBuffer out;
    ASSERT_EQ(mv::getCertInfo(fixtures::readCert("ee2"), 0, out), 0);
    // notBefore 2020-03-31T15:00:00Z
    EXPECT_NE(text(out).find("\"from\":\"2020-04-01T00:00:00\""), std::string::npos);
    setenv("TZ", "UTC0", 1);
    tzset();
    ASSERT_EQ(mv::getCertInfo(fixtures::readCert("ee2"), 0, out), 0);
    EXPECT_NE(text(out).find("\"from\":\"2020-03-31T15:00:00\""), std::string::npos);
}

TEST_F(CertInfoTest, fileTimeToText_rangeEnds) {
    const int64_t EPOCH = 116444736000000000LL;
    struct Row {
        int64_t fileTime;
        const char* text;  // null: refused
    } rows[] = {
        {EPOCH, "1970-01-01T09:00:00"},
        {EPOCH - 1, "1970-01-01T09:00:00"},  // rounds toward zero
        {EPOCH - 10000000, nullptr},
        {EPOCH + 32535244799LL * 10000000, "3001-01-01T16:59:59"},
        {EPOCH + 32535244800LL * 10000000, nullptr},
        {0, nullptr},
        {INT64_MIN, nullptr},
        {INT64_MAX, nullptr},
    };
    for (const Row& row : rows) {
        std::string out = "unchanged";
        const char* r = mv::fileTimeToText(out, row.fileTime);
        if (row.text == nullptr) {
            EXPECT_EQ(r, nullptr) << row.fileTime;
            EXPECT_EQ(out, "unchanged");
        } else {
            EXPECT_STREQ(r, row.text) << row.fileTime;
        }
    }
}

TEST_F(CertInfoTest, derLength_threeForms) {
    struct Row {
        ByteBuffer bytes;
        int size, length;
    } rows[] = {
        {{0x05}, 1, 5},
        {{0x80}, 1, 0x80},  // indefinite and long forms above two octets are read as the byte
        {{0x83, 1, 2, 3}, 1, 0x83},
        {{0x81, 0xC8}, 2, 200},
        {{0x82, 0x01, 0x00}, 3, 256},
        {{0x82, 0x80, 0x00}, 3, -32768},  // a signed 16-bit number
        {{0x82, 0xFF, 0xFF}, 3, -1},
    };
    for (const Row& row : rows) {
        int length = 12345;
        EXPECT_EQ(mv::derLength(row.bytes.data(), &length), row.size);
        EXPECT_EQ(length, row.length);
    }
}

TEST_F(CertInfoTest, readRegistAttributes_malformedValues_yieldWhatFitsAndNeverReadPastTheEnd) {
    struct Row {
        const char* why;
        ByteBuffer value;
        CertAttributes expected;
    } rows[] = {
        {"one element", {0x30, 0x05, 0xA0, 0x03, 0x0C, 0x01, 'A'}, {{"corp", "A"}}},
        {"empty value still counts", {0x30, 0x04, 0xA3, 0x02, 0x0C, 0x00}, {{"name", ""}}},
        {"[5] is walked over",
         {0x30, 0x0A, 0xA5, 0x03, 0x0C, 0x01, 'X', 0xA4, 0x03, 0x0C, 0x01, 'T'},
         {{"title", "T"}}},
        {"later tag replaces",
         {0x30, 0x0A, 0xA0, 0x03, 0x0C, 0x01, 'A', 0xA0, 0x03, 0x0C, 0x01, 'B'},
         {{"corp", "B"}}},
        {"unknown tag dropped", {0x30, 0x05, 0x0C, 0x03, 0x0C, 0x01, 'A'}, {}},
        {"sequence shorter than value", {0x30, 0x04, 0xA0, 0x03, 0x0C, 0x01, 'A'}, {}},
        {"sequence longer than value", {0x30, 0x06, 0xA0, 0x03, 0x0C, 0x01, 'A'}, {}},
        {"empty sequence", {0x30, 0x00}, {}},
        {"not a sequence", {0x31, 0x05, 0xA0, 0x03, 0x0C, 0x01, 'A'}, {}},
        {"one byte", {0x30}, {}},
        {"length field cut", {0x30, 0x82, 0x00}, {}},
        {"string longer than value", {0x30, 0x05, 0xA0, 0x03, 0x0C, 0x7F, 'A'}, {}},
        {"good then cut",
         {0x30, 0x08, 0xA6, 0x03, 0x0C, 0x01, 'I', 0xA0, 0x03, 0x0C},
         {{"issue", "I"}}},
        {"good then overrun",
         {0x30, 0x0A, 0xA6, 0x03, 0x0C, 0x01, 'I', 0xA0, 0x03, 0x0C, 0x05, 'A'},
         {{"issue", "I"}}},
        {"negative two-byte length", {0x30, 0x07, 0xA0, 0x03, 0x0C, 0x82, 0x80, 0x00, 'A'}, {}},
        {"element length field cut", {0x30, 0x02, 0xA0, 0x82}, {}},
    };
    for (const Row& row : rows) {
        // An exact-size heap copy lets the sanitizers see any read past the end.
        auto* copy = new unsigned char[row.value.size()];
        std::copy(row.value.begin(), row.value.end(), copy);
        CertAttributes out;
        mv::readRegistAttributes(copy, row.value.size(), out);
        delete[] copy;
        EXPECT_EQ(out, row.expected) << row.why;
    }
}

TEST_F(CertInfoTest, readJpkiAttributes_otherNames_checkedAgainstTheirValue) {
    // SEQUENCE { otherName 1.2.392.200149.8.5.5.<n> [0] { W } }
    auto otherName = [](unsigned char n, ByteBuffer w) {
        ByteBuffer oid = {0x06, 0x0A, 0x2A, 0x83, 0x08, 0x8C, 0x9B, 0x55, 0x08, 0x05, 0x05, n};
        ByteBuffer inner = {0xA0, static_cast<unsigned char>(w.size())};
        inner.insert(inner.end(), w.begin(), w.end());
        ByteBuffer entry = {0xA0, static_cast<unsigned char>(oid.size() + inner.size())};
        entry.insert(entry.end(), oid.begin(), oid.end());
        entry.insert(entry.end(), inner.begin(), inner.end());
        return entry;
    };
    auto names = [](std::initializer_list<ByteBuffer> entries) {
        ByteBuffer content;
        for (const ByteBuffer& e : entries) {
            content.insert(content.end(), e.begin(), e.end());
        }
        ByteBuffer out = {0x30, static_cast<unsigned char>(content.size())};
        out.insert(out.end(), content.begin(), content.end());
        return out;
    };
    struct Row {
        const char* why;
        ByteBuffer value;
        CertAttributes expected;
    } rows[] = {
        {"name", names({otherName(1, {0x0C, 0x02, 'A', 'B'})}), {{"name", "AB"}}},
        {"string type not examined", names({otherName(3, {0x13, 0x01, '1'})}), {{"gender", "1"}}},
        {"zero length passed over", names({otherName(1, {0x0C, 0x00})}), {}},
        {"length beyond value", names({otherName(1, {0x0C, 0x05, 'A'})}), {}},
        {"length field cut", names({otherName(1, {0x0C, 0x82, 0x00})}), {}},
        {"negative length", names({otherName(1, {0x0C, 0x82, 0x80, 0x00, 'A'})}), {}},
        {"only a tag", names({otherName(1, {0x0C})}), {}},
        {"unknown identifier", names({otherName(7, {0x0C, 0x01, 'A'})}), {}},
        {"later replaces",
         names({otherName(5, {0x0C, 0x01, 'A'}), otherName(5, {0x0C, 0x01, 'B'})}),
         {{"address", "B"}}},
        {"other general names skipped",
         names({ByteBuffer{0x82, 0x03, 'a', '.', 'b'}, otherName(4, {0x0C, 0x01, '9'})}),
         {{"birth", "9"}}},
        {"malformed sequence", ByteBuffer{0x30, 0x05, 0xA0}, {}},
        {"trailing bytes",
         [&] {
             ByteBuffer v = names({otherName(1, {0x0C, 0x01, 'A'})});
             v.push_back(0);
             return v;
         }(),
         {}},
    };
    for (const Row& row : rows) {
        auto* copy = new unsigned char[row.value.size()];
        std::copy(row.value.begin(), row.value.end(), copy);
        CertAttributes out;
        mv::readJpkiAttributes(copy, row.value.size(), out);
        delete[] copy;
        EXPECT_EQ(out, row.expected) << row.why;
    }
}

TEST_F(CertInfoTest, writers_missingItems_giveTheirCodesAndLeaveOutputUntouched) {
    const CertAttributes main = {{"type", "CERT"}, {"serial", "01"}, {"from", "f"}, {"to", "t"}};
    const CertNameList names = {{"cn", "x"}};
    const CertAttributes jpki = {{"name", "n"}, {"address", "a"}, {"birth", "b"}, {"gender", "g"}};
    const CertAttributes regist = {{"corp", "c"}, {"address", "a"}, {"name", "n"}, {"title", "t"}};
    auto without = [](CertAttributes map, const char* key) {
        map.erase(key);
        return map;
    };
    auto replaced = [](CertAttributes map, const char* key) {
        map.erase(key);
        map["other"] = "o";
        return map;
    };
    struct Row {
        const char* why;
        CertAttributes main;
        CertNameList issuer, subject;
        CertAttributes jpki, regist;
        int code;
    } rows[] = {
        {"complete", main, names, names, jpki, regist, 0},
        {"three entries", without(main, "from"), names, names, {}, {}, -1},
        {"five entries",
         [&] {
             auto m = main;
             m["x"] = "y";
             return m;
         }(),
         names,
         names,
         {},
         {},
         -1},
        {"no issuer", main, {}, names, {}, {}, -2},
        {"no subject", main, names, {}, {}, {}, -3},
        {"no type", replaced(main, "type"), names, names, {}, {}, -10},
        {"no serial", replaced(main, "serial"), names, names, {}, {}, -11},
        {"no from is fine", replaced(main, "from"), names, names, {}, {}, 0},
        {"no to", replaced(main, "to"), names, names, {}, {}, -13},
        {"jpki no name", main, names, names, without(jpki, "name"), {}, -20},
        {"jpki no address", main, names, names, without(jpki, "address"), {}, -21},
        {"jpki no birth", main, names, names, without(jpki, "birth"), {}, -22},
        {"jpki no gender", main, names, names, without(jpki, "gender"), {}, -23},
        {"regist no corp", main, names, names, {}, without(regist, "corp"), -30},
        {"regist no address", main, names, names, {}, without(regist, "address"), -31},
        {"regist no name", main, names, names, {}, without(regist, "name"), -32},
        {"regist no title", main, names, names, {}, without(regist, "title"), -33},
    };
    for (const Row& row : rows) {
        for (auto writer : {mv::writeCertInfoJson, mv::writeCertInfoXml}) {
            ByteBuffer out{'x'};
            EXPECT_EQ(writer(row.main, row.issuer, row.subject, row.jpki, row.regist, out),
                      row.code)
                << row.why;
            if (row.code != 0) {
                EXPECT_EQ(text(out), "x") << row.why;
            }
        }
    }
}

TEST_F(CertInfoTest, writeCertInfoJson_optionalItemsAndBlockCommas) {
    CertAttributes main = {{"type", "JPKI"}, {"serial", "01"}, {"to", "t"}, {"x", "ignored"}};
    CertAttributes jpki = {{"name", "n"},       {"scname", "sn"}, {"address", "a"},
                           {"scaddress", "sa"}, {"birth", "b"},   {"gender", "g"}};
    ByteBuffer out;
    ASSERT_EQ(mv::writeCertInfoJson(main, {{"c", "JP"}}, {{"ou", "1"}, {"ou", "2"}}, jpki, {}, out),
              0);
    EXPECT_EQ(text(out),
              "{\n  \"type\":\"JPKI\",\n  \"serial\":\"01\",\n  \"to\":\"t\",\n  \"issuer\":{\n"
              "    \"c\":\"JP\"\n  },\n  \"subject\":{\n    \"ou\":\"1\",\n    \"ou\":\"2\"\n  },\n"
              "  \"jpki\":{\n    \"name\":\"n\",\n    \"scname\":\"sn\",\n    \"address\":\"a\",\n"
              "    \"scaddress\":\"sa\",\n    \"birth\":\"b\",\n    \"gender\":\"g\"\n  }\n}\n");
}

TEST_F(CertInfoTest, parseName_emptyAndMalformedNames_giveEmptyList) {
    CertNameList list = {{"stale", "entry"}};
    const unsigned char empty[] = {0x30, 0x00};
    EXPECT_EQ(mv::parseName(list, sizeof empty, empty), 0);
    EXPECT_TRUE(list.empty());
    list = {{"stale", "entry"}};
    const unsigned char cut[] = {0x30, 0x09, 0x31, 0x07, 0x30, 0x05, 0x06, 0x03, 0x55};
    EXPECT_EQ(mv::parseName(list, sizeof cut, cut), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(CertInfoTest, parseName_bmpStringWithUnpairedSurrogateAndNul_keepsEveryUnit) {
    // cn as BMPString: U+D800 (unpaired), U+0000, 'A'
    const unsigned char name[] = {0x30, 0x11, 0x31, 0x0F, 0x30, 0x0D, 0x06, 0x03, 0x55, 0x04,
                                  0x03, 0x1E, 0x06, 0xD8, 0x00, 0x00, 0x00, 0x00, 0x41};
    CertNameList list;
    mv::parseName(list, sizeof name, name);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].first, "cn");
    EXPECT_EQ(list[0].second, std::string("\xEF\xBF\xBD\0A", 5));
}

}  // namespace
