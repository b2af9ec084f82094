#!/usr/bin/python3
"""The signing page of scripts/demo.sh: one WebSocket session with the agent, the signatures it
returns checked with OpenSSL (signature values) and xmlsec1 (the XML signature), and a short
report. Exit status 0 when every signature of the session verifies.

usage: demo_session.py PORT WORKDIR          the store signer: "vers", "stat", "cert", "info",
                                             "sign", "xadd", "xdes", "term"
       demo_session.py PORT WORKDIR PIN      the PKCS#11 signer, its PIN given as the argument
                                             of "cert" and "sign" (so no dialog asks for it):
                                             "vers", "stat", "cert", "sign", "term"
WORKDIR holds signer.pem (the store's certificate) and receives the outputs."""
import asyncio
import base64
import hashlib
import json
import os
import subprocess
import sys

import websockets

TEXT = "注文書 no. 42: 3 boxes of paper"
ATTACHMENT = "添付ファイル: delivery note\n"
XML = ('<?xml version="1.0" encoding="UTF-8"?>\n<orders xmlns="urn:example:orders">'
       '<order Id="order-42"><item count="3">paper</item></order></orders>\n')


def arg(text):
    """A text argument as a page sends it: Base64 of its UTF-8 bytes."""
    return base64.b64encode(text.encode()).decode()


async def session(port, pin):
    """The page's commands; the agent's replies as {command: (code, payload bytes, reply)}."""
    for _ in range(100):  # the agent may still be on its way to listen
        try:
            ws = await websockets.connect(f"ws://127.0.0.1:{port}/", open_timeout=10,
                                          ping_interval=None, compression=None, max_size=None)
            break
        except OSError:
            await asyncio.sleep(0.1)
    else:
        raise SystemExit(f"no agent listens on port {port}")
    replies = {}

    async def command(*tokens):
        await ws.send(",".join(str(t) for t in tokens))
        reply = await asyncio.wait_for(ws.recv(), 30)
        code, _, payload = reply.partition(",")
        replies[tokens[0]] = (int(code), base64.b64decode(payload), reply)
        return int(code), base64.b64decode(payload)

    await command("vers")
    await command("stat")
    code, cert_hex = await command("cert", 0, arg(pin or ""))
    if code == 0:
        if not pin:
            der = bytes.fromhex(cert_hex.decode())
            await command("info", arg(base64.b64encode(der).decode()), 0)
        await command("sign", 0, arg(hashlib.sha256(TEXT.encode()).hexdigest().upper()), 0,
                      arg(pin or ""))
        if not pin:
            await command("xadd", 0, arg("attachment-ref"), arg("attachment.txt"),
                          arg(base64.b64encode(ATTACHMENT.encode()).decode()))
            await command("xdes", 0, 0, arg(XML), arg("order-42"), arg(""), arg(""))
    # The agent ends its side after "term"; a close frame sent at once could share a receive
    # with "term", which the agent reads as one malformed frame.
    await ws.send("term")
    await asyncio.wait_for(ws.wait_closed(), 10)
    return replies


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60)


def main():
    port, work = int(sys.argv[1]), sys.argv[2]
    pin = sys.argv[3] if len(sys.argv) > 3 else None
    file = lambda name: os.path.join(work, name)  # noqa: E731
    replies = asyncio.run(asyncio.wait_for(session(port, pin), 120))
    print("  the page's session (command: reply):")
    for name, (_, _, reply) in replies.items():
        print(f"    {name:5} {reply if len(reply) <= 60 else reply[:57] + '...'}")
    print("    term  (the agent closes the connection and ends)")
    failed = [f"\"{name}\" failed: {payload.decode(errors='replace')}"
              for name, (code, payload, _) in replies.items() if code < 0]

    verdicts = []
    if replies.get("cert", (None,))[0] == 0:
        der = bytes.fromhex(replies["cert"][1].decode())
        with open(file("chosen.pem"), "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der).decode() +
                    "-----END CERTIFICATE-----\n")
        subject = run("openssl", "x509", "-in", file("chosen.pem"), "-noout", "-subject").stdout
        print(f"  certificate chosen by \"cert\": {subject.strip().removeprefix('subject=')}")
        if replies.get("info", (-1,))[0] >= 0:
            info = json.loads(replies["info"][1])
            print(f"  \"info\" describes it as {info['type']}, serial {info['serial']},"
                  f" valid {info['from']} to {info['to']}")
    if replies.get("sign", (None,))[0] == 0:
        with open(file("hash.bin"), "wb") as f:
            f.write(hashlib.sha256(TEXT.encode()).digest())
        with open(file("signature.bin"), "wb") as f:
            f.write(bytes.fromhex(replies["sign"][1].decode()))
        with open(file("chosen.pub"), "w") as f:
            f.write(run("openssl", "x509", "-in", file("chosen.pem"), "-noout", "-pubkey").stdout)
        r = run("openssl", "pkeyutl", "-verify", "-pubin", "-inkey", file("chosen.pub"),
                "-pkeyopt", "digest:sha256", "-in", file("hash.bin"), "-sigfile",
                file("signature.bin"))
        verdicts.append((f"the SHA-256 of the text \"{TEXT}\" (\"sign\", RSA PKCS#1 v1.5)",
                         "OpenSSL", r.returncode == 0))
    else:
        verdicts.append(("the text's SHA-256 (\"sign\")", "OpenSSL", False))
    if not pin:
        ok = False
        if replies.get("xdes", (None,))[0] == 0:
            with open(file("signed.xml"), "wb") as f:
                f.write(replies["xdes"][1])
            with open(file("attachment.txt"), "w", encoding="utf-8") as f:
                f.write(ATTACHMENT)
            r = run("xmlsec1", "--verify", "--enabled-key-data", "x509", "--trusted-pem",
                    file("signer.pem"), "--id-attr:Id", "order", "--url-map:attachment.txt",
                    file("attachment.txt"), file("signed.xml"))
            ok = r.returncode == 0
            failed += [] if ok else [r.stderr.strip()]
        verdicts.append(("the element Id=\"order-42\" of an <orders> document with attachment.txt"
                         " as additional signed data (\"xadd\", \"xdes\": enveloped XAdES)",
                         "xmlsec1", ok))
    print("  signed:")
    for what, tool, ok in verdicts:
        print(f"    {what}: {'VERIFIED' if ok else 'NOT verified'} by {tool}")
    for line in failed:
        print("    " + line)
    sys.exit(0 if all(ok for _, _, ok in verdicts) else 1)


if __name__ == "__main__":
    main()
