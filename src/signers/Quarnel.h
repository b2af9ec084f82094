#pragma once

#include <string>
#include <vector>

#include "foundation/Bytes.h"

namespace mv {

class QuarnelHttp;

// The signer interface through which the command layer drives a signer: the store signer
// (QuarnelCapi) or the PKCS#11 signer, chosen per run. Texts are NUL-terminated UTF-16; output
// arguments are filled by the callee. Every operation returns 0 on success, a negative code on
// failure (kept with a short place text, see getErrorMessage), 1 when the user cancelled the
// store signer's certificate choice; `info` succeeds with the certificate's type index 0..3.
// The order of the virtual operations is fixed.
class Quarnel {
public:
    // Releases the keys or the module, deletes `exchange`, empties the additional data.
    virtual ~Quarnel() = default;

    // Loads the keys or the module that `options` names. On success keeps `flags` in
    // `initFlags` and sets `errText` ("ok", or the module's name); on failure `errText` may
    // explain it.
    virtual int init(int flags, const char16_t* options, std::u16string* errText) = 0;
    // Chooses a certificate: `out` = its DER as upper-case hexadecimal text when `initFlags` has
    // 0x4, else a "QRN_CERT" request document. `flags` 0x1 always shows the selection; 0x100 lets
    // the store signer open the card providers when it holds no keys. `arg` is the PKCS#11 PIN.
    virtual int cert(int flags, const char16_t* arg, ByteBuffer* out) = 0;
    // The certificate description (format bit 0: XML, else JSON); the type index, or -13.
    virtual int info(const ByteBuffer* certificate, int format, ByteBuffer* out) = 0;
    // RSA PKCS#1 v1.5 signature of a ready hash with the chosen key, or with the key of the
    // certificate in `certHex`. `algCode` 0 SHA-256, 1 SHA-384, 2 SHA-512, 10 SHA-1, else -14.
    // `out` as for `cert`, with a "QRN_SIGN" request document.
    virtual int sign(int flags, const char16_t* certHex, int algCode, const unsigned char* hash,
                     int hashLen, const char16_t* pin, ByteBuffer* out) = 0;
    // Appends one additional piece of signed data: 0, -10 or -111.
    virtual int xadd(int kind, const char16_t* name, const char16_t* uri,
                     const char16_t* dataBase64) = 0;
    // The enveloped XAdES signature of `document` (or of the element with Id `elementId`) that
    // also references every additional item. The first and fifth arguments are not read.
    virtual int xades(int, int algCode, const char16_t* document, const char16_t* elementId,
                      const char16_t*, const char16_t* pin, ByteBuffer* out) = 0;
    // Releases what `init` loaded; both arguments are ignored; 0.
    virtual int close(int, int) = 0;
    // httpExec with these values in their places and 0 for everything else.
    virtual int http(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
                     const char16_t* certUrlOrPath, const char16_t* signUrlOrPath, int algCode, int,
                     int, std::u16string* redirect) = 0;
    // The signer's own complete server exchange: init, httpSet, cert, upload, sign of the
    // answer's hash, upload, and the answer's redirect.
    virtual int httpExec(int flags, const char16_t* options, const char16_t* url,
                         const char16_t* sid, const char16_t* option3, const char16_t* headers, int,
                         int absolute, int certFlags, const char16_t* certArg,
                         const char16_t* certUrlOrPath, int signFlags, const char16_t* certHex,
                         const char16_t* signUrlOrPath, int algCode, const char16_t* pin, int, int,
                         std::u16string* redirect) = 0;
    virtual int getErrorCode() = 0;
    // A copy of the place text of the last failure.
    virtual std::u16string getErrorMessage() = 0;
    virtual void clearError() = 0;
    // Stores the code and the place (null or empty: an empty text) and returns `code`.
    virtual int setError(int code, const char16_t* place) = 0;
    // Forward to the exchange object; httpSet always gives 0, httpSend keeps a failure with the
    // failing step's name as its place. The fifth argument of httpSend is not passed on.
    virtual int httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3) = 0;
    virtual int httpSend(const char16_t* urlOrPath, const char16_t* headers,
                         const unsigned char* body, int size, int, int absolute,
                         ByteBuffer* reply) = 0;
    // The exchange object's text of its last transport failure, owned by it.
    virtual const char* getHttpResult() = 0;
    // Store signer: the number of key entries; PKCS#11 signer: the token state.
    virtual int getStatus() = 0;
    virtual const char16_t* getVersion() = 0;
    // The text of the node that `xpath` selects in `xml`; an empty text also keeps -21 "xmlGet".
    virtual std::u16string xmlGet(const char16_t* xml, const char16_t* xpath) = 0;

    // Created by the subclass constructor, deleted by the subclass destructor.
    QuarnelHttp* exchange = nullptr;
    // The certificate that the PKCS#11 signer's `cert` chose; its `sign` falls back to it.
    ByteBuffer certDer;
    // The flags of the last successful `init` (0x4: hexadecimal text instead of documents).
    int initFlags = 0;
};

}  // namespace mv
