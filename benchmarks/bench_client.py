"""The client against httpx and aiohttp, all measured in this run against
one server: the example server (`python -m quillon`) as a subprocess on a
free loopback port, its log to /dev/null.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_client.py

Loads, each after a warm-up, best of three:
  sequential   1000 GETs of /bytes/1024, one at a time over one keep-alive
               connection (the cost of one request in the client)
  concurrent   20 rounds of 100 GETs of /bytes/1024 at once (the pool under load)
  upload       20 POSTs of 4 MiB to /echo, the body read back whole
  HTTP/2       the concurrent load over one HTTP/2 connection (httpx with
               http2=True; aiohttp speaks only HTTP/1.1)
Each row prints requests per second and the client process's CPU time per
request; ratios are ours over the peer's rate (above 1: we are faster).

Targets: every HTTP/1.1 row at least 2x httpx and at least aiohttp's rate;
HTTP/2 at least 3x httpx's."""

import asyncio
import os
import socket
import subprocess
import sys
import time

import _harness  # noqa: F401  (puts the developer build on sys.path)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
sys.path.insert(0, os.path.join(ROOT, "src"))

from quillon.client import Client, Limits  # noqa: E402

BODY = os.urandom(4 << 20)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server():
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.join(ROOT, "src"), *sys.path])))
    proc = subprocess.Popen([sys.executable, "-m", "quillon", "--port", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, f"http://127.0.0.1:{port}"
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("the server did not start")


class Ours:
    def __init__(self, http2=False):
        self.client = Client(http2=http2, limits=Limits(max_connections=100, max_keepalive_connections=100))

    async def get(self, url):
        r = await self.client.get(url)
        assert r.status_code == 200

    async def post(self, url, body):
        r = await self.client.post(url, content=body)
        assert r.content == body

    async def close(self):
        await self.client.aclose()


class Httpx:
    def __init__(self, http2=False):
        import httpx
        self.client = httpx.AsyncClient(http2=http2, limits=httpx.Limits(max_connections=100,
                                                                         max_keepalive_connections=100))

    async def get(self, url):
        r = await self.client.get(url)
        assert r.status_code == 200

    async def post(self, url, body):
        r = await self.client.post(url, content=body)
        assert r.content == body

    async def close(self):
        await self.client.aclose()


class Aiohttp:
    def __init__(self, http2=False):
        import aiohttp
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=100))

    async def get(self, url):
        async with self.session.get(url) as r:
            await r.read()
            assert r.status == 200

    async def post(self, url, body):
        async with self.session.post(url, data=body) as r:
            assert await r.read() == body

    async def close(self):
        await self.session.close()


async def sequential(c, base):
    for _ in range(1000):
        await c.get(base + "/bytes/1024")
    return 1000


async def concurrent(c, base):
    for _ in range(20):
        await asyncio.gather(*(c.get(base + "/bytes/1024") for _ in range(100)))
    return 2000


async def upload(c, base):
    for _ in range(20):
        await c.post(base + "/echo", BODY)
    return 20


def measure(kind, load, base, http2=False):
    """(requests per second, CPU microseconds per request), best of three."""
    async def go():
        c = kind(http2)
        try:
            await load(c, base)  # warm-up: connections made, code paths hot
            best = None
            for _ in range(3):
                t0, c0 = time.perf_counter(), time.process_time()
                n = await load(c, base)
                row = (n / (time.perf_counter() - t0), (time.process_time() - c0) / n * 1e6)
                best = row if best is None or row[0] > best[0] else best
            return best
        finally:
            await c.close()

    return asyncio.run(go())


def main():
    proc, base = start_server()
    try:
        print(f"{'load':<22}{'client':<10}{'req/s':>10}{'CPU us/req':>12}{'ours/peer':>11}")
        rows = [("sequential HTTP/1.1", sequential, False, (Ours, Httpx, Aiohttp)),
                ("concurrent HTTP/1.1", concurrent, False, (Ours, Httpx, Aiohttp)),
                ("upload 4 MiB HTTP/1.1", upload, False, (Ours, Httpx, Aiohttp)),
                ("concurrent HTTP/2", concurrent, True, (Ours, Httpx))]
        for title, load, http2, kinds in rows:
            ours = None
            for kind in kinds:
                try:
                    rate, cpu = measure(kind, load, base, http2)
                except ImportError as e:
                    print(f"{title:<22}{kind.__name__:<10}  not installed: {e.name}")
                    continue
                ours = ours or rate
                print(f"{title:<22}{kind.__name__:<10}{rate:>10,.0f}{cpu:>12,.0f}{ours / rate:>10.2f}x")
    finally:
        proc.terminate()
        proc.wait(timeout=15)


if __name__ == "__main__":
    main()
