#include "platform/SocketPeer.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace mv {
namespace {

// An address and port, IPv4 ones in their v4-mapped IPv6 form, so that both lists compare alike.
struct Endpoint {
    std::array<unsigned char, 16> address{};
    unsigned port = 0;
    bool operator==(const Endpoint&) const = default;
};

bool endpointOf(const sockaddr_storage& storage, Endpoint& out) {
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        out.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(out.address.data() + 12, &in.sin_addr, 4);
        out.port = ntohs(in.sin_port);
        return true;
    }
    if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        std::memcpy(out.address.data(), &in6.sin6_addr, 16);
        out.port = ntohs(in6.sin6_port);
        return true;
    }
    return false;
}

// "<address>:<port>" as the kernel prints it: the address as 32-bit words in this machine's byte
// order (one word for IPv4, four for IPv6), the port as a number, all in hexadecimal.
bool parseEndpoint(const std::string& text, Endpoint& out) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || (colon != 8 && colon != 32)) {
        return false;
    }
    unsigned char bytes[16];
    for (size_t word = 0; word < colon / 8; ++word) {
        uint32_t value = static_cast<uint32_t>(std::stoul(text.substr(word * 8, 8), nullptr, 16));
        std::memcpy(bytes + word * 4, &value, 4);
    }
    if (colon == 8) {
        out.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(out.address.data() + 12, bytes, 4);
    } else {
        std::memcpy(out.address.data(), bytes, 16);
    }
    out.port = static_cast<unsigned>(std::stoul(text.substr(colon + 1), nullptr, 16));
    return true;
}

// The owner of the listed socket whose own end is `local` and whose other end is `remote`.
std::optional<uid_t> ownerInList(const char* list, const Endpoint& local, const Endpoint& remote) {
    std::ifstream in(list);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, localText, remoteText, state, queues, timer, retransmits;
        unsigned long uid = 0, timeout = 0, inode = 0;
        if (!(fields >> slot >> localText >> remoteText >> state >> queues >> timer >>
              retransmits >> uid >> timeout >> inode)) {
            continue;
        }
        Endpoint lineLocal, lineRemote;
        try {
            if (!parseEndpoint(localText, lineLocal) || !parseEndpoint(remoteText, lineRemote)) {
                continue;
            }
        } catch (const std::exception&) {
            continue;
        }
        // Inode 0: no open socket stands behind the entry (TIME_WAIT lists uid 0 for it).
        if (inode != 0 && lineLocal == local && lineRemote == remote) {
            return static_cast<uid_t>(uid);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<uid_t> localPeerUid(int socket) {
    sockaddr_storage ours{}, theirs{};
    socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
    Endpoint here, there;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0 ||
        !endpointOf(ours, here) || !endpointOf(theirs, there)) {
        return std::nullopt;
    }
    // The peer's socket is listed with the ends the other way round. The lists are read in pieces
    // while connections come and go, which can pass over an entry: a second reading takes care.
    for (int reading = 0; reading < 2; ++reading) {
        for (const char* list : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            if (std::optional<uid_t> uid = ownerInList(list, there, here)) {
                return uid;
            }
        }
    }
    return std::nullopt;
}

}  // namespace mv
