#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "exchange/QuarnelXml.h"
#include "foundation/Text.h"

// Responses come from servers. The input is a document, or a query, a NUL byte and a document;
// a document alone is asked every query the program itself asks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(data, 0, size);
    mv::QuarnelXml xml;
    if (nul != nullptr) {
        const size_t split = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
        std::u16string query = mv::utf8ToWString(text, split);
        std::u16string doc = mv::utf8ToWString(text + split + 1, size - split - 1);
        (void)xml.xmlGet(doc.c_str(), query.c_str());
        return 0;
    }
    std::u16string doc = mv::utf8ToWString(text, size);
    for (const char16_t* query : {u"/QrnResponse/@result", u"/QrnResponse/hash",
                                  u"/QrnResponse/@redirect", u"/QrnRequest/cert"}) {
        (void)xml.xmlGet(doc.c_str(), query);
    }
    return 0;
}
