#pragma once

#include <vector>

#include <libxml/tree.h>

#include "foundation/Bytes.h"
#include "xmlsig/Digest.h"

// Inclusive C14N 1.0 without comments, the canonical form of every reference and of SignedInfo.
namespace mv {

// libxml2's canonical form of the whole document (no XPath) or of the node set that the XPath
// expression selects; an expression that contains "::" selects every node, attribute and namespace
// node for which it is true. The length (above 0) with the bytes in `out`, or -133 when the
// expression fails or the form is empty.
int canonicalize(xmlDocPtr document, const char* xpath, ByteBuffer& out);

// The nodes inside (or, with `exclude`, outside) the subtrees of `roots`, with their attributes
// and namespace nodes. Without `exclude` this is the node set that canonicalize selects with
// "ancestor-or-self::*[...]" for the roots; here it never becomes a node set, so the canonical
// form takes one walk over the tree instead of a search of the set for every node.
struct SubtreeFilter {
    std::vector<xmlNodePtr> roots;
    bool exclude = false;
};

// Where canonical bytes go: kept, hashed, or both; `length` counts them.
struct CanonicalSink {
    ByteBuffer* bytes = nullptr;
    Digester* digest = nullptr;
    size_t length = 0;
};

// Canonicalizes the document, or the part that `filter` selects, into `sink`: the same bytes as
// canonicalize gives for that node set. The length (above 0), or -133 when canonicalization
// fails or gives nothing.
int canonicalizeTo(xmlDocPtr document, const SubtreeFilter* filter, CanonicalSink& sink);

}  // namespace mv
