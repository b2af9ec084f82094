#include "signers/pkcs11/QuarnelP11.h"

#include <algorithm>

#include "exchange/QuarnelHttp.h"
#include "exchange/QuarnelXml.h"
#include "foundation/Split.h"
#include "foundation/Text.h"
#include "platform/Nss.h"
#include "signers/SignerSteps.h"
#include "signers/XadesSigning.h"
#include "signers/pkcs11/CCertSelDlg.h"

namespace mv {

namespace {

const char16_t* const VERSION = u"QRN-P11:Ver2.01.B1";
constexpr int NO_TOKEN = 50;

// The digest length of an algorithm code; 0 for an unknown code.
size_t digestLength(int algCode) {
    switch (algCode) {
        case 0:
            return 32;
        case 1:
            return 48;
        case 2:
            return 64;
        case 10:
            return 20;
        default:
            return 0;
    }
}

ByteBuffer unsignedBigEndian(const SECItem& item) {
    ByteBuffer bytes(item.data, item.data + item.len);
    auto first = std::find_if(bytes.begin(), bytes.end(), [](unsigned char b) { return b != 0; });
    bytes.erase(bytes.begin(), first);
    return bytes;
}

// The XML signature builder signs through the engine with the chosen certificate and the PIN of
// the call. Without a signature the engine's record is the result (its failure, or 1 for a
// cancelled PIN entry); with one the result is 0, because a failed C_Logout or C_CloseSession
// after C_Sign stays in the record without failing the signature (as for `sign`), and a
// vendor-defined CK_RV there would otherwise read as a negative code.
class EngineXmlSigner : public XmlSigner {
public:
    EngineXmlSigner(Pkcs11Engine& engine, const ByteBuffer& certificate, const char16_t* pin)
        : engine_(engine), certificate_(certificate), pin_(pin) {}
    ByteBuffer certificateDer() override { return certificate_; }
    int signDigest(AlgId alg, const ByteBuffer& digest, ByteBuffer* value) override {
        int algCode = alg == CALG_SHA1 ? 10 : alg == CALG_SHA_384 ? 1 : alg == CALG_SHA_512 ? 2 : 0;
        engine_.clearRecord();
        *value = engine_.getSignValue(algCode, certificate_.data(),
                                      static_cast<int>(certificate_.size()), digest.data(),
                                      static_cast<int>(digest.size()), pin_, 0);
        return value->empty() ? static_cast<int>(engine_.errorCode) : 0;
    }

private:
    Pkcs11Engine& engine_;
    const ByteBuffer& certificate_;
    const char16_t* pin_;
};

}  // namespace

ByteBuffer Pkcs11Engine::getCertData(int flags, const char16_t* pin) {
    if (flags & ~(0x1 | 0x10 | 0x20)) {
        setRecord(-220, u"getCertData");
        return {};
    }
    const char16_t* given = pin;
    if (!keepPinIfTriesLeft(pin)) {
        return {};
    }
    bool askUser = ((flags & 0x20) && given == nullptr) || pin != given;
    CCertPinDlg pinDialog;
    if (askUser && pinDialog.DoModal() == 1) {
        pin = pinDialog.pin;  // a cancelled dialog lists without a PIN
    }
    std::vector<ByteBuffer> certificates;
    if (module->getCerts(&certificates, pin, (flags & 0x10) != 0) != 0) {
        return {};
    }
    if (certificates.empty()) {
        setRecord(-220, u"getCertData");
        return {};
    }
    if (certificates.size() == 1 && !(flags & 0x1)) {
        return certificates[0];
    }
    CCertSelDlg dialog;
    dialog.certificates = certificates;
    if (dialog.DoModal() == 1 && dialog.selection >= 0 &&
        dialog.selection < static_cast<int>(certificates.size())) {
        return certificates[dialog.selection];
    }
    setRecord(1, u"getCertData");
    return {};
}

ByteBuffer Pkcs11Engine::getSignValue(int algCode, const unsigned char* certData, int certLen,
                                      const unsigned char* hash, int hashLen, const char16_t* pin,
                                      int flags) {
    if (hash == nullptr || hashLen <= 0) {
        setRecord(-233, u"getSignValue");
        return {};
    }
    if (certData == nullptr || certLen <= 0) {
        setRecord(-221, u"getSignValue");
        return {};
    }
    if (!keepPinIfTriesLeft(pin)) {
        return {};
    }
    CCertPinDlg pinDialog;
    if (!(flags & 0x10) && (pin == nullptr || pin[0] == 0)) {
        if (pinDialog.DoModal() != 1) {
            setRecord(1, u"getSignValue");
            return {};
        }
        pin = pinDialog.pin;
    }
    if (pin == nullptr || pin[0] == 0) {
        setRecord(-221, u"getSignValue");
        return {};
    }
    ByteBuffer modulus, exponent;
    getRsaPublicKey(certData, certLen, &modulus, &exponent);
    if (modulus.empty() || exponent.empty()) {
        setRecord(-230, u"getSignValue");
        return {};
    }
    size_t expected = digestLength(algCode);
    if (expected == 0) {
        setRecord(-231, u"getSignValue");
        return {};
    }
    ByteBuffer input(hash, hash + hashLen);
    ByteBuffer digest = (flags & 0x1) ? hashData(input, algCode) : input;
    if (digest.size() != expected) {
        setRecord(-231, u"getSignValue");
        return {};
    }
    ByteBuffer signature;
    if (module->getSign(&modulus, &exponent, &digest, algCode, pin, &signature) != 0) {
        return {};
    }
    return signature;
}

bool Pkcs11Engine::keepPinIfTriesLeft(const char16_t*& pin) {
    if (pin == nullptr || pin[0] == 0 || !module->loaded()) {
        return true;  // nothing to try, or nothing to ask (the operation names the fault)
    }
    bool atRisk = false;
    if (module->userPinAtRisk(&atRisk) != 0) {
        return false;
    }
    if (atRisk) {
        pin = nullptr;
    }
    return true;
}

const char16_t* Pkcs11Engine::loadModule(int pickFile, const std::vector<std::u16string>& names) {
    module->unload();
    if (pickFile != 0 && pickFile != 0x10) {
        setRecord(-210, u"init");
        return nullptr;
    }
    if (pickFile == 0x10) {
        selectModuleFile(modulePath);
        if (modulePath[0] == 0) {
            setRecord(1, u"init");
            return nullptr;
        }
        return module->load(modulePath, false) == 0 ? modulePath : nullptr;
    }
    // A name that does not fit modulePath is never loaded.
    auto fits = [](const std::u16string& name) { return name.size() < PATH_SIZE; };
    const std::u16string* chosen = nullptr;
    for (const std::u16string& name : names) {
        if (fits(name) && module->load(name.c_str(), true) == 0 && module->getStatus() == 0) {
            chosen = &name;
            break;
        }
    }
    for (size_t i = 0; chosen == nullptr && i < names.size(); ++i) {
        if (fits(names[i]) && module->load(names[i].c_str(), true) == 0) {
            chosen = &names[i];
        }
    }
    if (chosen == nullptr) {
        module->unload();
        setRecord(-210, u"init");
        return nullptr;
    }
    std::copy(chosen->begin(), chosen->end(), modulePath);
    modulePath[chosen->size()] = 0;
    clearRecord();
    return modulePath;
}

void Pkcs11Engine::selectModuleFile(char16_t* path) {
    std::u16string chosen = selectLibraryFile(PATH_SIZE - 1);
    std::copy(chosen.begin(), chosen.end(), path);
    path[chosen.size()] = 0;
}

void Pkcs11Engine::getRsaPublicKey(const unsigned char* certData, int certLen, ByteBuffer* modulus,
                                   ByteBuffer* exponent) {
    modulus->clear();
    exponent->clear();
    auto context = nss::openAnyContext();
    if (!context || certData == nullptr || certLen <= 0) {
        return;
    }
    SECItem item{siBuffer, const_cast<unsigned char*>(certData), static_cast<unsigned>(certLen)};
    nss::UniqueCert cert(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    if (!cert) {
        return;
    }
    nss::UniquePublicKey key(CERT_ExtractPublicKey(cert.get()));
    if (!key || key->keyType != rsaKey) {
        return;
    }
    *modulus = unsignedBigEndian(key->u.rsa.modulus);
    *exponent = unsignedBigEndian(key->u.rsa.publicExponent);
}

QuarnelP11::QuarnelP11() {
    exchange = new QuarnelHttp();
}

QuarnelP11::~QuarnelP11() {
    initFlags = 0;
    engine.clearRecord();
    xaddItems.clear();
    delete exchange;
    exchange = nullptr;
    engine.module->unload();
}

int QuarnelP11::init(int flags, const char16_t* options, std::u16string* errText) {
    std::u16string ignored;
    std::u16string& text = errText != nullptr ? *errText : ignored;
    std::vector<std::u16string> names;
    if (!(flags & 0x10)) {
        if (options == nullptr) {
            text = u"Error: invalid opt argument.";
            return setError(-10, u"init");
        }
        std::u16string all(options);
        if (splitLinesW(all.c_str(), all.size(), names) == 0) {
            text = u"Error: invalid opt argument parse.";
            return setError(-10, u"init");
        }
    }
    const char16_t* name = engine.loadModule(flags & 0x10, names);
    if (name == nullptr) {
        text = u"Error: cannot load PKCS#11 dlls.";
        engine.errorCode = -31;
        return -31;
    }
    initFlags = flags;
    text = name;
    return 0;
}

int QuarnelP11::tokenFailure() const {
    return engine.errorCode == NO_TOKEN ? -36 : -11;
}

int QuarnelP11::cert(int flags, const char16_t* pin, ByteBuffer* out) {
    clearError();
    certDer.clear();
    ByteBuffer der = engine.getCertData(flags, pin);
    if (der.empty()) {
        return tokenFailure();
    }
    certDer = der;
    if (out == nullptr) {
        return 0;
    }
    return writeSignerOutput(*this, der, &QuarnelXml::createCertRequest, u"cert", out);
}

int QuarnelP11::info(const ByteBuffer* certificate, int format, ByteBuffer* out) {
    return describeCertificate(*this, certificate, format, out);
}

int QuarnelP11::sign(int flags, const char16_t* certHex, int algCode, const unsigned char* hash,
                     int hashLen, const char16_t* pin, ByteBuffer* out) {
    clearError();
    // A given text is used even when it decodes to nothing: getSignValue then names the fault.
    bool given = certHex != nullptr && certHex[0] != 0;
    if (!given && certDer.empty()) {
        return setError(-11, u"sign");
    }
    ByteBuffer decoded = given ? hexToBytesW(certHex) : ByteBuffer();
    const ByteBuffer& certificate = given ? decoded : certDer;
    ByteBuffer signature =
        engine.getSignValue(algCode, certificate.data(), static_cast<int>(certificate.size()), hash,
                            hashLen, pin, flags);
    if (signature.empty()) {
        return tokenFailure();
    }
    if (out == nullptr) {
        return 0;
    }
    return writeSignerOutput(*this, signature, &QuarnelXml::createSignRequest, u"sign", out);
}

int QuarnelP11::xadd(int kind, const char16_t* name, const char16_t* uri,
                     const char16_t* dataBase64) {
    return addXaddFromBase64(*this, xaddItems, kind, name, uri, dataBase64);
}

int QuarnelP11::xades(int, int algCode, const char16_t* document, const char16_t* elementId,
                      const char16_t*, const char16_t* pin, ByteBuffer* out) {
    // No clearError: the signing step clears the record itself.
    if (document == nullptr) {
        return setError(-10, u"xades");
    }
    auto nss = nss::openAnyContext();
    SECItem item{siBuffer, certDer.data(), static_cast<unsigned>(certDer.size())};
    nss::UniqueCert certificate;
    if (nss && !certDer.empty()) {
        certificate.reset(
            CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    }
    if (!certificate) {
        return setError(-11, u"xades");
    }
    EngineXmlSigner signer(engine, certDer, pin);
    return signXadesFor(*this, algCode, document, elementId, xaddItems, certificate.get(), &signer,
                        out);
}

int QuarnelP11::close(int, int) {
    engine.module->unload();
    return 0;
}

int QuarnelP11::http(int flags, const char16_t* options, const char16_t* url, const char16_t* sid,
                     const char16_t* certUrlOrPath, const char16_t* signUrlOrPath, int algCode, int,
                     int, std::u16string* redirect) {
    return httpExec(flags, options, url, sid, nullptr, nullptr, 0, 0, 0, nullptr, certUrlOrPath, 0,
                    nullptr, signUrlOrPath, algCode, nullptr, 0, 0, redirect);
}

int QuarnelP11::httpExec(int flags, const char16_t* options, const char16_t* url,
                         const char16_t* sid, const char16_t* option3, const char16_t* headers, int,
                         int absolute, int certFlags, const char16_t* certArg,
                         const char16_t* certUrlOrPath, int signFlags, const char16_t* certHex,
                         const char16_t* signUrlOrPath, int algCode, const char16_t* pin, int, int,
                         std::u16string* redirect) {
    auto tokenPresent = [this] { return getStatus() == 1 ? 0 : setError(-36, u"init"); };
    return runHttpExec(*this, flags, options, url, sid, option3, headers, absolute, certFlags,
                       certArg, certUrlOrPath, signFlags, certHex, signUrlOrPath, algCode, pin,
                       redirect, tokenPresent, true);
}

int QuarnelP11::getErrorCode() {
    int code = static_cast<int>(static_cast<uint32_t>(engine.errorCode));
    switch (code) {
        case -210:
            return -31;
        case -211:
            return -32;
        case -212:
            return -33;
        case -220:
            return -11;
        case -221:
            return -12;
        case -230:
            return -13;
        case -231:
            return -15;
        case -232:
        case -233:
            return -17;
        case -240:
            return -16;
        default:
            return code;
    }
}

std::u16string QuarnelP11::getErrorMessage() {
    return engine.errorText;
}

void QuarnelP11::clearError() {
    engine.clearRecord();
}

int QuarnelP11::setError(int code, const char16_t* place) {
    return engine.setRecord(code, place);
}

int QuarnelP11::httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3) {
    int r = exchange->httpSet(url, sid, option3);
    return r != 0 ? setError(r, u"") : 0;
}

int QuarnelP11::httpSend(const char16_t* urlOrPath, const char16_t* headers,
                         const unsigned char* body, int size, int, int absolute,
                         ByteBuffer* reply) {
    ByteBuffer ignored;
    std::u16string place;
    int r = exchange->httpSend(urlOrPath, headers, body, size, absolute,
                               reply != nullptr ? *reply : ignored, place);
    return r != 0 ? setError(r, place.c_str()) : 0;
}

const char* QuarnelP11::getHttpResult() {
    return exchange->httpError.c_str();
}

int QuarnelP11::getStatus() {
    int r = engine.module->getStatus();
    if (r == 0) {
        return 1;
    }
    if (r == NO_TOKEN) {
        return 0;
    }
    engine.errorCode = -11;  // the text names the failing call
    return -11;
}

const char16_t* QuarnelP11::getVersion() {
    return VERSION;
}

std::u16string QuarnelP11::xmlGet(const char16_t* xml, const char16_t* xpath) {
    return queryXml(*this, xml, xpath);
}

}  // namespace mv
