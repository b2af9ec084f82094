// The runner's signer set-up and certificate worker against a real NSS database.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/CmdRunner.h"
#include "exchange/QuarnelHttp.h"
#include "foundation/Text.h"
#include "signers/capi/QuarnelCapi.h"

namespace {

namespace fs = std::filesystem;

int run(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A temporary HOME whose NSS database holds the given PKCS#12 bundles of gencerts.sh.
class CmdRunnerSignerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/mvrunner.XXXXXX";
        dir = mkdtemp(pattern);
        for (const char* name : {"HOME", "TMPDIR"}) {
            const char* value = getenv(name);
            saved.emplace_back(name, value != nullptr ? value : "");
        }
        setenv("HOME", dir.c_str(), 1);
        setenv("TMPDIR", dir.c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        ASSERT_EQ(run(std::string(QUARNEL_TEST_SUPPORT_DIR) + "/gencerts.sh " + dir +
                      "/certs >/dev/null 2>&1"),
                  0);
        logFile = dir + "/run.log";
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        fs::remove_all(dir);
    }

    void makeNssDb(std::initializer_list<const char*> bundles) {
        std::string db = dir + "/.pki/nssdb";
        fs::create_directories(db);
        ASSERT_EQ(run("certutil -N -d sql:" + db + " --empty-password"), 0);
        for (const char* bundle : bundles) {
            ASSERT_EQ(run("pk12util -i " + dir + "/certs/" + bundle + ".p12 -d sql:" + db +
                          " -W test >/dev/null"),
                      0);
        }
    }

    void pointLog(mv::CmdRunner& runner) {
        runner.logPath = mv::utf8ToWString(logFile.data(), logFile.size());
    }
    // The log's lines without their time stamps.
    std::vector<std::string> logLines() const {
        std::ifstream in(logFile, std::ios::binary);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            out.push_back(line.substr(line.find(' ') + 1, line.size() - line.find(' ') - 2));
        }
        return out;
    }

    std::string dir, logFile;
    std::vector<std::pair<std::string, std::string>> saved;
};

const mv::QuarnelCapi* capi(const mv::CmdRunner& runner) {
    return dynamic_cast<const mv::QuarnelCapi*>(runner.signer.get());
}

TEST_F(CmdRunnerSignerTest, apiInit_storeSigner_initialisedWithSid) {
    makeNssDb({"ee", "ee2"});
    mv::CmdRunner runner;
    pointLog(runner);
    EXPECT_EQ(runner.apiInit(0x4, nullptr, u"sid-1"), 0);
    ASSERT_NE(capi(runner), nullptr);
    EXPECT_EQ(runner.signer->getStatus(), 2);
    EXPECT_EQ(capi(runner)->exchange->sid, u"sid-1");
    EXPECT_TRUE(logLines().empty());
    // A second set-up replaces the signer with one of the kind the new flags choose.
    EXPECT_EQ(runner.apiInit(0x800, nullptr, u"sid-2"), 0);
    EXPECT_EQ(runner.signer->getStatus(), 0);
    EXPECT_EQ(capi(runner)->exchange->sid, u"sid-2");
}

TEST_F(CmdRunnerSignerTest, apiInit_failure_isLoggedAndSidStillSet) {
    mv::CmdRunner runner;  // no database in this HOME
    pointLog(runner);
    EXPECT_EQ(runner.apiInit(0, nullptr, u"sid-3"), -50);
    ASSERT_NE(capi(runner), nullptr) << "the signer stays in place";
    EXPECT_EQ(capi(runner)->exchange->sid, u"sid-3");
    makeNssDb({});
    EXPECT_EQ(runner.apiInit(0x200, u"1:2", nullptr), -10);
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "init / error(-50) ",
                              "init / error(-10) Error: invalid opt argument format.",
                          }));
}

TEST_F(CmdRunnerSignerTest, apiInit_pkcs11Flag_refusedUntilThatSignerExists) {
    makeNssDb({"ee"});
    mv::CmdRunner runner;
    pointLog(runner);
    EXPECT_EQ(runner.apiInit(0x1, nullptr, u"sid"), -90);
    EXPECT_EQ(runner.signer, nullptr);
    mv::ByteBuffer out;
    EXPECT_EQ(runner.getCert(0, nullptr, out), -1);
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"init / error(-90) ", " / error(-1) cert cmd error."}));
}

TEST_F(CmdRunnerSignerTest, getCert_oneEntry_chosenOnTheWorker) {
    makeNssDb({"ee"});
    mv::CmdRunner runner;
    pointLog(runner);
    ASSERT_EQ(runner.apiInit(0x4, nullptr, nullptr), 0);
    mv::ByteBuffer out;
    EXPECT_EQ(runner.getCert(0, nullptr, out), 0);
    EXPECT_FALSE(mv::g_signerBusy);
    std::ifstream in(dir + "/certs/ee.der", std::ios::binary);
    mv::ByteBuffer der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string hex;
    mv::bytesToHex(der, hex);
    EXPECT_EQ(std::string(out.begin(), out.end()), hex);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(CmdRunnerSignerTest, getCert_cancelled_returnsOneLogsItAndLeavesOutputEmpty) {
    makeNssDb({"ee", "ee2"});
    mv::CmdRunner runner;
    pointLog(runner);
    ASSERT_EQ(runner.apiInit(0, nullptr, nullptr), 0);
    mv::ByteBuffer out;
    // Two entries need the dialog; without a display it answers Cancel.
    EXPECT_EQ(runner.getCert(0, nullptr, out), 1);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(mv::g_signerBusy);
    EXPECT_EQ(runner.getCert(0x100, nullptr, out), -10);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"cert / error(1) cert cmd error.",
                                                    "cert / error(-10) cert cmd error."}));
}

}  // namespace
