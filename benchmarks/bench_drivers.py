"""The serving drivers in process, without sockets: each server's protocol
object is handed requests through `data_received` and writes its answers
to a transport that only counts them, so what is measured is the Python
around the protocol libraries and the event loop's own steps, not the
kernel's share (a third to a half of a small request's CPU under
`bench_servers.py`, the same for every server).

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_drivers.py

Rows, each CPU time per request over a few thousand requests on one
keep-alive connection, best of three runs, ratios against the peer of the
same design measured in this run:
  HTTP/1.1 handler   GET /bytes/64 from our demo routes (access log off, as
                     shipped otherwise: proxy headers and the server header
                     on) against the httptools peer of bench_servers.py,
                     one request per read; target: CPU/req <= the peer's
  ASGI HTTP/1.1      GET / from benchmarks/peers/asgi_app.py against
                     uvicorn's httptools protocol (access log off);
                     target: CPU/req <= 2/3 of uvicorn's
  HTTP/2 handler and ASGI HTTP/2: ten streams per read, no peer (shown for
                     the instruction counts below)

With --callgrind the same loads run under valgrind and each row reports
instructions per request instead (the difference of two run lengths, so
start-up drops out): slow, but the figure does not move with the
machine's load."""

import argparse
import asyncio
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE / "peers"), str(HERE.parent / "src")]
import _harness  # noqa: E402,F401  (puts QUILLON_BUILD_DIR on the path)

H1_GET = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nUser-Agent: h2load nghttp2/1.52.0\r\nAccept: */*\r\n\r\n"
WARMUP = 200


class CountingTransport:
    """The transport face a server protocol uses; `written` is set when an
    answer was written, for a load that waits for it."""

    def __init__(self):
        self.size = 0
        self.closing = False
        self.written = None

    def write(self, data):
        self.size += len(data)
        if self.written is not None and not self.written.done():
            self.written.set_result(None)

    def get_extra_info(self, name, default=None):
        return {"peername": ("127.0.0.1", 5555), "sockname": ("127.0.0.1", 8000)}.get(name, default)

    def is_closing(self):
        return self.closing

    def close(self):
        self.closing = True

    abort = close

    def set_write_buffer_limits(self, high=None, low=None):
        pass

    def pause_reading(self):
        pass

    def resume_reading(self):
        pass

    def get_write_buffer_size(self):
        return 0


def ours(app=None, eager=False, **settings):
    """A protocol object of our server, as `quillon` makes it."""
    from quillon.asgi import ASGIApp
    from quillon.config import Config
    from quillon.link import Link
    from quillon.server import Server, front

    config = Config(access_log=False, **settings)
    if app is None:
        from quillon.demo import route
        handler, eager = route, True
    else:
        handler = ASGIApp(app)
    server = Server(handler, config.timeouts(), eager=eager, config=config)
    server.handler = front(handler, server, config)
    return Link(server)


def httptools_peer():
    from peer_httptools import HttptoolsProtocol
    return HttptoolsProtocol()


def uvicorn_peer(app):
    from uvicorn.config import Config
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
    from uvicorn.server import ServerState

    config = Config(app=app, access_log=False, http="httptools", lifespan="off", log_level="warning")
    config.load()
    return HttpToolsProtocol(config=config, server_state=ServerState(), app_state={})


def h2_reads(total, path):
    """An HTTP/2 client's bytes, written by hand (no client library runs
    in the measured process): the preface, then reads of ten GETs, each
    with the connection window its answers take."""
    def frame(kind, flags, sid, payload):
        return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + sid.to_bytes(4, "big") + payload

    # :method GET and :scheme http from the static table; :path and
    # :authority as literals never indexed, so every block is alike.
    block = b"\x82\x86\x04" + bytes([len(path)]) + path + b"\x01\x01t"
    reads, sid = [b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + frame(4, 0, 0, b"")], 1
    for _ in range(total // 10):
        streams = []
        for _ in range(10):
            streams.append(frame(1, 5, sid, block))  # END_STREAM | END_HEADERS
            sid += 2
        reads.append(b"".join(streams) + frame(8, 0, 0, (2000).to_bytes(4, "big")))
    return reads


async def h1_sync(make, n, path):
    """Requests answered inside data_received (no task switch needed)."""
    protocol, t = make(), CountingTransport()  # made in the running loop, as a server makes it
    protocol.connection_made(t)
    request = H1_GET % path
    for _ in range(WARMUP):
        protocol.data_received(request)
    start = time.process_time()
    for _ in range(n):
        protocol.data_received(request)
    return time.process_time() - start, t.size


async def h1_async(make, n, path):
    """Requests answered from a task: each waits for its answer's write."""
    protocol, t = make(), CountingTransport()  # made in the running loop, as a server makes it
    protocol.connection_made(t)
    request = H1_GET % path
    loop = asyncio.get_running_loop()

    async def one():
        t.written = loop.create_future()
        protocol.data_received(request)
        await t.written

    for _ in range(WARMUP):
        await one()
    start = time.process_time()
    for _ in range(n):
        await one()
    return time.process_time() - start, t.size


async def h2(make, n, path):
    protocol, t = make(), CountingTransport()  # made in the running loop, as a server makes it
    protocol.connection_made(t)
    reads = h2_reads(n + 10 * WARMUP, path)
    protocol.data_received(reads[0])
    warm = WARMUP // 10 + 1
    for i, data in enumerate(reads[1:], 1):
        if i == warm:
            start = time.process_time()
        protocol.data_received(data)
        for _ in range(4):  # the read pump, the handlers, the write pump
            await asyncio.sleep(0)
    return time.process_time() - start, t.size


def app():
    from asgi_app import app as bare
    return bare


# name -> (load, protocol factory, path, peer row or None, target (peer CPU / ours) or None)
ROWS = {
    "HTTP/1.1 handler": (h1_sync, lambda: ours(), b"/bytes/64", "httptools peer", 1.0),
    "httptools peer": (h1_sync, httptools_peer, b"/bytes/64", None, None),
    "ASGI HTTP/1.1": (h1_async, lambda: ours(app()), b"/", "uvicorn (httptools)", 1.5),
    "uvicorn (httptools)": (h1_async, lambda: uvicorn_peer(app()), b"/", None, None),
    "HTTP/2 handler": (h2, lambda: ours(h2_max_concurrent_streams=1000), b"/bytes/64", None, None),
    "ASGI HTTP/2": (h2, lambda: ours(app(), h2_max_concurrent_streams=1000), b"/", None, None),
}


def run_row(name, n):
    load, make, path, _peer, _target = ROWS[name]
    return asyncio.run(load(make, n, path))


def cpu_per_request(name, n, repeat):
    best = min(run_row(name, n)[0] for _ in range(repeat))
    return best / n * 1e6


COLLECTED = re.compile(rb"Collected : (\d+)")


def instructions_per_request(name, n):
    """Under callgrind: (I(2n) - I(n)) / n, start-up and warm-up cancelling out."""
    def collected(count):
        r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                            __file__, "--one", name, "-n", str(count)], capture_output=True, env=os.environ)
        m = COLLECTED.search(r.stderr)
        if r.returncode != 0 or not m:
            raise RuntimeError(r.stderr.decode(errors="replace")[-300:])
        return int(m[1])

    return (collected(2 * n) - collected(n)) / n


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", "--requests", type=int, default=20000, help="requests per run (default 20000)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per row, best kept (default 3)")
    ap.add_argument("--callgrind", action="store_true", help="instructions per request under valgrind")
    ap.add_argument("--one", choices=ROWS, help=argparse.SUPPRESS)  # a single run, for --callgrind
    args = ap.parse_args()
    if args.one:
        run_row(args.one, args.requests)
        return 0
    if args.callgrind and shutil.which("valgrind") is None:
        print("valgrind is not installed")
        return 2
    unit = "instructions" if args.callgrind else "CPU us"
    print(f"Drivers in process, {args.requests} requests per run; {unit} per request")
    figures = {}
    for name, (_load, _make, _path, peer, target) in ROWS.items():
        if args.callgrind:
            figures[name] = instructions_per_request(name, min(args.requests, 5000))
        else:
            figures[name] = cpu_per_request(name, args.requests, args.repeat)
        line = f"  {name:<22}{figures[name]:>12,.{0 if args.callgrind else 2}f}"
        print(line)
    print("\nTargets (peer / ours, same run)")
    for name, (_load, _make, _path, peer, target) in ROWS.items():
        if peer is None:
            continue
        ratio = figures[peer] / figures[name]
        print(f"  {name} vs {peer}: {ratio:.2f}x (target >= {target:g}x: {'met' if ratio >= target else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
