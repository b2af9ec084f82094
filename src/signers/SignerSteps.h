#pragma once

#include <functional>
#include <string>
#include <vector>

#include "exchange/QuarnelXml.h"
#include "signers/Quarnel.h"
#include "signers/XaddItem.h"

// Steps that both signers take the same way, through the signer interface.
namespace mv {

using RequestBuilder = int (QuarnelXml::*)(const char16_t* sid, const unsigned char* data,
                                           int length, unsigned char* out);

// The certificate or signature in the form `init` chose: upper-case hexadecimal (flag 0x4 of
// initFlags) or inside a request document for the signing server (-21 at `place` when it cannot
// be built). 0 with `out` filled.
int writeSignerOutput(Quarnel& signer, const ByteBuffer& bytes, RequestBuilder build,
                      const char16_t* place, ByteBuffer* out);

// The `info` slot: the certificate described by getCertInfo in `format`; -13 "info" when there
// is no certificate or output, or the certificate cannot be described.
int describeCertificate(Quarnel& signer, const ByteBuffer* certificate, int format,
                        ByteBuffer* out);

// The `xadd` slot: -10 "xadd" for a missing name, for neither URI nor data, or for data that is
// empty or decodes to nothing; -111 "xadd" when the list refuses the item; else 0.
int addXaddFromBase64(Quarnel& signer, std::vector<XaddItem>& list, int kind, const char16_t* name,
                      const char16_t* uri, const char16_t* dataBase64);

// The complete server exchange of `httpExec`: init (flags less 0x4 and 0x8), `afterInit` (when
// given; a non-zero result ends the chain), httpSet, cert, upload, sign of the answer's hash,
// upload and the answer's redirect. Flag 0x1000 announces each step in a message box; with
// `traceInitTexts` the init box also shows the options, and a box after init its errText.
int runHttpExec(Quarnel& signer, int flags, const char16_t* options, const char16_t* url,
                const char16_t* sid, const char16_t* option3, const char16_t* headers, int absolute,
                int certFlags, const char16_t* certArg, const char16_t* certUrlOrPath,
                int signFlags, const char16_t* certHex, const char16_t* signUrlOrPath, int algCode,
                const char16_t* pin, std::u16string* redirect,
                const std::function<int()>& afterInit = nullptr, bool traceInitTexts = false);

// The `xmlGet` slot: the text of the node that `xpath` selects in `xml`; an empty text also keeps
// -21 "xmlGet" in `signer`.
std::u16string queryXml(Quarnel& signer, const char16_t* xml, const char16_t* xpath);

}  // namespace mv
