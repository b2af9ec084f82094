#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Bytes.h"

// What the two certificate selection dialogs (the store signer's and the PKCS#11 signer's) share:
// their texts, the list line and details of one certificate, and the GTK dialog itself.
namespace mv {

namespace certsel {
inline constexpr const char16_t* TITLE = u"証明書の選択";
inline constexpr const char16_t* PROMPT =
    u"署名に利用する証明書を選択してください (所有者 / 発行者)";
inline constexpr const char16_t* VIEW_BUTTON = u"詳細表示...";
inline constexpr const char16_t* CANCEL_BUTTON = u"キャンセル";
inline constexpr const char16_t* NO_CERTIFICATE = u"証明書がありません。";
inline constexpr const char16_t* READ_ERROR_LINE = u"ERROR:証明書読み込みエラー";
inline constexpr const char16_t* VIEW_NOT_FOUND = u"ERROR:証明書が見つかりません。";
inline constexpr const char16_t* VIEW_CAPTION = u"証明書表示";
}  // namespace certsel

// The subject's and the issuer's simple display names joined by " / "; empty for bytes that are
// no certificate.
std::u16string certListLine(const unsigned char* der, size_t size);
// "所有者: ", "発行者: ", the validity in local dates and the serial (most significant byte
// first, "%02x" bytes joined by blanks), joined by CR LF; empty for bytes that are no certificate.
std::u16string certDetailText(const unsigned char* der, size_t size);

// What a selection dialog shows when it opens.
struct CertSelView {
    std::vector<std::u16string> lines;  // an empty line text shown as READ_ERROR_LINE
    int selection = -1;                 // line 0, or none without certificates
    bool okEnabled = false;             // OK and the view button
    std::u16string detail;
};

// What the drawn dialog asks its owner while it runs.
struct CertSelSource {
    bool empty = true;
    std::function<std::u16string(int row)> detail;  // the details for a selection (-1: none)
    std::function<ByteBuffer(int row)> der;         // the certificate shown by the viewer
};

// Shows the dialog modally on the UI thread, owned by g_hDlgParent, and waits: 1 OK with `row`
// the selected line, 2 Cancel (also without a display), -1 the dialog could not be made.
int runCertSelDialog(const CertSelSource& source, const CertSelView& view, int* row);

}  // namespace mv
