#pragma once

#include <array>
#include <string>

namespace mv {

// One smart-card provider that the store signer can open by name. On Linux the name is that of a
// PKCS#11 module registered in the user's NSS database; the type is kept for the second attempt
// the providers expect but does not choose anything there.
struct CspEntry {
    int id;                  // shown in the selection dialog
    std::u16string cspName;  // the provider (module) name
    unsigned provType;       // tried first; 24 PROV_RSA_AES, 1 PROV_RSA_FULL
    unsigned acquireFlags;   // 0x40 CRYPT_SILENT: never prompt for a PIN
    int keySpecOverride;     // 1 AT_KEYEXCHANGE, -1 AT_SIGNATURE
};

inline constexpr unsigned PROV_RSA_FULL = 1;
inline constexpr unsigned PROV_RSA_AES = 24;
inline constexpr unsigned CRYPT_SILENT = 0x40;

// The six providers, in the order they are opened.
extern const std::array<CspEntry, 6> CspTable;

}  // namespace mv
