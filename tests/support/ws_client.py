#!/usr/bin/python3
"""A WebSocket client for the tests, built on python3-websockets (RFC 6455 from a third party).

usage: ws_client.py PORT PLAN.json

PLAN is a list of steps run in order on one connection to ws://127.0.0.1:PORT/. Each step that
observes something prints one JSON line to standard output:
  {"op": "send", "text": T}                   masked text frame (the client library's own framing)
  {"op": "sendn", "n": N, "prefix": P}        text of N bytes: P, then "a" (or "fill") up to N
  {"op": "frames", "texts": [T...]}          text frames framed here, in one write; options:
      "fin": false (first fragments), "unmasked": true, "cut": K (only the first K bytes),
      "at": K (two writes split at byte K, the second after 0.2 s)
  {"op": "raw", "hex": H}                     raw bytes on the connection
  {"op": "binary", "hex": H}                  binary frame
  {"op": "ping"}                              ping frame
  {"op": "close"}                             the client's close frame (close handshake)
  {"op": "drop"}                              closes the TCP connection without a close frame
  {"op": "reset"}                             resets the TCP connection (RST)
  {"op": "sleep", "s": S}
  {"op": "recv", "timeout": S}                prints {"recv": text}, {"closed": code} or
                                              {"timeout": true}; a text of more than 100
                                              characters as {"recv_len": n, "distinct": chars}
                                              unless "full" is true
  {"op": "repeat", "text": T, "count": N}     N round trips, each sent right after the previous
                                              reply; prints {"count", "first", "bad"}
A failed connection prints {"connect_error": text}.
"""
import asyncio
import json
import os
import socket
import struct
import sys

import websockets


def frame(opcode, payload, mask=None, fin=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    bit = 0x80 if mask else 0
    if n <= 125:
        head += bytes([bit | n])
    elif n <= 0xFFFF:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        head += mask
    return head + payload


def out(obj):
    print(json.dumps(obj), flush=True)


async def run(port, plan):
    # The server under test may still be on its way to listen: retry a refused connection.
    for attempt in range(100):
        try:
            ws = await websockets.connect(
                f"ws://127.0.0.1:{port}/", close_timeout=1, max_size=None, compression=None,
                ping_interval=None, open_timeout=10)
            break
        except ConnectionRefusedError as e:
            if attempt == 99:
                out({"connect_error": f"{type(e).__name__}: {e}"})
                return
            await asyncio.sleep(0.05)
        except Exception as e:  # noqa: BLE001 - the test reads the reason
            out({"connect_error": f"{type(e).__name__}: {e}"})
            return
    for step in plan:
        op = step["op"]
        if op == "send":
            await ws.send(step["text"])
        elif op == "sendn":
            prefix = step.get("prefix", "")
            await ws.send(prefix + step.get("fill", "a") * (step["n"] - len(prefix)))
        elif op == "frames":
            mask = None if step.get("unmasked") else os.urandom(4)
            data = b"".join(frame(1, t.encode(), mask, step.get("fin", True))
                            for t in step["texts"])[: step.get("cut")]
            at = step.get("at", len(data))
            ws.transport.write(data[:at])
            if at < len(data):
                await asyncio.sleep(0.2)
                ws.transport.write(data[at:])
        elif op == "raw":
            ws.transport.write(bytes.fromhex(step["hex"]))
        elif op == "binary":
            await ws.send(bytes.fromhex(step["hex"]))
        elif op == "ping":
            await ws.ping()
        elif op == "close":
            await ws.close()
        elif op == "drop":
            ws.transport.close()
        elif op == "reset":
            # A zero linger makes the close a reset, which fails the server's pending receive.
            ws.transport.get_extra_info("socket").setsockopt(
                socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            ws.transport.abort()
        elif op == "sleep":
            await asyncio.sleep(step["s"])
        elif op == "recv":
            try:
                text = await asyncio.wait_for(ws.recv(), step.get("timeout", 10))
                if len(text) <= 100 or step.get("full"):
                    out({"recv": text})
                else:
                    out({"recv_len": len(text), "distinct": "".join(sorted(set(text)))})
            except websockets.ConnectionClosed as e:
                out({"closed": e.code})
            except asyncio.TimeoutError:
                out({"timeout": True})
        elif op == "repeat":
            first, bad, done = None, 0, 0
            try:
                for _ in range(step["count"]):
                    await ws.send(step["text"])
                    reply = await asyncio.wait_for(ws.recv(), 10)
                    if first is None:
                        first = reply
                    elif reply != first:
                        bad += 1
                    done += 1
            except (websockets.ConnectionClosed, asyncio.TimeoutError) as e:
                out({"count": done, "first": first, "bad": bad, "stopped": type(e).__name__})
                return
            out({"count": done, "first": first, "bad": bad})
    ws.transport.close()


def main():
    port = int(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as f:
        plan = json.load(f)
    asyncio.run(run(port, plan))


if __name__ == "__main__":
    main()
