"""Fetch URLs with the `_quillon` core and print each response's status,
headers and body.

    python examples/client.py URL [URL ...] [-n N] [--http2] [-d DATA] [-k]

`Client` keeps one connection per origin and sends every request for that
origin over it: one exchange at a time over an HTTP/1.1 keep-alive
connection (`H1ClientState` says who owns it, `H1Codec` makes the bytes),
all at once over one HTTP/2 connection (`H2Streams`), up to the server's
stream limit. With --http2 the client speaks HTTP/2: with prior knowledge
for http: URLs, by ALPN for https: URLs (HTTP/1.1 when the server picks
that). Plain-HTTP/1.1 URLs go through a forward proxy when the environment
names one (`ProxyMatcher.from_env()`). `-n N` asks for every URL N times;
all the requests start at once and the responses print in the order asked.
`-k` skips certificate checks for https.
"""

from __future__ import annotations

import argparse
import asyncio
import ssl
import sys
from collections.abc import Awaitable, Mapping
from typing import Any, TypeAlias
from urllib.parse import urlsplit

import _quillon as q
from .h1server import decoded
from .h2 import CANCEL, READ_SIZE, H2Driver, H2Stream, StreamStopped

MAX_BODY = 1 << 30
# Streams a new HTTP/2 connection may open before the server's SETTINGS
# say how many it allows: what the widely used HTTP/2 libraries assume, so
# servers are sized for it.
ASSUMED_STREAM_LIMIT = 100
# A request body goes out in pieces this size, each drained before the
# next, so the socket buffers bound what it holds and reading goes on.
SEND_PIECE = 65536
USER_AGENT = "quillon-example"
# Requests a server may see twice without harm: the ones retried on a fresh
# connection when a kept-alive one turns out closed before any answer.
IDEMPOTENT = frozenset({"GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"})

Headers: TypeAlias = "q.HeaderMap | Mapping[str, str | bytes]"


class Reply:
    """One response, its body read whole."""

    __slots__ = ("status", "version", "headers", "body", "trailers")

    def __init__(self, status: int, version: str, headers: q.HeaderMap, body: bytes,
                 trailers: q.HeaderMap | None) -> None:
        self.status, self.version, self.headers = status, version, headers
        self.body, self.trailers = body, trailers


class Stale(Exception):
    """The pooled connection ended before this request went out on it (or,
    for a request that may be repeated, before any of its answer came):
    the request can go again on a fresh connection."""


class Route:
    """Where a URL's request goes: the origin it is pooled under (a proxy's,
    through one), the request target, and the headers every request there
    carries."""

    def __init__(self, url: str) -> None:
        scheme, host, port, authority = q.uri_parts(url)
        if scheme not in ("http", "https") or host is None or port is None:
            raise ValueError(f"unsupported URL: {url}")
        parts = urlsplit(url)
        self.scheme, self.host = scheme, host
        self.authority = authority if authority and port not in (80, 443) else host
        self.target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self.dial = (host, port)
        self.proxy_auth: str | None = None
        proxy = q.ProxyMatcher.from_env().intercept(url) if scheme == "http" else None
        if proxy is not None:
            _s, proxy_host, proxy_port, _a = q.uri_parts(proxy.uri)
            if proxy_host is None or proxy_port is None:
                raise ValueError(f"unsupported proxy: {proxy.uri}")
            self.dial = (proxy_host, proxy_port)
            self.target = url  # absolute form through a forward proxy
            self.proxy_auth = proxy.basic_auth()
        self.key = (scheme, *self.dial)


class Transport:
    __slots__ = ("reader", "writer")

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader = reader
        self.writer = writer

    def close(self) -> None:
        self.writer.close()


def tls_context(insecure: bool, alpn: list[str]) -> ssl.SSLContext:
    ctx = ssl.create_default_context()
    if insecure:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    ctx.set_alpn_protocols(alpn)
    return ctx


class H1Connection(q.H1ClientState):
    """One HTTP/1.1 connection: exchanges take turns on it, and it stays
    open while each response allows reuse."""

    codec: q.H1Codec
    idle: asyncio.Event  # set when an exchange ends: the next may claim the connection
    exchanges: int

    @classmethod
    def over(cls, transport: Transport) -> H1Connection:
        conn = cls(transport)
        conn.codec = q.H1Codec()
        conn.idle = asyncio.Event()
        conn.exchanges = 0
        return conn

    @property
    def usable(self) -> bool:
        return not self.is_dead()

    async def request(self, method: str, route: Route, headers: q.HeaderMap, body: bytes | None) -> Reply:
        while not self.try_begin_exchange():
            self.idle.clear()
            await self.idle.wait()
        try:
            transport = self.transport_ref()
            if transport is None or self.is_dead():
                raise Stale("connection closed")
            self.exchanges += 1
            return await self.exchange(transport, method, route, headers, body, reused=self.exchanges > 1)
        finally:
            if self.end_exchange():
                self.idle.set()

    async def exchange(self, transport: Transport, method: str, route: Route, headers: q.HeaderMap,
                       body: bytes | None, reused: bool) -> Reply:
        codec = self.codec
        sender: asyncio.Future[None] | None = None
        headers["host"] = route.authority
        if route.proxy_auth:
            headers["proxy-authorization"] = route.proxy_auth
        try:
            self.exchange_started()
            if body is None:
                transport.writer.write(codec.serialize_request(method, route.target, headers))
                sender = None
            else:
                request_head = codec.serialize_request(method, route.target, headers, content_length=len(body))
                # The body goes out while the answer is read: a server that
                # answers as it reads, or early, is never left waiting on
                # a client that only reads once it has sent everything.
                sender = asyncio.ensure_future(send_body(transport.writer, request_head, body))
            try:
                head = None
                seen = False
                while head is None:
                    data = await transport.reader.read(READ_SIZE)
                    if not data:
                        if reused and not seen and method in IDEMPOTENT:
                            raise Stale("kept-alive connection closed before the response")
                        raise q.ConnectionClosedError("connection closed before the response head")
                    seen = True
                    head = codec.receive_head(data)
                if head.http10:
                    self.set_peer_http10(True)
                decoder = q.H1BodyDecoder(head.body_kind, head.content_length or 0)
                codec.take_body_into(decoder)
                reader = transport.reader
                pieces = [piece async for piece in decoded(decoder, lambda: reader.read(READ_SIZE))]
            except (ConnectionError, q.ConnectionClosedError) as e:
                if sender is not None and sender.done() and not sender.cancelled() and sender.exception():
                    raise q.ConnectionClosedError(f"request not sent: {sender.exception()!r}") from e
                raise
            reply = Reply(head.status, "HTTP/1.0" if head.http10 else "HTTP/1.1", head.headers, b"".join(pieces),
                          decoder.take_trailers())
            # An answer that came before the whole request went out (or
            # while sending failed) leaves the request cut short: the
            # connection cannot carry another.
            upload_whole = sender is None or (sender.done() and not sender.cancelled()
                                              and sender.exception() is None)
            if not (upload_whole and head.keep_alive and not codec.request_connection_close
                    and decoder.buffered == 0):
                close_transport(self.close_now())
            return reply
        except BaseException as e:
            close_transport(self.fail(e))
            raise
        finally:
            if sender is not None and not sender.done():
                sender.cancel()
                await asyncio.gather(sender, return_exceptions=True)

    async def close(self) -> None:
        close_transport(self.close_now())


class ClientStream(H2Stream):
    __slots__ = ("ended",)

    def __init__(self) -> None:
        super().__init__()
        self.ended = False  # the response's END_STREAM arrived: its body is whole


class H2Connection(H2Driver):
    """One HTTP/2 connection: each request a stream of its own, as many at
    once as the server's stream limit allows."""

    @classmethod
    def over(cls, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> H2Connection:
        conn = cls("client", initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                   max_header_list_size=65536, max_send_buf_size=1 << 20)
        # Until the server's SETTINGS arrive its limit is unknown, and a
        # stream beyond it costs the whole connection.
        conn.apply_stream_limit(ASSUMED_STREAM_LIMIT)
        conn.slot_freed = asyncio.Event()
        conn.writer_end = writer
        conn.start(writer)
        conn.life = asyncio.ensure_future(conn.live(reader))
        return conn

    slot_freed: asyncio.Event
    writer_end: asyncio.StreamWriter
    life: asyncio.Future[None]

    async def live(self, reader: asyncio.StreamReader) -> None:
        """The read pump; when it ends, so does every stream still open."""
        try:
            await self.read_pump(reader)
        finally:
            await self.finish()
            self.writer_end.close()

    def wake(self, flags: int) -> None:
        super().wake(flags)
        if flags & q.H2_FLAG_SLOT_FREED:
            self.slot_freed.set()

    def recv_settings(self, frame: q.H2FrameSettings) -> tuple[bool, list[Any], int]:
        initial, wake_windows, flags = super().recv_settings(frame)
        if initial and frame.max_concurrent_streams is None:
            # The server names no limit: the assumed one no longer holds.
            self.apply_stream_limit(None)
            flags |= q.H2_FLAG_SLOT_FREED
        return initial, wake_windows, flags

    def recv_headers(self, frame: q.H2FrameHeaders, spare: Any = None) -> q.H2RecvHeadersVerdict:
        v = super().recv_headers(frame, spare)
        if v.eof and isinstance(v.handle, ClientStream):
            v.handle.ended = True
        return v

    def recv_data(self, frame: q.H2FrameData) -> q.H2RecvDataVerdict:
        v = super().recv_data(frame)
        if v.eof and isinstance(v.handle, ClientStream):
            v.handle.ended = True
        return v

    @property
    def usable(self) -> bool:
        return not self.life.done()

    async def request(self, method: str, route: Route, headers: q.HeaderMap, body: bytes | None) -> Reply:
        while not self.try_claim_slot():
            if not self.usable:
                raise Stale("connection closed")
            self.slot_freed.clear()
            await wait_either(self.slot_freed.wait(), self.life)
        stream = ClientStream()
        sid = self.open_stream(method, route.target, headers, body is None, method == "HEAD", stream,
                               scheme=route.scheme, authority=route.authority)
        if sid is None:
            raise Stale("connection going away")
        stream.sid = sid
        self.kick.set()
        # The body goes out while the answer comes in: reading the answer is
        # what gives the server window back, and a server may answer (and
        # stop reading) before the body is through.
        sender = None if body is None else asyncio.ensure_future(self.send_all(stream, body, True))
        try:
            await wait_either(stream.headed.wait(), self.life)
            if stream.head is None:
                raise q.ConnectionClosedError(f"no response: {stream.stop!r}")
            data = await self.read_answer(stream, MAX_BODY)
        finally:
            if sender is not None and not sender.done():
                # The answer ended (or failed) before the upload did.
                sender.cancel()
                await asyncio.gather(sender, return_exceptions=True)
                if stream.stop is None:
                    self.reset(self.reset_stream(sid, CANCEL))
        return Reply(stream.head.status, "HTTP/2", stream.head.headers, data, stream.trailers)

    async def read_answer(self, stream: ClientStream, limit: int) -> bytes:
        """The whole response body. A reset after the body ended (a server
        stopping an upload it no longer needs) does not spoil it."""
        pieces: list[bytes] = []
        size = 0
        while True:
            while stream.chunks:
                payload = self.consume(stream)
                size += len(payload)
                if size > limit:
                    raise StreamStopped("body too large")
                pieces.append(payload)
            if stream.ended:
                return b"".join(pieces)
            if stream.stop is not None:
                raise StreamStopped(f"stream stopped: {stream.stop!r}")
            stream.data.clear()
            await stream.data.wait()

    async def close(self) -> None:
        self.life.cancel()
        await asyncio.gather(self.life, return_exceptions=True)


Connection = H1Connection | H2Connection


async def wait_either(aw: Awaitable[Any], task: asyncio.Future[Any]) -> None:
    first = asyncio.ensure_future(aw)
    await asyncio.wait([first, task], return_when=asyncio.FIRST_COMPLETED)
    first.cancel()


def dialled(pending: asyncio.Future[Connection]) -> Connection | None:
    """The connection a finished dial made, or None."""
    if pending.done() and not pending.cancelled() and pending.exception() is None:
        return pending.result()
    return None


async def send_body(writer: asyncio.StreamWriter, head: bytes, body: bytes) -> None:
    writer.write(head)
    view = memoryview(body)
    for start in range(0, len(body), SEND_PIECE):
        writer.write(view[start:start + SEND_PIECE])
        await writer.drain()
    await writer.drain()


def close_transport(t: Transport | None) -> None:
    if t is not None:
        t.close()


class Client:
    """Requests to any number of origins, one pooled connection per origin.

        async with Client(http2=True) as client:
            reply = await client.request("GET", "http://127.0.0.1:8080/")
    """

    def __init__(self, http2: bool = False, insecure: bool = False) -> None:
        self.http2 = http2
        self.insecure = insecure
        # The connection of each origin, as a future while it is dialled,
        # so concurrent first requests share one connection.
        self.pool: dict[tuple[str, str, int], asyncio.Future[Connection]] = {}
        self.retired: list[Connection] = []

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *_exc: object) -> None:
        await self.close()

    async def request(self, method: str, url: str, headers: Headers | None = None,
                      body: bytes | None = None) -> Reply:
        route = Route(url)
        for attempt in (1, 2):
            conn = await self.connection(route)
            fields = q.HeaderMap({"user-agent": USER_AGENT})
            for name, value in (headers or {}).items():
                fields[name] = value
            try:
                return await conn.request(method, route, fields, body)
            except Stale:
                self.forget(route, conn)
                if attempt == 2:
                    raise q.ConnectionClosedError("connection closed") from None
        raise AssertionError("unreachable")

    async def connection(self, route: Route) -> Connection:
        pending = self.pool.get(route.key)
        if pending is not None and pending.done():
            conn = dialled(pending)
            if conn is None or not conn.usable:
                if conn is not None:
                    self.retired.append(conn)
                pending = None
        if pending is None:
            pending = asyncio.ensure_future(self.dial(route))
            self.pool[route.key] = pending
        try:
            return await asyncio.shield(pending)
        except BaseException:
            if pending.done() and self.pool.get(route.key) is pending:
                del self.pool[route.key]  # the dial failed: the next request dials again
            raise

    async def dial(self, route: Route) -> Connection:
        tls = route.scheme == "https"
        ctx = tls_context(self.insecure, ["h2", "http/1.1"] if self.http2 else ["http/1.1"]) if tls else None
        reader, writer = await asyncio.open_connection(*route.dial, ssl=ctx,
                                                       server_hostname=route.host if ctx else None)
        if self.http2 and (ctx is None or writer.get_extra_info("ssl_object").selected_alpn_protocol() == "h2"):
            return H2Connection.over(reader, writer)
        return H1Connection.over(Transport(reader, writer))

    def forget(self, route: Route, conn: Connection) -> None:
        pending = self.pool.get(route.key)
        if pending is not None and dialled(pending) is conn:
            del self.pool[route.key]
        self.retired.append(conn)

    async def close(self) -> None:
        conns = [c for c in map(dialled, self.pool.values()) if c is not None]
        self.pool.clear()
        for conn in conns + self.retired:
            await conn.close()
        self.retired.clear()


async def fetch_all(urls: list[str], data: bytes | None, http2: bool, insecure: bool) -> list[Reply]:
    method = "POST" if data is not None else "GET"
    async with Client(http2=http2, insecure=insecure) as client:
        return await asyncio.gather(*(client.request(method, url, body=data) for url in urls))


def show(reply: Reply) -> None:
    out = sys.stdout
    out.write(f"{reply.version} {reply.status}\n")
    for name, value in reply.headers.items():
        out.write(f"{name}: {value.decode('latin-1')}\n")
    out.write("\n")
    out.flush()
    sys.stdout.buffer.write(reply.body)
    sys.stdout.buffer.flush()
    if reply.trailers:
        if reply.body and not reply.body.endswith(b"\n"):
            out.write("\n")
        for name, value in reply.trailers.items():
            out.write(f"{name}: {value.decode('latin-1')}\n")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("url", nargs="+")
    ap.add_argument("-n", type=int, default=1, metavar="N", help="ask for every URL N times")
    ap.add_argument("-d", "--data", help="send DATA as the request body (POST)")
    ap.add_argument("-k", "--insecure", action="store_true", help="skip TLS certificate checks")
    ap.add_argument("--http2", action="store_true", help="use HTTP/2")
    args = ap.parse_args(argv)
    data = args.data.encode() if args.data is not None else None
    try:
        replies = asyncio.run(fetch_all(args.url * args.n, data, args.http2, args.insecure))
    except ValueError as e:
        raise SystemExit(str(e)) from None
    for reply in replies:
        show(reply)
    return 0


if __name__ == "__main__":
    sys.exit(main())
