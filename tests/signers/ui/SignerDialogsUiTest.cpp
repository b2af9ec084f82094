// The store signer's dialogs under Xvfb, driven with the keyboard through xdotool.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <sstream>
#include <thread>

#include "Fixtures.h"
#include "foundation/Text.h"
#include "signers/capi/QuarnelCapi.h"

namespace {

using namespace std::chrono_literals;
using mv::ByteBuffer;

std::string output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        out.append(buffer, n);
    }
    pclose(pipe);
    return out;
}

// The visible window titled "証明書の選択", waiting up to 10 s for it.
std::string selectionWindow() {
    for (int i = 0; i < 100; ++i) {
        std::istringstream ids(
            output("xdotool search --onlyvisible --name '^証明書の選択$' 2>/dev/null"));
        std::string id;
        if (ids >> id) {
            return id;
        }
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

void keys(const std::string& window, const std::string& sequence) {
    output("xdotool windowactivate --sync " + window +
           " >/dev/null 2>&1; xdotool windowfocus --sync " + window + " key --delay 100 " +
           sequence);
}

// Taken before any fixture hides the display from the signer tests.
const std::string g_display = getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "";

class SelectionDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
        // As the program's entry does: GTK names windows in the locale's encoding.
        setlocale(LC_ALL, "");
        home.makeNssDb("ee ee2");
        setenv("DISPLAY", g_display.c_str(), 1);  // TempHome hides the display
        std::u16string err;
        ASSERT_EQ(signer.init(0x4, nullptr, &err), 0);
        ASSERT_EQ(signer.getStatus(), 2);
    }

    // cert on a worker, as the runner calls it, while this thread plays the user.
    std::future<int> choose(ByteBuffer* out) {
        return std::async(std::launch::async, [this, out] { return signer.cert(0, nullptr, out); });
    }

    fixtures::TempHome home;
    mv::QuarnelCapi signer;
};

TEST_F(SelectionDialogTest, downThenEnter_choosesTheSecondLine) {
    ByteBuffer out;
    std::future<int> result = choose(&out);
    std::string window = selectionWindow();
    if (window.empty()) {
        // The worker waits for a dialog nobody can answer: end the program instead of hanging.
        fprintf(stderr, "no selection dialog appeared\n");
        std::_Exit(1);
    }
    keys(window, "Down Return");
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(signer.selected, 1);
    const SECItem& der = signer.keys[1]->cert->derCert;
    std::string hex;
    mv::bytesToHex(ByteBuffer(der.data, der.data + der.len), hex);
    EXPECT_EQ(std::string(out.begin(), out.end()), hex);
}

TEST_F(SelectionDialogTest, escape_cancels) {
    ByteBuffer out;
    std::future<int> result = choose(&out);
    std::string window = selectionWindow();
    if (window.empty()) {
        // The worker waits for a dialog nobody can answer: end the program instead of hanging.
        fprintf(stderr, "no selection dialog appeared\n");
        std::_Exit(1);
    }
    keys(window, "Escape");
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    EXPECT_EQ(signer.getErrorMessage(), u"cert");
    EXPECT_TRUE(out.empty());
}

TEST_F(SelectionDialogTest, widerButNeverTaller) {
    ByteBuffer out;
    std::future<int> result = choose(&out);
    std::string window = selectionWindow();
    if (window.empty()) {
        // The worker waits for a dialog nobody can answer: end the program instead of hanging.
        fprintf(stderr, "no selection dialog appeared\n");
        std::_Exit(1);
    }
    auto size = [&] {
        int w = 0, h = 0;
        std::string g = output("xdotool getwindowgeometry --shell " + window);
        std::sscanf(g.substr(g.find("WIDTH=")).c_str(), "WIDTH=%d\nHEIGHT=%d", &w, &h);
        return std::pair(w, h);
    };
    auto [width, height] = size();
    output("xdotool windowsize --sync " + window + " " + std::to_string(width + 200) + " " +
           std::to_string(height + 200) + " 2>/dev/null");
    std::this_thread::sleep_for(300ms);
    auto [wider, sameHeight] = size();
    EXPECT_EQ(wider, width + 200);
    EXPECT_EQ(sameHeight, height);
    keys(window, "Escape");
    EXPECT_EQ(result.get(), 1);
}

TEST_F(SelectionDialogTest, viewButton_opensTheCertificateViewAndKeepsTheDialog) {
    ByteBuffer out;
    std::future<int> result = choose(&out);
    std::string window = selectionWindow();
    if (window.empty()) {
        fprintf(stderr, "no selection dialog appeared\n");
        std::_Exit(1);
    }
    if (const char* shots = getenv("QUARNEL_SCREENSHOT_DIR")) {
        output(std::string("import -window root ") + shots + "/selection-dialog.png");
    }
    keys(window, "Tab space");  // from the list to "詳細表示..."
    std::string view;
    for (int i = 0; i < 50 && view.empty(); ++i) {
        std::istringstream ids(
            output("xdotool search --onlyvisible --name '^証明書$' 2>/dev/null"));
        ids >> view;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(view.empty()) << "the certificate view did not open";
    if (const char* shots = getenv("QUARNEL_SCREENSHOT_DIR")) {
        output(std::string("import -window root ") + shots + "/certificate-view.png");
    }
    keys(view, "Escape");
    EXPECT_EQ(result.wait_for(500ms), std::future_status::timeout) << "the dialog stays open";
    keys(window, "Escape");
    EXPECT_EQ(result.get(), 1);
}

// The card provider's token asks for its PIN while init opens it.
class PinPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(g_display.empty()) << "run through xvfb-run (see CMakeLists.txt)";
        setlocale(LC_ALL, "");
        home.makeNssDb("");
        home.addSoftHsmToken("ee2");
        home.registerSoftHsm("JPKI Crypto Service Provider for Sign");
        setenv("DISPLAY", g_display.c_str(), 1);
    }

    // The visible prompt other than `previous`.
    std::string promptWindow(const std::string& previous = "") {
        for (int i = 0; i < 100; ++i) {
            std::istringstream ids(
                output("xdotool search --onlyvisible --name '^PIN入力$' 2>/dev/null"));
            std::string id;
            if (ids >> id && id != previous) {
                return id;
            }
            std::this_thread::sleep_for(100ms);
        }
        fprintf(stderr, "no PIN prompt appeared\n");
        std::_Exit(1);
    }

    fixtures::TempHome home;
    mv::QuarnelCapi signer;
};

TEST_F(PinPromptTest, rightPin_opensTheCardEntry_whichSigns) {
    std::u16string err;
    std::future<int> init =
        std::async(std::launch::async, [&] { return signer.init(0x304, nullptr, &err); });
    std::string prompt = promptWindow();
    keys(prompt, "1 2 3 4 Return");
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

TEST_F(PinPromptTest, wrongPinAsksAgain_thenCancelSkipsTheCard) {
    std::u16string err;
    std::future<int> init =
        std::async(std::launch::async, [&] { return signer.init(0x300, nullptr, &err); });
    std::string prompt = promptWindow();
    keys(prompt, "9 9 9 9 Return");
    prompt = promptWindow(prompt);
    keys(prompt, "Escape");
    ASSERT_EQ(init.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(init.get(), -11);
    EXPECT_EQ(err, u"Error: certificate not found.");
}

}  // namespace
