#pragma once

#include <vector>

#include <cert.h>

#include "foundation/Bytes.h"
#include "signers/Quarnel.h"
#include "signers/XaddItem.h"
#include "xmlsig/XmlSigner.h"

namespace mv {

// The Ids that every XML signature of the signers carries.
inline constexpr const char* XADES_SIGNATURE_ID = "MVXDS01";
inline constexpr const char* XADES_PROPERTIES_ID = "MVXDS01-xades";
inline constexpr const char* XADES_MAIN_REFERENCE_ID = "MVXDS01-ref-0";

// The hash algorithm of an algorithm code of `sign` and `xades` (0 SHA-256, 1 SHA-384, 2 SHA-512,
// 10 SHA-1); 0 for any other code.
AlgId algIdOfCode(int algCode);

// The steps that both signers' `xades` share once their arguments are checked: the document
// (UTF-16) signed with an enveloped XAdES signature over the element whose Id is `elementId`
// (UTF-8), or over the whole document when it is null, with one reference per additional item
// digested with `alg`. 0 with the UTF-8 output in `out`; -142 an empty text or one that is
// signed already; -141 not well-formed; -144 an item of another kind than 0; -134 an item's
// reference; the builder's and the signer's codes.
int signXmlDocument(const char16_t* document, const char* elementId, AlgId alg,
                    const std::vector<XaddItem>& items, CERTCertificate* certificate,
                    XmlSigner* signer, ByteBuffer& out);

// What both signers' `xades` do once they hold the certificate and a way to sign with its key:
// -14 for an unknown algorithm code, -10 for an Id that converts to nothing, then
// signXmlDocument; each failure is kept in `owner` at "xades". 0 with the signed document in
// `out` when it is given.
int signXadesFor(Quarnel& owner, int algCode, const char16_t* document, const char16_t* elementId,
                 const std::vector<XaddItem>& items, CERTCertificate* certificate,
                 XmlSigner* signer, ByteBuffer* out);

}  // namespace mv
