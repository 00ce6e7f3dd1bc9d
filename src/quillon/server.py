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
within the timeouts and buffer bounds the README lists.

What the server itself adds to every exchange (proxy headers, the
concurrency limit, default response headers) wraps the handler once, in
`front`, so the drivers know nothing of it and pay nothing for what is off.

    quillon.run(app, **settings)        # the whole process: workers, reload, exit status
    await quillon.serve(app, config)    # one server in the running loop"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import os
import signal
import socket
import ssl
from collections.abc import Awaitable, Callable, Coroutine
from typing import Any

import _quillon as q

from . import workers
from .app import AppError, AppRef, Application, resolve
from .asgi import ASGIApp, Lifespan, LifespanError
from .config import Config, ConfigError, Trusted, direct_stream, fail
from .h1server import H1ServerConnection
from .h2server import H2ServerConnection
from .handler import Handler, Push, Request, Respond, Response, error_response, push_of
from .link import Link, Timeouts, close_transport

logger = logging.getLogger("quillon.error")
access_logger = logging.getLogger("quillon.access")

# Exit statuses beside 0: a bad setting or application reference (as for
# any command line usage error), a socket that cannot be had, an
# application whose startup failed (uvicorn's number for it).
EXIT_USAGE, EXIT_BIND, EXIT_STARTUP = 2, 1, 3


class StartupError(Exception):
    """The application could not start (its lifespan startup failed)."""


# ---------------------------------------------------------------------------
# Server


class Server:
    """Accepts sockets, hands each to the driver of its protocol, logs
    requests, and shuts down gracefully."""

    def __init__(self, handler: Handler, timeouts: Timeouts | None = None, eager: bool = False, *,
                 config: Config | None = None) -> None:
        config = config if config is not None else Config()
        self.handler = handler
        self.eager = eager  # the handler is written to start outside a task (see handler.start)
        self.timeouts = timeouts or config.timeouts()
        self.h2_settings = config.h2_settings()
        self.send_budget = config.h2_send_budget
        self.date_header = config.date_header
        self.max_connections = config.limit_connections
        self.max_requests = config.limit_max_requests
        self.websocket = config.websocket()  # WebSocket options, None when not served
        self.links: set[Link] = set()  # open sockets
        self.connections: set[Any] = set()  # connection states, for shutdown
        self.tasks: set[asyncio.Task[Any]] = set()
        self.active = 0  # requests whose handler is running, when a concurrency limit counts them
        self.served = 0
        self.stopping = asyncio.Event()
        # Held as None when off, so a request costs the log nothing then.
        on = config.access_log and access_logger.isEnabledFor(logging.INFO)
        self.access: logging.Logger | None = access_logger if on else None
        self.direct = direct_stream(access_logger) if on else None
        self.proxied = config.proxy_headers  # the client address may differ from the socket's peer

    @property
    def push(self) -> Push | None:
        return push_of(self.handler)

    def connection_made(self, link: Link) -> None:
        if self.max_connections is not None and len(self.links) > self.max_connections:
            link.close()
            return
        if link.alpn() == "h2":
            self.spawn(self.serve_h2(link, b""))
        else:
            H1ServerConnection(q.H1Codec(date_header=self.date_header), link).start(link, self)

    def log(self, peer: str, request: Request, status: int | None, note: str | None = None) -> None:
        """One line per request on the access logger: the status sent ("-"
        when none was), and how it ended when that was not the normal way.
        Each driver calls it once per request, so it also counts them."""
        if self.max_requests is not None:
            self.served += 1
            if self.served == self.max_requests:
                logger.info("served %d requests: restarting", self.served)
                self.stop()
        if self.access is None:
            return
        if self.proxied and request.client is not None:
            peer = f"{request.client[0]}:{request.client[1]}"
        if self.direct is not None:
            self.direct.write(f'{peer} "{request.method} {request.target} {request.version}" '
                              f'{"-" if status is None else status}{f" {note}" if note else ""}\n')
            return
        self.access.info('%s "%s %s %s" %s%s', peer, request.method, request.target, request.version,
                         "-" if status is None else status, f" {note}" if note else "")

    def stop(self) -> None:
        """Begins the graceful shutdown."""
        self.stopping.set()

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
        h2 = H2ServerConnection("server", **self.h2_settings)
        self.connections.add(h2)
        try:
            await h2.serve(link, self, preface, self.send_budget, self.h2_settings["max_concurrent_streams"])
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


# ---------------------------------------------------------------------------
# What the server adds around the application


def front(handler: Handler, server: Server, config: Config) -> Handler:
    """`handler` with what the settings add to each exchange: the client
    address and scheme a trusted proxy reports, 503 past the concurrency
    limit, the default response headers. `handler` itself when none is on."""
    defaults = config.default_headers()
    trusted = config.trusted_proxies() if config.proxy_headers else None
    limit = config.limit_concurrency
    if not defaults and trusted is None and limit is None:
        return handler
    uds = config.uds

    def add_defaults(response: Response) -> Response:
        headers = response.headers
        # Fixed responses share their header map; adding the same fields to
        # it each time leaves it as the first time did.
        for name, value in defaults:
            headers.setdefault(name, value)
        return response

    def admit(request: Request) -> bool:
        """Takes what a trusted proxy reports; False past the concurrency limit."""
        if trusted is not None and forwarded(request.headers):
            # A UNIX socket's peer has no address: it is the socket's path.
            peer = request.client[0] if request.client is not None else uds
            if peer in trusted:
                apply_proxy_headers(request, trusted)
        return limit is None or not (server.active >= limit or len(server.links) > limit)

    async def serve_request(request: Request) -> Response:
        if not admit(request):
            return add_defaults(error_response(503, "service unavailable"))
        if limit is None:
            return add_defaults(await handler(request))
        server.active += 1
        try:
            return add_defaults(await handler(request))
        finally:
            server.active -= 1

    push = push_of(handler)
    if push is None:
        return serve_request

    async def settled(answer: Awaitable[Response]) -> Response:
        return add_defaults(await answer)

    def uncount(_task: asyncio.Task[Any]) -> None:
        server.active -= 1

    def push_request(request: Request, respond: Respond) -> asyncio.Task[Any] | None:
        if not admit(request):
            # Answered from the loop, as a push always is: a driver may
            # serve the next pipelined request from `respond`.
            asyncio.get_running_loop().call_soon(respond, add_defaults(error_response(503, "service unavailable")))
            return None
        def respond_in_front(answer: Response | Awaitable[Response]) -> None:
            respond(add_defaults(answer) if isinstance(answer, Response) else settled(answer))

        assert push is not None
        task = push(request, respond_in_front)
        if limit is not None and task is not None:
            # Counted until the task ends, however it ends (one cancelled
            # before its first step never answers).
            server.active += 1
            task.add_done_callback(uncount)
        return task

    return Pushing(serve_request, push_request)


class Pushing:
    """A handler that also pushes (see `handler.Push`)."""

    __slots__ = ("call", "push")

    def __init__(self, call: Handler, push: Push) -> None:
        self.call = call
        self.push = push

    def __call__(self, request: Request) -> Awaitable[Response]:
        return self.call(request)


SCHEMES = {"http", "https", "ws", "wss"}


def forwarded(headers: q.HeaderMap) -> bool:
    """Whether a proxy reported anything: most requests need no more look."""
    return "forwarded" in headers or "x-forwarded-for" in headers or "x-forwarded-proto" in headers


def apply_proxy_headers(request: Request, trusted: Trusted) -> None:
    """The client and scheme a trusted proxy reports, from `Forwarded` or
    else `X-Forwarded-For`/`-Proto`. Each proxy appends the address it
    received from, so the list is read from the right: the first address
    not itself a trusted proxy is the client (the leftmost when all are)."""
    headers = request.headers
    hops: list[tuple[str | None, str | None]] = []  # (for, proto) per hop, leftmost first
    forwarded = headers.get_all("forwarded")
    if forwarded:
        for element in b",".join(forwarded).decode("latin-1").split(","):
            pairs = dict(pair_of(p) for p in element.split(";") if "=" in p)
            hops.append((pairs.get("for"), pairs.get("proto")))
    else:
        fors = headers.get_all("x-forwarded-for")
        protos = [p.strip() for p in b",".join(headers.get_all("x-forwarded-proto")).decode("latin-1").split(",")]
        protos = [p for p in protos if p]
        if not fors and not protos:
            return
        addresses = [a.strip() for a in b",".join(fors).decode("latin-1").split(",") if a.strip()]
        if not addresses:
            hops = [(None, protos[-1])]
        else:
            aligned = len(protos) == len(addresses)
            hops = [(a, protos[i] if aligned else (protos[-1] if protos else None)) for i, a in enumerate(addresses)]
    if not hops:
        return
    chosen = hops[0]
    for hop in reversed(hops):
        host = hop[0] and split_host(hop[0])[0]
        if host not in trusted:
            chosen = hop
            break
    if chosen[0] is not None and chosen[0].lower() != "unknown" and not chosen[0].startswith("_"):
        request.client = split_host(chosen[0])
    if chosen[1] is not None and chosen[1].lower() in SCHEMES:
        request.scheme = chosen[1].lower()


def pair_of(text: str) -> tuple[str, str]:
    key, _, value = text.partition("=")
    value = value.strip()
    if len(value) >= 2 and value[0] == value[-1] == '"':
        value = value[1:-1].replace('\\"', '"')
    return key.strip().lower(), value


def split_host(node: str) -> tuple[str, int]:
    """(host, port) of a forwarded node: "1.2.3.4", "1.2.3.4:80",
    "[2001:db8::1]:80", or a bare IPv6 address; port 0 when none."""
    if node.startswith("["):
        host, _, rest = node[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
    elif node.count(":") == 1:
        host, _, port = node.partition(":")
    else:
        host, port = node, ""
    return host, int(port) if port.isdigit() else 0


# ---------------------------------------------------------------------------
# One server in the running loop


async def serve(app: AppRef | Application | None = None, config: Config | None = None, *,
                sock: socket.socket | None = None, ready: Callable[[Server], object] | None = None) -> None:
    """Serves `app` (an ASGI 3 application, a handler, "module:name", or
    None for the demo routes) until SIGINT or SIGTERM, or until the
    `Server` handed to `ready` once listening is told to `stop()`. Listens
    where `config` says unless given a listening `sock`. Logging is the
    caller's to set up (`config.configure_logging()`)."""
    config = config if config is not None else Config()
    application = app if isinstance(app, Application) else resolve(app, config)
    tls = config.ssl_context()
    own = sock is None
    if sock is None:
        sock = config.bind()
    try:
        await serve_socket(sock, application, config, tls, ready)
    finally:
        if own:
            release(sock, config)


async def serve_socket(sock: socket.socket, application: Application, config: Config,
                       tls: ssl.SSLContext | None, ready: Callable[[Server], object] | None = None) -> None:
    """`serve` on a listening socket, with the application found and the
    TLS context made: what each worker process runs."""
    lifespan = None
    asgi = application.asgi
    if asgi is not None:
        if config.lifespan != "off":
            lifespan = Lifespan(asgi)
            try:
                await lifespan.startup()
            except LifespanError as e:
                raise StartupError(f"{application.name}: {e}") from None
            if config.lifespan == "on" and not lifespan.supported:
                await lifespan.shutdown()
                raise StartupError(f"--lifespan on: {application.name} does not support the lifespan scope")
        handler: Handler = ASGIApp(asgi, state=None if lifespan is None else lifespan.state,
                                   root_path=config.root_path, grace=config.handler_grace)
    else:
        assert application.handler is not None
        handler = application.handler
    server = Server(handler, config.timeouts(), eager=application.eager, config=config)
    server.handler = front(handler, server, config)
    loop = asyncio.get_running_loop()
    listener = None
    signals: list[signal.Signals] = []
    try:
        listener = await loop.create_server(lambda: Link(server), sock=sock, ssl=tls, backlog=config.backlog)
        for sig in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.add_signal_handler(sig, server.stop)
                signals.append(sig)
            except (ValueError, RuntimeError):  # not the main thread: the caller stops it
                break
        logger.info("serving %s on %s (pid %d)", application.name, where(sock, config, tls), os.getpid())
        if ready is not None:
            ready(server)
        await server.stopping.wait()
        logger.info("shutting down")
    finally:
        for sig in signals:
            loop.remove_signal_handler(sig)
        if listener is not None:
            listener.close()
        await server.shutdown()
        if listener is not None:
            await listener.wait_closed()
        if lifespan is not None:
            await lifespan.shutdown()


def where(sock: socket.socket, config: Config, tls: ssl.SSLContext | None) -> str:
    name = sock.getsockname()
    if isinstance(name, tuple):
        host = f"[{name[0]}]" if ":" in name[0] else name[0]
        return f"{'https' if tls else 'http'}://{host}:{name[1]}"
    return f"unix:{name}" if name else config.address(tls is not None)


def release(sock: socket.socket, config: Config) -> None:
    """Closes a socket the server made (the listener has closed it already
    when it served); a UNIX socket's file goes with it."""
    if sock.family == socket.AF_UNIX and config.uds is not None:
        try:
            os.unlink(config.uds)
        except OSError:
            pass
    sock.close()


# ---------------------------------------------------------------------------
# The whole process


def run(app: AppRef | None = None, /, **settings: Any) -> None:
    """Serves `app` as the command line would, with `settings` (the names
    of `Config`'s fields) over those of the environment (`QUILLON_*`):
    workers, reload and logging included. Returns after a clean shutdown;
    bad settings or a failed start print one line on stderr and raise
    SystemExit with a non-zero status."""
    try:
        config = Config.from_env(**settings)
    except ConfigError as e:
        fail(e)
        raise SystemExit(EXIT_USAGE) from None
    status = launch(app, config)
    if status:
        raise SystemExit(status)


def launch(app: AppRef | None, config: Config) -> int:
    """Runs the server as `config` says and returns the exit status."""
    sock = None
    try:
        try:
            config.configure_logging()
            if config.reload:
                from . import reload
                status: int = reload.run(app, config)
                return status
            application = resolve(app, config)
            tls = config.ssl_context()
            workers.use_loop(config.loop)
        except (ConfigError, AppError) as e:
            fail(e)
            return EXIT_USAGE
        supervised = config.workers > 1 or config.limit_max_requests is not None
        try:
            # Separate listening sockets (SO_REUSEPORT) are each worker's own;
            # the parent only holds the port, bound and not listening.
            sock = config.bind(reuse_port=True, listen=False) if config.reuse_port() else config.bind()
        except OSError as e:
            fail(e.strerror or e)
            return EXIT_BIND
        if config.reuse_port():  # port 0 is resolved once, for every worker
            config = dataclasses.replace(config, port=sock.getsockname()[1])
        if not supervised:
            asyncio.run(serve_socket(sock, application, config, tls))
            return 0
        shared = None if config.reuse_port() else sock

        def worker(ready: Callable[[], None]) -> int:
            try:
                workers.use_loop(config.loop)
                listening = shared if shared is not None else config.bind(reuse_port=True)
                asyncio.run(serve_socket(listening, application, config, tls, lambda _server: ready()))
            except StartupError as e:
                raise workers.WorkerFailed(EXIT_STARTUP, str(e)) from None
            except OSError as e:
                raise workers.WorkerFailed(EXIT_BIND, str(e.strerror or e)) from None
            return 0

        return workers.Supervisor(worker, config.workers, config.timeout_graceful_shutdown).run()
    except StartupError as e:
        fail(e)
        return EXIT_STARTUP
    except KeyboardInterrupt:
        return 0
    finally:
        if sock is not None:
            release(sock, config)
