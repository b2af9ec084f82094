#include "exchange/XmlCost.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

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

// libxml2 compares each attribute of an element with those before it (declared defaults
// included) and walks an element's declared attributes at each further one of type ID; it
// searches the declarations in scope for each prefix. 1024 attributes and 256 declarations keep
// a parse within a quarter of a second per MiB.
constexpr size_t MAX_ATTRIBUTES = 1024;
constexpr size_t MAX_NAMESPACES = 256;
// libxml2 keeps the attributes that the document type declares in hash tables that stop growing
// (one it looks up at every attribute of the document): 100,000 declarations take a fifth of a
// second, and the look-ups less than a plain parse costs. The largest real document types declare
// 20,000 to 40,000.
constexpr size_t MAX_ATTRIBUTE_DECLARATIONS = 100000;
// libxml2 compares each token of an enumeration or a NOTATION list with those before it, byte by
// byte up to the first that differs: about half a nanosecond a byte. 2^28 bytes (at most about a
// tenth of a second) take the longest real code lists whole, ISO 639-3's 7,900 three-letter codes
// twice over; 32 a byte keep the rest within what a plain document of the same size costs.
constexpr size_t FREE_TOKEN_COMPARISONS = size_t(1) << 28;
constexpr size_t TOKEN_COMPARISONS_PER_BYTE = 32;
// At each ID attribute declared for an element, libxml2 reports every ID that the element
// already has, and formats each message though no one reads it: 8 per element keep that within
// a tenth of a second per MiB. XML allows one.
constexpr size_t MAX_IDS = 8;
// libxml2 2.9's dictionary stops growing its table, so each further name makes every lookup
// longer: tens of thousands of names cost about 0.1 s per MiB, a million minutes.
constexpr size_t MAX_NAMES = 65536;
// As deep as libxml2 itself goes without XML_PARSE_HUGE.
constexpr size_t MAX_DEPTH = 257;
// Declared defaults take no room in the document but are applied again at every element of
// their name, each copied and compared with the element's attributes and the defaults before it.
// 64 comparisons per byte (16 defaults at each of the smallest elements) keep their work within
// about a plain parse, and a namespace declaration (about 160 bytes in the tree) per 16 bytes the
// memory they add within 10 times the document; beyond what one element at the bounds above
// receives.
constexpr size_t DEFAULT_COMPARISONS_PER_BYTE = 64;
constexpr size_t BYTES_PER_DEFAULT_NAMESPACE = 16;
// libxml2 finds an element's declared defaults in a table of ten buckets that never grows, at
// each start tag and each declared default: each look-up costs up to about a nanosecond for
// every element name that has defaults. 32 such names per byte of the document keep that within
// about what a plain parse costs (hundreds of names with defaults beside elements of tens of
// bytes); 2^22 are free.
constexpr size_t DEFAULT_LOOKUPS_PER_BYTE = 32;
constexpr size_t FREE_DEFAULT_LOOKUPS = size_t(1) << 22;
// libxml2 finds the namespace of each prefixed name by walking up the tree to the element that
// declares it: about two nanoseconds a level. 4 levels per byte of the document keep that within
// half what a plain parse costs, beyond one element at the attribute bound 257 levels down; a
// real document walks a few levels per name, and its names stand tens of bytes apart.
constexpr size_t NAMESPACE_WALK_PER_BYTE = 4;
// Sums stop here: far past any bound, far below overflow.
constexpr size_t SUM_CAP = size_t(1) << 60;

// sum + a * b, stopped at SUM_CAP.
size_t addCapped(size_t sum, size_t a, size_t b) {
    if (sum >= SUM_CAP || (b != 0 && a > (SUM_CAP - sum) / b)) {
        return SUM_CAP;
    }
    return std::min(SUM_CAP, sum + a * b);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNamespaceDeclaration(std::string_view name) {
    return name == "xmlns" || name.substr(0, 6) == "xmlns:";
}

// Text or an attribute's value that refers to an entity other than the five predefined ones. A
// '&' that starts no reference at all is not well-formed, which libxml2 refuses anyway.
bool refersToEntity(std::string_view text) {
    for (size_t i = text.find('&'); i != std::string_view::npos; i = text.find('&', i + 1)) {
        std::string_view rest = text.substr(i + 1, 5);
        if (rest.substr(0, 1) != "#" && rest.substr(0, 3) != "lt;" && rest.substr(0, 3) != "gt;" &&
            rest.substr(0, 4) != "amp;" && rest != "apos;" && rest != "quot;") {
            return true;
        }
    }
    return false;
}

// The attributes that the document type declares, per element name as written: libxml2 walks
// an element's declarations at each further one of type ID and reports the IDs before it, adds
// the namespace declarations among the defaults to every such element and looks at all the
// defaults there.
struct Defaults {
    size_t declared = 0;
    size_t ids = 0;         // of type ID
    size_t attributes = 0;  // with a default value
    size_t namespaces = 0;
};

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};

// One pass over a document.
class Scan {
public:
    Scan(std::string_view text, XmlCost& cost) : t_(text), cost_(cost) {}

    void content() {
        while (p_ < t_.size()) {
            if (t_[p_] != '<') {
                text();
            } else if (at("<!--")) {
                skipPast("-->");
            } else if (at("<![CDATA[")) {
                skipPast("]]>");
            } else if (at("<?")) {
                instruction();
            } else if (at("<!DOCTYPE")) {
                p_ += 9;
                doctype();
            } else if (at("</")) {
                skipPast(">");
                if (!open_.empty()) {
                    inScope_ -= open_.back();
                    open_.pop_back();
                    for (size_t n = openPrefixes_.back(); n > 0; --n) {
                        prefixLevels_[prefixes_.back()].pop_back();
                        prefixes_.pop_back();
                    }
                    openPrefixes_.pop_back();
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

    // Nothing after this changes the verdict.
    void refuse() {
        cost_.entityReferences = true;
        p_ = t_.size();
    }

    // A name, namespace or other text that libxml2 keeps in its dictionary: the first use adds
    // it. Counting stops just past the bound.
    void nameUse(std::string_view name) {
        if (name.empty() || names_.size() > MAX_NAMES || names_.find(name) != names_.end()) {
            return;
        }
        names_.emplace(name);
        cost_.names = names_.size();
    }

    // The dictionary keeps a prefixed name's prefix and local part apart, and the whole name too
    // where a declaration names it or its prefix is not declared. Where a colon stands first,
    // last or twice, libxml2 keeps what it can read of the name: every part before or after a
    // colon counts.
    void qualifiedNameUse(std::string_view name) {
        nameUse(name);
        size_t piece = 0;
        for (size_t at = name.find(':'); at != std::string_view::npos;
             at = name.find(':', at + 1)) {
            nameUse(name.substr(0, at));
            nameUse(name.substr(at + 1));
            nameUse(name.substr(piece, at - piece));
            piece = at + 1;
        }
    }

    void skipSpace() {
        while (p_ < t_.size() && isSpace(t_[p_])) {
            ++p_;
        }
    }

    // As libxml2 reads a name, up to the first character that no name holds: '?' too, or the
    // "?>" right after an instruction's target would be taken into it and the pass would skip
    // to the next one, past whatever stands between.
    std::string_view name() {
        size_t start = p_;
        while (p_ < t_.size() && !isSpace(t_[p_]) &&
               std::strchr("<>/=\"'[]()|,%;&#?", t_[p_]) == nullptr) {
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

    // An instruction's target is a name in libxml2's dictionary, in the document type as well as
    // in the content.
    void instruction() {
        p_ += 2;
        nameUse(name());
        skipPast("?>");
    }

    void text() {
        size_t end = t_.find('<', p_);
        if (end == std::string_view::npos) {
            end = t_.size();
        }
        std::string_view run = t_.substr(p_, end - p_);
        if (refersToEntity(run)) {
            refuse();
            return;
        }
        // Blank text of up to 59 bytes before a tag lives in the dictionary.
        if (run.size() < 60 && run.find_first_not_of(" \t\r\n") == std::string_view::npos &&
            t_.substr(end, 2) != "<!") {
            nameUse(run);
        }
        p_ = end;
    }

    // The levels that libxml2 walks up from level `from` to find the namespace of `prefix` ("" for
    // the default one): up to the nearest element that declares it or is named with it, or to
    // the top.
    size_t namespaceWalk(std::string_view prefix, size_t from) const {
        auto found = prefixLevels_.find(prefix);
        const size_t nearest =
            found == prefixLevels_.end() || found->second.empty() ? 0 : found->second.back();
        return from - std::min(from, nearest);
    }

    void startTag() {
        std::string_view element = name();
        qualifiedNameUse(element);
        const size_t level = open_.size() + 1;
        cost_.depth = std::max(cost_.depth, level);
        if (level > MAX_DEPTH) {
            p_ = t_.size();
            return;
        }
        size_t attributes = 0;
        size_t namespaces = 0;
        bool open = false;
        declared_.clear();
        searched_.clear();
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
            qualifiedNameUse(attribute);
            ++p_;
            skipSpace();
            if (p_ >= t_.size() || (t_[p_] != '"' && t_[p_] != '\'')) {
                break;
            }
            std::string_view value = quoted();
            if (refersToEntity(value)) {
                refuse();
                return;
            }
            ++attributes;
            if (isNamespaceDeclaration(attribute)) {
                ++namespaces;
                nameUse(value);
                declared_.push_back(attribute.substr(std::min<size_t>(6, attribute.size())));
            } else if (size_t colon = attribute.find(':');
                       colon != std::string_view::npos && attribute.substr(0, colon) != "xml") {
                searched_.push_back(attribute.substr(0, colon));
            }
        }
        // The element's own name is searched for from its parent on, its attributes' from the
        // element; a declaration on the element itself is found at once.
        const size_t colon = element.find(':');
        const std::string_view prefix = element.substr(0, colon == element.npos ? 0 : colon);
        auto walk = [&](std::string_view searched, size_t from) {
            return std::find(declared_.begin(), declared_.end(), searched) != declared_.end()
                       ? 0
                       : namespaceWalk(searched, from);
        };
        size_t walked = walk(prefix, level - 1);
        for (std::string_view searched : searched_) {
            walked += walk(searched, level);
        }
        cost_.namespaceWalks = addCapped(cost_.namespaceWalks, walked, 1);
        if (!defaults_.empty()) {
            auto found = defaults_.find(element);
            if (found != defaults_.end()) {
                const Defaults& received = found->second;
                cost_.defaultComparisons =
                    std::min(SUM_CAP, cost_.defaultComparisons +
                                          received.attributes * (attributes + received.attributes));
                cost_.defaultNamespaces =
                    std::min(SUM_CAP, cost_.defaultNamespaces + received.namespaces);
                attributes += received.attributes;
                namespaces += received.namespaces;
            }
        }
        cost_.mostAttributes = std::max(cost_.mostAttributes, attributes);
        cost_.mostNamespaces = std::max(cost_.mostNamespaces, inScope_ + namespaces);
        cost_.defaultLookups = addCapped(cost_.defaultLookups, withDefaults_, 1);
        if (open) {
            open_.push_back(namespaces);
            inScope_ += namespaces;
            declared_.push_back(prefix);
            for (std::string_view found : declared_) {
                prefixLevels_[found].push_back(level);
                prefixes_.push_back(found);
            }
            openPrefixes_.push_back(declared_.size());
        }
    }

    // After "<!DOCTYPE": its name and external identifier, then the internal subset. A '%'
    // outside a literal is a parameter entity reference, or not well-formed.
    void doctype() {
        skipSpace();
        nameUse(name());  // the top element's name, as the document type gives it
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
            } else if (c == '%') {
                refuse();
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
                refuse();  // its replacement text would be read as declarations
            } else if (at("<!--")) {
                skipPast("-->");
            } else if (at("<?")) {
                instruction();
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
        while (p_ < t_.size() && t_[p_] != '>') {
            if (t_[p_] == '"' || t_[p_] == '\'') {
                quoted();
            } else if (t_[p_] == '%') {
                refuse();
                return;
            } else if (std::string_view found = name(); !found.empty()) {
                qualifiedNameUse(found);
            } else {
                ++p_;
            }
        }
        p_ = std::min(p_ + 1, t_.size());
    }

    // A declaration alone expands nothing: a general entity's value is read only where the
    // entity is referenced, and every such document is refused. Only the parameter entity
    // references in a value are expanded at once.
    void entity() {
        skipSpace();
        if (at("%")) {
            ++p_;  // declares a parameter entity
            skipSpace();
        }
        nameUse(name());
        skipSpace();
        if (p_ < t_.size() && (t_[p_] == '"' || t_[p_] == '\'') &&
            quoted().find('%') != std::string_view::npos) {
            refuse();
            return;
        }
        declarationRest();
    }

    // "<!ATTLIST element (name type default)*>".
    void attributeList() {
        skipSpace();
        std::string_view element = name();
        qualifiedNameUse(element);
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
            qualifiedNameUse(attribute);
            Defaults& defaults = defaults_[element];
            cost_.mostAttributes = std::max(cost_.mostAttributes, ++defaults.declared);
            cost_.attributeDeclarations = addCapped(cost_.attributeDeclarations, 1, 1);
            skipSpace();
            const std::string_view type = name();
            if (type == "ID") {
                cost_.mostIds = std::max(cost_.mostIds, ++defaults.ids);
            } else if (type == "NOTATION") {
                skipSpace();
            }
            if (at("(")) {
                tokens(type == "NOTATION");
            }
            skipSpace();
            bool hasDefault = true;
            if (at("#")) {
                ++p_;
                hasDefault = name() == "FIXED";
                skipSpace();
            }
            if (hasDefault) {
                std::string_view value = quoted();
                if (refersToEntity(value)) {
                    refuse();
                    return;
                }
                nameUse(value);
                if (defaults.attributes++ == 0) {
                    ++withDefaults_;
                }
                defaults.namespaces += isNamespaceDeclaration(attribute) ? 1 : 0;
                // Found, and kept, by the element's name.
                cost_.defaultLookups = addCapped(cost_.defaultLookups, withDefaults_, 1);
            }
        }
    }

    // "(token|token...)" of an enumeration, or of a NOTATION list, whose tokens are names in the
    // dictionary; white space may stand around each token. Where no token stands, libxml2
    // refuses the document.
    void tokens(bool names) {
        size_t before = 0;
        do {
            ++p_;  // past '(' or '|'
            skipSpace();
            const std::string_view token = name();
            if (token.empty()) {
                break;
            }
            // Compared with each token before it, at most up to its end and one byte.
            cost_.tokenComparisons = addCapped(cost_.tokenComparisons, before++, token.size() + 1);
            if (names) {
                nameUse(token);
            }
            skipSpace();
        } while (at("|"));
        skipPast(")");
    }

    std::string_view t_;
    size_t p_ = 0;
    XmlCost& cost_;
    std::unordered_set<std::string, NameHash, std::equal_to<>> names_;
    std::unordered_map<std::string_view, Defaults> defaults_;  // keys point into the text
    size_t withDefaults_ = 0;   // element names with a declared default
    std::vector<size_t> open_;  // namespace declarations of each open element
    size_t inScope_ = 0;
    // The levels of the open elements that declare each prefix or are named with it; the prefixes
    // that each open element added there, in order.
    std::unordered_map<std::string_view, std::vector<size_t>> prefixLevels_;
    std::vector<std::string_view> prefixes_;
    std::vector<size_t> openPrefixes_;
    std::vector<std::string_view> declared_;  // at the element being read
    std::vector<std::string_view> searched_;  // prefixes of its attributes
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

// What the pass assumes of the parser. The text is already decoded, so it is read as UTF-8
// whatever its declaration names (XML_PARSE_IGNORE_ENC); naming the encoding also keeps libxml2
// from guessing another one from the first bytes (a UTF-16 or UCS-4 byte order mark, "<\0?\0",
// EBCDIC's "<?xm"), which then are not UTF-8 and fail. No network, no entity substitution, no
// XML_PARSE_HUGE (libxml2's own depth and size limits stay).
constexpr char TEXT_ENCODING[] = "UTF-8";
constexpr int PARSE_OPTIONS = XML_PARSE_NONET | XML_PARSE_IGNORE_ENC | XML_PARSE_COMPACT |
                              XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Right after it declares an internal entity, libxml2 looks the entity up by the declaration's
// own name to keep its value as written: the one lookup that is no reference.
struct EntityLookups {
    const xmlChar* declared = nullptr;
    bool parameter = false;
};

EntityLookups& lookupsOf(void* context) {
    return *static_cast<EntityLookups*>(static_cast<xmlParserCtxtPtr>(context)->_private);
}

void declareEntity(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                   const xmlChar* systemId, xmlChar* content) {
    xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
    if (type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY) {
        lookupsOf(context) = {name, type == XML_INTERNAL_PARAMETER_ENTITY};
    }
}

// True for the lookup that follows the declaration of `name`; any other lookup ends it.
bool followsDeclaration(void* context, const xmlChar* name, bool parameter) {
    EntityLookups& lookups = lookupsOf(context);
    const bool follows = lookups.declared == name && lookups.parameter == parameter;
    lookups.declared = nullptr;
    return follows;
}

// A reference to any entity but the five predefined ones ends the parse then and there, so that
// one the pass has missed is never expanded, nor looked up in a tree of its own. Stopping alone
// leaves the document well-formed as far as libxml2 knows, and it would hand out the tree it has.
xmlEntityPtr refuseReference(void* context) {
    auto* parser = static_cast<xmlParserCtxtPtr>(context);
    parser->wellFormed = 0;
    xmlStopParser(parser);
    return nullptr;
}

xmlEntityPtr getEntity(void* context, const xmlChar* name) {
    if (followsDeclaration(context, name, false)) {
        return xmlSAX2GetEntity(context, name);
    }
    if (xmlEntityPtr predefined = xmlGetPredefinedEntity(name)) {
        return predefined;
    }
    return refuseReference(context);
}

xmlEntityPtr getParameterEntity(void* context, const xmlChar* name) {
    if (followsDeclaration(context, name, true)) {
        return xmlSAX2GetParameterEntity(context, name);
    }
    return refuseReference(context);
}

// libxml2 2.9 registers the value of every ID attribute (xml:id, and those that the document type
// declares ID) and IDREF or IDREFS attribute in tables of the document, through its dictionary
// and hash tables whose bucket counts stop growing: an ID on every row of a large document costs
// it minutes. XML_SKIP_IDS keeps it from that; xmlCtxtReadIO resets the flags when it applies
// the options, so the flag is set here, before any attribute is read.
void startDocument(void* context) {
    xmlSAX2StartDocument(context);
    static_cast<xmlParserCtxtPtr>(context)->loadsubset |= XML_SKIP_IDS;
}

// libxml2 reports some errors to the thread's own handlers instead of the parser's, whatever
// the parse options say: a repeated ID declaration, for one, is reported once for every ID its
// element already has, and the default handler writes each to standard error. While outside XML
// is parsed, this thread's handlers report nowhere; the ones it had come back after.
class QuietErrors {
public:
    QuietErrors()
        : generic_(xmlGenericError),
          genericContext_(xmlGenericErrorContext),
          structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, ignoreMessage);
        xmlSetStructuredErrorFunc(nullptr, [](void*, auto) {});
    }
    ~QuietErrors() {
        xmlSetGenericErrorFunc(genericContext_, generic_);
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    static void ignoreMessage(void*, const char*, ...) {}

    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
};

}  // namespace

XmlCost measureXmlCost(const char* text, size_t size) {
    XmlCost cost;
    if (text != nullptr) {
        Scan(std::string_view(text, size), cost).content();
    }
    return cost;
}

bool xmlCostBounded(const char* text, size_t size) {
    const XmlCost cost = measureXmlCost(text, size);
    return !cost.entityReferences && cost.depth <= MAX_DEPTH && cost.names <= MAX_NAMES &&
           cost.mostAttributes <= MAX_ATTRIBUTES && cost.mostNamespaces <= MAX_NAMESPACES &&
           cost.mostIds <= MAX_IDS && cost.attributeDeclarations <= MAX_ATTRIBUTE_DECLARATIONS &&
           cost.tokenComparisons <=
               addCapped(FREE_TOKEN_COMPARISONS, TOKEN_COMPARISONS_PER_BYTE, size) &&
           cost.defaultComparisons <=
               DEFAULT_COMPARISONS_PER_BYTE * size + MAX_ATTRIBUTES * MAX_ATTRIBUTES &&
           cost.defaultNamespaces * BYTES_PER_DEFAULT_NAMESPACE <=
               size + BYTES_PER_DEFAULT_NAMESPACE * MAX_NAMESPACES &&
           cost.defaultLookups <= addCapped(FREE_DEFAULT_LOOKUPS, DEFAULT_LOOKUPS_PER_BYTE, size) &&
           cost.namespaceWalks <=
               addCapped(MAX_DEPTH * MAX_ATTRIBUTES, NAMESPACE_WALK_PER_BYTE, size);
}

xmlDocPtr readBoundedXml(const char* text, size_t size) {
    // Given an encoding, libxml2 no longer skips a UTF-8 byte order mark: it is skipped here,
    // for the pass and the parser alike.
    if (text != nullptr && size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        size -= 3;
    }
    try {
        if (text == nullptr || size == 0 || size > INT_MAX || !xmlCostBounded(text, size)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    QuietErrors quiet;
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
    EntityLookups lookups;
    parser->_private = &lookups;  // read by the handlers below, only during this parse
    parser->sax->entityDecl = declareEntity;
    parser->sax->getEntity = getEntity;
    parser->sax->getParameterEntity = getParameterEntity;
    parser->sax->startDocument = startDocument;
    // Any flag in loadsubset would have libxml2 read the document type that the document names
    // outside itself: nothing is ever fetched.
    parser->sax->externalSubset = nullptr;
    MemoryReader reader{text, size};
    xmlDocPtr doc = xmlCtxtReadIO(parser.get(), readFromMemory, nullptr, &reader, nullptr,
                                  TEXT_ENCODING, PARSE_OPTIONS);
    if (doc != nullptr && parser->errNo == XML_ERR_USER_STOP) {
        xmlFreeDoc(doc);  // stopped part-way: what was built is not the document
        return nullptr;
    }
    return doc;
}

}  // namespace mv
