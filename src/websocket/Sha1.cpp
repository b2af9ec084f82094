#include <pk11pub.h>

#include "platform/Nss.h"
#include "websocket/WsServer.h"

namespace mv {

int WsServer::calcSha1(const unsigned char* data, size_t length, ByteBuffer& digest) {
    digest.clear();
    // The process's one NSS owner: the handshake may come before the signer, and must not leave
    // NSS opened without the user's database behind it.
    auto context = nss::openAnyContext();
    if (!context) {
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
