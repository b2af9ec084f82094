#include "exchange/QuarnelXml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "exchange/XmlCost.h"
#include "foundation/Text.h"

namespace mv {
namespace {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XPathContextFree {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectFree {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
struct XmlCharFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

const xmlChar* xc(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

void initXml() {
    // libxml2 wants its global state set up once, before threads use it.
    static const bool ready = [] {
        xmlInitParser();
        return true;
    }();
    (void)ready;
}

int createRequest(const char* type, const char* childName, const char16_t* sid,
                  const unsigned char* data, int length, unsigned char* buffer) {
    if (buffer == nullptr) {
        return -1;
    }
    try {
        initXml();
        std::u16string hex;
        if (length > 0) {
            bytesToHexW(data, static_cast<size_t>(length), hex);
        }
        DocPtr doc(xmlNewDoc(xc("1.0")));
        if (!doc) {
            return -1;
        }
        xmlNode* root = xmlNewDocNode(doc.get(), nullptr, xc("QrnRequest"), nullptr);
        if (root == nullptr) {
            return -1;
        }
        xmlDocSetRootElement(doc.get(), root);
        // Attribute order time, type, sid is part of the document's form.
        const std::string time = toUtf8String(utcTimeText().c_str());
        const std::string sidText = toUtf8String(sid);
        if (xmlNewProp(root, xc("time"), xc(time.c_str())) == nullptr ||
            xmlNewProp(root, xc("type"), xc(type)) == nullptr ||
            xmlNewProp(root, xc("sid"), xc(sidText.c_str())) == nullptr) {
            return -1;
        }
        xmlNode* child = xmlNewDocNode(doc.get(), nullptr, xc(childName), nullptr);
        if (child == nullptr) {
            return -1;
        }
        xmlAddChild(root, child);
        if (!hex.empty()) {
            const std::string hexText = toUtf8String(hex.c_str());
            xmlNode* text = xmlNewDocText(doc.get(), xc(hexText.c_str()));
            if (text == nullptr) {
                return -1;
            }
            xmlAddChild(child, text);
        }
        xmlChar* raw = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(doc.get(), &raw, &size, "utf-8");
        std::unique_ptr<xmlChar, XmlCharFree> text(raw);
        if (!text || size < 0) {
            return -1;
        }
        if (static_cast<size_t>(size) + 1 > QuarnelXml::REQUEST_BUFFER_SIZE) {
            return -1;
        }
        std::memcpy(buffer, text.get(), static_cast<size_t>(size));
        buffer[size] = '\0';
        return size;
    } catch (...) {
        return -1;
    }
}

// Text of a node and its descendants; false when an entity reference stands in it. Its
// replacement text is never expanded (a hostile document cannot make the answer grow), and a
// value with pieces left out would be one the server never sent: such a value is none.
bool appendText(const xmlNode* node, std::string& out) {
    for (; node != nullptr; node = node->next) {
        switch (node->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (node->content != nullptr) {
                    out += reinterpret_cast<const char*>(node->content);
                }
                break;
            case XML_ELEMENT_NODE:
            case XML_DOCUMENT_NODE:
                if (!appendText(node->children, out)) {
                    return false;
                }
                break;
            case XML_ENTITY_REF_NODE:
                return false;
            default:
                break;
        }
    }
    return true;
}

std::string nodeText(const xmlNode* node) {
    std::string out;
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
        case XML_DOCUMENT_NODE:
            if (!appendText(node->children, out)) {
                out.clear();
            }
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            if (node->content != nullptr) {
                out = reinterpret_cast<const char*>(node->content);
            }
            break;
        default:
            break;
    }
    return out;
}

bool isBlank(const xmlChar* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') {
            return false;
        }
    }
    return true;
}

// The DOM the exchange was written for does not keep text nodes of white space only.
void dropBlankText(xmlNode* node) {
    while (node != nullptr) {
        xmlNode* next = node->next;
        if (node->type == XML_TEXT_NODE && isBlank(node->content)) {
            xmlUnlinkNode(node);
            xmlFreeNode(node);
        } else if (node->type == XML_ELEMENT_NODE) {
            dropBlankText(node->children);
        }
        node = next;
    }
}

std::u16string query(const char16_t* xml, const char16_t* path) {
    initXml();
    const std::string text = toUtf8String(xml);
    const std::string xpath = toUtf8String(path);
    if (text.empty() || xpath.empty()) {
        return {};
    }
    // Decoded text, read as UTF-8 whatever its declaration names; a document that refers to an
    // entity at all, or that would cost libxml2 more than linear work, gives no value.
    DocPtr doc(readBoundedXml(text.data(), text.size()));
    if (!doc) {
        return {};
    }
    dropBlankText(xmlDocGetRootElement(doc.get()));
    std::unique_ptr<xmlXPathContext, XPathContextFree> context(xmlXPathNewContext(doc.get()));
    if (!context) {
        return {};
    }
    // Errors in the query show only as an empty result. (The handler's error argument became
    // const in later libxml2 releases; the generic lambda fits both.)
    context->error = [](void*, auto) {};
    std::unique_ptr<xmlXPathObject, XPathObjectFree> result(
        xmlXPathEvalExpression(xc(xpath.c_str()), context.get()));
    if (!result || result->type != XPATH_NODESET || result->nodesetval == nullptr ||
        result->nodesetval->nodeNr == 0) {
        return {};
    }
    // The node set is in document order: its first node is the one a single-node selection gives.
    const std::string value = nodeText(result->nodesetval->nodeTab[0]);
    return utf8ToWString(value.data(), value.size());
}

}  // namespace

std::u16string utcTimeText() {
    time_t now = time(nullptr);
    struct tm parts {};
    if (gmtime_r(&now, &parts) == nullptr) {
        return {};
    }
    char text[128];
    size_t n = strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return std::u16string(text, text + n);
}

int QuarnelXml::createCertRequest(const char16_t* sid, const unsigned char* data, int length,
                                  unsigned char* buffer) {
    return createRequest("QRN_CERT", "cert", sid, data, length, buffer);
}

int QuarnelXml::createSignRequest(const char16_t* sid, const unsigned char* data, int length,
                                  unsigned char* buffer) {
    return createRequest("QRN_SIGN", "sign", sid, data, length, buffer);
}

std::u16string QuarnelXml::xmlGet(const char16_t* xml, const char16_t* query) {
    if (xml == nullptr || query == nullptr || *xml == 0 || *query == 0) {
        return {};
    }
    try {
        return mv::query(xml, query);
    } catch (...) {
        return {};
    }
}

}  // namespace mv
