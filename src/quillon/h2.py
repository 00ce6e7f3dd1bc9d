"""The asyncio half of an HTTP/2 connection over `_quillon.H2Streams`, shared
by the server and the client: a read pump that hands each decoded frame
to the connection object, a write pump that ships its pending batches, and
the per-stream handles it wakes. Every protocol decision (windows, stream
states, resets, GOAWAY) is the connection object's; this file only moves
bytes and sets events."""

from __future__ import annotations

import asyncio
import collections
from collections.abc import AsyncIterator
from typing import Any, Protocol

import _quillon as q

from .handler import BodyError

READ_SIZE = 65536
PREFACE_SIZE = len(q.H2_PREFACE)
NO_ERROR = int(q.H2Reason.NO_ERROR)
PROTOCOL_ERROR = int(q.H2Reason.PROTOCOL_ERROR)
INTERNAL_ERROR = int(q.H2Reason.INTERNAL_ERROR)
CANCEL = int(q.H2Reason.CANCEL)
REFUSED_STREAM = int(q.H2Reason.REFUSED_STREAM)


class Reader(Protocol):
    async def read(self, size: int = ...) -> bytes: ...


class Writer(Protocol):
    def write(self, data: bytes | memoryview) -> None: ...

    async def drain(self) -> None: ...


class H2Stream:
    """The handle the connection object stores per stream and hands back:
    this driver's events and queues for one stream."""

    __slots__ = ("sid", "head", "trailers", "chunks", "eof", "stop", "stopped_by", "data", "window", "headed",
                 "status", "request", "ended")

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
        self.request: Any = None  # the Request a handler is serving from this stream (server)
        self.ended = False  # the peer's END_STREAM arrived: its body is whole, whatever follows

    def stopped(self, stop: Any, by: str) -> None:
        if not self.stopped_by:
            self.stopped_by = by
        self.stop = stop
        self.eof = True
        self.data.set()
        self.window.set()
        self.headed.set()
        if self.request is not None:
            self.request.peer_gone.set()  # the handler stops producing for nobody


class StreamStopped(BodyError):
    """The stream stopped (reset, or its connection ended) under a reader
    or a sender."""


class H2Driver(q.H2Streams):
    """Subclasses add what a role does with a new or answered stream.

    `send_budget` bounds the DATA bytes the whole connection holds queued
    and not yet taken by the transport: past it, senders wait for the write
    pump, so a peer that reads nothing costs that much, not a send buffer
    per stream. `body_timeout` resets (CANCEL) a stream whose body stops
    arriving for that long while it is read, `body_deadline` one whose
    whole body takes longer than that from its first read (a body
    trickled in a byte per timeout)."""

    def start(self, writer: Writer, send_budget: int | None = None, body_timeout: float | None = None,
              body_deadline: float | None = None) -> None:
        self.writer = writer
        self.send_budget = send_budget
        self.body_timeout = body_timeout  # the longest wait for more of a received body
        self.body_deadline = body_deadline  # the longest read of one whole received body
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
                    self.batch_done()
                    while self.has_backlog():  # one receive returns a bounded batch
                        for frame in self.receive(b""):
                            self.dispatch(frame)
                        self.batch_done()
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

    def batch_done(self) -> None:
        """Every frame of one received batch has been dispatched."""

    def new_stream(self) -> H2Stream:
        """The handle of a stream the peer opens (server role)."""
        return H2Stream()

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
                    h.ended = h.ended or v.eof
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
        spare = self.new_stream() if self.is_server else None
        v = self.recv_headers(frame, spare)
        h: H2Stream | None = v.handle
        if h is None:
            pass  # ignored: a stream we forgot, or an informational head
        elif v.kind == q.H2_HEADERS_OPENED:
            h.sid, h.head, h.eof, h.ended = v.stream_id, frame, v.eof, v.eof
            self.opened(h)
        elif v.kind == q.H2_HEADERS_HEAD:
            h.head, h.eof, h.ended = frame, h.eof or v.eof, h.ended or v.eof
            h.headed.set()
            h.data.set()
        elif v.kind == q.H2_HEADERS_TRAILERS:
            h.trailers, h.eof, h.ended = frame.headers, True, True
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
        loop = asyncio.get_running_loop()
        end = None if self.body_deadline is None else loop.time() + self.body_deadline
        while True:
            while stream.chunks:
                yield self.consume(stream)
            if stream.ended:
                return  # a reset after the end (an early answer's NO_ERROR) takes nothing away
            if stream.stop is not None:
                raise StreamStopped(f"stream stopped: {stream.stop!r}")
            if stream.eof:
                return
            stream.data.clear()
            wait = self.body_timeout
            if end is not None:
                wait = max(0.0, end - loop.time()) if wait is None else max(0.0, min(wait, end - loop.time()))
            if wait is None:
                await stream.data.wait()
                continue
            try:
                await asyncio.wait_for(stream.data.wait(), wait)
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

    def frame_data(self, sid: int, data: bytes, offset: int, end: bool) -> Any:
        """Frames what the windows take of `data` from `offset`, counted
        toward the send budget; the core's verdict (a stream it stopped on
        the way is told)."""
        v = self.send_data(sid, data, offset, end)
        self.queued += v.sent
        self.wake(v.flags)
        if v.handle is not None:
            v.handle.stopped(v.reader_stop, "local")
        return v

    async def send_all(self, stream: H2Stream, data: bytes, end: bool, offset: int = 0) -> bool:
        """Frames `data` from `offset` under the windows and the connection's
        send budget, waiting for them as needed; False when the stream
        stopped."""
        budget = self.send_budget
        while True:
            stream.window.clear()
            if budget is not None and offset < len(data) and self.queued + self.writing >= budget:
                if stream.stop is not None:
                    return False
                self.gated.add(stream)
                await stream.window.wait()
                continue
            v = self.frame_data(stream.sid, data, offset, end)
            if v.stopped is not None:
                return False
            offset += v.sent
            if v.done:
                return True
            if v.sent == 0:
                await stream.window.wait()
