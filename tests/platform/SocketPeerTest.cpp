#include "platform/SocketPeer.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace mv {
namespace {

// The accepted end of a loopback connection finds its client's owner, whether the client came
// over IPv4 or through a v4-mapped IPv6 address (then listed in /proc/net/tcp6); a socket that is
// no connection has none.
TEST(LocalPeerUid, loopbackClientOverIpv4OrMappedIpv6_isThisUser) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 2), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    sockaddr_in6 mapped{AF_INET6, address.sin_port, 0, {}, 0};
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
    const std::pair<sockaddr*, socklen_t> clients[] = {
        {reinterpret_cast<sockaddr*>(&address), sizeof address},
        {reinterpret_cast<sockaddr*>(&mapped), sizeof mapped}};
    for (const auto& [to, size] : clients) {
        int client = socket(to->sa_family, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, to, size), 0);
        int accepted = accept(listener, nullptr, nullptr);
        EXPECT_EQ(localPeerUid(accepted), std::optional<uid_t>(geteuid())) << to->sa_family;
        close(accepted);
        close(client);
    }
    EXPECT_EQ(localPeerUid(listener), std::nullopt);
    close(listener);
}

}  // namespace
}  // namespace mv
