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
// anything else does. Whatever it accepts, libxml2 parses without expanding an entity: no
// declared entity was ever looked up (read into a tree of its own), no entity reference stands
// in the tree, every attribute's value is plain text (so that reading it expands nothing), and
// what the parser allocates stays in proportion to the document.
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
        checkNodes(doc->children);
        xmlFreeDoc(doc);
    }
    return 0;
}
