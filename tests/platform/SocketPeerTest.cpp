#include "platform/SocketPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace mv {
namespace {

// The accepted end of a loopback connection finds its client's owner, whether the client came
// over IPv4 or through a v4-mapped IPv6 address (then listed in /proc/net/tcp6); what is no
// connection has no owner.
TEST(LocalPeerUid, loopbackClientOverIpv4OrMappedIpv6_isThisUser) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 2), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = address.sin_port;
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);

    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family);
        int client = socket(family, SOCK_STREAM, 0);
        ASSERT_EQ(family == AF_INET
                      ? connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address)
                      : connect(client, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped),
                  0);
        int accepted = accept(listener, nullptr, nullptr);
        EXPECT_EQ(localPeerUid(accepted), std::optional<uid_t>(geteuid()));
        close(accepted);
        close(client);
    }
    EXPECT_EQ(localPeerUid(listener), std::nullopt);
    close(listener);
}

}  // namespace
}  // namespace mv
