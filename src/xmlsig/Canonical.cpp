#include "xmlsig/Canonical.h"

#include <libxml/c14n.h>
#include <libxml/uri.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace mv {

namespace {

struct XPathContextDeleter {
    void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};

int writeToSink(CanonicalSink* sink, const char* data, int length) {
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

const xmlChar* const XML_NAMESPACE_URI = reinterpret_cast<const xmlChar*>(XML_XML_NAMESPACE);

const xmlChar* orEmpty(const xmlChar* text) {
    return text != nullptr ? text : reinterpret_cast<const xmlChar*>("");
}

// Inclusive C14N 1.0 without comments, written in one walk over the tree. libxml2's
// canonicalizer asks a node set (or a callback) about every node and rebuilds the namespace
// axis of every element from its ancestors; for the node sets that signing uses (the whole
// document, whole subtrees, or the document without some subtrees) the answers follow from the
// walk itself. The walk still visits every node outside the subtrees taken out, so that a
// document that libxml2 refuses (an entity reference, a relative namespace URI) is refused here
// too.
class Canonicalizer {
public:
    Canonicalizer(const SubtreeFilter* filter, CanonicalSink& sink) : filter_(filter), sink_(sink) {
        if (filter != nullptr) {
            roots_.insert(filter->roots.begin(), filter->roots.end());
        }
    }

    int run(xmlDocPtr document) {
        bool topVisible = filter_ == nullptr || filter_->exclude;
        for (xmlNodePtr n = document->children; n != nullptr; n = n->next) {
            if (node(n, topVisible) < 0) {
                return -1;
            }
        }
        return flush();
    }

private:
    struct Ns {
        const xmlChar* prefix;  // "" for the default namespace
        const xmlChar* uri;
    };

    bool isRoot(xmlNodePtr n) const { return roots_.count(n) > 0; }

    void put(const char* text, size_t length) { out_.append(text, length); }
    void put(const char* text) { out_.append(text); }
    void put(const xmlChar* text) { out_.append(reinterpret_cast<const char*>(text)); }

    int flush() {
        if (!out_.empty()) {
            if (writeToSink(&sink_, out_.data(), static_cast<int>(out_.size())) < 0) {
                return -1;
            }
            out_.clear();
        }
        return 0;
    }

    // Text: & < > and CR escaped; attribute values also " TAB LF; processing instructions CR.
    enum class Escape { Text, Attribute, Pi };
    void putEscaped(const xmlChar* text, Escape mode) {
        const char* p = reinterpret_cast<const char*>(text);
        const char* run = p;
        for (; *p != 0; ++p) {
            const char* replacement = nullptr;
            switch (*p) {
                case '&':
                    replacement = mode != Escape::Pi ? "&amp;" : nullptr;
                    break;
                case '<':
                    replacement = mode != Escape::Pi ? "&lt;" : nullptr;
                    break;
                case '>':
                    replacement = mode == Escape::Text ? "&gt;" : nullptr;
                    break;
                case '"':
                    replacement = mode == Escape::Attribute ? "&quot;" : nullptr;
                    break;
                case '\t':
                    replacement = mode == Escape::Attribute ? "&#x9;" : nullptr;
                    break;
                case '\n':
                    replacement = mode == Escape::Attribute ? "&#xA;" : nullptr;
                    break;
                case '\r':
                    replacement = "&#xD;";
                    break;
                default:
                    break;
            }
            if (replacement != nullptr) {
                out_.append(run, static_cast<size_t>(p - run));
                out_.append(replacement);
                run = p + 1;
            }
        }
        out_.append(run, static_cast<size_t>(p - run));
    }

    void putName(xmlNsPtr ns, const xmlChar* name) {
        if (ns != nullptr && ns->prefix != nullptr) {
            put(ns->prefix);
            put(":", 1);
        }
        put(name);
    }

    // Canonical XML refuses relative namespace URIs.
    static bool namespacesUsable(xmlNodePtr element) {
        for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
            if (ns->href == nullptr || ns->href[0] == 0) {
                continue;
            }
            xmlURIPtr uri = xmlParseURI(reinterpret_cast<const char*>(ns->href));
            bool absolute = uri != nullptr && uri->scheme != nullptr && uri->scheme[0] != 0;
            xmlFreeURI(uri);
            if (!absolute) {
                return false;
            }
        }
        return true;
    }

    static bool isXmlNs(xmlNsPtr ns) {
        return (ns->prefix != nullptr && xmlStrEqual(ns->prefix, BAD_CAST "xml")) ||
               xmlStrEqual(ns->href, XML_NAMESPACE_URI);
    }

    static std::string_view key(const xmlChar* prefix) {
        return reinterpret_cast<const char*>(prefix);
    }

    // rendered_ grows and shrinks as a stack; latest_ finds the top entry of a prefix in it
    // without a scan, so many declarations cost no quadratic time.
    void pushRendered(const Ns& ns) {
        latest_[key(ns.prefix)].push_back(rendered_.size());
        rendered_.push_back(ns);
    }
    void popRendered(size_t mark) {
        while (rendered_.size() > mark) {
            latest_[key(rendered_.back().prefix)].pop_back();
            rendered_.pop_back();
        }
    }
    const Ns* renderedFor(const xmlChar* prefix) const {
        auto it = latest_.find(key(prefix));
        return it == latest_.end() || it->second.empty() ? nullptr : &rendered_[it->second.back()];
    }

    // The namespace declarations to write on a visible element, added to rendered_. At the top
    // of an output subtree they are all namespaces in scope there; below it, those of the
    // element's own declarations that change what its output parent has in scope.
    void namespaces(xmlNodePtr element, bool apex, std::vector<Ns>& out) {
        if (apex) {
            std::unordered_set<std::string_view> seen;  // the nearest declaration of a prefix wins
            for (xmlNodePtr n = element; n != nullptr && n->type == XML_ELEMENT_NODE;
                 n = n->parent) {
                for (xmlNsPtr ns = n->nsDef; ns != nullptr; ns = ns->next) {
                    const xmlChar* prefix = orEmpty(ns->prefix);
                    if (!seen.insert(key(prefix)).second) {
                        continue;
                    }
                    Ns inScope{prefix, orEmpty(ns->href)};
                    pushRendered(inScope);
                    if (!isXmlNs(ns) && !(prefix[0] == 0 && inScope.uri[0] == 0)) {
                        out.push_back(inScope);
                    }
                }
            }
            return;
        }
        for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
            if (isXmlNs(ns)) {
                continue;
            }
            Ns mine{orEmpty(ns->prefix), orEmpty(ns->href)};
            const Ns* current = renderedFor(mine.prefix);
            bool undeclaresDefault = mine.prefix[0] == 0 && mine.uri[0] == 0;
            bool changes = undeclaresDefault
                               ? current != nullptr && current->uri[0] != 0
                               : current == nullptr || !xmlStrEqual(current->uri, mine.uri);
            if (changes) {
                out.push_back(mine);
                pushRendered(mine);
            }
        }
    }

    static bool attributeLess(xmlAttrPtr a, xmlAttrPtr b) {
        if (a->ns != b->ns) {
            if (a->ns == nullptr || b->ns == nullptr) {
                return a->ns == nullptr;
            }
            int byUri = xmlStrcmp(a->ns->href, b->ns->href);
            if (byUri != 0) {
                return byUri < 0;
            }
        }
        return xmlStrcmp(a->name, b->name) < 0;
    }

    static bool sameAttribute(xmlAttrPtr a, xmlAttrPtr b) {
        return xmlStrEqual(a->name, b->name) &&
               (a->ns == b->ns ||
                (a->ns != nullptr && b->ns != nullptr && xmlStrEqual(a->ns->href, b->ns->href)));
    }

    // The element's attributes; at the top of an output subtree also the nearest xml:*
    // attributes of its ancestors that it does not carry itself.
    void attributes(xmlNodePtr element, bool apex) {
        std::vector<xmlAttrPtr> list;
        for (xmlAttrPtr a = element->properties; a != nullptr; a = a->next) {
            list.push_back(a);
        }
        if (apex) {
            for (xmlNodePtr n = element->parent; n != nullptr && n->type == XML_ELEMENT_NODE;
                 n = n->parent) {
                for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) {
                    if (a->ns == nullptr || !xmlStrEqual(a->ns->href, XML_NAMESPACE_URI)) {
                        continue;
                    }
                    bool present = false;
                    for (xmlAttrPtr b : list) {
                        present = present || sameAttribute(a, b);
                    }
                    if (!present) {
                        list.push_back(a);
                    }
                }
            }
        }
        std::sort(list.begin(), list.end(), attributeLess);
        for (xmlAttrPtr a : list) {
            put(" ", 1);
            putName(a->ns, a->name);
            put("=\"", 2);
            xmlNodePtr text = a->children;
            if (text != nullptr && text->next == nullptr && text->type == XML_TEXT_NODE) {
                putEscaped(orEmpty(text->content), Escape::Attribute);
            } else {
                xmlChar* value = xmlNodeListGetString(element->doc, a->children, 1);
                putEscaped(orEmpty(value), Escape::Attribute);
                xmlFree(value);
            }
            put("\"", 1);
        }
    }

    // The walk recurses once per level. The parser already refuses documents deeper than 256
    // levels (2048 with XML_PARSE_HUGE); this bound keeps the stack safe whatever tree it is
    // given.
    int element(xmlNodePtr e, bool parentVisible) {
        if (depth_ >= MAX_DEPTH) {
            return -1;
        }
        ++depth_;
        int r = elementAtDepth(e, parentVisible);
        --depth_;
        return r;
    }

    int elementAtDepth(xmlNodePtr e, bool parentVisible) {
        if (filter_ != nullptr && filter_->exclude && isRoot(e)) {
            return 0;  // as if taken out of the document
        }
        if (!namespacesUsable(e)) {
            return -1;
        }
        bool visible = filter_ == nullptr ? true
                       : filter_->exclude ? parentVisible && !isRoot(e)
                                          : parentVisible || isRoot(e);
        bool wasTop = false;
        size_t mark = rendered_.size();
        if (visible) {
            if (parentIsDoc_) {
                wasTop = true;
                parentIsDoc_ = false;
                pos_ = Pos::Inside;
            }
            put("<", 1);
            putName(e->ns, e->name);
            std::vector<Ns> declared;
            namespaces(e, !parentVisible, declared);
            std::sort(declared.begin(), declared.end(),
                      [](const Ns& a, const Ns& b) { return xmlStrcmp(a.prefix, b.prefix) < 0; });
            for (const Ns& ns : declared) {
                put(ns.prefix[0] == 0 ? " xmlns" : " xmlns:");
                put(ns.prefix);
                put("=\"", 2);
                put(ns.uri);
                put("\"", 1);
            }
            attributes(e, !parentVisible);
            put(">", 1);
        }
        for (xmlNodePtr child = e->children; child != nullptr; child = child->next) {
            if (node(child, visible) < 0) {
                return -1;
            }
        }
        if (visible) {
            put("</", 2);
            putName(e->ns, e->name);
            put(">", 1);
            popRendered(mark);
        }
        if (wasTop) {
            parentIsDoc_ = true;
            pos_ = Pos::After;
        }
        if (out_.size() >= 65536) {
            return flush();
        }
        return 0;
    }

    int node(xmlNodePtr n, bool visible) {
        switch (n->type) {
            case XML_ELEMENT_NODE:
                return element(n, visible);
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (visible && n->content != nullptr) {
                    putEscaped(n->content, Escape::Text);
                }
                return 0;
            case XML_PI_NODE:
                if (visible) {
                    put(pos_ == Pos::After ? "\n<?" : "<?");
                    put(n->name);
                    if (n->content != nullptr && n->content[0] != 0) {
                        put(" ", 1);
                        putEscaped(n->content, Escape::Pi);
                    }
                    put(pos_ == Pos::Before ? "?>\n" : "?>");
                }
                return 0;
            case XML_COMMENT_NODE:
            case XML_DOCUMENT_TYPE_NODE:
            case XML_NOTATION_NODE:
            case XML_DTD_NODE:
            case XML_ELEMENT_DECL:
            case XML_ATTRIBUTE_DECL:
            case XML_ENTITY_DECL:
            case XML_XINCLUDE_START:
            case XML_XINCLUDE_END:
                return 0;
            default:  // entity references and anything else that canonical XML cannot hold
                return -1;
        }
    }

    enum class Pos { Before, Inside, After };
    static constexpr int MAX_DEPTH = 2048;
    int depth_ = 0;
    const SubtreeFilter* filter_;
    CanonicalSink& sink_;
    std::string out_;
    std::vector<Ns> rendered_;  // namespaces in scope at the nearest output ancestor
    std::unordered_map<std::string_view, std::vector<size_t>> latest_;
    std::unordered_set<xmlNodePtr> roots_;
    Pos pos_ = Pos::Before;
    bool parentIsDoc_ = true;
};

}  // namespace

int canonicalizeTo(xmlDocPtr document, const SubtreeFilter* filter, CanonicalSink& sink) {
    if (document == nullptr) {
        return -133;
    }
    try {
        Canonicalizer canonicalizer(filter, sink);
        if (canonicalizer.run(document) < 0) {
            return -133;
        }
    } catch (const std::bad_alloc&) {
        return -133;
    }
    if (sink.length == 0 || sink.length > INT_MAX) {
        return -133;
    }
    return static_cast<int>(sink.length);
}

int canonicalize(xmlDocPtr document, const char* xpath, ByteBuffer& out) {
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> context;
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result;
    if (xpath != nullptr) {
        std::string expression = xpath;
        if (expression.find("::") != std::string::npos) {
            expression = "(//.|//@*|//namespace::*)[" + expression + "]";
        }
        context.reset(xmlXPathNewContext(document));
        if (!context) {
            return -133;
        }
        result.reset(xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()),
                                            context.get()));
        if (!result) {
            return -133;
        }
    }
    xmlChar* text = nullptr;
    int length = xmlC14NDocDumpMemory(document, result ? result->nodesetval : nullptr, XML_C14N_1_0,
                                      nullptr, 0, &text);
    if (length <= 0 || text == nullptr) {
        xmlFree(text);
        return -133;
    }
    out.assign(text, text + length);
    xmlFree(text);
    return length;
}

}  // namespace mv
