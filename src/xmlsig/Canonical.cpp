#include "xmlsig/Canonical.h"

#include <libxml/c14n.h>
#include <libxml/xpath.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace mv {

namespace {

struct XPathContextDeleter {
    void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};

int writeToSink(void* context, const char* data, int length) {
    auto* sink = static_cast<CanonicalSink*>(context);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (sink->bytes != nullptr) {
        sink->bytes->insert(sink->bytes->end(), bytes, bytes + length);
    }
    if (sink->digest != nullptr) {
        sink->digest->update(bytes, static_cast<size_t>(length));
    }
    sink->length += static_cast<size_t>(length);
    return length;
}

bool insideRoots(const SubtreeFilter& filter, xmlNodePtr node) {
    for (xmlNodePtr n = node; n != nullptr; n = n->parent) {
        for (xmlNodePtr root : filter.roots) {
            if (n == root) {
                return true;
            }
        }
    }
    return false;
}

// The canonicalizer's question for every node. Namespace nodes arrive as xmlNs (whose type
// field sits where a node's does) together with the element they are asked for; attributes
// and namespace nodes belong to the set when their element does.
int isVisible(void* data, xmlNodePtr node, xmlNodePtr parent) {
    const auto& filter = *static_cast<const SubtreeFilter*>(data);
    xmlNodePtr element =
        (node->type == XML_NAMESPACE_DECL || node->type == XML_ATTRIBUTE_NODE) ? parent : node;
    return insideRoots(filter, element) != filter.exclude ? 1 : 0;
}

}  // namespace

int canonicalizeTo(xmlDocPtr document, const SubtreeFilter* filter, CanonicalSink& sink) {
    if (document == nullptr) {
        return -133;
    }
    xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(writeToSink, nullptr, &sink, nullptr);
    if (buffer == nullptr) {
        return -133;
    }
    int r = xmlC14NExecute(document, filter != nullptr ? isVisible : nullptr,
                           const_cast<SubtreeFilter*>(filter), XML_C14N_1_0, nullptr, 0, buffer);
    int closed = xmlOutputBufferClose(buffer);
    if (r < 0 || closed < 0 || sink.length == 0 || sink.length > INT_MAX) {
        return -133;
    }
    return static_cast<int>(sink.length);
}

int canonicalize(xmlDocPtr document, const char* xpath, ByteBuffer& out) {
    if (xpath == nullptr) {
        ByteBuffer bytes;
        CanonicalSink sink{&bytes, nullptr, 0};
        int r = canonicalizeTo(document, nullptr, sink);
        if (r > 0) {
            out = std::move(bytes);
        }
        return r;
    }
    std::string expression = xpath;
    if (expression.find("::") != std::string::npos) {
        expression = "(//.|//@*|//namespace::*)[" + expression + "]";
    }
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> context(xmlXPathNewContext(document));
    if (!context) {
        return -133;
    }
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(xmlXPathEvalExpression(
        reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()));
    if (!result) {
        return -133;
    }
    xmlChar* text = nullptr;
    int length =
        xmlC14NDocDumpMemory(document, result->nodesetval, XML_C14N_1_0, nullptr, 0, &text);
    if (length <= 0 || text == nullptr) {
        xmlFree(text);
        return -133;
    }
    out.assign(text, text + length);
    xmlFree(text);
    return length;
}

}  // namespace mv
