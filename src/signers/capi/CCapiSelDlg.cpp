#include "signers/capi/CCapiSelDlg.h"

#include <cstdio>
#include <ctime>
#include <optional>

#include "foundation/Text.h"
#include "signers/Der.h"
#include "signers/capi/CapiKeyEntry.h"

namespace mv {

namespace {

std::optional<der::Certificate> parsed(const CapiKeyEntry* entry) {
    if (entry == nullptr || entry->cert == nullptr || entry->cert->derCert.len == 0) {
        return std::nullopt;
    }
    return der::parseCertificate(entry->cert->derCert.data, entry->cert->derCert.len);
}

}  // namespace

std::u16string CCapiSelDlg::makeListText(const CapiKeyEntry* entry) {
    if (!parsed(entry)) {
        return {};
    }
    std::u16string line = entry->sourceId > 0 ? u"[IC] " : u"";
    return line + certListLine(entry->cert->derCert.data, entry->cert->derCert.len);
}

std::u16string CCapiSelDlg::makeDetailText(const CapiKeyEntry* entry) {
    if (!parsed(entry)) {
        return {};
    }
    std::u16string text;
    if (entry->sourceId >= 1) {
        text += u"取得: IC-CARD [識別No." +
                utf8ToWString(std::to_string(entry->sourceId).c_str(),
                              std::to_string(entry->sourceId).size()) +
                u"]\r\n";
    } else {
        text += u"取得: Windows証明書ストア [個人]\r\n";
    }
    return text + certDetailText(entry->cert->derCert.data, entry->cert->derCert.len);
}

int CCapiSelDlg::DoModal() {
    CertSelSource source;
    source.empty = entries.empty();
    source.detail = [this](int row) { return onSelChange(row); };
    source.der = [this](int row) { return certificateDer(row); };
    int row = -1;
    int r = runCertSelDialog(source, onInitDialog(), &row);
    return r == 1 ? onOk(row) : r;
}

CCapiSelDlg::InitialView CCapiSelDlg::onInitDialog() {
    chosenIndex = -1;
    InitialView view;
    if (entries.empty()) {
        view.okEnabled = false;
        view.detail = NO_CERTIFICATE;
        return view;
    }
    for (const CapiKeyEntry* entry : entries) {
        std::u16string line = makeListText(entry);
        view.lines.push_back(line.empty() ? READ_ERROR_LINE : line);
    }
    view.okEnabled = true;
    view.selection = 0;
    view.detail = onSelChange(0);
    return view;
}

std::u16string CCapiSelDlg::onSelChange(int selection) const {
    if (selection < 0 || selection >= static_cast<int>(entries.size())) {
        return NO_CERTIFICATE;
    }
    return makeDetailText(entries[selection]);
}

ByteBuffer CCapiSelDlg::certificateDer(int row) const {
    if (row < 0 || row >= static_cast<int>(entries.size()) || entries[row] == nullptr ||
        entries[row]->cert == nullptr) {
        return {};
    }
    const SECItem& der = entries[row]->cert->derCert;
    return ByteBuffer(der.data, der.data + der.len);
}

int CCapiSelDlg::onOk(int selection) {
    chosenIndex = entries.empty() ? -1 : selection;
    return 1;
}

}  // namespace mv
