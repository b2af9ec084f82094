// Certificate descriptions of arbitrary bytes: the DER walk, the names, the JPKI alternative
// names and the registration extension must never read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "signers/CertInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool zoneSet = [] {
        setenv("TZ", "JST-9", 1);
        tzset();
        return true;
    }();
    (void)zoneSet;
    mv::ByteBuffer certificate(data, data + size);
    mv::ByteBuffer out;
    mv::getCertInfo(certificate, 0, out);
    mv::getCertInfo(certificate, 1, out);
    // The extension walks on their own, as if the bytes were an extension value.
    mv::CertAttributes attributes;
    mv::readRegistAttributes(data, size, attributes);
    mv::readJpkiAttributes(data, size, attributes);
    mv::CertNameList names;
    mv::parseName(names, size, data);
    return 0;
}
