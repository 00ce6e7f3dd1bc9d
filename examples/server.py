"""A small asyncio HTTP/1.1 and HTTP/2 server driven entirely by the `_quillon` core.

    python examples/server.py [--host 127.0.0.1] [--port 8080] [--tls CERT KEY]
        [--handler MODULE:NAME | --asgi MODULE:APP] [--workers N] [--loop asyncio|uvloop]
        [--head-timeout 10] [--idle-timeout 5] [--write-timeout 30] [--shutdown-timeout 10]

Routes:
    /          a small HTML page
    /echo      the request body echoed back (chunked, with a trailer, when the
               request body was chunked)
    /bytes/N   N bytes, streamed in 16 KiB pieces
    /slow      a few lines with pauses between them (stops early when the
               client goes away)

HTTP/2 runs over cleartext with prior knowledge (the HTTP/1 codec spots the
client preface and the bytes move to `H2Streams.prime`) and over TLS when
ALPN picks h2.

Every protocol decision is the core's: `H1ServerState` says where the next
read comes from, who owns the transport read, whether a response may be
written and whether the connection is reused; `H1Codec` parses and frames
the bytes; `H2Streams` keeps every stream's state and window and hands back
the frames to write as one batch. The drivers (`h1driver.py`, `h2driver.py`
on the socket of `link.py`) only move bytes between the socket and the core
and run the handlers (`handler.py`; `asgi.py` makes an ASGI application
one), within the timeouts and buffer bounds the README lists. This file
holds the routes and the server around them; `workers.py` runs several.
SIGINT/SIGTERM stop accepting, let requests in flight finish within the
shutdown timeout, and close idle connections at once.
"""

from __future__ import annotations

import argparse
import asyncio
import signal
import socket
import ssl
import sys
from collections.abc import AsyncIterator, Coroutine
from typing import Any

import _quillon as q
import workers
from asgi import ASGIApp, Lifespan, LifespanError, load_app
from h1driver import H1ServerConnection
from handler import TEXT, BodyTooLarge, Handler, Request, Response, error_response
from h2driver import H2ServerConnection
from link import Link, Timeouts, close_transport

PIECE = 16384
MAX_ECHO = 64 * 1024 * 1024  # an echo body is held in memory; bound it
# DATA bytes one HTTP/2 connection may hold queued for a client that does
# not read them, across all its streams.
H2_SEND_BUDGET = 1024 * 1024
H2_SETTINGS: dict[str, Any] = dict(
    initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384, max_header_list_size=65536,
    max_send_buf_size=1 << 20, max_concurrent_streams=128)

INDEX = b"""<!doctype html>
<html><head><title>quillon example</title></head>
<body><h1>It works</h1>
<p>Served by an asyncio driver over the <code>_quillon</code> protocol core.</p>
<ul><li><a href="/echo">/echo</a> (POST a body)</li>
<li><a href="/bytes/1024">/bytes/1024</a></li><li><a href="/slow">/slow</a></li></ul>
</body></html>
"""

# Header maps of the fixed responses, built once: the drivers only read them.
HTML = q.HeaderMap({"content-type": "text/html; charset=utf-8"})
OCTETS = q.HeaderMap({"content-type": "application/octet-stream"})
BLOCK = b"x" * PIECE


# ---------------------------------------------------------------------------
# Handlers (shared by every protocol)


async def index(request: Request) -> Response:
    return Response(200, HTML, INDEX)


async def echo(request: Request) -> Response:
    try:
        body = await request.body(MAX_ECHO)
    except BodyTooLarge:
        return error_response(413, "body too large for the echo route")
    headers: dict[str, str | bytes] = {
        "content-type": request.headers.get("content-type", b"application/octet-stream")}
    if request.version != "HTTP/2" and b"chunked" not in request.headers.get("transfer-encoding", b"").lower():
        return Response(200, headers, body)
    # A trailer for a client that can take one: over HTTP/2, or one that sent chunks.
    headers["trailer"] = "x-echo-length"
    return Response(200, headers, body, trailers=q.HeaderMap({"x-echo-length": str(len(body))}))


async def stream_bytes(n: int) -> AsyncIterator[bytes]:
    while n > 0:
        piece = BLOCK[: min(n, PIECE)]
        n -= len(piece)
        yield piece


async def some_bytes(request: Request) -> Response:
    try:
        n = int(request.path[len("/bytes/"):])
    except ValueError:
        n = -1
    if not 0 <= n <= 1 << 34:
        return error_response(400, "bad length")
    if n <= PIECE:
        return Response(200, OCTETS, BLOCK[:n])
    return Response(200, OCTETS, stream=stream_bytes(n), length=n)


async def slow_lines(request: Request) -> AsyncIterator[bytes]:
    for i in range(5):
        if request.peer_gone.is_set():
            return
        yield b"line %d\n" % i
        try:
            await asyncio.wait_for(request.peer_gone.wait(), 0.2)
        except asyncio.TimeoutError:
            pass


async def slow(request: Request) -> Response:
    return Response(200, TEXT, stream=slow_lines(request))


async def not_found(request: Request) -> Response:
    return error_response(404, "not found")


ROUTES: dict[str, Handler] = {"/": index, "/echo": echo, "/slow": slow}


async def route(request: Request) -> Response:
    """The server's one handler: picks a route's handler by path."""
    handler = ROUTES.get(request.path)
    if handler is None:
        handler = some_bytes if request.path.startswith("/bytes/") else not_found
    return await handler(request)


# ---------------------------------------------------------------------------
# Server


class Server:
    """Accepts sockets, hands each to the driver of its protocol, logs
    requests, and shuts down gracefully."""

    def __init__(self, handler: Handler, timeouts: Timeouts | None = None, eager: bool = False) -> None:
        self.handler = handler
        self.eager = eager  # the handler is written to start outside a task (see handler.start)
        self.timeouts = timeouts or Timeouts()
        self.links: set[Link] = set()  # open sockets
        self.connections: set[Any] = set()  # connection states, for shutdown
        self.tasks: set[asyncio.Task[Any]] = set()
        self.out = sys.stdout

    def connection_made(self, link: Link) -> None:
        if link.alpn() == "h2":
            self.spawn(self.serve_h2(link, b""))
        else:
            H1ServerConnection(q.H1Codec(), link).start(link, self)

    def log(self, peer: str, request: Request, status: int | None, note: str | None = None) -> None:
        """One line per request: the status sent ("-" when none was), and
        how it ended when that was not the normal way."""
        line = f'{peer} "{request.method} {request.target} {request.version}" {"-" if status is None else status}'
        self.out.write(f"{line} {note}\n" if note else line + "\n")

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> None:
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def serve_h2(self, link: Link, preface: bytes) -> None:
        """Runs an HTTP/2 connection on `link`, starting from the bytes
        already read (the client preface, whole or in part, and maybe more)."""
        link.deadline(link.timeouts.head, link.close)
        while len(preface) < len(q.H2_PREFACE):
            more = await link.read()
            if not more:
                link.close()
                return
            preface += more
        h2 = H2ServerConnection("server", **H2_SETTINGS)
        self.connections.add(h2)
        try:
            await h2.serve(link, self, preface, H2_SEND_BUDGET)
        finally:
            self.connections.discard(h2)
            link.close()

    async def shutdown(self) -> None:
        """Stops new requests, lets those in flight finish within the
        shutdown timeout, then cuts whatever is left."""
        for conn in list(self.connections):
            if isinstance(conn, H2ServerConnection):
                conn.wake(conn.begin_graceful_shutdown())
            else:
                close_transport(conn.request_shutdown())
        links = [asyncio.ensure_future(link.gone.wait()) for link in list(self.links)]
        if links:
            _done, pending = await asyncio.wait(links, timeout=self.timeouts.shutdown)
            for w in pending:
                w.cancel()
        for link in list(self.links):
            link.abort()
        if self.tasks:  # handlers see the cut and log it
            await asyncio.wait(list(self.tasks), timeout=1.0)


def make_tls(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    return ctx


def load_handler(ref: str) -> Handler:
    """MODULE:NAME, the module importable from the working directory."""
    handler: Handler = load_app(ref)  # type: ignore[assignment]
    return handler


def timeout(text: str) -> float | None:
    """A timeout option: seconds, or 0 for none."""
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("a timeout is 0 (none) or more seconds")
    return value or None


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    app = ap.add_mutually_exclusive_group()
    app.add_argument("--handler", metavar="MODULE:NAME",
                     help="serve this async handler instead of the example routes")
    app.add_argument("--asgi", metavar="MODULE:APP", help="serve this ASGI 3 application (with its lifespan)")
    workers.add_arguments(ap)
    d = Timeouts()
    ap.add_argument("--head-timeout", type=timeout, default=d.head, metavar="S",
                    help=f"seconds to receive a whole request head (default {d.head})")
    ap.add_argument("--idle-timeout", type=timeout, default=d.idle, metavar="S",
                    help=f"seconds a connection may wait idle or for more of a body (default {d.idle})")
    ap.add_argument("--write-timeout", type=timeout, default=d.write, metavar="S",
                    help=f"seconds a write may make no progress (default {d.write})")
    ap.add_argument("--shutdown-timeout", type=float, default=d.shutdown, metavar="S",
                    help=f"seconds requests in flight get on shutdown (default {d.shutdown})")
    return ap.parse_args(argv)


async def serve(sock: socket.socket, args: argparse.Namespace) -> int:
    """Serves on the listening `sock` until SIGINT or SIGTERM."""
    lifespan = None
    if args.asgi:
        app = load_app(args.asgi)
        lifespan = Lifespan(app)
        try:
            await lifespan.startup()
        except LifespanError as e:
            print(f"startup failed: {e}", file=sys.stderr, flush=True)
            return 1
        handler: Handler = ASGIApp(app, state=lifespan.state)
    else:
        handler = load_handler(args.handler) if args.handler else route
    server = Server(handler, Timeouts(args.head_timeout, args.idle_timeout, args.write_timeout, args.shutdown_timeout),
                    eager=handler is route)
    tls = make_tls(*args.tls) if args.tls else None
    loop = asyncio.get_running_loop()
    listener = await loop.create_server(lambda: Link(server), sock=sock, ssl=tls)
    port = sock.getsockname()[1]
    print(f"serving on {'https' if tls else 'http'}://{args.host}:{port}", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    print("shutting down", flush=True)
    listener.close()
    await server.shutdown()
    await listener.wait_closed()
    if lifespan is not None:
        await lifespan.shutdown()
    return 0


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    return workers.serve_on(lambda sock: serve(sock, args), args.host, args.port, workers=args.workers,
                            loop=args.loop)


if __name__ == "__main__":
    sys.exit(main())
