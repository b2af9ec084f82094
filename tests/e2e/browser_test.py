#!/usr/bin/python3
# A signing page's whole road on a desktop: the user registers the agent, the desktop's opener
# starts the registered program for the page's "quarnel01:" link, and the page, in headless
# Chromium, drives a signing session with it.
#
# usage: browser_test.py QUARNELCMD
#
# Chromium does not start URL-scheme handlers from a headless page (a navigation to a
# "quarnel01:" link is dropped), so the test opens the link with `gio open`, what GTK desktops
# and Firefox use. Debian's xdg-open, without a desktop environment, takes "quarnel01:..." for a
# file path (its URL test wants a scheme of letters only), so it cannot stand in here. The page
# posts what it recorded back to this test's HTTP server: a page that is only dumped (--dump-dom
# with a virtual time budget) is closed before the agent's replies arrive.
import functools
import http.server
import json
import queue
import subprocess
import sys
import threading

from e2e import HERE, Home, b64, der_hex, free_port, until

records = queue.Queue()


# Serves the signing page (from this directory) and takes the record it posts.
class PageHandler(http.server.SimpleHTTPRequestHandler):
    def do_POST(self):
        length = min(int(self.headers.get("Content-Length", "0")), 1 << 20)
        records.put(json.loads(self.rfile.read(length)))
        self.send_response(204)
        self.end_headers()


def main():
    program = sys.argv[1]
    with Home() as home:
        certs = home.make_store("ee")
        r = home.run([program, "regist"])
        assert (r.returncode, r.stderr) == (0, "署名コマンド: レジストリ登録しました。\n"), r
        page = functools.partial(PageHandler, directory=HERE)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), page)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        port = free_port()
        # Flag 0x4: certificates and signatures come back as hexadecimal text. gio does not wait
        # for the handler, which inherits its output: no pipe there, or it stays open.
        link = f"quarnel01:S,{port},30,4,,,{b64('page-session-1')}"
        assert home.start(["gio", "open", link], stdout=subprocess.DEVNULL).wait(15) == 0
        home.start(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    f"http://127.0.0.1:{server.server_port}/signing-page.html#{port}"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        record = records.get(timeout=60)
        steps = {s["command"]: s for s in record if "command" in s}
        assert steps["vers"]["reply"] == "0,djEuMS5SMQ==", "vers"
        assert steps["stat"]["reply"] == "1,", "stat: one key in the store"
        assert steps["cert"]["text"] == der_hex(certs, "ee"), "cert: the store's certificate"
        info = (HERE.parent / "signers" / "data" / "ee.json").read_text(encoding="utf-8")
        assert (steps["info"]["code"], steps["info"]["text"]) == (0, info), "info"
        # What the signatures are, the demo and the signer tests check; here that they came
        # whole through Chromium: an RSA-2048 signature value and the signed document.
        assert (steps["sign"]["code"], len(steps["sign"]["text"])) == (0, 512), "sign"
        assert steps["xadd"]["reply"] == "0,", "xadd"
        xdes = steps["xdes"]
        assert xdes["code"] == 0 and xdes["text"].endswith("</Signature></orders>\n"), "xdes"
        assert record[-1].get("closed") is not None, "term closes the connection"
        until("end of the run in the log",
              lambda: "cmd-end / cmd execute end." in home.log_lines())
    print("browser test passed")


if __name__ == "__main__":
    main()
