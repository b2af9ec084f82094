#include <libxml/c14n.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Nss.h"
#include "xmlsig/Canonical.h"
#include "xmlsig/XmlSignatureBuilder.h"

// The document to sign comes from the page. It is loaded and gets every kind of reference (no
// signing); and the canonical walk must give libxml2's bytes (or fail where libxml2 fails) for
// the whole document, for the subtrees with Id "a" and for the document without them.
namespace {

std::string libxml2Form(xmlDocPtr doc, const char* xpath) {
    mv::ByteBuffer bytes;
    return mv::canonicalize(doc, xpath, bytes) > 0 ? std::string(bytes.begin(), bytes.end())
                                                   : "fails";
}

std::string walkForm(xmlDocPtr doc, const mv::SubtreeFilter* filter) {
    mv::ByteBuffer bytes;
    mv::CanonicalSink sink{&bytes, nullptr, 0};
    return mv::canonicalizeTo(doc, filter, sink) > 0 ? std::string(bytes.begin(), bytes.end())
                                                     : "fails";
}

void collect(xmlNodePtr node, std::vector<xmlNodePtr>& found) {
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_ELEMENT_NODE) {
            xmlChar* id = xmlGetNoNsProp(node, BAD_CAST "Id");
            if (id != nullptr && xmlStrEqual(id, BAD_CAST "a")) {
                found.push_back(node);
            }
            xmlFree(id);
            collect(node->children, found);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<mv::nss::Context> nss = mv::nss::openAnyContext();
    mv::XmlSignatureBuilder builder;
    builder.init("MVXDS01");
    if (builder.loadDocument(data, size) < 0) {
        return 0;
    }
    builder.addReferenceById("a", "MVXDS01-ref-0");
    builder.addEnvelopedReference("MVXDS01-ref-0");
    builder.addDataReference("data", data, size, mv::CALG_SHA1, "data");
    if (size > 4096) {
        return 0;  // the node-set form is quadratic
    }
    xmlDocPtr doc = builder.inputDoc;
    if (walkForm(doc, nullptr) != libxml2Form(doc, nullptr)) {
        std::abort();
    }
    mv::SubtreeFilter filter;
    collect(doc->children, filter.roots);
    if (filter.roots.empty()) {
        return 0;
    }
    if (walkForm(doc, &filter) != libxml2Form(doc, "ancestor-or-self::*[@Id=\"a\"]")) {
        std::abort();
    }
    // Without those subtrees: libxml2's form of a copy that lacks them (inner ones removed
    // first).
    filter.exclude = true;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> copy(xmlCopyDoc(doc, 1), xmlFreeDoc);
    std::vector<xmlNodePtr> removed;
    collect(copy->children, removed);
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
        xmlUnlinkNode(*it);
        xmlFreeNode(*it);
    }
    if (walkForm(doc, &filter) != libxml2Form(copy.get(), nullptr)) {
        std::abort();
    }
    return 0;
}
