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

// The target is the one element that holds the Id under any kind of ID, as Id or ID; the
// signature's own Ids are unique against every kind (Id, ID, xml:id, an ID that the document
// type declares, read as libxml2's xmlIsID reads the declarations). libxml2 registers no ID of the
// input: the builder indexes them once.
TEST(Builder, idsOfTheInput_targetAndUniqueIdsFromEveryKind) {
    std::string rows = "<r>";
    for (int n = 0; n < 100000; ++n) {
        rows += "<row Id=\"r" + std::to_string(n) + "\" xml:id=\"r" + std::to_string(n) + "\"/>";
    }
    rows += "<b ID=\"r100\"/></r>";
    const struct {
        const char* why;
        std::string xml;
        int reference;       // addReferenceById("t")
        const char* unique;  // makeUniqueId("t")
    } table[] = {
        {"an Id and an xml:id of the same value on one element",
         "<r><a Id=\"t\" xml:id=\"t\"/></r>", 0, "t2"},
        {"an xml:id of another element", "<r><a Id=\"t\"/><b xml:id=\"t\"/></r>", -133, "t2"},
        {"ID on one element, Id on another", "<r><a ID=\"t\"/><b Id=\"t\"/></r>", -133, "t2"},
        {"an Id in a namespace claims nothing",
         "<r xmlns:p=\"urn:p\"><a Id=\"t\"/><b p:Id=\"t\"/></r>", 0, "t2"},
        {"an ID declared for a prefixed element and attribute",
         "<!DOCTYPE r [<!ATTLIST p:b p:k ID #IMPLIED>]><r xmlns:p=\"urn:p\"><a Id=\"t\"/>"
         "<p:b p:k=\"t\"/></r>",
         -133, "t2"},
        {"the same element under another prefix of the same namespace is not declared",
         "<!DOCTYPE r [<!ATTLIST p:b k ID #IMPLIED>]><r xmlns:q=\"urn:p\"><a Id=\"t\"/>"
         "<q:b k=\"t\"/></r>",
         0, "t2"},
        {"the first declaration of an attribute counts, a later ID one not",
         "<!DOCTYPE r [<!ATTLIST b k CDATA #IMPLIED><!ATTLIST b k ID #IMPLIED>]><r><a "
         "Id=\"t\"/><b k=\"t\"/></r>",
         0, "t2"},
        {"the taken values t and t2", "<r><a Id=\"t\"/><b k=\"u\" xml:id=\"t2\"/></r>", 0, "t3"},
        {"only an ID of the document type holds it",
         "<!DOCTYPE r [<!ATTLIST a k ID #IMPLIED>]><r><a k=\"t\"/></r>", -133, "t2"},
        {"no element holds it", "<r><a Id=\"u\"/></r>", -133, "t"},
    };
    for (const auto& row : table) {
        mv::XmlSignatureBuilder builder;
        ASSERT_EQ(builder.init("S"), 0);
        ASSERT_EQ(builder.loadDocument(reinterpret_cast<const unsigned char*>(row.xml.data()),
                                       row.xml.size()),
                  0)
            << row.why;
        EXPECT_EQ(builder.inputDoc->ids, nullptr) << row.why;
        EXPECT_EQ(builder.addReferenceById("t", nullptr), row.reference) << row.why;
        EXPECT_EQ(builder.makeUniqueId("t"), row.unique) << row.why;
    }
    // An Id and an xml:id on each of 100,000 rows, and one row's value held by another element as
    // ID.
    mv::XmlSignatureBuilder builder;
    ASSERT_EQ(builder.init("S"), 0);
    ASSERT_EQ(
        builder.loadDocument(reinterpret_cast<const unsigned char*>(rows.data()), rows.size()), 0);
    EXPECT_EQ(builder.addReferenceById("r99999", nullptr), 0);
    EXPECT_EQ(builder.addReferenceById("r100", nullptr), -133);
    EXPECT_EQ(builder.makeUniqueId("r1"), "r110000");  // r12 to r19999 are rows
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
