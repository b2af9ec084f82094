// The certificate and digest helpers of the PKCS#11 signer, over NSS.
#include "platform/Nss.h"
#include "signers/capi/QuarnelCapi.h"
#include "signers/pkcs11/Pkcs11Module.h"

namespace mv {

namespace {

struct DigestPrefix {
    int code;
    unsigned char prefix[19];
    size_t prefixLength;
    size_t hashLength;
};

// DigestInfo encodings of PKCS #1 (RFC 8017, section 9.2, note 1).
const DigestPrefix DIGEST_PREFIXES[] = {
    {0,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20},
     19,
     32},
    {1,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30},
     19,
     48},
    {2,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
      0x05, 0x00, 0x04, 0x40},
     19,
     64},
    {10,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14},
     15,
     20},
};

}  // namespace

int isCaCertificate(const ByteBuffer& der) {
    auto context = nss::openAnyContext();
    if (!context || der.empty()) {
        return -1;
    }
    SECItem item{siBuffer, const_cast<unsigned char*>(der.data()),
                 static_cast<unsigned>(der.size())};
    nss::UniqueCert cert(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    if (!cert) {
        return -1;
    }
    SECItem value{siBuffer, nullptr, 0};
    if (CERT_FindCertExtension(cert.get(), SEC_OID_X509_BASIC_CONSTRAINTS, &value) != SECSuccess) {
        return 0;
    }
    CERTBasicConstraints constraints{};
    SECStatus decoded = CERT_DecodeBasicConstraintValue(&constraints, &value);
    SECITEM_FreeItem(&value, PR_FALSE);
    // One that does not decode counts as no CA.
    return decoded == SECSuccess && constraints.isCA ? 1 : 0;
}

void makeDigestInfo(ByteBuffer* out, const ByteBuffer& hash, int algCode) {
    for (const DigestPrefix& d : DIGEST_PREFIXES) {
        if (d.code == algCode && hash.size() >= d.hashLength) {
            out->assign(d.prefix, d.prefix + d.prefixLength);
            out->insert(out->end(), hash.begin(), hash.begin() + d.hashLength);
            return;
        }
    }
}

ByteBuffer hashData(const ByteBuffer& data, int algCode) {
    AlgId alg = algCode == 1    ? CALG_SHA_384
                : algCode == 2  ? CALG_SHA_512
                : algCode == 10 ? CALG_SHA1
                                : CALG_SHA_256;
    ByteBuffer digest;
    if (QuarnelCapi::hashData(alg, data.data(), static_cast<int>(data.size()), &digest) != 0) {
        return {};
    }
    return digest;
}

}  // namespace mv
