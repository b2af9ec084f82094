#include <libxml/parser.h>
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exchange/XmlCost.h"

// Documents come from pages and servers, and the pass that judges their cost reads them before
// anything else does. Whatever it accepts, libxml2 builds within the estimate: its allocations,
// counted here, stay within twice the estimate and a MiB of working memory.
namespace {

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    xmlMemSetup(countedFree, countedMalloc, countedRealloc, countedStrdup);
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const mv::XmlCost cost = mv::measureXmlCost(text, size);
    const size_t before = current;
    peak = current;
    xmlDocPtr doc = mv::readBoundedXml(text, size, nullptr,
                                       XML_PARSE_NONET | XML_PARSE_IGNORE_ENC | XML_PARSE_COMPACT |
                                           XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc != nullptr) {
        if (peak - before > 2 * cost.treeBytes + (1u << 20)) {
            std::abort();  // libxml2 built more than the estimate allows
        }
        xmlFreeDoc(doc);
    }
    return 0;
}
