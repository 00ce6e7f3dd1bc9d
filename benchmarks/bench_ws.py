"""WebSocket servers under load: one echo application
(benchmarks/peers/asgi_ws_app.py) on the example server (`python -m quillon`,
the websockets package's framing under quillon's own session) and on uvicorn
with each of its WebSocket implementations (`--ws websockets`,
`--ws wsproto`), all measured in this run on this machine.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_ws.py

Loads, from the websockets client in this process (compression off unless
the row says deflate):
  round trips    10 connections, each sending a 64-byte text message and
                 waiting for its echo, 2000 times
  deflate        the same with permessage-deflate on both ends
  throughput     1 connection, 200 binary messages of 256 KiB, each echoed
Each row shows messages per second (echoes received) and the server
process's CPU time per message (microseconds): on a shared machine the CPU
figure is the steadier one, since the client here needs a core too.

Target: the example server at least as fast as uvicorn's websockets
implementation on every row, in CPU per message."""

import asyncio
import sys
import time

from bench_servers import PEERS, Running, cpu_seconds, example_env, tool_env
from websockets.asyncio.client import connect

APP = "asgi_ws_app:app"
SERVERS = {
    "quillon": [sys.executable, "-m", "quillon", APP, "--app-dir", str(PEERS), "--port", "{port}",
                "--no-access-log", "--lifespan", "off", "--log-level", "warning"],
    "uvicorn websockets": [sys.executable, "-m", "uvicorn", APP, "--app-dir", str(PEERS), "--port", "{port}",
                           "--no-access-log", "--lifespan", "off", "--log-level", "warning", "--ws", "websockets"],
    "uvicorn wsproto": [sys.executable, "-m", "uvicorn", APP, "--app-dir", str(PEERS), "--port", "{port}",
                        "--no-access-log", "--lifespan", "off", "--log-level", "warning", "--ws", "wsproto"],
}


async def round_trips(url, connections, count, size, deflate):
    message = "x" * size

    async def one():
        async with connect(url, compression="deflate" if deflate else None, max_size=None) as ws:
            for _ in range(count):
                await ws.send(message)
                await ws.recv()

    await asyncio.gather(*(one() for _ in range(connections)))
    return connections * count


async def throughput(url, count, size):
    return await round_trips(url, 1, count, size, False)


LOADS = {
    "round trips 64 B x10": lambda url: round_trips(url, 10, 2000, 64, False),
    "deflate 64 B x10": lambda url: round_trips(url, 10, 2000, 64, True),
    "throughput 256 KiB": lambda url: throughput(url, 200, 256 * 1024),
}


def measure(argv, env, load):
    with Running(argv, env) as server:
        url = f"ws://127.0.0.1:{server.port}/"
        asyncio.run(round_trips(url, 2, 100, 64, False))  # warm-up
        cpu, start = cpu_seconds(server.proc.pid), time.perf_counter()
        messages = asyncio.run(load(url))
        elapsed = time.perf_counter() - start
        return messages / elapsed, (cpu_seconds(server.proc.pid) - cpu) / messages * 1e6


def main() -> int:
    results = {}
    for row, load in LOADS.items():
        print(f"\n{row}")
        for name, argv in SERVERS.items():
            try:
                rate, cpu = results[row, name] = measure(argv, example_env() if name == "quillon" else tool_env(),
                                                         load)
                print(f"  {name:<20}{rate:>12,.0f} msg/s{cpu:>9.1f} us CPU/msg")
            except (RuntimeError, OSError) as e:
                print(f"  {name:<20}failed: {e}")
        ours = results.get((row, "quillon"))
        for name in SERVERS:
            peer = results.get((row, name))
            if name != "quillon" and ours and peer:
                print(f"  vs {name}: {ours[0] / peer[0]:.2f}x msg/s, CPU/msg {peer[1] / ours[1]:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
