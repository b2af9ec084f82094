#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A small strict-enough DER reader for the parts of an X.509 certificate that the signers show
// and describe. Every element is checked against the bytes of its container, so malformed input
// ends as "no certificate" or "no value", never as a read past the end.
namespace mv::der {

struct Element {
    unsigned char tag = 0;
    const unsigned char* content = nullptr;
    size_t length = 0;
    // The whole encoding (tag, length field, content).
    const unsigned char* begin = nullptr;
    size_t encodedLength = 0;
};

// Reads one element at `data` (single-byte tags only; definite lengths of up to four octets).
// Empty when the element does not fit in `size` bytes.
std::optional<Element> readElement(const unsigned char* data, size_t size);
// The elements that fill `content` exactly; empty when any of them is malformed.
std::optional<std::vector<Element>> readChildren(const Element& parent);

// "1.2.392.200149.8.5.5.1" for the content octets of an OBJECT IDENTIFIER; empty when malformed.
std::string oidToText(const unsigned char* data, size_t length);

struct Extension {
    std::string oid;
    const unsigned char* value = nullptr;  // content of extnValue
    size_t length = 0;
};

// The fields of a certificate, pointing into the caller's bytes.
struct Certificate {
    std::vector<unsigned char> serial;  // content octets of serialNumber, most significant first
    Element issuer;                     // the encoded Names
    Element subject;
    int64_t notBefore = 0;  // FILETIME: 100-nanosecond intervals since 1601-01-01T00:00:00Z
    int64_t notAfter = 0;
    std::vector<Extension> extensions;
};

// Empty when the bytes are no certificate.
std::optional<Certificate> parseCertificate(const unsigned char* data, size_t size);

// The first extension with this identifier, or null.
const Extension* findExtension(const Certificate& cert, const std::string& oid);

// A UTCTime (tag 0x17) or GeneralizedTime (0x18) as FILETIME; empty when malformed.
std::optional<int64_t> timeToFileTime(const Element& time);

// One attribute of a Name: the first of its RDN, as the platform decoders deliver it.
struct NameAttribute {
    std::string oid;
    unsigned char valueTag = 0;
    std::string text;  // UTF-8 for BMPString and UTF8String, else the content octets
};
// The first attribute of every RDN in encoded order; empty for a malformed Name.
std::vector<NameAttribute> readNameAttributes(const Element& name);

// The simple display name of a Name, as the certificate lists show it: the first common name,
// else the first organisational unit, else the first organisation, else the e-mail address
// attribute; empty when the Name holds none of them.
std::string simpleDisplayName(const Element& name);

}  // namespace mv::der
