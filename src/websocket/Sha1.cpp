#include <nss.h>
#include <pk11pub.h>

#include "websocket/WsServer.h"

namespace mv {

namespace {

// A context of our own, once per process and never shut down: the signer opens NSS with the
// user's database at the same time, and contexts coexist where a plain NSS_Init would not. No
// database, no modules, no roots: hashing needs none of them.
NSSInitContext* hashContext() {
    static NSSInitContext* context =
        NSS_InitContext("", "", "", "", nullptr,
                        NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB |
                            NSS_INIT_FORCEOPEN | NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE);
    return context;
}

}  // namespace

int WsServer::calcSha1(const unsigned char* data, size_t length, ByteBuffer& digest) {
    digest.clear();
    if (hashContext() == nullptr) {
        return -100;
    }
    unsigned char value[20];
    if (length > static_cast<size_t>(INT32_MAX) ||
        PK11_HashBuf(SEC_OID_SHA1, value, data, static_cast<PRInt32>(length)) != SECSuccess) {
        return -102;
    }
    digest.assign(value, value + sizeof value);
    return 0;
}

}  // namespace mv
