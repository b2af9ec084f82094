#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Bytes.h"

// The standard's function list (p11-kit/pkcs11.h); only Pkcs11Module.cpp sees its members, as
// NSS brings its own declarations of the standard's names.
struct _CK_FUNCTION_LIST;

namespace mv {

// The standard's handles: CK_SESSION_HANDLE, CK_SLOT_ID, CK_OBJECT_HANDLE.
using Pkcs11Handle = unsigned long;

// The error record of the PKCS#11 signer: the code and the place (a call or operation name) of
// its last failure. The signer's slots, its engine and the module all write this one record.
struct Pkcs11ErrorRecord {
    static constexpr size_t TEXT_SIZE = 64;  // 63 characters and the terminator

    int64_t errorCode = 0;
    char16_t errorText[TEXT_SIZE] = {};

    // Stores `code` sign-extended and `name` (null: the empty text; cut to 63 characters);
    // returns `code`.
    int setRecord(int code, const char16_t* name);
    void clearRecord() { setRecord(0, nullptr); }
};

// One PKCS#11 library loaded at run time (dlopen/dlsym stand in for LoadLibraryW/GetProcAddress,
// whose names the record keeps). Every operation is a complete use of the library: C_Initialize,
// one session on the first slot that holds a token, an optional login, the work, then logout,
// close and C_Finalize. Results: 0; a CK_RV other than CKR_OK as a positive code (one wider than
// 32 bits as CKR_GENERAL_ERROR); -210 no usable library; -212 the function list lacks a function
// we call (recorded with its name); -220 no certificate object, or a value that is empty or
// longer than any certificate; -221 no private key for the public key; -231 no DigestInfo for the
// algorithm; 50 no slot with a token. Every failure is recorded.
class Pkcs11Module {
public:
    explicit Pkcs11Module(Pkcs11ErrorRecord* record) : errorRecord(record) {}
    ~Pkcs11Module() { unload(); }
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    int setError(int code, const char16_t* name);

    // Loads the library at `path` and takes its function list. A page's name (`pageNamed`) that
    // holds a directory part is loaded only from a file that root installed: an absolute path to
    // a regular file that, like every directory above it and above any link on the way, is owned
    // by root and writable by root alone; anything else fails as a library that does not load.
    // A name without a "/" is looked up in the system's library directories only (ld.so.conf's
    // and the loader's defaults, never the working directory or LD_LIBRARY_PATH), and the file
    // found must pass the same test. The user's own choice in the file dialog is loaded as it is.
    int load(const char16_t* path, bool pageNamed);
    // Releases the library without C_Finalize (every operation has finalised already).
    void unload();
    // 0 when at least one slot holds a token.
    int getStatus();
    // 0 with `atRisk` set when the token that a session opens on (the first listed) reports a
    // user PIN whose count is low, whose next try is the last, or that is locked
    // (C_GetTokenInfo). Logs in nowhere.
    int userPinAtRisk(bool* atRisk);
    // Appends the DER of each certificate of the token (the first 20 objects), without CA
    // certificates and unparsable ones unless `includeCA`. Logs in only with a non-empty PIN.
    int getCerts(std::vector<ByteBuffer>* out, const char16_t* pin, bool includeCA);
    // Signs the hash with CKM_RSA_PKCS over its DigestInfo, with the private key whose public
    // key is (`modulus`, `exponent`), both big-endian.
    int getSign(const ByteBuffer* modulus, const ByteBuffer* exponent, const ByteBuffer* hash,
                int algCode, const char16_t* pin, ByteBuffer* signature);

    // The session frame of getCerts and getSign; a failed openSession is followed by
    // closeSession all the same.
    int openSession(bool login, const char16_t* pin);
    int closeSession();
    // The CKA_VALUE of `object`, sized first, then read.
    int getAttributeValue(Pkcs11Handle object, ByteBuffer* value);

    bool loaded() const { return functions != nullptr; }

    Pkcs11ErrorRecord* const errorRecord;  // never changes; null records nothing
    void* module = nullptr;                // the dlopen handle, owned
    _CK_FUNCTION_LIST* functions = nullptr;
    Pkcs11Handle session = 0;
    Pkcs11Handle slot = 0;
    bool loggedIn = false;
    // C_Initialize of the running operation answered CKR_OK. Another user of the same library in
    // this process (a module of the user's NSS database) may have initialised it already: then we
    // use it as it is and must not finalise it under that user's feet.
    bool initializedHere = false;

private:
    // Records a CK_RV other than CKR_OK (compared at its full width) with `name` and returns its
    // code, never 0. Every CK_RV becomes a result code here and nowhere else.
    int fail(unsigned long rv, const char16_t* name);
    // C_Initialize: 0, or the recorded failure; CKR_CRYPTOKI_ALREADY_INITIALIZED counts as
    // success.
    int initialize();
    // C_Finalize when this operation initialised the library.
    unsigned long finalize();
    // Steps of getSign between the opened session and its close.
    int signInSession(const ByteBuffer* modulus, const ByteBuffer* exponent, const ByteBuffer* hash,
                      int algCode, ByteBuffer* signature);
};

// 1 when the certificate's basic constraints say cA, 0 when not (also without the extension or
// with one that does not decode), -1 when the bytes are no certificate.
int isCaCertificate(const ByteBuffer& der);
// The DER DigestInfo (RFC 8017, 9.2 note 1) of the digest's first N bytes for algCode 0 SHA-256,
// 1 SHA-384, 2 SHA-512, 10 SHA-1; `out` untouched for any other code. `hash` must hold N bytes.
void makeDigestInfo(ByteBuffer* out, const ByteBuffer& hash, int algCode);
// The digest of `data`: 1 SHA-384, 2 SHA-512, 10 SHA-1, anything else SHA-256; empty on failure.
ByteBuffer hashData(const ByteBuffer& data, int algCode);

}  // namespace mv
