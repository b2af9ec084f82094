#!/usr/bin/python3
# HTTP(S) server for the tests, on 127.0.0.1 and a free port (HTTPS with --cert and --key).
#
# Prints "PORT <n> <pid> <ftp port>" on its first line once it listens: beside it, an FTP server
# that refuses every client at once, a place to redirect to. Every request that reaches a handler
# is appended to the --log file as "<method> <path>" before it is answered, so a test can tell
# that none arrived, followed by " Authorization: <value>" and " Proxy-Authorization: <value>" when
# the request carried such credentials.
# Paths:
#   /echo...        200; the body is the request line, its headers, a blank line and the body
#   /answer/<hex>   200 with the hex-decoded bytes; the request body is kept in <log>.body
#   /file/<hex>     200 with the bytes of the file whose path is hex-encoded (answers too long
#                   for a path)
#   /raw/<base64>   the decoded bytes as the whole answer, status line and all, then closes:
#                   a server that answers anything the test chooses
#   /size/<n>[/<status>]  200 or <status> (a redirect to /echo for 3xx), chunked (so no length
#                   announces it), <n> bytes
#   /length/<n>[/<status>[/<base64>]]  200 or <status> with a Content-Length of <n> and <n>
#                   bytes; for 3xx the decoded text as the Location (else /echo)
#   /chain/<hops>/<n>  307 to /chain/<hops - 1>/<n> (to /echo from the last hop), chunked, <n>
#                   bytes each: a chain of redirects that each carry a body
#   /trickle/<status>/<seconds>[/<bytes>]  <status>, chunked, one byte (or <bytes>) every 0.1 s
#                   for <seconds>
#   /endless/<status>[/<base64>]  <status>, chunked, 64 KiB pieces without end; for 3xx the
#                   decoded text as the Location (else /echo)
#   /zero           200 with Content-Length 0
#   /auth/<base64>[/endless]  200 if the Basic authentication is the base64 of "user:password",
#                   else 401; with /endless, a 401 to other credentials sends its body without end
#   /stall/<base64>  the decoded bytes, then nothing more while the client stays (at most 60 s)
#   /repeat/<count>/<head>/<piece>/<tail>  the head, the piece <count> times (0: without end) and
#                   the tail, each URL-safe base64, as the whole answer, then closes: answers too
#                   long for a path
#   /hang           no answer for 60 s
#   /late/<seconds>/<hex>  nothing for <seconds>, then 200 with the hex-decoded bytes: a server
#                   that takes its time over a signature it was sent
#
# With --proxy <base64> the server plays an HTTP proxy, as deployed forward proxies do: a request
# for an absolute URL, or a CONNECT, that does not carry the Proxy-Authorization "Basic <base64>" is
# answered 407, asking for Basic, with its body (announcing one that never comes for a /stall/
# path, or when the request carried other credentials, which a client cannot answer again); one
# that carries it is served as if its path had come alone, and a CONNECT to a port of 127.0.0.1
# gets a tunnel there. With --proxy "" it asks for nothing. Each CONNECT is logged as "CONNECT
# <host:port>", with the credentials as above.
import base64
import http.server
import os
import select
import socket
import ssl
import sys
import threading
import time


# A proxy's challenge: Basic, with a body of 5 bytes to come.
ASKED = (b"HTTP/1.1 407 Proxy Authentication Required\r\n"
         b'Proxy-Authenticate: Basic realm="proxy"\r\nContent-Length: 5\r\n\r\n')


def refuse(listener):
    while True:
        client = listener.accept()[0]
        client.sendall(b"421 closed\r\n")
        client.close()


# Carries bytes both ways between a client and the host it tunnels to, until either side ends
# (or nothing moves for 60 s).
def relay(client, upstream):
    with upstream:
        sockets = [client, upstream]
        while True:
            readable = select.select(sockets, [], [], 60)[0]
            if not readable:
                return
            for source in readable:
                try:
                    data = source.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                (upstream if source is client else client).sendall(data)


def main():
    # --log <file> [--cert <pem> --key <key>] [--proxy <base64>]
    args = dict(zip(sys.argv[1::2], sys.argv[2::2]))

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format, *a):
            pass

        # Every answer names Basic authentication, which /auth asks for.
        def answer(self, status, body):
            self.send_response(status)
            self.send_header("WWW-Authenticate", 'Basic realm="test"')
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        # Headers end, then `n` bytes as one chunk and the last chunk.
        def chunked(self, n):
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            try:
                self.wfile.write(b"%x\r\n%s\r\n0\r\n\r\n" % (n, b"a" * n))
            except OSError:  # the client gave up
                self.close_connection = True

        # `head`, then nothing more until the client gives up (at most 60 s).
        def stall(self, head):
            self.wfile.write(head)
            self.wfile.flush()
            select.select([self.connection], [], [], 60)
            self.close_connection = True

        def logged(self):
            with open(args["--log"], "a", encoding="utf-8") as log:  # appends: one write a line
                names = ("Authorization", "Proxy-Authorization")
                extra = "".join(f" {n}: {self.headers[n]}" for n in names if self.headers.get(n))
                log.write(f"{self.command} {self.path}{extra}\n")

        # Whether the proxy lets the request by; if not, it has asked for its credentials.
        def admitted(self, stalls):
            given = self.headers.get("Proxy-Authorization")
            if not args["--proxy"] or given == "Basic " + args["--proxy"]:
                return True
            if stalls or given:
                self.stall(ASKED)
            else:
                self.wfile.write(ASKED + b"proxy")
            return False

        def do_POST(self):
            self.logged()
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            path = self.path
            if "--proxy" in args and "://" in path:
                path = "/" + path.split("/", 3)[3]
                if not self.admitted(path.startswith("/stall/")):
                    return
            if path.startswith("/echo"):
                # The request line as it came, through a proxy too.
                line = f"{self.command} {self.path}\n{self.headers}"
                self.answer(200, line.encode("latin-1") + body)
            elif path.startswith("/answer/"):
                with open(args["--log"] + ".body", "wb") as kept:
                    kept.write(body)
                self.answer(200, bytes.fromhex(path[8:]))
            elif path.startswith("/file/"):
                with open(bytes.fromhex(path[6:]), "rb") as kept:
                    self.answer(200, kept.read())
            elif path.startswith("/raw/"):
                self.wfile.write(base64.b64decode(path[5:]))
                self.close_connection = True
            elif path.startswith("/size/"):
                n, status = (path[6:].split("/") + ["200"])[:2]
                self.send_response(int(status))
                if status.startswith("3"):
                    self.send_header("Location", "/echo")
                self.chunked(int(n))
            elif path.startswith("/length/"):
                n, status, location = (path[8:].split("/", 2) + ["200", ""])[:3]
                self.send_response(int(status))
                if status.startswith("3"):
                    location = base64.b64decode(location).decode() if location else "/echo"
                    self.send_header("Location", location)
                self.send_header("Content-Length", n)
                self.end_headers()
                try:
                    self.wfile.write(b"a" * int(n))
                except OSError:  # the client gave up
                    self.close_connection = True
            elif path.startswith("/chain/"):
                hops, n = path[7:].split("/")
                self.send_response(307)
                after = int(hops) - 1
                self.send_header("Location", f"/chain/{after}/{n}" if after > 0 else "/echo")
                self.chunked(int(n))
            elif path.startswith("/trickle/"):
                status, seconds, n = (path[9:].split("/") + ["1"])[:3]
                self.send_response(int(status))
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                try:
                    for _ in range(int(float(seconds) * 10)):
                        self.wfile.write(b"%x\r\n%s\r\n" % (int(n), b"a" * int(n)))
                        time.sleep(0.1)
                    self.wfile.write(b"0\r\n\r\n")
                except OSError:  # the client gave up
                    self.close_connection = True
            elif path.startswith("/endless/"):
                status, location = (path[9:].split("/", 1) + [""])[:2]
                self.send_response(int(status))
                if status.startswith("3"):
                    location = base64.b64decode(location).decode() if location else "/echo"
                    self.send_header("Location", location)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                piece = b"%x\r\n%s\r\n" % (65536, b"a" * 65536)
                try:
                    while True:
                        self.wfile.write(piece)
                except OSError:  # the client gave up
                    self.close_connection = True
            elif path == "/zero":
                self.answer(200, b"")
            elif path.startswith("/auth/"):
                expected, endless = (path[6:].split("/") + [""])[:2]
                auth = self.headers.get("Authorization")
                if auth and auth != "Basic " + expected and endless:
                    self.send_response(401)
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    try:
                        while True:
                            self.wfile.write(b"10000\r\n%s\r\n" % (b"a" * 65536))
                    except OSError:  # the client gave up
                        self.close_connection = True
                else:
                    self.answer(200 if auth == "Basic " + expected else 401, b"welcome")
            elif path.startswith("/stall/"):
                self.stall(base64.b64decode(path[7:]))
            elif path.startswith("/repeat/"):
                count, head, piece, tail = [
                    base64.urlsafe_b64decode(part) if i else int(part)
                    for i, part in enumerate(path[8:].split("/"))
                ]
                try:
                    self.wfile.write(head)
                    sent = 0
                    while count == 0 or sent < count:
                        self.wfile.write(piece)
                        sent += 1
                    self.wfile.write(tail)
                except OSError:  # the client gave up
                    pass
                self.close_connection = True
            elif path == "/hang":
                time.sleep(60)
            elif path.startswith("/late/"):
                seconds, text = path[6:].split("/")
                time.sleep(float(seconds))
                self.answer(200, bytes.fromhex(text))
            else:
                self.answer(404, b"unknown")

        do_GET = do_POST

        def do_CONNECT(self):
            self.logged()
            host, _, port = self.path.rpartition(":")
            if "--proxy" not in args or host != "127.0.0.1":
                self.send_error(501)
                return
            if not self.admitted(False):
                return
            try:
                upstream = socket.create_connection((host, int(port)), timeout=10)
            except (OSError, ValueError):
                self.send_error(502)
                return
            self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.wfile.flush()
            relay(self.connection, upstream)
            self.close_connection = True

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if "--cert" in args:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args["--cert"], args["--key"])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    ftp = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=refuse, args=(ftp,), daemon=True).start()
    print(f"PORT {server.server_address[1]} {os.getpid()} {ftp.getsockname()[1]}", flush=True)
    server.serve_forever()


main()
