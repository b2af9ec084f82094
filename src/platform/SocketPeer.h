#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace mv {

// The user who owns the other end of `socket`, a TCP connection accepted on this machine: the
// owner of the peer's socket as the kernel's socket diagnostics give it for that one address pair
// (an IPv6 socket may reach an IPv4 listener through a v4-mapped address). Where the kernel does
// not answer (no netlink), the owner as /proc/net/tcp or /proc/net/tcp6 lists it. None when the
// peer's socket has been closed or is not there (it lives in another network namespace), or
// neither source can be read.
std::optional<uid_t> localPeerUid(int socket);

// localPeerUid for one connection after another, asking the kernel through one socket of its
// socket diagnostics kept for the lookup's life: a server that refuses clients as fast as they
// come spends nothing on making and closing that socket for each.
class PeerUidLookup {
public:
    PeerUidLookup();
    ~PeerUidLookup();
    PeerUidLookup(const PeerUidLookup&) = delete;
    PeerUidLookup& operator=(const PeerUidLookup&) = delete;

    std::optional<uid_t> ownerOf(int socket);

private:
    int diag = -1;
    // Each question its own number: an answer that came too late for an earlier question is
    // never taken for the answer to this one.
    uint32_t sequence = 0;
};

}  // namespace mv
