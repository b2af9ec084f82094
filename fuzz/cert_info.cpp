// Certificate descriptions of arbitrary bytes (a token's or a page's): the DER walk, the names, the
// JPKI alternative names, the registration extension and the selection dialog's line and details
// must never read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "signers/CertInfo.h"
#include "signers/CertSelDialog.h"

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
    mv::certListLine(data, size);
    mv::certDetailText(data, size);
    // The extension walks on their own, as if the bytes were an extension value.
    mv::CertAttributes attributes;
    mv::readRegistAttributes(data, size, attributes);
    mv::readJpkiAttributes(data, size, attributes);
    mv::CertNameList names;
    mv::parseName(names, size, data);
    return 0;
}
