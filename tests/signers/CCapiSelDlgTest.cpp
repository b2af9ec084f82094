// The selection dialog's texts and state changes, without a display.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "Fixtures.h"
#include "foundation/Text.h"
#include "signers/capi/CCapiSelDlg.h"
#include "signers/capi/CapiKeyEntry.h"
#include "signers/capi/Nss.h"

namespace {

using mv::CapiKeyEntry;
using mv::CCapiSelDlg;

class CCapiSelDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        fixtures::setZone("JST-9");
        context = mv::nss::openAnyContext();
        ASSERT_NE(context, nullptr);
    }
    // An entry holding a fixture certificate as the store would give it, then `sourceId`.
    CapiKeyEntry* entry(const char* name, int sourceId) {
        mv::ByteBuffer der = fixtures::readCert(name);
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
        mv::nss::UniqueCert cert(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
        EXPECT_NE(cert, nullptr) << name;
        auto e = std::make_unique<CapiKeyEntry>();
        e->setCert(cert.get());
        e->sourceId = sourceId;
        entries.push_back(std::move(e));
        return entries.back().get();
    }

    fixtures::TempHome home;
    std::shared_ptr<mv::nss::Context> context;
    std::vector<std::unique_ptr<CapiKeyEntry>> entries;
};

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

TEST_F(CCapiSelDlgTest, texts_namesFromTheCertificateInLocalTime) {
    EXPECT_EQ(CCapiSelDlg::makeListText(entry("japanesebmp", 0)), u"山田太郎 / Quarnel Test CA");
    // The first common name of a multi-valued RDN.
    EXPECT_EQ(CCapiSelDlg::makeListText(entry("names", 0)), u"Multi / Quarnel Test CA");
    fixtures::setZone("UTC0");
    std::u16string utc = CCapiSelDlg::makeDetailText(entry("ee2", 0));
    EXPECT_NE(utc.find(u"有効期間: 2020/03/31 ～ 2049/12/31\r\n"), std::u16string::npos);
    EXPECT_EQ(utc.substr(utc.size() - 2), u"02") << "no line break at the end";
}

TEST_F(CCapiSelDlgTest, onInitDialog_selectsFirstLineOrDisablesOk) {
    CapiKeyEntry broken;  // an entry without certificate shows the error line
    CCapiSelDlg dialog;
    dialog.entries = {entry("ee", 0), &broken, entry("ee2", 6)};
    CCapiSelDlg::InitialView view = dialog.onInitDialog();
    EXPECT_EQ(view.lines, (std::vector<std::u16string>{u"Test Signer One / Quarnel Test CA",
                                                       u"ERROR:証明書読み込みエラー",
                                                       u"[IC] Test Signer Two / Quarnel Test CA"}));
    EXPECT_EQ(std::tie(view.okEnabled, view.selection, view.detail),
              std::make_tuple(true, 0, EE_DETAIL));
    EXPECT_EQ(dialog.onSelChange(2), EE2_DETAIL);
    EXPECT_EQ(dialog.onSelChange(-1), u"証明書がありません。");
    EXPECT_EQ(dialog.chosenIndex, -1);
    EXPECT_EQ(dialog.onOk(2), 1);
    EXPECT_EQ(dialog.chosenIndex, 2);
    EXPECT_EQ(dialog.certificateDer(2), fixtures::readCert("ee2"));
    EXPECT_TRUE(dialog.certificateDer(1).empty());
    EXPECT_TRUE(dialog.certificateDer(3).empty());

    CCapiSelDlg none;
    view = none.onInitDialog();
    EXPECT_EQ(std::tie(view.lines, view.okEnabled, view.selection, view.detail),
              std::make_tuple(std::vector<std::u16string>{}, false, -1, u"証明書がありません。"));
    EXPECT_EQ(none.onOk(0), 1);
    EXPECT_EQ(none.chosenIndex, -1);
}

}  // namespace
