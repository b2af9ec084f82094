#include "signers/capi/CspTable.h"

namespace mv {

const std::array<CspEntry, 6> CspTable = {{
    {1, u"JPKI Crypto Service Provider for Sign", PROV_RSA_AES, 0, -1},
    {2, u"JPKI Crypto Service Provider", PROV_RSA_FULL, 0, -1},
    {3, u"Melco Standard-9 Enhanced Cryptographic Service Provider", PROV_RSA_AES, 0, -1},
    {4, u"NEC Secure Ware AES Cryptographic Provider", PROV_RSA_AES, CRYPT_SILENT, -1},
    {6, u"DNP Standard-9 Cryptographic Service Provider", PROV_RSA_AES, 0, 1},
    {10, u"Microsoft Base Smart Card Crypto Provider", PROV_RSA_FULL, CRYPT_SILENT, -1},
}};

}  // namespace mv
