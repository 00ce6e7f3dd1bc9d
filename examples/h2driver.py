"""The asyncio half of an HTTP/2 connection over `_quillon.H2Streams`, shared
by the example server and client: a read pump that hands each decoded frame
to the connection object, a write pump that ships its pending batches, and
the per-stream handles it wakes. Every protocol decision (windows, stream
states, resets, GOAWAY) is the connection object's; this file only moves
bytes and sets events."""

from __future__ import annotations

import asyncio
import collections
import traceback
from collections.abc import AsyncIterator, Awaitable
from typing import TYPE_CHECKING, Any, Protocol

import _quillon as q
from handler import MAX_DRAIN, BodyError, Handler, Request, Response, body_length, settle, skip_body, start

if TYPE_CHECKING:
    from link import Link

READ_SIZE = 65536
PREFACE_SIZE = len(q.H2_PREFACE)
NO_ERROR = int(q.H2Reason.NO_ERROR)
PROTOCOL_ERROR = int(q.H2Reason.PROTOCOL_ERROR)
INTERNAL_ERROR = int(q.H2Reason.INTERNAL_ERROR)
CANCEL = int(q.H2Reason.CANCEL)


class Reader(Protocol):
    async def read(self, size: int = ...) -> bytes: ...


class Writer(Protocol):
    def write(self, data: bytes | memoryview) -> None: ...

    async def drain(self) -> None: ...


class H2Stream:
    """The handle the connection object stores per stream and hands back:
    this driver's events and queues for one stream."""

    __slots__ = ("sid", "head", "trailers", "chunks", "eof", "stop", "stopped_by", "data", "window", "headed",
                 "status")

    def __init__(self) -> None:
        self.sid = 0
        self.head: Any = None  # the H2FrameHeaders that opened the stream or answered it
        self.trailers: q.HeaderMap | None = None
        self.chunks: collections.deque[tuple[bytes, bool]] = collections.deque()  # (payload, budgeted)
        self.eof = False
        self.stop: Any = None  # the H2Stopped that ended the stream
        self.stopped_by = ""  # "peer", "local" or "connection"
        self.data = asyncio.Event()  # a chunk, the end or a stop arrived
        self.window = asyncio.Event()  # send window or buffer room grew, or a stop
        self.headed = asyncio.Event()  # the response head arrived (client)
        self.status: int | None = None  # the status of the response head we sent (server)

    def stopped(self, stop: Any, by: str) -> None:
        if not self.stopped_by:
            self.stopped_by = by
        self.stop = stop
        self.eof = True
        self.data.set()
        self.window.set()
        self.headed.set()


class StreamStopped(BodyError):
    """The stream stopped (reset, or its connection ended) under a reader
    or a sender."""


class H2Driver(q.H2Streams):
    """Subclasses add what a role does with a new or answered stream.

    `send_budget` bounds the DATA bytes the whole connection holds queued
    and not yet taken by the transport: past it, senders wait for the write
    pump, so a peer that reads nothing costs that much, not a send buffer
    per stream. `body_timeout` resets (CANCEL) a stream whose body stops
    arriving for that long while it is read."""

    def start(self, writer: Writer, send_budget: int | None = None, body_timeout: float | None = None) -> None:
        self.writer = writer
        self.send_budget = send_budget
        self.body_timeout = body_timeout  # the longest wait for more of a received body
        self.queued = 0  # DATA bytes framed since the pump last took the pending bytes
        self.writing = 0  # DATA bytes in the batch the pump is writing
        self.gated: set[H2Stream] = set()  # senders waiting for the budget
        self.kick = asyncio.Event()
        self.begin()
        self.pump = asyncio.ensure_future(self.write_pump())
        self.kick.set()

    async def finish(self) -> None:
        for handle, stop in self.fail(None, "connection closed"):
            handle.stopped(stop, "connection")
        self.stop_pump()
        self.kick.set()
        await asyncio.gather(self.pump, return_exceptions=True)

    def wake(self, flags: int) -> None:
        if flags & q.H2_FLAG_WAKE:
            self.kick.set()

    async def write_pump(self) -> None:
        w = self.writer
        while True:
            await self.kick.wait()
            self.kick.clear()
            while True:
                view, stopping = self.take_pending()
                self.writing += self.queued
                self.queued = 0
                if len(view):
                    w.write(view)
                # Dropped, not released: a transport that keeps the view to
                # send later (TLS, uvloop) keeps the batch alive with it.
                del view
                try:
                    await w.drain()
                except ConnectionError:
                    stopping = True
                for handle in self.credit_written():
                    handle.window.set()
                self.writing = 0
                for handle in self.gated:
                    handle.window.set()
                self.gated.clear()
                if stopping:
                    return
                if not self.has_pending():
                    break

    async def read_pump(self, reader: Reader, data: bytes = b"") -> None:
        """Reads and dispatches until the peer closes, the connection fails
        or it is done."""
        while True:
            if data:
                try:
                    for frame in self.receive(data):
                        self.dispatch(frame)
                    while self.has_backlog():  # one receive returns a bounded batch
                        for frame in self.receive(b""):
                            self.dispatch(frame)
                except (q.H2ProtocolError, q.H2FlowControlError) as e:
                    self.wake(self.send_goaway(PROTOCOL_ERROR if e.args[0] is None else e.args[0]))
                    await asyncio.sleep(0)  # let the pump write the GOAWAY
                    return
                flags = self.maybe_goaway_reply()
                self.wake(flags)
                if flags & q.H2_FLAG_CONN_DONE or self.done():
                    return
            try:
                data = await reader.read(READ_SIZE)
            except (ConnectionError, OSError):
                return
            if not data:
                return

    def done(self) -> bool:
        return False

    def opened(self, stream: H2Stream) -> None:
        """A peer opened `stream` (server role)."""

    def dispatch(self, frame: Any) -> None:
        kind = type(frame)
        try:
            if kind is q.H2FrameData:
                v = self.recv_data(frame)
                h = v.handle
                if h is not None:
                    if v.payload is not None:
                        h.chunks.append((v.payload, v.budgeted))
                    h.eof = h.eof or v.eof
                    h.data.set()
                self.wake(v.flags)
            elif kind is q.H2FrameHeaders:
                self.on_headers(frame)
            elif kind is q.H2FrameWindowUpdate:
                for handle in self.recv_window_update(frame):
                    handle.window.set()
            elif kind is q.H2FrameSettings:
                _initial, wake_windows, flags = self.recv_settings(frame)
                for handle in wake_windows:
                    handle.window.set()
                self.wake(flags)
            elif kind is q.H2FramePing:
                self.wake(self.recv_ping(frame))
            elif kind is q.H2FrameRstStream:
                handle, stop, _notify_body, flags = self.recv_reset(frame)
                if handle is not None:
                    handle.stopped(stop, "peer")
                self.wake(flags)
            elif kind is q.H2FrameGoAway:
                pairs, flags = self.recv_go_away(frame)
                for handle, stop in pairs:
                    handle.stopped(stop, "peer")
                self.wake(flags)
            elif kind is q.H2FrameStreamError:
                self.reset(self.reset_on_error(frame.stream_id, frame.error_code))
        except q.H2StreamError as e:
            self.reset(self.reset_on_error(e.args[0], e.args[1]))

    def on_headers(self, frame: Any) -> None:
        spare = H2Stream() if self.is_server else None
        v = self.recv_headers(frame, spare)
        h: H2Stream | None = v.handle
        if h is None:
            pass  # ignored: a stream we forgot, or an informational head
        elif v.kind == q.H2_HEADERS_OPENED:
            h.sid, h.head, h.eof = v.stream_id, frame, v.eof
            self.opened(h)
        elif v.kind == q.H2_HEADERS_HEAD:
            h.head, h.eof = frame, h.eof or v.eof
            h.headed.set()
            h.data.set()
        elif v.kind == q.H2_HEADERS_TRAILERS:
            h.trailers, h.eof = frame.headers, True
            h.data.set()
        self.wake(v.flags)

    def reset(self, verdict: Any) -> None:
        if verdict.handle is not None:
            verdict.handle.stopped(verdict.stop, "local")
        self.wake(verdict.flags)

    def consume(self, stream: H2Stream) -> bytes:
        """The next received chunk of `stream`, its window given back."""
        payload, budgeted = stream.chunks.popleft()
        self.wake(self.release_capacity(stream.sid, len(payload)))
        if budgeted:
            self.release_data_frame(stream.sid, len(payload))
        return payload

    async def received(self, stream: H2Stream) -> AsyncIterator[bytes]:
        """Each received piece of `stream`'s body as it arrives, its window
        given back as it is taken; StreamStopped when the stream stops
        before its end."""
        while True:
            while stream.chunks:
                yield self.consume(stream)
            if stream.stop is not None:
                raise StreamStopped(f"stream stopped: {stream.stop!r}")
            if stream.eof:
                return
            stream.data.clear()
            if self.body_timeout is None:
                await stream.data.wait()
                continue
            try:
                await asyncio.wait_for(stream.data.wait(), self.body_timeout)
            except asyncio.TimeoutError:
                self.reset(self.reset_stream(stream.sid, CANCEL))
                raise StreamStopped("request body timed out") from None

    async def read_body(self, stream: H2Stream, limit: int) -> bytes:
        """The whole received body of `stream`."""
        pieces: list[bytes] = []
        size = 0
        async for payload in self.received(stream):
            size += len(payload)
            if size > limit:
                raise StreamStopped("body too large")
            pieces.append(payload)
        return b"".join(pieces)

    async def discard_body(self, stream: H2Stream, limit: int) -> bool:
        """Reads and drops the received body of `stream` to its end: True
        once it ended, False past `limit` bytes (the request is then cut
        short when the response completes)."""
        size = 0
        async for payload in self.received(stream):
            size += len(payload)
            if size > limit:
                return False
        return True

    async def send_all(self, stream: H2Stream, data: bytes, end: bool) -> bool:
        """Frames `data` under the windows and the connection's send budget,
        waiting for them as needed; False when the stream stopped."""
        offset = 0
        budget = self.send_budget
        while True:
            stream.window.clear()
            if budget is not None and offset < len(data) and self.queued + self.writing >= budget:
                if stream.stop is not None:
                    return False
                self.gated.add(stream)
                await stream.window.wait()
                continue
            v = self.send_data(stream.sid, data, offset, end)
            self.queued += v.sent
            self.wake(v.flags)
            if v.handle is not None:
                v.handle.stopped(v.reader_stop, "local")
            if v.stopped is not None:
                return False
            offset += v.sent
            if v.done:
                return True
            if v.sent == 0:
                await stream.window.wait()


# ---------------------------------------------------------------------------
# The server role


class H2Site(Protocol):
    """What an HTTP/2 server connection needs from its server."""

    handler: Handler
    eager: bool  # the handler may start before its first wait outside a task's own step (see handler.start)

    def log(self, peer: str, request: Request, status: int | None, note: str | None = None) -> None: ...


class H2Body:
    """A request body read on demand from its stream's queue."""

    def __init__(self, conn: H2Driver, stream: H2Stream) -> None:
        self.stream = stream
        self.pieces = conn.received(stream)
        self.started = False
        self.complete = False

    async def read(self) -> bytes:
        self.started = True
        piece = await anext(self.pieces, b"")
        if not piece:
            self.complete = True
        return piece


class H2ServerConnection(H2Driver):
    """One HTTP/2 server connection: the shared pumps plus a task per request
    (none for a request without a body that an eager handler answers at
    once with bytes the windows take: it is served inside the read pump).

    While no request is in progress the connection has a deadline: the head
    timeout until the first request, the idle timeout after each; bytes
    that open no stream (pings, settings, a header block dribbled in) do not
    move it. At the deadline it says GOAWAY and closes."""

    async def serve(self, link: Link, site: H2Site, preface: bytes, send_budget: int | None) -> None:
        self.site, self.link, self.peer = site, link, link.peer
        self.handlers: set[asyncio.Task[None]] = set()
        self.start(link, send_budget, link.timeouts.idle)
        link.deadline(link.timeouts.head, self.expire)
        try:
            # The sniffer already read the client preface (and maybe more).
            if self.prime(preface[:PREFACE_SIZE]) is True:
                await self.read_pump(link, preface[PREFACE_SIZE:])
        finally:
            for t in list(self.handlers):
                t.cancel()
            await asyncio.gather(*self.handlers, return_exceptions=True)
            await self.finish()

    def done(self) -> bool:
        return bool(self.shutdown_final and self.num_streams == 0)

    def expire(self) -> None:
        self.wake(self.send_goaway(NO_ERROR))  # with the last stream served
        self.link.end_input()  # the read pump ends, then the pumps flush and close

    def opened(self, stream: H2Stream) -> None:
        self.link.clear_deadline()
        if stream.eof and self.site.eager and self.answer_now(stream):
            if not self.handlers:
                self.link.deadline(self.link.timeouts.idle, self.expire)
            return
        task = asyncio.ensure_future(self.respond(stream))
        self.handlers.add(task)
        task.add_done_callback(self.handler_done)

    def handler_done(self, task: asyncio.Task[None]) -> None:
        self.handlers.discard(task)
        if not self.handlers:
            self.link.deadline(self.link.timeouts.idle, self.expire)

    def request_of(self, stream: H2Stream, body: H2Body | None) -> Request:
        head = stream.head
        link = self.link
        return Request(head.method or "GET", head.path or "/", head.headers, "HTTP/2",
                       None if body is None else body.read, scheme=head.scheme or link.scheme, client=link.client,
                       server=link.local, authority=head.authority)

    def answer_now(self, stream: H2Stream) -> bool:
        """Serves a request without a body from inside the read pump, with
        no task, when its handler answers at once with whole bytes that
        fit the windows; False when it needs a task (nothing is sent yet,
        or what is left of the body goes out in one)."""
        sid = stream.sid
        budget = self.send_budget
        if stream.stop is not None or (budget is not None and self.queued + self.writing >= budget):
            return False
        self.accepted(sid)
        request = self.request_of(stream, None)
        answer = start(self.site.handler, request)
        if (not isinstance(answer, Response) or answer.stream is not None or answer.trailers is not None
                or request.method == "HEAD"):
            self.spawn_respond(stream, request, answer)
            return True
        body = answer.body
        v = self.send_response_head(sid, answer.status, answer.headers, not body)
        self.wake(v.flags)
        if v.stopped is None:
            stream.status = answer.status
            if body:
                d = self.send_data(sid, body, 0, True)
                self.queued += d.sent
                self.wake(d.flags)
                if d.handle is not None:
                    d.handle.stopped(d.reader_stop, "local")
                if d.stopped is None and not d.done:
                    # The windows took part of it: a task sends the rest.
                    self.spawn_respond(stream, request, Response(answer.status, answer.headers, body[d.sent:]),
                                       head_sent=True)
                    return True
                if d.stopped is not None:
                    self.site.log(self.peer, request, stream.status, stop_note(stream))
                    return True
            self.site.log(self.peer, request, stream.status)
            return True
        self.site.log(self.peer, request, stream.status, stop_note(stream))
        return True

    def spawn_respond(self, stream: H2Stream, request: Request, answer: Response | Awaitable[Response],
                      head_sent: bool = False) -> None:
        task = asyncio.ensure_future(self.respond(stream, request, answer, head_sent))
        self.handlers.add(task)
        task.add_done_callback(self.handler_done)

    async def respond(self, stream: H2Stream, request: Request | None = None,
                      answer: Response | Awaitable[Response] | None = None, head_sent: bool = False) -> None:
        """Runs the handler (unless `answer` is what it already gave) and
        sends its response (only the rest of its body after `head_sent`)."""
        body = H2Body(self, stream)
        if request is None:
            self.accepted(stream.sid)
            request = self.request_of(stream, None if stream.eof else body)
        try:
            if stream.stop is not None:
                raise StreamStopped("reset before the handler ran")
            if answer is None:
                handler = self.site.handler
                answer = start(handler, request) if self.site.eager else handler(request)
            response = answer if isinstance(answer, Response) else await settle(answer)
            if head_sent:
                if await self.send_all(stream, response.body, True):
                    self.site.log(self.peer, request, stream.status)
                    return
                raise StreamStopped("stopped while the body went out")
            if not body.started and response.stream is None and not stream.eof:
                # A response that reads no body goes out once the request has
                # ended, so a client that breaks its own framing (a DATA
                # frame beyond content-length) sees the stream error instead
                # of a response. (A streamed one may still read it.)
                await self.discard_body(stream, MAX_DRAIN)
            if stream.stop is not None:
                raise StreamStopped("reset while the handler ran")
            if await self.send_response(stream, request, response):
                self.site.log(self.peer, request, stream.status)
                return
        except StreamStopped:
            if stream.stop is None:  # our own limit, not the client's doing
                self.reset(self.reset_stream(stream.sid, CANCEL))
        except Exception:
            # The body failed after its head went out: the stream ends reset.
            traceback.print_exc()
            self.reset(self.reset_stream(stream.sid, INTERNAL_ERROR))
            self.site.log(self.peer, request, stream.status, "handler failed")
            return
        except asyncio.CancelledError:  # the connection ended under the handler
            self.site.log(self.peer, request, stream.status, "connection closed")
            raise
        self.site.log(self.peer, request, stream.status, stop_note(stream))

    async def send_response(self, stream: H2Stream, request: Request, response: Response) -> bool:
        """Sends `response` with END_STREAM on its last frame; False when the
        stream stopped first (`stream.status` says whether the head went)."""
        sid = stream.sid
        if request.method == "HEAD":
            return await self.send_head_only(stream, request, response)
        body, trailers = response.body, response.trailers
        empty = response.stream is None and not body and trailers is None
        v = self.send_response_head(sid, response.status, response.headers, empty)
        self.wake(v.flags)
        if v.stopped is not None:
            return False
        stream.status = response.status
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
        length = body_length(response)
        if length is not None and "content-length" not in headers:
            headers = q.HeaderMap(headers)
            headers["content-length"] = str(length)
        await skip_body(response)
        v = self.send_response_head(stream.sid, response.status, headers, True)
        self.wake(v.flags)
        if v.stopped is not None:
            return False
        stream.status = response.status
        return True


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
