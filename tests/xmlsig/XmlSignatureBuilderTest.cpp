// The builder's parts that no verifier checks; the signed documents themselves are verified with
// xmlsec1 in tests/signers/XadesTest.cpp.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstring>
#include <string>

#include "signers/Fixtures.h"
#include "xmlsig/XmlSignatureBuilder.h"

namespace {

using mv::ByteBuffer;

// Only a Signature child of the top node is one already there; the top node may follow an
// xml-stylesheet instruction, no other node.
TEST(Builder, loadDocument_existingSignatureOnlyAsChildOfTheTopNode) {
    const std::string dsig = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/>";
    const std::pair<std::string, int> rows[] = {
        {"<?xml-stylesheet href=\"s\"?><r>" + dsig + "</r>", 1},
        {"<?other x?><r>" + dsig + "</r>", 0},
        {"<r><Signature xmlns=\"urn:x\"/></r>", 0},
        {"<r><a>" + dsig + "</a></r>", 0},
    };
    for (const auto& [xml, result] : rows) {
        mv::XmlSignatureBuilder builder;
        builder.init("MVXDS01");
        EXPECT_EQ(
            builder.loadDocument(reinterpret_cast<const unsigned char*>(xml.data()), xml.size()),
            result)
            << xml;
    }
}

// Only an attribute named exactly Id, in no namespace, is an Id here: the query
// "//*[@Id='...']" finds nothing else.
TEST(Builder, idExists_plainIdAttributeOnly) {
    const struct {
        const char* xml;
        const char* id;
        bool exists;
    } rows[] = {
        {"<r><a Id=\"t\"/></r>", "t", true},
        {"<r><a x:Id=\"t\" xmlns:x=\"urn:x\"/></r>", "t", false},
        {"<r><a ID=\"t\" xml:id=\"t\"/></r>", "t", false},
        {"<r><a Id=\"it's\"/></r>", "it's", false},  // the apostrophe would end the literal
        {"<r><a Id=\"t2\"/></r>", "t", false},
    };
    for (const auto& row : rows) {
        xmlDocPtr doc = xmlReadMemory(row.xml, static_cast<int>(std::strlen(row.xml)), nullptr,
                                      nullptr, XML_PARSE_NONET);
        ASSERT_NE(doc, nullptr) << row.xml;
        EXPECT_EQ(mv::idExists(row.id, doc), row.exists) << row.xml;
        xmlFreeDoc(doc);
    }
}

// IssuerSerialV2 is DER the verifier takes apart: long lengths must use their long forms.
TEST(Builder, issuerSerial_derHeaders) {
    auto header = [](uint32_t length) {
        ByteBuffer out;
        mv::derHeader(length, 0x30, out);
        return out;
    };
    EXPECT_EQ(header(127), (ByteBuffer{0x30, 0x7F}));
    EXPECT_EQ(header(128), (ByteBuffer{0x30, 0x81, 0x80}));
    EXPECT_EQ(header(255), (ByteBuffer{0x30, 0x81, 0xFF}));
    EXPECT_EQ(header(256), (ByteBuffer{0x30, 0x82, 0x01, 0x00}));
    EXPECT_EQ(header(65536), (ByteBuffer{0x30, 0x83, 0x01, 0x00, 0x00}));
    EXPECT_EQ(header(0x1000000), (ByteBuffer{0x30, 0x84, 0x01, 0x00, 0x00, 0x00}));

    fixtures::TempHome home;  // NSS decodes the certificates, never in the user's database
    auto nss = mv::nss::openAnyContext();
    auto issuerSerial = [](const std::string& name) {
        ByteBuffer der = fixtures::readCert(name), serial;
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
        mv::nss::UniqueCert cert(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
        mv::makeIssuerSerial(cert.get(), serial);
        return serial;
    };
    // An issuer Name of 200 bytes and serial 0x16: 30 81 D1 | 30 81 CB | A4 81 C8 Name | 02 01 16.
    ByteBuffer serial = issuerSerial("longee");
    ASSERT_EQ(serial.size(), 212u);
    EXPECT_EQ(ByteBuffer(serial.begin(), serial.begin() + 9),
              (ByteBuffer{0x30, 0x81, 0xD1, 0x30, 0x81, 0xCB, 0xA4, 0x81, 0xC8}));
    std::string issuer(serial.begin() + 9, serial.begin() + 209);
    EXPECT_NE(fixtures::textOf(fixtures::readCert("longca")).find(issuer), std::string::npos)
        << "the issuer's own subject Name, byte for byte";
    EXPECT_EQ(ByteBuffer(serial.end() - 3, serial.end()), (ByteBuffer{0x02, 0x01, 0x16}));
    // Serial 8F1234 is encoded with a leading 0x00 octet, which stays.
    serial = issuerSerial("ee");
    EXPECT_EQ(ByteBuffer(serial.end() - 6, serial.end()),
              (ByteBuffer{0x02, 0x04, 0x00, 0x8F, 0x12, 0x34}));
}

}  // namespace
