// The store signer's dialogs under Xvfb, driven with the keyboard through xdotool.
#include <gtest/gtest.h>

#include <clocale>
#include <future>

#include "Fixtures.h"
#include "platform/ui/UiTestSupport.h"
#include "signers/capi/QuarnelCapi.h"

namespace {

using mv::ByteBuffer;
using uitest::run;
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

void keys(const std::string& window, const std::string& sequence) {
    run("xdotool windowactivate --sync " + window + " >/dev/null 2>&1");
    uitest::pressKey(window, "--delay 100 " + sequence);
}

// Taken before any fixture hides the display from the signer tests.
const std::string g_display = getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "";

class SignerDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
        // As the program's entry does: GTK names windows in the locale's encoding.
        setlocale(LC_ALL, "");
        setenv("DISPLAY", g_display.c_str(), 1);  // TempHome hides the display
    }

    // init on a worker, while this thread answers the PIN prompts.
    std::future<int> initAsync(int flags) {
        return std::async(std::launch::async,
                          [this, flags] { return signer.init(flags, nullptr, &err); });
    }

    fixtures::TempHome home;
    mv::QuarnelCapi signer;
    std::u16string err;
};

// A wrong PIN asks again and Cancel skips the card; then the right PIN opens its entry.
TEST_F(SignerDialogTest, pinPrompt_wrongAsksAgain_cancelSkips_rightOpensTheCardWhichSigns) {
    home.makeNssDb("");
    home.addSoftHsmToken("ee2");
    home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
    std::future<int> init = initAsync(0x300);
    std::string first = window("PIN入力");
    keys(first, "9 9 9 9 Return");
    std::string second = window("PIN入力", first);
    keys(second, "Escape");
    ASSERT_EQ(init.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(init.get(), -11);
    EXPECT_EQ(err, u"Error: certificate not found.");

    init = initAsync(0x304);
    keys(window("PIN入力", second), "1 2 3 4 Return");
    ASSERT_EQ(init.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(init.get(), 0);
    ASSERT_EQ(signer.getStatus(), 1);
    EXPECT_EQ(signer.keys[0]->sourceId, 1);
    ByteBuffer out;
    ASSERT_EQ(signer.cert(0, nullptr, &out), 0);
    ByteBuffer hash(32, 0x5A);
    EXPECT_EQ(signer.sign(0, nullptr, 0, hash.data(), 32, nullptr, &out), 0);
    EXPECT_EQ(out.size(), 512u);
}

}  // namespace
