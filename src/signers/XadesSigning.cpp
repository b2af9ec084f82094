#include "signers/XadesSigning.h"

#include "foundation/Text.h"
#include "xmlsig/XmlSignatureBuilder.h"

namespace mv {

AlgId algIdOfCode(int algCode) {
    switch (algCode) {
        case 0:
            return CALG_SHA_256;
        case 1:
            return CALG_SHA_384;
        case 2:
            return CALG_SHA_512;
        case 10:
            return CALG_SHA1;
        default:
            return 0;
    }
}

int signXmlDocument(const char16_t* document, const char* elementId, AlgId alg,
                    const std::vector<XaddItem>& items, CERTCertificate* certificate,
                    XmlSigner* signer, ByteBuffer& out) {
    XmlSignatureBuilder builder;
    int r = builder.init(XADES_SIGNATURE_ID);
    if (r < 0) {
        return r;
    }
    ByteBuffer bytes = toUtf8Bytes(document);
    if (bytes.empty()) {
        return -142;
    }
    r = builder.loadDocument(bytes.data(), bytes.size());
    if (r == 1) {
        return -142;
    }
    if (r == -137) {
        return -141;
    }
    if (r < 0) {
        return r;
    }
    bytes = ByteBuffer();  // the tree holds the document now
    r = elementId != nullptr ? builder.addReferenceById(elementId, XADES_MAIN_REFERENCE_ID)
                             : builder.addEnvelopedReference(XADES_MAIN_REFERENCE_ID);
    if (r < 0) {
        return r;
    }
    for (const XaddItem& item : items) {
        if (item.kind != 0) {
            return -144;
        }
        // Without data the builder would read the file that the URI names, a path of the page's
        // choosing; `xadd` never stores an item without data, and none is used here either.
        if (item.data.empty()) {
            return -134;
        }
        if (builder.addDataReference(item.uri.c_str(), item.data.data(), item.data.size(), alg,
                                     item.name.c_str()) < 0) {
            return -134;
        }
    }
    r = builder.addXadesObject(XADES_PROPERTIES_ID, certificate);
    if (r < 0) {
        return r;
    }
    r = builder.sign(signer);
    if (r < 0) {
        return r;
    }
    return builder.output(out);
}

int signXadesFor(Quarnel& owner, int algCode, const char16_t* document, const char16_t* elementId,
                 const std::vector<XaddItem>& items, CERTCertificate* certificate,
                 XmlSigner* signer, ByteBuffer* out) {
    AlgId alg = algIdOfCode(algCode);
    if (alg == 0) {
        return owner.setError(-14, u"xades");
    }
    std::string id;
    if (elementId != nullptr) {
        ByteBuffer idBytes = toUtf8Bytes(elementId);
        if (idBytes.empty()) {
            return owner.setError(-10, u"xades");
        }
        id.assign(idBytes.begin(), idBytes.end());
    }
    ByteBuffer signedDocument;
    int r = signXmlDocument(document, elementId != nullptr ? id.c_str() : nullptr, alg, items,
                            certificate, signer, signedDocument);
    if (r != 0) {
        return owner.setError(r, u"xades");
    }
    if (out != nullptr) {
        *out = std::move(signedDocument);
    }
    return 0;
}

}  // namespace mv
