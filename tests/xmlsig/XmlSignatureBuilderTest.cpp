#include <gtest/gtest.h>
#include <libxml/c14n.h>

#include <ctime>
#include <string>

#include "signers/Fixtures.h"
#include "xmlsig/XmlSignatureBuilder.h"

namespace {

using mv::ByteBuffer;
using mv::XmlSignatureBuilder;

std::string text(const ByteBuffer& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string sha256Base64(const std::string& data) {
    ByteBuffer digest;
    mv::digestData(mv::CALG_SHA_256, reinterpret_cast<const unsigned char*>(data.data()),
                   data.size(), &digest);
    std::string out;
    mv::base64EncodeVec(digest, out);
    return out;
}

// A builder with its skeleton and `xml` loaded.
struct Loaded {
    explicit Loaded(const std::string& xml) {
        builder.init("MVXDS01");
        loaded =
            builder.loadDocument(reinterpret_cast<const unsigned char*>(xml.data()), xml.size());
    }
    std::string signedInfo() {
        ByteBuffer bytes;
        return builder.canonicalizeSignedInfo(bytes) > 0 ? text(bytes) : "fails";
    }
    XmlSignatureBuilder builder;
    int loaded;
};

// A certificate of gencerts.sh, decoded by NSS (in a fresh HOME, never the user's database).
class BuilderTest : public ::testing::Test {
protected:
    CERTCertificate* cert(const std::string& name) {
        ByteBuffer der = fixtures::readCert(name);
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
        certs.emplace_back(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
        return certs.back().get();
    }
    fixtures::TempHome home;
    std::shared_ptr<mv::nss::Context> nss = mv::nss::openAnyContext();
    std::vector<mv::nss::UniqueCert> certs;
};

TEST(Builder, loadDocument_existingSignatureOnlyAsChildOfTheTopNode) {
    const std::string dsig = "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/>";
    struct Row {
        const char* reason;
        std::string xml;
        int result;
    };
    const Row rows[] = {
        {"after an xml-stylesheet instruction", "<?xml-stylesheet href=\"s\"?><r>" + dsig + "</r>",
         1},
        {"after another instruction", "<?other x?><r>" + dsig + "</r>", 0},
        {"Signature of another namespace", "<r><Signature xmlns=\"urn:x\"/></r>", 0},
        {"deeper in the tree", "<r><a>" + dsig + "</a></r>", 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Loaded(row.xml).loaded, row.result) << row.reason;
    }
}

TEST_F(BuilderTest, references_idsDigestsAndFailures) {
    Loaded doc(
        "<r xmlns:p=\"urn:p\"><a Id=\"MVXDS01\"/><a Id=\"MVXDS012\"/><b ID=\"only\"/>"
        "<c Id=\"c1\"><!--x--> t </c></r>");
    XmlSignatureBuilder& b = doc.builder;
    EXPECT_EQ(b.makeUniqueId("MVXDS01"), "MVXDS013");
    EXPECT_FALSE(mv::idExists("only", b.inputDoc)) << "ID does not count";

    ASSERT_EQ(b.addReferenceById("only", "MVXDS01"), 0) << "the second expression: ID";
    ASSERT_EQ(b.addReferenceById("c1", ""), 0);
    EXPECT_EQ(b.addReferenceById("nope", "x"), -133);
    std::string info = doc.signedInfo();
    // Each element in its namespace context, comments left out, whitespace kept; a reference
    // to an element other than the top one has C14N alone.
    EXPECT_NE(info.find("<Reference Id=\"MVXDS013\" URI=\"#only\"><Transforms><Transform "
                        "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"></Transform>"
                        "</Transforms><DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#"
                        "sha256\"></DigestMethod><DigestValue>" +
                        sha256Base64("<b xmlns:p=\"urn:p\" ID=\"only\"></b>") + "</DigestValue>"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("<Reference URI=\"#c1\">"), std::string::npos) << "no Id when empty";
    EXPECT_NE(info.find(sha256Base64("<c xmlns:p=\"urn:p\" Id=\"c1\"> t </c>")), std::string::npos);
    EXPECT_EQ(info.find("#nope"), std::string::npos) << "a failed reference adds nothing";

    // Data references: the DigestMethod of each algorithm.
    const std::pair<mv::AlgId, const char*> methods[] = {
        {mv::CALG_SHA1, "http://www.w3.org/2000/09/xmldsig#sha1"},
        {mv::CALG_SHA_256, "http://www.w3.org/2001/04/xmlenc#sha256"},
        {mv::CALG_SHA_384, "http://www.w3.org/2001/04/xmldsig-more#sha384"},
        {mv::CALG_SHA_512, "http://www.w3.org/2001/04/xmlenc#sha512"},
    };
    const unsigned char abc[] = {'a', 'b', 'c'};
    for (auto [alg, uri] : methods) {
        Loaded data("<r/>");
        ASSERT_EQ(data.builder.addDataReference("d.bin", abc, 3, alg, "d"), 0);
        EXPECT_NE(data.signedInfo().find(std::string("URI=\"d.bin\"><DigestMethod Algorithm=\"") +
                                         uri + "\">"),
                  std::string::npos)
            << uri;
    }
    mv::test::ScratchDir dir;
    std::ofstream(dir.file("abc.txt")) << "abc";
    Loaded file("<r/>");
    EXPECT_EQ(file.builder.addDataReference(dir.file("abc.txt").c_str(), nullptr, 0, mv::CALG_SHA1,
                                            nullptr),
              0)
        << "the file that the URI names when no data is given";
    EXPECT_NE(file.signedInfo().find("qZk+NkcGgWq6PiVxeFDCbJzQ2J0="), std::string::npos);
    EXPECT_EQ(file.builder.addDataReference(dir.file("missing").c_str(), nullptr, 0, mv::CALG_SHA1,
                                            nullptr),
              -134);
    EXPECT_EQ(file.builder.addDataReference(nullptr, abc, 3, mv::CALG_SHA1, nullptr), -134);
    XmlSignatureBuilder empty;
    EXPECT_EQ(empty.addEnvelopedReference("x"), -138);
    EXPECT_EQ(empty.addReferenceById("x", "y"), -138);
}

TEST_F(BuilderTest, issuerSerial_derHeaders) {
    auto header = [](uint32_t length) {
        ByteBuffer out;
        mv::derHeader(length, 0x30, out);
        return out;
    };
    EXPECT_EQ(header(127), (ByteBuffer{0x30, 0x7F}));
    EXPECT_EQ(header(256), (ByteBuffer{0x30, 0x82, 0x01, 0x00}));
    EXPECT_EQ(header(65536), (ByteBuffer{0x30, 0x83, 0x01, 0x00, 0x00}));
    EXPECT_EQ(header(0x1000000), (ByteBuffer{0x30, 0x84, 0x01, 0x00, 0x00, 0x00}));
    // An issuer Name of 200 bytes and serial 0x16: 30 81 D1 | 30 81 CB | A4 81 C8 Name | 02 01 16.
    ByteBuffer serial;
    mv::makeIssuerSerial(cert("longee"), serial);
    ASSERT_EQ(serial.size(), 212u);
    EXPECT_EQ(ByteBuffer(serial.begin(), serial.begin() + 9),
              (ByteBuffer{0x30, 0x81, 0xD1, 0x30, 0x81, 0xCB, 0xA4, 0x81, 0xC8}));
    std::string issuer(serial.begin() + 9, serial.begin() + 209);
    EXPECT_NE(fixtures::textOf(fixtures::readCert("longca")).find(issuer), std::string::npos)
        << "the issuer's own subject Name, byte for byte";
    EXPECT_EQ(ByteBuffer(serial.end() - 3, serial.end()), (ByteBuffer{0x02, 0x01, 0x16}));
    // Serial 8F1234 is encoded with a leading 0x00 octet, which stays.
    mv::makeIssuerSerial(cert("ee"), serial);
    EXPECT_EQ(ByteBuffer(serial.end() - 6, serial.end()),
              (ByteBuffer{0x02, 0x04, 0x00, 0x8F, 0x12, 0x34}));
}

// Canonical SignedInfo and SignedProperties are those of the place where they stand in the
// output; without declarations or xml:* attributes above the Signature they are the bytes of
// the element standing alone with its own declaration.
TEST_F(BuilderTest, canonicalForms_ofTheirPlaceInTheOutput_signingTimeInUtc) {
    fixtures::setZone("Asia/Tokyo");
    for (const char* top : {"<r>", "<r xmlns=\"urn:d\" xmlns:xsi=\"urn:xsi\" xml:lang=\"ja\">"}) {
        Loaded doc(std::string(top) + "<a/></r>");
        ASSERT_EQ(doc.builder.addEnvelopedReference("ref"), 0);
        ASSERT_EQ(doc.builder.addXadesObject("X", cert("ee")), 0);
        std::string info = doc.signedInfo();
        xmlNodePtr properties =
            xmlDocGetRootElement(doc.builder.signatureDoc)->last->children->children;
        ByteBuffer bytes;
        ASSERT_GT(doc.builder.canonicalizeSignedProperties(properties, bytes), 0);
        std::string signedProperties = text(bytes);

        // The element alone: SignedInfo copied into a document of its own (which gives it the
        // XML-DSig declaration), SignedProperties with the XAdES declaration added.
        auto alone = [](xmlNodePtr node, const char* ns) {
            xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
            xmlNodePtr copy = xmlDocCopyNode(node, doc, 1);
            if (ns != nullptr) {
                xmlNewNs(copy, BAD_CAST ns, nullptr);
            }
            xmlDocSetRootElement(doc, copy);
            xmlChar* out = nullptr;
            int n = xmlC14NDocDumpMemory(doc, nullptr, 0, nullptr, 0, &out);
            std::string result(reinterpret_cast<char*>(out), n);
            xmlFree(out);
            xmlFreeDoc(doc);
            return result;
        };
        bool plain = std::string(top) == "<r>";
        EXPECT_EQ(info == alone(doc.builder.signedInfo, nullptr), plain) << info;
        EXPECT_EQ(signedProperties == alone(properties, mv::XADES_NS), plain) << signedProperties;
        EXPECT_EQ(info.find(" xmlns:xsi=\"urn:xsi\" xml:lang=\"ja\"") != std::string::npos, !plain);
        size_t at = signedProperties.find("<SigningTime>") + 13;
        std::tm tm{};
        ASSERT_NE(strptime(signedProperties.substr(at, 20).c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm),
                  nullptr);
        EXPECT_LE(std::abs(timegm(&tm) - std::time(nullptr)), 5) << signedProperties.substr(at, 20);
    }
}

}  // namespace
