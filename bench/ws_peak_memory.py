#!/usr/bin/python3
"""Peak memory of the agent for one large unknown command, as a page would send it.

usage: ws_peak_memory.py PATH/TO/quarnelcmd [MiB]

Launches the agent as a page does (WebSocket mode, flags 0, a temporary HOME whose NSS store holds
a certificate with its key), sends "vers", then one unknown command of MiB mebibytes (128 by
default, the frame bound), and reads the agent's VmHWM (peak resident set) from /proc after each
reply. Prints the baseline, the peak, the peak's growth as a multiple of the payload, and the size
of the error log the run wrote.
"""
import asyncio
import os
import socket
import subprocess
import sys
import tempfile

import websockets


def vm_hwm_kib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_store(home):
    db = os.path.join(home, ".pki", "nssdb")
    os.makedirs(db)
    with open(os.path.join(home, "noise"), "wb") as f:
        f.write(os.urandom(64))
    for args in (["-N", "--empty-password"],
                 ["-S", "-s", "CN=bench", "-n", "bench", "-x", "-t", "u,u,u", "-k", "rsa",
                  "-g", "2048", "-v", "12", "-z", os.path.join(home, "noise")]):
        subprocess.run(["certutil", "-d", "sql:" + db] + args, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


async def page(port, pid, size):
    for _ in range(200):
        try:
            ws = await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None,
                                          compression=None, ping_interval=None)
            break
        except OSError:
            await asyncio.sleep(0.05)
    await ws.send("vers")
    await ws.recv()
    base = vm_hwm_kib(pid)
    await ws.send("zzzz" + "a" * (size - 4))
    reply = await ws.recv()
    peak = vm_hwm_kib(pid)
    await ws.send("term")
    try:
        await ws.recv()
    except websockets.ConnectionClosed:
        pass
    return base, peak, reply


def main():
    program = sys.argv[1]
    size = int(sys.argv[2] if len(sys.argv) > 2 else 128) * 1024 * 1024
    with tempfile.TemporaryDirectory() as home:
        make_store(home)
        env = {"HOME": home, "TMPDIR": home, "XDG_DATA_HOME": home + "/data",
               "XDG_CONFIG_HOME": home + "/config", "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
        port = free_port()
        agent = subprocess.Popen([program, f"quarnel01:S,{port},20,0,,,"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        base, peak, reply = asyncio.run(page(port, agent.pid, size))
        agent.wait(timeout=60)
        log = os.path.join(home, "QuarnelCmd-error.log")
        log_size = os.path.getsize(log) if os.path.exists(log) else 0
    mib = size / (1024 * 1024)
    print(f"payload {mib:.0f} MiB; reply {reply[:4]}...")
    print(f"agent VmHWM before {base / 1024:.1f} MiB, after {peak / 1024:.1f} MiB; "
          f"growth {(peak - base) / 1024 / mib:.2f} x payload, peak {peak / 1024 / mib:.2f} x")
    print(f"error log {log_size} bytes")


if __name__ == "__main__":
    main()
