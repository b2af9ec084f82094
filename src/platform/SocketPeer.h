#pragma once

#include <sys/types.h>

#include <optional>

namespace mv {

// The user who owns the other end of `socket`, a TCP connection accepted on this machine: the
// owner of the peer's socket as the kernel lists it in /proc/net/tcp or /proc/net/tcp6 (an IPv6
// socket may reach an IPv4 listener through a v4-mapped address). None when the peer's socket is
// not listed (it has gone, or it lives in another network namespace) or the lists cannot be read.
std::optional<uid_t> localPeerUid(int socket);

}  // namespace mv
