#pragma once

#include <string>
#include <vector>

#include "foundation/Bytes.h"

namespace mv {

// One piece of additional signed data: every later XML signature of the signer references it.
struct XaddItem {
    int kind = 0;      // stored unchanged; the XML signing accepts only 0
    std::string name;  // UTF-8 reference Id; may be empty, unique among the non-empty names
    std::string uri;   // UTF-8 reference URI; unique in the list (two empty URIs are equal)
    ByteBuffer data;   // never empty
};

// Appends one item. 0; -10 for a null URI or empty data; -112 for a duplicate name or URI (names
// are compared before the data is looked at).
int addXaddItem(std::vector<XaddItem>& list, int kind, const char16_t* name, const char16_t* uri,
                const ByteBuffer* data);

}  // namespace mv
