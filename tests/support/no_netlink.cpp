// no_netlink PROGRAM ARGS...: runs PROGRAM where netlink sockets cannot be made.
#include <unistd.h>

#include <cstdio>

#include "NoNetlink.h"

int main(int argc, char** argv) {
    if (argc < 2 || !mv::test::denyNetlink()) {
        std::fputs("no_netlink: cannot deny netlink here\n", stderr);
        return 125;
    }
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
