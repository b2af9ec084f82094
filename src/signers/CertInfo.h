#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Bytes.h"

// The certificate description that the signers' `info` operation hands to the page: type,
// serial, validity in local time, the parts of both names, and the JPKI and registration
// attributes, as JSON or XML. Texts are bytes and reach the document unchanged (nothing is
// escaped: the page's parsers rely on exactly these lines).
namespace mv {

using CertNameList = std::vector<std::pair<std::string, std::string>>;
using CertAttributes = std::map<std::string, std::string>;

// Format bit 0 chooses XML, else JSON. Returns the type index (0 CERT, 1 ROOT, 2 JPKI,
// 3 REGIST) with `out` replaced by the document, or -1 (bytes that are no certificate, or a
// writer failure) with `out` untouched.
int getCertInfo(const ByteBuffer& certificate, int format, ByteBuffer& out);

// Empties `list`, then one (key, text) pair per RDN of the encoded Name, for its first attribute.
// Returns 0.
int parseName(CertNameList& list, size_t length, const unsigned char* bytes);

// Local time "%Y-%m-%dT%H:%M:%S" of a FILETIME; null, `out` unchanged, for instants before
// 1970-01-01T00:00:00Z or after 3001-01-01T07:59:59Z.
const char* fileTimeToText(std::string& out, int64_t fileTime);

// Reads the DER length field at `p` the way the certificate's attribute blocks are read: 0x81 one
// more byte, 0x82 two more bytes as a signed 16-bit number, any other byte is the length itself.
// Returns the field's size (1, 2 or 3). The caller makes sure that many bytes are there.
int derLength(const unsigned char* p, int* length);

// The walks over the two attribute sources, every length checked against its container: a
// malformed element ends the walk (registration) or is passed over (JPKI).
void readRegistAttributes(const unsigned char* value, size_t length, CertAttributes& out);
void readJpkiAttributes(const unsigned char* value, size_t length, CertAttributes& out);

// Result codes of both writers: 0 written; -1 the main record does not hold four entries; -2 no
// issuer parts; -3 no subject parts; -10/-11/-13 no "type"/"serial"/"to"; -20..-23 JPKI without
// "name"/"address"/"birth"/"gender"; -30..-33 registration without
// "corp"/"address"/"name"/"title". `out` is only touched on success.
int writeCertInfoJson(const CertAttributes& main, const CertNameList& issuer,
                      const CertNameList& subject, const CertAttributes& jpki,
                      const CertAttributes& regist, ByteBuffer& out);
int writeCertInfoXml(const CertAttributes& main, const CertNameList& issuer,
                     const CertNameList& subject, const CertAttributes& jpki,
                     const CertAttributes& regist, ByteBuffer& out);

}  // namespace mv
