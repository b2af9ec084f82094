#!/usr/bin/python3
"""A signing page in headless Chromium drives the agent through a whole signing session.

usage: browser_test.py QUARNELCMD

Chromium does not start URL-scheme handlers from a headless page (a navigation to a
"quarnel01:" link is dropped), so the test starts the agent itself, with the command line that
the desktop's opener gives the registered handler; url_road_test.py covers that road. The page
posts what it recorded back to this test's HTTP server: a page that is only dumped
(--dump-dom with a virtual time budget) is closed before the agent's replies arrive."""
import hashlib
import http.server
import json
import os
import subprocess
import sys
import threading

from e2e import HERE, Home, check, check_eq, exit_code, free_port


class PageServer(http.server.ThreadingHTTPServer):
    """Serves the signing page and takes the record it posts."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), PageHandler)
        self.record = None
        self.posted = threading.Event()


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(HERE, "signing-page.html"), "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = min(int(self.headers.get("Content-Length", "0")), 1 << 20)
        self.server.record = json.loads(self.rfile.read(length))
        self.send_response(204)
        self.end_headers()
        self.server.posted.set()

    def log_message(self, *args):
        pass


def chromium(home, url):
    return home.start(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update",
                       "--disable-sync", "--user-data-dir=" + home.path("chromium"), url],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    program = sys.argv[1]
    with Home() as home:
        certs = home.make_store("ee")
        server = PageServer()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        port = free_port()
        # Flag 0x4: certificates and signatures come back as hexadecimal text.
        agent = home.launch(program, port, flags=4, sid="page-session-1")
        chromium(home, f"http://127.0.0.1:{server.server_port}/signing-page.html#{port}")
        check(server.posted.wait(60), "the page posted no record within 60 s")
        server.shutdown()
        record = server.record
        print(json.dumps(record, ensure_ascii=False, indent=1))
        check_eq(exit_code(agent), 0, "the agent's exit code after term")
        steps = {s["command"]: s for s in record if "command" in s}

        check_eq(steps["vers"]["reply"], "0,djEuMS5SMQ==", "vers")
        check_eq(steps["stat"]["reply"], "1,", "stat: one key in the store")
        with open(certs + "/ee.der", "rb") as f:
            der = f.read()
        check_eq(steps["cert"]["text"], der.hex().upper(), "cert: the store's certificate")
        with open(os.path.join(HERE, "..", "signers", "data", "ee.json"), encoding="utf-8") as f:
            check_eq(steps["info"]["text"], f.read(), "info: its description")
        check_eq(steps["info"]["code"], 0, "info: an ordinary certificate")
        digest = hashlib.sha256("注文書 no. 42: 3 boxes".encode()).hexdigest().upper()
        check_eq(next(s["hash"] for s in record if "hash" in s), digest, "the page's hash")
        check_eq(home.verify_rsa(certs + "/ee.pub", digest, steps["sign"]["text"]), 0,
                 "OpenSSL on the signature value over the page's hash")
        check_eq(steps["xadd"]["reply"], "0,", "xadd")
        # xmlsec1 checks the XML signature, the attachment's reference included.
        with open(home.path("signed.xml"), "w", encoding="utf-8") as f:
            f.write(steps["xdes"]["text"])
        with open(home.path("attachment.txt"), "w", encoding="utf-8") as f:
            f.write("添付ファイル\n")
        verify = home.run(["xmlsec1", "--verify", "--enabled-key-data", "x509",
                           "--trusted-pem", certs + "/ca.pem", "--id-attr:Id", "order",
                           "--url-map:attachment.txt", home.path("attachment.txt"),
                           home.path("signed.xml")])
        check_eq(verify.returncode, 0, "xmlsec1 on the signed document: " + verify.stderr)
        check(record[-1].get("closed") is not None, "term closes the connection")
        check_eq(home.log_lines()[:3], ["cmd-start / cmd execute start.",
                                        "ws-open / WebScoket connection ok.",
                                        "api-init / sign api init ok."], "the log's first lines")
    print("browser test passed")


if __name__ == "__main__":
    main()
