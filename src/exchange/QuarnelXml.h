#pragma once

#include <string>

// The request documents that a signer posts to the signing server, and single-value queries on
// the server's responses (and on request documents a page hands back).
namespace mv {

// The current UTC time as "%Y%m%d%H%M%SZ": 15 characters, for example 20210303083015Z.
std::u16string utcTimeText();

class QuarnelXml {
public:
    // Size of the caller's buffer for a serialised request, terminating NUL included.
    static constexpr int REQUEST_BUFFER_SIZE = 40960;

    QuarnelXml() = default;
    virtual ~QuarnelXml() = default;

    // Builds <QrnRequest time=".." type="QRN_CERT" sid=".."><cert>HEX</cert></QrnRequest> in
    // UTF-8 into `buffer` (REQUEST_BUFFER_SIZE bytes), followed by a NUL.
    // Returns the number of bytes written without the NUL, or -1 on any failure, including a
    // document that with its NUL needs more than REQUEST_BUFFER_SIZE bytes (nothing is written
    // then). Null or zero-length data gives an empty <cert/>; a null sid an empty attribute.
    int createCertRequest(const char16_t* sid, const unsigned char* data, int length,
                          unsigned char* buffer);
    // The same with type="QRN_SIGN" and the element <sign>.
    int createSignRequest(const char16_t* sid, const unsigned char* data, int length,
                          unsigned char* buffer);

    // The text of the first node that the XPath `query` selects in the document `xml`: an
    // attribute's value, or the character content of an element and its descendants (text nodes
    // of white space only are dropped). Empty on any failure: null or empty input, a document
    // that is not well-formed, refers to an entity beyond the predefined ones or has a shape
    // that libxml2 parses in more than linear time (XmlCost.h), a query that selects nothing.
    // Entities are never expanded and nothing is fetched from the network.
    std::u16string xmlGet(const char16_t* xml, const char16_t* query);
};

}  // namespace mv
