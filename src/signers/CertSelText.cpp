#include <cstdio>
#include <ctime>

#include "foundation/Text.h"
#include "signers/CertSelDialog.h"
#include "signers/Der.h"

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

}  // namespace

std::u16string certListLine(const unsigned char* der, size_t size) {
    auto cert = der::parseCertificate(der, size);
    if (!cert) {
        return {};
    }
    return fromUtf8(der::simpleDisplayName(cert->subject)) + u" / " +
           fromUtf8(der::simpleDisplayName(cert->issuer));
}

std::u16string certDetailText(const unsigned char* der, size_t size) {
    auto cert = der::parseCertificate(der, size);
    if (!cert) {
        return {};
    }
    std::u16string text = u"所有者: " + fromUtf8(der::simpleDisplayName(cert->subject));
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
    return text + fromUtf8(serial);
}

}  // namespace mv
