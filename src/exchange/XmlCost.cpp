#include "exchange/XmlCost.h"

#include <libxml/parser.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace mv {
namespace {

// What libxml2 2.9 allocates, malloc's own words included, measured on documents of one shape
// each (bench/xml_parse_cost.py): 128 bytes for each node (element, text, comment, processing
// instruction, CDATA), 240 for an attribute with its value's node, 160 for an entity
// reference, 128 for a namespace declaration, about 160 for a declaration of the document
// type; and a copy of each text unless it is short enough to live inside its node.
constexpr size_t NODE_BYTES = 128;
constexpr size_t ATTRIBUTE_BYTES = 240;
constexpr size_t REFERENCE_BYTES = 160;
constexpr size_t NAMESPACE_BYTES = 128;
constexpr size_t DECLARATION_BYTES = 160;
constexpr size_t INLINE_TEXT = 16;  // XML_PARSE_COMPACT keeps shorter texts in the node
// Each name is kept once, in the parser's dictionary: its bytes and an entry of the hash table
// with its share of the table's growth.
constexpr size_t NAME_BYTES = 64;

// The copy of a text of `length` bytes (NUL and malloc's header included), none for a short
// one when `compact`.
size_t textBytes(size_t length, bool compact) {
    return compact && length < INLINE_TEXT ? 0 : length + 24;
}

// The bounds. With the copies of the text that the commands keep meanwhile (about four times
// its size) a tree of 18 times the size keeps a run within about 24 times; below 16 MiB of tree
// any shape is taken. libxml2 compares each attribute of an element with those before it and
// searches the declarations in scope for each prefix: 1024 attributes and 256 declarations
// keep a parse within a quarter of a second per MiB.
constexpr size_t TREE_RATIO = 18;
constexpr size_t TREE_FLOOR = 16u << 20;
constexpr size_t MAX_ATTRIBUTES = 1024;
constexpr size_t MAX_NAMESPACES = 256;
// libxml2 2.9's dictionary stops growing its table, so each further name makes every lookup
// longer: tens of thousands of names cost about 0.1 s per MiB, a million minutes.
constexpr size_t MAX_NAMES = 65536;
// libxml2 refuses documents deeper than 256 levels (2048 with XML_PARSE_HUGE).
constexpr size_t MAX_DEPTH = 2048;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNamespaceDeclaration(std::string_view name) {
    return name == "xmlns" || name.substr(0, 6) == "xmlns:";
}

// The attributes that the document type declares, per element name as written: libxml2 walks
// an element's declarations at each further one of type ID, adds the namespace declarations
// among the defaults to every such element and looks at all the defaults there.
struct Defaults {
    size_t declared = 0;
    size_t attributes = 0;  // with a default value
    size_t namespaces = 0;
};
using DefaultsMap = std::unordered_map<std::string_view, Defaults>;

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};
using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;

// What the scans of a document and of its entities' values share.
struct Seen {
    DefaultsMap defaults;  // keys point into the document's text
    NameSet names;
};

// The replacement text of an entity value: character references become the characters they
// stand for (markup may hide behind them), those beyond ASCII a stand-in.
std::string expandCharacterReferences(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '&' || value.substr(i + 1, 1) != "#") {
            out += value[i];
            continue;
        }
        size_t end = value.find_first_of(";&", i + 1);
        if (end == std::string_view::npos || value[end] != ';') {
            out += value[i];
            continue;
        }
        bool hex = value.substr(i + 2, 1) == "x";
        unsigned long code =
            std::strtoul(std::string(value.substr(i + 2 + hex, 8)).c_str(), nullptr, hex ? 16 : 10);
        out += code > 0 && code < 0x80 ? static_cast<char>(code) : 'x';
        i = end;
    }
    return out;
}

// One pass over a document, or over the replacement text of one of its entities.
class Scan {
public:
    Scan(std::string_view text, XmlCost& cost, Seen& seen, bool inEntity)
        : t_(text), cost_(cost), seen_(seen), defaults_(seen.defaults), inEntity_(inEntity) {}

    void content() {
        while (p_ < t_.size()) {
            if (t_[p_] != '<') {
                text();
            } else if (at("<!--")) {
                node("-->");
            } else if (at("<![CDATA[")) {
                node("]]>");
            } else if (at("<?")) {
                p_ += 2;
                nameUse(name());
                node("?>");
            } else if (at("<!DOCTYPE") && !inEntity_) {
                p_ += 9;
                doctype();
            } else if (at("</")) {
                skipPast(">");
                if (!open_.empty()) {
                    inScope_ -= open_.back();
                    open_.pop_back();
                }
            } else if (at("<!")) {
                skipPast(">");  // not well-formed: libxml2 refuses it
            } else {
                ++p_;
                startTag();
            }
        }
    }

private:
    bool at(std::string_view what) const { return t_.substr(p_, what.size()) == what; }

    void skipPast(std::string_view end) {
        size_t found = t_.find(end, p_);
        p_ = found == std::string_view::npos ? t_.size() : found + end.size();
    }

    // A comment, CDATA section or processing instruction, whose text is always a copy.
    void node(std::string_view end) {
        size_t start = p_;
        skipPast(end);
        cost_.treeBytes += NODE_BYTES + textBytes(p_ - start, false);
    }

    // A name, namespace or blank text that libxml2 keeps in its dictionary: the first use adds
    // it. Counting stops just past the bound.
    void nameUse(std::string_view name) {
        NameSet& names = seen_.names;
        if (name.empty() || names.size() > MAX_NAMES || names.find(name) != names.end()) {
            return;
        }
        cost_.treeBytes += name.size() + NAME_BYTES;
        names.emplace(name);
        cost_.names = names.size();
    }

    void skipSpace() {
        while (p_ < t_.size() && isSpace(t_[p_])) {
            ++p_;
        }
    }

    std::string_view name() {
        size_t start = p_;
        while (p_ < t_.size() && !isSpace(t_[p_]) &&
               std::strchr("<>/=\"'[]()|,%;&#", t_[p_]) == nullptr) {
            ++p_;
        }
        return t_.substr(start, p_ - start);
    }

    // A quoted literal at the position, without its quotes; empty when there is none.
    std::string_view quoted() {
        if (p_ >= t_.size() || (t_[p_] != '"' && t_[p_] != '\'')) {
            return {};
        }
        size_t start = p_ + 1;
        size_t end = t_.find(t_[p_], start);
        if (end == std::string_view::npos) {
            end = t_.size();
        }
        p_ = std::min(end + 1, t_.size());
        return t_.substr(start, end - start);
    }

    // Character data (text or an attribute's value): each reference to an entity other than the
    // five predefined ones is a node, and the text after it another.
    void references(std::string_view text) {
        for (size_t i = text.find('&'); i != std::string_view::npos; i = text.find('&', i + 1)) {
            std::string_view rest = text.substr(i + 1);
            size_t end = rest.find_first_of(";&");  // never past the next reference
            std::string_view entity = rest.substr(0, end);
            if (end == std::string_view::npos || rest[end] != ';' || entity.empty() ||
                entity[0] == '#' || entity == "lt" || entity == "gt" || entity == "amp" ||
                entity == "apos" || entity == "quot") {
                continue;
            }
            nameUse(entity);
            cost_.treeBytes += REFERENCE_BYTES + NODE_BYTES;  // and the text after it
        }
    }

    void text() {
        size_t end = t_.find('<', p_);
        if (end == std::string_view::npos) {
            end = t_.size();
        }
        std::string_view run = t_.substr(p_, end - p_);
        // Blank text of up to 59 bytes before a tag lives in the dictionary.
        if (run.size() < 60 && run.find_first_not_of(" \t\r\n") == std::string_view::npos &&
            t_.substr(end, 2) != "<!") {
            nameUse(run);
            cost_.treeBytes += NODE_BYTES;
        } else {
            cost_.treeBytes += NODE_BYTES + textBytes(run.size(), true);
        }
        references(run);
        p_ = end;
    }

    void startTag() {
        std::string_view element = name();
        nameUse(element);
        size_t attributes = 0;
        size_t namespaces = 0;
        bool open = false;
        while (p_ < t_.size()) {
            skipSpace();
            if (at(">")) {
                ++p_;
                open = true;
                break;
            }
            if (at("/>")) {
                p_ += 2;
                break;
            }
            std::string_view attribute = name();
            skipSpace();
            if (attribute.empty() || !at("=")) {
                break;  // not well-formed: libxml2 refuses it
            }
            nameUse(attribute);
            ++p_;
            skipSpace();
            if (p_ >= t_.size() || (t_[p_] != '"' && t_[p_] != '\'')) {
                break;
            }
            std::string_view value = quoted();
            references(value);
            ++attributes;
            if (isNamespaceDeclaration(attribute)) {
                ++namespaces;
                nameUse(value);
                cost_.treeBytes += textBytes(value.size(), false);
            } else {
                cost_.treeBytes += textBytes(value.size(), true);
            }
        }
        if (!defaults_.empty()) {
            auto found = defaults_.find(element);
            if (found != defaults_.end()) {
                attributes += found->second.attributes;
                namespaces += found->second.namespaces;
            }
        }
        cost_.treeBytes += NODE_BYTES +
                           (attributes - std::min(attributes, namespaces)) * ATTRIBUTE_BYTES +
                           namespaces * NAMESPACE_BYTES;
        cost_.mostAttributes = std::max(cost_.mostAttributes, attributes);
        cost_.mostNamespaces = std::max(cost_.mostNamespaces, inScope_ + namespaces);
        if (open) {
            if (open_.size() >= MAX_DEPTH) {
                cost_.tooDeep = true;
                p_ = t_.size();
                return;
            }
            open_.push_back(namespaces);
            inScope_ += namespaces;
        }
    }

    // After "<!DOCTYPE": its name and external identifier, then the internal subset.
    void doctype() {
        while (p_ < t_.size()) {
            char c = t_[p_];
            if (c == '"' || c == '\'') {
                quoted();
            } else if (c == '[') {
                ++p_;
                subset();
            } else if (c == '>') {
                ++p_;
                return;
            } else {
                ++p_;
            }
        }
    }

    void subset() {
        while (p_ < t_.size()) {
            skipSpace();
            if (at("]")) {
                ++p_;
                return;
            }
            if (at("%")) {
                // Its replacement text would be read as declarations again at each reference.
                cost_.parameterEntities = true;
                ++p_;
            } else if (at("<!--")) {
                skipPast("-->");
            } else if (at("<?")) {
                skipPast("?>");
            } else if (at("<!ENTITY")) {
                p_ += 8;
                entity();
            } else if (at("<!ATTLIST")) {
                p_ += 9;
                attributeList();
            } else if (at("<!")) {
                declarationRest();
            } else if (p_ < t_.size()) {
                ++p_;  // not well-formed: libxml2 refuses it
            }
        }
    }

    // The rest of a declaration up to its '>': its names (a content model may list many),
    // quoted literals skipped whole.
    void declarationRest() {
        cost_.treeBytes += DECLARATION_BYTES;
        while (p_ < t_.size() && t_[p_] != '>') {
            if (t_[p_] == '"' || t_[p_] == '\'') {
                quoted();
            } else if (std::string_view found = name(); !found.empty()) {
                nameUse(found);
            } else {
                ++p_;
            }
        }
        p_ = std::min(p_ + 1, t_.size());
    }

    // A general entity's replacement text is parsed once, at its first reference, into a tree
    // of its own: it costs what the same text would cost in the document.
    void entity() {
        skipSpace();
        bool parameter = at("%");
        if (parameter) {
            ++p_;
            skipSpace();
        }
        nameUse(name());
        skipSpace();
        if (!parameter && p_ < t_.size() && (t_[p_] == '"' || t_[p_] == '\'')) {
            std::string value = expandCharacterReferences(quoted());
            Scan(value, cost_, seen_, true).content();
        }
        declarationRest();
    }

    // "<!ATTLIST element (name type default)*>".
    void attributeList() {
        skipSpace();
        std::string_view element = name();
        nameUse(element);
        while (p_ < t_.size()) {
            skipSpace();
            if (at(">")) {
                ++p_;
                return;
            }
            std::string_view attribute = name();
            if (attribute.empty()) {
                declarationRest();  // not well-formed: libxml2 refuses it
                return;
            }
            nameUse(attribute);
            cost_.treeBytes += DECLARATION_BYTES;
            Defaults& defaults = defaults_[element];
            cost_.mostAttributes = std::max(cost_.mostAttributes, ++defaults.declared);
            skipSpace();
            if (name() == "NOTATION") {
                skipSpace();
            }
            if (at("(")) {
                skipPast(")");
            }
            skipSpace();
            bool hasDefault = true;
            if (at("#")) {
                ++p_;
                hasDefault = name() == "FIXED";
                skipSpace();
            }
            if (hasDefault) {
                quoted();
                ++defaults.attributes;
                defaults.namespaces += isNamespaceDeclaration(attribute) ? 1 : 0;
            }
        }
    }

    std::string_view t_;
    size_t p_ = 0;
    XmlCost& cost_;
    Seen& seen_;
    DefaultsMap& defaults_;
    bool inEntity_;
    std::vector<size_t> open_;  // namespace declarations of each open element
    size_t inScope_ = 0;
};

struct ParserFree {
    void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

struct MemoryReader {
    const char* next;
    size_t left;
};

int readFromMemory(void* context, char* buffer, int length) {
    auto* reader = static_cast<MemoryReader*>(context);
    size_t n = std::min(reader->left, static_cast<size_t>(length));
    std::memcpy(buffer, reader->next, n);
    reader->next += n;
    reader->left -= n;
    return static_cast<int>(n);
}

}  // namespace

XmlCost measureXmlCost(const char* text, size_t size) {
    XmlCost cost;
    if (text == nullptr) {
        return cost;
    }
    Seen seen;
    Scan(std::string_view(text, size), cost, seen, false).content();
    return cost;
}

bool xmlCostBounded(const char* text, size_t size) {
    const XmlCost cost = measureXmlCost(text, size);
    return !cost.parameterEntities && !cost.tooDeep && cost.names <= MAX_NAMES &&
           cost.mostAttributes <= MAX_ATTRIBUTES && cost.mostNamespaces <= MAX_NAMESPACES &&
           cost.treeBytes <= TREE_RATIO * size + TREE_FLOOR;
}

xmlDocPtr readBoundedXml(const char* text, size_t size, const char* encoding, int options) {
    try {
        if (text == nullptr || size == 0 || size > INT_MAX || !xmlCostBounded(text, size)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::unique_ptr<xmlParserCtxt, ParserFree> parser(xmlNewParserCtxt());
    if (!parser) {
        return nullptr;
    }
    // One fatal error refuses the document whatever follows, and libxml2 2.9 would go on and
    // format a message for each further one: seconds for a few MiB of stray '&'. (The handler's
    // error argument became const in later libxml2 releases; the generic lambda fits both.)
    parser->sax->serror = [](void* context, auto error) {
        if (error != nullptr && error->level == XML_ERR_FATAL) {
            xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
        }
    };
    MemoryReader reader{text, size};
    return xmlCtxtReadIO(parser.get(), readFromMemory, nullptr, &reader, nullptr, encoding,
                         options);
}

}  // namespace mv
