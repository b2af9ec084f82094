#include "platform/SocketPeer.h"

#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/NoNetlink.h"
#include "support/TestSupport.h"

namespace mv {
namespace {

// The owners found for the accepted ends of loopback clients that came over IPv4 and through a
// v4-mapped IPv6 address (then listed in /proc/net/tcp6), and for a socket that is no
// connection: "<uid> <uid> -", with "-" for none.
std::string ownersSeen() {
    auto text = [](std::optional<uid_t> uid) { return uid ? std::to_string(*uid) : "-"; };
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 2) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "no listener";
    }
    sockaddr_in6 mapped{AF_INET6, address.sin_port, 0, {}, 0};
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
    const std::pair<sockaddr*, socklen_t> clients[] = {
        {reinterpret_cast<sockaddr*>(&address), sizeof address},
        {reinterpret_cast<sockaddr*>(&mapped), sizeof mapped}};
    std::string seen;
    for (const auto& [to, size] : clients) {
        int client = socket(to->sa_family, SOCK_STREAM, 0);
        if (connect(client, to, size) != 0) {
            return "no connection";
        }
        int accepted = accept(listener, nullptr, nullptr);
        seen += text(localPeerUid(accepted)) + " ";
        close(accepted);
        close(client);
    }
    seen += text(localPeerUid(listener));
    close(listener);
    return seen;
}

// /proc covered by an empty file system in a mount namespace of the process's own.
bool hideProc() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

// ownersSeen in a child process that first takes away what `restrict` takes; "unavailable" when
// this machine does not let it.
std::string ownersSeenWithout(bool (*restrict)()) {
    return test::inChild([restrict] { return restrict() ? ownersSeen() : "unavailable"; });
}

// The owner is learned from the kernel's answer for the one socket, from the lists where no
// netlink socket can be made, and is unknown when neither source is there.
TEST(LocalPeerUid, loopbackClientOverIpv4OrMappedIpv6_isThisUser) {
    const std::string us = std::to_string(geteuid());
    const std::string found = us + " " + us + " -", none = "- - -";
    EXPECT_EQ(ownersSeen(), found);
    const struct {
        const char* why;
        bool (*restrict)();
        std::string expected;
    } rows[] = {
        {"kernel only", hideProc, found},
        {"lists only", [] { return test::denyNetlink(); }, found},
        {"neither", [] { return hideProc() && test::denyNetlink(); }, none},
    };
    std::string unavailable;
    for (const auto& row : rows) {
        std::string seen = ownersSeenWithout(row.restrict);
        if (seen == "unavailable") {
            unavailable += std::string(" ") + row.why;
            continue;
        }
        EXPECT_EQ(seen, row.expected) << row.why;
    }
    if (!unavailable.empty()) {
        GTEST_SKIP() << "this machine cannot take away a source for:" << unavailable;
    }
}

}  // namespace
}  // namespace mv
