#pragma once

#include <memory>

#include <cert.h>
#include <pk11pub.h>

#include "signers/capi/Nss.h"

namespace mv {

// One usable key with its certificate: a certificate of the user's store, the first key of a
// provider's token, or a certificate given as text. Owned by the signer's list (or, for a
// certificate given as text, by the signing call).
class CapiKeyEntry {
public:
    CapiKeyEntry() = default;
    ~CapiKeyEntry() { close(); }
    CapiKeyEntry(const CapiKeyEntry&) = delete;
    CapiKeyEntry& operator=(const CapiKeyEntry&) = delete;

    // Opens the provider (the PKCS#11 module of that name in the user's database): its first
    // present token and the first certificate there that has a private key. With CRYPT_SILENT
    // the token is read without a login; otherwise the PIN is asked for first.
    // 1 the entry holds them; 0 no such provider (or no token in it); -1 no key with a
    // certificate could be read (also when the PIN is not given), or the certificate is larger
    // than 20480 bytes; -2 the certificate has no encoding. On every result but 1 the entry is
    // back to {null, null, -1, keySpec}.
    int open(const char16_t* cspName, unsigned provType, unsigned acquireFlags, int id,
             int keySpec);
    // Takes a new reference to `certificate` as a store entry (sourceId 0). 1, or -1 when there
    // is nothing to take (sourceId -1).
    int setCert(CERTCertificate* certificate);
    // Releases the certificate and the token: {null, null, -1, keySpecOverride}.
    void close();

    PK11SlotInfo* prov = nullptr;     // the provider's token; null for store entries
    CERTCertificate* cert = nullptr;  // owned
    // 0 the user's store or a certificate given as text; 1..10 the CspTable id; 20 + n an option
    // item; -1 none.
    int sourceId = -1;
    int keySpecOverride = -1;
    unsigned acquireFlags = 0;  // CRYPT_SILENT: opened without the PIN, asked when the key signs

private:
    // NSS must stay up while the entry holds its objects.
    std::shared_ptr<nss::Context> context_;
};

}  // namespace mv
