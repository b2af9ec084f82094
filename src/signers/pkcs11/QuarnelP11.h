#pragma once

#include <memory>
#include <string>
#include <vector>

#include "signers/Quarnel.h"
#include "signers/XaddItem.h"
#include "signers/pkcs11/Pkcs11Module.h"

namespace mv {

// The token side of the PKCS#11 signer: its error record (which the slots, the engine and the
// module all write), the path of the chosen library and the module. The XML signature builder
// signs through getSignValue too.
class Pkcs11Engine : public Pkcs11ErrorRecord {
public:
    static constexpr size_t PATH_SIZE = 520;  // 519 characters and the terminator

    Pkcs11Engine() : module(std::make_unique<Pkcs11Module>(this)) {}

    // The DER certificate chosen on the token; empty on failure or cancel (the record says
    // which: 1 cancelled, -220 flags or no certificate, or the module's failure). Flags: 0x1
    // always show the selection, 0x10 include CA certificates, 0x20 ask for the PIN (a null
    // `pin`) before listing. A `pin` that the token has no tries to spare for is asked for too.
    ByteBuffer getCertData(int flags, const char16_t* pin);
    // The RSA signature value (big-endian) of `hash` with the key of `certData`; empty on
    // failure: -233 no hash; -221 no certificate or no PIN; -230 no RSA public key; -231
    // algorithm or hash length; 1 the PIN dialog was cancelled; or the module's failure. Flag
    // 0x1: `hash` is data and is hashed first; 0x10: never show the PIN dialog. A `pin` that the
    // token has no tries to spare for counts as none.
    ByteBuffer getSignValue(int algCode, const unsigned char* certData, int certLen,
                            const unsigned char* hash, int hashLen, const char16_t* pin, int flags);
    // Loads the library: pickFile 0x10 from the file dialog, 0 the first of `names` with a token
    // present, else the first that loads. Its name (also in modulePath), or null with the record
    // set (-210 "init", 1 "init" for a cancelled dialog, or the load failure).
    const char16_t* loadModule(int pickFile, const std::vector<std::u16string>& names);
    // The file dialog's path into `path` (PATH_SIZE characters); empty when cancelled.
    void selectModuleFile(char16_t* path);
    // The certificate's RSA public key as unsigned big-endian integers; both empty on failure.
    static void getRsaPublicKey(const unsigned char* certData, int certLen, ByteBuffer* modulus,
                                ByteBuffer* exponent);

    char16_t modulePath[PATH_SIZE] = {};
    std::unique_ptr<Pkcs11Module> module;

private:
    // A PIN that the caller passed (the page's, never typed here) is tried only on a token with
    // tries to spare: when the token reports a low count, a final try or a lock, `pin` becomes
    // null and the PIN dialog asks the user, as one wrong PIN could lock the card. False when the
    // token could not be asked (the record holds the failure).
    bool keepPinIfTriesLeft(const char16_t*& pin);
};

// The signer over a PKCS#11 token: the library named in the options (or chosen in a file
// dialog), the certificates of the first token, CCertSelDlg to choose one and CCertPinDlg for the
// PIN. `cert` and `sign` reduce every failure of the token side to -11, or -36 when no token was
// present; the record keeps the failing call or place.
class QuarnelP11 : public Quarnel {
public:
    QuarnelP11();
    ~QuarnelP11() override;
    QuarnelP11(const QuarnelP11&) = delete;
    QuarnelP11& operator=(const QuarnelP11&) = delete;

    // Options: library names, one a line. Flag 0x10: the file dialog instead. 0 with errText the
    // library's name; -10 no options (errText says which); -31 no library loads.
    int init(int flags, const char16_t* options, std::u16string* errText) override;
    // 0; -11 (the token side failed, or the user cancelled); -36 no token; -21 no document.
    int cert(int flags, const char16_t* pin, ByteBuffer* out) override;
    // The type index; -13.
    int info(const ByteBuffer* certificate, int format, ByteBuffer* out) override;
    // Signs with the key of `certHex`, else of the certificate `cert` chose. 0; -11; -36; -21.
    int sign(int flags, const char16_t* certHex, int algCode, const unsigned char* hash,
             int hashLen, const char16_t* pin, ByteBuffer* out) override;
    // 0; -10; -111.
    int xadd(int kind, const char16_t* name, const char16_t* uri,
             const char16_t* dataBase64) override;
    // 0 with the signed document; -10 no text or an empty Id; -11 no chosen certificate or one
    // that does not decode; -14 algorithm; -142 no text, a signature already there, or a
    // cancelled PIN entry; -141 not well-formed; -144 an additional item of another kind; -134
    // an additional reference; the builder's codes and the engine's own (stored unchanged).
    int xades(int, int algCode, const char16_t* document, const char16_t* elementId,
              const char16_t*, const char16_t* pin, ByteBuffer* out) override;
    // Unloads the library; 0.
    int close(int, int) override;
    int http(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
             const char16_t* certUrlOrPath, const char16_t* signUrlOrPath, int algCode, int, int,
             std::u16string* redirect) override;
    // As the store signer's, with a token test after init (-36 "init" without a token).
    int httpExec(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
                 const char16_t* option3, const char16_t* headers, int, int absolute, int certFlags,
                 const char16_t* certArg, const char16_t* certUrlOrPath, int signFlags,
                 const char16_t* certHex, const char16_t* signUrlOrPath, int algCode,
                 const char16_t* pin, int, int, std::u16string* redirect) override;
    // The record's code, the signer's own codes mapped to the shared ones.
    int getErrorCode() override;
    std::u16string getErrorMessage() override;
    void clearError() override;
    int setError(int code, const char16_t* place) override;
    int httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3) override;
    int httpSend(const char16_t* urlOrPath, const char16_t* headers, const unsigned char* body,
                 int size, int, int absolute, ByteBuffer* reply) override;
    const char* getHttpResult() override;
    // 1 a token is present, 0 none, -11 failure (no library included).
    int getStatus() override;
    const char16_t* getVersion() override;
    std::u16string xmlGet(const char16_t* xml, const char16_t* xpath) override;

    Pkcs11Engine engine;
    std::vector<XaddItem> xaddItems;

private:
    // -36 when the token side found no token, else -11. The record keeps the token side's own
    // code as well as its place, so that getErrorCode still tells a wrong PIN from a cancel.
    int tokenFailure() const;
};

}  // namespace mv
