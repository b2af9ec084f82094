#pragma once

#include "platform/Nss.h"

// The store signer's NSS layer: the user's shared NSS database stands in for the personal
// certificate store, and the PKCS#11 modules registered in it stand in for the named providers.
// The contexts themselves belong to platform/Nss.h.
namespace mv::nss {

// What a PIN callback may do for one operation; handed to NSS as its window context.
struct PinPolicy {
    bool silent = false;  // never prompt
};

// Points NSS's password callback at the PIN prompt; operations that hand NSS no PinPolicy never
// prompt. Call before any NSS operation that is given a PinPolicy.
void installPinCallback();

// Logs in to `slot` when it needs it: false when it stays logged out (a silent policy, a
// cancelled prompt, or a wrong PIN).
bool ensureLoggedIn(PK11SlotInfo* slot, PinPolicy& policy);

// Whether `cert` of `slot` has its private key there. With `keysVisible` (logged in, or no login
// needed) the key itself is looked for; otherwise private keys are hidden and NSS's user mark
// stands in, which NSS gives a certificate when a public key of the same CKA_ID is on the token.
bool hasPrivateKey(PK11SlotInfo* slot, CERTCertificate* cert, bool keysVisible, PinPolicy& policy);

}  // namespace mv::nss
