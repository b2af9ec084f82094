"""Shared pieces of the end-to-end tests: a throwaway home with its own NSS store, the agent
started the way a browser starts it, and processes that are always ended.
Everything a test makes lives in one temporary directory that is removed afterwards."""
import base64
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "support")


def b64(text):
    """A text argument as a page sends it: Base64 of its UTF-8 bytes."""
    return base64.b64encode(text.encode()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_eq(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


class Home:
    """A temporary HOME (XDG directories, TMPDIR and SoftHSM's configuration inside it) and the
    processes started in it; leaving the `with` block ends them and removes the directory."""

    def __init__(self, display=False):
        self.dir = tempfile.mkdtemp(prefix="quarnel-e2e-")
        d = self.dir
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

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGKILL)  # its own session: it and its children
                except ProcessLookupError:
                    pass
                p.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run(self, args, **kw):
        """A short command in this home; its completed process (output captured as text)."""
        return subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=60,
                              cwd=self.dir, **kw)

    def start(self, args, **kw):
        """A process in this home, in a session of its own so that its children end with it."""
        p = subprocess.Popen(args, env=self.env, cwd=self.dir, start_new_session=True,
                             stdin=subprocess.DEVNULL, **kw)
        self.procs.append(p)
        return p

    def make_store(self, *bundles):
        """$HOME/.pki/nssdb (empty password) with the test CA and gencerts.sh's key bundles."""
        certs = self.path("certs")
        subprocess.run([os.path.join(SUPPORT, "gencerts.sh"), certs], check=True,
                       capture_output=True, timeout=120)
        db = "sql:" + self.path(".pki/nssdb")
        os.makedirs(self.path(".pki/nssdb"))
        steps = [["certutil", "-N", "--empty-password", "-d", db],
                 ["certutil", "-A", "-n", "ca", "-t", "CT,C,C", "-i", certs + "/ca.pem", "-d", db]]
        steps += [["pk12util", "-W", "test", "-i", f"{certs}/{b}.p12", "-d", db] for b in bundles]
        for step in steps:
            r = self.run(step)
            check(r.returncode == 0, f"{step}: {r.stdout}{r.stderr}")
        return certs

    def make_token(self, certs, bundle):
        """A SoftHSM2 token "card" (PIN 1234) holding gencerts.sh's `bundle` key and certificate;
        returns the PKCS#11 library that reaches it."""
        r = self.run([os.path.join(SUPPORT, "make-token.sh"), self.dir, "card",
                      f"{certs}/{bundle}.key", f"{certs}/{bundle}.der"])
        check(r.returncode == 0, f"make-token.sh: {r.stderr}")
        return r.stdout.strip()

    def launch(self, program, port, flags, timeout=30, options="", sid=""):
        """The agent as the browser starts it for a page: "quarnel01:" and the WebSocket-mode
        parameter text as the only argument."""
        text = f"quarnel01:S,{port},{timeout},{flags},{b64(options)},,{b64(sid)}"
        return self.start([program, text])

    def verify_rsa(self, public_key, digest_hex, signature_hex):
        """OpenSSL's verdict (0: valid) on a PKCS#1 v1.5 signature over a SHA-256 digest."""
        for name, hex_text in (("hash.bin", digest_hex), ("sig.bin", signature_hex)):
            with open(self.path(name), "wb") as f:
                f.write(bytes.fromhex(hex_text))
        return self.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", public_key,
                         "-pkeyopt", "digest:sha256", "-in", self.path("hash.bin"), "-sigfile",
                         self.path("sig.bin")]).returncode

    def log_lines(self):
        """The default error log's lines without their time stamps."""
        try:
            with open(self.path("QuarnelCmd-error.log"), encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return re.findall(r"^\S+ ([^\r\n]*)\r?$", text, re.M)


def exit_code(process, seconds=15):
    try:
        return process.wait(seconds)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"{process.args[0]} still runs after {seconds} s") from None
