"""Opening a connection: TCP, a proxy's CONNECT tunnel, TLS and ALPN, each
failure as the client's own exception."""

from __future__ import annotations

import asyncio
import ssl
from collections.abc import Awaitable, Callable
from typing import TypeVar

import _quillon as q

from ._errors import ConnectError, ConnectTimeout, ProxyError, ReadError, ReadTimeout, WriteError, WriteTimeout

READ_SIZE = 65536
# A proxy's answer to CONNECT is a head and nothing more; one larger than
# this is not a proxy we can talk to.
TUNNEL_HEAD_LIMIT = 65536
T = TypeVar("T")


class Stale(Exception):
    """The connection ended under a request before any of its answer came.
    `unsent`: the server cannot have acted on it (never written, refused,
    or beyond the server's GOAWAY), so any request may go again; otherwise
    only one that may be repeated."""

    def __init__(self, message: str, unsent: bool = False) -> None:
        super().__init__(message)
        self.unsent = unsent


class Transport:
    """A connected socket's reader and writer, as the connection states
    hold it."""

    __slots__ = ("reader", "writer")

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader, self.writer = reader, writer

    def close(self) -> None:
        self.writer.close()

    @property
    def alpn(self) -> str | None:
        obj = self.writer.get_extra_info("ssl_object")
        return None if obj is None else obj.selected_alpn_protocol()


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
        import os
        ctx = ssl.create_default_context(capath=verify) if os.path.isdir(verify) else \
            ssl.create_default_context(cafile=verify)
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


async def read_some(reader: asyncio.StreamReader, seconds: float | None) -> bytes:
    try:
        return await within(reader.read(READ_SIZE), seconds)
    except asyncio.TimeoutError:
        raise ReadTimeout(f"no answer for {seconds}s") from None
    except (ConnectionError, OSError) as e:
        raise ReadError(str(e) or type(e).__name__) from e


async def drain(writer: asyncio.StreamWriter, seconds: float | None) -> None:
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
        if tunnel is None:
            reader, writer = await asyncio.open_connection(host, port, ssl=ctx,
                                                           server_hostname=server_hostname if ctx else None)
            return Transport(reader, writer)
        reader, writer = await asyncio.open_connection(tunnel[0], tunnel[1])
        try:
            await open_tunnel(reader, writer, f"{host}:{port}" if ":" not in host else f"[{host}]:{port}",
                              tunnel[2])
            if ctx is not None:
                await writer.start_tls(ctx, server_hostname=server_hostname)
        except BaseException:
            writer.close()
            raise
        return Transport(reader, writer)

    try:
        return await within(connect(), timeout)
    except asyncio.TimeoutError:
        raise ConnectTimeout(f"connecting to {host}:{port} took over {timeout}s") from None
    except ssl.SSLError as e:
        raise ConnectError(f"TLS with {host}:{port}: {e}") from e
    except OSError as e:
        raise ConnectError(f"connecting to {host}:{port}: {e}") from e


async def open_tunnel(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, authority: str,
                      auth: str | None) -> None:
    codec = q.H1Codec()
    headers = q.HeaderMap({"host": authority})
    if auth:
        headers["proxy-authorization"] = auth
    writer.write(codec.serialize_request("CONNECT", authority, headers))
    await writer.drain()
    head = None
    seen = 0
    while head is None:
        data = await reader.read(READ_SIZE)
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
