"""Opening a connection: TCP, a proxy's CONNECT tunnel, TLS and ALPN, each
failure as the client's own exception."""

from __future__ import annotations

import asyncio
import collections
import os
import ssl
from collections.abc import Awaitable, Callable
from typing import TypeVar, cast

import _quillon as q

from ._errors import ConnectError, ConnectTimeout, ProxyError, ReadError, ReadTimeout, WriteError, WriteTimeout

READ_SIZE = 65536
# Unread bytes a connection holds before it stops reading from the socket:
# above the event loop's largest single read (256 KiB), so a reader that
# keeps up never pauses (each pause and resume is a pair of epoll calls).
INBOX_LIMIT = 512 * 1024
# A proxy's answer to CONNECT is a head and nothing more; one larger than
# this is not a proxy we can talk to.
TUNNEL_HEAD_LIMIT = 65536
T = TypeVar("T")


class Stale(Exception):
    """The connection ended under a request before any of its answer came.
    `unsent`: the server cannot have acted on it (never written, refused,
    or beyond the server's GOAWAY), so any request may go again; otherwise
    only one that may be repeated. `busy`: the server went on to answer
    other requests of that connection (an HTTP/2 GOAWAY past stream 0),
    so the refusal says it was full, not that this request fails."""

    def __init__(self, message: str, unsent: bool = False, busy: bool = False) -> None:
        super().__init__(message)
        self.unsent = unsent
        self.busy = busy


class Transport(asyncio.Protocol):
    """A connected socket, read as the bytes arrive: each read hands back
    what the loop delivered, with no stream buffer copying it in and out.
    Reading pauses once INBOX_LIMIT unread bytes wait, so a server that
    sends what nobody reads costs that much. `reader` and `writer` are the
    object itself: the faces the connection drivers read and write through."""

    def __init__(self) -> None:
        self.transport: asyncio.Transport | None = None
        self.inbox: collections.deque[bytes] = collections.deque()
        self.inbox_size = 0
        self.eof = False
        self.error: BaseException | None = None
        self.waiter: asyncio.Future[None] | None = None
        self.drained: asyncio.Future[None] | None = None
        self.writing_paused = False
        self.reading_paused = False
        self.reader = self.writer = self

    # asyncio.Protocol

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = cast(asyncio.Transport, transport)

    def data_received(self, data: bytes) -> None:
        self.inbox.append(data)
        self.inbox_size += len(data)
        if self.inbox_size >= INBOX_LIMIT and not self.reading_paused and self.transport is not None:
            self.reading_paused = True
            self.transport.pause_reading()
        self.wake()

    def eof_received(self) -> bool:
        self.eof = True
        self.wake()
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.eof = True
        self.error = exc
        self.wake()
        drained, self.drained = self.drained, None
        if drained is not None and not drained.done():
            drained.set_result(None)  # the writer finds the error itself

    def pause_writing(self) -> None:
        self.writing_paused = True

    def resume_writing(self) -> None:
        self.writing_paused = False
        drained, self.drained = self.drained, None
        if drained is not None and not drained.done():
            drained.set_result(None)

    def wake(self) -> None:
        waiter, self.waiter = self.waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    # the reader and writer faces

    async def read(self, _size: int = READ_SIZE) -> bytes:
        """The next bytes that arrived; b"" at the end; the connection's
        error when it failed."""
        while not self.inbox:
            if self.eof:
                if self.error is not None:
                    raise ConnectionResetError(str(self.error)) from self.error
                return b""
            self.waiter = asyncio.get_running_loop().create_future()
            await self.waiter
        data = self.inbox.popleft()
        self.inbox_size -= len(data)
        if self.reading_paused and self.inbox_size < INBOX_LIMIT and self.transport is not None:
            self.reading_paused = False
            self.transport.resume_reading()
        return data

    def at_eof(self) -> bool:
        return self.eof and not self.inbox

    def write(self, data: bytes | memoryview) -> None:
        if self.transport is not None:
            self.transport.write(data)

    async def drain(self) -> None:
        if self.error is not None:
            raise ConnectionResetError(str(self.error))
        if self.transport is None or self.transport.is_closing():
            raise ConnectionResetError("connection closed")
        if self.writing_paused:
            if self.drained is None:
                self.drained = asyncio.get_running_loop().create_future()
            await asyncio.shield(self.drained)
            if self.error is not None or self.transport.is_closing():
                raise ConnectionResetError(str(self.error or "connection closed"))

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()

    @property
    def alpn(self) -> str | None:
        obj = None if self.transport is None else self.transport.get_extra_info("ssl_object")
        return None if obj is None else obj.selected_alpn_protocol()

    async def start_tls(self, ctx: ssl.SSLContext, server_hostname: str) -> None:
        assert self.transport is not None
        tls = await asyncio.get_running_loop().start_tls(self.transport, self, ctx, server_hostname=server_hostname)
        if tls is None:
            raise ConnectionResetError("connection closed during the TLS handshake")
        self.transport = tls


def close_transport(t: Transport | None) -> None:
    if t is not None:
        t.close()


def tls_context(verify: bool | str | ssl.SSLContext, cert: str | tuple[str, ...] | None,
                http2: bool) -> ssl.SSLContext:
    """Certificates verified unless `verify` is False; a str names a CA
    bundle file or directory; a context is used as it is."""
    if isinstance(verify, ssl.SSLContext):
        return verify
    if verify is False:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    elif isinstance(verify, str):
        folder = os.path.isdir(verify)
        ctx = ssl.create_default_context(cafile=None if folder else verify, capath=verify if folder else None)
    else:
        ctx = ssl.create_default_context()
    if cert is not None:
        if isinstance(cert, str):
            ctx.load_cert_chain(cert)
        else:
            ctx.load_cert_chain(*cert)
    ctx.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
    return ctx


async def within(aw: Awaitable[T], seconds: float | None) -> T:
    if seconds is None:
        return await aw
    # A deadline on this task, not wait_for's task per wait.
    async with asyncio.timeout(seconds):
        return await aw


async def read_some(reader: Transport, seconds: float | None) -> bytes:
    try:
        return await within(reader.read(READ_SIZE), seconds)
    except asyncio.TimeoutError:
        raise ReadTimeout(f"no answer for {seconds}s") from None
    except (ConnectionError, OSError) as e:
        raise ReadError(str(e) or type(e).__name__) from e


async def drain(writer: Transport, seconds: float | None) -> None:
    try:
        await within(writer.drain(), seconds)
    except asyncio.TimeoutError:
        raise WriteTimeout(f"the server took nothing for {seconds}s") from None
    except (ConnectionError, OSError) as e:
        raise WriteError(str(e) or type(e).__name__) from e


async def open_transport(host: str, port: int, ctx: ssl.SSLContext | None, server_hostname: str,
                         tunnel: tuple[str, int, str | None] | None, timeout: float | None) -> Transport:
    """A connection to (host, port), through a CONNECT tunnel when
    `tunnel` names a proxy (host, port, its proxy-authorization), with TLS
    when `ctx` is given; all within `timeout`."""
    async def connect() -> Transport:
        loop = asyncio.get_running_loop()
        if tunnel is None:
            _t, wire = await loop.create_connection(Transport, host, port, ssl=ctx,
                                                    server_hostname=server_hostname if ctx else None)
            return wire
        _t, wire = await loop.create_connection(Transport, tunnel[0], tunnel[1])
        try:
            await open_tunnel(wire, f"{host}:{port}" if ":" not in host else f"[{host}]:{port}", tunnel[2])
            if ctx is not None:
                await wire.start_tls(ctx, server_hostname)
        except BaseException:
            wire.close()
            raise
        return wire

    try:
        return await within(connect(), timeout)
    except asyncio.TimeoutError:
        raise ConnectTimeout(f"connecting to {host}:{port} took over {timeout}s") from None
    except ssl.SSLError as e:
        raise ConnectError(f"TLS with {host}:{port}: {e}") from e
    except OSError as e:
        raise ConnectError(f"connecting to {host}:{port}: {e}") from e


async def open_tunnel(wire: Transport, authority: str, auth: str | None) -> None:
    codec = q.H1Codec()
    headers = q.HeaderMap({"host": authority})
    if auth:
        headers["proxy-authorization"] = auth
    wire.write(codec.serialize_request("CONNECT", authority, headers))
    await wire.drain()
    head = None
    seen = 0
    while head is None:
        data = await wire.read()
        seen += len(data)
        if not data or seen > TUNNEL_HEAD_LIMIT:
            raise ProxyError("the proxy closed the connection before answering CONNECT")
        try:
            head = codec.receive_head(data)
        except q.H1Error as e:
            raise ProxyError(f"the proxy's answer to CONNECT is not HTTP: {e}") from e
    if not 200 <= head.status < 300:
        raise ProxyError(f"the proxy refused the tunnel to {authority}: {head.status}")
    # Nothing may follow a 2xx to CONNECT but the tunnelled bytes, and the
    # server speaks only once we do.
    if codec.buffered():
        raise ProxyError("the proxy sent bytes after its answer to CONNECT")


Notify = Callable[[], None]


def ignore() -> None:
    pass


def settle_quietly(task: asyncio.Future[None]) -> None:
    """Marks a sender's failure as seen: the exchange reports what matters
    of it (a write timeout, the caller's body failing) on its own."""
    if not task.cancelled():
        task.exception()
