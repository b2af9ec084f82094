#include <gtest/gtest.h>

#include <tuple>

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
    // type: 0 plain, 1 self-issued, 2 JPKI names, 3 registration; the bad and overrun
    // extensions fall back to 0
    const std::pair<const char*, int> rows[] = {
        {"ca", 1},           {"ee", 0},     {"selfissued", 1},   {"jpki", 2},
        {"jpkidup", 2},      {"regist", 3}, {"both", 3},         {"japanesebmp", 0},
        {"japaneseutf8", 0}, {"names", 0},  {"registbadlen", 0}, {"registoverrun", 0},
        {"jpkioverrun", 0},
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
    const ByteBuffer ee = fixtures::readCert("ee");
    // ee with its notBefore (UTCTime 200101000000Z) changed to the given year, month and day.
    auto notBefore = [&ee](const char* date) {
        std::string der = textOf(ee);
        return mv::test::bytesOf(der.replace(der.find("\x17\r200101") + 2, 6, date));
    };
    ByteBuffer leapDay;
    ASSERT_EQ(mv::getCertInfo(notBefore("200229"), 0, leapDay), 0);
    EXPECT_NE(textOf(leapDay).find("\"from\":\"2020-02-29T09:00:00\""), std::string::npos);
    const std::pair<const char*, ByteBuffer> rows[] = {
        {"notBefore on 30 February", notBefore("200230")},
        {"notBefore in 1950: before the first convertible time", notBefore("500101")},
        {"notAfter 9999-12-31: beyond the local-time conversion", fixtures::readCert("forever")},
        {"JPKI attributes without gender", fixtures::readCert("jpkimissing")},
        {"registration attributes without title", fixtures::readCert("registmissing")},
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

// The ends of the range (a GeneralizedTime may carry fractions of a second; whole years beyond
// are the failure table's).
TEST_F(CertInfoTest, fileTimeToText_localTimeWithinTheRange) {
    const int64_t EPOCH = 116444736000000000LL, SECOND = 10000000;
    // FILETIME, text in UTC+9 (null: refused)
    const std::tuple<int64_t, const char*> rows[] = {
        {EPOCH - 1, "1970-01-01T09:00:00"},  // rounds toward zero
        {EPOCH + 32535244799LL * SECOND, "3001-01-01T16:59:59"},
        {EPOCH + 32535244800LL * SECOND, nullptr},
    };
    for (const auto& [fileTime, text] : rows) {
        std::string out = "unchanged";
        EXPECT_STREQ(mv::fileTimeToText(out, fileTime), text) << fileTime;
        EXPECT_EQ(out, text ? text : "unchanged") << fileTime;
    }
}

// Bytes from hexadecimal pairs, spaces allowed.
ByteBuffer bytes(std::string hex) {
    std::erase(hex, ' ');
    return mv::hexToBytes(hex);
}

TEST_F(CertInfoTest, derLength_threeForms) {
    const std::tuple<const char*, int, int> rows[] = {
        {"05", 1, 5},
        {"83 010203", 1, 0x83},  // indefinite and long forms above two octets: the byte
        {"81 C8", 2, 200},
        {"82 0100", 3, 256},
        {"82 8000", 3, -32768},  // a signed 16-bit number
    };
    for (const auto& [hex, size, expected] : rows) {
        int length = 12345;
        EXPECT_EQ(mv::derLength(bytes(hex).data(), &length), size) << hex;
        EXPECT_EQ(length, expected) << hex;
    }
}

// Runs `reader` on an exact-size heap copy of each value, so that the sanitizers see any read
// past its end. (Cut length fields and other reads past the end are the cert_info fuzz target's
// part; these rows pin what a malformed value yields.)
void expectAttributes(
    void (*reader)(const unsigned char*, size_t, CertAttributes&),
    const std::vector<std::tuple<const char*, ByteBuffer, CertAttributes>>& rows) {
    for (const auto& [why, value, expected] : rows) {
        ByteBuffer copy(value);  // allocated at its size
        CertAttributes out;
        reader(copy.data(), copy.size(), out);
        EXPECT_EQ(out, expected) << why;
    }
}

TEST_F(CertInfoTest, readRegistAttributes_malformedValues_yieldWhatFits) {
    // [0] corp, [3] name, [4] title, [6] issue; UTF8String "A" is 0C 01 41
    expectAttributes(
        mv::readRegistAttributes,
        {
            {"empty value still counts", bytes("3004 A302 0C00"), {{"name", ""}}},
            {"later tag replaces", bytes("300A A003 0C0141 A003 0C0142"), {{"corp", "B"}}},
            {"sequence longer than value", bytes("3006 A003 0C0141"), {}},
            {"empty sequence", bytes("3000"), {}},
            {"not a sequence", bytes("3105 A003 0C0141"), {}},
            {"good then cut", bytes("3008 A603 0C0149 A003 0C"), {{"issue", "I"}}},
            {"negative two-byte length", bytes("3007 A003 0C828000 41"), {}},
        });
}

TEST_F(CertInfoTest, readJpkiAttributes_otherNames_checkedAgainstTheirValue) {
    // SEQUENCE { [0] { OID 1.2.392.200149.8.5.5.<n>, [0] { string } } }: 1 name, 3 gender
    const std::string name = "060A 2A83088C9B5508050501", gender = "060A 2A83088C9B5508050503";
    expectAttributes(mv::readJpkiAttributes,
                     {
                         {"string type not examined",
                          bytes("3013 A011" + gender + "A003 130131"),
                          {{"gender", "1"}}},
                         {"zero length passed over", bytes("3012 A010" + name + "A002 0C00"), {}},
                         {"malformed sequence", bytes("3005A0"), {}},
                         {"trailing bytes", bytes("3013 A011" + name + "A003 0C0141 00"), {}},
                     });
}

TEST_F(CertInfoTest, parseName_bmpUnitsKeptOneByOne_staleEntriesGo) {
    // cn as BMPString: U+D800 (unpaired), U+0000, 'A'
    CertNameList list = {{"stale", "entry"}};
    ByteBuffer name = bytes("3011 310F 300D 0603550403 1E06 D800 0000 0041");
    EXPECT_EQ(mv::parseName(list, name.size(), name.data()), 0);
    EXPECT_EQ(list, (CertNameList{{"cn", std::string("\xEF\xBF\xBD\0A", 5)}}));
}

}  // namespace
