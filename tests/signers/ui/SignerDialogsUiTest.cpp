// The signers' dialogs under Xvfb, driven with the keyboard through xdotool: the store signer's
// PIN prompt and the entries that the PIN opens; the PKCS#11 signer's selection and PIN dialog.
#include <gtest/gtest.h>

#include <clocale>
#include <future>

#include "Fixtures.h"
#include "platform/Nss.h"
#include "platform/ui/UiTestSupport.h"
#include "signers/capi/CCapiSelDlg.h"
#include "signers/capi/QuarnelCapi.h"
#include "signers/pkcs11/QuarnelP11.h"

namespace {

using mv::ByteBuffer;
using namespace std::chrono_literals;

// The id of a visible window titled `title` other than `previous`, waiting up to 10 s for it.
// Without one the worker would wait for a dialog nobody can answer: the program ends instead.
std::string window(const std::string& title, const std::string& previous = "") {
    for (int i = 0; i < 100; ++i) {
        for (const std::string& id : uitest::windowIds("^" + title + "$")) {
            if (id != previous) {
                return id;
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    fprintf(stderr, "no window \"%s\" appeared\n", title.c_str());
    std::_Exit(1);
}

// The worker's result; a worker still waiting for a dialog after 10 s would block the test for
// ever: the program ends instead.
int result(std::future<int>& worker) {
    if (worker.wait_for(10s) == std::future_status::ready) {
        return worker.get();
    }
    fprintf(stderr, "the worker still waits for a dialog\n");
    std::_Exit(1);
}

void keys(const std::string& window, const std::string& sequence) {
    uitest::run("xdotool windowactivate --sync " + window + " >/dev/null 2>&1");
    uitest::pressKey(window, "--delay 100 " + sequence);
}

// Taken before any fixture hides the display from the signer tests.
const std::string g_display = getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "";

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

// A SoftHSM token under two providers' names (each its own copy of the library, so each asks).
// A silent item lists the card without a prompt, a wrong PIN asks again and Cancel skips the card.
// Then the right PIN opens the entries in their order: option items, the card table, the store;
// the choice tells where each comes from, and the card's key signs.
TEST(SignerDialogTest, pinPrompt_wrongAsksAgain_cancelSkips_rightOpensTheCardsInOrder) {
    ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
    // As the program's entry does: GTK names windows in the locale's encoding.
    setlocale(LC_ALL, "");
    fixtures::TempHome home;
    setenv("DISPLAY", g_display.c_str(), 1);  // TempHome hides the display
    mv::QuarnelCapi signer;
    std::u16string err;
    // init on a worker, while this thread answers the PIN prompts.
    auto initAsync = [&](int flags, const char16_t* options) {
        return std::async(std::launch::async,
                          [&, flags, options] { return signer.init(flags, options, &err); });
    };
    fixtures::setZone("JST-9");
    home.makeNssDb("ee");
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    home.registerSoftHsm("DNP Standard-9 Cryptographic Service Provider");
    // Acquire flags read as the C library reads numbers: " +64abc" is 0x40, never prompt.
    std::future<int> init =
        initAsync(0x300, u"24:-1: +64abc:JPKI Crypto Service Provider for Sign");
    std::string first = window("PIN入力");
    keys(first, "9 9 9 9 Return");
    std::string second = window("PIN入力", first);
    keys(second, "Escape");
    std::string third = window("PIN入力", second);  // the second provider's
    keys(third, "Escape");
    EXPECT_EQ(result(init), 0);
    ASSERT_EQ(signer.getStatus(), 1);
    EXPECT_EQ(signer.keys[0]->sourceId, 20);
    signer.close(0, 0);

    // Item ids count the entries already loaded: the skipped first item leaves 20 for the next.
    init = initAsync(0x100,
                     u"24:-1:0:No Such Provider\r\n"
                     u":: 0:JPKI Crypto Service Provider for Sign\t"
                     u" 1:1:0:DNP Standard-9 Cryptographic Service Provider");
    std::string fourth = window("PIN入力", third);
    keys(fourth, "1 2 3 4 Return");
    keys(window("PIN入力", fourth), "1 2 3 4 Return");
    ASSERT_EQ(result(init), 0);
    std::vector<int> ids;
    for (const mv::CapiKeyEntry* entry : signer.keys) {
        ids.push_back(entry->sourceId);
    }
    ASSERT_EQ(ids, (std::vector<int>{20, 21, 1, 6, 0}));

    // (The choice is never shown without entries, and each entry holds a certificate.)
    mv::CCapiSelDlg dialog;
    dialog.entries = {signer.keys[3], signer.keys[4]};
    mv::CCapiSelDlg::InitialView view = dialog.onInitDialog();
    EXPECT_EQ(view.lines, (std::vector<std::u16string>{u"[IC] Test Signer Two / Quarnel Test CA",
                                                       u"Test Signer One / Quarnel Test CA"}));
    EXPECT_EQ(std::tie(view.okEnabled, view.selection, view.detail),
              std::make_tuple(true, 0, EE2_DETAIL));
    EXPECT_EQ(dialog.onSelChange(1), EE_DETAIL);
    EXPECT_EQ(dialog.onSelChange(2), u"証明書がありません。");

    // init does not empty the list first.
    ASSERT_EQ(signer.init(0, nullptr, &err), 0);
    EXPECT_EQ(signer.getStatus(), 6);
    ByteBuffer out;
    EXPECT_EQ(signer.cert(0x100, nullptr, &out), -10) << "card flag while entries are loaded";
    // The card row's key signs into a request document.
    signer.selected = 2;
    ByteBuffer hash(32, 0x5A);
    ASSERT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), 0);
    std::u16string signature =
        signer.xmlGet(fixtures::u16(fixtures::textOf(out)).c_str(), u"/QrnRequest/sign");
    EXPECT_EQ(fixtures::verify("ee2", "sha256", hash, mv::hexToBytesW(signature.c_str())), 0);
}

// Two certificates on a SoftHSM token, each with its key: "cert" offers both, the second line and
// then the first is chosen, and each time the key of that line's certificate signs (OpenSSL checks
// with its public key), whichever key the token lists first.
TEST(SignerDialogTest, pkcs11Selection_theChosenLinesKeySigns) {
    ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
    setlocale(LC_ALL, "");
    fixtures::TempHome home;
    setenv("DISPLAY", g_display.c_str(), 1);
    home.addSoftHsmToken("ee");
    const std::string key2 = home.file("key2.p8");
    ASSERT_EQ(
        fixtures::TempHome::quietly("openssl pkcs8 -topk8 -nocrypt -in " + fixtures::certDir() +
                                    "/ee2.key -out " + key2 + " && softhsm2-util --import " + key2 +
                                    " --token card --label key2 --id 02 --pin 1234"),
        0);
    home.addTokenCert("card", "ee2", "02");
    // SoftHSM lists its objects in a new order each time it is initialised: held initialised by
    // NSS (the module is in the user's database), it keeps one order, the dialog's.
    home.makeNssDb("");
    ASSERT_EQ(fixtures::run("modutil -force -dbdir sql:" + home.nssDir() + " -add card -libfile " +
                            home.softHsmLibrary() + " >/dev/null"),
              0);
    auto nss = mv::nss::openUserContext();
    mv::QuarnelP11 signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x4, fixtures::u16(home.softHsmLibrary()).c_str(), &err), 0);
    std::vector<ByteBuffer> lines;  // in the order of the dialog's lines
    ASSERT_EQ(signer.engine.module->getCerts(&lines, nullptr, false), 0);
    ASSERT_EQ(lines.size(), 2u);
    ByteBuffer out, hash(32, 0x5A);
    std::string previous;
    for (const auto& [line, typed] : {std::pair(1, "Down Return"), std::pair(0, "Return")}) {
        auto choice = std::async(std::launch::async, [&] { return signer.cert(0, u"1234", &out); });
        previous = window("証明書の選択", previous);
        keys(previous, typed);
        ASSERT_EQ(result(choice), 0);
        EXPECT_EQ(signer.certDer, lines[line]) << line;
        ASSERT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, u"1234", &out), 0);
        const char* key = lines[line] == fixtures::readCert("ee2") ? "ee2" : "ee";
        EXPECT_EQ(fixtures::verify(key, "sha256", hash, mv::hexToBytes(fixtures::textOf(out))), 0)
            << line;
    }
}

// The test module (a mock: SoftHSM never locks a PIN) notes every PIN it is handed. On a token at
// risk the page's PIN is not tried: the dialog asks, for the listing (a low count) as for the
// signature (a lock, where the token refuses the typed one). An empty field keeps the dialog open,
// and its Cancel ends the signing without a login.
TEST(SignerDialogTest, mockModulePin_lockedTokenAsksTheUser_emptyFieldNeverLogsIn) {
    ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
    setlocale(LC_ALL, "");
    fixtures::TempHome home;
    setenv("DISPLAY", g_display.c_str(), 1);
    mv::test::ScratchDir installed = fixtures::rootOnlyDir();
    const std::string module = installed.file("p11.so"), log = home.file("p11.log");
    std::filesystem::copy_file(QUARNEL_P11_TEST_MODULE, module);
    mv::test::ScopedEnv logged("QUARNEL_TEST_P11_LOG", log);
    mv::test::ScopedEnv onToken("QUARNEL_TEST_P11_CERT", fixtures::certDir() + "/ee.der");
    const std::u16string eeHex = fixtures::u16(fixtures::hexOf(fixtures::readCert("ee")));
    ByteBuffer hash(32, 0x5A), out;
    mv::QuarnelP11 signer;
    auto start = [&](bool listing, const char16_t* pin) {
        return std::async(std::launch::async, [&, listing, pin] {
            return listing ? signer.cert(0, pin, &out)
                           : signer.sign(0, eeHex.c_str(), 0, hash.data(), 32, pin, &out);
        });
    };
    auto record = [&] {
        return std::pair(signer.engine.errorCode, std::u16string(signer.engine.errorText));
    };
    std::u16string err;
    std::string previous;
    // mode, "cert" or "sign", the page's PIN, what is typed, the result and the record, what the
    // module saw after its load
    const std::tuple<const char*, std::string, const char16_t*, const char*, int, int64_t,
                     const char16_t*, const char*>
        rows[] = {
            {"pinlow", "cert", u"1234", "5 6 7 8 Return", 0, 0, u"", "C_Login PIN=\"5678\"\n"},
            {"pinlocked", "sign", u"1234", "5 6 7 8 Return", -11, 0xA4, u"C_Login",
             "C_Login PIN=\"5678\"\n"},
            {"", "sign", u"", "Return", -11, 1, u"getSignValue", ""},  // then Escape
        };
    for (const auto& [mode, command, pin, typed, ends, code, place, saw] : rows) {
        SCOPED_TRACE(mode);
        mv::test::ScopedEnv modeEnv("QUARNEL_TEST_P11", mode);
        std::filesystem::remove(log);
        ASSERT_EQ(signer.init(0x4, fixtures::u16(module).c_str(), &err), 0);
        std::future<int> worker = start(command == "cert", pin);
        std::string dialog = window("PIN入力", previous);
        keys(dialog, typed);
        if (code == 1) {
            std::this_thread::sleep_for(300ms);  // GTK's activate time-out (see dialog_test.py)
            EXPECT_EQ(uitest::windowIds("^PIN入力$"), std::vector<std::string>{dialog})
                << "OK closed the dialog on an empty field";
            keys(dialog, "Escape");
        }
        EXPECT_EQ(result(worker), ends);
        EXPECT_EQ(record(), std::pair(code, std::u16string(place)));
        EXPECT_EQ(mv::test::readText(log), std::string("C_GetFunctionList\n") + saw);
        previous = dialog;
    }
    EXPECT_EQ(signer.certDer, fixtures::readCert("ee")) << "the typed PIN's listing";
}

// The silent card row lists the card without its PIN; its key asks for the PIN when it signs:
// Cancel leaves no key, the PIN then signs.
TEST(SignerDialogTest, silentCardRow_listsWithoutPin_signingAsksForIt) {
    ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
    setlocale(LC_ALL, "");
    fixtures::TempHome home;
    setenv("DISPLAY", g_display.c_str(), 1);
    home.makeNssDb("");
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("NEC Secure Ware AES Cryptographic Provider");
    mv::QuarnelCapi signer;
    std::u16string err;
    ASSERT_EQ(signer.init(0x304, nullptr, &err), 0);  // no dialog can be waiting here
    ByteBuffer certificate;
    ASSERT_EQ(signer.cert(0, nullptr, &certificate), 0);
    EXPECT_EQ(fixtures::textOf(certificate), fixtures::hexOf(fixtures::readCert("ee2")));
    ByteBuffer hash(32, 0x5A), out;
    auto signAsync = [&] {
        return std::async(std::launch::async, [&] {
            return signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out);
        });
    };
    std::future<int> sign = signAsync();
    std::string first = window("PIN入力");
    keys(first, "Escape");
    EXPECT_EQ(result(sign), -12);
    sign = signAsync();
    keys(window("PIN入力", first), "1 2 3 4 Return");
    ASSERT_EQ(result(sign), 0);
    EXPECT_EQ(fixtures::verify("ee2", "sha256", hash, mv::hexToBytes(fixtures::textOf(out))), 0);
}

}  // namespace
