#!/usr/bin/python3
"""HTTP(S) server for the exchange tests, on 127.0.0.1 and a free port.

Prints "PORT <n>" on its first line once it listens. Every request that reaches a handler is
appended to the --log file as "<method> <path>" before it is answered, so a test can tell that
none arrived. Paths:
  /echo...         200 with Content-Length; the body is the request line, its headers, a blank
                   line and the request body
  /chunked         200, chunked, "first piece-second piece"
  /close-empty     200 without Content-Length, connection closed without a body
  /zero            200 with Content-Length 0
  /short           200 announcing 100 bytes, sending 10, then closing
  /nocontent       204
  /status/<n>      status <n> with a small body
  /auth            Basic authentication against --user / --password, else 401 with a challenge
  /redirect?to=<u> 302 to <u>
  /loop            302 to itself
  /answer/<hex>    200 with the hex-decoded bytes; the request body is kept in <log>.body
  /hang            no answer for 60 s
"""
import argparse
import base64
import http.server
import ssl
import sys
import threading
import time
import urllib.parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    args = parser.parse_args()
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, format, *a):
            pass

        def record(self):
            with log_lock, open(args.log, "a", encoding="utf-8") as log:
                log.write(f"{self.command} {self.path}\n")

        def read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length > 0 else b""

        def answer(self, status, body, headers=()):
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            if body is not None:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if body:
                self.wfile.write(body)

        def do_GET(self):
            self.handle_any()

        def do_POST(self):
            self.handle_any()

        def handle_any(self):
            self.record()
            body = self.read_body()
            url = urllib.parse.urlsplit(self.path)
            path = url.path
            if path.startswith("/echo"):
                text = f"{self.command} {self.path}\n{self.headers}".encode("latin-1") + body
                self.answer(200, text)
            elif path.startswith("/answer/"):
                with open(args.log + ".body", "wb") as kept:
                    kept.write(body)
                self.answer(200, bytes.fromhex(path[8:]))
            elif path.startswith("/size/") and url.query == "chunked":
                n = int(path[6:])
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                self.wfile.write(b"%x\r\n%s\r\n0\r\n\r\n" % (n, b"a" * n))
            elif path.startswith("/size/"):
                self.answer(200, b"a" * int(path[6:]))
            elif path == "/hang":
                time.sleep(60)
            elif path == "/chunked":
                self.send_response(200)
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                for piece in (b"first piece-", b"second piece"):
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"0\r\n\r\n")
            elif path == "/close-empty":
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
            elif path == "/zero":
                self.answer(200, b"")
            elif path == "/short":
                self.send_response(200)
                self.send_header("Content-Length", "100")
                self.end_headers()
                self.wfile.write(b"0123456789")
                self.wfile.flush()
                self.close_connection = True
            elif path == "/nocontent":
                self.send_response(204)
                self.end_headers()
            elif path.startswith("/status/"):
                self.answer(int(path[8:]), b"refused")
            elif path == "/auth":
                expected = base64.b64encode(f"{args.user}:{args.password}".encode()).decode()
                if self.headers.get("Authorization") == f"Basic {expected}":
                    self.answer(200, f"welcome {args.user}".encode())
                else:
                    self.answer(401, b"who?", [("WWW-Authenticate", 'Basic realm="test"')])
            elif path == "/loop":
                self.answer(302, b"", [("Location", "/loop")])
            elif path == "/redirect":
                target = urllib.parse.parse_qs(url.query)["to"][0]
                self.answer(302, b"", [("Location", target)])
            else:
                self.answer(404, b"unknown")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
