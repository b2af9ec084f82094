// The store signer on real NSS databases and SoftHSM2 tokens, for what the launched program's
// tests (tests/app, tests/e2e) cannot reach or tell apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "Fixtures.h"
#include "signers/capi/QuarnelCapi.h"

namespace {

using fixtures::hexOf;
using fixtures::readCert;
using fixtures::textOf;
using fixtures::u16;
using mv::ByteBuffer;
using mv::QuarnelCapi;

std::string certHex(const std::string& name) {
    return hexOf(readCert(name));
}

// A fresh HOME per test; each test makes the database it needs.
class QuarnelCapiTest : public ::testing::Test {
protected:
    // The database holding `bundles` (null: made already), and the signer initialised on it.
    void initWith(const char* bundles, int flags, const char16_t* options = nullptr) {
        if (bundles != nullptr) {
            home.makeNssDb(bundles);
        }
        std::u16string err;
        ASSERT_EQ(signer.init(flags, options, &err), 0) << mv::toUtf8String(err.c_str());
    }

    std::string entryHex(size_t i) const {
        const SECItem& der = signer.keys.at(i)->cert->derCert;
        return hexOf(ByteBuffer(der.data, der.data + der.len));
    }
    // The text at `path` of a request document.
    std::u16string xml(const std::string& document, const char16_t* path) {
        return signer.xmlGet(u16(document).c_str(), path);
    }

    fixtures::TempHome home;
    QuarnelCapi signer;
};

TEST_F(QuarnelCapiTest, init_store_listsOnlyCertificatesWithKeyValidNow) {
    // NSS opened without a database (hashing before the user had a store) must not hide the
    // store that the signer opens afterwards.
    auto hashing = mv::nss::openAnyContext();
    initWith("ee ee2 expired notyet", 0x4);
    // Not the expired one, not the one valid from 2090, not the CA without key.
    ASSERT_EQ(signer.getStatus(), 2);
    EXPECT_EQ((std::set<std::string>{entryHex(0), entryHex(1)}),
              (std::set<std::string>{certHex("ee"), certHex("ee2")}));
}

// (A malformed option comes through the program in QuarnelCmdTest; the card providers that ask
// for a PIN are SignerDialogsUiTest's.)
TEST_F(QuarnelCapiTest, init_withoutKeys_codePlaceAndText) {
    const char16_t* format = u"Error: invalid opt argument format.";
    // why, flags, options, code, error text (null: left alone)
    const std::tuple<const char*, int, const char16_t*, int, const char16_t*> rows[] = {
        {"no database (none may be created)", 0, nullptr, -50, nullptr},
        {"0x800 asks for no key", 0x804, nullptr, 0, u"ok"},
        {"no store, no provider", 0x200, nullptr, -11, u"Error: certificate not found."},
        {"only separators", 0, u"\r\n\t", -10, u"Error: invalid opt argument parse."},
        {"good item then one with five fields", 0x200, u"24:-1:0:missing\n24:-1:0:a:b", -10,
         format},
        {"a final ':' gives one field less", 0x200, u"24:-1:0:", -10, format},
    };
    for (const auto& [why, flags, options, code, errText] : rows) {
        SCOPED_TRACE(why);
        QuarnelCapi signer;
        std::u16string err = u"before";
        EXPECT_EQ(signer.init(flags, options, &err), code);
        EXPECT_EQ(err, errText ? errText : u"before");
        EXPECT_EQ(signer.getErrorMessage(), code ? u"init" : u"");
        EXPECT_EQ(signer.initFlags, code ? 0 : flags);
        EXPECT_FALSE(std::filesystem::exists(home.nssDir()));
    }
}

TEST_F(QuarnelCapiTest, sign_failuresLeaveOutput_signaturesVerifyWithOpenSsl) {
    initWith("ee ee2", 0x4);
    ByteBuffer hash(32, 1), out{'x'};
    const unsigned char* h = hash.data();
    const std::u16string ee = u16(certHex("ee")), keyless = u16(certHex("regist"));
    // why, certificate text, algorithm code, hash, hash length, result
    const std::tuple<const char*, const char16_t*, int, const unsigned char*, int, int> bad[] = {
        {"empty hash", nullptr, 0, h, 0, -10},
        {"nothing chosen", nullptr, 0, h, 32, -11},
        {"text that is no certificate", u"0x3082AB", 0, h, 32, -10},
        {"algorithm 3 without key", u"", 3, h, 32, -11},  // the key is missing first
        {"algorithm 3", ee.c_str(), 3, h, 32, -14},
        {"SHA-384 needs 48 bytes of hash", ee.c_str(), 1, h, 32, -16},
        {"a certificate whose key is nowhere", keyless.c_str(), 0, h, 32, -12},
    };
    for (const auto& [why, cert, algCode, bytes, length, code] : bad) {
        SCOPED_TRACE(why);
        EXPECT_EQ(signer.sign(0, cert, algCode, bytes, length, nullptr, &out), code);
        EXPECT_EQ(signer.getErrorMessage(), u"sign");
        EXPECT_EQ(textOf(out), "x");
    }
    ByteBuffer junk{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(signer.info(&junk, 1, &out), -13) << "not the description's own -1";
    // The chosen key, or the key of a certificate given as text whatever was chosen.
    signer.selected = entryHex(0) == certHex("ee") ? 0 : 1;
    const std::u16string ee2 = u16("0x" + certHex("ee2"));
    // algorithm code, hash length, the hash's name for OpenSSL, certificate text, key
    const std::tuple<int, int, const char*, const char16_t*, const char*> good[] = {
        {1, 48, "sha384", nullptr, "ee"},
        {2, 64, "sha512", nullptr, "ee"},
        {10, 20, "sha1", nullptr, "ee"},
        {2, 64, "sha512", ee2.c_str(), "ee2"},
    };
    for (const auto& [algCode, length, digestName, cert, key] : good) {
        SCOPED_TRACE(std::string(digestName) + " " + key);
        ByteBuffer digest(length, 0x5A), hex;  // OpenSSL takes any bytes of the digest's length
        ASSERT_EQ(signer.sign(0, cert, algCode, digest.data(), length, nullptr, &hex), 0);
        ByteBuffer signature = mv::hexToBytes(textOf(hex));
        EXPECT_EQ(fixtures::verify(key, digestName, digest, signature), 0);
    }
    EXPECT_EQ(signer.getStatus(), 2) << "the given certificate's entry is not kept";
}

TEST_F(QuarnelCapiTest, passwordDatabase_listsWithoutPrompt_signingNeedsThePassword) {
    home.makeNssDb("ee");
    ASSERT_EQ(home.quietly("cd " + home.home +
                           " && echo >old.pw && echo secret >new.pw && certutil -W -d sql:" +
                           home.nssDir() + " -f old.pw -@ new.pw"),
              0);
    initWith(nullptr, 0x4);
    ASSERT_EQ(signer.getStatus(), 1);
    ByteBuffer out, hash(32, 7);
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    // The password prompt answers Cancel without a display: no key.
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -12);
    EXPECT_EQ(signer.getErrorMessage(), u"sign");
}

// A card certificate for ee's key of exactly `size` bytes, from the test authority, with the key in
// <name>.p12 beside gencerts.sh's files: an extension of filler is sized so.
void makeCardBundle(const std::string& name, size_t size) {
    const std::string dir = fixtures::certDir() + "/";
    size_t filler = size - 1000;
    for (int pass = 0; pass < 2; ++pass) {
        std::ofstream(dir + name + ".cnf")
            << "[x]\n1.2.3.4 = ASN1:FORMAT:HEX,OCTETSTRING:" << std::string(2 * filler, 'A')
            << "\n";
        ASSERT_EQ(fixtures::TempHome::quietly(
                      "cd " + dir + " && export OPENSSL_CONF=/dev/null && openssl req -new -key " +
                      "ee.key -subj /CN=Card | openssl x509 -req -in /dev/stdin -CA ca.pem " +
                      "-CAkey ca.key -set_serial 0x30 -days 3650 -extfile " + name +
                      ".cnf -extensions x -outform DER -out " + name + ".der"),
                  0);
        filler += size - std::filesystem::file_size(dir + name + ".der");
    }
    ASSERT_EQ(std::filesystem::file_size(dir + name + ".der"), size);
    ASSERT_EQ(fixtures::TempHome::quietly("cd " + dir + " && openssl x509 -inform DER -in " + name +
                                          ".der | openssl pkcs12 -export -inkey ee.key -name " +
                                          name + " -passout pass:test -out " + name + ".p12"),
              0);
}

// The card of the silent row (its PKCS#11 module registered under that row's name) holding
// `bundle`: ee2 as make-token.sh writes it, or a bundle that NSS imports (pkcs11-tool cannot write
// a certificate of 20 KB).
void addSilentCard(fixtures::TempHome& home, const std::string& bundle) {
    const std::string module = "NEC Secure Ware AES Cryptographic Provider";
    home.makeNssDb("");
    if (bundle == "ee2") {
        home.addSoftHsmToken(bundle);
        home.registerSoftHsm(module);
        return;
    }
    ASSERT_EQ(fixtures::TempHome::quietly(std::string(QUARNEL_TEST_SUPPORT_DIR) +
                                          "/make-token.sh " + home.home + " card - -"),
              0);
    home.registerSoftHsm(module);
    ASSERT_EQ(fixtures::TempHome::quietly("pk12util -d sql:" + home.nssDir() +
                                          " -h card -K 1234 -W test -i " + fixtures::certDir() +
                                          "/" + bundle + ".p12"),
              0);
}

// A card of the silent row is read without its PIN: "cert" with the card flag after an init that
// loaded nothing finds it; its key asks for the PIN when it signs, which without a display is
// Cancel (the PIN typed is SignerDialogsUiTest's). A certificate the card provider could not hand
// over (over 20480 bytes) leaves the card unusable.
TEST_F(QuarnelCapiTest, silentCardRow_listedWithoutPin_keyAsksAtSigning_certificateBound) {
    makeCardBundle("card20480", 20480);
    makeCardBundle("card20481", 20481);
    // why, the card's bundle, result of cert
    const std::tuple<const char*, const char*, int> rows[] = {
        {"the card's certificate", "ee2", 0},
        {"a certificate of the bound", "card20480", 0},
        {"one byte more", "card20481", -11},
    };
    for (const auto& [why, bundle, code] : rows) {
        SCOPED_TRACE(why);
        fixtures::TempHome card;
        addSilentCard(card, bundle);
        QuarnelCapi signer;
        std::u16string err;
        ASSERT_EQ(signer.init(0x804, nullptr, &err), 0);
        ByteBuffer out, hash(32, 1);
        ASSERT_EQ(signer.cert(0x100, nullptr, &out), code);
        if (code == 0) {
            EXPECT_EQ(textOf(out), certHex(bundle));
            EXPECT_EQ(signer.keys.at(0)->sourceId, 4);
            EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -12);
        }
    }
}

TEST_F(QuarnelCapiTest, xadd_table) {
    // why, name, URI, data, result
    const std::tuple<const char*, const char16_t*, const char16_t*, const char16_t*, int> rows[] = {
        {"first", u"", u"#a", u"QUJD", 0},
        {"empty names do not clash", u"", u"#b", u"QUJD", 0},
        {"same URI", u"n1", u"#a", u"QUJD", -111},
        {"named", u"n1", u"#c", u"QUJD", 0},
        {"same name", u"n1", u"#d", u"QUJD", -111},
        {"data decodes to nothing", u"n2", u"#g", u"!!!!", -10},
    };
    for (const auto& [why, name, uri, data, code] : rows) {
        EXPECT_EQ(signer.xadd(0, name, uri, data), code) << why;
        EXPECT_EQ(signer.getErrorMessage(), code ? u"xadd" : u"") << why;
    }
    EXPECT_EQ(signer.close(0, 0), 0);
    EXPECT_EQ(signer.xadd(0, u"", u"#a", u"QUJD"), 0) << "a new list after close";
}

// A local program in the signing server's place: it keeps the request it reads beside itself and
// answers with `reply`.
void responder(const std::string& path, const std::string& reply) {
    std::ofstream(path) << "#!/bin/sh\ncat >\"$0.xml\"\nprintf '%s' '" << reply << "'\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// The one-call exchange (no road of the program takes it): both uploads, the signature over the
// server's hash, and the end after an answer without hash.
TEST_F(QuarnelCapiTest, http_exchangeWithLocalProgram_signatureVerifies_endsWithoutHash) {
    home.makeNssDb("ee");
    ByteBuffer hash(48, 0x33);  // SHA-384's length
    const std::string dir = home.home + "/";
    responder(dir + "cert",
              "<QrnResponse result=\"OK\"><hash>" + hexOf(hash) + "</hash></QrnResponse>");
    responder(dir + "sign", "<QrnResponse result=\"OK\" redirect=\"https://example.jp/done\"/>");
    std::u16string url = u16("debug://" + dir), redirect;
    // 0x4 is cleared: both uploads carry request documents. The trace (0x1000) announces each
    // step in a box; without a display the boxes go to standard error and the run goes on.
    ASSERT_EQ(
        signer.http(0x1004, nullptr, url.c_str(), u"S-1", u"cert", u"sign", 1, 0, 0, &redirect), 0);
    EXPECT_EQ(redirect, u"https://example.jp/done");
    EXPECT_EQ(xml(fixtures::readText(dir + "cert.xml"), u"/QrnRequest/cert"), u16(certHex("ee")));
    std::string signRequest = fixtures::readText(dir + "sign.xml");
    EXPECT_EQ(xml(signRequest, u"/QrnRequest/@sid"), u"S-1");
    std::u16string signature = xml(signRequest, u"/QrnRequest/sign");
    EXPECT_EQ(fixtures::verify("ee", "sha384", hash, mv::hexToBytesW(signature.c_str())), 0);

    // An answer without a hash ends the exchange after the certificate upload.
    std::filesystem::remove(dir + "sign.xml");
    responder(dir + "cert", "<QrnResponse result=\"OK\"/>");
    QuarnelCapi fresh;
    EXPECT_EQ(fresh.httpExec(0, nullptr, url.c_str(), u"S", nullptr, nullptr, 0, 0, 0, nullptr,
                             u"cert", 0, nullptr, u"sign", 0, nullptr, 0, 0, &redirect),
              0);
    EXPECT_FALSE(std::filesystem::exists(dir + "sign.xml"));
}

}  // namespace
