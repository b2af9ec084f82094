#pragma once

#include <sys/types.h>

#include <optional>

namespace mv {

// The user who owns the other end of `socket`, a TCP connection accepted on this machine: the
// owner of the peer's socket as the kernel's socket diagnostics give it for that one address pair
// (an IPv6 socket may reach an IPv4 listener through a v4-mapped address). Where the kernel does
// not answer (no netlink), the owner as /proc/net/tcp or /proc/net/tcp6 lists it. None when the
// peer's socket has been closed or is not there (it lives in another network namespace), or
// neither source can be read.
std::optional<uid_t> localPeerUid(int socket);

}  // namespace mv
