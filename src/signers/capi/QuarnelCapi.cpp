#include "signers/capi/QuarnelCapi.h"

#include <cryptohi.h>
#include <sechash.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <sstream>
#include <thread>

#include "exchange/QuarnelHttp.h"
#include "exchange/QuarnelXml.h"
#include "foundation/Base64.h"
#include "foundation/Split.h"
#include "foundation/Text.h"
#include "platform/ui/Dialogs.h"
#include "signers/SignerSteps.h"
#include "signers/XadesSigning.h"
#include "signers/capi/CCapiSelDlg.h"
#include "signers/capi/CspTable.h"

namespace mv {

namespace {

const char16_t* const VERSION = u"QRN-CAPI:Ver2.01.RC1";

SECOidTag hashOidTag(AlgId alg) {
    switch (alg) {
        case CALG_SHA1:
            return SEC_OID_SHA1;
        case CALG_SHA_256:
            return SEC_OID_SHA256;
        case CALG_SHA_384:
            return SEC_OID_SHA384;
        case CALG_SHA_512:
            return SEC_OID_SHA512;
        default:
            return SEC_OID_UNKNOWN;
    }
}

// The C library's _wtoi: leading blanks, an optional sign, decimal digits; 0 without a number,
// INT_MAX or INT_MIN when the number does not fit.
int wtoi(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        if (value < (1LL << 40)) {
            value = value * 10 + (text[i] - u'0');
        }
    }
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// The XML signature builder signs with the chosen entry's key.
class EntryXmlSigner : public XmlSigner {
public:
    explicit EntryXmlSigner(CapiKeyEntry* entry) : entry_(entry) {}
    ByteBuffer certificateDer() override {
        if (entry_->cert == nullptr) {
            return {};
        }
        return ByteBuffer(entry_->cert->derCert.data,
                          entry_->cert->derCert.data + entry_->cert->derCert.len);
    }
    int signDigest(AlgId alg, const ByteBuffer& digest, ByteBuffer* value) override {
        if (static_cast<int>(digest.size()) < hashLength(alg)) {
            return -16;
        }
        return QuarnelCapi::signHash(alg, digest.data(), entry_, value);
    }

private:
    CapiKeyEntry* entry_;
};

// Owns the temporary entry of a certificate given as text.
struct TemporaryEntry {
    CapiKeyEntry* entry = nullptr;
    ~TemporaryEntry() {
        if (entry != nullptr) {
            entry->close();
            delete entry;
        }
    }
};

}  // namespace

QuarnelCapi::QuarnelCapi() {
    exchange = new QuarnelHttp();
}

QuarnelCapi::~QuarnelCapi() {
    releaseKeys();
    delete exchange;
    exchange = nullptr;
    errorCode = 0;
    errorText.clear();
}

void QuarnelCapi::releaseKeys() {
    for (CapiKeyEntry* entry : keys) {
        entry->close();
        delete entry;
    }
    keys.clear();
    initFlags = 0;
    selected = -1;
    xaddItems.clear();
}

int QuarnelCapi::parseOptArg(const std::u16string& item, OptArg& out) {
    std::basic_istringstream<char16_t> stream(item);
    std::vector<std::u16string> fields;
    std::u16string field;
    while (std::getline(stream, field, u':')) {
        fields.push_back(field);
    }
    if (fields.size() != 4) {
        return -1;
    }
    out.id = static_cast<int>(keys.size()) + 20;
    out.provType = static_cast<unsigned>(wtoi(fields[0]));
    out.keySpecOverride = static_cast<int>(wtoi(fields[1]));
    out.acquireFlags = static_cast<unsigned>(wtoi(fields[2]));
    out.cspName = fields[3];
    return 0;
}

void QuarnelCapi::openProvider(const OptArg& arg) {
    auto* entry = new CapiKeyEntry();
    if (entry->open(arg.cspName.c_str(), arg.provType, arg.acquireFlags, arg.id,
                    arg.keySpecOverride) > 0) {
        keys.push_back(entry);
    } else {
        entry->close();
        delete entry;
    }
}

void QuarnelCapi::openCspTable() {
    for (const CspEntry& row : CspTable) {
        openProvider({row.id, row.cspName, row.provType, row.acquireFlags, row.keySpecOverride});
    }
}

int QuarnelCapi::loadStoreCerts() {
    auto context = nss::openUserContext();
    if (!context) {
        return -50;
    }
    // The database's own slot: NSS may have been opened without a database before it.
    nss::UniqueSlot slot(context->keySlot());
    if (!slot) {
        return -54;
    }
    nss::UniqueCertList certs(PK11_ListCertsInSlot(slot.get()));
    if (!certs) {
        return -54;
    }
    // Listing the store never prompts: a database with a password tells its own certificates by
    // the user trust that NSS gives certificates with a key.
    nss::PinPolicy silent{true};
    bool keysVisible = !PK11_NeedLogin(slot.get()) || PK11_IsLoggedIn(slot.get(), &silent);
    PRTime now = PR_Now();
    for (CERTCertListNode* node = CERT_LIST_HEAD(certs.get()); !CERT_LIST_END(node, certs.get());
         node = CERT_LIST_NEXT(node)) {
        if (CERT_CheckCertValidTimes(node->cert, now, PR_FALSE) != secCertTimeValid) {
            continue;
        }
        if (!nss::hasPrivateKey(slot.get(), node->cert, keysVisible, silent)) {
            continue;
        }
        auto* entry = new CapiKeyEntry();
        if (entry->setCert(node->cert) > 0) {
            keys.push_back(entry);
        } else {
            delete entry;
        }
    }
    return 0;
}

int QuarnelCapi::signHash(AlgId alg, const unsigned char* hash, CapiKeyEntry* entry,
                          ByteBuffer* out) {
    SECOidTag tag = hashOidTag(alg);
    if (tag == SEC_OID_UNKNOWN) {
        return -16;
    }
    if (entry == nullptr || entry->cert == nullptr || out == nullptr) {
        return -12;
    }
    // The key is used now: a card opened silently asks for its PIN here.
    nss::PinPolicy policy;
    nss::installPinCallback();
    nss::UniquePrivateKey key;
    if (entry->sourceId == 0 || entry->sourceId == 10) {
        // The key is found through the certificate, wherever it lives.
        key.reset(PK11_FindKeyByAnyCert(entry->cert, &policy));
    } else if (entry->prov != nullptr && nss::ensureLoggedIn(entry->prov, policy)) {
        key.reset(PK11_FindPrivateKeyFromCert(entry->prov, entry->cert, &policy));
    }
    if (!key) {
        return -12;
    }
    if (SECKEY_GetPrivateKeyType(key.get()) != rsaKey) {
        return -52;  // PKCS#1 v1.5 needs an RSA key
    }
    SECItem digest{siBuffer, const_cast<unsigned char*>(hash),
                   static_cast<unsigned>(hashLength(alg))};
    SECItem signature{siBuffer, nullptr, 0};
    // SGN_Digest wraps the digest in its DigestInfo and signs it with PKCS#1 v1.5 padding; the
    // result is already the big-endian value, so nothing is reversed.
    if (SGN_Digest(key.get(), tag, &signature, &digest) != SECSuccess) {
        return -52;
    }
    out->assign(signature.data, signature.data + signature.len);
    SECITEM_FreeItem(&signature, PR_FALSE);
    return 0;
}

int QuarnelCapi::hashData(AlgId alg, const unsigned char* data, int length, ByteBuffer* out) {
    if (length < 0) {
        return -16;
    }
    return digestData(alg, data, static_cast<size_t>(length), out);
}

int QuarnelCapi::init(int flags, const char16_t* options, std::u16string* errText) {
    clearError();
    std::u16string ignored;
    std::u16string& text = errText != nullptr ? *errText : ignored;
    if (flags & 0x800) {
        initFlags = flags;
        text = u"ok";
        return 0;
    }
    if (options != nullptr && options[0] != 0) {
        std::u16string all(options);
        std::vector<std::u16string> items;
        if (splitLinesW(all.c_str(), all.size(), items) == 0) {
            text = u"Error: invalid opt argument parse.";
            return setError(-10, u"init");
        }
        for (const std::u16string& item : items) {
            OptArg arg;
            if (parseOptArg(item, arg) != 0) {
                text = u"Error: invalid opt argument format.";
                return setError(-10, u"init");
            }
            openProvider(arg);
        }
    }
    if (flags & 0x100) {
        openCspTable();
    }
    if (!(flags & 0x200)) {
        int r = loadStoreCerts();
        if (r != 0) {
            return setError(r, u"init");
        }
    }
    if (keys.empty()) {
        text = u"Error: certificate not found.";
        return setError(-11, u"init");
    }
    initFlags = flags;
    text = u"ok";
    return 0;
}

int QuarnelCapi::cert(int flags, const char16_t* arg, ByteBuffer* out) {
    (void)arg;
    clearError();
    if (flags & 0x100) {
        if (!keys.empty()) {
            return setError(-10, u"cert");
        }
        openCspTable();
    }
    if (keys.empty()) {
        return setError(-11, u"cert");
    }
    if (keys.size() == 1 && !(flags & 0x1)) {
        selected = 0;
    } else {
        CCapiSelDlg dialog;
        dialog.entries = keys;
        if (keys[0]->sourceId == 1) {
            // The JPKI signing provider needs a moment after it was opened before the card
            // answers again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        int r = dialog.DoModal();
        if (r == 1) {
            selected = dialog.chosenIndex;
        } else if (r == 2) {
            return setError(1, u"cert");
        } else {
            return setError(-53, u"cert");
        }
    }
    if (selected < 0 || selected >= static_cast<int>(keys.size()) || keys[selected] == nullptr) {
        return setError(-53, u"cert");
    }
    CERTCertificate* chosen = keys[selected]->cert;
    if (chosen == nullptr || chosen->derCert.len == 0) {
        return setError(-13, u"cert");
    }
    ByteBuffer der(chosen->derCert.data, chosen->derCert.data + chosen->derCert.len);
    if (out == nullptr) {
        return 0;
    }
    return writeSignerOutput(*this, der, &QuarnelXml::createCertRequest, u"cert", out);
}

int QuarnelCapi::info(const ByteBuffer* certificate, int format, ByteBuffer* out) {
    return describeCertificate(*this, certificate, format, out);
}

int QuarnelCapi::sign(int flags, const char16_t* certHex, int algCode, const unsigned char* hash,
                      int hashLen, const char16_t* pin, ByteBuffer* out) {
    (void)flags;
    (void)pin;
    clearError();
    if (hash == nullptr || hashLen < 1) {
        return setError(-10, u"sign");
    }
    CapiKeyEntry* key = nullptr;
    if (selected >= 0 && selected < static_cast<int>(keys.size())) {
        key = keys[selected];
    }
    TemporaryEntry temporary;
    if (certHex != nullptr && certHex[0] != 0) {
        ByteBuffer der = hexToBytesW(certHex);
        auto context = nss::openAnyContext();
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
        nss::UniqueCert given;
        if (context && !der.empty()) {
            given.reset(CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE,
                                                PR_TRUE));
        }
        if (!given) {
            return setError(-10, u"sign");
        }
        temporary.entry = new CapiKeyEntry();
        if (temporary.entry->setCert(given.get()) < 0) {
            return setError(-10, u"sign");
        }
        key = temporary.entry;
    }
    if (key == nullptr) {
        return setError(-11, u"sign");
    }
    AlgId alg = algIdOfCode(algCode);
    if (alg == 0) {
        return setError(-14, u"sign");
    }
    // The signing step reads exactly one digest's worth of bytes: a shorter hash is refused
    // rather than read past its end.
    if (hashLen < hashLength(alg)) {
        return setError(-16, u"sign");
    }
    ByteBuffer signature;
    int r = signHash(alg, hash, key, &signature);
    if (r != 0) {
        return setError(r, u"sign");
    }
    if (signature.empty()) {
        return setError(-52, u"sign");
    }
    if (out == nullptr) {
        return 0;
    }
    return writeSignerOutput(*this, signature, &QuarnelXml::createSignRequest, u"sign", out);
}

int QuarnelCapi::xadd(int kind, const char16_t* name, const char16_t* uri,
                      const char16_t* dataBase64) {
    clearError();
    return addXaddFromBase64(*this, xaddItems, kind, name, uri, dataBase64);
}

int QuarnelCapi::xades(int, int algCode, const char16_t* document, const char16_t* elementId,
                       const char16_t*, const char16_t* pin, ByteBuffer* out) {
    (void)pin;
    clearError();
    if (document == nullptr) {
        return setError(-10, u"xades");
    }
    if (selected < 0 || selected >= static_cast<int>(keys.size()) || keys[selected] == nullptr) {
        return setError(-11, u"xades");
    }
    CapiKeyEntry* entry = keys[selected];
    EntryXmlSigner signer(entry);
    return signXadesFor(*this, algCode, document, elementId, xaddItems, entry->cert, &signer, out);
}

int QuarnelCapi::close(int, int) {
    clearError();
    releaseKeys();
    return 0;
}

int QuarnelCapi::http(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
                      const char16_t* certUrlOrPath, const char16_t* signUrlOrPath, int algCode,
                      int, int, std::u16string* redirect) {
    return httpExec(flags, options, url, sid, nullptr, nullptr, 0, 0, 0, nullptr, certUrlOrPath, 0,
                    nullptr, signUrlOrPath, algCode, nullptr, 0, 0, redirect);
}

int QuarnelCapi::httpExec(int flags, const char16_t* options, const char16_t* url,
                          const char16_t* sid, const char16_t* option3, const char16_t* headers,
                          int, int absolute, int certFlags, const char16_t* certArg,
                          const char16_t* certUrlOrPath, int signFlags, const char16_t* certHex,
                          const char16_t* signUrlOrPath, int algCode, const char16_t* pin, int, int,
                          std::u16string* redirect) {
    return runHttpExec(*this, flags, options, url, sid, option3, headers, absolute, certFlags,
                       certArg, certUrlOrPath, signFlags, certHex, signUrlOrPath, algCode, pin,
                       redirect);
}

int QuarnelCapi::getErrorCode() {
    return static_cast<int>(errorCode);
}

std::u16string QuarnelCapi::getErrorMessage() {
    return errorText;
}

void QuarnelCapi::clearError() {
    errorCode = 0;
    errorText.clear();
}

int QuarnelCapi::setError(int code, const char16_t* place) {
    errorCode = code;
    errorText = place != nullptr ? place : u"";
    return code;
}

int QuarnelCapi::httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3) {
    return exchange->httpSet(url, sid, option3);
}

int QuarnelCapi::httpSend(const char16_t* urlOrPath, const char16_t* headers,
                          const unsigned char* body, int size, int, int absolute,
                          ByteBuffer* reply) {
    ByteBuffer ignored;
    std::u16string place;
    int r = exchange->httpSend(urlOrPath, headers, body, size, absolute,
                               reply != nullptr ? *reply : ignored, place);
    if (r != 0) {
        setError(r, place.c_str());
    }
    return r;
}

const char* QuarnelCapi::getHttpResult() {
    return exchange->httpError.c_str();
}

int QuarnelCapi::getStatus() {
    return static_cast<int>(keys.size());
}

const char16_t* QuarnelCapi::getVersion() {
    return VERSION;
}

std::u16string QuarnelCapi::xmlGet(const char16_t* xml, const char16_t* xpath) {
    return queryXml(*this, xml, xpath);
}

}  // namespace mv
