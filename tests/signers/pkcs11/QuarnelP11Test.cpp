// The PKCS#11 signer on real SoftHSM2 tokens (signatures checked with OpenSSL), on the user's NSS
// database sharing the same module, and on the test module for faults SoftHSM cannot show.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "foundation/Text.h"
#include "platform/Nss.h"
#include "signers/Fixtures.h"
#include "signers/pkcs11/CCertSelDlg.h"
#include "signers/pkcs11/QuarnelP11.h"

namespace {

using fixtures::hexOf;
using fixtures::readCert;
using fixtures::textOf;
using fixtures::u16;
using mv::ByteBuffer;
using mv::QuarnelP11;
using Record = std::pair<int64_t, std::u16string>;

const std::u16string SOFTHSM = u16(fixtures::TempHome::softHsmLibrary());
const std::string TEST_MODULE = QUARNEL_P11_TEST_MODULE;

// 0 when OpenSSL verifies `signature` over `data` itself (hashed by OpenSSL) with `keyName`.
int verifyData(const std::string& keyName, const char* digest, const std::string& data,
               const ByteBuffer& signature) {
    std::string dir = std::filesystem::temp_directory_path();
    std::ofstream(dir + "/data.bin", std::ios::binary) << data;
    std::ofstream(dir + "/sig.bin", std::ios::binary) << textOf(signature);
    return fixtures::run(std::string("openssl dgst -") + digest + " -verify " +
                         fixtures::certDir() + "/" + keyName + ".pub -signature " + dir +
                         "/sig.bin " + dir + "/data.bin >/dev/null 2>&1");
}

class QuarnelP11Test : public ::testing::Test {
protected:
    // The signer on SoftHSM with hexadecimal output.
    void initSoftHsm() {
        std::u16string err;
        ASSERT_EQ(p11.init(0x4, SOFTHSM.c_str(), &err), 0);
    }
    Record record() const { return {p11.engine.errorCode, std::u16string(p11.engine.errorText)}; }
    ByteBuffer signHex(int flags, const char16_t* certHex, int alg, const ByteBuffer& hash,
                       const char16_t* pin, int* result) {
        ByteBuffer out;
        *result =
            p11.sign(flags, certHex, alg, hash.data(), static_cast<int>(hash.size()), pin, &out);
        return mv::hexToBytes(textOf(out));
    }

    // A copy of the test module in a directory that root alone can write to, as a page's library
    // name with a directory part must be (the temporary directory is world-writable).
    std::string put(const std::string& name) const {
        std::filesystem::copy_file(TEST_MODULE, installed.file(name));
        return installed.file(name);
    }

    fixtures::TempHome home;
    mv::test::ScratchDir installed = fixtures::rootOnlyDir();
    QuarnelP11 p11;
};

// The SoftHSM library is also registered in the user's NSS database, which NSS has initialised:
// the signer uses it and leaves it initialised for NSS. Every failure answers -11 from the slot
// while the record keeps the code and the place.
TEST_F(QuarnelP11Test, softHsmInNssDatabase_failures_recordCodeAndPlace_neverFinalisedUnderNss) {
    home.makeNssDb("");
    home.addSoftHsmToken("ee");
    home.addTokenCert("card", "ee2", "02");  // a certificate whose key is not on the token
    fixtures::run("modutil -force -dbdir sql:" + home.nssDir() + " -add card -libfile " +
                  fixtures::TempHome::softHsmLibrary());
    auto context = mv::nss::openUserContext();
    mv::nss::UniqueSlot slot(PK11_FindSlotByName("card"));
    ASSERT_NE(slot, nullptr);
    initSoftHsm();
    EXPECT_EQ(p11.getStatus(), 1);
    ByteBuffer out;
    int r = 0;
    // cert flags, PIN, record; no display, so every dialog answers Cancel.
    const std::tuple<int, const char16_t*, int64_t, const char16_t*, const char*> certRows[] = {
        {0, u"9999", 0xA0, u"C_Login", "wrong PIN: CKR_PIN_INCORRECT"},
        {0x2, u"1234", -220, u"getCertData", "a flag the listing does not know"},
        {0, u"1234", 1, u"getCertData", "two certificates: the selection is cancelled"},
        {0x20, nullptr, 1, u"getCertData", "PIN dialog cancelled: listing goes on, then selection"},
    };
    for (const auto& [flags, pin, code, place, why] : certRows) {
        EXPECT_EQ(p11.cert(flags, pin, &out), -11) << why;
        EXPECT_EQ(record(), Record(code, place)) << why;
    }

    std::u16string eeHex = u16(hexOf(readCert("ee"))), ee2Hex = u16(hexOf(readCert("ee2")));
    // The wrong PIN left the token reporting a low count: the page's right PIN is not tried, the
    // PIN dialog asks instead. The user's own login gives the count back.
    signHex(0, eeHex.c_str(), 0, ByteBuffer(32, 1), u"1234", &r);
    EXPECT_EQ(std::pair(r, record()), std::pair(-11, Record(1, u"getSignValue")));
    ASSERT_EQ(fixtures::TempHome::quietly("pkcs11-tool --module " + home.softHsmLibrary() +
                                          " --login --pin 1234 -O"),
              0);
    // flags, certificate, algorithm, hash length, PIN, record, mapped code
    const std::tuple<int, const char16_t*, int, size_t, const char16_t*, int64_t, const char16_t*,
                     int, const char*>
        signRows[] = {
            {0, nullptr, 0, 32, u"1234", -11, u"sign", -11, "no certificate chosen yet"},
            {0, eeHex.c_str(), 2, 32, u"1234", -231, u"getSignValue", -15, "SHA-512 of 32 bytes"},
            {0, eeHex.c_str(), 0, 0, u"1234", -233, u"getSignValue", -17, "no hash"},
            {0x10, eeHex.c_str(), 0, 32, nullptr, -221, u"getSignValue", -12, "no PIN, no dialog"},
            {0, u"3082", 0, 32, u"1234", -230, u"getSignValue", -13, "no RSA public key"},
            {0, u"A", 0, 32, u"1234", -221, u"getSignValue", -12, "a given text of no byte"},
            {0, ee2Hex.c_str(), 0, 32, u"1234", -221, u"C_FindObjects", -12,
             "key not on the token"},
        };
    for (const auto& [flags, cert, alg, length, pin, code, place, mapped, why] : signRows) {
        signHex(flags, cert, alg, ByteBuffer(length, 1), pin, &r);
        EXPECT_EQ(r, -11) << why;
        EXPECT_EQ(record(), Record(code, place)) << why;
        EXPECT_EQ(p11.getErrorCode(), mapped) << why;
    }
    // Flag 0x1: the input is data, hashed first in each algorithm (OpenSSL hashes it itself).
    const std::string data = "data of any length";
    for (const auto& [alg, digest] : {std::pair(0, "sha256"), std::pair(1, "sha384"),
                                      std::pair(2, "sha512"), std::pair(10, "sha1")}) {
        ByteBuffer signature =
            signHex(0x1, eeHex.c_str(), alg, mv::test::bytesOf(data), u"1234", &r);
        ASSERT_EQ(r, 0) << digest;
        EXPECT_EQ(verifyData("ee", digest, data, signature), 0) << digest;
    }

    EXPECT_EQ(p11.close(0, 0), 0);
    mv::nss::UniqueCertList certs(PK11_ListCertsInSlot(slot.get()));
    EXPECT_TRUE(certs != nullptr && !CERT_LIST_EMPTY(certs.get()))
        << "the module was finalised under NSS";
    EXPECT_EQ(p11.getStatus(), -11);
    EXPECT_EQ(record(), Record(-11, u"getStatus"));
    EXPECT_EQ(p11.cert(0, u"1234", &out), -11);
    EXPECT_EQ(record(), Record(-210, u"getCerts"));
}

// Five tokens, more than the slot array holds: the session opens on the slot that pkcs11-tool
// lists first. The listing leaves CA certificates out unless asked, and reads twenty at most.
TEST_F(QuarnelP11Test, softHsm_fiveTokens_firstListedSlot_caLeftOutUnlessAsked_twentyRead) {
    for (int i = 0; i < 5; ++i) {
        home.addSoftHsmToken("ee", "t" + std::to_string(i));
    }
    std::string slots =
        mv::test::launch({"pkcs11-tool", "--module", fixtures::TempHome::softHsmLibrary(), "-L"})
            .out;
    std::smatch first;
    ASSERT_TRUE(std::regex_search(
        slots, first, std::regex("Slot 0 \\((0x[0-9a-f]+)\\).*\\n +token label +: (t[0-9])")));
    home.addTokenCert(first[2], "ca", "10");
    initSoftHsm();
    // certificates added beside "ee" and "ca", include CA, certificates listed
    for (const auto& [added, includeCA, listed] :
         {std::tuple(0, false, 1u), std::tuple(0, true, 2u), std::tuple(24, true, 20u)}) {
        for (int i = 0; i < added; ++i) {
            home.addTokenCert(first[2], "ee2", std::to_string(20 + i));
        }
        std::vector<ByteBuffer> found;
        ASSERT_EQ(p11.engine.module->getCerts(&found, u"1234", includeCA), 0);
        EXPECT_EQ(found.size(), listed) << added << " added, includeCA " << includeCA;
        EXPECT_EQ(p11.engine.module->slot, std::stoul(first[1], nullptr, 16));
    }
}

// The options' library names, then library names a page may send. The agent runs in the shared
// temporary directory and the browser saves what the page likes into Downloads: only a file that
// root installed may load.
TEST_F(QuarnelP11Test, init_optionsAndLibraryChoice_pageNamedOnlyRootInstalledFilesLoad) {
    home.addSoftHsmToken("ee");
    std::string copyA = put("a.so"), copyB = put("b.so");
    mv::test::ScopedEnv mode("QUARNEL_TEST_P11", "notoken");  // the test modules hold no token
    std::u16string none = u"/nonexistent/lib.so";
    const std::u16string loadFails = u"Error: cannot load PKCS#11 dlls.";
    // flags, options, result, errText (the library chosen); a failure is recorded at "init"
    const std::tuple<int, std::optional<std::u16string>, int, std::u16string, const char*> rows[] =
        {
            {0, std::nullopt, -10, u"Error: invalid opt argument.", "no options"},
            {0, u"\r\n\t", -10, u"Error: invalid opt argument parse.", "no line"},
            {0, none, -31, loadFails, "nothing loads"},
            {0x10, std::nullopt, -31, loadFails, "file dialog cancelled (no display)"},
            {0, u16(copyA) + u"\n" + SOFTHSM, 0, SOFTHSM, "the second has a token"},
            {0, none + u"\n" + u16(copyA) + u"\n" + u16(copyB), 0, u16(copyA),
             "no token anywhere: the first that loads"},
        };
    for (const auto& [flags, options, result, errText, why] : rows) {
        QuarnelP11 signer;
        std::u16string err;
        EXPECT_EQ(signer.init(flags, options ? options->c_str() : nullptr, &err), result) << why;
        EXPECT_EQ(err, errText) << why;
        EXPECT_EQ(Record(signer.engine.errorCode, signer.engine.errorText),
                  result == 0 ? Record(0, u"") : Record(result, u"init"))
            << why;
        EXPECT_EQ(std::u16string(signer.engine.modulePath), result == 0 ? errText : u"") << why;
    }

    std::string root = installed.path(), softHsm = fixtures::TempHome::softHsmLibrary();
    for (const char* dir : {"/Downloads", "/tmp", "/user", "/group", "/open", "/open/lib"}) {
        std::filesystem::create_directory(root + dir);
    }
    std::string downloaded = put("Downloads/evil.so"), planted = put("tmp/evil.so"),
                staff = put("group/evil.so");
    std::filesystem::create_symlink(softHsm, root + "/user/softhsm.so");
    std::filesystem::create_symlink(softHsm, root + "/softhsm.so");
    std::filesystem::create_symlink(put("open/lib/evil.so"), root + "/open.so");
    ASSERT_EQ(chown(downloaded.c_str(), 65534, 65534) | chmod((root + "/tmp").c_str(), 01777) |
                  chown((root + "/user").c_str(), 65534, 65534) | chdir((root + "/tmp").c_str()) |
                  chmod((root + "/group").c_str(), 0775) | chmod((root + "/open").c_str(), 0777),
              0);
    const std::string moduleLog = home.file("p11.log");  // a refused library is never called
    mv::test::ScopedEnv logged("QUARNEL_TEST_P11_LOG", moduleLog);
    const std::pair<std::string, const char*> pageNamed[] = {
        {downloaded, "a download owned by another user"},
        {"./evil.so", "relative: found in the agent's working directory, the shared one"},
        {planted, "in a world-writable directory"},
        {staff, "in a directory that root's group may write to (as /var/local, /usr/local/lib)"},
        {root + "/user/softhsm.so", "a link from a directory a user can write to"},
        {root + "/open.so", "root's link to below a directory anyone can write to"},
        {root + "/softhsm.so", nullptr},  // root's link, as installed modules link to their library
    };
    for (const auto& [name, refused] : pageNamed) {
        std::filesystem::remove(moduleLog);
        std::u16string err;
        ByteBuffer out;
        int r = p11.init(0x4, u16(name).c_str(), &err);  // before the record is read
        EXPECT_EQ(std::pair(r, record()),
                  std::pair(refused ? -31 : 0, refused ? Record(-31, u"init") : Record(0, u"")))
            << name;
        EXPECT_EQ(p11.cert(0, u"1234", &out), refused ? -11 : 0) << name;
        EXPECT_EQ(mv::test::readText(moduleLog), "") << name;
    }
}

// The test module (a mock): a library that is unusable, a token that is missing or removed in the
// middle of the listing, and a logout that fails after a signature.
TEST_F(QuarnelP11Test, mockModule_unusable_tokenMissingOrRemoved_logoutFails_codesAndCallOrder) {
    // path, test module mode, code, place: the load records the failing step and unloads
    const std::tuple<std::string, const char*, int, const char16_t*> libraries[] = {
        {"/nonexistent/lib.so", "", -210, u"LoadLibraryW"},
        {"libc.so.6", "", -210, u"GetProcAddress"},  // loads, but exports no C_GetFunctionList
        {TEST_MODULE, "nulllist", -210, u"C_GetFunctionList"},
        {TEST_MODULE, "nosign", -212, u"C_Sign"},  // would crash at the first signature
    };
    for (const auto& [path, mode, code, place] : libraries) {
        mv::test::ScopedEnv env("QUARNEL_TEST_P11", mode);
        EXPECT_EQ(p11.engine.module->load(u16(path).c_str(), false), code) << path;
        EXPECT_EQ(record(), Record(code, place)) << path;
        EXPECT_EQ(p11.engine.module->module, nullptr) << path;
    }
    const std::string module = put("test.so");
    const std::u16string lib = u16(module);
    // mode (calls counted from the load: init's token test makes 3), cert result, record place,
    // the last calls made
    const std::tuple<const char*, int, const char16_t*, const char*> rows[] = {
        {"", 0, u"",
         "C_Initialize C_GetSlotList C_GetSlotList C_OpenSession C_Login C_FindObjectsInit "
         "C_FindObjects C_GetAttributeValue C_GetAttributeValue C_FindObjectsFinal C_Logout "
         "C_CloseSession C_Finalize"},
        {"notoken", -36, u"C_GetSlotList", "C_Initialize C_GetSlotList C_Finalize"},
        // The close after the failed login fails too and overwrites the place. (The PIN's tries
        // are asked for in a session of their own first.)
        {"remove:15", -36, u"C_CloseSession",
         "C_Initialize C_GetSlotList C_GetSlotList C_OpenSession C_Login C_CloseSession "
         "C_Finalize"},
        // Not initialised by us: never finalised by us.
        {"remove:1", -36, u"C_Initialize", "C_Initialize"},
        // A length no certificate has is not trusted with an allocation.
        {"huge", -11, u"C_GetAttributeValue",
         "C_FindObjects C_GetAttributeValue C_Logout C_CloseSession C_Finalize"},
    };
    for (const auto& [mode, result, place, calls] : rows) {
        mv::test::ScopedEnv env("QUARNEL_TEST_P11", mode);
        std::u16string err;
        ASSERT_EQ(p11.init(0x4, lib.c_str(), &err), 0) << mode;
        ByteBuffer out;
        EXPECT_EQ(p11.cert(0x10, u"1234", &out), result) << mode;
        EXPECT_EQ(std::u16string(p11.engine.errorText), place) << mode;
        void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(handle, nullptr);
        auto callsMade = reinterpret_cast<const char* (*)()>(dlsym(handle, "testModuleCalls"));
        std::string made = callsMade();
        dlclose(handle);
        EXPECT_TRUE(made.ends_with(calls)) << mode << ": " << made;
    }
    std::u16string err, eeHex = u16(hexOf(readCert("ee")));
    int r = 0;
    // A CK_RV whose low 32 bits are CKR_OK's is a failure all the same: the general one (5).
    for (const char16_t* call : {u"C_Initialize", u"C_GetSlotList", u"C_Login", u"C_Sign"}) {
        mv::test::ScopedEnv env("QUARNEL_TEST_P11", "wide:" + mv::toUtf8String(call));
        ASSERT_EQ(p11.init(0x4, lib.c_str(), &err), 0);
        signHex(0, eeHex.c_str(), 0, ByteBuffer(32, 1), u"1234", &r);
        EXPECT_EQ(std::pair(r, record()), std::pair(-11, Record(5, call)));
    }
    mv::test::ScopedEnv env("QUARNEL_TEST_P11", "notoken");
    ASSERT_EQ(p11.init(0x4, lib.c_str(), &err), 0);
    EXPECT_EQ(p11.getStatus(), 0);
    signHex(0, eeHex.c_str(), 0, ByteBuffer(32, 1), u"1234", &r);
    EXPECT_EQ(r, -36);
    // The one-call exchange stops after init, before any server is asked.
    EXPECT_EQ(p11.http(0, lib.c_str(), u"http://127.0.0.1:9/", 0, 0, 0, 0, 0, 0, 0), -36);
    EXPECT_EQ(record(), Record(-36, u"init"));

    // A failed logout after a good signature is written into the record but leaves the signature
    // good, also when the module's code is vendor-defined (negative as a 32-bit int).
    mv::test::ScopedEnv badLogout("QUARNEL_TEST_P11", "badlogout");
    ASSERT_EQ(p11.init(0x4, lib.c_str(), &err), 0);
    p11.certDer = readCert("ee");
    ByteBuffer out;
    EXPECT_EQ(p11.xades(0, 0, u"<r/>", nullptr, nullptr, u"1234", &out), 0);
    EXPECT_NE(textOf(out).find("<SignatureValue>Wg==</SignatureValue>"), std::string::npos)
        << textOf(out);
    EXPECT_EQ(p11.engine.errorCode, static_cast<int32_t>(0x80000001u)) << "CKR_VENDOR_DEFINED + 1";
}

// The texts of a line and of the details are the store signer's (SignerDialogsUiTest); here the
// token's own glue: a value that is no certificate, and the PIN field's limit.
TEST(CertDialogs, unreadableCertificateLineAndPinLimit_withoutDisplay) {
    mv::CCertSelDlg dialog;
    dialog.certificates = {readCert("ee"), ByteBuffer{0x30, 0x03}};
    EXPECT_EQ(dialog.onInitDialog().lines,
              (std::vector<std::u16string>{u"Test Signer One / Quarnel Test CA",
                                           u"ERROR:証明書読み込みエラー"}));
    // An empty field is refused (e2e_dialogs); 128 characters fit the field, 127 are taken.
    mv::CCertPinDlg pin;
    EXPECT_EQ(pin.onOk(std::u16string(128, u'7')), 1);
    EXPECT_EQ(std::u16string(pin.pin), std::u16string(127, u'7'));
}

}  // namespace
