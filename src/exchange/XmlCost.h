#pragma once

#include <cstddef>

#include <libxml/tree.h>

// What a document from outside (a page's, a server's) may ask of libxml2 before it builds it.
// Its tree costs libxml2 a few dozen times the document's size, whatever the shape: the frame and
// answer bounds bound that. What is judged here is what grows faster than the document: entities
// whose replacement refers to other entities (every reference expands them again, in the parser
// and in whoever reads a value later), and shapes that make the parser's own work super-linear
// (each attribute of an element compared with all the others, each prefix searched among the
// declarations in scope, each name looked up in a dictionary and each declaration in a hash table
// that stop growing their tables, each token of a declared list compared with those before it,
// each ID attribute declared for an element reported again at every further one). libxml2 2.9
// would also register every ID and IDREF value in such tables; readBoundedXml keeps it from that
// instead, for an Id on every row is an ordinary shape.
namespace mv {

struct XmlCost {
    // On one element, namespace declarations and declared defaults too; or declared for one
    // element by the document type.
    size_t mostAttributes = 0;
    size_t mostNamespaces = 0;  // declarations in scope at one element
    // The levels that libxml2 walks up the tree, summed over all prefixed names (and names in a
    // default namespace), to the element that declares their namespace.
    size_t namespaceWalks = 0;
    size_t mostIds = 0;                // attributes of type ID declared for one element
    size_t attributeDeclarations = 0;  // in the whole document type, repeated ones too
    // The bytes that libxml2 compares at most while it checks each token of an enumeration or a
    // NOTATION list against those before it in its list: for each token, the tokens before it
    // times its length and one. Summed over the whole document type.
    size_t tokenComparisons = 0;
    // What the defaults that the document type declares add at all the elements that receive
    // them together: libxml2 compares each default with the element's attributes and the
    // defaults before it, and makes a namespace declaration of each namespace default, at every
    // such element, though the document does not repeat them.
    size_t defaultComparisons = 0;
    size_t defaultNamespaces = 0;
    // libxml2 keeps the declared defaults per element name in a table of ten buckets that does
    // not grow, and looks the name up there at each start tag and at each declaration of a
    // default: the element names with defaults declared at each such look-up, summed.
    size_t defaultLookups = 0;
    // Distinct names and other texts the parser keeps in its dictionary (blank texts between
    // tags, namespace names, instruction targets), counted as libxml2 may keep them: a prefixed
    // name whole and in its parts.
    size_t names = 0;
    size_t depth = 0;  // levels of the deepest element
    // A reference to an entity other than the five predefined ones: `&name;` in text or in an
    // attribute value (a declared default too), or `%name;` in the document type.
    bool entityReferences = false;
};

// The measures of the XML text `text` of `size` bytes, read as UTF-8 as readBoundedXml has libxml2
// read it, taken without parsing it, in one pass. The pass stops at an entity reference or past
// the depth bound: the measures are then no more than what it saw.
XmlCost measureXmlCost(const char* text, size_t size);

// True when libxml2 may parse the document: it refers to no entity beyond the five predefined
// ones (character references are fine), and it has at most 1024 attributes on an element, 256
// namespace declarations in scope, 65536 distinct names and 257 levels, and prefixed names whose
// namespaces libxml2 finds within 4 levels up per byte of the document (beyond those of one
// element at the attribute bound 257 levels down); its document type at most
// 100,000 attribute declarations and 8 ID attributes declared for an element, and lists of tokens
// that libxml2 checks in at most 2^28 compared bytes beyond 32 a byte of the document (a list of
// 8,000 three-letter codes takes under half of that); the declared defaults that its elements
// receive make at most 64 comparisons per byte of the document beyond those of one element at
// the attribute bound, at most one namespace declaration per 16 bytes beyond those of one element
// at the namespace bound, and at most 32 look-ups of element names with defaults per byte beyond
// 2^22. A document type that only declares (elements, attributes, entities nothing uses) is
// taken, and so is any document whose cost grows in proportion to its size, however dense.
bool xmlCostBounded(const char* text, size_t size);

// The one way outside XML (a page's document, a server's answer) is parsed: the document parsed
// by libxml2 exactly as the pass reads it, or null when xmlCostBounded refuses it or it does not
// parse. The text is already decoded: it is read as UTF-8 whatever its declaration names, and its
// first bytes never switch libxml2 to another encoding (a UTF-16, UCS-4 or EBCDIC start is not
// UTF-8 and fails; a UTF-8 byte order mark is skipped). Nothing is fetched, no entity is
// substituted, libxml2's own limits stay (no XML_PARSE_HUGE); and inside the parser too, a
// reference to any entity but the five predefined ones ends the parse at once. No ID or IDREF is
// registered in the document (xmlGetID and XPath's id() find nothing; xmlIsID still reads the
// declarations): whoever needs IDs indexes them itself. The options are the entry's own, so no
// caller can parse otherwise than the pass assumes. Read in pieces: no copy of the whole text is
// taken. What libxml2 reports of the document goes nowhere, on any thread: never to standard
// error, and the thread's own handlers are as they were after.
xmlDocPtr readBoundedXml(const char* text, size_t size);

}  // namespace mv
