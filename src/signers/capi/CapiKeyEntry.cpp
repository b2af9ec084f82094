#include "signers/capi/CapiKeyEntry.h"

#include "foundation/Text.h"
#include "signers/capi/CspTable.h"

namespace mv {

namespace {

// The buffer that the provider's certificate is read into on Windows; a larger certificate makes
// the provider unusable there, and the same limit keeps the behaviour alike.
constexpr unsigned MAX_PROVIDER_CERT = 20480;

// The first present token of the module named `name`.
nss::UniqueSlot findProviderToken(const std::string& name) {
    nss::UniqueModule module(SECMOD_FindModule(name.c_str()));
    if (!module) {
        return nullptr;
    }
    for (int i = 0; i < module->slotCount; ++i) {
        PK11SlotInfo* slot = module->slots[i];
        if (slot != nullptr && PK11_IsPresent(slot)) {
            return nss::UniqueSlot(PK11_ReferenceSlot(slot));
        }
    }
    return nullptr;
}

}  // namespace

int CapiKeyEntry::open(const char16_t* cspName, unsigned provType, unsigned flags, int id,
                       int keySpec) {
    (void)provType;  // a module is found by its name alone
    close();
    sourceId = id;
    keySpecOverride = keySpec;
    acquireFlags = flags;
    auto reset = [&](int result) {
        close();
        keySpecOverride = keySpec;
        return result;
    };
    context_ = nss::openUserContext();
    if (!context_ || cspName == nullptr) {
        return reset(0);
    }
    nss::UniqueSlot token = findProviderToken(toUtf8String(cspName));
    if (!token) {
        return reset(0);
    }
    bool silent = (flags & CRYPT_SILENT) != 0;
    nss::PinPolicy policy{silent};
    // Private keys of a token are private objects: without a login none can be found. A silent
    // provider is read without its PIN (certificates are public objects) and asks for it when its
    // key signs; the others ask now.
    bool loggedIn = nss::ensureLoggedIn(token.get(), policy);
    if (!loggedIn && !silent) {
        return reset(-1);
    }
    nss::UniqueCertList certs(PK11_ListCertsInSlot(token.get()));
    if (!certs) {
        return reset(-1);
    }
    for (CERTCertListNode* node = CERT_LIST_HEAD(certs.get()); !CERT_LIST_END(node, certs.get());
         node = CERT_LIST_NEXT(node)) {
        if (!nss::hasPrivateKey(token.get(), node->cert, loggedIn, policy)) {
            continue;
        }
        if (node->cert->derCert.len > MAX_PROVIDER_CERT) {
            return reset(-1);
        }
        if (node->cert->derCert.len == 0) {
            return reset(-2);
        }
        cert = CERT_DupCertificate(node->cert);
        prov = token.release();  // owned by the entry now
        return 1;
    }
    return reset(-1);
}

int CapiKeyEntry::setCert(CERTCertificate* certificate) {
    close();
    if (certificate == nullptr) {
        return -1;
    }
    context_ = nss::openAnyContext();
    cert = CERT_DupCertificate(certificate);
    sourceId = 0;
    keySpecOverride = -1;
    acquireFlags = 0;
    return 1;
}

void CapiKeyEntry::close() {
    if (cert != nullptr) {
        CERT_DestroyCertificate(cert);
        cert = nullptr;
    }
    if (prov != nullptr) {
        PK11_FreeSlot(prov);
        prov = nullptr;
    }
    sourceId = -1;
    context_.reset();
}

}  // namespace mv
