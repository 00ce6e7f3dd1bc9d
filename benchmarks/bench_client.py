"""The client against httpx, aiohttp and curl, all measured in this run
against one server: the example server (`python -m quillon`) as a
subprocess on a free loopback port, its log to /dev/null; the download
row from nginx serving a file when nginx is installed (a server that is
not the bottleneck), else from the example server's /bytes/N.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_client.py [--size MiB] [--only WORD]

Loads, each after a warm-up, best of three, over HTTP/1.1 and HTTP/2
(httpx with http2=True; aiohttp speaks only HTTP/1.1):
  sequential GET 1 KiB     1000 GETs of /bytes/1024, one at a time over one
                           keep-alive connection (the cost of one request)
  sequential POST 64 KiB   300 POSTs to /echo, the body read back whole
  100 concurrent GET 1 KiB 20 rounds of 100 GETs at once (the pool under load)
  100 concurrent POST 64 KiB  3 rounds of 100 POSTs to /echo at once
  upload 4 MiB             20 POSTs of 4 MiB to /echo, the body read back whole
  download                 one GET of --size MiB (default 256: 1 GiB takes
                           long on a small shared machine), streamed and
                           dropped; curl -o /dev/null is the peer
Each row prints requests per second and the client process's CPU time per
request (for curl, its own CPU time); ratios are ours over the peer: the
rate's (above 1: we are faster) and the CPU's (the peer's CPU per request
over ours: above 1, we spend less).

Targets: every HTTP/1.1 row at least 2x httpx and at least aiohttp's rate
(the upload 5x httpx); HTTP/2 at least 3x httpx's. The upload row is bound
by the server and the kernel's copies of 8 MiB per request through
loopback: the client's own share shows in the CPU column."""

import argparse
import asyncio
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import _harness  # noqa: F401  (puts the developer build on sys.path)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
sys.path.insert(0, os.path.join(ROOT, "src"))

from quillon.client import Client, Limits, Timeout  # noqa: E402

BIG = os.urandom(4 << 20)
SMALL = os.urandom(64 << 10)
NGINX = shutil.which("nginx") or next((p for p in ("/usr/sbin/nginx",) if os.access(p, os.X_OK)), None)
# Peers are not our code: the sanitizer runtime stays out of them.
PEER_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(port, proc, what):
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            if proc.poll() is not None:
                break
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError(f"{what} did not start")


def start_server():
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.join(ROOT, "src"), *sys.path])))
    proc = subprocess.Popen([sys.executable, "-m", "quillon", "--port", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)
    wait_for(port, proc, "the server")
    return proc, f"http://127.0.0.1:{port}"


def start_nginx(size):
    """nginx serving a file of `size` bytes on cleartext HTTP/1.1 and h2
    (prior knowledge) ports: (process, work dir, h1 URL, h2 URL)."""
    work = tempfile.mkdtemp(prefix="quillon-bench-nginx-")
    os.chmod(work, 0o755)
    with open(os.path.join(work, "big"), "wb") as f:
        f.truncate(size)  # sparse: served from the page cache, no disk
    os.chmod(os.path.join(work, "big"), 0o644)
    h1, h2 = free_port(), free_port()
    temp = "\n".join(f"{kind}_temp_path {work}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi",
                                                                      "scgi"))
    with open(os.path.join(work, "nginx.conf"), "w") as f:
        f.write(f"""
worker_processes 1;
daemon off;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    {temp}
    sendfile on;
    server {{ listen 127.0.0.1:{h1}; root {work}; }}
    server {{ listen 127.0.0.1:{h2} http2; root {work}; }}
}}
""")
    conf = os.path.join(work, "nginx.conf")
    proc = subprocess.Popen([NGINX, "-p", work, "-e", os.path.join(work, "error.log"), "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=PEER_ENV)
    wait_for(h1, proc, "nginx")
    wait_for(h2, proc, "nginx")
    return proc, work, f"http://127.0.0.1:{h1}/big", f"http://127.0.0.1:{h2}/big"


class Ours:
    def __init__(self, http2=False):
        self.client = Client(http2=http2, limits=Limits(max_connections=100, max_keepalive_connections=100),
                             timeout=Timeout(60), trust_env=False)

    async def get(self, url):
        r = await self.client.get(url)
        assert r.status_code == 200

    async def post(self, url, body):
        r = await self.client.post(url, content=body)
        assert r.content == body

    async def download(self, url):
        n = 0
        async with self.client.stream("GET", url) as r:
            async for piece in r.aiter_bytes():
                n += len(piece)
        return n

    async def close(self):
        await self.client.aclose()


class Httpx:
    def __init__(self, http2=False):
        import httpx
        # http1=False: HTTP/2 with prior knowledge, as ours speaks it to http: URLs.
        self.client = httpx.AsyncClient(http1=not http2, http2=http2, limits=httpx.Limits(max_connections=100,
                                                                         max_keepalive_connections=100),
                                        timeout=60, trust_env=False)

    async def get(self, url):
        r = await self.client.get(url)
        assert r.status_code == 200

    async def post(self, url, body):
        r = await self.client.post(url, content=body)
        assert r.content == body

    async def download(self, url):
        n = 0
        async with self.client.stream("GET", url) as r:
            async for piece in r.aiter_bytes():
                n += len(piece)
        return n

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

    async def download(self, url):
        n = 0
        async with self.session.get(url) as r:
            async for piece in r.content.iter_any():
                n += len(piece)
        return n

    async def close(self):
        await self.session.close()


async def seq_get(c, base):
    for _ in range(1000):
        await c.get(base + "/bytes/1024")
    return 1000


async def seq_post(c, base):
    for _ in range(300):
        await c.post(base + "/echo", SMALL)
    return 300


async def conc_get(c, base):
    for _ in range(20):
        await asyncio.gather(*(c.get(base + "/bytes/1024") for _ in range(100)))
    return 2000


async def conc_post(c, base):
    for _ in range(3):
        await asyncio.gather(*(c.post(base + "/echo", SMALL) for _ in range(100)))
    return 300


async def upload(c, base):
    for _ in range(20):
        await c.post(base + "/echo", BIG)
    return 20


def measure(kind, load, base, http2=False, runs=3):
    """(requests per second, CPU microseconds per request), best of `runs`."""
    async def go():
        c = kind(http2)
        try:
            await load(c, base)  # warm-up: connections made, code paths hot
            best = None
            for _ in range(runs):
                t0, c0 = time.perf_counter(), time.process_time()
                n = await load(c, base)
                row = (n / (time.perf_counter() - t0), (time.process_time() - c0) / n * 1e6)
                best = row if best is None or row[0] > best[0] else best
            return best
        finally:
            await c.close()

    return asyncio.run(go())


def curl_download(url, http2):
    """(downloads per second, curl's CPU microseconds per download)."""
    args = ["curl", "-sS", "-o", "/dev/null", "--http2-prior-knowledge" if http2 else "--http1.1", url]
    best = None
    for _ in range(3):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(args, check=True, env=PEER_ENV)
        wall = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        row = (1 / wall, cpu * 1e6)
        best = row if best is None or row[0] > best[0] else best
    return best


def print_row(title, name, rate, cpu, ours):
    extra = "" if ours is None else f"{ours[0] / rate:>10.2f}x{cpu / ours[1]:>9.2f}x"
    print(f"{title:<30}{name:<10}{rate:>10,.1f}{cpu:>13,.0f}{extra}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=256, help="MiB of the download row (default 256)")
    parser.add_argument("--only", default="", help="run only the rows whose title holds this word")
    args = parser.parse_args()
    size = args.size << 20

    proc, base = start_server()
    nginx = start_nginx(size) if NGINX else None
    try:
        print(f"{'load':<30}{'client':<10}{'req/s':>10}{'CPU us/req':>13}{'rate ratio':>11}{'CPU ratio':>10}")
        rows = []
        for http2, version in ((False, "HTTP/1.1"), (True, "HTTP/2")):
            kinds = (Ours, Httpx) if http2 else (Ours, Httpx, Aiohttp)
            rows += [(f"seq GET 1 KiB {version}", seq_get, http2, kinds),
                     (f"seq POST 64 KiB {version}", seq_post, http2, kinds),
                     (f"100 conc GET 1 KiB {version}", conc_get, http2, kinds),
                     (f"100 conc POST 64 KiB {version}", conc_post, http2, kinds),
                     (f"upload 4 MiB {version}", upload, http2, kinds)]
        for title, load, http2, kinds in rows:
            if args.only not in title:
                continue
            ours = None
            for kind in kinds:
                try:
                    rate, cpu = measure(kind, load, base, http2)
                except ImportError as e:
                    print(f"{title:<30}{kind.__name__:<10}  not installed: {e.name}")
                    continue
                print_row(title, kind.__name__, rate, cpu, ours)
                ours = ours or (rate, cpu)
        for http2, version in ((False, "HTTP/1.1"), (True, "HTTP/2")):
            title = f"download {args.size} MiB {version}"
            if args.only not in title:
                continue
            url = (nginx[3] if http2 else nginx[2]) if nginx else base + f"/bytes/{size}"

            async def one(c, _base, url=url):
                assert await c.download(url) == size
                return 1

            ours = None
            for kind in (Ours, Httpx, Aiohttp)[: 2 if http2 else 3]:
                try:
                    rate, cpu = measure(kind, one, base, http2, runs=2)
                except ImportError as e:
                    print(f"{title:<30}{kind.__name__:<10}  not installed: {e.name}")
                    continue
                print_row(title, kind.__name__, rate, cpu, ours)
                ours = ours or (rate, cpu)
            if shutil.which("curl"):
                print_row(title, "curl", *curl_download(url, http2), ours)
        if not nginx:
            print("(nginx not installed: the download came from the example server)")
    finally:
        proc.terminate()
        proc.wait(timeout=15)
        if nginx:
            nginx[0].terminate()
            nginx[0].wait(timeout=15)
            shutil.rmtree(nginx[1], ignore_errors=True)


if __name__ == "__main__":
    main()
