#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "Fixtures.h"
#include "signers/CertInfo.h"

namespace {

using fixtures::textOf;
using mv::ByteBuffer;
using mv::CertAttributes;
using mv::CertNameList;

// Certificate times read as local time; the descriptions were written for UTC+9.
class CertInfoTest : public ::testing::Test {
protected:
    void SetUp() override { fixtures::setZone("JST-9"); }
};

TEST_F(CertInfoTest, getCertInfo_eachFixture_matchesExpectedDocumentsInBothFormats) {
    const std::pair<const char*, int> rows[] = {
        {"ca", 1},     {"ee", 0},           {"ee2", 0},           {"expired", 0},
        {"notyet", 0}, {"selfissued", 1},   {"jpki", 2},          {"jpkidup", 2},
        {"regist", 3}, {"both", 3},         {"japanesebmp", 0},   {"japaneseutf8", 0},
        {"names", 0},  {"registbadlen", 0}, {"registoverrun", 0}, {"jpkioverrun", 0},
    };
    for (const auto& [cert, type] : rows) {
        ByteBuffer der = fixtures::readCert(cert);
        ASSERT_FALSE(der.empty()) << cert;
        // Format bit 0 alone chooses: 0 and 2 give JSON, 1 and 3 give XML.
        for (int format : {0, 1, 2, 3}) {
            ByteBuffer out;
            EXPECT_EQ(mv::getCertInfo(der, format, out), type) << cert << " " << format;
            EXPECT_EQ(textOf(out), fixtures::readText(std::string(QUARNEL_TEST_DATA_DIR) + "/" +
                                                      cert + (format & 1 ? ".xml" : ".json")))
                << cert << " " << format;
        }
    }
}

TEST_F(CertInfoTest, getCertInfo_failures_returnMinusOneAndLeaveOutputUntouched) {
    ByteBuffer ee = fixtures::readCert("ee");
    const std::pair<const char*, ByteBuffer> rows[] = {
        {"notAfter 9999-12-31: beyond the local-time conversion", fixtures::readCert("forever")},
        {"JPKI attributes without gender", fixtures::readCert("jpkimissing")},
        {"registration attributes without title", fixtures::readCert("registmissing")},
        {"empty", {}},
        {"one byte", {ee.begin(), ee.begin() + 1}},
        {"half", {ee.begin(), ee.begin() + ee.size() / 2}},
        {"last byte missing", {ee.begin(), ee.end() - 1}},
    };
    for (const auto& [why, der] : rows) {
        for (int format : {0, 1}) {
            ByteBuffer out{'x'};
            EXPECT_EQ(mv::getCertInfo(der, format, out), -1) << why;
            EXPECT_EQ(textOf(out), "x") << why;
        }
    }
}

TEST_F(CertInfoTest, fileTimeToText_localTimeWithinTheRange) {
    const int64_t EPOCH = 116444736000000000LL;
    struct Row {
        const char* zone;
        int64_t fileTime;
        const char* text;  // null: refused
    } rows[] = {
        {"JST-9", EPOCH, "1970-01-01T09:00:00"},
        {"UTC0", EPOCH, "1970-01-01T00:00:00"},
        {"JST-9", EPOCH - 1, "1970-01-01T09:00:00"},  // rounds toward zero
        {"JST-9", EPOCH - 10000000, nullptr},
        {"JST-9", EPOCH + 32535244799LL * 10000000, "3001-01-01T16:59:59"},
        {"JST-9", EPOCH + 32535244800LL * 10000000, nullptr},
        {"JST-9", 0, nullptr},
        {"JST-9", INT64_MIN, nullptr},
        {"JST-9", INT64_MAX, nullptr},
    };
    for (const Row& row : rows) {
        fixtures::setZone(row.zone);
        std::string out = "unchanged";
        const char* r = mv::fileTimeToText(out, row.fileTime);
        EXPECT_STREQ(r, row.text) << row.fileTime;
        EXPECT_EQ(out, row.text ? row.text : "unchanged") << row.fileTime;
    }
}

TEST_F(CertInfoTest, derLength_threeForms) {
    const std::tuple<ByteBuffer, int, int> rows[] = {
        {{0x05}, 1, 5},
        {{0x80}, 1, 0x80},  // indefinite and long forms above two octets are read as the byte
        {{0x83, 1, 2, 3}, 1, 0x83},
        {{0x81, 0xC8}, 2, 200},
        {{0x82, 0x01, 0x00}, 3, 256},
        {{0x82, 0x80, 0x00}, 3, -32768},  // a signed 16-bit number
        {{0x82, 0xFF, 0xFF}, 3, -1},
    };
    for (const auto& [bytes, size, expected] : rows) {
        int length = 12345;
        EXPECT_EQ(mv::derLength(bytes.data(), &length), size);
        EXPECT_EQ(length, expected);
    }
}

struct AttributeRow {
    const char* why;
    ByteBuffer value;
    CertAttributes expected;
};

// Runs `reader` on an exact-size heap copy of each value, so that the sanitizers see any read
// past its end.
void expectAttributes(void (*reader)(const unsigned char*, size_t, CertAttributes&),
                      const std::vector<AttributeRow>& rows) {
    for (const AttributeRow& row : rows) {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[row.value.size()]);
        std::copy(row.value.begin(), row.value.end(), copy.get());
        CertAttributes out;
        reader(copy.get(), row.value.size(), out);
        EXPECT_EQ(out, row.expected) << row.why;
    }
}

TEST_F(CertInfoTest, readRegistAttributes_malformedValues_yieldWhatFitsAndNeverReadPastTheEnd) {
    expectAttributes(
        mv::readRegistAttributes,
        {
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
        });
}

// SEQUENCE { each entry }, short lengths only.
ByteBuffer wrap(unsigned char tag, std::initializer_list<ByteBuffer> parts) {
    ByteBuffer out = {tag, 0};
    for (const ByteBuffer& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    out[1] = static_cast<unsigned char>(out.size() - 2);
    return out;
}

// otherName 1.2.392.200149.8.5.5.<n> [0] { w }
ByteBuffer otherName(unsigned char n, ByteBuffer w) {
    return wrap(0xA0, {{0x06, 0x0A, 0x2A, 0x83, 0x08, 0x8C, 0x9B, 0x55, 0x08, 0x05, 0x05, n},
                       wrap(0xA0, {w})});
}

TEST_F(CertInfoTest, readJpkiAttributes_otherNames_checkedAgainstTheirValue) {
    ByteBuffer trailing = wrap(0x30, {otherName(1, {0x0C, 0x01, 'A'})});
    trailing.push_back(0);
    expectAttributes(
        mv::readJpkiAttributes,
        {
            {"name", wrap(0x30, {otherName(1, {0x0C, 0x02, 'A', 'B'})}), {{"name", "AB"}}},
            {"string type not examined",
             wrap(0x30, {otherName(3, {0x13, 0x01, '1'})}),
             {{"gender", "1"}}},
            {"zero length passed over", wrap(0x30, {otherName(1, {0x0C, 0x00})}), {}},
            {"length beyond value", wrap(0x30, {otherName(1, {0x0C, 0x05, 'A'})}), {}},
            {"length field cut", wrap(0x30, {otherName(1, {0x0C, 0x82, 0x00})}), {}},
            {"negative length", wrap(0x30, {otherName(1, {0x0C, 0x82, 0x80, 0x00, 'A'})}), {}},
            {"only a tag", wrap(0x30, {otherName(1, {0x0C})}), {}},
            {"unknown identifier", wrap(0x30, {otherName(7, {0x0C, 0x01, 'A'})}), {}},
            {"later replaces",
             wrap(0x30, {otherName(5, {0x0C, 0x01, 'A'}), otherName(5, {0x0C, 0x01, 'B'})}),
             {{"address", "B"}}},
            {"other general names skipped",
             wrap(0x30, {{0x82, 0x03, 'a', '.', 'b'}, otherName(4, {0x0C, 0x01, '9'})}),
             {{"birth", "9"}}},
            {"malformed sequence", {0x30, 0x05, 0xA0}, {}},
            {"trailing bytes", trailing, {}},
        });
}

TEST_F(CertInfoTest, writers_missingItems_giveTheirCodesAndLeaveOutputUntouched) {
    const CertAttributes main = {{"type", "CERT"}, {"serial", "01"}, {"from", "f"}, {"to", "t"}};
    const CertNameList names = {{"cn", "x"}};
    const CertAttributes jpki = {{"name", "n"}, {"address", "a"}, {"birth", "b"}, {"gender", "g"}};
    const CertAttributes regist = {{"corp", "c"}, {"address", "a"}, {"name", "n"}, {"title", "t"}};
    // `map` without `key`, and with "other" in its place if `other` is set.
    auto without = [](CertAttributes map, const char* key, const char* other = nullptr) {
        map.erase(key);
        if (other != nullptr) {
            map[other] = "o";
        }
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
        {"five entries", without(main, "none", "x"), names, names, {}, {}, -1},
        {"no issuer", main, {}, names, {}, {}, -2},
        {"no subject", main, names, {}, {}, {}, -3},
        {"no type", without(main, "type", "x"), names, names, {}, {}, -10},
        {"no serial", without(main, "serial", "x"), names, names, {}, {}, -11},
        {"no from is fine", without(main, "from", "x"), names, names, {}, {}, 0},
        {"no to", without(main, "to", "x"), names, names, {}, {}, -13},
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
                EXPECT_EQ(textOf(out), "x") << row.why;
            }
        }
    }
    // Without "from" the line is left out and the other fourth entry is not written.
    ByteBuffer out;
    ASSERT_EQ(mv::writeCertInfoJson(without(main, "from", "x"), {{"c", "JP"}}, names, {}, {}, out),
              0);
    EXPECT_EQ(textOf(out),
              "{\n  \"type\":\"CERT\",\n  \"serial\":\"01\",\n  \"to\":\"t\",\n  \"issuer\":{\n"
              "    \"c\":\"JP\"\n  },\n  \"subject\":{\n    \"cn\":\"x\"\n  }\n}\n");
}

TEST_F(CertInfoTest, parseName_emptyMalformedAndOddBmpNames) {
    const std::tuple<const char*, ByteBuffer, CertNameList> rows[] = {
        {"empty", {0x30, 0x00}, {}},
        {"cut", {0x30, 0x09, 0x31, 0x07, 0x30, 0x05, 0x06, 0x03, 0x55}, {}},
        // cn as BMPString: U+D800 (unpaired), U+0000, 'A'; every unit is kept
        {"bmp",
         {0x30, 0x11, 0x31, 0x0F, 0x30, 0x0D, 0x06, 0x03, 0x55, 0x04, 0x03, 0x1E, 0x06, 0xD8, 0x00,
          0x00, 0x00, 0x00, 0x41},
         {{"cn", std::string("\xEF\xBF\xBD\0A", 5)}}},
    };
    for (const auto& [why, name, expected] : rows) {
        CertNameList list = {{"stale", "entry"}};
        EXPECT_EQ(mv::parseName(list, name.size(), name.data()), 0) << why;
        EXPECT_EQ(list, expected) << why;
    }
}

}  // namespace
