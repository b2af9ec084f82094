#pragma once

#include <memory>
#include <string>

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <secmod.h>

// NSS has one owner in the process: every subsystem that hashes, reads certificates or signs
// opens its context here. Contexts on the user's shared database take precedence over a context
// without one, so whichever subsystem comes first (the WebSocket handshake's SHA-1, the store
// signer, the PKCS#11 signer's hashing), the internal key slot is that of the user's database.
// We only ever open and close contexts (NSS_InitContext / NSS_ShutdownContext), never NSS as a
// whole.
namespace mv::nss {

struct CertDeleter {
    void operator()(CERTCertificate* c) const { CERT_DestroyCertificate(c); }
};
struct CertListDeleter {
    void operator()(CERTCertList* l) const { CERT_DestroyCertList(l); }
};
struct SlotDeleter {
    void operator()(PK11SlotInfo* s) const { PK11_FreeSlot(s); }
};
struct PrivateKeyDeleter {
    void operator()(SECKEYPrivateKey* k) const { SECKEY_DestroyPrivateKey(k); }
};
struct PublicKeyDeleter {
    void operator()(SECKEYPublicKey* k) const { SECKEY_DestroyPublicKey(k); }
};
struct ModuleDeleter {
    void operator()(SECMODModule* m) const { SECMOD_DestroyModule(m); }
};
using UniqueCert = std::unique_ptr<CERTCertificate, CertDeleter>;
using UniqueCertList = std::unique_ptr<CERTCertList, CertListDeleter>;
using UniqueSlot = std::unique_ptr<PK11SlotInfo, SlotDeleter>;
using UniquePrivateKey = std::unique_ptr<SECKEYPrivateKey, PrivateKeyDeleter>;
using UniquePublicKey = std::unique_ptr<SECKEYPublicKey, PublicKeyDeleter>;
using UniqueModule = std::unique_ptr<SECMODModule, ModuleDeleter>;

// The user's shared database directory by NSS's own rule: $HOME/.pki/nssdb when it exists, else
// $XDG_DATA_HOME/pki/nssdb, else $HOME/.local/share/pki/nssdb.
std::string userDatabaseDir();

// One open NSS context; NSS objects must be released before the last reference goes.
class Context {
public:
    explicit Context(NSSInitContext* context) : context_(context) {}
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // A new reference to the key slot of this context's database: the internal key slot when the
    // database was the first NSS opened, else the slot NSS added for it. Null for a context
    // without a database.
    PK11SlotInfo* keySlot() const {
        return keySlot_ ? PK11_ReferenceSlot(keySlot_.get()) : nullptr;
    }

private:
    friend std::shared_ptr<Context> openUserContext();
    NSSInitContext* context_;
    UniqueSlot keySlot_;
};

// The context on the user's database, shared while anyone holds it; null when the database
// cannot be opened.
std::shared_ptr<Context> openUserContext();
// Any context that allows hashing: the user's database when it opens, else one without a
// database.
std::shared_ptr<Context> openAnyContext();

}  // namespace mv::nss
