#!/usr/bin/python3
"""Another local user's load on a listening port, for the tests.

usage: loopback_flood.py PORT HELD THREADS

Holds HELD loopback connections of its own (each lists two sockets in the kernel's tables) and
prints "held", then connects to 127.0.0.1:PORT and closes at once from THREADS threads, until
that port refuses connections after having taken some (its program has ended) or 60 s passed.
Prints "ready" once the port has taken a first connection.
"""
import resource
import socket
import sys
import threading
import time

# Every socket of the flood has its own end on 127.0.0.2, so that its ports never collide with
# those that other tests bind on 127.0.0.1. The port is chosen at connect, by the connection.
OURS = "127.0.0.2"
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)


def client():
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind((OURS, 0))
    return s


def main():
    port, held, threads = (int(a) for a in sys.argv[1:4])
    # The caller has seen that the hard limit allows this many descriptors.
    need = 2 * held + threads + 64
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (need, hard))
    server = socket.socket()
    server.bind((OURS, 0))
    server.listen(1024)
    kept = []
    for _ in range(held):
        c = client()
        c.connect(server.getsockname())
        kept += [c, server.accept()[0]]
    print("held", flush=True)

    end = time.monotonic() + 60
    taken = threading.Event()

    def hammer():
        while time.monotonic() < end:
            s = client()
            # A full queue drops the connection's first packets: try again rather than wait.
            s.settimeout(0.02)
            try:
                s.connect(("127.0.0.1", port))
                taken.set()
            except ConnectionRefusedError:
                if taken.is_set():
                    return
                time.sleep(0.01)
            except OSError:
                pass
            finally:
                s.close()

    workers = [threading.Thread(target=hammer) for _ in range(threads)]
    for w in workers:
        w.start()
    taken.wait(10)
    print("ready", flush=True)
    for w in workers:
        w.join()


if __name__ == "__main__":
    main()
