#!/usr/bin/python3
"""The signing page of scripts/demo.sh: one WebSocket session with the agent through "vers",
"stat", "cert", "info", "sign", "xadd", "xdes" and "term", then the signature value checked with
OpenSSL and the XML signature with xmlsec1, and a short report. Exit status 0 when both verify.

usage: demo_session.py PORT WORKDIR   (WORKDIR holds signer.pem and receives the outputs)"""
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
    return base64.b64encode(text.encode()).decode()


async def session(port):
    """The page's commands and the agent's replies as (command, code, payload bytes)."""
    steps = []
    for _ in range(100):  # the agent may still be on its way to listen
        try:
            ws = await websockets.connect(f"ws://127.0.0.1:{port}/", open_timeout=10,
                                          ping_interval=None, compression=None, max_size=None)
            break
        except OSError:
            await asyncio.sleep(0.1)
    else:
        raise SystemExit(f"no agent listens on port {port}")

    async def command(*tokens):
        await ws.send(",".join(str(t) for t in tokens))
        reply = await asyncio.wait_for(ws.recv(), 30)
        code, _, payload = reply.partition(",")
        steps.append((tokens[0], int(code), base64.b64decode(payload), reply))
        return int(code), base64.b64decode(payload)

    await command("vers")
    await command("stat")
    code, cert_hex = await command("cert", 0, arg(""))
    if code == 0:
        der = bytes.fromhex(cert_hex.decode())
        await command("info", arg(base64.b64encode(der).decode()), 0)
        await command("sign", 0, arg(hashlib.sha256(TEXT.encode()).hexdigest().upper()), 0,
                      arg(""))
        await command("xadd", 0, arg("attachment-ref"), arg("attachment.txt"),
                      arg(base64.b64encode(ATTACHMENT.encode()).decode()))
        await command("xdes", 0, 0, arg(XML), arg("order-42"), arg(""), arg(""))
    # The agent ends its side after "term"; a close frame sent at once could share a receive
    # with "term", which the agent reads as one malformed frame.
    await ws.send("term")
    await asyncio.wait_for(ws.wait_closed(), 10)
    return steps


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60)


def main():
    port, work = int(sys.argv[1]), sys.argv[2]
    steps = asyncio.run(asyncio.wait_for(session(port), 120))
    replies = {name: (code, payload) for name, code, payload, _ in steps}
    print("\nThe page's session with the agent (command, reply):")
    for name, code, payload, reply in steps:
        shown = reply if len(reply) <= 60 else reply[:57] + "..."
        print(f"  {name:5} {shown}")
    print("  term  (the agent closes the connection and ends)")

    value_ok = xml_ok = False
    cert = replies.get("cert", (None, b""))
    if cert[0] == 0:
        pem = os.path.join(work, "chosen.pem")
        with open(pem, "w") as f:
            der = bytes.fromhex(cert[1].decode())
            f.write("-----BEGIN CERTIFICATE-----\n" + base64.encodebytes(der).decode() +
                    "-----END CERTIFICATE-----\n")
        subject = run("openssl", "x509", "-in", pem, "-noout", "-subject", "-enddate").stdout
        print("\nCertificate chosen by \"cert\" (the only one with a key in the NSS store):")
        print("  " + subject.strip().replace("\n", "\n  "))
        info = json.loads(replies["info"][1]) if replies.get("info", (-1,))[0] >= 0 else {}
        print(f"  \"info\" describes it as {info.get('type')} serial {info.get('serial')},"
              f" valid {info.get('from')} to {info.get('to')}")
    if replies.get("sign", (None,))[0] == 0:
        with open(os.path.join(work, "hash.bin"), "wb") as f:
            f.write(hashlib.sha256(TEXT.encode()).digest())
        with open(os.path.join(work, "signature.bin"), "wb") as f:
            f.write(bytes.fromhex(replies["sign"][1].decode()))
        pub = run("openssl", "x509", "-in", os.path.join(work, "chosen.pem"), "-noout", "-pubkey")
        with open(os.path.join(work, "chosen.pub"), "w") as f:
            f.write(pub.stdout)
        r = run("openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                os.path.join(work, "chosen.pub"), "-pkeyopt", "digest:sha256",
                "-in", os.path.join(work, "hash.bin"), "-sigfile",
                os.path.join(work, "signature.bin"))
        value_ok = r.returncode == 0
    if replies.get("xdes", (None,))[0] == 0:
        with open(os.path.join(work, "signed.xml"), "wb") as f:
            f.write(replies["xdes"][1])
        with open(os.path.join(work, "attachment.txt"), "w", encoding="utf-8") as f:
            f.write(ATTACHMENT)
        r = run("xmlsec1", "--verify", "--enabled-key-data", "x509", "--trusted-pem",
                os.path.join(work, "signer.pem"), "--id-attr:Id", "order",
                "--url-map:attachment.txt", os.path.join(work, "attachment.txt"),
                os.path.join(work, "signed.xml"))
        xml_ok = r.returncode == 0
        if not xml_ok:
            print(r.stderr)

    print("\nWhat was signed:")
    print(f"  1. the SHA-256 of the text \"{TEXT}\" (\"sign\", RSA PKCS#1 v1.5):"
          f" {'VERIFIED by OpenSSL' if value_ok else 'NOT verified'}")
    print("  2. the element Id=\"order-42\" of an <orders> document, with attachment.txt as"
          " additional signed data (\"xadd\", then \"xdes\", enveloped XAdES):"
          f" {'VERIFIED by xmlsec1' if xml_ok else 'NOT verified'}")
    for name in ("stat", "cert", "info", "sign", "xadd", "xdes"):
        if name in replies and replies[name][0] < 0:
            print(f"  \"{name}\" failed: {replies[name][1].decode(errors='replace')}")
    sys.exit(0 if value_ok and xml_ok else 1)


if __name__ == "__main__":
    main()
