// The runner's signer set-up and certificate worker against a real NSS database.
#include <gtest/gtest.h>

#include "app/CmdRunner.h"
#include "exchange/QuarnelHttp.h"
#include "platform/Nss.h"
#include "signers/Fixtures.h"
#include "signers/capi/QuarnelCapi.h"
#include "signers/pkcs11/QuarnelP11.h"

namespace {

class CmdRunnerSignerTest : public ::testing::Test {
protected:
    void SetUp() override { runner.logPath = fixtures::u16(home.home + "/run.log"); }

    // The log's lines without their time stamps.
    std::vector<std::string> logLines() const {
        std::istringstream in(fixtures::readText(home.home + "/run.log"));
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            out.push_back(line.substr(line.find(' ') + 1, line.size() - line.find(' ') - 2));
        }
        return out;
    }
    const mv::QuarnelCapi* capi() const {
        return dynamic_cast<const mv::QuarnelCapi*>(runner.signer.get());
    }

    fixtures::TempHome home;
    mv::CmdRunner runner;
};

TEST_F(CmdRunnerSignerTest, storeSigner_certificateChosenOnTheWorker_failuresLogged) {
    // NSS opened without a database (hashing before the user had a store) must not hide the
    // store that the signer opens afterwards.
    auto hashing = mv::nss::openAnyContext();
    home.makeNssDb("ee");
    EXPECT_EQ(runner.apiInit(0x4, nullptr, u"sid-1"), 0);
    ASSERT_NE(capi(), nullptr);
    EXPECT_EQ(runner.signer->getStatus(), 1);
    EXPECT_EQ(capi()->exchange->sid, u"sid-1");
    mv::ByteBuffer out;
    EXPECT_EQ(runner.getCert(0, nullptr, out), 0);
    EXPECT_FALSE(mv::g_signerBusy);
    EXPECT_EQ(fixtures::textOf(out), fixtures::hexOf(fixtures::readCert("ee")));
    EXPECT_TRUE(logLines().empty());
    // Flag 0x1 needs the dialog; without a display it answers Cancel.
    EXPECT_EQ(runner.getCert(0x1, nullptr, out), 1);
    EXPECT_FALSE(mv::g_signerBusy);
    EXPECT_EQ(runner.getCert(0x100, nullptr, out), -10);
    EXPECT_EQ(fixtures::textOf(out), fixtures::hexOf(fixtures::readCert("ee"))) << "left alone";
    EXPECT_EQ(logLines(), (std::vector<std::string>{"cert / error(1) cert cmd error.",
                                                    "cert / error(-10) cert cmd error."}));
    // A second set-up replaces the signer, loads the store again and takes the new flags:
    // without 0x4 the certificate comes as a request document.
    EXPECT_EQ(runner.apiInit(0, nullptr, u"sid-2"), 0);
    EXPECT_EQ(capi()->exchange->sid, u"sid-2");
    EXPECT_EQ(runner.getCert(0, nullptr, out), 0);
    EXPECT_NE(fixtures::textOf(out).find("<cert>" + fixtures::hexOf(fixtures::readCert("ee"))),
              std::string::npos);
}

TEST_F(CmdRunnerSignerTest, apiInit_failures_loggedAndSidStillSet_pkcs11FlagChoosesTheP11Signer) {
    EXPECT_EQ(runner.apiInit(0, nullptr, u"sid-3"), -50);  // no database in this HOME
    ASSERT_NE(capi(), nullptr) << "the signer stays in place";
    EXPECT_EQ(capi()->exchange->sid, u"sid-3");
    home.makeNssDb("ee");
    EXPECT_EQ(runner.apiInit(0x200, u"1:2", nullptr), -10);
    EXPECT_EQ(runner.apiInit(0x1, u"/nonexistent/module.so", u"sid-4"), -31);
    auto* p11 = dynamic_cast<const mv::QuarnelP11*>(runner.signer.get());
    ASSERT_NE(p11, nullptr);
    EXPECT_EQ(p11->exchange->sid, u"sid-4");
    mv::ByteBuffer out;
    EXPECT_EQ(runner.getCert(0, nullptr, out), -11);  // no library loaded
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "init / error(-50) ",
                              "init / error(-10) Error: invalid opt argument format.",
                              "init / error(-31) Error: cannot load PKCS#11 dlls.",
                              "getCerts / error(-11) cert cmd error.",
                          }));
}

}  // namespace
