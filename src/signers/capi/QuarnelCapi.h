#pragma once

#include <string>
#include <vector>

#include "exchange/QuarnelXml.h"
#include "signers/Quarnel.h"
#include "signers/XaddItem.h"
#include "signers/capi/CapiKeyEntry.h"
#include "xmlsig/Digest.h"

namespace mv {

// The store signer: keys from the user's NSS database, from the card providers of CspTable and
// from providers named in the options; the user chooses one in CCapiSelDlg.
class QuarnelCapi : public Quarnel {
public:
    QuarnelCapi();
    ~QuarnelCapi() override;
    QuarnelCapi(const QuarnelCapi&) = delete;
    QuarnelCapi& operator=(const QuarnelCapi&) = delete;

    // 0; -10 unusable options (errText says which); -11 no key; -50/-54 the store.
    int init(int flags, const char16_t* options, std::u16string* errText) override;
    // 0; 1 cancelled; -10 flag 0x100 while keys are loaded; -11 no key; -13 no certificate;
    // -21 no request document; -53 the selection failed.
    int cert(int flags, const char16_t* arg, ByteBuffer* out) override;
    // The type index; -13.
    int info(const ByteBuffer* certificate, int format, ByteBuffer* out) override;
    // 0; -10 no hash or an unusable certificate text; -11 no key; -14 algorithm; -16 a hash
    // shorter than the algorithm's digest; -12/-52 signing; -21 no request document.
    int sign(int flags, const char16_t* certHex, int algCode, const unsigned char* hash,
             int hashLen, const char16_t* pin, ByteBuffer* out) override;
    // 0; -10 missing name, or missing URI and data, or empty data; -111 refused by the list.
    int xadd(int kind, const char16_t* name, const char16_t* uri,
             const char16_t* dataBase64) override;
    // 0 with the signed document; -10 no text or an empty Id; -11 no chosen key; -14 algorithm;
    // -142 no text or a signature already there; -141 not well-formed; -144 an additional item
    // of another kind; -134 an additional reference; the builder's and signing codes.
    int xades(int, int algCode, const char16_t* document, const char16_t* elementId,
              const char16_t*, const char16_t* pin, ByteBuffer* out) override;
    int close(int, int) override;
    int http(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
             const char16_t* certUrlOrPath, const char16_t* signUrlOrPath, int algCode, int, int,
             std::u16string* redirect) override;
    int httpExec(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
                 const char16_t* option3, const char16_t* headers, int, int absolute, int certFlags,
                 const char16_t* certArg, const char16_t* certUrlOrPath, int signFlags,
                 const char16_t* certHex, const char16_t* signUrlOrPath, int algCode,
                 const char16_t* pin, int, int, std::u16string* redirect) override;
    int getErrorCode() override;
    std::u16string getErrorMessage() override;
    void clearError() override;
    int setError(int code, const char16_t* place) override;
    int httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3) override;
    int httpSend(const char16_t* urlOrPath, const char16_t* headers, const unsigned char* body,
                 int size, int, int absolute, ByteBuffer* reply) override;
    const char* getHttpResult() override;
    int getStatus() override;
    const char16_t* getVersion() override;
    std::u16string xmlGet(const char16_t* xml, const char16_t* xpath) override;

    // A provider item of the options: "type:keySpecOverride:acquireFlags:name".
    struct OptArg {
        int id = 0;
        std::u16string cspName;
        unsigned provType = 0;
        unsigned acquireFlags = 0;
        int keySpecOverride = 0;
    };
    // 0 with `out` filled (id = entries now loaded + 20), -1 when the item has not four fields.
    int parseOptArg(const std::u16string& item, OptArg& out);
    // Appends one entry per certificate of the user's store that has a private key and is valid
    // now: 0; -50 the database cannot be opened; -54 its certificates cannot be listed.
    int loadStoreCerts();
    // Signs the digest `hash` (as many bytes as `alg` produces) with the entry's key:
    // 0; -12 no private key; -16 unknown algorithm; -52 signing failed.
    static int signHash(AlgId alg, const unsigned char* hash, CapiKeyEntry* entry, ByteBuffer* out);
    // 0 with the digest in `out`; -1000 no NSS; -16 hashing failed.
    static int hashData(AlgId alg, const unsigned char* data, int length, ByteBuffer* out);

    std::vector<CapiKeyEntry*> keys;  // owned; option items, card providers, then the store
    int selected = -1;
    int64_t errorCode = 0;
    std::u16string errorText;
    std::vector<XaddItem> xaddItems;

private:
    void openCspTable();
    void openProvider(const OptArg& arg);
    void releaseKeys();
};

}  // namespace mv
