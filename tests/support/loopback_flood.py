#!/usr/bin/python3
"""Another local user's load on a listening port, for the tests.

usage: loopback_flood.py PORT HELD WORKERS [threads|processes]

Holds HELD loopback connections of its own (each lists two sockets in the kernel's tables) and
prints "held", then connects to 127.0.0.1:PORT and closes at once, until that port refuses
connections after having taken some (its program has ended), 60 s passed or each worker made
MAX_CONNECTS attempts. Prints "ready" once the port has taken a first connection.

  threads     WORKERS threads of one process, each connect waiting up to 20 ms (the default)
  processes   WORKERS processes, each starting a non-blocking connect and closing it at once, as
              fast as it can: the listening socket's queue fills faster than a slow server empties
              it, and a connection that finds it full is dropped
"""
import errno
import os
import resource
import select
import socket
import sys
import threading
import time

# Every socket of the flood has its own end on 127.0.0.2 (or above), so that its ports never
# collide with those that other tests bind on 127.0.0.1. The port is chosen at connect, by the
# connection.
OURS = "127.0.0.2"
IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)
SECONDS = 60
MAX_CONNECTS = 5_000_000
CHECK_EVERY = 64


def client(address=OURS):
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind((address, 0))
    return s


def hammer_threads(port, threads, end):
    taken = threading.Event()

    def hammer():
        for _ in range(MAX_CONNECTS):
            if time.monotonic() >= end:
                return
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


def hammer_process(port, address, end, told):
    """One process's loop: a non-blocking connect, closed at once. Over loopback the handshake
    is done (or refused, or dropped at a full queue) within the connect call itself, so the
    socket already tells which without any wait; the loop looks only every CHECK_EVERY
    attempts, and at the first connection taken. Each process has an address of its own: the
    client closes first, so each port it used waits in TIME_WAIT, and one address's ports would
    bound the rate of both."""
    target = ("127.0.0.1", port)
    taken = False
    for count in range(MAX_CONNECTS):
        check = count % CHECK_EVERY == 0
        if check and time.monotonic() >= end:
            return
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM | socket.SOCK_NONBLOCK)
        try:
            s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
            s.bind((address, 0))
        except OSError:  # out of ports for a moment: their TIME_WAIT ends soon
            s.close()
            time.sleep(0.001)
            continue
        s.connect_ex(target)
        if check or not taken:
            refused = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == errno.ECONNREFUSED
            if refused and taken:
                s.close()
                return
            if not taken:
                try:
                    s.getpeername()
                    taken = True
                    os.write(told, b"t")
                except OSError:
                    if refused:
                        time.sleep(0.01)
        s.close()


def hammer_processes(port, processes, end):
    read_end, write_end = os.pipe()
    children = []
    for i in range(processes):
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                hammer_process(port, f"127.0.0.{2 + i}", end, write_end)
            finally:
                os._exit(0)
        children.append(pid)
    os.close(write_end)
    select.select([read_end], [], [], 10)
    print("ready", flush=True)
    for pid in children:
        os.waitpid(pid, 0)


def main():
    port, held, workers = (int(a) for a in sys.argv[1:4])
    kind = sys.argv[4] if len(sys.argv) > 4 else "threads"
    # The caller has seen that the hard limit allows this many descriptors.
    need = 2 * held + workers + 64
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

    end = time.monotonic() + SECONDS
    if kind == "processes":
        hammer_processes(port, workers, end)
    else:
        hammer_threads(port, workers, end)


if __name__ == "__main__":
    main()
