#include <gtest/gtest.h>
#include <nss.h>
#include <pk11pub.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>

#include "Fixtures.h"
#include "exchange/QuarnelHttp.h"
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

ByteBuffer hashOf(mv::AlgId alg, const std::string& data) {
    ByteBuffer out;
    EXPECT_EQ(QuarnelCapi::hashData(alg, reinterpret_cast<const unsigned char*>(data.data()),
                                    static_cast<int>(data.size()), &out),
              0);
    return out;
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
        EXPECT_EQ(err, u"ok");
        EXPECT_EQ(signer.initFlags, flags);
    }

    // The database holding `bundles` and a SoftHSM token holding ee2 under the given providers;
    // with `login` the user has given its PIN, which lasts while NSS keeps the database open.
    void tokenAs(const char* bundles, std::initializer_list<const char*> providers, bool login) {
        home.makeNssDb(bundles);
        home.addSoftHsmToken("ee2");
        for (const char* provider : providers) {
            home.registerSoftHsm(provider);
        }
        if (login) {
            loginContext.reset(
                NSS_InitContext(("sql:" + home.nssDir()).c_str(), "", "", "", nullptr, 0),
                NSS_ShutdownContext);
            PK11SlotList* slots = PK11_GetAllTokens(CKM_INVALID_MECHANISM, 0, 0, nullptr);
            ASSERT_NE(slots, nullptr);
            for (PK11SlotListElement* e = slots->head; e != nullptr; e = e->next) {
                if (std::string(PK11_GetTokenName(e->slot)) == "card") {
                    EXPECT_EQ(PK11_CheckUserPassword(e->slot, "1234"), SECSuccess);
                }
            }
            PK11_FreeSlotList(slots);
        }
    }

    std::string entryHex(size_t i) const {
        const SECItem& der = signer.keys.at(i)->cert->derCert;
        return hexOf(ByteBuffer(der.data, der.data + der.len));
    }
    std::vector<int> sourceIds() const {
        std::vector<int> ids;
        for (const mv::CapiKeyEntry* entry : signer.keys) {
            ids.push_back(entry->sourceId);
        }
        return ids;
    }
    // The text at `path` of a request document.
    std::u16string xml(const std::string& document, const char16_t* path) {
        return signer.xmlGet(u16(document).c_str(), path);
    }

    fixtures::TempHome home;
    std::shared_ptr<NSSInitContext> loginContext;
    QuarnelCapi signer;
};

TEST_F(QuarnelCapiTest, init_store_listsOnlyCertificatesWithKeyValidNow_0x800_none) {
    // NSS opened without a database (hashing before the user had a store) must not hide the
    // store that the signer opens afterwards.
    auto hashing = mv::nss::openAnyContext();
    initWith("ee ee2 expired notyet", 0x4);
    // Not the expired one, not the one valid from 2090, not the CA without key.
    EXPECT_EQ((std::set<std::string>{entryHex(0), entryHex(1)}),
              (std::set<std::string>{certHex("ee"), certHex("ee2")}));
    EXPECT_EQ(sourceIds(), (std::vector<int>{0, 0}));

    QuarnelCapi none;
    std::u16string err;
    ASSERT_EQ(none.init(0x804, nullptr, &err), 0);
    EXPECT_EQ(none.getStatus(), 0);
    ByteBuffer out;
    EXPECT_EQ(none.cert(0, nullptr, &out), -11);
    EXPECT_EQ(none.getErrorMessage(), u"cert");
    // With 0x100 the card providers are opened; none is registered here.
    EXPECT_EQ(none.cert(0x100, nullptr, &out), -11);
}

TEST_F(QuarnelCapiTest, init_failures_giveCodePlaceAndText) {
    const char16_t* format = u"Error: invalid opt argument format.";
    const char16_t* notFound = u"Error: certificate not found.";
    // why, flags, options, code, error text (null: left alone)
    const std::tuple<const char*, int, const char16_t*, int, const char16_t*> rows[] = {
        {"no database (none may be created)", 0, nullptr, -50, nullptr},
        {"only separators", 0, u"\r\n\t", -10, u"Error: invalid opt argument parse."},
        {"good item then a bad one", 0x200, u"24:-1:0:missing\n1:2", -10, format},
        {"no store, no provider", 0x200, nullptr, -11, notFound},
        {"provider missing", 0x200, u"24:-1:0:No Such Provider", -11, notFound},
    };
    for (const auto& [why, flags, options, code, errText] : rows) {
        SCOPED_TRACE(why);
        QuarnelCapi signer;
        std::u16string err = u"before";
        EXPECT_EQ(signer.init(flags, options, &err), code);
        EXPECT_EQ(err, errText ? errText : u"before");
        EXPECT_EQ(signer.getErrorCode(), code);
        EXPECT_EQ(signer.getErrorMessage(), u"init");
        EXPECT_EQ(signer.initFlags, 0);
        if (code == -50) {
            EXPECT_FALSE(std::filesystem::exists(home.nssDir()));
            home.makeNssDb("ee");
        }
    }
}

TEST_F(QuarnelCapiTest, init_order_optionItemsThenCardTableThenStore_cardKeySigns) {
    tokenAs(
        "ee ee2",
        {"JPKI Crypto Service Provider for Sign", "DNP Standard-9 Cryptographic Service Provider"},
        true);
    // Item ids count the entries already loaded: the skipped first item leaves 20 for the next.
    initWith(nullptr, 0x100,
             u"24:-1:0:No Such Provider\r\n"
             u":: 0:JPKI Crypto Service Provider for Sign\t"
             u"1:1:64:DNP Standard-9 Cryptographic Service Provider");
    EXPECT_EQ(sourceIds(), (std::vector<int>{20, 21, 1, 6, 0, 0}));
    EXPECT_EQ(signer.keys[0]->keySpecOverride, 0);
    EXPECT_EQ(signer.keys[1]->keySpecOverride, 1);
    EXPECT_EQ(signer.keys[3]->keySpecOverride, 1);  // the DNP row
    EXPECT_EQ(entryHex(0), certHex("ee2"));
    // init does not empty the list first.
    std::u16string err;
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    EXPECT_EQ(signer.getStatus(), 8);
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0x100, nullptr, &out), -10) << "card flag while entries are loaded";
    EXPECT_EQ(signer.getErrorMessage(), u"cert");
    // The card row's key signs into a request document.
    signer.selected = 2;
    ByteBuffer hash = hashOf(mv::CALG_SHA_256, "provider");
    ASSERT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), 0);
    EXPECT_EQ(xml(textOf(out), u"/QrnRequest/@type"), u"QRN_SIGN");
    std::u16string signature = xml(textOf(out), u"/QrnRequest/sign");
    EXPECT_EQ(fixtures::verify("ee2", "sha256", hash, mv::hexToBytesW(signature.c_str())), 0);
}

TEST_F(QuarnelCapiTest, init_lockedToken_silentItemSkipped_promptCancelledWithoutDisplay) {
    tokenAs("", {"JPKI Crypto Service Provider for Sign"}, false);
    std::u16string err;
    // Acquire flag 0x40 never prompts; without it the prompt answers Cancel (no display).
    EXPECT_EQ(signer.init(0x200, u"24:-1:64:JPKI Crypto Service Provider for Sign", &err), -11);
    EXPECT_EQ(signer.init(0x300, nullptr, &err), -11);
    EXPECT_EQ(signer.getStatus(), 0);
}

TEST_F(QuarnelCapiTest, parseOptArg_fields) {
    // item, result, provider type, keySpec, acquire flags, provider name
    const std::tuple<const char16_t*, int, unsigned, int, unsigned, const char16_t*> rows[] = {
        {u"24:-1:0:My Provider Name", 0, 24, -1, 0, u"My Provider Name"},
        {u"::0:Name", 0, 0, 0, 0, u"Name"},  // empty fields read as 0
        {u" +1: -7x:64abc:N", 0, 1, -7, 64, u"N"},
        // out of range: INT_MAX and INT_MIN, not the low bits (4294967360 is 2^32 + 0x40)
        {u"4294967360:-99999999999:4294967360:N", 0, 0x7FFFFFFF, INT_MIN, 0x7FFFFFFF, u"N"},
        {u"24:-1:0:", -1, 0, 0, 0, nullptr},  // a final ':' gives one field less
        {u"24:-1:0:a:b", -1, 0, 0, 0, nullptr},
        {u"24", -1, 0, 0, 0, nullptr},
        {u"", -1, 0, 0, 0, nullptr},
    };
    for (const auto& [item, result, provType, keySpec, flags, name] : rows) {
        SCOPED_TRACE(mv::toUtf8String(item));
        QuarnelCapi::OptArg arg;
        ASSERT_EQ(signer.parseOptArg(item, arg), result);
        if (result == 0) {
            EXPECT_EQ(std::tie(arg.id, arg.provType, arg.keySpecOverride, arg.acquireFlags),
                      std::make_tuple(20, provType, keySpec, flags));
            EXPECT_EQ(arg.cspName, name);
        }
    }
}

// (The choice on flag 0x1 and the request document without 0x4 are taken through the program in
// UrlRoadTest and QuarnelCmdTest.)
TEST_F(QuarnelCapiTest, close_releasesTheKeysButKeepsTheExchange) {
    initWith("ee", 0x4);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    EXPECT_EQ(textOf(out), certHex("ee"));
    signer.httpSet(nullptr, u"SID-42", nullptr);
    EXPECT_EQ(signer.close(7, 9), 0);
    EXPECT_EQ(std::tie(signer.selected, signer.initFlags), std::make_tuple(-1, 0));
    EXPECT_EQ(signer.getStatus(), 0);
    EXPECT_EQ(signer.exchange->sid, u"SID-42");
    ByteBuffer hash(32, 1);
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -11);
}

TEST_F(QuarnelCapiTest, sign_failuresLeaveOutput_signaturesVerifyWithOpenSsl) {
    initWith("ee ee2", 0x4);
    ByteBuffer hash = hashOf(mv::CALG_SHA_256, "x"), out{'x'};
    const unsigned char* h = hash.data();
    const std::u16string ee = u16(certHex("ee")), keyless = u16(certHex("regist"));
    // why, certificate text, algorithm code, hash, hash length, result
    const std::tuple<const char*, const char16_t*, int, const unsigned char*, int, int> bad[] = {
        {"no hash", nullptr, 0, nullptr, 32, -10},
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
    // The chosen key, or the key of a certificate given as text whatever was chosen.
    signer.selected = entryHex(0) == certHex("ee") ? 0 : 1;
    const std::u16string ee2 = u16("0x" + certHex("ee2"));
    // algorithm code, hash algorithm, its name for OpenSSL, certificate text, key
    const std::tuple<int, mv::AlgId, const char*, const char16_t*, const char*> good[] = {
        {1, mv::CALG_SHA_384, "sha384", nullptr, "ee"},
        {2, mv::CALG_SHA_512, "sha512", nullptr, "ee"},
        {10, mv::CALG_SHA1, "sha1", nullptr, "ee"},
        {2, mv::CALG_SHA_512, "sha512", ee2.c_str(), "ee2"},
    };
    for (const auto& [algCode, alg, digestName, cert, key] : good) {
        SCOPED_TRACE(std::string(digestName) + " " + key);
        ByteBuffer digest = hashOf(alg, "signed data"), hex;
        int length = static_cast<int>(digest.size());
        ASSERT_EQ(signer.sign(0, cert, algCode, digest.data(), length, nullptr, &hex), 0);
        ByteBuffer signature = mv::hexToBytes(textOf(hex));
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_EQ(fixtures::verify(key, digestName, digest, signature), 0);
    }
    EXPECT_EQ(signer.getStatus(), 2) << "the given certificate's entry is not kept";
}

TEST_F(QuarnelCapiTest, passwordDatabase_listsWithoutPrompt_signingNeedsThePassword) {
    home.makeNssDb("ee");
    std::ofstream(home.home + "/old.pw") << "\n";
    std::ofstream(home.home + "/new.pw") << "secret\n";
    ASSERT_EQ(fixtures::run("certutil -W -d sql:" + home.nssDir() + " -f " + home.home +
                            "/old.pw -@ " + home.home + "/new.pw >/dev/null 2>&1"),
              0);
    initWith(nullptr, 0x4);
    ASSERT_EQ(signer.getStatus(), 1);
    ByteBuffer out, hash(32, 7);
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    // The password prompt answers Cancel without a display: no key.
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -12);
    EXPECT_EQ(signer.getErrorMessage(), u"sign");
}

TEST_F(QuarnelCapiTest, xadd_table) {
    // why, name, URI, data, result
    const std::tuple<const char*, const char16_t*, const char16_t*, const char16_t*, int> rows[] = {
        {"first", u"", u"#a", u"QUJD", 0},
        {"empty names do not clash", u"", u"#b", u"QUJD", 0},
        {"same URI", u"n1", u"#a", u"QUJD", -111},
        {"named", u"n1", u"#c", u"QUJD", 0},
        {"same name", u"n1", u"#d", u"QUJD", -111},
        {"null name", nullptr, u"#e", u"QUJD", -10},
        {"no URI and no data", u"n2", nullptr, nullptr, -10},
        {"URI without data", u"n2", u"#f", nullptr, -111},
        {"data decodes to nothing", u"n2", u"#g", u"!!!!", -10},
    };
    for (const auto& [why, name, uri, data, code] : rows) {
        EXPECT_EQ(signer.xadd(0, name, uri, data), code) << why;
        EXPECT_EQ(signer.getErrorMessage(), code ? u"xadd" : u"") << why;
    }
    ASSERT_EQ(signer.xaddItems.size(), 3u);
    EXPECT_EQ(textOf(signer.xaddItems[2].data), "ABC");
    EXPECT_EQ(signer.xaddItems[2].name, "n1");
    EXPECT_EQ(signer.close(0, 0), 0);
    EXPECT_TRUE(signer.xaddItems.empty());
    EXPECT_EQ(signer.xadd(0, u"", u"#a", u"QUJD"), 0) << "a new list after close";
}

TEST_F(QuarnelCapiTest, info_typeIndexOrMinus13_hashData_unknownAlgorithmMinus16) {
    ByteBuffer out, ca = readCert("ca"), junk{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(signer.info(&ca, 0, &out), 1);
    EXPECT_EQ(signer.getErrorCode(), 0);
    EXPECT_EQ(signer.info(&junk, 1, &out), -13);
    EXPECT_EQ(signer.getErrorMessage(), u"info");
    EXPECT_EQ(QuarnelCapi::hashData(0x8003, reinterpret_cast<const unsigned char*>("abc"), 3, &out),
              -16);
}

// A local program in the signing server's place: it keeps each request it reads and answers the
// certificate upload with a hash to sign (or none), the signature upload with a redirect.
std::u16string responderUrl(const std::string& dir, const std::string& hashHex) {
    std::string path = dir + "/responder.sh";
    std::string hash = hashHex.empty() ? "" : "<hash>" + hashHex + "</hash>";
    std::ofstream(path)
        << "#!/bin/sh\ncat > " << dir << "/request-$1.xml\n"
        << "if [ \"$1\" = cert ]; then\n"
        << "  printf '<QrnResponse result=\"OK\">" << hash << "</QrnResponse>'\n"
        << "else\n"
        << "  printf '<QrnResponse result=\"OK\" redirect=\"https://example.jp/done\"/>'\n"
        << "fi\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return u16("debug://" + path + " ");
}

TEST_F(QuarnelCapiTest, http_exchangeWithLocalProgram_signatureVerifies_endsWithoutHash) {
    ByteBuffer reply;
    const unsigned char body[] = "x";
    EXPECT_EQ(signer.httpSend(u"path", nullptr, body, 1, 0, 0, &reply), -10);
    EXPECT_EQ(signer.getErrorMessage(), u"httpSend");
    EXPECT_EQ(signer.httpSet(u"debug:///nonexistent/program", nullptr, nullptr), 0);
    EXPECT_EQ(signer.httpSend(u" x", nullptr, body, 1, 0, 0, &reply), -20);
    EXPECT_EQ(signer.getErrorMessage().rfind(u"HttpConnect:", 0), 0u) << "the exchange's place";

    home.makeNssDb("ee");
    ByteBuffer hash = hashOf(mv::CALG_SHA_384, "document");
    std::u16string url = responderUrl(home.home, hexOf(hash)), redirect;
    // 0x4 is cleared: both uploads carry request documents. The trace (0x1000) announces each
    // step in a box; without a display the boxes go to standard error and the run goes on.
    ASSERT_EQ(
        signer.http(0x1004, nullptr, url.c_str(), u"S-1", u"cert", u"sign", 1, 0, 0, &redirect), 0);
    EXPECT_EQ(redirect, u"https://example.jp/done");
    EXPECT_EQ(signer.initFlags, 0x1000);
    std::string certRequest = fixtures::readText(home.home + "/request-cert.xml");
    EXPECT_EQ(xml(certRequest, u"/QrnRequest/cert"), u16(certHex("ee")));
    std::string signRequest = fixtures::readText(home.home + "/request-sign.xml");
    EXPECT_EQ(xml(signRequest, u"/QrnRequest/@sid"), u"S-1");
    std::u16string signature = xml(signRequest, u"/QrnRequest/sign");
    EXPECT_EQ(fixtures::verify("ee", "sha384", hash, mv::hexToBytesW(signature.c_str())), 0);

    // An answer without a hash ends the exchange after the certificate upload.
    std::filesystem::remove(home.home + "/request-sign.xml");
    url = responderUrl(home.home, "");
    redirect = u"unchanged";
    QuarnelCapi fresh;
    EXPECT_EQ(fresh.httpExec(0, nullptr, url.c_str(), u"S", nullptr, nullptr, 0, 0, 0, nullptr,
                             u"cert", 0, nullptr, u"sign", 0, nullptr, 0, 0, &redirect),
              0);
    EXPECT_EQ(redirect, u"unchanged");
    EXPECT_FALSE(std::filesystem::exists(home.home + "/request-sign.xml"));
}

}  // namespace
