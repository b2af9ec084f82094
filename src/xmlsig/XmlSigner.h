#pragma once

#include "foundation/Bytes.h"
#include "xmlsig/Digest.h"

namespace mv {

// What the XML signature builder needs of a signer: the signing certificate and a raw RSA
// PKCS#1 v1.5 signature of a digest. The store signer implements it over its key entry, the
// PKCS#11 signer over its engine (with the certificate and PIN of the call).
class XmlSigner {
public:
    virtual ~XmlSigner() = default;
    // The signing certificate's DER; empty when there is none.
    virtual ByteBuffer certificateDer() = 0;
    // Signs `digest` (made with `alg`) into `value` (big-endian, as long as the modulus).
    // 0; a negative code of the signer; 1 when the user cancelled (then `value` stays empty).
    virtual int signDigest(AlgId alg, const ByteBuffer& digest, ByteBuffer* value) = 0;
};

}  // namespace mv
