"""A small asyncio HTTP/1.1 and HTTP/2 server driven entirely by the `_quillon` core.

    python examples/server.py [--host 127.0.0.1] [--port 8080] [--tls CERT KEY]
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
the frames to write as one batch. This file only moves bytes between the socket and the core and
runs the handlers, within the timeouts and buffer bounds the README lists.
SIGINT/SIGTERM stop accepting, let requests in flight finish within the
shutdown timeout, and close idle connections at once.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import signal
import ssl
import sys
from collections.abc import AsyncGenerator, AsyncIterator, Callable, Coroutine
from typing import Any

import _quillon as q
from h2driver import H2Driver, H2Stream, StreamStopped


READ_SIZE = 65536
PIECE = 16384
MAX_ECHO = 64 * 1024 * 1024  # an echo body is held in memory; bound it
MAX_DRAIN = 1024 * 1024  # unread body bytes discarded before closing instead
# Backpressure bounds of one connection (see Link): the transport's write
# buffer high mark, the unread bytes queued before reading stops, and the
# answers of pipelined requests gathered into one write.
WRITE_HIGH = 64 * 1024
INBOX_LIMIT = 64 * 1024
FLUSH_SIZE = 64 * 1024
# DATA bytes one HTTP/2 connection may hold queued for a client that does
# not read them, across all its streams.
H2_SEND_BUDGET = 1024 * 1024

INDEX = b"""<!doctype html>
<html><head><title>quillon example</title></head>
<body><h1>It works</h1>
<p>Served by an asyncio driver over the <code>_quillon</code> protocol core.</p>
<ul><li><a href="/echo">/echo</a> (POST a body)</li>
<li><a href="/bytes/1024">/bytes/1024</a></li><li><a href="/slow">/slow</a></li></ul>
</body></html>
"""


class Timeouts:
    """How long the server waits for a client, in seconds (None: no limit)."""

    __slots__ = ("head", "idle", "write", "shutdown")

    def __init__(self, head: float | None = 10.0, idle: float | None = 5.0, write: float | None = 30.0,
                 shutdown: float = 10.0) -> None:
        self.head = head  # from a connection's start, or a head's first byte, to the complete head
        self.idle = idle  # nothing arriving while the server waits: between requests, inside a body
        self.write = write  # a write making no progress: the client stopped reading
        self.shutdown = shutdown  # graceful shutdown: requests in flight get this long, then are cut


class Link(asyncio.Protocol):
    """One accepted socket. Bytes that arrive while no coroutine waits for
    them go straight to the connection (most requests are served inside
    `data_received`, with no task switch); otherwise they queue for the
    coroutine that reads. The same object is the opaque transport the
    connection states hold and hand back, and the reader/writer face the
    HTTP/2 driver uses.

    Backpressure: once the transport's write buffer passes WRITE_HIGH
    (`pause_writing`) the link stops reading until it drains
    (`resume_writing`), and so does a queue of INBOX_LIMIT unread bytes: a
    client that sends without reading costs at most those two buffers plus
    one read."""

    def __init__(self, server: "Server") -> None:
        self.server = server
        self.timeouts = server.timeouts
        self.transport: asyncio.Transport | None = None
        self.peer = "-"
        self.sink: Callable[[bytes], None] | None = None  # called with each read while nothing awaits one
        self.inbox: collections.deque[bytes] = collections.deque()
        self.inbox_size = 0
        self.eof = False
        self.waiter: asyncio.Future[None] | None = None
        self.paused = False  # the transport asked us to stop writing
        self.reading = True
        self.drained: asyncio.Future[None] | None = None
        self.timer: asyncio.TimerHandle | None = None
        self.gone = asyncio.Event()

    # asyncio.Protocol

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        transport.set_write_buffer_limits(high=WRITE_HIGH)
        peer = transport.get_extra_info("peername")
        self.peer = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
        self.server.links.add(self)
        tls = transport.get_extra_info("ssl_object")
        if tls is not None and tls.selected_alpn_protocol() == "h2":
            self.server.spawn(serve_h2(self, b""))
        else:
            H1Connection(q.H1Codec(), self).start(self)

    def data_received(self, data: bytes) -> None:
        if self.sink is not None and not self.inbox and self.waiter is None:
            self.sink(data)
            return
        self.inbox.append(data)
        self.inbox_size += len(data)
        if self.inbox_size >= INBOX_LIMIT:
            self.steer_reading()
        self.wake()

    def eof_received(self) -> bool:
        self.eof = True
        self.wake()
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.eof = True
        self.clear_deadline()
        self.wake()
        self.settle_drain()
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        self.sink = None
        self.server.links.discard(self)
        self.gone.set()

    def pause_writing(self) -> None:
        self.paused = True
        self.steer_reading()

    def resume_writing(self) -> None:
        self.paused = False
        self.steer_reading()
        self.settle_drain()

    # The face the drivers use

    def steer_reading(self) -> None:
        """Reads stop while the write side is full or the inbox is: the
        client then waits in its own send buffer, not in our memory."""
        want = not self.paused and self.inbox_size < INBOX_LIMIT
        t = self.transport
        if want == self.reading or t is None or t.is_closing():
            return
        self.reading = want
        if want:
            t.resume_reading()
        else:
            t.pause_reading()

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    def settle_drain(self) -> None:
        if self.drained is not None and not self.drained.done():
            self.drained.set_result(None)

    async def read(self, _size: int = READ_SIZE) -> bytes:
        while not self.inbox:
            if self.eof:
                return b""
            self.waiter = asyncio.get_running_loop().create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None
        data = self.inbox.popleft()
        self.inbox_size -= len(data)
        if not self.reading:
            self.steer_reading()
        return data

    def take_inbox(self) -> bytes:
        data = b"".join(self.inbox)
        self.inbox.clear()
        self.inbox_size = 0
        self.steer_reading()
        return data

    def end_input(self) -> None:
        """Readers see the end of input now, whatever the socket holds."""
        self.eof = True
        self.wake()

    def write(self, data: bytes | memoryview) -> None:
        assert self.transport is not None
        self.transport.write(data)

    async def drain(self) -> None:
        """Returns once the write buffer is below its low mark; a client
        that reads nothing for the write timeout loses the connection."""
        t = self.transport
        if t is None or t.is_closing():
            raise ConnectionResetError("connection closed")
        if not self.paused:
            return
        if self.drained is None or self.drained.done():
            self.drained = asyncio.get_running_loop().create_future()
        done, _ = await asyncio.wait({self.drained}, timeout=self.timeouts.write)
        if not done:
            self.abort()
            raise ConnectionResetError("write timed out")
        if t.is_closing():
            raise ConnectionResetError("connection closed")

    def close(self) -> None:
        """Closes after the buffered bytes are written, or after the write
        timeout when the client does not take them."""
        t = self.transport
        if t is None:
            return
        if not t.is_closing():
            t.close()
        if t.get_write_buffer_size() and self.timeouts.write is not None:
            self.clear_deadline()
            self.timer = asyncio.get_running_loop().call_later(self.timeouts.write, self.abort)

    def abort(self) -> None:
        if self.transport is not None:
            self.transport.abort()

    def deadline(self, seconds: float | None, expire: Callable[[], object]) -> None:
        """One timer per link: arming a new deadline replaces the last. A
        closing link keeps only its linger timer."""
        if self.transport is None or self.transport.is_closing():
            return
        if self.timer is not None:
            self.timer.cancel()
        self.timer = None if seconds is None else asyncio.get_running_loop().call_later(seconds, expire)

    def clear_deadline(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


def close_transport(t: Link | None) -> None:
    if t is not None:
        t.close()


class Response:
    """What a handler answers: a status, headers (a HeaderMap, or a dict made
    into one), and either whole bytes or an async iterator of pieces
    (streamed, chunked unless a length is set)."""

    __slots__ = ("status", "headers", "body", "stream", "length", "trailers")

    def __init__(self, status: int = 200, headers: q.HeaderMap | dict[str, Any] | None = None, body: bytes = b"",
                 stream: AsyncIterator[bytes] | None = None, length: int | None = None,
                 trailers: q.HeaderMap | None = None) -> None:
        self.status = status
        self.headers = headers if isinstance(headers, q.HeaderMap) else q.HeaderMap(headers or {})
        self.body = body
        self.stream = stream
        self.length = length
        self.trailers = trailers

    def known_length(self) -> int | None:
        return self.length if self.stream is not None else len(self.body)


class Request:
    __slots__ = ("method", "target", "path", "headers", "version", "body", "chunked", "sent", "_peer_gone")

    def __init__(self, method: str, target: str, headers: q.HeaderMap, version: str, body: bytes,
                 chunked: bool) -> None:
        self.method = method
        self.target = target
        self.path = target.partition("?")[0]
        self.headers = headers
        self.version = version
        self.body = body
        self.chunked = chunked
        self.sent: int | None = None  # the status of the response head, once it is out
        self._peer_gone: asyncio.Event | None = None

    @property
    def peer_gone(self) -> asyncio.Event:
        """Set when the client goes away while the response is produced."""
        if self._peer_gone is None:
            self._peer_gone = asyncio.Event()
        return self._peer_gone


# ---------------------------------------------------------------------------
# Handlers (shared by every protocol)


async def stream_bytes(n: int) -> AsyncIterator[bytes]:
    while n > 0:
        piece = BLOCK[: min(n, PIECE)]
        n -= len(piece)
        yield piece


async def slow_lines(request: Request) -> AsyncIterator[bytes]:
    for i in range(5):
        if request.peer_gone.is_set():
            return
        yield b"line %d\n" % i
        try:
            await asyncio.wait_for(request.peer_gone.wait(), 0.2)
        except asyncio.TimeoutError:
            pass


# Header maps of the fixed responses, built once: the drivers only read them.
HTML = q.HeaderMap({"content-type": "text/html; charset=utf-8"})
OCTETS = q.HeaderMap({"content-type": "application/octet-stream"})
TEXT = q.HeaderMap({"content-type": "text/plain"})
BLOCK = b"x" * PIECE


def route(request: Request) -> Response:
    path = request.path
    if path == "/":
        return Response(200, HTML, INDEX)
    if path == "/echo":
        headers = {"content-type": request.headers.get("content-type", b"application/octet-stream")}
        if request.chunked:
            # Sent only to a client that said it accepts trailers (TE).
            headers["trailer"] = "x-echo-length"
            trailers = q.HeaderMap({"x-echo-length": str(len(request.body))})
            return Response(200, headers, request.body, trailers=trailers)
        return Response(200, headers, request.body)
    if path.startswith("/bytes/"):
        try:
            n = int(path[len("/bytes/"):])
        except ValueError:
            n = -1
        if not 0 <= n <= 1 << 34:
            return Response(400, TEXT, b"bad length\n")
        if n <= PIECE:
            return Response(200, OCTETS, BLOCK[:n])
        return Response(200, OCTETS, stream=stream_bytes(n), length=n)
    if path == "/slow":
        return Response(200, TEXT, stream=slow_lines(request))
    return Response(404, TEXT, b"not found\n")


def wants_body(path: str) -> bool:
    return path == "/echo"


# ---------------------------------------------------------------------------
# HTTP/1.1


class H1Connection(q.H1ServerState):
    """One HTTP/1.1 connection. A request whose answer needs no waiting (no
    body to read, a whole response) is served on the spot inside the read
    callback; the first one that must wait moves the connection to a task,
    which runs until the connection is idle again.

    One deadline runs at a time on the link: the head timeout from the
    connection's start or a head's first byte until the head is complete,
    the idle timeout while the server waits between requests or for more of
    a request body, none while a response is produced (the write timeout
    guards that)."""

    def start(self, link: Link) -> None:
        self.link = link
        self.server = link.server
        self.timeouts = link.timeouts
        self.server.connections.add(self)
        self.sniffing: bytes | None = b""
        self.phase = "fresh"  # then "head", "busy", "idle"
        link.deadline(self.timeouts.head, self.head_expired)
        link.sink = self.on_read
        self.next_step()

    def close_all(self) -> None:
        close_transport(self.mark_closed()[0])
        self.link.sink = None
        self.server.connections.discard(self)

    # -- deadlines ------------------------------------------------------------

    def await_head(self) -> None:
        if self.phase == "fresh":
            self.phase = "head"  # the connection's deadline goes on
        elif self.phase != "head":
            self.phase = "head"
            self.link.deadline(self.timeouts.head, self.head_expired)

    def await_idle(self) -> None:
        self.phase = "idle"
        self.link.deadline(self.timeouts.idle, self.close_all)

    def busy(self) -> None:
        if self.phase != "busy":
            self.phase = "busy"
            self.link.clear_deadline()

    def head_expired(self) -> None:
        # A head that began gets its 408; a connection that never sent a
        # byte is simply closed (browsers open spare ones).
        transport = self.fail_read()
        if transport is not None:
            if self.phase == "head":
                transport.write(self.codec.serialize_response(408, TEXT, keep_alive=False, content_length=0))
            transport.close()

    # -- the synchronous path -------------------------------------------------

    def on_read(self, data: bytes) -> None:
        """A read finished while the connection was idle or between the
        pieces of a head."""
        if self.unpark_idle_read() or not data:
            self.close_all()
            return
        self.await_head()
        if self.sniffing is not None:
            # While the first bytes could still be the start of the HTTP/2
            # client preface, wait for the rest, so the codec judges all of it.
            data = self.sniffing + data
            if len(data) < len(q.H2_PREFACE) and q.H2_PREFACE.startswith(data):
                self.sniffing = data
                self.begin_read()  # park the idle read again
                return
            self.sniffing = None
        self.serve_now(data)

    def next_step(self) -> None:
        """Where the next head comes from, decided by the state."""
        code, obj = self.begin_read()
        if code == q.H1_READ_PARSE:
            self.serve_now(b"")
        else:
            self.after_begin_read(code, obj)

    def after_begin_read(self, code: int, obj: Any) -> None:
        if code == q.H1_READ_TRANSPORT:
            if self.phase != "fresh":  # a new connection waits for its first head
                self.await_idle()  # the idle read is the link's next data_received
        elif code in (q.H1_NEXT_DRAIN, q.H1_READ_WATCHER):
            self.go_async(self.async_next(code, obj))
        else:
            close_transport(obj)
            self.close_all()

    def serve_now(self, data: bytes) -> None:
        # The answers to every request in this read go out in one write:
        # pipelined requests then cost one send, not one each. Past
        # FLUSH_SIZE they go out, and once the transport is full the rest
        # waits, unparsed, until the client reads.
        out: list[bytes] = []
        size = 0
        try:
            while True:
                try:
                    accepted = self.accept_head(data)
                except q.H1ParseError as e:
                    self.go_async(self.parse_failed(e))
                    return
                if accepted is None:
                    self.await_head()
                    return  # the rest of the head comes with the next read
                self.busy()
                head, seq, decoder = accepted
                request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1",
                                  b"", head.body_kind == "chunked")
                response = None if wants_body(request.path) else route(request)
                if response is None or response.stream is not None or response.trailers is not None:
                    self.flush(out)
                    self.go_async(self.finish_async(head, seq, decoder, request, response))
                    return
                code, head_bytes, _armed = self.respond_head(seq, response.status, response.headers, None,
                                                             content_length=len(response.body))
                if code == q.H1_REQ_OK:
                    piece = self.codec.serialize_head_and_body(head_bytes, response.body)
                    out.append(piece)
                    size += len(piece)
                self.server.log(self.link.peer, request, response.status if code == q.H1_REQ_OK else None)
                switch, close, transport, _leftover = self.finish_response(seq)
                if switch or close:
                    self.flush(out)
                    close_transport(transport)
                    self.close_all()
                    return
                if size >= FLUSH_SIZE or self.link.paused:
                    self.flush(out)
                    size = 0
                    if self.link.paused:
                        self.go_async(self.writable())
                        return
                code, obj = self.begin_read()
                if code != q.H1_READ_PARSE:
                    self.flush(out)
                    self.after_begin_read(code, obj)
                    return
                data = b""
        finally:
            self.flush(out)

    def flush(self, out: list[bytes]) -> None:
        if out:
            self.link.write(out[0] if len(out) == 1 else b"".join(out))
            out.clear()

    # -- the asynchronous path ------------------------------------------------

    def go_async(self, coro: Coroutine[Any, Any, bool]) -> None:
        self.link.sink = None  # reads now queue for the task
        self.server.spawn(self.run_async(coro))

    async def run_async(self, first: Coroutine[Any, Any, bool]) -> None:
        try:
            if not await first:
                return self.close_all()
            while True:
                code, obj = self.begin_read()
                if code == q.H1_READ_TRANSPORT:
                    # Idle again: back to serving from the read callback,
                    # starting with whatever arrived meanwhile.
                    self.await_idle()
                    data = self.link.take_inbox()
                    self.link.sink = self.on_read
                    if data or self.link.eof:
                        self.on_read(data)
                    return
                if code == q.H1_READ_PARSE:
                    data = b""
                else:
                    got = await self.async_read_start(code, obj)
                    if got is None:
                        return self.close_all()
                    data = got
                if not await self.one_request(data):
                    return self.close_all()
        except (ConnectionError, OSError):
            self.close_all()

    async def writable(self) -> bool:
        await self.link.drain()
        return True

    async def async_next(self, code: int, obj: Any) -> bool:
        data = await self.async_read_start(code, obj)
        return data is not None and await self.one_request(data)

    async def async_read_start(self, code: int, obj: Any) -> bytes | None:
        """The bytes that start the next head, or None when the connection
        is done."""
        if code == q.H1_NEXT_DRAIN:
            code, obj = self.drain_done(await self.drain())
            if code == q.H1_READ_PARSE:
                return b""
            if code == q.H1_READ_TRANSPORT:
                self.await_idle()
                data = await self.link.read()
                return None if self.unpark_idle_read() or not data else data
        if code == q.H1_READ_WATCHER:
            # The mid-message watcher's read is still parked: it is the one
            # to await, and its result starts the next request.
            self.await_idle()
            await obj.wait()
            closed = self.unpark_idle_read()
            handle = self.take_watcher_handle()
            if handle is not None:
                await handle
            data, error = self.take_watcher_result()
            return None if closed or error is not None or not data else data
        close_transport(obj)
        return None

    async def read_more(self, decoder: q.H1BodyDecoder) -> None:
        """Feeds `decoder` the next read of its body, waiting at most the
        idle timeout for it."""
        self.link.deadline(self.timeouts.idle, self.close_all)
        data = await self.link.read()
        self.link.clear_deadline()
        if data:
            decoder.feed(data)
        else:
            decoder.mark_eof()

    async def drain(self) -> bool:
        decoder = self.current_decoder()
        drained = 0
        try:
            while drained <= MAX_DRAIN:
                piece = decoder.decode()
                if piece is not None:
                    drained += len(piece)
                    continue
                if decoder.is_complete:
                    return True
                await self.read_more(decoder)
        except q.H1BodyError:
            pass
        return False

    async def one_request(self, data: bytes) -> bool:
        while True:
            try:
                accepted = self.accept_head(data)
            except q.H1ParseError as e:
                return await self.parse_failed(e)
            if accepted is not None:
                break
            self.await_head()
            data = await self.link.read()
            if not data:
                return False
        self.busy()
        head, seq, decoder = accepted
        request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1", b"",
                          head.body_kind == "chunked")
        return await self.finish_async(head, seq, decoder, request, None)

    async def finish_async(self, head: q.H1RequestHead, seq: int, decoder: q.H1BodyDecoder, request: Request,
                           response: Response | None) -> bool:
        if response is None:
            if wants_body(request.path):
                try:
                    request.body = await self.read_body(head, seq, decoder)
                except q.H1BodyError:
                    close_transport(self.fail_response(seq))
                    self.server.log(self.link.peer, request, None, "bad request body")
                    return False
            response = route(request)
        return await self.respond(request, seq, response)

    async def parse_failed(self, e: q.H1ParseError) -> bool:
        if e.args[0] == "version_h2":
            # HTTP/2 with prior knowledge: the bytes read so far and the
            # transport go to an HTTP/2 connection.
            preface = self.codec.take_body() + self.link.take_inbox()
            self.fail_read()
            self.server.connections.discard(self)
            await serve_h2(self.link, preface)
            return False
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is not None:
            if status is not None:
                transport.write(self.codec.serialize_response(status, TEXT, keep_alive=False, content_length=0))
            transport.close()
        return False

    async def read_body(self, head: q.H1RequestHead, seq: int, decoder: q.H1BodyDecoder) -> bytes:
        if head.expect_continue and self.try_send_continue(seq):
            self.link.write(self.codec.continue_response())
        if not self.begin_body_read(seq):
            return b""
        pieces: list[bytes] = []
        size, complete = 0, False
        try:
            while True:
                piece = decoder.decode()
                if piece is not None:
                    size += len(piece)
                    if size > MAX_ECHO:
                        raise q.H1BodyError("body too large for the echo route")
                    pieces.append(piece)
                    continue
                if decoder.is_complete:
                    complete = True
                    return b"".join(pieces)
                await self.read_more(decoder)
        finally:
            self.end_body_read(seq, complete)

    async def respond(self, request: Request, seq: int, response: Response) -> bool:
        """Writes `response` and logs it; False when the connection ends."""
        streamed = response.stream is not None
        length = response.known_length()
        chunked = response.trailers is not None or (streamed and length is None)
        done = asyncio.Event()
        while True:
            code, head, armed = self.respond_head(
                seq, response.status, response.headers, done,
                content_length=None if chunked else length, chunked=chunked, want=streamed)
            # H1_REQ_CONTINUE: the 100 Continue was claimed and is already
            # written (this driver writes it synchronously); claim again.
            if code != q.H1_REQ_CONTINUE:
                break
        if code != q.H1_REQ_OK:
            self.server.log(self.link.peer, request, None, "client closed")
            if code == q.H1_REQ_PEER_CLOSED:
                close_transport(self.fail_response(seq))
            return False
        if armed:
            self.store_watcher_handle(asyncio.ensure_future(self.watch(request, done)))
        w = self.link
        w.write(head)
        codec = self.codec
        try:
            if request.method == "HEAD":
                await discard_stream(response)  # the codec frames no body for HEAD
            elif response.stream is not None:
                async for piece in response.stream:
                    if self.peer_closed_flag(seq):
                        break
                    w.write(codec.serialize_data(piece))
                    await w.drain()
            elif response.body:
                w.write(codec.serialize_data(response.body))
            if request.peer_gone.is_set():
                close_transport(self.fail_response(seq))
                self.server.log(self.link.peer, request, response.status, "connection closed")
                return False
            w.write(codec.serialize_trailers(response.trailers) if response.trailers else codec.serialize_end())
            await w.drain()
        except (ConnectionError, q.H1Error):
            close_transport(self.fail_response(seq))
            self.server.log(self.link.peer, request, response.status, "connection closed")
            return False
        self.server.log(self.link.peer, request, response.status)
        switch, close, transport, _leftover = self.finish_response(seq)
        if switch or close:
            close_transport(transport)
            return False
        return True

    async def watch(self, request: Request, done: asyncio.Event) -> None:
        """The mid-message watcher: a read parked while a response streams,
        so a client that goes away is noticed."""
        try:
            data = await self.link.read()
        except asyncio.CancelledError:
            self.watcher_aborted()
            done.set()
            raise
        if self.watcher_completed(data, None):
            request.peer_gone.set()
        done.set()


# ---------------------------------------------------------------------------
# HTTP/2


class H2Connection(H2Driver):
    """One HTTP/2 connection: the shared pumps plus a task per request.

    While no request is in progress the connection has a deadline: the head
    timeout until the first request, the idle timeout after each; bytes
    that open no stream (pings, settings, a header block dribbled in) do not
    move it. At the deadline it says GOAWAY and closes."""

    async def serve(self, link: Link, preface: bytes) -> None:
        self.server, self.link, self.peer = link.server, link, link.peer
        self.handlers: set[asyncio.Task[None]] = set()
        self.start(link, H2_SEND_BUDGET)
        link.deadline(link.timeouts.head, self.expire)
        try:
            # The sniffer already read the client preface (and maybe more).
            if self.prime(preface[:24]) is True:
                await self.read_pump(link, preface[24:])
        finally:
            for t in list(self.handlers):
                t.cancel()
            await asyncio.gather(*self.handlers, return_exceptions=True)
            await self.finish()

    def done(self) -> bool:
        return bool(self.shutdown_final and self.num_streams == 0)

    def expire(self) -> None:
        self.wake(self.send_goaway(0))  # NO_ERROR, with the last stream served
        self.link.end_input()  # the read pump ends, then the pumps flush and close

    def opened(self, stream: H2Stream) -> None:
        self.link.clear_deadline()
        task = asyncio.ensure_future(self.respond(stream))
        self.handlers.add(task)
        task.add_done_callback(self.handler_done)

    def handler_done(self, task: asyncio.Task[None]) -> None:
        self.handlers.discard(task)
        if not self.handlers:
            self.link.deadline(self.link.timeouts.idle, self.expire)

    async def respond(self, stream: H2Stream) -> None:
        self.accepted(stream.sid)
        head = stream.head
        request = Request(head.method, head.path or "/", head.headers, "HTTP/2", b"", False)
        try:
            if wants_body(request.path):
                request.body = await self.read_body(stream, MAX_ECHO)
                request.chunked = True  # an HTTP/2 response can always carry trailers
            elif not stream.eof:
                # Answer once the request has ended, so a client that breaks
                # its own framing (a DATA frame beyond content-length) sees
                # the stream error instead of a response.
                await self.discard_body(stream, MAX_DRAIN)
            if stream.stop is not None:
                raise StreamStopped("reset before the handler ran")
            response = route(request)
            if await self.send_response(stream, request, response):
                self.server.log(self.peer, request, request.sent)
                return
        except StreamStopped:
            if stream.stop is None:  # our own limit, not the client's doing
                self.reset(self.reset_stream(stream.sid, 8))  # CANCEL
        except asyncio.CancelledError:  # the connection ended under the handler
            self.server.log(self.peer, request, request.sent, "connection closed")
            raise
        self.server.log(self.peer, request, request.sent, stop_note(stream))

    async def send_response(self, stream: H2Stream, request: Request, response: Response) -> bool:
        """Sends `response` with END_STREAM on its last frame; False when the
        stream stopped first (`request.sent` says whether the head went)."""
        sid = stream.sid
        if request.method == "HEAD":
            return await self.send_head_only(stream, request, response)
        body, trailers = response.body, response.trailers
        empty = response.stream is None and not body and trailers is None
        v = self.send_response_head(sid, response.status, response.headers, empty)
        self.wake(v.flags)
        if v.stopped is not None:
            return False
        request.sent = response.status
        if empty:
            return True
        if response.stream is None:
            if not await self.send_all(stream, body, trailers is None):
                return False
        elif not await self.send_pieces(stream, response.stream, response.length, trailers is None):
            return False
        if trailers is not None:
            v = self.send_trailers(sid, trailers)
            self.wake(v.flags)
            return v.stopped is None
        return True

    async def send_pieces(self, stream: H2Stream, pieces: AsyncIterator[bytes], length: int | None,
                          end: bool) -> bool:
        # With a known length the last piece carries END_STREAM. Without
        # one, pieces go out as they come (holding one back would delay it
        # until the next is made), so the end is an empty DATA frame.
        left = length
        async for piece in pieces:
            if left is not None:
                left -= len(piece)
            if not await self.send_all(stream, piece, end and left == 0):
                return False
            if left == 0 and end:
                return True
        return await self.send_all(stream, b"", end) if end else True

    async def send_head_only(self, stream: H2Stream, request: Request, response: Response) -> bool:
        """A HEAD answer: the head with END_STREAM, and the length a GET
        would have had."""
        headers = response.headers
        length = response.known_length()
        if length is not None and "content-length" not in headers:
            headers = q.HeaderMap(headers)
            headers["content-length"] = str(length)
        await discard_stream(response)
        v = self.send_response_head(stream.sid, response.status, headers, True)
        self.wake(v.flags)
        if v.stopped is not None:
            return False
        request.sent = response.status
        return True


async def discard_stream(response: Response) -> None:
    """A HEAD answer produces no body: the body's generator is closed unrun."""
    if isinstance(response.stream, AsyncGenerator):
        await response.stream.aclose()


def stop_note(stream: H2Stream) -> str:
    """What the access log says of a stream that ended without its
    response."""
    stop = stream.stop
    reason = getattr(stop, "reason", None)
    if stream.stopped_by == "connection" or getattr(stop, "conn", False):
        return "connection closed" if reason is None else f"connection closed ({reason_name(reason)})"
    who = "client" if stream.stopped_by == "peer" else "server"
    return f"reset by {who}" if reason is None else f"reset by {who} ({reason_name(reason)})"


def reason_name(code: int) -> str:
    try:
        return str(q.H2Reason(code)).removeprefix("H2Reason.")
    except ValueError:
        return str(code)


H2_SETTINGS: dict[str, Any] = dict(
    initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384, max_header_list_size=65536,
    max_send_buf_size=1 << 20, max_concurrent_streams=128)


# ---------------------------------------------------------------------------
# Server


class Server:
    def __init__(self, timeouts: Timeouts | None = None) -> None:
        self.timeouts = timeouts or Timeouts()
        self.links: set[Link] = set()  # open sockets
        self.connections: set[H1Connection | H2Connection] = set()  # connection states, for shutdown
        self.tasks: set[asyncio.Task[Any]] = set()
        self.out = sys.stdout

    def log(self, peer: str, request: Request, status: int | None, note: str | None = None) -> None:
        """One line per request: the status sent ("-" when none was), and
        how it ended when that was not the normal way."""
        line = f'{peer} "{request.method} {request.target} {request.version}" {"-" if status is None else status}'
        self.out.write(f"{line} {note}\n" if note else line + "\n")

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> None:
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def shutdown(self) -> None:
        """Stops new requests, lets those in flight finish within the
        shutdown timeout, then cuts whatever is left."""
        for conn in list(self.connections):
            if isinstance(conn, H2Connection):
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


async def serve_h2(link: Link, preface: bytes) -> None:
    """Runs an HTTP/2 connection on `link`, starting from the bytes already
    read (the client preface, whole or in part, and maybe more)."""
    link.deadline(link.timeouts.head, link.close)
    while len(preface) < len(q.H2_PREFACE):
        more = await link.read()
        if not more:
            link.close()
            return
        preface += more
    h2 = H2Connection("server", **H2_SETTINGS)
    link.server.connections.add(h2)
    try:
        await h2.serve(link, preface)
    finally:
        link.server.connections.discard(h2)
        link.close()


def make_tls(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    return ctx


def timeout(text: str) -> float | None:
    """A timeout option: seconds, or 0 for none."""
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("a timeout is 0 (none) or more seconds")
    return value or None


async def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    d = Timeouts()
    ap.add_argument("--head-timeout", type=timeout, default=d.head, metavar="S",
                    help=f"seconds to receive a whole request head (default {d.head})")
    ap.add_argument("--idle-timeout", type=timeout, default=d.idle, metavar="S",
                    help=f"seconds a connection may wait idle or for more of a body (default {d.idle})")
    ap.add_argument("--write-timeout", type=timeout, default=d.write, metavar="S",
                    help=f"seconds a write may make no progress (default {d.write})")
    ap.add_argument("--shutdown-timeout", type=float, default=d.shutdown, metavar="S",
                    help=f"seconds requests in flight get on shutdown (default {d.shutdown})")
    args = ap.parse_args(argv)
    server = Server(Timeouts(args.head_timeout, args.idle_timeout, args.write_timeout, args.shutdown_timeout))
    tls = make_tls(*args.tls) if args.tls else None
    loop = asyncio.get_running_loop()
    listener = await loop.create_server(lambda: Link(server), args.host, args.port, ssl=tls)
    port = listener.sockets[0].getsockname()[1]
    print(f"serving on {'https' if tls else 'http'}://{args.host}:{port}", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    print("shutting down", flush=True)
    listener.close()
    await server.shutdown()
    await listener.wait_closed()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
