# Shared pieces of the end-to-end tests: a throwaway home with its own NSS store, the agent
# started the way a browser starts it, and processes that are always ended.
# Everything a test makes lives in one temporary directory that is removed afterwards.
import base64
import contextlib
import os
import pathlib
import re
import signal
import socket
import subprocess
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
SUPPORT = HERE.parent / "support"


# A text argument as a page sends it: Base64 of its UTF-8 bytes.
def b64(text):
    return base64.b64encode(text.encode()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# probe()'s first true value, asked every 0.1 s; fails naming `what` after about `seconds`.
def until(what, probe, seconds=10):
    for _ in range(seconds * 10):
        if value := probe():
            return value
        time.sleep(0.1)
    raise AssertionError(f"no {what} within {seconds} s")


# A temporary HOME (XDG directories, TMPDIR and SoftHSM's configuration inside it) and the
# processes started in it; leaving the `with` block ends them and removes the directory.
class Home(contextlib.AbstractContextManager):
    def __init__(self, display=False):
        self.tmp = tempfile.TemporaryDirectory(prefix="quarnel-e2e-", ignore_cleanup_errors=True)
        self.dir, d = pathlib.Path(self.tmp.name), self.tmp.name
        self.env = {
            "HOME": d, "TMPDIR": d, "XDG_DATA_HOME": d + "/data", "XDG_CONFIG_HOME": d + "/config",
            "XDG_CACHE_HOME": d + "/cache", "XDG_DATA_DIRS": d + "/none",
            "XDG_CONFIG_DIRS": d + "/none", "SOFTHSM2_CONF": d + "/softhsm2.conf",
            "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "TZ": "JST-9",
            "DBUS_SESSION_BUS_ADDRESS": "disabled:",
        }
        for name, value in os.environ.items():
            if name.endswith("SAN_OPTIONS") or (display and name in ("DISPLAY", "XAUTHORITY")):
                self.env[name] = value
        self.procs = []

    def __exit__(self, *exc):
        for p in self.procs:
            # Its own session: it and its children, which may outlive it (gio's handler).
            with contextlib.suppress(ProcessLookupError):
                os.killpg(p.pid, signal.SIGKILL)
            p.wait(10)
        self.tmp.cleanup()

    # A short command in this home; its completed process (output captured as text).
    def run(self, args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=60,
                              cwd=self.dir)

    # A process in this home, in a session of its own so that its children end with it.
    def start(self, args, **kw):
        p = subprocess.Popen(args, env=self.env, cwd=self.dir, start_new_session=True,
                             stdin=subprocess.DEVNULL, **kw)
        self.procs.append(p)
        return p

    # $HOME/.pki/nssdb (empty password) with the test CA and gencerts.sh's key bundles;
    # returns the directory of gencerts.sh's files.
    def make_store(self, *bundles):
        certs = self.dir / "certs"
        subprocess.run([SUPPORT / "gencerts.sh", certs], check=True, capture_output=True)
        db = f"sql:{self.dir}/.pki/nssdb"
        os.makedirs(self.dir / ".pki" / "nssdb")
        steps = [["certutil", "-N", "--empty-password", "-d", db],
                 ["certutil", "-A", "-n", "ca", "-t", "CT,C,C", "-i", certs / "ca.pem", "-d", db]]
        steps += [["pk12util", "-W", "test", "-i", f"{certs}/{b}.p12", "-d", db] for b in bundles]
        for step in steps:
            r = self.run(step)
            assert r.returncode == 0, f"{step}: {r.stdout}{r.stderr}"
        return certs

    # The agent as the browser starts it for a page: "quarnel01:" and the WebSocket-mode
    # parameter text as the only argument; the agent and the free port it is told to listen on.
    def launch(self, program, flags, timeout=30, options=""):
        port = free_port()
        return self.start([program, f"quarnel01:S,{port},{timeout},{flags},{b64(options)},,"]), port

    # The default error log's lines without their time stamps.
    def log_lines(self):
        log = self.dir / "QuarnelCmd-error.log"
        text = log.read_text(encoding="utf-8") if log.exists() else ""
        return re.findall(r"^\S+ ([^\r\n]*)\r?$", text, re.M)


# gencerts.sh's certificate `name` as the agent gives it under flag 0x4: upper-case hex.
def der_hex(certs, name):
    return (certs / f"{name}.der").read_bytes().hex().upper()

