#include "signers/CertInfo.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include "foundation/Text.h"
#include "signers/Der.h"

namespace mv {

namespace {

constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;
// The last second that the local-time conversion of the certificate times accepts.
constexpr int64_t LAST_CONVERTIBLE_SECOND = 32535244799LL;

const char* const REGIST_OID = "1.2.392.100300.1.1.3";
const char* const SUBJECT_ALT_NAME_OID = "2.5.29.17";

const std::pair<const char*, const char*> NAME_KEYS[] = {
    {"2.5.4.3", "cn"},         {"2.5.4.10", "o"},
    {"2.5.4.11", "ou"},        {"2.5.4.7", "l"},
    {"2.5.4.8", "st"},         {"2.5.4.4", "sn"},
    {"2.5.4.42", "givenname"}, {"2.5.4.9", "street"},
    {"2.5.4.12", "title"},     {"2.5.4.5", "serialnumber"},
    {"2.5.4.45", "uid"},       {"2.5.4.6", "c"},
};

const std::pair<const char*, const char*> JPKI_KEYS[] = {
    {"1.2.392.200149.8.5.5.1", "name"},    {"1.2.392.200149.8.5.5.2", "scname"},
    {"1.2.392.200149.8.5.5.3", "gender"},  {"1.2.392.200149.8.5.5.4", "birth"},
    {"1.2.392.200149.8.5.5.5", "address"}, {"1.2.392.200149.8.5.5.6", "scaddress"},
};

const char* registKey(unsigned char tag) {
    switch (tag) {
        case 0xA0:
            return "corp";
        case 0xA1:
            return "number";
        case 0xA2:
            return "address";
        case 0xA3:
            return "name";
        case 0xA4:
            return "title";
        case 0xA6:
            return "issue";
        default:
            return nullptr;  // 0xA5 among them: walked over, value dropped
    }
}

// Size of the length field starting with `first`, by the rules of derLength.
int lengthFieldSize(unsigned char first) {
    return first == 0x81 ? 2 : first == 0x82 ? 3 : 1;
}

// derLength at `p` only when the whole field lies before `end`; 0 otherwise.
int boundedDerLength(const unsigned char* p, const unsigned char* end, int* length) {
    if (p >= end || lengthFieldSize(*p) > end - p) {
        return 0;
    }
    return derLength(p, length);
}

bool has(const CertAttributes& map, const char* key) {
    return map.count(key) != 0;
}

// Writes the document shared by both formats; `Format` supplies the line shapes.
struct JsonFormat {
    static void begin(std::ostringstream& s) { s << "{\n"; }
    static void item(std::ostringstream& s, const char* indent, const std::string& key,
                     const std::string& value, bool comma) {
        s << indent << '"' << key << "\":\"" << value << '"' << (comma ? ",\n" : "\n");
    }
    static void open(std::ostringstream& s, const char* name) { s << "  \"" << name << "\":{\n"; }
    static void close(std::ostringstream& s, const char*, bool comma) {
        s << (comma ? "  },\n" : "  }\n");
    }
    static void end(std::ostringstream& s) { s << "}\n"; }
};

struct XmlFormat {
    static void begin(std::ostringstream& s) {
        s << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ROOT>\n";
    }
    static void item(std::ostringstream& s, const char* indent, const std::string& key,
                     const std::string& value, bool) {
        s << indent << '<' << key << '>' << value << "</" << key << ">\n";
    }
    static void open(std::ostringstream& s, const char* name) { s << "  <" << name << ">\n"; }
    static void close(std::ostringstream& s, const char* name, bool) {
        s << "  </" << name << ">\n";
    }
    static void end(std::ostringstream& s) { s << "</ROOT>\n"; }
};

template <typename Format>
int writeCertInfo(const CertAttributes& main, const CertNameList& issuer,
                  const CertNameList& subject, const CertAttributes& jpki,
                  const CertAttributes& regist, ByteBuffer& out) {
    if (main.size() != 4) {
        return -1;
    }
    if (issuer.empty()) {
        return -2;
    }
    if (subject.empty()) {
        return -3;
    }
    std::ostringstream s;
    const char* top = "  ";
    const char* inner = "    ";
    Format::begin(s);
    if (!has(main, "type")) {
        return -10;
    }
    Format::item(s, top, "type", main.at("type"), true);
    if (!has(main, "serial")) {
        return -11;
    }
    Format::item(s, top, "serial", main.at("serial"), true);
    if (has(main, "from")) {
        Format::item(s, top, "from", main.at("from"), true);
    }
    if (!has(main, "to")) {
        return -13;
    }
    Format::item(s, top, "to", main.at("to"), true);
    Format::open(s, "issuer");
    for (size_t i = 0; i < issuer.size(); ++i) {
        Format::item(s, inner, issuer[i].first, issuer[i].second, i + 1 < issuer.size());
    }
    Format::close(s, "issuer", true);
    Format::open(s, "subject");
    for (size_t i = 0; i < subject.size(); ++i) {
        Format::item(s, inner, subject[i].first, subject[i].second, i + 1 < subject.size());
    }
    Format::close(s, "subject", !jpki.empty() || !regist.empty());
    if (!jpki.empty()) {
        Format::open(s, "jpki");
        if (!has(jpki, "name")) {
            return -20;
        }
        Format::item(s, inner, "name", jpki.at("name"), true);
        if (has(jpki, "scname")) {
            Format::item(s, inner, "scname", jpki.at("scname"), true);
        }
        if (!has(jpki, "address")) {
            return -21;
        }
        Format::item(s, inner, "address", jpki.at("address"), true);
        if (has(jpki, "scaddress")) {
            Format::item(s, inner, "scaddress", jpki.at("scaddress"), true);
        }
        if (!has(jpki, "birth")) {
            return -22;
        }
        Format::item(s, inner, "birth", jpki.at("birth"), true);
        if (!has(jpki, "gender")) {
            return -23;
        }
        Format::item(s, inner, "gender", jpki.at("gender"), false);
        Format::close(s, "jpki", !regist.empty());
    }
    if (!regist.empty()) {
        Format::open(s, "regist");
        if (has(regist, "number")) {
            Format::item(s, inner, "number", regist.at("number"), true);
        }
        if (has(regist, "issue")) {
            Format::item(s, inner, "issue", regist.at("issue"), true);
        }
        static const std::pair<const char*, int> required[] = {
            {"corp", -30}, {"address", -31}, {"name", -32}, {"title", -33}};
        for (const auto& [key, code] : required) {
            if (!has(regist, key)) {
                return code;
            }
            Format::item(s, inner, key, regist.at(key), code != -33);
        }
        Format::close(s, "regist", false);
    }
    Format::end(s);
    std::string text = s.str();
    out.assign(text.begin(), text.end());
    return 0;
}

}  // namespace

int derLength(const unsigned char* p, int* length) {
    if (p[0] == 0x81) {
        *length = p[1];
        return 2;
    }
    if (p[0] == 0x82) {
        *length = static_cast<int16_t>((p[1] << 8) | p[2]);
        return 3;
    }
    *length = p[0];
    return 1;
}

const char* fileTimeToText(std::string& out, int64_t fileTime) {
    // Truncation toward zero lets the last fraction of a second before 1970 read as 1970.
    if (fileTime <= FILETIME_UNIX_EPOCH - 10000000) {
        return nullptr;
    }
    int64_t seconds = (fileTime - FILETIME_UNIX_EPOCH) / 10000000;
    if (seconds < 0 || seconds > LAST_CONVERTIBLE_SECOND) {
        return nullptr;
    }
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return nullptr;
    }
    char buffer[256];
    size_t n = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
    out.assign(buffer, n);
    return out.c_str();
}

int parseName(CertNameList& list, size_t length, const unsigned char* bytes) {
    list.clear();
    auto name = der::readElement(bytes, length);
    if (!name) {
        return 0;
    }
    for (const der::NameAttribute& attribute : der::readNameAttributes(*name)) {
        std::string key = "oid" + attribute.oid;
        for (const auto& [oid, known] : NAME_KEYS) {
            if (attribute.oid == oid) {
                key = known;
                break;
            }
        }
        list.emplace_back(key, attribute.text);
    }
    return 0;
}

void readRegistAttributes(const unsigned char* v, size_t length, CertAttributes& out) {
    if (v == nullptr || length < 2 || v[0] != 0x30) {
        return;
    }
    const unsigned char* end = v + length;
    int sequenceLength = 0;
    int h = boundedDerLength(v + 1, end, &sequenceLength);
    // The SEQUENCE must fill the value exactly and must not be empty.
    if (h == 0 || 1 + h + static_cast<int64_t>(sequenceLength) != static_cast<int64_t>(length) ||
        static_cast<size_t>(1 + h) >= length) {
        return;
    }
    const unsigned char* p = v + 1 + h;
    while (p < end) {
        // Each element: a context tag wrapping one primitive string; the element's own length
        // and the string's tag are not used, the string's length must stay inside the value.
        unsigned char tag = *p;
        const unsigned char* q = p + 1;
        if (q >= end || lengthFieldSize(*q) > end - q) {
            return;
        }
        q += lengthFieldSize(*q);
        if (q >= end) {
            return;
        }
        ++q;  // the inner string's tag
        int valueLength = 0;
        int field = boundedDerLength(q, end, &valueLength);
        if (field == 0 || valueLength < 0 || valueLength > end - (q + field)) {
            return;
        }
        const unsigned char* value = q + field;
        p = value + valueLength;
        if (const char* key = registKey(tag)) {
            out[key].assign(reinterpret_cast<const char*>(value), valueLength);
        }
    }
}

void readJpkiAttributes(const unsigned char* value, size_t length, CertAttributes& out) {
    auto names = der::readElement(value, length);
    if (!names || names->tag != 0x30 || names->encodedLength != length) {
        return;
    }
    auto entries = der::readChildren(*names);
    if (!entries) {
        return;
    }
    // Decode everything first: a malformed otherName makes the whole extension unusable, as a
    // refused decoding does.
    std::vector<std::pair<std::string, der::Element>> others;
    for (const der::Element& entry : *entries) {
        if (entry.tag != 0xA0) {
            continue;
        }
        auto parts = der::readChildren(entry);
        if (!parts || parts->size() != 2 || (*parts)[0].tag != 0x06 || (*parts)[1].tag != 0xA0) {
            return;
        }
        std::string oid = der::oidToText((*parts)[0].content, (*parts)[0].length);
        if (oid.empty()) {
            return;
        }
        others.emplace_back(oid, (*parts)[1]);
    }
    for (const auto& [oid, wrapper] : others) {
        // W: the inner string's tag (not examined), its length, its content.
        const unsigned char* w = wrapper.content;
        const unsigned char* end = w + wrapper.length;
        if (wrapper.length < 2) {
            continue;
        }
        int textLength = 0;
        int field = boundedDerLength(w + 1, end, &textLength);
        if (field == 0 || textLength <= 0 || textLength > end - (w + 1 + field)) {
            continue;
        }
        for (const auto& [jpkiOid, key] : JPKI_KEYS) {
            if (oid == jpkiOid) {
                out[key].assign(reinterpret_cast<const char*>(w + 1 + field), textLength);
            }
        }
    }
}

int writeCertInfoJson(const CertAttributes& main, const CertNameList& issuer,
                      const CertNameList& subject, const CertAttributes& jpki,
                      const CertAttributes& regist, ByteBuffer& out) {
    return writeCertInfo<JsonFormat>(main, issuer, subject, jpki, regist, out);
}

int writeCertInfoXml(const CertAttributes& main, const CertNameList& issuer,
                     const CertNameList& subject, const CertAttributes& jpki,
                     const CertAttributes& regist, ByteBuffer& out) {
    return writeCertInfo<XmlFormat>(main, issuer, subject, jpki, regist, out);
}

int getCertInfo(const ByteBuffer& certificate, int format, ByteBuffer& out) {
    auto cert = der::parseCertificate(certificate.data(), certificate.size());
    if (!cert) {
        return -1;
    }
    CertAttributes main, jpki, regist;
    CertNameList issuer, subject;
    std::string serial;
    if (bytesToHex(cert->serial, serial) != nullptr && !serial.empty()) {
        main["serial"] = serial;
    }
    std::string text;
    if (fileTimeToText(text, cert->notBefore) != nullptr) {
        main["from"] = text;
    }
    if (fileTimeToText(text, cert->notAfter) != nullptr) {
        main["to"] = text;
    }
    parseName(issuer, cert->issuer.encodedLength, cert->issuer.begin);
    parseName(subject, cert->subject.encodedLength, cert->subject.begin);
    bool selfIssued =
        cert->issuer.encodedLength == cert->subject.encodedLength &&
        std::equal(cert->issuer.begin, cert->issuer.begin + cert->issuer.encodedLength,
                   cert->subject.begin);
    if (const der::Extension* ext = der::findExtension(*cert, REGIST_OID)) {
        readRegistAttributes(ext->value, ext->length, regist);
    }
    if (const der::Extension* ext = der::findExtension(*cert, SUBJECT_ALT_NAME_OID)) {
        readJpkiAttributes(ext->value, ext->length, jpki);
    }
    static const char* const TYPES[] = {"CERT", "ROOT", "JPKI", "REGIST"};
    int type = !regist.empty() ? 3 : !jpki.empty() ? 2 : selfIssued ? 1 : 0;
    main["type"] = TYPES[type];
    int r = (format & 1) ? writeCertInfoXml(main, issuer, subject, jpki, regist, out)
                         : writeCertInfoJson(main, issuer, subject, jpki, regist, out);
    return r < 0 ? -1 : type;
}

}  // namespace mv
