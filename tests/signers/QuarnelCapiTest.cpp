// The store signer on real NSS databases and SoftHSM2 tokens, for what the launched program's
// tests (tests/app, tests/e2e) cannot reach or tell apart.
#include <gtest/gtest.h>
#include <nss.h>
#include <pk11pub.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "Fixtures.h"
#include "exchange/QuarnelHttp.h"
#include "signers/capi/CCapiSelDlg.h"
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
    mv::digestData(alg, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &out);
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

    // The user gives the PIN of the SoftHSM token "card"; it lasts while NSS keeps the database
    // open.
    void logIn() {
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

TEST_F(QuarnelCapiTest, init_store_listsOnlyCertificatesWithKeyValidNow) {
    // NSS opened without a database (hashing before the user had a store) must not hide the
    // store that the signer opens afterwards.
    auto hashing = mv::nss::openAnyContext();
    initWith("ee ee2 expired notyet", 0x4);
    // Not the expired one, not the one valid from 2090, not the CA without key.
    EXPECT_EQ((std::set<std::string>{entryHex(0), entryHex(1)}),
              (std::set<std::string>{certHex("ee"), certHex("ee2")}));
    EXPECT_EQ(sourceIds(), (std::vector<int>{0, 0}));
}

// (An empty store and a malformed option come through the program in QuarnelCmdTest.)
TEST_F(QuarnelCapiTest, init_withoutKeys_codePlaceAndText) {
    const char16_t* format = u"Error: invalid opt argument format.";
    // why, flags, options, code, error text (null: left alone)
    const std::tuple<const char*, int, const char16_t*, int, const char16_t*> rows[] = {
        {"no database (none may be created)", 0, nullptr, -50, nullptr},
        {"0x800 asks for no key", 0x804, nullptr, 0, u"ok"},
        {"only separators", 0, u"\r\n\t", -10, u"Error: invalid opt argument parse."},
        {"good item then one with two fields", 0x200, u"24:-1:0:missing\n1:2", -10, format},
        {"a final ':' gives one field less", 0x200, u"24:-1:0:", -10, format},
        {"five fields", 0x200, u"24:-1:0:a:b", -10, format},
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

// The details of ee from the store and of ee2 from the card with id 6, as gencerts.sh made them:
// ee2 is valid from 2020-03-31T15:00:00Z, the next day nine hours east.
const std::u16string EE_DETAIL =
    u"取得: Windows証明書ストア [個人]\r\n所有者: Test Signer One\r\n"
    u"発行者: Quarnel Test CA\r\n有効期間: 2020/01/01 ～ 2050/01/01\r\n"
    u"シリアル: 00 8f 12 34";
const std::u16string EE2_DETAIL =
    u"取得: IC-CARD [識別No.6]\r\n所有者: Test Signer Two\r\n"
    u"発行者: Quarnel Test CA\r\n有効期間: 2020/04/01 ～ 2050/01/01\r\n"
    u"シリアル: 02";

// A SoftHSM token under two providers' names: locked, it is skipped; once the user gave its PIN
// the entries come as option items, then the card table, then the store, and the choice shows
// where each comes from.
TEST_F(QuarnelCapiTest, init_cardProviders_lockedSkipped_orderOfEntries_choiceTexts_cardSigns) {
    fixtures::setZone("JST-9");
    home.makeNssDb("ee ee2");
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    home.registerSoftHsm("DNP Standard-9 Cryptographic Service Provider");
    std::u16string err;
    // Acquire flag 0x40 never prompts; without it the prompt answers Cancel (no display).
    EXPECT_EQ(signer.init(0x200, u"24:-1:64:JPKI Crypto Service Provider for Sign", &err), -11);
    EXPECT_EQ(signer.init(0x300, nullptr, &err), -11);
    logIn();
    // Item ids count the entries already loaded: the skipped first item leaves 20 for the next.
    // Numbers read as the C library reads them: blanks, a sign, trailing text.
    initWith(nullptr, 0x100,
             u"24:-1:0:No Such Provider\r\n"
             u":: 0:JPKI Crypto Service Provider for Sign\t"
             u" +1: -7x:64abc:DNP Standard-9 Cryptographic Service Provider");
    EXPECT_EQ(sourceIds(), (std::vector<int>{20, 21, 1, 6, 0, 0}));
    EXPECT_EQ(signer.keys[1]->acquireFlags, 64u);
    EXPECT_EQ(entryHex(0), certHex("ee2"));

    mv::CapiKeyEntry broken;  // an entry without certificate shows the error line
    mv::CCapiSelDlg dialog;
    size_t ee = entryHex(4) == certHex("ee") ? 4 : 5;
    dialog.entries = {signer.keys[3], signer.keys[ee], &broken};
    mv::CCapiSelDlg::InitialView view = dialog.onInitDialog();
    EXPECT_EQ(view.lines, (std::vector<std::u16string>{u"[IC] Test Signer Two / Quarnel Test CA",
                                                       u"Test Signer One / Quarnel Test CA",
                                                       u"ERROR:証明書読み込みエラー"}));
    EXPECT_EQ(std::tie(view.okEnabled, view.selection, view.detail),
              std::make_tuple(true, 0, EE2_DETAIL));
    EXPECT_EQ(dialog.onSelChange(1), EE_DETAIL);
    EXPECT_EQ(dialog.onSelChange(3), u"証明書がありません。");
    mv::CCapiSelDlg none;
    view = none.onInitDialog();
    EXPECT_EQ(std::tie(view.okEnabled, view.selection), std::make_tuple(false, -1));
    EXPECT_EQ(none.onOk(0), 1);
    EXPECT_EQ(none.chosenIndex, -1);

    // init does not empty the list first.
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    EXPECT_EQ(signer.getStatus(), 8);
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0x100, nullptr, &out), -10) << "card flag while entries are loaded";
    // The card row's key signs into a request document.
    signer.selected = 2;
    ByteBuffer hash = hashOf(mv::CALG_SHA_256, "provider");
    ASSERT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), 0);
    EXPECT_EQ(xml(textOf(out), u"/QrnRequest/@type"), u"QRN_SIGN");
    std::u16string signature = xml(textOf(out), u"/QrnRequest/sign");
    EXPECT_EQ(fixtures::verify("ee2", "sha256", hash, mv::hexToBytesW(signature.c_str())), 0);
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
    ByteBuffer junk{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(signer.info(&junk, 1, &out), -13) << "not the description's own -1";
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
    EXPECT_EQ(signer.xadd(0, u"", u"#a", u"QUJD"), 0) << "a new list after close";
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

// The one-call exchange (no road of the program takes it): both uploads, the signature over the
// server's hash, and the end after an answer without hash.
TEST_F(QuarnelCapiTest, http_exchangeWithLocalProgram_signatureVerifies_endsWithoutHash) {
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
