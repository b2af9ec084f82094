#include "signers/SignerSteps.h"

#include "exchange/QuarnelHttp.h"
#include "foundation/Base64.h"
#include "foundation/Text.h"
#include "platform/ui/Dialogs.h"
#include "signers/CertInfo.h"

namespace mv {

namespace {

// The trace of httpExec: one box before each step and with each server answer.
void traceBox(bool on, const std::u16string& text) {
    if (!on) {
        return;
    }
    std::string ansi;
    toAnsiString(text.c_str(), ansi);
    showMessageBox(ansi.c_str(), "MV:Quarnel", MessageBoxButtons::Ok);
}

}  // namespace

int writeSignerOutput(Quarnel& signer, const ByteBuffer& bytes, RequestBuilder build,
                      const char16_t* place, ByteBuffer* out) {
    if (signer.initFlags & 0x4) {
        std::string hex;
        bytesToHex(bytes, hex);
        out->assign(hex.begin(), hex.end());
        return 0;
    }
    QuarnelXml xml;
    ByteBuffer buffer(QuarnelXml::REQUEST_BUFFER_SIZE);
    int n = (xml.*build)(signer.exchange->sid.c_str(), bytes.data(), static_cast<int>(bytes.size()),
                         buffer.data());
    if (n < 0) {
        return signer.setError(-21, place);
    }
    out->assign(buffer.begin(), buffer.begin() + n);
    return 0;
}

int describeCertificate(Quarnel& signer, const ByteBuffer* certificate, int format,
                        ByteBuffer* out) {
    signer.clearError();
    if (certificate == nullptr || out == nullptr) {
        return signer.setError(-13, u"info");
    }
    int r = getCertInfo(*certificate, format, *out);
    return r < 0 ? signer.setError(-13, u"info") : r;
}

int addXaddFromBase64(Quarnel& signer, std::vector<XaddItem>& list, int kind, const char16_t* name,
                      const char16_t* uri, const char16_t* dataBase64) {
    if (name == nullptr) {
        return signer.setError(-10, u"xadd");
    }
    if (uri == nullptr && dataBase64 == nullptr) {
        return signer.setError(-10, u"xadd");
    }
    ByteBuffer data;
    if (dataBase64 != nullptr) {
        std::string ansi;
        if (toAnsiString(dataBase64, ansi) == nullptr || ansi.empty()) {
            return signer.setError(-10, u"xadd");
        }
        data = base64DecodeToVec(ansi.c_str());
        if (data.empty()) {
            return signer.setError(-10, u"xadd");
        }
    }
    if (addXaddItem(list, kind, name, uri, &data) < 0) {
        return signer.setError(-111, u"xadd");
    }
    return 0;
}

int runHttpExec(Quarnel& signer, int flags, const char16_t* options, const char16_t* url,
                const char16_t* sid, const char16_t* option3, const char16_t* headers, int absolute,
                int certFlags, const char16_t* certArg, const char16_t* certUrlOrPath,
                int signFlags, const char16_t* certHex, const char16_t* signUrlOrPath, int algCode,
                const char16_t* pin, std::u16string* redirect,
                const std::function<int()>& afterInit, bool traceInitTexts) {
    // Both uploads carry request documents, whatever the caller's flags ask.
    int f = flags & ~(0x4 | 0x8);
    bool trace = (f & 0x1000) != 0;
    std::u16string errText;
    traceBox(trace,
             std::u16string(u"init()") + (traceInitTexts && options != nullptr ? options : u""));
    int r = signer.init(f, options, &errText);
    if (traceInitTexts) {
        traceBox(trace, errText);
    }
    if (r != 0) {
        return r;
    }
    if (afterInit && (r = afterInit()) != 0) {
        return r;
    }
    traceBox(trace, u"httpSet()");
    r = signer.httpSet(url, sid, option3);
    if (r != 0) {
        return r;
    }
    traceBox(trace, u"cert()");
    ByteBuffer certificate;
    r = signer.cert(certFlags, certArg, &certificate);
    if (r != 0) {
        return r;
    }
    traceBox(trace, u"httpSend(cert)");
    ByteBuffer reply;
    r = signer.httpSend(certUrlOrPath, headers, certificate.data(),
                        static_cast<int>(certificate.size()), 0, absolute, &reply);
    if (r != 0) {
        return r;
    }
    std::u16string replyText = utf8VecToWString(reply);
    traceBox(trace, replyText);
    std::u16string hashText = signer.xmlGet(replyText.c_str(), u"/QrnResponse/hash");
    if (hashText.empty()) {
        return 0;
    }
    traceBox(trace, u"sign()");
    ByteBuffer hash = hexToBytesW(hashText.c_str());
    ByteBuffer signature;
    r = signer.sign(signFlags, certHex, algCode, hash.data(), static_cast<int>(hash.size()), pin,
                    &signature);
    if (r != 0) {
        return r;
    }
    traceBox(trace, u"httpSend(sign)");
    reply.clear();
    r = signer.httpSend(signUrlOrPath, headers, signature.data(),
                        static_cast<int>(signature.size()), 0, absolute, &reply);
    if (r != 0) {
        return r;
    }
    replyText = utf8VecToWString(reply);
    traceBox(trace, replyText);
    std::u16string target = signer.xmlGet(replyText.c_str(), u"/QrnResponse/@redirect");
    if (redirect != nullptr) {
        *redirect = target;
    }
    return 0;
}

std::u16string queryXml(Quarnel& signer, const char16_t* xml, const char16_t* xpath) {
    QuarnelXml query;
    std::u16string text = query.xmlGet(xml, xpath);
    if (text.empty()) {
        signer.setError(-21, u"xmlGet");
    }
    return text;
}

}  // namespace mv
