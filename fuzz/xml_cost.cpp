#include <libxml/hash.h>
#include <libxml/parser.h>
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exchange/XmlCost.h"

// Documents come from pages and servers, and the pass that judges them reads them before
// anything else does; they are parsed through the one entry the commands use. Whatever it
// accepts, libxml2 parses without expanding an entity: no declared entity was ever looked up
// (read into a tree of its own), no entity reference stands in the tree, every attribute's value
// is plain text (so that reading it expands nothing), and what the parser allocates stays in
// proportion to the document, and no ID or IDREF was registered. And libxml2 read what the pass
// read: no element deeper, and none with more attributes or namespace declarations, nor more ID
// attributes declared for an element, more attribute declarations or lists of tokens that cost
// more to check, nor more names in its dictionary, than the pass measured (markup that a decoder
// other than UTF-8 would find where the pass saw text shows here).
namespace {

// The densest shapes cost libxml2 some 40 times their size: past 128 times something grows
// faster than the document.
constexpr size_t MOST_BYTES_PER_BYTE = 128;

size_t current = 0;
size_t peak = 0;

void count(void* block, bool added) {
    size_t size = block != nullptr ? malloc_usable_size(block) : 0;
    current = added ? current + size : current - size;
    peak = std::max(peak, current);
}

void* countedMalloc(size_t size) {
    void* block = std::malloc(size);
    count(block, true);
    return block;
}

void countedFree(void* block) {
    count(block, false);
    std::free(block);
}

void* countedRealloc(void* block, size_t size) {
    size_t before = block != nullptr ? malloc_usable_size(block) : 0;
    void* moved = std::realloc(block, size);
    if (moved != nullptr) {
        current -= before;
        count(moved, true);
    }
    return moved;
}

char* countedStrdup(const char* text) {
    size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(countedMalloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

void checkEntity(void* payload, void*, const xmlChar*) {
    auto* entity = static_cast<xmlEntityPtr>(payload);
    if (entity->children != nullptr || entity->checked != 0) {
        std::abort();  // a reference reached the parser
    }
}

void checkNodes(xmlNodePtr node) {
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_ENTITY_REF_NODE) {
            std::abort();
        }
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
                for (xmlNodePtr text = attr->children; text != nullptr; text = text->next) {
                    if (text->type != XML_TEXT_NODE) {
                        std::abort();
                    }
                }
            }
        }
        if (node->type != XML_DTD_NODE && node->type != XML_ENTITY_DECL) {
            checkNodes(node->children);
        }
    }
}

void checkShape(xmlNodePtr node, size_t level, const mv::XmlCost& cost) {
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        size_t attributes = 0, namespaces = 0;
        for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
            ++attributes;
        }
        for (xmlNsPtr ns = node->nsDef; ns != nullptr; ns = ns->next) {
            ++namespaces;
        }
        if (level > cost.depth || attributes + namespaces > cost.mostAttributes ||
            namespaces > cost.mostNamespaces) {
            std::abort();  // libxml2 read markup the pass did not see
        }
        checkShape(node->children, level + 1, cost);
    }
}

// What libxml2 kept of the document type's attribute declarations, over all its elements.
struct Declared {
    const mv::XmlCost* cost;
    size_t attributes = 0;
    size_t tokenComparisons = 0;  // as the pass counts them, over the tokens libxml2 kept
};

void checkDeclared(void* payload, void* data, const xmlChar*) {
    auto& declared = *static_cast<Declared*>(data);
    size_t ids = 0;
    for (xmlAttributePtr attribute = static_cast<xmlElementPtr>(payload)->attributes;
         attribute != nullptr; attribute = attribute->nexth) {
        size_t before = 0;
        for (xmlEnumerationPtr token = attribute->tree; token != nullptr; token = token->next) {
            declared.tokenComparisons += before++ * (xmlStrlen(token->name) + 1);
        }
        ++declared.attributes;
        ids += attribute->atype == XML_ATTRIBUTE_ID ? 1 : 0;
        if (ids > declared.cost->mostIds) {
            std::abort();  // libxml2 read declarations the pass did not see
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    xmlMemSetup(countedFree, countedMalloc, countedRealloc, countedStrdup);
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const size_t before = current;
    peak = current;
    xmlDocPtr doc = mv::readBoundedXml(text, size);
    if (doc != nullptr) {
        if (peak - before > MOST_BYTES_PER_BYTE * size + (1u << 20)) {
            std::abort();  // libxml2 built more than any linear shape needs
        }
        for (xmlDtdPtr subset : {doc->intSubset, doc->extSubset}) {
            if (subset != nullptr) {
                xmlHashScan(static_cast<xmlHashTablePtr>(subset->entities), checkEntity, nullptr);
                xmlHashScan(static_cast<xmlHashTablePtr>(subset->pentities), checkEntity, nullptr);
            }
        }
        if (doc->ids != nullptr || doc->refs != nullptr) {
            std::abort();  // IDs registered in tables that stop growing
        }
        checkNodes(doc->children);
        // The entry skips a UTF-8 byte order mark before the pass reads the text.
        const size_t mark = size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        mv::XmlCost cost = mv::measureXmlCost(text + mark, size - mark);
        checkShape(doc->children, 1, cost);
        if (doc->intSubset != nullptr) {
            Declared declared{&cost};
            xmlHashScan(static_cast<xmlHashTablePtr>(doc->intSubset->elements), checkDeclared,
                        &declared);
            if (declared.attributes > cost.attributeDeclarations ||
                declared.tokenComparisons > cost.tokenComparisons) {
                std::abort();  // libxml2 read declarations the pass did not see
            }
        }
        // The dictionary starts with "xml", "xmlns" and the XML namespace's name, and keeps the
        // names of the five predefined entities that the document refers to.
        if (static_cast<size_t>(xmlDictSize(doc->dict)) > cost.names + 3 + 5) {
            std::abort();  // libxml2 interned more than the pass counted
        }
        xmlFreeDoc(doc);
    }
    return 0;
}
