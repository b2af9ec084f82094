#include "platform/SocketPeer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

bool isV4Mapped(const Endpoint& endpoint) {
    static constexpr unsigned char PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(endpoint.address.data(), PREFIX, sizeof PREFIX) == 0;
}

enum class Lookup { Found, NoSuchSocket, NoAnswer };

// Asks the kernel for the one TCP socket whose own end is `local` and whose other end is `remote`,
// as `ss` does: a lookup by the address pair, whatever the number of other sockets, where reading
// the lists costs in proportion to every connection on the machine.
Lookup lookUp(int diag, uint32_t sequence, const Endpoint& local, const Endpoint& remote,
              inet_diag_msg& found) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence;
    inet_diag_req_v2& request = message.request;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0U;
    // An IPv4 connection is looked up as one, also when an end is an IPv6 socket with a v4-mapped
    // address: the kernel keeps both kinds in one table under their IPv4 addresses.
    bool v4 = isV4Mapped(local) && isV4Mapped(remote);
    request.sdiag_family = v4 ? AF_INET : AF_INET6;
    size_t offset = v4 ? 12 : 0;
    std::memcpy(request.id.idiag_src, local.address.data() + offset, 16 - offset);
    std::memcpy(request.id.idiag_dst, remote.address.data() + offset, 16 - offset);
    request.id.idiag_sport = htons(static_cast<uint16_t>(local.port));
    request.id.idiag_dport = htons(static_cast<uint16_t>(remote.port));
    request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
        return Lookup::NoAnswer;
    }
    alignas(nlmsghdr) char reply[8192];
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(diag, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Lookup::NoAnswer;
        }
        if (from.nl_pid != 0) {
            continue;  // only the kernel answers this question
        }
        size_t left = static_cast<size_t>(n);
        for (auto* part = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(part, left);
             part = NLMSG_NEXT(part, left)) {
            if (part->nlmsg_seq != message.header.nlmsg_seq) {
                continue;
            }
            if (part->nlmsg_type == NLMSG_ERROR &&
                part->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(part));
                return error->error == -ENOENT ? Lookup::NoSuchSocket : Lookup::NoAnswer;
            }
            if (part->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                part->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                std::memcpy(&found, NLMSG_DATA(part), sizeof found);
                bool same = found.id.idiag_sport == request.id.idiag_sport &&
                            found.id.idiag_dport == request.id.idiag_dport;
                return same ? Lookup::Found : Lookup::NoAnswer;
            }
            return Lookup::NoAnswer;
        }
    }
}

enum class KernelAnswer { Owner, NoOwner, Silent };

// What the kernel knows of the owner of the socket at `remote` connected to ours at `local`.
// Silent when it does not answer (no netlink in a sandbox, no diagnostics for TCP), so that the
// lists are read instead; NoOwner when it answers that no open socket stands there.
KernelAnswer ownerFromKernel(int diag, uint32_t& sequence, int socket, const Endpoint& local,
                             const Endpoint& remote, uid_t& owner) {
    if (diag < 0) {
        return KernelAnswer::Silent;
    }
    inet_diag_msg found{};
    switch (lookUp(diag, ++sequence, remote, local, found)) {
        case Lookup::Found:
            // Inode 0: the peer has closed its socket already (TIME_WAIT even lists uid 0).
            if (found.idiag_inode == 0 || found.idiag_state == TCP_TIME_WAIT) {
                return KernelAnswer::NoOwner;
            }
            owner = static_cast<uid_t>(found.idiag_uid);
            return KernelAnswer::Owner;
        case Lookup::NoAnswer:
            return KernelAnswer::Silent;
        case Lookup::NoSuchSocket:
            break;
    }
    // Gone, or a kernel that cannot look up TCP sockets at all: it finds our own end if it can. A
    // reset meanwhile leaves our end without a peer.
    sockaddr_storage theirs{};
    socklen_t theirsLength = sizeof theirs;
    if (lookUp(diag, ++sequence, local, remote, found) == Lookup::Found ||
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0) {
        return KernelAnswer::NoOwner;
    }
    return KernelAnswer::Silent;
}

}  // namespace

std::optional<uid_t> localPeerUid(int socket) {
    return PeerUidLookup().ownerOf(socket);
}

PeerUidLookup::PeerUidLookup()
    : diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    // The kernel answers at once; the bound only keeps a silent one from holding up the wait.
    timeval bound{1, 0};
    if (diag >= 0) {
        ::setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
}

PeerUidLookup::~PeerUidLookup() {
    if (diag >= 0) {
        ::close(diag);
    }
}

std::optional<uid_t> PeerUidLookup::ownerOf(int socket) {
    sockaddr_storage ours{}, theirs{};
    socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
    Endpoint here, there;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0 ||
        !endpointOf(ours, here) || !endpointOf(theirs, there)) {
        return std::nullopt;
    }
    uid_t owner = 0;
    switch (ownerFromKernel(diag, sequence, socket, here, there, owner)) {
        case KernelAnswer::Owner:
            return owner;
        case KernelAnswer::NoOwner:
            return std::nullopt;
        case KernelAnswer::Silent:
            break;
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
