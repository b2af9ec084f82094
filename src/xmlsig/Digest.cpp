#include "xmlsig/Digest.h"

#include <sechash.h>

#include "platform/Nss.h"

namespace mv {

namespace {

HASH_HashType hashType(AlgId alg) {
    switch (alg) {
        case CALG_SHA1:
            return HASH_AlgSHA1;
        case CALG_SHA_256:
            return HASH_AlgSHA256;
        case CALG_SHA_384:
            return HASH_AlgSHA384;
        case CALG_SHA_512:
            return HASH_AlgSHA512;
        default:
            return HASH_AlgNULL;
    }
}

}  // namespace

int hashLength(AlgId alg) {
    switch (alg) {
        case CALG_SHA1:
            return 20;
        case CALG_SHA_256:
            return 32;
        case CALG_SHA_384:
            return 48;
        case CALG_SHA_512:
            return 64;
        default:
            return 0;
    }
}

struct Digester::State {
    std::shared_ptr<nss::Context> context;  // NSS stays up while the hash lives
    HASHContext* hash = nullptr;
    bool failed = false;
};

Digester::Digester(AlgId alg) : state_(std::make_unique<State>()) {
    state_->context = nss::openAnyContext();
    HASH_HashType type = hashType(alg);
    if (state_->context && type != HASH_AlgNULL) {
        state_->hash = HASH_Create(type);
        if (state_->hash != nullptr) {
            HASH_Begin(state_->hash);
        }
    }
}

Digester::~Digester() {
    if (state_->hash != nullptr) {
        HASH_Destroy(state_->hash);
    }
}

void Digester::update(const unsigned char* data, size_t length) {
    // HASH_Update takes an unsigned int length.
    while (state_->hash != nullptr && length > 0) {
        unsigned part = length > (1u << 30) ? (1u << 30) : static_cast<unsigned>(length);
        HASH_Update(state_->hash, data, part);
        data += part;
        length -= part;
    }
}

int Digester::finish(ByteBuffer* out) {
    if (!state_->context) {
        return -1000;
    }
    if (state_->hash == nullptr || out == nullptr) {
        return -16;
    }
    ByteBuffer digest(HASH_ResultLenContext(state_->hash));
    unsigned length = 0;
    HASH_End(state_->hash, digest.data(), &length, static_cast<unsigned>(digest.size()));
    if (length != digest.size()) {
        out->clear();
        return -16;
    }
    *out = std::move(digest);
    return 0;
}

int digestData(AlgId alg, const unsigned char* data, size_t length, ByteBuffer* out) {
    if (data == nullptr && length > 0) {
        return -16;
    }
    Digester digester(alg);
    digester.update(data, length);
    return digester.finish(out);
}

}  // namespace mv
