#pragma once

#include <cstddef>
#include <memory>

#include "foundation/Bytes.h"

namespace mv {

// Hash algorithm identifiers (the CryptoAPI ALG_ID values, which the signers share).
using AlgId = unsigned int;
inline constexpr AlgId CALG_SHA1 = 0x8004;
inline constexpr AlgId CALG_SHA_256 = 0x800c;
inline constexpr AlgId CALG_SHA_384 = 0x800d;
inline constexpr AlgId CALG_SHA_512 = 0x800e;

// Digest size of `alg` in bytes; 0 for an unknown algorithm.
int hashLength(AlgId alg);

// 0 with the digest of the bytes in `out`; -1000 no NSS context; -16 unknown algorithm or a
// failed hash step (`out` is then empty).
int digestData(AlgId alg, const unsigned char* data, size_t length, ByteBuffer* out);

// A digest fed piece by piece, so that a canonical form of any size is hashed as it is written.
class Digester {
public:
    explicit Digester(AlgId alg);
    ~Digester();
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    void update(const unsigned char* data, size_t length);
    // 0 with the digest; -1000 no NSS context; -16 unknown algorithm or a failed step.
    int finish(ByteBuffer* out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace mv
