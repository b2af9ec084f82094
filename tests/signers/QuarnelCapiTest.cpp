#include <gtest/gtest.h>
#include <nss.h>
#include <pk11pub.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "Fixtures.h"
#include "foundation/Text.h"
#include "signers/capi/QuarnelCapi.h"

namespace {

using mv::ByteBuffer;
using mv::QuarnelCapi;

const char16_t* const JPKI_SIGN = u"JPKI Crypto Service Provider for Sign";

std::string text(const ByteBuffer& b) {
    return std::string(b.begin(), b.end());
}

std::string hexOf(const ByteBuffer& b) {
    std::string out;
    mv::bytesToHex(b, out);
    return out;
}

// A fresh HOME with an NSS database holding ee and ee2 (valid now), expired and notyet (each
// with its key) and the CA without key.
class QuarnelCapiTest : public ::testing::Test {
protected:
    void SetUp() override { home.makeNssDb("ee ee2 expired notyet"); }

    // Logs in to the token (in every provider that shows it) as the user would at its PIN
    // prompt: a login lasts while NSS keeps the database open.
    void loginToken(const char* pin = "1234") {
        context = NSS_InitContext(("sql:" + home.nssDir()).c_str(), "", "", "", nullptr, 0);
        ASSERT_NE(context, nullptr);
        PK11SlotList* slots = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
        ASSERT_NE(slots, nullptr);
        int cards = 0;
        for (PK11SlotListElement* e = slots->head; e != nullptr; e = e->next) {
            if (std::string(PK11_GetTokenName(e->slot)) == "card") {
                EXPECT_EQ(PK11_CheckUserPassword(e->slot, pin), SECSuccess);
                ++cards;
            }
        }
        PK11_FreeSlotList(slots);
        ASSERT_GT(cards, 0);
    }
    void TearDown() override {
        if (context != nullptr) {
            NSS_ShutdownContext(context);
        }
    }

    // 0 when OpenSSL verifies `signature` over `digest` (PKCS#1 v1.5 with DigestInfo).
    int verify(const std::string& keyName, const char* digestName, const ByteBuffer& digest,
               const ByteBuffer& signature) {
        std::string hashFile = home.home + "/hash.bin", sigFile = home.home + "/sig.bin";
        std::ofstream(hashFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(digest.data()), digest.size());
        std::ofstream(sigFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(signature.data()), signature.size());
        return fixtures::run("openssl pkeyutl -verify -pubin -inkey " + fixtures::certDir() + "/" +
                             keyName + ".pub -pkeyopt digest:" + digestName + " -in " + hashFile +
                             " -sigfile " + sigFile + " >/dev/null 2>&1");
    }

    fixtures::TempHome home;
    NSSInitContext* context = nullptr;
};

std::vector<int> sourceIds(const QuarnelCapi& signer) {
    std::vector<int> ids;
    for (const mv::CapiKeyEntry* entry : signer.keys) {
        ids.push_back(entry->sourceId);
    }
    return ids;
}

std::set<std::string> storeCerts(const QuarnelCapi& signer) {
    std::set<std::string> out;
    for (const mv::CapiKeyEntry* entry : signer.keys) {
        out.insert(hexOf(ByteBuffer(entry->cert->derCert.data,
                                    entry->cert->derCert.data + entry->cert->derCert.len)));
    }
    return out;
}

ByteBuffer sha(const char* name, const std::string& data) {
    mv::AlgId alg = std::string(name) == "sha1"     ? mv::CALG_SHA1
                    : std::string(name) == "sha256" ? mv::CALG_SHA_256
                    : std::string(name) == "sha384" ? mv::CALG_SHA_384
                                                    : mv::CALG_SHA_512;
    ByteBuffer out;
    EXPECT_EQ(QuarnelCapi::hashData(alg, reinterpret_cast<const unsigned char*>(data.data()),
                                    static_cast<int>(data.size()), &out),
              0);
    return out;
}

TEST_F(QuarnelCapiTest, init_store_listsOnlyCertificatesWithKeyValidNow) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    EXPECT_EQ(err, u"ok");
    EXPECT_EQ(signer.initFlags, 0x4);
    EXPECT_EQ(signer.getStatus(), 2);
    // Not the expired one, not the one valid from 2090, not the CA without key.
    EXPECT_EQ(storeCerts(signer), (std::set<std::string>{hexOf(fixtures::readCert("ee")),
                                                         hexOf(fixtures::readCert("ee2"))}));
    EXPECT_EQ(sourceIds(signer), (std::vector<int>{0, 0}));
}

TEST_F(QuarnelCapiTest, init_failures_giveCodePlaceAndText) {
    struct Row {
        const char* why;
        int flags;
        const char16_t* options;
        int code;
        const char16_t* errText;
    } rows[] = {
        {"only separators", 0, u"\r\n\t", -10, u"Error: invalid opt argument parse."},
        {"three fields", 0, u"24:-1:0", -10, u"Error: invalid opt argument format."},
        {"five fields", 0, u"24:-1:0:name:x", -10, u"Error: invalid opt argument format."},
        {"good item then a bad one", 0x200, u"24:-1:0:missing\n1:2", -10,
         u"Error: invalid opt argument format."},
        {"no store, no provider", 0x200, nullptr, -11, u"Error: certificate not found."},
        {"provider missing", 0x200, u"24:-1:0:No Such Provider", -11,
         u"Error: certificate not found."},
    };
    for (const Row& row : rows) {
        QuarnelCapi signer;
        std::u16string err = u"before";
        EXPECT_EQ(signer.init(row.flags, row.options, &err), row.code) << row.why;
        EXPECT_EQ(err, row.errText) << row.why;
        EXPECT_EQ(signer.getErrorCode(), row.code) << row.why;
        EXPECT_EQ(signer.getErrorMessage(), u"init") << row.why;
        EXPECT_EQ(signer.initFlags, 0) << row.why;
    }
}

TEST_F(QuarnelCapiTest, init_withoutDatabase_failsWithMinus50AndLeavesErrTextAlone) {
    fixtures::TempHome empty;  // no .pki/nssdb there
    QuarnelCapi signer;
    std::u16string err = u"before";
    EXPECT_EQ(signer.init(0, nullptr, &err), -50);
    EXPECT_EQ(err, u"before");
    EXPECT_EQ(signer.getErrorMessage(), u"init");
    EXPECT_FALSE(std::filesystem::exists(empty.nssDir())) << "no database may be created";
}

TEST_F(QuarnelCapiTest, init_0x800_loadsNothing_thenCertNeedsCardFlag) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x804, nullptr, &err), 0);
    EXPECT_EQ(err, u"ok");
    EXPECT_EQ(signer.initFlags, 0x804);
    EXPECT_EQ(signer.getStatus(), 0);
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0, nullptr, &out), -11);
    EXPECT_EQ(signer.getErrorMessage(), u"cert");
    // With 0x100 the card providers are opened; none is registered here.
    EXPECT_EQ(signer.cert(0x100, nullptr, &out), -11);
}

TEST_F(QuarnelCapiTest, init_order_optionItemsThenCardTableThenStore) {
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    home.registerSoftHsm("DNP Standard-9 Cryptographic Service Provider");
    loginToken();
    QuarnelCapi signer;
    std::u16string err;
    // Item ids count the entries already loaded: the skipped first item leaves 20 for the next.
    ASSERT_EQ(signer.init(0x100,
                          u"24:-1:0:No Such Provider\r\n"
                          u":: 0:JPKI Crypto Service Provider for Sign\t"
                          u"1:1:64:DNP Standard-9 Cryptographic Service Provider",
                          &err),
              0);
    EXPECT_EQ(sourceIds(signer), (std::vector<int>{20, 21, 1, 6, 0, 0}));
    EXPECT_EQ(signer.keys[0]->keySpecOverride, 0);
    EXPECT_EQ(signer.keys[1]->keySpecOverride, 1);
    EXPECT_EQ(signer.keys[3]->keySpecOverride, 1);  // the DNP row
    EXPECT_EQ(
        hexOf(ByteBuffer(signer.keys[0]->cert->derCert.data,
                         signer.keys[0]->cert->derCert.data + signer.keys[0]->cert->derCert.len)),
        hexOf(fixtures::readCert("ee2")));
    // init does not empty the list first.
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    EXPECT_EQ(signer.getStatus(), 8);
    // cert with 0x100 while entries are loaded.
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0x100, nullptr, &out), -10);
    EXPECT_EQ(signer.getErrorMessage(), u"cert");
}

TEST_F(QuarnelCapiTest, init_lockedToken_silentItemSkipped_promptCancelledWithoutDisplay) {
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    QuarnelCapi signer;
    std::u16string err;
    // Acquire flag 0x40 never prompts; without it the prompt answers Cancel (no display).
    EXPECT_EQ(signer.init(0x200, u"24:-1:64:JPKI Crypto Service Provider for Sign", &err), -11);
    EXPECT_EQ(signer.init(0x300, nullptr, &err), -11);
    EXPECT_EQ(signer.getStatus(), 0);
}

TEST_F(QuarnelCapiTest, parseOptArg_fieldsAndIds) {
    struct Row {
        const char16_t* item;
        int result;
        unsigned provType = 0;
        int keySpec = 0;
        unsigned flags = 0;
        const char16_t* name = nullptr;
    } rows[] = {
        {u"24:-1:0:My Provider Name", 0, 24, -1, 0, u"My Provider Name"},
        {u"::0:Name", 0, 0, 0, 0, u"Name"},  // empty fields read as 0
        {u" +1: -7x:64abc:N", 0, 1, -7, 64, u"N"},
        {u"24:-1:0:", -1, 0, 0, 0, nullptr},  // a final ':' gives one field less
        {u"24:-1:0:a:b", -1, 0, 0, 0, nullptr},
        {u"24", -1, 0, 0, 0, nullptr},
        {u"", -1, 0, 0, 0, nullptr},
    };
    QuarnelCapi signer;
    for (const Row& row : rows) {
        QuarnelCapi::OptArg arg;
        ASSERT_EQ(signer.parseOptArg(row.item, arg), row.result) << mv::toUtf8String(row.item);
        if (row.result == 0) {
            EXPECT_EQ(arg.id, 20);
            EXPECT_EQ(arg.provType, row.provType);
            EXPECT_EQ(arg.keySpecOverride, row.keySpec);
            EXPECT_EQ(arg.acquireFlags, row.flags);
            EXPECT_EQ(arg.cspName, row.name);
        }
    }
    std::u16string err;
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    QuarnelCapi::OptArg arg;
    ASSERT_EQ(signer.parseOptArg(u"1:1:1:x", arg), 0);
    EXPECT_EQ(arg.id, 22);
}

TEST_F(QuarnelCapiTest, cert_oneEntry_noDialog_hexText) {
    fixtures::TempHome single;
    single.makeNssDb("ee");
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    EXPECT_EQ(signer.selected, 0);
    ByteBuffer der = fixtures::readCert("ee");
    EXPECT_EQ(out.size(), der.size() * 2);
    EXPECT_EQ(text(out), hexOf(der));
    // Flag 0x1 shows the dialog even for one entry; without a display it answers Cancel.
    ByteBuffer untouched{'x'};
    EXPECT_EQ(signer.cert(0x1, nullptr, &untouched), 1);
    EXPECT_EQ(signer.getErrorCode(), 1);
    EXPECT_EQ(signer.getErrorMessage(), u"cert");
    EXPECT_EQ(text(untouched), "x");
}

TEST_F(QuarnelCapiTest, cert_twoEntriesWithoutDisplay_isCancelled) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0, nullptr, &out), 1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(signer.selected, -1);
}

TEST_F(QuarnelCapiTest, cert_requestDocument_carriesSidAndCertificate) {
    fixtures::TempHome single;
    single.makeNssDb("ee2");
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    signer.httpSet(nullptr, u"SID-42", nullptr);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    std::u16string doc = mv::utf8VecToWString(out);
    EXPECT_EQ(signer.xmlGet(doc.c_str(), u"/QrnRequest/@type"), u"QRN_CERT");
    EXPECT_EQ(signer.xmlGet(doc.c_str(), u"/QrnRequest/@sid"), u"SID-42");
    std::string hex = hexOf(fixtures::readCert("ee2"));
    EXPECT_EQ(signer.xmlGet(doc.c_str(), u"/QrnRequest/cert"),
              mv::utf8ToWString(hex.data(), hex.size()));
}

TEST_F(QuarnelCapiTest, sign_everyAlgorithm_verifiesWithOpenSsl) {
    fixtures::TempHome single;
    single.makeNssDb("ee");
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    struct Row {
        int algCode;
        const char* digest;
    } rows[] = {{0, "sha256"}, {1, "sha384"}, {2, "sha512"}, {10, "sha1"}};
    for (const Row& row : rows) {
        ByteBuffer hash = sha(row.digest, "signed data");
        ByteBuffer hexSignature;
        ASSERT_EQ(signer.sign(0, nullptr, row.algCode, hash.data(), static_cast<int>(hash.size()),
                              nullptr, &hexSignature),
                  0)
            << row.digest;
        ByteBuffer signature = mv::hexToBytes(text(hexSignature));
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_EQ(verify("ee", row.digest, hash, signature), 0) << row.digest;
    }
}

TEST_F(QuarnelCapiTest, sign_failures_giveCodeAndPlace) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    ByteBuffer hash = sha("sha256", "x");
    ByteBuffer out{'x'};
    struct Row {
        const char* why;
        const char16_t* certHex;
        int algCode;
        const unsigned char* hash;
        int hashLen;
        int code;
    } rows[] = {
        {"no hash", nullptr, 0, nullptr, 32, -10},
        {"empty hash", nullptr, 0, hash.data(), 0, -10},
        {"nothing chosen", nullptr, 0, hash.data(), 32, -11},
        {"text that is no certificate", u"0x3082AB", 0, hash.data(), 32, -10},
        {"algorithm 3", u"", 3, hash.data(), 32, -11},  // the key is missing first
    };
    for (const Row& row : rows) {
        EXPECT_EQ(signer.sign(0, row.certHex, row.algCode, row.hash, row.hashLen, nullptr, &out),
                  row.code)
            << row.why;
        EXPECT_EQ(signer.getErrorMessage(), u"sign") << row.why;
    }
    EXPECT_EQ(text(out), "x");
    std::string hex = hexOf(fixtures::readCert("ee"));
    std::u16string certHex = mv::utf8ToWString(hex.data(), hex.size());
    EXPECT_EQ(signer.sign(0, certHex.c_str(), 3, hash.data(), 32, nullptr, &out), -14);
    EXPECT_EQ(signer.sign(0, certHex.c_str(), 1, hash.data(), 32, nullptr, &out), -16)
        << "a SHA-384 signature needs 48 bytes of hash";
    EXPECT_EQ(text(out), "x");
    // A certificate whose key is nowhere.
    hex = hexOf(fixtures::readCert("regist"));
    certHex = mv::utf8ToWString(hex.data(), hex.size());
    EXPECT_EQ(signer.sign(0, certHex.c_str(), 0, hash.data(), 32, nullptr, &out), -12);
}

TEST_F(QuarnelCapiTest, sign_certificateText_usesThatKeyWhateverWasChosen) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    signer.selected = 0;
    int other =
        hexOf(ByteBuffer(signer.keys[0]->cert->derCert.data,
                         signer.keys[0]->cert->derCert.data + signer.keys[0]->cert->derCert.len)) ==
                hexOf(fixtures::readCert("ee"))
            ? 1
            : 0;
    std::string otherName = other == 1 ? "ee2" : "ee";
    std::string hex = "0x" + hexOf(fixtures::readCert(otherName));
    std::u16string certHex = mv::utf8ToWString(hex.data(), hex.size());
    ByteBuffer hash = sha("sha512", "payload");
    ByteBuffer out;
    ASSERT_EQ(signer.sign(0, certHex.c_str(), 2, hash.data(), 64, nullptr, &out), 0);
    EXPECT_EQ(verify(otherName, "sha512", hash, mv::hexToBytes(text(out))), 0);
    EXPECT_EQ(signer.getStatus(), 2) << "the temporary entry is not kept";
}

TEST_F(QuarnelCapiTest, sign_requestDocument_withProviderKey_verifies) {
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    loginToken();
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x300, nullptr, &err), 0);
    ASSERT_EQ(sourceIds(signer), (std::vector<int>{1}));
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    ByteBuffer hash = sha("sha256", "provider");
    ASSERT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), 0);
    std::u16string doc = mv::utf8VecToWString(out);
    EXPECT_EQ(signer.xmlGet(doc.c_str(), u"/QrnRequest/@type"), u"QRN_SIGN");
    std::u16string hex = signer.xmlGet(doc.c_str(), u"/QrnRequest/sign");
    EXPECT_EQ(verify("ee2", "sha256", hash, mv::hexToBytesW(hex.c_str())), 0);
}

TEST_F(QuarnelCapiTest, xadd_table) {
    QuarnelCapi signer;
    struct Row {
        const char* why;
        const char16_t *name, *uri, *data;
        int code;
    } rows[] = {
        {"first", u"", u"#a", u"QUJD", 0},
        {"empty names do not clash", u"", u"#b", u"QUJD", 0},
        {"same URI", u"n1", u"#a", u"QUJD", -111},
        {"named", u"n1", u"#c", u"QUJD", 0},
        {"same name", u"n1", u"#d", u"QUJD", -111},
        {"null name", nullptr, u"#e", u"QUJD", -10},
        {"no URI and no data", u"n2", nullptr, nullptr, -10},
        {"URI without data", u"n2", u"#f", nullptr, -111},
        {"data without URI", u"n2", nullptr, u"QUJD", -111},
        {"empty data text", u"n2", u"#g", u"", -10},
        {"data decodes to nothing", u"n2", u"#g", u"!!!!", -10},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(signer.xadd(0, row.name, row.uri, row.data), row.code) << row.why;
        EXPECT_EQ(signer.getErrorMessage(), row.code ? u"xadd" : u"") << row.why;
    }
    ASSERT_EQ(signer.xaddItems.size(), 3u);
    EXPECT_EQ(text(signer.xaddItems[2].data), "ABC");
    EXPECT_EQ(signer.xaddItems[2].name, "n1");
    EXPECT_EQ(signer.close(0, 0), 0);
    EXPECT_TRUE(signer.xaddItems.empty());
    EXPECT_EQ(signer.xadd(0, u"", u"#a", u"QUJD"), 0) << "a new list after close";
}

TEST_F(QuarnelCapiTest, close_returnsToFreshStateButKeepsExchangeSettings) {
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    signer.selected = 1;
    signer.httpSet(nullptr, u"kept", nullptr);
    EXPECT_EQ(signer.close(7, 9), 0);
    EXPECT_EQ(signer.getStatus(), 0);
    EXPECT_EQ(signer.selected, -1);
    EXPECT_EQ(signer.initFlags, 0);
    ByteBuffer hash(32, 1), out;
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -11);
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    signer.selected = 0;
    ASSERT_EQ(signer.cert(0x0, nullptr, &out), 1);  // two entries: the dialog, cancelled
}

TEST_F(QuarnelCapiTest, info_typeIndexOrMinus13) {
    QuarnelCapi signer;
    ByteBuffer out;
    ByteBuffer ca = fixtures::readCert("ca");
    EXPECT_EQ(signer.info(&ca, 0, &out), 1);
    EXPECT_EQ(signer.getErrorCode(), 0);
    ByteBuffer junk{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(signer.info(&junk, 1, &out), -13);
    EXPECT_EQ(signer.getErrorMessage(), u"info");
}

TEST_F(QuarnelCapiTest, accessors) {
    QuarnelCapi signer;
    EXPECT_EQ(std::u16string(signer.getVersion()), u"QRN-CAPI:Ver2.01.RC1");
    EXPECT_EQ(signer.xmlGet(u"<QrnResponse result=\"OK\"/>", u"/QrnResponse/@result"), u"OK");
    EXPECT_EQ(signer.xmlGet(u"<QrnResponse/>", u"/QrnResponse/hash"), u"");
    EXPECT_EQ(signer.getErrorCode(), -21);
    EXPECT_EQ(signer.getErrorMessage(), u"xmlGet");
    EXPECT_EQ(signer.xades(0, 0, u"<a/>", nullptr, nullptr, nullptr, nullptr), -90);
    EXPECT_STREQ(signer.getHttpResult(), "");
}

TEST_F(QuarnelCapiTest, hashData_knownDigests) {
    struct Row {
        mv::AlgId alg;
        const char* hex;
    } rows[] = {
        {mv::CALG_SHA1, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {mv::CALG_SHA_256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
    };
    for (const Row& row : rows) {
        ByteBuffer out;
        ASSERT_EQ(
            QuarnelCapi::hashData(row.alg, reinterpret_cast<const unsigned char*>("abc"), 3, &out),
            0);
        EXPECT_EQ(hexOf(out), row.hex);
    }
    ByteBuffer out{1};
    EXPECT_EQ(QuarnelCapi::hashData(0x8003, reinterpret_cast<const unsigned char*>("abc"), 3, &out),
              -16);
}

}  // namespace

namespace {

// A local program in the signing server's place: it keeps each request it reads and answers the
// certificate upload with a hash to sign (or none), the signature upload with a redirect.
std::string writeResponder(const std::string& dir, const std::string& hashHex) {
    std::string path = dir + "/responder.sh";
    std::ofstream script(path);
    script << "#!/bin/sh\n"
           << "cat > " << dir << "/request-$1.xml\n"
           << "if [ \"$1\" = cert ]; then\n"
           << "  printf '<QrnResponse result=\"OK\">" << (hashHex.empty() ? "" : "<hash>")
           << hashHex << (hashHex.empty() ? "" : "</hash>") << "</QrnResponse>'\n"
           << "else\n"
           << "  printf '<QrnResponse result=\"OK\" redirect=\"https://example.jp/done\"/>'\n"
           << "fi\n";
    script.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

TEST_F(QuarnelCapiTest, http_fullExchangeWithLocalProgram_signatureVerifies) {
    fixtures::TempHome single;
    single.makeNssDb("ee");
    ByteBuffer hash = sha("sha384", "document");
    std::string responder = writeResponder(single.home, hexOf(hash));
    std::string url = "debug://" + responder + " ";
    std::u16string url16 = mv::utf8ToWString(url.data(), url.size());
    QuarnelCapi signer;
    std::u16string redirect;
    // 0x4 is cleared: both uploads carry request documents. The trace (0x1000) announces each
    // step in a box; without a display the boxes go to standard error and the run goes on.
    ASSERT_EQ(
        signer.http(0x1004, nullptr, url16.c_str(), u"S-1", u"cert", u"sign", 1, 0, 0, &redirect),
        0);
    EXPECT_EQ(redirect, u"https://example.jp/done");
    EXPECT_EQ(signer.initFlags, 0x1000);
    std::u16string certRequest =
        mv::utf8ToWString(fixtures::readText(single.home + "/request-cert.xml").c_str(),
                          fixtures::readText(single.home + "/request-cert.xml").size());
    std::string certHex = hexOf(fixtures::readCert("ee"));
    EXPECT_EQ(signer.xmlGet(certRequest.c_str(), u"/QrnRequest/cert"),
              mv::utf8ToWString(certHex.data(), certHex.size()));
    std::string signText = fixtures::readText(single.home + "/request-sign.xml");
    std::u16string signRequest = mv::utf8ToWString(signText.data(), signText.size());
    EXPECT_EQ(signer.xmlGet(signRequest.c_str(), u"/QrnRequest/@sid"), u"S-1");
    std::u16string signature = signer.xmlGet(signRequest.c_str(), u"/QrnRequest/sign");
    EXPECT_EQ(verify("ee", "sha384", hash, mv::hexToBytesW(signature.c_str())), 0);
}

TEST_F(QuarnelCapiTest, httpExec_answerWithoutHash_endsAfterCertificateUpload) {
    fixtures::TempHome single;
    single.makeNssDb("ee");
    std::string responder = writeResponder(single.home, "");
    std::string url = "debug://" + responder + " ";
    std::u16string url16 = mv::utf8ToWString(url.data(), url.size());
    QuarnelCapi signer;
    std::u16string redirect = u"unchanged";
    EXPECT_EQ(signer.httpExec(0, nullptr, url16.c_str(), u"S", nullptr, nullptr, 0, 0, 0, nullptr,
                              u"cert", 0, nullptr, u"sign", 0, nullptr, 0, 0, &redirect),
              0);
    EXPECT_EQ(redirect, u"unchanged");
    EXPECT_TRUE(std::filesystem::exists(single.home + "/request-cert.xml"));
    EXPECT_FALSE(std::filesystem::exists(single.home + "/request-sign.xml"));
}

TEST_F(QuarnelCapiTest, httpSend_failure_keepsTheExchangePlace) {
    QuarnelCapi signer;
    ByteBuffer reply;
    const unsigned char body[] = "x";
    EXPECT_EQ(signer.httpSend(u"path", nullptr, body, 1, 0, 0, &reply), -10);
    EXPECT_EQ(signer.getErrorMessage(), u"httpSend");
    EXPECT_EQ(signer.httpSet(u"debug:///nonexistent/program", nullptr, nullptr), 0);
    EXPECT_EQ(signer.httpSend(u" x", nullptr, body, 1, 0, 0, &reply), -20);
    EXPECT_EQ(signer.getErrorMessage().rfind(u"HttpConnect:", 0), 0u);
}

TEST_F(QuarnelCapiTest, passwordDatabase_listsWithoutPrompt_signingNeedsThePassword) {
    fixtures::TempHome locked;
    locked.makeNssDb("ee");
    std::string db = "sql:" + locked.nssDir();
    std::ofstream(locked.home + "/old.pw") << "\n";
    std::ofstream(locked.home + "/new.pw") << "secret\n";
    ASSERT_EQ(fixtures::run("certutil -W -d " + db + " -f " + locked.home + "/old.pw -@ " +
                            locked.home + "/new.pw >/dev/null 2>&1"),
              0);
    QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
    ASSERT_EQ(signer.getStatus(), 1);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    // The password prompt answers Cancel without a display: no key.
    ByteBuffer hash(32, 7);
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), -12);
    EXPECT_EQ(signer.getErrorMessage(), u"sign");
}

}  // namespace
