#!/usr/bin/python3
# The agent's dialogs as a user meets them, under a real X server (ctest runs this inside
# xvfb-run) and driven with xdotool: the abort of the progress window, the store's certificate
# choice and the PKCS#11 signer's PIN entry, each reached through the launch and the page's
# commands. Every step waits for the state it needs (a window shown, gone or resized), never for
# a fixed time.
#
# usage: dialog_test.py QUARNELCMD
import json
import subprocess
import sys
import time

from e2e import SUPPORT, Home, b64, der_hex, until

PROGRESS = "署名コマンド"


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=30).stdout


def windows(title):
    return run("xdotool", "search", "--onlyvisible", "--name", f"^{title}$").split()


# A visible window of that title other than those in `besides`.
def window(title, besides=()):
    return until(f'window "{title}"', lambda: [w for w in windows(title) if w not in besides])[0]


def size(win):
    shell = run("xdotool", "getwindowgeometry", "--shell", win)
    values = dict(line.split("=") for line in shell.split())
    return int(values["WIDTH"]), int(values["HEIGHT"])


def keys(win, *sequence):
    run("xdotool", "windowactivate", "--sync", win)
    run("xdotool", "windowfocus", "--sync", win, "key", "--delay", "100", *sequence)


# ws_client.py sending each command, then "term"; returns a function that gives the next reply.
def page(home, port, *commands):
    plan = home.dir / "plan.json"
    plan.write_text(json.dumps([step for command in commands + ("term",) for step in (
        {"op": "send", "text": command}, {"op": "recv", "timeout": 30, "full": True})]))
    client = home.start(["/usr/bin/python3", SUPPORT / "ws_client.py", str(port), plan],
                        stdout=subprocess.PIPE, text=True)
    # Bounded: each "recv" of the plan times out.
    return lambda: json.loads(client.stdout.readline() or "{}").get("recv")


# No page connects. The topmost progress window has no title bar; its "中断" asks first: Cancel
# keeps the run going, a later Escape asks again, and OK ends the run with exit 1.
def progress_abort(program):
    with Home(display=True) as home:
        agent, _ = home.launch(program, flags=4, timeout=60)
        progress = window(PROGRESS)
        assert "_ABOVE" in run("xprop", "-id", progress, "_NET_WM_STATE"), "topmost progress"
        # Motif hints with the decorations flag set and no decoration: no title bar.
        assert "= 0x2, 0x0, 0x0" in run("xprop", "-id", progress, "_MOTIF_WM_HINTS")
        # "中断" sits in the middle of the window's lower part.
        width, height = size(progress)
        run("xdotool", "mousemove", "--window", progress, str(width // 2), str(height - 24),
            "click", "1")
        keys(window(PROGRESS, besides=[progress]), "Escape")
        until("cancelled confirmation", lambda: windows(PROGRESS) == [progress])
        # A run that the Cancel ended has no progress window to ask again.
        keys(progress, "Escape")
        confirm = window(PROGRESS, besides=[progress])
        assert "_ABOVE" in run("xprop", "-id", confirm, "_NET_WM_STATE"), "topmost confirmation"
        keys(confirm, "Return")
        assert agent.wait(15) == 1, "exit code after a confirmed abort"
        assert home.log_lines() == ["cmd-start / cmd execute start."], home.log_lines()


# Two certificates in the store: each "cert" asks; the first line, then the second line give the
# two store certificates, Escape the cancel reply. The first choice grows wider but never taller,
# and its view button opens the certificate view, whose close leaves the choice to answer.
def store_choice(program):
    with Home(display=True) as home:
        certs = home.make_store("ee", "ee2")
        agent, port = home.launch(program, flags=4)
        reply = page(home, port, *["cert,0," + b64("")] * 3)
        chosen = []
        # After the view, Shift+Tab takes the focus back to the list.
        for sequence in (["shift+Tab", "Return"], ["Down", "Return"], ["Escape"]):
            dialog = window("証明書の選択")
            if not chosen:
                width, height = size(dialog)
                run("xdotool", "windowsize", dialog, str(width + 200), str(height + 200))
                until("resize to the width only", lambda: size(dialog) == (width + 200, height))
                keys(dialog, "Tab", "space")  # from the list to "詳細表示..."
                keys(window("証明書"), "Escape")
                until("closed view", lambda: not windows("証明書"))
            keys(dialog, *sequence)
            chosen.append(reply())
        assert sorted(chosen[:2]) == sorted("0," + b64(der_hex(certs, n)) for n in ("ee", "ee2"))
        assert chosen[2] == "1," + b64("実行キャンセル(1)"), "Escape in the choice"
        assert agent.wait(15) == 0, "exit code after term"


# "term" while the user has the certificate choice open: the page hears "er,-1" at once, the
# choice stays open for the user past the seconds a command was once given, and what the user
# picks still reaches the page before the agent ends.
def term_during_choice(program):
    with Home(display=True) as home:
        certs = home.make_store("ee", "ee2")
        agent, port = home.launch(program, flags=4)
        plan = home.dir / "plan.json"
        plan.write_text(json.dumps([
            {"op": "send", "text": "cert,0," + b64("")},
            {"op": "wait_file", "path": str(home.dir / "QuarnelCmd-error.log"),
             "text": "cert cmd accept."},
            {"op": "send", "text": "term"},
            {"op": "recv", "timeout": 30}, {"op": "recv", "timeout": 60, "full": True}]))
        client = home.start(["/usr/bin/python3", SUPPORT / "ws_client.py", str(port), plan],
                            stdout=subprocess.PIPE, text=True)
        dialog = window("証明書の選択")
        assert json.loads(client.stdout.readline()).get("recv") == "er,-1", "term answered"
        time.sleep(3)  # past the 2 s after which a running command was once given up
        assert windows("証明書の選択") == [dialog], "the choice still open"
        keys(dialog, "Down", "Return")
        chosen = json.loads(client.stdout.readline() or "{}").get("recv")
        assert chosen in ("0," + b64(der_hex(certs, n)) for n in ("ee", "ee2")), chosen
        assert agent.wait(15) == 0, "exit code after term"
        assert "ws-loop / loop cmd: break. (-604)" in home.log_lines()


# The PKCS#11 signer (launch flag 0x1) on a SoftHSM2 token: "cert" takes its one certificate,
# "sign" without a PIN asks for it in the PIN dialog, which refuses an empty field, and the PIN
# typed there signs. (What the signature is and what a cancelled entry answers, the PKCS#11 tests
# and the URL road test check without a display.)
def pkcs11_pin(program):
    with Home(display=True) as home:
        certs = home.make_store()
        # A SoftHSM2 token "card" (PIN 1234) with ee2's key and certificate; the script prints
        # the PKCS#11 library that reaches it.
        token = [SUPPORT / "make-token.sh", home.dir, "card", certs / "ee2.key", certs / "ee2.der"]
        agent, port = home.launch(program, flags=0x1 | 0x4, options=home.run(token).stdout.strip())
        sign = "sign,0," + b64("5A" * 32) + ",0,"  # a SHA-256 hash, no PIN
        reply = page(home, port, "cert,0," + b64(""), sign)
        reply()  # "cert": the token's one certificate
        dialog = window("PIN入力")
        # If OK on the empty field closed the dialog, the PIN would reach no dialog. A button
        # that a key activates holds the keyboard for 250 ms (GTK's activate timeout), and shows
        # no state to wait for: keys typed within that time are lost.
        keys(dialog, "Return")
        time.sleep(0.3)
        keys(dialog, "1", "2", "3", "4", "Return")
        assert (signature := reply()).startswith("0,"), "sign with the typed PIN: " + signature
        assert agent.wait(15) == 0, "exit code after term"


if __name__ == "__main__":
    for case in (progress_abort, store_choice, term_during_choice, pkcs11_pin):
        print(case.__name__, flush=True)
        case(sys.argv[1])
    print("dialog tests passed")
