#include "signers/capi/CCapiSelDlg.h"

#include <cstdio>
#include <ctime>
#include <optional>

#include "foundation/Text.h"
#include "signers/Der.h"
#include "signers/capi/CapiKeyEntry.h"

namespace mv {

namespace {

constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

std::u16string fromUtf8(const std::string& text) {
    return utf8ToWString(text.data(), text.size());
}

// "%04d/%02d/%02d" of a FILETIME in local time; floor division keeps instants before 1970 on
// their own day.
std::string localDate(int64_t fileTime) {
    int64_t units = fileTime - FILETIME_UNIX_EPOCH;
    int64_t seconds = units / 10000000 - (units % 10000000 < 0 ? 1 : 0);
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return "0000/00/00";
    }
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%04d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday);
    return buffer;
}

std::optional<der::Certificate> parsed(const CapiKeyEntry* entry) {
    if (entry == nullptr || entry->cert == nullptr || entry->cert->derCert.len == 0) {
        return std::nullopt;
    }
    return der::parseCertificate(entry->cert->derCert.data, entry->cert->derCert.len);
}

}  // namespace

std::u16string CCapiSelDlg::makeListText(const CapiKeyEntry* entry) {
    auto cert = parsed(entry);
    if (!cert) {
        return {};
    }
    std::u16string line = entry->sourceId > 0 ? u"[IC] " : u"";
    line += fromUtf8(der::simpleDisplayName(cert->subject));
    line += u" / ";
    line += fromUtf8(der::simpleDisplayName(cert->issuer));
    return line;
}

std::u16string CCapiSelDlg::makeDetailText(const CapiKeyEntry* entry) {
    auto cert = parsed(entry);
    if (!cert) {
        return {};
    }
    std::u16string text;
    if (entry->sourceId >= 1) {
        text += u"取得: IC-CARD [識別No." + fromUtf8(std::to_string(entry->sourceId)) + u"]\r\n";
    } else {
        text += u"取得: Windows証明書ストア [個人]\r\n";
    }
    text += u"所有者: " + fromUtf8(der::simpleDisplayName(cert->subject));
    text += u"\r\n発行者: " + fromUtf8(der::simpleDisplayName(cert->issuer));
    text += u"\r\n有効期間: " + fromUtf8(localDate(cert->notBefore)) + u" ～ " +
            fromUtf8(localDate(cert->notAfter));
    text += u"\r\nシリアル: ";
    std::string serial;
    for (size_t i = 0; i < cert->serial.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02x", cert->serial[i]);
        if (i > 0) {
            serial += ' ';
        }
        serial += byte;
    }
    text += fromUtf8(serial);
    return text;
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
