#include "signers/pkcs11/CCertSelDlg.h"

#include <string.h>

#include <algorithm>

namespace mv {

std::u16string CCertSelDlg::getListText(int index) const {
    if (index < 0 || index >= static_cast<int>(certificates.size())) {
        return {};
    }
    return certListLine(certificates[index].data(), certificates[index].size());
}

std::u16string CCertSelDlg::getDetailText(int index) const {
    if (index < 0 || index >= static_cast<int>(certificates.size())) {
        return {};
    }
    return certDetailText(certificates[index].data(), certificates[index].size());
}

CertSelView CCertSelDlg::onInitDialog() {
    selection = -1;
    CertSelView view;
    if (certificates.empty()) {
        view.detail = certsel::NO_CERTIFICATE;
        return view;
    }
    for (int i = 0; i < static_cast<int>(certificates.size()); ++i) {
        std::u16string line = getListText(i);
        view.lines.push_back(line.empty() ? certsel::READ_ERROR_LINE : line);
    }
    view.okEnabled = true;
    view.selection = 0;
    view.detail = onSelChange(0);
    return view;
}

std::u16string CCertSelDlg::onSelChange(int row) const {
    if (row < 0 || row >= static_cast<int>(certificates.size())) {
        return certsel::NO_CERTIFICATE;
    }
    return getDetailText(row);
}

int CCertSelDlg::onOk(int row) {
    selection = certificates.empty() ? -1 : row;
    return 1;
}

int CCertSelDlg::DoModal() {
    CertSelSource source;
    source.empty = certificates.empty();
    source.detail = [this](int row) { return onSelChange(row); };
    source.der = [this](int row) {
        return row >= 0 && row < static_cast<int>(certificates.size()) ? certificates[row]
                                                                       : ByteBuffer();
    };
    int row = -1;
    int r = runCertSelDialog(source, onInitDialog(), &row);
    return r == 1 ? onOk(row) : r;
}

CCertPinDlg::~CCertPinDlg() {
    explicit_bzero(pin, sizeof pin);
}

int CCertPinDlg::onOk(const std::u16string& text) {
    size_t n = std::min(text.size(), PIN_SIZE - 1);
    if (n == 0) {
        return 0;
    }
    std::copy_n(text.begin(), n, pin);
    pin[n] = 0;
    return 1;
}

}  // namespace mv
