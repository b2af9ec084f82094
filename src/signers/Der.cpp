#include "signers/Der.h"

#include <cstring>

#include "foundation/Text.h"

namespace mv::der {

namespace {

constexpr unsigned char TAG_UTF8_STRING = 0x0C;
constexpr unsigned char TAG_BMP_STRING = 0x1E;
constexpr unsigned char TAG_SEQUENCE = 0x30;
constexpr unsigned char TAG_SET = 0x31;
constexpr unsigned char TAG_INTEGER = 0x02;
constexpr unsigned char TAG_OID = 0x06;
constexpr unsigned char TAG_OCTET_STRING = 0x04;
constexpr unsigned char TAG_BOOLEAN = 0x01;

// Seconds between 1601-01-01 and 1970-01-01 in FILETIME units.
constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool readDigits(const unsigned char* p, int count, int& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') {
            return false;
        }
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

// UTF-16 code units to UTF-8, keeping every unit (NULs included) the way the platform decoder
// hands a BMPString or UTF8String over by its byte count.
std::string unitsToUtf8(const std::u16string& units) {
    std::string out;
    size_t start = 0;
    while (start <= units.size()) {
        size_t nul = units.find(u'\0', start);
        size_t end = nul == std::u16string::npos ? units.size() : nul;
        std::u16string part = units.substr(start, end - start);
        out += toUtf8String(part.c_str());
        if (nul == std::u16string::npos) {
            break;
        }
        out.push_back('\0');
        start = nul + 1;
    }
    return out;
}

std::string valueText(const Element& value) {
    if (value.tag == TAG_BMP_STRING) {
        std::u16string units;
        for (size_t i = 0; i + 1 < value.length; i += 2) {
            units.push_back(static_cast<char16_t>((value.content[i] << 8) | value.content[i + 1]));
        }
        return unitsToUtf8(units);
    }
    if (value.tag == TAG_UTF8_STRING) {
        return unitsToUtf8(
            utf8ToWString(reinterpret_cast<const char*>(value.content), value.length));
    }
    // Other string types arrive as their content octets; a value that is no string at all keeps
    // its whole encoding.
    switch (value.tag) {
        case 0x12:  // NumericString
        case 0x13:  // PrintableString
        case 0x14:  // TeletexString
        case 0x15:  // VideotexString
        case 0x16:  // IA5String
        case 0x19:  // GraphicString
        case 0x1A:  // VisibleString
        case 0x1B:  // GeneralString
        case 0x1C:  // UniversalString
            return std::string(reinterpret_cast<const char*>(value.content), value.length);
        default:
            return std::string(reinterpret_cast<const char*>(value.begin), value.encodedLength);
    }
}

}  // namespace

std::optional<Element> readElement(const unsigned char* data, size_t size) {
    if (data == nullptr || size < 2) {
        return std::nullopt;
    }
    Element e;
    e.begin = data;
    e.tag = data[0];
    if ((e.tag & 0x1F) == 0x1F) {
        return std::nullopt;  // multi-byte tags never occur in the structures we read
    }
    size_t pos = 2;
    size_t length = data[1];
    if (length & 0x80) {
        size_t octets = length & 0x7F;
        if (octets == 0 || octets > 4 || size < 2 + octets) {
            return std::nullopt;
        }
        length = 0;
        for (size_t i = 0; i < octets; ++i) {
            length = (length << 8) | data[2 + i];
        }
        pos += octets;
    }
    if (length > size - pos) {
        return std::nullopt;
    }
    e.content = data + pos;
    e.length = length;
    e.encodedLength = pos + length;
    return e;
}

std::optional<std::vector<Element>> readChildren(const Element& parent) {
    std::vector<Element> out;
    size_t pos = 0;
    while (pos < parent.length) {
        auto child = readElement(parent.content + pos, parent.length - pos);
        if (!child) {
            return std::nullopt;
        }
        out.push_back(*child);
        pos += child->encodedLength;
    }
    return out;
}

std::string oidToText(const unsigned char* data, size_t length) {
    if (data == nullptr || length == 0 || (data[length - 1] & 0x80)) {
        return {};
    }
    std::string out;
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (value > (UINT64_MAX >> 7)) {
            return {};
        }
        value = (value << 7) | (data[i] & 0x7F);
        if (data[i] & 0x80) {
            continue;
        }
        if (first) {
            uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            out = std::to_string(top) + "." + std::to_string(value - top * 40);
            first = false;
        } else {
            out += "." + std::to_string(value);
        }
        value = 0;
    }
    return out;
}

std::optional<int64_t> timeToFileTime(const Element& time) {
    const unsigned char* p = time.content;
    size_t n = time.length;
    int year = 0;
    if (time.tag == 0x17) {  // UTCTime: YYMMDDHHMM[SS]Z, years 50-99 are 19xx (RFC 5280)
        if (n != 11 && n != 13) {
            return std::nullopt;
        }
        if (!readDigits(p, 2, year)) {
            return std::nullopt;
        }
        year += year < 50 ? 2000 : 1900;
        p += 2;
        n -= 2;
    } else if (time.tag == 0x18) {  // GeneralizedTime: YYYYMMDDHHMM[SS][.f...]Z
        if (n < 13 || !readDigits(p, 4, year)) {
            return std::nullopt;
        }
        p += 4;
        n -= 4;
    } else {
        return std::nullopt;
    }
    int month, day, hour, minute, second = 0;
    if (!readDigits(p, 2, month) || !readDigits(p + 2, 2, day) || !readDigits(p + 4, 2, hour) ||
        !readDigits(p + 6, 2, minute)) {
        return std::nullopt;
    }
    size_t pos = 8;
    if (pos + 2 <= n && p[pos] >= '0' && p[pos] <= '9') {
        if (!readDigits(p + pos, 2, second)) {
            return std::nullopt;
        }
        pos += 2;
    }
    int64_t fraction = 0;  // in FILETIME units
    if (time.tag == 0x18 && pos < n && p[pos] == '.') {
        ++pos;
        int64_t scale = 1000000;
        size_t digits = 0;
        while (pos < n && p[pos] >= '0' && p[pos] <= '9') {
            fraction += (p[pos] - '0') * scale;
            scale /= 10;
            ++pos;
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
    }
    if (pos + 1 != n || p[pos] != 'Z') {
        return std::nullopt;
    }
    // A day past the end of its month is no date (30 February would otherwise read as 2 March).
    static const int DAYS_IN_MONTH[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (month < 1 || month > 12 || day < 1 || day > DAYS_IN_MONTH[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return seconds * 10000000 + fraction + FILETIME_UNIX_EPOCH;
}

std::optional<Certificate> parseCertificate(const unsigned char* data, size_t size) {
    auto outer = readElement(data, size);
    if (!outer || outer->tag != TAG_SEQUENCE) {
        return std::nullopt;
    }
    auto parts = readChildren(*outer);
    if (!parts || parts->size() != 3 || (*parts)[0].tag != TAG_SEQUENCE) {
        return std::nullopt;
    }
    auto tbs = readChildren((*parts)[0]);
    if (!tbs) {
        return std::nullopt;
    }
    const std::vector<Element>& f = *tbs;
    size_t i = 0;
    if (i < f.size() && f[i].tag == 0xA0) {
        ++i;  // version
    }
    // serialNumber, signature, issuer, validity, subject, subjectPublicKeyInfo
    if (f.size() < i + 6 || f[i].tag != TAG_INTEGER || f[i + 1].tag != TAG_SEQUENCE ||
        f[i + 2].tag != TAG_SEQUENCE || f[i + 3].tag != TAG_SEQUENCE ||
        f[i + 4].tag != TAG_SEQUENCE || f[i + 5].tag != TAG_SEQUENCE) {
        return std::nullopt;
    }
    Certificate cert;
    cert.serial.assign(f[i].content, f[i].content + f[i].length);
    cert.issuer = f[i + 2];
    cert.subject = f[i + 4];
    auto validity = readChildren(f[i + 3]);
    if (!validity || validity->size() != 2) {
        return std::nullopt;
    }
    auto notBefore = timeToFileTime((*validity)[0]);
    auto notAfter = timeToFileTime((*validity)[1]);
    if (!notBefore || !notAfter) {
        return std::nullopt;
    }
    cert.notBefore = *notBefore;
    cert.notAfter = *notAfter;
    for (i += 6; i < f.size(); ++i) {
        if (f[i].tag != 0xA3) {
            continue;  // issuerUniqueID, subjectUniqueID
        }
        auto wrapped = readChildren(f[i]);
        if (!wrapped || wrapped->size() != 1 || (*wrapped)[0].tag != TAG_SEQUENCE) {
            return std::nullopt;
        }
        auto list = readChildren((*wrapped)[0]);
        if (!list) {
            return std::nullopt;
        }
        for (const Element& ext : *list) {
            auto items = ext.tag == TAG_SEQUENCE ? readChildren(ext) : std::nullopt;
            if (!items || items->size() < 2 || items->size() > 3 || (*items)[0].tag != TAG_OID) {
                return std::nullopt;
            }
            const Element& value = items->back();
            if (value.tag != TAG_OCTET_STRING ||
                (items->size() == 3 && (*items)[1].tag != TAG_BOOLEAN)) {
                return std::nullopt;
            }
            std::string oid = oidToText((*items)[0].content, (*items)[0].length);
            if (oid.empty()) {
                return std::nullopt;
            }
            cert.extensions.push_back({oid, value.content, value.length});
        }
    }
    return cert;
}

const Extension* findExtension(const Certificate& cert, const std::string& oid) {
    for (const Extension& ext : cert.extensions) {
        if (ext.oid == oid) {
            return &ext;
        }
    }
    return nullptr;
}

std::vector<NameAttribute> readNameAttributes(const Element& name) {
    std::vector<NameAttribute> out;
    auto rdns = readChildren(name);
    if (!rdns) {
        return {};
    }
    for (const Element& rdn : *rdns) {
        auto attributes = rdn.tag == TAG_SET ? readChildren(rdn) : std::nullopt;
        if (!attributes) {
            return {};
        }
        if (attributes->empty()) {
            continue;  // DER forbids an empty SET; it contributes nothing
        }
        // Only the first attribute of a multi-valued RDN is described.
        const Element& first = (*attributes)[0];
        auto typeAndValue = first.tag == TAG_SEQUENCE ? readChildren(first) : std::nullopt;
        if (!typeAndValue || typeAndValue->size() != 2 || (*typeAndValue)[0].tag != TAG_OID) {
            return {};
        }
        NameAttribute attribute;
        attribute.oid = oidToText((*typeAndValue)[0].content, (*typeAndValue)[0].length);
        if (attribute.oid.empty()) {
            return {};
        }
        attribute.valueTag = (*typeAndValue)[1].tag;
        attribute.text = valueText((*typeAndValue)[1]);
        out.push_back(std::move(attribute));
    }
    return out;
}

std::string simpleDisplayName(const Element& name) {
    std::vector<NameAttribute> attributes = readNameAttributes(name);
    for (const char* oid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1"}) {
        for (const NameAttribute& a : attributes) {
            if (a.oid == oid) {
                return a.text;
            }
        }
    }
    return {};
}

}  // namespace mv::der
