#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <cert.h>
#include <libxml/tree.h>

#include "foundation/Bytes.h"
#include "platform/Nss.h"
#include "xmlsig/Digest.h"
#include "xmlsig/XmlSigner.h"

namespace mv {

inline constexpr const char* XMLDSIG_NS = "http://www.w3.org/2000/09/xmldsig#";
inline constexpr const char* XADES_NS = "http://uri.etsi.org/01903/v1.3.2#";

// An enveloped XML-DSig signature with XAdES signed properties under construction, appended to
// the top element of an input document. One builder serves one signing call. Texts are UTF-8.
// The order of use: init, loadDocument, one main reference (addReferenceById or
// addEnvelopedReference), any data references, addXadesObject, sign, output.
class XmlSignatureBuilder {
public:
    XmlSignatureBuilder();
    ~XmlSignatureBuilder();
    XmlSignatureBuilder(const XmlSignatureBuilder&) = delete;
    XmlSignatureBuilder& operator=(const XmlSignatureBuilder&) = delete;

    // Starts the Signature skeleton (SignedInfo, SignatureValue, KeyInfo). 0; -137.
    int init(const char* signatureId);
    // 1 the top element already has an XML-DSig Signature child; 0 not; -137 not well-formed,
    // a reference to an entity, or a shape that libxml2 parses in more than linear time
    // (XmlCost.h).
    int loadDocument(const unsigned char* data, size_t size);
    // The Reference to the one element that holds `id` under an ID attribute (Id, ID, xml:id or
    // one the document type declares): 0; -133 no such element, several, an Id that a "#"
    // reference cannot carry as written, or no canonical form; -138 no document; digest codes.
    int addReferenceById(const char* id, const char* referenceId);
    // The Reference over the whole document without its Signature: 0; -133; -138; digest codes.
    int addEnvelopedReference(const char* referenceId);
    // A Reference to additional data (the file `uri` names when no data is given): 0; -134 no
    // URI or no bytes; -138; digest codes.
    int addDataReference(const char* uri, const unsigned char* data, size_t size, AlgId alg,
                         const char* referenceId);
    // The one writer of Reference elements: 0; -138 no document or no SignedInfo.
    int addReference(const char* uri, const char* referenceId, const char* type, AlgId alg,
                     const ByteBuffer& digest, const char* transform, bool enveloped);
    // `id`, or `id` followed by 2, 3, ... while the input already holds that value under an ID
    // attribute (Id, ID, xml:id or one the document type declares).
    std::string makeUniqueId(const char* id);
    void reset();

    // The XAdES Object with the signed properties and their Reference: 0; -10 no Id; -11 no
    // certificate; -13 its digest; -16 the properties' digest; -133; -135; -137; -138.
    int addXadesObject(const char* xadesId, CERTCertificate* certificate);
    // SignatureValue over the canonical SignedInfo, then KeyInfo: 0; -10 no signer or no
    // usable certificate; -142 no signature value (a cancelled PIN entry); -132; -133; -135;
    // -137; -138; digest codes; the signer's own codes.
    int sign(XmlSigner* signer);
    // X509Data (certificate and chain) and KeyValue: 0; -132 no certificate or no RSA key; -138.
    int addKeyInfo(CERTCertificate* certificate);
    // One X509Certificate for the signing certificate, then one per chain element from the
    // second on. 0.
    int addX509Certificates(const ByteBuffer& certificateDer, xmlNodePtr x509Data,
                            const std::vector<ByteBuffer>& chain);
    // Canonical forms of the nodes as they will stand in the output: the length, or -133, -135
    // (no copy), -137 (no signature or node).
    int canonicalizeSignedInfo(ByteBuffer& out);
    int canonicalizeSignedProperties(xmlNodePtr signedProperties, ByteBuffer& out);
    // The input document with the Signature as the last child of its top element, in UTF-8:
    // 0; -137 no document; -139 the Signature cannot be placed; -140 serialisation failed.
    int output(ByteBuffer& out);

    AlgId hashAlg = CALG_SHA_256;
    xmlDocPtr inputDoc = nullptr;            // owned
    xmlNodePtr existingSignature = nullptr;  // in inputDoc
    xmlDocPtr signatureDoc = nullptr;        // owned; its root is Signature
    xmlNodePtr signature = nullptr;          // these four live in signatureDoc
    xmlNodePtr signedInfo = nullptr;
    xmlNodePtr signatureValue = nullptr;
    xmlNodePtr keyInfo = nullptr;
    std::string signatureId;

private:
    class IdIndex;

    int canonicalizeInPlace(xmlNodePtr node, ByteBuffer& out);
    void freeSignatureDoc();
    // The index of the input's IDs, made by its first use: the input does not change until the
    // Signature is appended, and each search would walk the whole tree.
    const IdIndex& inputIds();

    size_t inputSize_ = 0;
    std::unique_ptr<IdIndex> inputIds_;
    std::shared_ptr<nss::Context> nss_;  // hashing and certificates
};

// True when some element of `document` has an attribute Id (exactly that name) of value `id`.
bool idExists(const char* id, xmlDocPtr document);

// The certificate's RSA modulus and public exponent, unsigned big-endian: 0; -1 no NSS; -2 no
// RSA public key.
int getRsaPublicKey(CERTCertificate* certificate, ByteBuffer* modulus, ByteBuffer* exponent);
// The DER of the certificate's chain from the certificate up, as far as it can be built. 0.
int getCertChain(CERTCertificate* certificate, std::vector<ByteBuffer>& chain);
// The DER IssuerSerial of the certificate (its issuer Name as a directoryName, and its serial
// number as encoded). 0.
int makeIssuerSerial(CERTCertificate* certificate, ByteBuffer& out);
// A DER tag and definite length in its shortest form. 0.
int derHeader(uint32_t length, unsigned char tag, ByteBuffer& out);

}  // namespace mv
