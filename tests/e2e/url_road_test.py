#!/usr/bin/python3
"""The URL-protocol road as a desktop takes it: the user registers the agent, then a link
"quarnel01:S,..." is opened by the desktop's opener, which starts the registered program; the
page's client then talks to it.

usage: url_road_test.py QUARNELCMD

The opener is `gio open`, what GTK desktops and Firefox use. Debian's xdg-open, without a
desktop environment, takes "quarnel01:..." for a file path (its URL test wants a scheme of
letters only), so it cannot stand in for the desktop here."""
import json
import subprocess
import sys
import time

from e2e import SUPPORT, Home, b64, check_eq, free_port


def main():
    program = sys.argv[1]
    with Home() as home:
        home.make_store("ee")
        r = home.run([program, "regist"])
        check_eq((r.returncode, r.stderr), (0, "署名コマンド: レジストリ登録しました。\n"), "regist")

        port = free_port()
        # 20 s: the agent that gio started ends by itself if no client ever comes.
        # The handler inherits gio's output: a pipe there would stay open as long as it runs.
        with open(home.path("gio.err"), "w+") as err:
            r = subprocess.run(["gio", "open", f"quarnel01:S,{port},20,4,,,{b64('sid-1')}"],
                               env=home.env, stdout=subprocess.DEVNULL, stderr=err, timeout=30)
            err.seek(0)
            check_eq(r.returncode, 0, "gio open: " + err.read())
        plan = home.path("plan.json")
        with open(plan, "w") as f:
            json.dump([step for command in ("vers", "stat", "term")
                       for step in ({"op": "send", "text": command}, {"op": "recv", "timeout": 10})],
                      f)
        r = home.run(["/usr/bin/python3", f"{SUPPORT}/ws_client.py", str(port), plan])
        replies = [json.loads(line) for line in r.stdout.splitlines()]
        check_eq(replies[:2], [{"recv": "0,djEuMS5SMQ=="}, {"recv": "1,"}], "vers and stat")
        # gio does not wait for the handler; its log tells when the run is over.
        until = time.monotonic() + 20
        while "cmd-end / cmd execute end." not in home.log_lines() and time.monotonic() < until:
            time.sleep(0.1)
        check_eq(home.log_lines(), ["cmd-start / cmd execute start.",
                                    "ws-open / WebScoket connection ok.",
                                    "api-init / sign api init ok.",
                                    "ws-command / vers cmd accept.",
                                    "ws-command / stat cmd accept.",
                                    "stat / stat command end.",
                                    "ws-loop / WebScoket connection end.",
                                    "cmd-end / cmd execute end."], "the run's log")
    print("URL road test passed")


if __name__ == "__main__":
    main()
