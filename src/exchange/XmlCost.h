#pragma once

#include <cstddef>

#include <libxml/tree.h>

// What a document from outside (a page's, a server's) may cost before libxml2 builds it. The
// tree costs libxml2 about 128 bytes a node, so a document of dense tiny elements costs some 32
// times its size, and libxml2 compares each attribute of an element with all the others before
// it, so thousands on one element take minutes. One pass over the text counts both first.
namespace mv {

struct XmlCost {
    size_t treeBytes = 0;       // estimate of what libxml2 allocates for the tree
    size_t mostAttributes = 0;  // on one element, namespace declarations and declared defaults too
    size_t mostNamespaces = 0;  // declarations in scope at one element
    bool parameterEntities = false;  // references between the declarations of the internal subset
    bool tooDeep = false;            // more levels than libxml2 would ever take
    size_t names = 0;  // distinct names and other texts the parser keeps in its dictionary
};

// The cost of the XML text `text` of `size` bytes (UTF-8 or any encoding that keeps ASCII where
// it is), judged without parsing it. Linear in the size whatever the text.
XmlCost measureXmlCost(const char* text, size_t size);

// True when libxml2 may build the document: a tree within about 18 times its size (or 16 MiB
// for a small one), at most 1024 attributes on an element, 256 namespace declarations in
// scope and 65536 distinct names, no parameter entity references. Ordinary documents, business
// records included, stay well inside; only pathological shapes (dense tiny elements, thousands of
// attributes or declarations) are refused.
bool xmlCostBounded(const char* text, size_t size);

// The document parsed by libxml2 with `options`, read in pieces (no copy of the whole text is
// taken), or null when it is refused by xmlCostBounded or does not parse.
xmlDocPtr readBoundedXml(const char* text, size_t size, const char* encoding, int options);

}  // namespace mv
