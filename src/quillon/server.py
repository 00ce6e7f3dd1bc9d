"""The serving loop: accepts sockets, hands each to the driver of its
protocol (HTTP/2 when ALPN picks it or the cleartext bytes start with the
client preface, HTTP/1.1 otherwise), logs each request, and shuts down
gracefully: SIGINT/SIGTERM stop accepting, let requests in flight finish
within the shutdown timeout, and close idle connections at once.

Every protocol decision is the core's: `H1ServerState` says where the next
read comes from, who owns the transport read, whether a response may be
written and whether the connection is reused; `H1Codec` parses and frames
the bytes; `H2Streams` keeps every stream's state and window and hands back
the frames to write as one batch. The drivers (`h1server`, `h2server` over
`h2`, on the socket of `link`) only move bytes between the socket and the
core and run the handlers (`handler`; `asgi` makes an ASGI application one),
within the timeouts and buffer bounds the README lists."""

from __future__ import annotations

import argparse
import asyncio
import signal
import socket
import ssl
import sys
from collections.abc import Coroutine
from typing import Any

import _quillon as q

from . import workers
from .asgi import ASGIApp, Lifespan, LifespanError, load_app
from .h1server import H1ServerConnection
from . import demo
from .handler import Handler, Request
from .h2server import H2ServerConnection
from .link import Link, Timeouts, close_transport

# DATA bytes one HTTP/2 connection may hold queued for a client that does
# not read them, across all its streams.
H2_SEND_BUDGET = 1024 * 1024
H2_SETTINGS: dict[str, Any] = dict(
    initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384, max_header_list_size=65536,
    max_send_buf_size=1 << 20, max_concurrent_streams=128)

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
            await h2.serve(link, self, preface, H2_SEND_BUDGET, H2_SETTINGS["max_concurrent_streams"])
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
        handler = load_handler(args.handler) if args.handler else demo.route
    server = Server(handler, Timeouts(args.head_timeout, args.idle_timeout, args.write_timeout, args.shutdown_timeout),
                    eager=handler is demo.route)
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
