#include "xmlsig/XmlSignatureBuilder.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "exchange/XmlCost.h"
#include "foundation/Base64.h"
#include "foundation/System.h"
#include "xmlsig/Canonical.h"

namespace mv {

// The input's ID values, each with the elements that hold it, from one walk over the document:
// readBoundedXml has libxml2 register none (its own table costs quadratic time in bulk).
class XmlSignatureBuilder::IdIndex {
public:
    struct Holders {
        xmlNodePtr first = nullptr;  // in document order
        bool several = false;        // another element holds the value too
    };

    explicit IdIndex(xmlDocPtr doc);
    // The elements that hold `id` under any of their ID attributes; null when none does.
    const Holders* find(const std::string& id) const {
        auto found = holders_.find(id);
        return found != holders_.end() ? &found->second : nullptr;
    }

private:
    bool isIdAttribute(xmlNodePtr element, xmlAttrPtr attr) const;

    std::unordered_set<std::string> declaredIds_;  // declarationKey of each ID the type declares
    std::unordered_map<std::string, Holders> holders_;
};

namespace {

const char* const C14N_URI = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
const char* const RSA_SHA256_URI = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
const char* const ENVELOPED_URI = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
const char* const SIGNED_PROPERTIES_TYPE = "http://uri.etsi.org/01903#SignedProperties";

const xmlChar* X(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

const char* digestMethodUri(AlgId alg) {
    switch (alg) {
        case CALG_SHA1:
            return "http://www.w3.org/2000/09/xmldsig#sha1";
        case CALG_SHA_384:
            return "http://www.w3.org/2001/04/xmldsig-more#sha384";
        case CALG_SHA_512:
            return "http://www.w3.org/2001/04/xmlenc#sha512";
        default:
            return "http://www.w3.org/2001/04/xmlenc#sha256";
    }
}

// A new element (in `ns`, or in none) with optional text, appended to `parent` when given.
xmlNodePtr addElement(xmlDocPtr doc, xmlNodePtr parent, xmlNsPtr ns, const char* name,
                      const std::string* text = nullptr) {
    xmlNodePtr node = xmlNewDocNode(doc, ns, X(name), nullptr);
    if (node == nullptr) {
        return nullptr;
    }
    if (text != nullptr) {
        // Raw text: the serialiser escapes it, nothing in it is read as markup.
        xmlNodeAddContentLen(node, X(text->c_str()), static_cast<int>(text->size()));
    }
    if (parent != nullptr) {
        xmlAddChild(parent, node);
    }
    return node;
}

std::string base64Of(const ByteBuffer& bytes) {
    std::string text;
    base64EncodeVec(bytes, text);
    return text;
}

// The attribute's value as text.
std::string attributeValue(xmlAttrPtr attr) {
    xmlNodePtr text = attr->children;
    if (text != nullptr && text->next == nullptr && text->type == XML_TEXT_NODE) {
        return reinterpret_cast<const char*>(text->content != nullptr ? text->content : X(""));
    }
    xmlChar* content = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attr));
    std::string value = reinterpret_cast<const char*>(content != nullptr ? content : X(""));
    xmlFree(content);
    return value;
}

// Calls `visit` with every element of the document in document order until it returns false.
// Walked without recursion, so depth costs no stack.
template <class Visit>
void forEachElement(xmlDocPtr doc, Visit&& visit) {
    xmlNodePtr node = xmlDocGetRootElement(doc);
    while (node != nullptr) {
        if (node->type == XML_ELEMENT_NODE && !visit(node)) {
            return;
        }
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
            node = node->children;
            continue;
        }
        while (node != nullptr && node->next == nullptr) {
            node = node->parent;
            if (node != nullptr && node->type != XML_ELEMENT_NODE) {
                node = nullptr;  // back at the document node
            }
        }
        if (node != nullptr) {
            node = node->next;
        }
    }
}

// A name as the document writes it: prefix:name, or name.
std::string qualifiedName(const xmlChar* name, const xmlNs* ns) {
    std::string text;
    if (ns != nullptr && ns->prefix != nullptr) {
        text = reinterpret_cast<const char*>(ns->prefix);
        text += ':';
    }
    return text + reinterpret_cast<const char*>(name);
}

// An element's attribute as a key of the declarations: both names as written (a blank is in no
// name).
std::string declarationKey(const std::string& element, const std::string& attribute) {
    return element + ' ' + attribute;
}

}  // namespace

XmlSignatureBuilder::IdIndex::IdIndex(xmlDocPtr doc) {
    // The attributes that the document type declares of type ID, each as libxml2 keeps it (the
    // first declaration of an attribute counts). The external subset is never read.
    if (doc->intSubset != nullptr) {
        for (xmlNodePtr node = doc->intSubset->children; node != nullptr; node = node->next) {
            if (node->type != XML_ATTRIBUTE_DECL) {
                continue;
            }
            auto* declared = reinterpret_cast<xmlAttributePtr>(node);
            if (declared->atype == XML_ATTRIBUTE_ID && declared->elem != nullptr) {
                std::string attribute = reinterpret_cast<const char*>(declared->name);
                if (declared->prefix != nullptr) {
                    attribute = reinterpret_cast<const char*>(declared->prefix) + (":" + attribute);
                }
                declaredIds_.insert(
                    declarationKey(reinterpret_cast<const char*>(declared->elem), attribute));
            }
        }
    }
    forEachElement(doc, [this](xmlNodePtr element) {
        for (xmlAttrPtr attr = element->properties; attr != nullptr; attr = attr->next) {
            if (isIdAttribute(element, attr)) {
                auto [found, added] = holders_.try_emplace(attributeValue(attr), Holders{element});
                if (!added && found->second.first != element) {
                    found->second.several = true;
                }
            }
        }
        return true;
    });
}

// An attribute by which a verifier may find its element from a "#..." reference: Id or ID
// outside any namespace (the names signatures use), xml:id, or one that the document type
// declares of type ID, read as xmlIsID reads them.
bool XmlSignatureBuilder::IdIndex::isIdAttribute(xmlNodePtr element, xmlAttrPtr attr) const {
    if (attr->ns == nullptr) {
        if (xmlStrEqual(attr->name, X("Id")) || xmlStrEqual(attr->name, X("ID"))) {
            return true;
        }
    } else if (attr->ns->prefix != nullptr && xmlStrEqual(attr->name, X("id")) &&
               xmlStrEqual(attr->ns->prefix, X("xml"))) {
        return true;
    }
    return !declaredIds_.empty() &&
           declaredIds_.count(declarationKey(qualifiedName(element->name, element->ns),
                                             qualifiedName(attr->name, attr->ns))) > 0;
}

namespace {

// The element that a "#id" reference names: the one whose attribute Id holds the id, or, when
// none has it, whose attribute ID does (both outside any namespace). An xml:id or an ID of the
// document type alone does not make an element the target.
bool holdsReferenceId(xmlNodePtr element, const char* id) {
    for (xmlAttrPtr attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns == nullptr &&
            (xmlStrEqual(attr->name, X("Id")) || xmlStrEqual(attr->name, X("ID"))) &&
            attributeValue(attr) == id) {
            return true;
        }
    }
    return false;
}

// Whether a verifier resolves "#id" to its element. xmlsec looks the fragment up as it stands (no
// %-decoding) as the XPointer xpointer(id('id')): XPath's id() reads a list separated by
// whitespace, an apostrophe ends its literal, and the XPointer scheme counts parentheses and reads
// "^" before "(", ")" or "^" as an escape. A quotation mark cannot stand in the query [@Id="id"]
// that finds the target. Every other character, "%" and those a URI would escape among them, is
// written as it is.
bool resolvesAsFragment(const char* id) {
    int depth = 0;  // parentheses opened in the id and not yet closed
    for (const char* p = id; *p != 0; ++p) {
        switch (*p) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
            case '\'':
            case '"':
                return false;
            case '^':
                if (p[1] == '(' || p[1] == ')' || p[1] == '^') {
                    return false;
                }
                break;
            case '(':
                ++depth;
                break;
            case ')':
                // A second unopened one closes the xpointer( around the id and ends the expression.
                if (--depth < -1) {
                    return false;
                }
                break;
            default:
                break;
        }
    }
    return depth == 0;
}

bool isDsigSignature(xmlNodePtr node) {
    return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, X("Signature")) &&
           node->ns != nullptr && xmlStrEqual(node->ns->href, X(XMLDSIG_NS));
}

int writeToBuffer(void* context, const char* data, int length) {
    auto* out = static_cast<ByteBuffer*>(context);
    try {
        out->insert(out->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return length;
}

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using UniqueDoc = std::unique_ptr<xmlDoc, DocDeleter>;

// Canonicalizes (a part of) the document straight into a SHA-256 digest.
int digestCanonical(xmlDocPtr document, const SubtreeFilter* filter, ByteBuffer* digest) {
    Digester digester(CALG_SHA_256);
    CanonicalSink sink{nullptr, &digester, 0};
    int r = canonicalizeTo(document, filter, sink);
    if (r < 0) {
        return r;
    }
    return digester.finish(digest);
}

// No exception leaves the builder: an allocation failure becomes the operation's code.
template <class Operation>
int guarded(int code, Operation&& operation) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return code;
    }
}

}  // namespace

XmlSignatureBuilder::XmlSignatureBuilder() = default;

XmlSignatureBuilder::~XmlSignatureBuilder() {
    reset();
}

void XmlSignatureBuilder::freeSignatureDoc() {
    if (signatureDoc != nullptr) {
        xmlFreeDoc(signatureDoc);
    }
    signatureDoc = nullptr;
    signature = signedInfo = signatureValue = keyInfo = nullptr;
}

void XmlSignatureBuilder::reset() {
    freeSignatureDoc();
    if (inputDoc != nullptr) {
        xmlFreeDoc(inputDoc);
    }
    inputDoc = nullptr;
    existingSignature = nullptr;
    hashAlg = CALG_SHA_256;
    signatureId.clear();
    inputSize_ = 0;
    inputIds_.reset();
}

int XmlSignatureBuilder::init(const char* id) {
    return guarded(-137, [&]() -> int {
        hashAlg = CALG_SHA_256;
        signatureId = id != nullptr ? id : "";
        freeSignatureDoc();
        signatureDoc = xmlNewDoc(X("1.0"));
        if (signatureDoc == nullptr) {
            return -137;
        }
        xmlDocPtr doc = signatureDoc;
        // The declaration alone places Signature in the XML-DSig namespace; its children are
        // created in it.
        signature = addElement(doc, nullptr, nullptr, "Signature");
        xmlNsPtr ns = signature != nullptr ? xmlNewNs(signature, X(XMLDSIG_NS), nullptr) : nullptr;
        if (ns == nullptr) {
            freeSignatureDoc();
            return -137;
        }
        xmlDocSetRootElement(doc, signature);
        signedInfo = addElement(doc, signature, ns, "SignedInfo");
        xmlNodePtr c14n = addElement(doc, signedInfo, ns, "CanonicalizationMethod");
        xmlNodePtr method = addElement(doc, signedInfo, ns, "SignatureMethod");
        signatureValue = addElement(doc, signature, ns, "SignatureValue");
        keyInfo = addElement(doc, signature, ns, "KeyInfo");
        if (signedInfo == nullptr || c14n == nullptr || method == nullptr ||
            signatureValue == nullptr || keyInfo == nullptr) {
            freeSignatureDoc();
            return -137;
        }
        xmlNewProp(c14n, X("Algorithm"), X(C14N_URI));
        xmlNewProp(method, X("Algorithm"), X(RSA_SHA256_URI));
        return 0;
    });
}

int XmlSignatureBuilder::loadDocument(const unsigned char* data, size_t size) {
    if (inputDoc != nullptr) {
        xmlFreeDoc(inputDoc);
    }
    inputDoc = nullptr;
    existingSignature = nullptr;
    inputIds_.reset();
    if (data == nullptr || size == 0 || size > INT_MAX) {
        return -137;
    }
    // The bytes are UTF-8 whatever encoding the text's own declaration names; whitespace text
    // stays. A document that refers to an entity, or that libxml2 would parse in more than
    // linear time, is refused like one that does not parse.
    inputDoc = readBoundedXml(reinterpret_cast<const char*>(data), size);
    if (inputDoc == nullptr) {
        return -137;
    }
    inputSize_ = size;
    xmlNodePtr top = inputDoc->children;
    if (top != nullptr && xmlStrEqual(top->name, X("xml-stylesheet"))) {
        top = top->next;
    }
    if (top == nullptr) {
        return 0;
    }
    for (xmlNodePtr child = top->children; child != nullptr; child = child->next) {
        if (isDsigSignature(child)) {
            existingSignature = child;
            return 1;
        }
    }
    return 0;
}

bool idExists(const char* id, xmlDocPtr document) {
    // An apostrophe would end the quoted value of the query "//*[@Id='...']".
    if (id == nullptr || document == nullptr || std::strchr(id, '\'') != nullptr) {
        return false;
    }
    bool found = false;
    forEachElement(document, [&](xmlNodePtr element) {
        for (xmlAttrPtr attr = element->properties; attr != nullptr && !found; attr = attr->next) {
            found = attr->ns == nullptr && xmlStrEqual(attr->name, X("Id")) &&
                    attributeValue(attr) == id;
        }
        return !found;
    });
    return found;
}

const XmlSignatureBuilder::IdIndex& XmlSignatureBuilder::inputIds() {
    if (!inputIds_) {
        inputIds_ = std::make_unique<IdIndex>(inputDoc);
    }
    return *inputIds_;
}

std::string XmlSignatureBuilder::makeUniqueId(const char* id) {
    if (id == nullptr) {
        return "";
    }
    if (inputDoc == nullptr) {
        return id;
    }
    auto exists = [this](const std::string& candidate) {
        return inputIds().find(candidate) != nullptr;
    };
    if (!exists(id)) {
        return id;
    }
    for (int n = 2;; ++n) {
        std::string candidate = std::string(id) + std::to_string(n);
        if (!exists(candidate)) {
            return candidate;
        }
    }
}

int XmlSignatureBuilder::addReference(const char* uri, const char* referenceId, const char* type,
                                      AlgId alg, const ByteBuffer& digest, const char* transform,
                                      bool enveloped) {
    return guarded(-138, [&]() -> int {
        if (inputDoc == nullptr || signatureDoc == nullptr || signedInfo == nullptr) {
            return -138;
        }
        xmlDocPtr doc = signatureDoc;
        xmlNodePtr reference = addElement(doc, nullptr, nullptr, "Reference");
        if (reference == nullptr) {
            return -138;
        }
        xmlNewProp(reference, X("URI"), X(uri != nullptr ? uri : ""));
        if (referenceId != nullptr && referenceId[0] != 0) {
            xmlNewProp(reference, X("Id"), X(makeUniqueId(referenceId).c_str()));
        }
        if (type != nullptr) {
            xmlNewProp(reference, X("Type"), X(type));
        }
        if (enveloped || transform != nullptr) {
            xmlNodePtr transforms = addElement(doc, reference, nullptr, "Transforms");
            if (enveloped) {
                xmlNewProp(addElement(doc, transforms, nullptr, "Transform"), X("Algorithm"),
                           X(ENVELOPED_URI));
            }
            if (transform != nullptr) {
                xmlNewProp(addElement(doc, transforms, nullptr, "Transform"), X("Algorithm"),
                           X(transform));
            }
        }
        xmlNewProp(addElement(doc, reference, nullptr, "DigestMethod"), X("Algorithm"),
                   X(digestMethodUri(alg)));
        std::string value = base64Of(digest);
        addElement(doc, reference, nullptr, "DigestValue", &value);
        xmlAddChild(signedInfo, reference);
        return 0;
    });
}

int XmlSignatureBuilder::addReferenceById(const char* id, const char* referenceId) {
    return guarded(-133, [&]() -> int {
        if (inputDoc == nullptr) {
            return -138;
        }
        if (id == nullptr || !resolvesAsFragment(id)) {
            return -133;
        }
        // Exactly one element, under whichever ID attribute: a verifier refuses a fragment that
        // several elements carry or resolves it to another one than we digested, and each of
        // them would repeat every namespace in scope in the digested form (a document of a few
        // hundred KiB would take minutes). With no other element claiming the id, the one that
        // holds it as Id or ID is the target.
        const IdIndex::Holders* holders = inputIds().find(id);
        if (holders == nullptr || holders->several || !holdsReferenceId(holders->first, id)) {
            return -133;
        }
        SubtreeFilter filter;
        filter.roots.push_back(holders->first);
        ByteBuffer digest;
        int r = digestCanonical(inputDoc, &filter, &digest);
        if (r < 0) {
            return r;
        }
        // The Signature will stand inside the top element: a digest over it can only verify with
        // the Signature taken out first, which the enveloped-signature transform tells a verifier.
        bool containsSignature = filter.roots[0] == xmlDocGetRootElement(inputDoc);
        std::string uri = std::string("#") + id;
        return addReference(uri.c_str(), referenceId, nullptr, CALG_SHA_256, digest, C14N_URI,
                            containsSignature);
    });
}

int XmlSignatureBuilder::addEnvelopedReference(const char* referenceId) {
    return guarded(-133, [&]() -> int {
        if (inputDoc == nullptr) {
            return -138;
        }
        // The document is digested in place; Signature children of the first node are left out.
        SubtreeFilter filter;
        filter.exclude = true;
        if (inputDoc->children != nullptr) {
            for (xmlNodePtr child = inputDoc->children->children; child != nullptr;
                 child = child->next) {
                if (isDsigSignature(child)) {
                    filter.roots.push_back(child);
                }
            }
        }
        ByteBuffer digest;
        int r = digestCanonical(inputDoc, filter.roots.empty() ? nullptr : &filter, &digest);
        if (r < 0) {
            return r;
        }
        return addReference(nullptr, referenceId, nullptr, CALG_SHA_256, digest, C14N_URI, true);
    });
}

int XmlSignatureBuilder::addDataReference(const char* uri, const unsigned char* data, size_t size,
                                          AlgId alg, const char* referenceId) {
    return guarded(-134, [&]() -> int {
        if (uri == nullptr) {
            return -134;
        }
        ByteBuffer fileBytes;
        if (data == nullptr || size == 0) {
            fileBytes = readFileBytes(uri);
            if (fileBytes.empty()) {
                return -134;
            }
            data = fileBytes.data();
            size = fileBytes.size();
        }
        ByteBuffer digest;
        int r = digestData(alg, data, size, &digest);
        if (r < 0) {
            return r;
        }
        return addReference(uri, referenceId, nullptr, alg, digest, nullptr, false);
    });
}

int XmlSignatureBuilder::addXadesObject(const char* xadesId, CERTCertificate* certificate) {
    return guarded(-137, [&]() -> int {
        if (xadesId == nullptr) {
            return -10;
        }
        // Unique like every Id of the signature: a verifier registers them all beside the
        // document's own.
        const std::string propertiesId = makeUniqueId(xadesId);
        const std::string objectId = makeUniqueId((std::string(xadesId) + "-obj").c_str());
        const std::string referenceId = std::string(xadesId) + "-ref";
        if (certificate == nullptr) {
            return -11;
        }
        if (inputDoc == nullptr || signatureDoc == nullptr || signature == nullptr) {
            return -137;
        }
        std::string time = getUtcTimeString();
        ByteBuffer certDigest;
        if (digestData(CALG_SHA_256, certificate->derCert.data, certificate->derCert.len,
                       &certDigest) < 0) {
            return -13;
        }
        ByteBuffer issuerSerial;
        makeIssuerSerial(certificate, issuerSerial);

        xmlDocPtr doc = signatureDoc;
        xmlNodePtr object = addElement(doc, nullptr, nullptr, "Object");
        xmlNewProp(object, X("Id"), X(objectId.c_str()));
        xmlNodePtr qualifying = addElement(doc, object, nullptr, "QualifyingProperties");
        xmlNewNs(qualifying, X(XADES_NS), nullptr);
        std::string target = "#" + (signatureId.empty() ? "" : makeUniqueId(signatureId.c_str()));
        xmlNewProp(qualifying, X("Target"), X(target.c_str()));
        xmlNodePtr properties = addElement(doc, qualifying, nullptr, "SignedProperties");
        xmlNewProp(properties, X("Id"), X(propertiesId.c_str()));
        xmlNodePtr signatureProperties =
            addElement(doc, properties, nullptr, "SignedSignatureProperties");
        addElement(doc, signatureProperties, nullptr, "SigningTime", &time);
        xmlNodePtr cert =
            addElement(doc, addElement(doc, signatureProperties, nullptr, "SigningCertificateV2"),
                       nullptr, "Cert");
        xmlNodePtr digestBlock = addElement(doc, cert, nullptr, "CertDigest");
        xmlNodePtr method = addElement(doc, digestBlock, nullptr, "DigestMethod");
        xmlNewProp(method, X("Algorithm"), X(digestMethodUri(CALG_SHA_256)));
        xmlNewNs(method, X(XMLDSIG_NS), nullptr);
        std::string digestText = base64Of(certDigest);
        xmlNewNs(addElement(doc, digestBlock, nullptr, "DigestValue", &digestText), X(XMLDSIG_NS),
                 nullptr);
        std::string serialText = base64Of(issuerSerial);
        addElement(doc, cert, nullptr, "IssuerSerialV2", &serialText);
        xmlAddChild(signature, object);

        ByteBuffer canonical;
        int r = canonicalizeSignedProperties(properties, canonical);
        if (r < 0) {
            return r;
        }
        ByteBuffer digest;
        if (digestData(CALG_SHA_256, canonical.data(), canonical.size(), &digest) < 0) {
            return -16;
        }
        std::string uri = "#" + propertiesId;
        return addReference(uri.c_str(), referenceId.c_str(), SIGNED_PROPERTIES_TYPE, CALG_SHA_256,
                            digest, C14N_URI, false);
    });
}

// A verifier canonicalizes SignedInfo and SignedProperties where they stand in the output, with
// the namespace declarations and xml:* attributes in scope there. So the canonical form is made
// in a small document that repeats that place: a copy of the input's top element (its own
// declarations and attributes, no children) holding a copy of the Signature.
int XmlSignatureBuilder::canonicalizeInPlace(xmlNodePtr node, ByteBuffer& out) {
    return guarded(-135, [&]() -> int {
        std::vector<int> path;  // child positions from Signature down to `node`
        for (xmlNodePtr n = node; n != signature; n = n->parent) {
            if (n == nullptr) {
                return -137;
            }
            int index = 0;
            for (xmlNodePtr s = n->prev; s != nullptr; s = s->prev) {
                ++index;
            }
            path.insert(path.begin(), index);
        }
        UniqueDoc place(xmlNewDoc(X("1.0")));
        if (!place) {
            return -135;
        }
        xmlNodePtr copy = xmlDocCopyNode(signature, place.get(), 1);
        if (copy == nullptr) {
            return -135;
        }
        xmlNodePtr top = inputDoc != nullptr ? xmlDocGetRootElement(inputDoc) : nullptr;
        xmlNodePtr context = top != nullptr ? xmlDocCopyNode(top, place.get(), 2) : nullptr;
        if (context != nullptr) {
            xmlDocSetRootElement(place.get(), context);
            xmlAddChild(context, copy);
        } else {
            xmlDocSetRootElement(place.get(), copy);
        }
        xmlNodePtr target = copy;
        for (int index : path) {
            target = target->children;
            for (int i = 0; i < index && target != nullptr; ++i) {
                target = target->next;
            }
            if (target == nullptr) {
                return -135;
            }
        }
        SubtreeFilter filter;
        filter.roots.push_back(target);
        ByteBuffer bytes;
        CanonicalSink sink{&bytes, nullptr, 0};
        int r = canonicalizeTo(place.get(), &filter, sink);
        if (r > 0) {
            out = std::move(bytes);
        }
        return r;
    });
}

int XmlSignatureBuilder::canonicalizeSignedInfo(ByteBuffer& out) {
    if (signatureDoc == nullptr || signedInfo == nullptr) {
        return -137;
    }
    return canonicalizeInPlace(signedInfo, out);
}

int XmlSignatureBuilder::canonicalizeSignedProperties(xmlNodePtr signedProperties,
                                                      ByteBuffer& out) {
    if (signatureDoc == nullptr || signedProperties == nullptr) {
        return -137;
    }
    return canonicalizeInPlace(signedProperties, out);
}

int XmlSignatureBuilder::sign(XmlSigner* signer) {
    return guarded(-142, [&]() -> int {
        if (signer == nullptr) {
            return -10;
        }
        ByteBuffer der = signer->certificateDer();
        if (der.empty()) {
            return -10;
        }
        if (!nss_) {
            nss_ = nss::openAnyContext();
        }
        SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
        nss::UniqueCert certificate;
        if (nss_) {
            certificate.reset(CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr,
                                                      PR_FALSE, PR_TRUE));
        }
        if (!certificate) {
            return -10;
        }
        ByteBuffer canonical;
        int r = canonicalizeSignedInfo(canonical);
        if (r < 0) {
            return r;
        }
        ByteBuffer digest;
        r = digestData(hashAlg, canonical.data(), canonical.size(), &digest);
        if (r < 0) {
            return r;
        }
        ByteBuffer value;
        r = signer->signDigest(hashAlg, digest, &value);
        if (r < 0) {
            return r;
        }
        if (value.empty()) {
            return -142;
        }
        std::string text = base64Of(value);
        xmlNodeSetContent(signatureValue, nullptr);
        xmlNodeAddContentLen(signatureValue, X(text.c_str()), static_cast<int>(text.size()));
        return addKeyInfo(certificate.get());
    });
}

int XmlSignatureBuilder::addX509Certificates(const ByteBuffer& certificateDer, xmlNodePtr x509Data,
                                             const std::vector<ByteBuffer>& chain) {
    std::string text = base64Of(certificateDer);
    addElement(signatureDoc, x509Data, nullptr, "X509Certificate", &text);
    for (size_t i = 1; i < chain.size(); ++i) {
        text = base64Of(chain[i]);
        addElement(signatureDoc, x509Data, nullptr, "X509Certificate", &text);
    }
    return 0;
}

int XmlSignatureBuilder::addKeyInfo(CERTCertificate* certificate) {
    if (inputDoc == nullptr || signatureDoc == nullptr || keyInfo == nullptr) {
        return -138;
    }
    if (certificate == nullptr || certificate->derCert.len == 0) {
        return -132;
    }
    ByteBuffer der(certificate->derCert.data, certificate->derCert.data + certificate->derCert.len);
    xmlNodePtr x509Data = addElement(signatureDoc, nullptr, nullptr, "X509Data");
    std::vector<ByteBuffer> chain;
    getCertChain(certificate, chain);
    addX509Certificates(der, x509Data, chain);
    xmlAddChild(keyInfo, x509Data);
    ByteBuffer modulus, exponent;
    if (getRsaPublicKey(certificate, &modulus, &exponent) < 0) {
        return -132;
    }
    if (!modulus.empty() && !exponent.empty()) {
        xmlNodePtr rsa =
            addElement(signatureDoc, addElement(signatureDoc, keyInfo, nullptr, "KeyValue"),
                       nullptr, "RSAKeyValue");
        std::string text = base64Of(modulus);
        addElement(signatureDoc, rsa, nullptr, "Modulus", &text);
        text = base64Of(exponent);
        addElement(signatureDoc, rsa, nullptr, "Exponent", &text);
    }
    return 0;
}

int XmlSignatureBuilder::output(ByteBuffer& out) {
    return guarded(-140, [&]() -> int {
        if (inputDoc == nullptr) {
            return -137;
        }
        if (signatureDoc != nullptr) {
            std::unique_ptr<xmlNode, void (*)(xmlNodePtr)> copy(
                xmlDocCopyNode(xmlDocGetRootElement(signatureDoc), inputDoc, 1), xmlFreeNode);
            if (!copy) {
                return -139;
            }
            if (!signatureId.empty()) {
                signatureId = makeUniqueId(signatureId.c_str());
                xmlNewProp(copy.get(), X("Id"), X(signatureId.c_str()));
            }
            freeSignatureDoc();
            xmlNodePtr top = xmlDocGetRootElement(inputDoc);
            // Appended as it is: no whitespace around it, so the document a verifier reads is the
            // one that the enveloped digest covered.
            if (top == nullptr || xmlAddChildList(top, copy.get()) == nullptr) {
                return -139;
            }
            copy.release();  // owned by the input document now
        }
        ByteBuffer bytes;
        bytes.reserve(inputSize_ + 16384);
        xmlSaveCtxtPtr save = xmlSaveToIO(writeToBuffer, nullptr, &bytes, "UTF-8", 0);
        if (save == nullptr) {
            return -140;
        }
        long saved = xmlSaveDoc(save, inputDoc);
        int closed = xmlSaveClose(save);
        if (saved == -1 || closed < 0) {
            return -140;
        }
        out = std::move(bytes);
        return 0;
    });
}

int derHeader(uint32_t length, unsigned char tag, ByteBuffer& out) {
    out.assign(1, tag);
    if (length < 0x80) {
        out.push_back(static_cast<unsigned char>(length));
        return 0;
    }
    int count = length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : length <= 0xFFFFFF ? 3 : 4;
    out.push_back(static_cast<unsigned char>(0x80 | count));
    for (int i = count - 1; i >= 0; --i) {
        out.push_back(static_cast<unsigned char>(length >> (8 * i)));
    }
    return 0;
}

int makeIssuerSerial(CERTCertificate* certificate, ByteBuffer& out) {
    out.clear();
    if (certificate == nullptr) {
        return 0;
    }
    const SECItem& issuer = certificate->derIssuer;
    const SECItem& serial = certificate->serialNumber;  // content octets as encoded
    ByteBuffer name, names, integer, outer;
    derHeader(issuer.len, 0xA4, name);
    derHeader(static_cast<uint32_t>(name.size()) + issuer.len, 0x30, names);
    derHeader(serial.len, 0x02, integer);
    derHeader(static_cast<uint32_t>(names.size() + name.size() + integer.size()) + issuer.len +
                  serial.len,
              0x30, outer);
    out = outer;
    out.insert(out.end(), names.begin(), names.end());
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), issuer.data, issuer.data + issuer.len);
    out.insert(out.end(), integer.begin(), integer.end());
    out.insert(out.end(), serial.data, serial.data + serial.len);
    return 0;
}

int getCertChain(CERTCertificate* certificate, std::vector<ByteBuffer>& chain) {
    auto context = nss::openAnyContext();
    if (!context || certificate == nullptr) {
        return 0;
    }
    // Built as far as the issuers are known; trust is not examined.
    CERTCertificateList* list = CERT_CertChainFromCert(certificate, certUsageAnyCA, PR_TRUE);
    if (list == nullptr) {
        return 0;
    }
    for (int i = 0; i < list->len; ++i) {
        if (list->certs[i].len > 0) {
            chain.emplace_back(list->certs[i].data, list->certs[i].data + list->certs[i].len);
        }
    }
    CERT_DestroyCertificateList(list);
    return 0;
}

int getRsaPublicKey(CERTCertificate* certificate, ByteBuffer* modulus, ByteBuffer* exponent) {
    auto context = nss::openAnyContext();
    if (!context) {
        return -1;
    }
    if (certificate == nullptr || modulus == nullptr || exponent == nullptr) {
        return -2;
    }
    nss::UniquePublicKey key(CERT_ExtractPublicKey(certificate));
    if (!key || key->keyType != rsaKey) {
        return -2;
    }
    // Unsigned big-endian integers: the DER sign octet goes.
    auto unsignedBytes = [](const SECItem& item) {
        unsigned start = 0;
        while (start < item.len && item.data[start] == 0) {
            ++start;
        }
        return ByteBuffer(item.data + start, item.data + item.len);
    };
    *modulus = unsignedBytes(key->u.rsa.modulus);
    *exponent = unsignedBytes(key->u.rsa.publicExponent);
    return 0;
}

}  // namespace mv
