#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <regex>

#include "Fixtures.h"
#include "signers/capi/QuarnelCapi.h"
#include "signers/pkcs11/QuarnelP11.h"

namespace {

using fixtures::textOf;
using fixtures::u16;
using mv::ByteBuffer;
using mv::QuarnelCapi;

int count(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return static_cast<int>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// The store signer over a fresh NSS database holding one signing certificate.
class XadesTest : public ::testing::Test {
protected:
    void useCertificate(const std::string& bundle) {
        home.makeNssDb(bundle);
        std::u16string err;
        ASSERT_EQ(signer.init(0, nullptr, &err), 0);
        ASSERT_EQ(signer.cert(0, nullptr, nullptr), 0);
    }

    // The document signed (null id: enveloped), with the result code.
    int sign(const std::string& xml, const char* id, std::string& out, int algCode = 0) {
        std::u16string text = u16(xml), idText = id != nullptr ? u16(id) : u"";
        ByteBuffer bytes;
        int r = signer.xades(0, algCode, text.c_str(), id != nullptr ? idText.c_str() : nullptr,
                             nullptr, nullptr, &bytes);
        out = textOf(bytes);
        return r;
    }

    // xmlsec1's verdict on the signed text, the data files of its references beside it.
    int verify(const std::string& signedXml, const std::string& idAttrs = "") {
        std::string file = home.home + "/signed.xml";
        std::ofstream(file, std::ios::binary) << signedXml;
        return fixtures::run(
            "cd " + home.home + " && xmlsec1 --verify --trusted-pem " + fixtures::certDir() +
            "/ca.pem --id-attr:Id http://uri.etsi.org/01903/v1.3.2#:SignedProperties " + idAttrs +
            " " + file + " >" + home.home + "/xmlsec.log 2>&1");
    }

    fixtures::TempHome home;
    QuarnelCapi signer;
};

// Every signed document verifies with xmlsec1; each row is a shape of input that once broke a
// signature (a namespace or xml:* attribute in scope of the Signature, a reference that
// contains the Signature, nodes outside the top element, text that is not ASCII). xmlsec1
// canonicalizes with libxml2, so together the rows hold each rule of inclusive C14N that our
// own canonical walk implements; fuzz/xml_references.cpp compares the two on any document.
TEST_F(XadesTest, xades_documentTable_verifiesWithXmlsec1_tamperedFails_chainOfThree_data) {
    fixtures::setZone("JST-9");
    useCertificate("chained");  // its bundle holds the intermediate too
    // A plain document of 8 MiB: records of short values, as dense as business records come.
    std::string ledger = "<ledger>";
    for (int n = 0; ledger.size() < 8 << 20; ++n) {
        ledger += "\n  <entry no=\"" + std::to_string(n) +
                  "\">\n    <name>山田 太郎</name><amount " + "currency=\"JPY\">" +
                  std::to_string(n * 7) +
                  "</amount>\n    <note>plain &amp; simple</note>\n  </entry>";
    }
    ledger += "\n</ledger>";
    // A data table of about 8 MB, one short cell after another; empty elements, the densest tree.
    std::string table = "<data Id=\"d1\">\n", empty = "<r>";
    for (int n = 0; table.size() < 8000000; ++n) {
        table += "\t<r>";
        for (int c = 0; c < 8; ++c) {
            table += "<c>" + std::to_string((n + c) % 10) + "</c>";
        }
        table += "</r>\n";
    }
    table += "</data>";
    while (empty.size() < 2 << 20) {
        empty += "<a/>";
    }
    empty += "</r>";
    // An Id on every row: in a document type that declares it ID, or as the rows' xml:id too.
    std::string declaredRows = "<!DOCTYPE rows [<!ATTLIST row Id ID #IMPLIED>]><rows>",
                xmlIdRows = "<rows>";
    for (int n = 0; n < 20000; ++n) {
        const std::string id = "r" + std::to_string(n), value = std::to_string(n * 7);
        declaredRows += "<row Id=\"" + id + "\">" + value + "</row>";
        xmlIdRows += "<row Id=\"" + id + "\" xml:id=\"x" + id + "\">" + value + "</row>";
    }
    declaredRows += "</rows>";
    xmlIdRows += "</rows>";
    // A document that carries an earlier signature of ours below its top element.
    std::string earlier;
    ASSERT_EQ(sign("<doc><a>t</a></doc>", nullptr, earlier), 0);
    earlier = "<r><w Id=\"outer\">" + earlier.substr(earlier.find("<doc>")) + "</w></r>";
    // reason, document, Id of the element to sign (null: enveloped), xmlsec1's Id attributes
    const std::tuple<const char*, std::string, const char*, const char*> rows[] = {
        {"default and prefixed namespaces and xml:lang on the top element; declared again "
         "with the same URI; the default undeclared and declared again below; attributes ordered "
         "by namespace URI, not by prefix",
         "<r xmlns=\"urn:d\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xml:lang=\"ja\" xml:space=\"preserve\"><a xmlns:xsi=\"http://www.w3.org/2001/"
         "XMLSchema-instance\" xsi:type=\"t\">x</a><f xmlns=\"\"><g "
         "xmlns=\"urn:d\"/></f><e xmlns:z=\"urn:a\" xmlns:a=\"urn:z\" a:k=\"1\" z:k=\"2\" "
         "b=\"3\"/></r>",
         nullptr, ""},
        {"by Id deep in the tree, prefixed namespace and xml:lang above it, a comment inside",
         "<r xmlns:p=\"urn:p\" xml:lang=\"en\"><x><p:item Id=\"target\"><!--c--><b>v</b>"
         "</p:item></x><y Id=\"other\"/></r>",
         "target", "--id-attr:Id urn:p:item"},
        {"by Id on the top element, which will contain the Signature",
         "<r Id=\"root\" xmlns:q=\"urn:q\"><a q:at=\"1\"/></r>", "root", "--id-attr:Id r"},
        {"by ID when no element has the Id", "<r><b ID=\"only\"> t </b></r>", "only",
         "--id-attr:ID b"},
        {"an xml-stylesheet instruction, comments and whitespace before and after the top "
         "element, an instruction after it; escapes in text and attributes",
         "<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>\n<!-- "
         "head -->\n<doc>\n  <!-- c -->\n  <a v=\"&quot;&#9;&#10;&#13;&lt;&amp;'\"> x &amp;&lt;&gt;"
         "&#13;<![CDATA[<&>]]></a>\n</doc>\n<!-- tail --><?pi after?>",
         nullptr, ""},
        {"a document type; Japanese text, attribute and element names",
         "<!DOCTYPE 文書 [<!ELEMENT 文書 ANY>]><文書 "
         "属性=\"値\"><項目>日本語のテキスト</項目></文書>",
         nullptr, ""},
        // The signature's own Ids stay unique beside every ID of the document, whatever its
        // attribute, and a redundant empty default namespace is never written.
        {"the element signed holds the Id of the signed properties",
         "<r><a Id=\"MVXDS01-xades\">x</a></r>", "MVXDS01-xades", "--id-attr:Id a"},
        {"xml:id holds the signed properties' Id",
         "<r xml:id=\"MVXDS01-xades\"><c xmlns=\"\"><d xmlns=\"\"/></c></r>", nullptr, ""},
        {"IDs of the document type hold the signature's Ids",
         "<!DOCTYPE r [<!ATTLIST b key ID #IMPLIED>]><r><b key=\"MVXDS01-xades\"/><b "
         "key=\"MVXDS01-xades-obj\"/></r>",
         nullptr, ""},
        {"an earlier signature inside, signed again by an outer Id", earlier, "outer",
         "--id-attr:Id w --id-attr:Id http://www.w3.org/2000/09/xmldsig#:Signature --node-id "
         "MVXDS012"},
        {"by Id below an empty default namespace",
         "<r xmlns=\"urn:d\"><f xmlns=\"\"><a "
         "Id=\"t\"><b xmlns=\"\"/></a></f></r>",
         "t", "--id-attr:Id a"},
        {"a plain document of 8 MiB", ledger, nullptr, ""},
        {"an Id on every row, of a type that the document type declares ID", declaredRows, "r1000",
         ""},
        {"an Id and an xml:id on every row", xmlIdRows, "r1000", "--id-attr:Id row"},
        {"a data table of 8 MB", table, "d1", "--id-attr:Id data"},
        {"empty elements, 2 MiB", empty, nullptr, ""},
        {"a feed whose document type declares an entity from outside that nothing uses",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE rss [<!ENTITY % HTMLlat1 PUBLIC \"-//W3C//ENTITIES "
         "Latin 1 for XHTML//EN\" \"http://www.w3.org/TR/xhtml1/DTD/xhtml-lat1.ent\">]>\n<rss "
         "version=\"2.0\"><channel><title>T &amp; &#233;</title><item><link>http://x/?a=1&amp;"
         "b=2</link></item></channel></rss>",
         nullptr, ""},
        {"a document type that declares a parameter entity nothing uses",
         "<!DOCTYPE r [<!ENTITY % p \"x\">]><r>x</r>", nullptr, ""},
        {"a declared encoding other than UTF-8",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><doc>漢字</doc>", nullptr, ""},
        {"Japanese text past libxml2's first read under a declared Shift_JIS",
         mv::test::japaneseAnswer("Shift_JIS", "x"), nullptr, ""},
        {"a greater-than sign in an attribute value", "<a v=\"x&gt;y\"/>", nullptr, ""},
        // Ids that the reference carries as written, characters a URI would escape among them;
        // verifiers read "%" as itself.
        {"an Id with %20", "<r><a Id=\"a%20b\">x</a></r>", "a%20b", "--id-attr:Id a"},
        {"an Id with braces", "<r><a Id=\"a{b}\">x</a></r>", "a{b}", "--id-attr:Id a"},
        {"an Id with |", "<r><a Id=\"a|b\">x</a></r>", "a|b", "--id-attr:Id a"},
        {"an Id with ^", "<r><a Id=\"a^b\">x</a></r>", "a^b", "--id-attr:Id a"},
        {"an Id with `", "<r><a Id=\"a`b\">x</a></r>", "a`b", "--id-attr:Id a"},
        {"an Id with \\", "<r><a Id=\"a\\b\">x</a></r>", "a\\b", "--id-attr:Id a"},
        {"an Id with <", "<r><a Id=\"a&lt;b\">x</a></r>", "a<b", "--id-attr:Id a"},
        {"an Id with >", "<r><a Id=\"a>b\">x</a></r>", "a>b", "--id-attr:Id a"},
        {"an Id with brackets", "<r><a Id=\"a[b]\">x</a></r>", "a[b]", "--id-attr:Id a"},
        {"an Id with #", "<r><a Id=\"a#b\">x</a></r>", "a#b", "--id-attr:Id a"},
        {"an Id with parentheses that close what they open", "<r><a Id=\"f(x)\">x</a></r>", "f(x)",
         "--id-attr:Id a"},
        // The XPointer around the id opens one parenthesis that the id may close and open again.
        {"an Id with )(", "<r><a Id=\"a)(b\">x</a></r>", "a)(b", "--id-attr:Id a"},
        // An Id in a namespace is no Id to a verifier, so it claims nothing.
        {"by Id beside an element that holds it in a namespace",
         "<r><b x:Id=\"t\" xmlns:x=\"urn:x\">o</b><a Id=\"t\">x</a></r>", "t", "--id-attr:Id a"},
    };
    for (const auto& [reason, xml, id, idAttrs] : rows) {
        std::string out;
        ASSERT_EQ(sign(xml, id, out), 0) << reason;
        EXPECT_EQ(verify(out, idAttrs), 0) << reason << "\n"
                                           << out << "\n"
                                           << fixtures::readText(home.home + "/xmlsec.log");
    }
    // A plain document, enveloped: the whole shape of its output (">B<": Base64 values), and a
    // change after signing. The main reference: URI "", enveloped-signature then C14N; SHA-256
    // throughout; a 2048-bit key's modulus is 344 Base64 characters, 65537 is AQAB.
    const std::string shape =
        R"(<doc><a>text</a><Signature xmlns="http://www.w3.org/2000/09/xmldsig#" Id="MVXDS01">)"
        R"(<SignedInfo><CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-)"
        R"(20010315"/><SignatureMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#rsa-)"
        R"(sha256"/><Reference URI="" Id="MVXDS01-ref-0"><Transforms><Transform Algorithm=)"
        R"("http://www.w3.org/2000/09/xmldsig#enveloped-signature"/><Transform Algorithm=)"
        R"("http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/></Transforms><DigestMethod )"
        R"(Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/><DigestValue>B</DigestValue>)"
        R"(</Reference><Reference URI="#MVXDS01-xades" Id="MVXDS01-xades-ref" Type="http://)"
        R"(uri.etsi.org/01903#SignedProperties"><Transforms><Transform Algorithm="http://www.w3.)"
        R"(org/TR/2001/REC-xml-c14n-20010315"/></Transforms><DigestMethod Algorithm="http://www.)"
        R"(w3.org/2001/04/xmlenc#sha256"/><DigestValue>B</DigestValue></Reference></SignedInfo>)"
        R"(<SignatureValue>B</SignatureValue><KeyInfo><X509Data><X509Certificate>B)"
        R"(</X509Certificate><X509Certificate>B</X509Certificate><X509Certificate>B)"
        R"(</X509Certificate></X509Data><KeyValue>)"
        R"(<RSAKeyValue><Modulus>[A-Za-z0-9+/]{342}==</Modulus><Exponent>AQAB</Exponent>)"
        R"(</RSAKeyValue></KeyValue></KeyInfo><Object Id="MVXDS01-xades-obj"><QualifyingProperties)"
        R"( xmlns="http://uri.etsi.org/01903/v1.3.2#" Target="#MVXDS01"><SignedProperties Id=)"
        R"("MVXDS01-xades"><SignedSignatureProperties><SigningTime>([^<]*)</SigningTime>)"
        R"(<SigningCertificateV2><Cert><CertDigest><DigestMethod xmlns="http://www.w3.org/2000/)"
        R"(09/xmldsig#" Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/><DigestValue xmlns=)"
        R"("http://www.w3.org/2000/09/xmldsig#">B</DigestValue></CertDigest><IssuerSerialV2>B)"
        R"(</IssuerSerialV2></Cert></SigningCertificateV2></SignedSignatureProperties>)"
        R"(</SignedProperties></QualifyingProperties></Object></Signature></doc>\n$)";
    std::string out;
    ASSERT_EQ(sign("<doc><a>text</a></doc>", nullptr, out), 0);
    std::smatch found;
    ASSERT_TRUE(std::regex_search(
        out, found, std::regex(std::regex_replace(shape, std::regex(">B<"), ">[A-Za-z0-9+/=]+<"))))
        << out;
    // The signing time is UTC in any zone (Tokyo here, nine hours off).
    std::tm tm{};
    ASSERT_NE(strptime(found[1].str().c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << found[1];
    EXPECT_LT(std::abs(timegm(&tm) - std::time(nullptr)), 3600) << found[1];
    EXPECT_EQ(verify(out), 0);
    EXPECT_NE(verify(std::regex_replace(out, std::regex("<a>text</a>"), "<a>texT</a>")), 0);

    // Two additional items; the data is present as files beside the signed document, as a
    // verifier finds it.
    std::ofstream(home.home + "/one.bin", std::ios::binary) << "first data";
    std::ofstream(home.home + "/two.txt", std::ios::binary) << "second";
    ASSERT_EQ(signer.xadd(0, u"data1", u"one.bin", u"Zmlyc3QgZGF0YQ=="), 0);
    ASSERT_EQ(signer.xadd(0, u"", u"two.txt", u"c2Vjb25k"), 0);
    // The algorithm code names the digest of the additional items; the signature stays
    // rsa-sha256.
    const std::pair<int, const char*> algorithms[] = {
        {10, "2000/09/xmldsig#sha1"},
        {1, "2001/04/xmldsig-more#sha384"},
        {2, "2001/04/xmlenc#sha512"},
    };
    for (const auto& [code, uri] : algorithms) {
        // The input already holds the signature's and the main reference's Ids.
        ASSERT_EQ(sign("<r><a Id=\"MVXDS01\"/><b Id=\"MVXDS01-ref-0\"/><c Id=\"data1\"/></r>",
                       nullptr, out, code),
                  0);
        EXPECT_EQ(verify(out), 0) << out << fixtures::readText(home.home + "/xmlsec.log");
        EXPECT_EQ(count(out, std::string("<DigestMethod Algorithm=\"http://www.w3.org/") + uri), 2)
            << uri;
    }
    EXPECT_EQ(count(out, "<Signature [^>]*Id=\"MVXDS012\""), 1);
    EXPECT_EQ(count(out, "Target=\"#MVXDS012\""), 1);
    EXPECT_EQ(count(out, "<Reference URI=\"\" Id=\"MVXDS01-ref-02\">"), 1);
    EXPECT_EQ(count(out, "<Reference URI=\"one.bin\" Id=\"data12\"><DigestMethod"), 1);
    EXPECT_EQ(count(out, "<Reference URI=\"two.txt\"><DigestMethod"), 1);
    EXPECT_EQ(count(out, "rsa-sha256"), 1);
}

TEST_F(XadesTest, xades_failures_codeAndPlace_outputUntouched) {
    QuarnelCapi fresh;
    ByteBuffer out{'x'};
    std::u16string doc = u"<doc/>";
    EXPECT_EQ(fresh.xades(0, 0, doc.c_str(), nullptr, nullptr, nullptr, &out), -11)
        << "no certificate chosen";
    useCertificate("ee");
    // A shape that costs libxml2 minutes.
    std::u16string attributes = u"<r Id=\"x\"";
    for (int n = 0; n < 2000; ++n) {
        attributes += u" a" + u16(std::to_string(n)) + u"=\"1\"";
    }
    attributes += u"/>";
    // Entities that refer to entities, their markup written in UTF-7 under a declaration of it.
    std::string types = "<!ENTITY a0 \"\"><!ENTITY a1 \"", body;
    for (int n = 0; n < 1000; ++n) {
        types += "&a0;";
        body += "&a1;";
    }
    const std::u16string hidden =
        u16(mv::test::hiddenUnderUtf7("<!DOCTYPE r [" + types + "\">]><r>" + body + "</r>"));
    // reason, document, Id, algorithm code, result
    const std::tuple<const char*, const char16_t*, const char16_t*, int, int> rows[] = {
        {"no text", nullptr, nullptr, 0, -10},
        {"an unknown algorithm code", doc.c_str(), nullptr, 3, -14},
        {"an empty Id", doc.c_str(), u"", 0, -10},
        {"an empty text", u"", nullptr, 0, -142},
        {"not well-formed", u"<doc><a></doc>", nullptr, 0, -141},
        {"thousands of attributes on one element", attributes.c_str(), u"x", 0, -141},
        {"a signature already", u"<r><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"/></r>",
         nullptr, 0, -142},
        {"no element has the Id", u"<r><a Id=\"x\"/></r>", u"y", 0, -133},
        {"two elements have the Id", u"<r><a Id=\"x\"/><b Id=\"x\"/></r>", u"x", 0, -133},
        {"another element has it as xml:id", u"<r><a Id=\"t\">x</a><b xml:id=\"t\">o</b></r>", u"t",
         0, -133},
        {"another element has it as an ID of the document type",
         u"<!DOCTYPE r [<!ATTLIST b k ID #IMPLIED>]><r><a ID=\"t\"/><b k=\"t\"/></r>", u"t", 0,
         -133},
        {"an Id that a reference cannot carry", u"<r><a Id=\"a b\">x</a></r>", u"a b", 0, -133},
        // Ids that verifiers cannot resolve: each would be signed and never verify.
        {"an Id with an apostrophe", u"<r><a Id=\"a'b\">x</a></r>", u"a'b", 0, -133},
        {"an Id with a parenthesis left open", u"<r><a Id=\"a(b\">x</a></r>", u"a(b", 0, -133},
        {"an Id that closes a parenthesis it never opens", u"<r><a Id=\"a)b\">x</a></r>", u"a)b", 0,
         -133},
        {"an Id that closes two parentheses before it opens them", u"<r><a Id=\"a))((b\">x</a></r>",
         u"a))((b", 0, -133},
        {"an Id with ^ before ^", u"<r><a Id=\"a^^b\">x</a></r>", u"a^^b", 0, -133},
        // The reference names its target by Id (or ID): other kinds of ID only keep it unique.
        {"the element has the Id only as xml:id", u"<r><a xml:id=\"t\">x</a></r>", u"t", 0, -133},
        {"the element has the Id only in a namespace",
         u"<r><a x:Id=\"t\" xmlns:x=\"urn:x\">x</a></r>", u"t", 0, -133},
        {"the element has the Id in a namespace and as xml:id",
         u"<r><a x:Id=\"t\" xml:id=\"t\" xmlns:x=\"urn:x\">x</a></r>", u"t", 0, -133},
        {"the element has the Id only as an ID of the document type",
         u"<!DOCTYPE r [<!ATTLIST a k ID #IMPLIED>]><r><a k=\"t\">x</a></r>", u"t", 0, -133},
        // Refused before it is parsed: canonical XML could not hold the reference either.
        {"an entity reference", u"<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>", nullptr, 0, -141},
        {"entities written in UTF-7: read as UTF-8, text outside the top element", hidden.c_str(),
         nullptr, 0, -141},
        // A node that canonical XML cannot hold: no digest can be made.
        {"a relative namespace URI", u"<r xmlns:p=\"relative\"/>", nullptr, 0, -133},
    };
    for (const auto& [reason, xml, id, algCode, code] : rows) {
        EXPECT_EQ(signer.xades(0, algCode, xml, id, nullptr, nullptr, &out), code) << reason;
        EXPECT_EQ(signer.getErrorMessage(), u"xades") << reason;
        EXPECT_EQ(out, ByteBuffer{'x'}) << reason;
    }
    ASSERT_EQ(signer.xadd(1, u"n", u"u", u"AAAA"), 0);
    EXPECT_EQ(signer.xades(0, 0, doc.c_str(), nullptr, nullptr, nullptr, &out), -144);
}

// The PKCS#11 signer on a SoftHSM2 token: a PIN entry that is cancelled (without a display the
// dialog answers Cancel) ends with -142 and no output; with the PIN the signature verifies.
TEST_F(XadesTest, xades_pkcs11SoftHsm_cancelledPinMinus142_verifiesWithPin) {
    home.addSoftHsmToken("ee");
    mv::QuarnelP11 p11;
    std::u16string err;
    ASSERT_EQ(p11.init(0x4, u16(fixtures::TempHome::softHsmLibrary()).c_str(), &err), 0);
    ASSERT_EQ(p11.cert(0, u"1234", nullptr), 0);
    std::u16string doc = u"<r xmlns:p=\"urn:p\"><p:a Id=\"x\">t</p:a></r>";
    ByteBuffer out{'x'};
    EXPECT_EQ(p11.xades(0, 0, doc.c_str(), u"x", nullptr, nullptr, &out), -142);
    EXPECT_EQ(out, ByteBuffer{'x'});
    ASSERT_EQ(p11.xades(0, 0, doc.c_str(), u"x", nullptr, u"1234", &out), 0);
    EXPECT_EQ(verify(textOf(out), "--id-attr:Id urn:p:a"), 0) << textOf(out);
}

}  // namespace
