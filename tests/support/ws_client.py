#!/usr/bin/python3
"""A WebSocket client for the tests, built on python3-websockets (RFC 6455 from a third party).

usage: ws_client.py PORT PLAN.json     (or the plan's JSON text itself, for a client that runs as
                                        another user and cannot read the test's files)
"""
# PLAN is a list of steps run in order on one connection to ws://127.0.0.1:PORT/. Each step that
# observes something prints one JSON line to standard output:
#   {"op": "send", "text": T}                 masked text frame (the client library's own framing);
#                                             with "binary": true a binary frame of T's UTF-8 bytes
#   {"op": "ping", "text": T}                 a ping frame carrying T (its pong is not awaited)
#   {"op": "sendn", "n": N, "prefix": P}      text of N bytes: P, then "a" (or "fill") up to N
#   {"op": "raw", "hex": H}                   raw bytes on the connection (frames made by the test)
#   {"op": "close"}                           the client's close frame (close handshake)
#   {"op": "drop"}                            closes the TCP connection without a close frame
#   {"op": "reset"}                           resets the TCP connection (RST)
#   {"op": "sleep", "s": S}
#   {"op": "wait_file", "path": P, "text": T} waits until file P holds T (a line of the agent's log
#                                             that says where a command is), at most "timeout"
#                                             seconds (30); prints {"timeout": true} if it never does
#   {"op": "recv", "timeout": S}              prints {"recv": text}, {"closed": code} or
#                                             {"timeout": true}; a text is printed whole ("full",
#                                             which some plans still give, changes nothing)
#   {"op": "chain", "text": T, "n": N}        sends T, waits for a reply, sends T again the moment
#                                             it arrives, N times or until a receive fails; then
#                                             prints {"replies": count} and what a failed receive
#                                             gave, as "recv" prints it
# A failed connection prints {"connect_error": text}.
import asyncio
import json
import socket
import struct
import sys

import websockets


def out(obj):
    print(json.dumps(obj), flush=True)


async def receive(ws, timeout):
    try:
        return {"recv": await asyncio.wait_for(ws.recv(), timeout)}
    except websockets.ConnectionClosed as e:
        return {"closed": e.code}
    except asyncio.TimeoutError:
        return {"timeout": True}


async def wait_file(path, text, timeout):
    deadline = asyncio.get_running_loop().time() + timeout
    while True:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return
        except OSError:
            pass
        if asyncio.get_running_loop().time() > deadline:
            out({"timeout": True})
            return
        await asyncio.sleep(0.05)


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
            await ws.send(step["text"].encode() if step.get("binary") else step["text"])
        elif op == "ping":
            await ws.ping(step["text"])
        elif op == "sendn":
            prefix = step.get("prefix", "")
            await ws.send(prefix + step.get("fill", "a") * (step["n"] - len(prefix)))
        elif op == "raw":
            ws.transport.write(bytes.fromhex(step["hex"]))
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
        elif op == "wait_file":
            await wait_file(step["path"], step["text"], step.get("timeout", 30))
        elif op == "recv":
            out(await receive(ws, step.get("timeout", 10)))
        elif op == "chain":
            replies, failed = 0, None
            while replies < step["n"] and failed is None:
                await ws.send(step["text"])
                got = await receive(ws, step.get("timeout", 10))
                if "recv" in got:
                    replies += 1
                else:
                    failed = got
            out({"replies": replies})
            if failed is not None:
                out(failed)
    ws.transport.close()


def main():
    port = int(sys.argv[1])
    if sys.argv[2].startswith("["):
        plan = json.loads(sys.argv[2])
    else:
        with open(sys.argv[2], encoding="utf-8") as f:
            plan = json.load(f)
    asyncio.run(run(port, plan))


if __name__ == "__main__":
    main()
