#include "signers/capi/Nss.h"

#include "signers/capi/PinPrompt.h"

namespace mv::nss {

namespace {

// NSS calls this for every login it needs; `arg` is the PinPolicy of the operation. Operations
// that pass no policy never prompt.
char* pinCallback(PK11SlotInfo*, PRBool, void* arg) {
    auto* policy = static_cast<PinPolicy*>(arg);
    if (policy == nullptr || policy->silent) {
        return nullptr;
    }
    std::string pin;
    if (!askTokenPin(pin)) {
        // A cancelled prompt is final for this operation: NSS would otherwise ask again.
        policy->silent = true;
        return nullptr;
    }
    return PORT_Strdup(pin.c_str());  // NSS frees it
}

}  // namespace

void installPinCallback() {
    PK11_SetPasswordFunc(pinCallback);
}

bool ensureLoggedIn(PK11SlotInfo* slot, PinPolicy& policy) {
    installPinCallback();
    if (!PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, &policy)) {
        return true;
    }
    if (policy.silent) {
        return false;
    }
    return PK11_Authenticate(slot, PR_TRUE, &policy) == SECSuccess;
}

bool hasPrivateKey(PK11SlotInfo* slot, CERTCertificate* cert, bool keysVisible, PinPolicy& policy) {
    if (!keysVisible) {
        return CERT_IsUserCert(cert);
    }
    UniquePrivateKey key(PK11_FindPrivateKeyFromCert(slot, cert, &policy));
    return key != nullptr;
}

}  // namespace mv::nss
