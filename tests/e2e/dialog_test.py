#!/usr/bin/python3
"""The agent's dialogs as a user meets them, under a real X server (ctest runs this inside
xvfb-run) and driven with xdotool: the abort of the progress window, the store's certificate
choice and the PKCS#11 signer's PIN entry, each reached through the launch and the page's
commands. A screenshot of every dialog is
kept in SCREENSHOT_DIR.

usage: dialog_test.py QUARNELCMD SCREENSHOT_DIR [CASE...]   (all cases when none is named)"""
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

from e2e import SUPPORT, Home, b64, check, check_eq, exit_code, free_port

PROGRESS = "署名コマンド"
CANCELLED = "1," + b64("実行キャンセル(1)")


def windows(title):
    return xdotool("search", "--onlyvisible", "--name", f"^{title}$").split()


def window(title, besides=()):
    """A visible window of that title other than those in `besides`, waiting up to 10 s."""
    for _ in range(100):
        found = [w for w in windows(title) if w not in besides]
        if found:
            return found[0]
        time.sleep(0.1)
    raise AssertionError(f'no window "{title}" appeared')


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10).stdout


def xprop(win, prop):
    return subprocess.run(["xprop", "-id", win, prop], capture_output=True, text=True,
                          timeout=10).stdout


def above(win):
    return "_NET_WM_STATE_ABOVE" in xprop(win, "_NET_WM_STATE")


def size(win):
    shell = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", win).split())
    return int(shell["WIDTH"]), int(shell["HEIGHT"])


def keys(win, *sequence):
    subprocess.run(["xdotool", "windowactivate", "--sync", win], capture_output=True, timeout=10)
    subprocess.run(["xdotool", "windowfocus", "--sync", win, "key", "--delay", "100", *sequence],
                   capture_output=True, timeout=30)


def screenshot(name):
    os.makedirs(SHOTS, exist_ok=True)
    subprocess.run(["import", "-window", "root", f"{SHOTS}/{name}.png"], timeout=30, check=True)


class Page:
    """ws_client.py on a plan, its reply lines read as they come."""

    def __init__(self, home, port, plan):
        fd, path = tempfile.mkstemp(suffix=".json", dir=home.dir)
        with os.fdopen(fd, "w") as f:
            json.dump(plan, f)
        self.process = home.start(["/usr/bin/python3", f"{SUPPORT}/ws_client.py", str(port), path],
                                  stdout=subprocess.PIPE, text=True)

    def reply(self):
        line = self.process.stdout.readline()  # bounded: each "recv" of the plan times out
        return json.loads(line) if line else {}


def progress_abort(program):
    """No page connects. The topmost progress window has no title bar; its "中断" asks first:
    Cancel keeps the run going, a later Escape asks again, and OK ends the run with exit 1."""
    with Home(display=True) as home:
        home.make_store("ee")
        agent = home.launch(program, free_port(), flags=4, timeout=60)
        progress = window(PROGRESS)
        screenshot("progress-waiting-for-the-page")
        check(above(progress), "the progress window is topmost")
        # Motif hints with the decorations flag set and no decoration: no title bar.
        check("= 0x2, 0x0, 0x0" in xprop(progress, "_MOTIF_WM_HINTS"), "no title bar")
        # "中断" sits in the middle of the window's lower part.
        width, height = size(progress)
        xdotool("mousemove", "--window", progress, str(width // 2), str(height - 24), "click", "1")
        keys(window(PROGRESS, besides=[progress]), "Escape")
        time.sleep(0.5)
        check(agent.poll() is None and windows(PROGRESS) == [progress], "a cancelled abort")
        keys(progress, "Escape")
        confirm = window(PROGRESS, besides=[progress])
        check(above(confirm), "the confirmation is topmost")
        screenshot("progress-abort-confirmation")
        keys(confirm, "Return")
        check_eq(exit_code(agent), 1, "exit code after a confirmed abort")
        check_eq(home.log_lines(), ["cmd-start / cmd execute start."], "log of an aborted run")


def store_choice(program):
    """Two certificates in the store: each "cert" asks; the first line, then the second line
    give the two store certificates. The third dialog grows wider but never taller, its view
    button opens the certificate view and keeps it, and Escape answers with the cancel reply."""
    with Home(display=True) as home:
        certs = home.make_store("ee", "ee2")
        port = free_port()
        agent = home.launch(program, port, flags=4)
        ask = [{"op": "send", "text": "cert,0," + b64("")}, {"op": "recv", "timeout": 30, "full": True}]
        page = Page(home, port, ask * 3 + [{"op": "send", "text": "term"},
                                           {"op": "recv", "timeout": 10}])
        chosen = []
        for sequence in (["Return"], ["Down", "Return"], ["Escape"]):
            dialog = window("証明書の選択")
            if sequence == ["Escape"]:
                screenshot("store-choice")
                width, height = size(dialog)
                xdotool("windowsize", "--sync", dialog, str(width + 200), str(height + 200))
                time.sleep(0.3)
                check_eq(size(dialog), (width + 200, height), "the resized choice")
                keys(dialog, "Tab", "space")  # from the list to "詳細表示..."
                view = window("証明書")
                screenshot("certificate-view")
                keys(view, "Escape")
                time.sleep(0.5)
                check(windows("証明書の選択") == [dialog], "the choice stays after the view")
            keys(dialog, *sequence)
            chosen.append(page.reply().get("recv", ""))
        der = {}
        for name in ("ee", "ee2"):
            with open(f"{certs}/{name}.der", "rb") as f:
                der[name] = "0," + b64(f.read().hex().upper())
        check_eq(sorted(chosen[:2]), sorted(der.values()), "the first, then the second line")
        check_eq(chosen[2], CANCELLED, "Escape in the choice")
        check_eq(exit_code(agent), 0, "exit code after term")
        check("cert / error(1) 実行キャンセル(1)" in home.log_lines(), "the cancel is logged")


def pkcs11_pin(program):
    """The PKCS#11 signer (launch flag 0x1) on a SoftHSM2 token: "cert" takes its one
    certificate, "sign" without a PIN asks for it in CCertPinDlg, which refuses an empty field, and
    the PIN typed there signs
    (OpenSSL checks the value). This signer reports a cancelled PIN entry as a failure: -11."""
    with Home(display=True) as home:
        certs = home.make_store()
        library = home.make_token(certs, "ee2")
        port = free_port()
        agent = home.launch(program, port, flags=0x1 | 0x4, options=library)
        digest = hashlib.sha256("注文書".encode()).hexdigest().upper()
        sign = [{"op": "send", "text": f"sign,0,{b64(digest)},0,{b64('')}"},
                {"op": "recv", "timeout": 30, "full": True}]
        page = Page(home, port, [{"op": "send", "text": "cert,0," + b64("")},
                                 {"op": "recv", "timeout": 30, "full": True}] + sign * 2 +
                    [{"op": "send", "text": "term"}, {"op": "recv", "timeout": 10}])
        with open(f"{certs}/ee2.der", "rb") as f:
            check_eq(page.reply(), {"recv": "0," + b64(f.read().hex().upper())}, "cert")
        dialog = window("PIN入力")
        screenshot("pkcs11-pin")
        keys(dialog, "Return")  # OK on an empty field is refused: the dialog stays
        time.sleep(0.5)
        keys(dialog, "1", "2", "3", "4", "Return")
        signature = page.reply().get("recv", "")
        check(signature.startswith("0,"), "sign with the typed PIN: " + signature)
        signature = base64.b64decode(signature[2:]).decode()
        check_eq(home.verify_rsa(f"{certs}/ee2.pub", digest, signature), 0, "the token's signature")
        keys(window("PIN入力", besides=[dialog]), "Escape")
        check_eq(page.reply(), {"recv": "-11," + b64("証明書が見つからない(-11)")},
                 "Escape in the PIN dialog")
        check_eq(exit_code(agent), 0, "exit code after term")


if __name__ == "__main__":
    SHOTS = sys.argv[2]
    check(os.environ.get("DISPLAY"), "run through xvfb-run (see CMakeLists.txt)")
    for case in (progress_abort, store_choice, pkcs11_pin):
        if len(sys.argv) < 4 or case.__name__ in sys.argv[3:]:
            print(case.__name__, flush=True)
            case(sys.argv[1])
    print("dialog tests passed")
