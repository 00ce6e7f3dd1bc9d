"""The asyncio half of an HTTP/2 connection over `_quillon.H2Streams`, shared
by the example server and client: a read pump that hands each decoded frame
to the connection object, a write pump that ships its pending batches, and
the per-stream handles it wakes. Every protocol decision (windows, stream
states, resets, GOAWAY) is the connection object's; this file only moves
bytes and sets events."""

from __future__ import annotations

import asyncio
import collections

import _quillon as q

READ_SIZE = 65536


class H2Stream:
    """The handle the connection object stores per stream and hands back:
    this driver's events and queues for one stream."""

    __slots__ = ("sid", "head", "trailers", "chunks", "eof", "stop", "data", "window", "headed")

    def __init__(self):
        self.sid = 0
        self.head = None  # the H2FrameHeaders that opened the stream or answered it
        self.trailers = None
        self.chunks = collections.deque()  # (payload, budgeted)
        self.eof = False
        self.stop = None
        self.data = asyncio.Event()  # a chunk, the end or a stop arrived
        self.window = asyncio.Event()  # send window or buffer room grew, or a stop
        self.headed = asyncio.Event()  # the response head arrived (client)

    def stopped(self, stop) -> None:
        self.stop = stop
        self.eof = True
        self.data.set()
        self.window.set()
        self.headed.set()


class StreamStopped(ConnectionError):
    pass


class H2Driver(q.H2Streams):
    """Subclasses add what a role does with a new or answered stream."""

    def start(self, writer: asyncio.StreamWriter) -> None:
        self.writer = writer
        self.kick = asyncio.Event()
        self.begin()
        self.pump = asyncio.ensure_future(self.write_pump())
        self.kick.set()

    async def finish(self) -> None:
        for handle, stop in self.fail(None, "connection closed"):
            handle.stopped(stop)
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
                if len(view):
                    w.write(view)  # the transport copies what it cannot send now
                view.release()
                try:
                    await w.drain()
                except ConnectionError:
                    stopping = True
                for handle in self.credit_written():
                    handle.window.set()
                if stopping:
                    return
                if not self.has_pending():
                    break

    async def read_pump(self, reader: asyncio.StreamReader, data: bytes = b"") -> None:
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
                    self.wake(self.send_goaway(e.args[0]))
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

    def dispatch(self, frame) -> None:
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
                    handle.stopped(stop)
                self.wake(flags)
            elif kind is q.H2FrameGoAway:
                pairs, flags = self.recv_go_away(frame)
                for handle, stop in pairs:
                    handle.stopped(stop)
                self.wake(flags)
            elif kind is q.H2FrameStreamError:
                self.reset(self.reset_on_error(frame.stream_id, frame.error_code))
        except q.H2StreamError as e:
            self.reset(self.reset_on_error(e.args[0], e.args[1]))

    def on_headers(self, frame) -> None:
        spare = H2Stream() if self.is_server else None
        v = self.recv_headers(frame, spare)
        h = v.handle
        if v.kind == q.H2_HEADERS_OPENED:
            h.sid, h.head, h.eof = v.stream_id, frame, v.eof
            self.opened(h)
        elif v.kind == q.H2_HEADERS_HEAD:
            h.head, h.eof = frame, h.eof or v.eof
            h.headed.set()
            h.data.set()
        elif v.kind == q.H2_HEADERS_TRAILERS and h is not None:
            h.trailers, h.eof = frame.headers, True
            h.data.set()
        self.wake(v.flags)

    def reset(self, verdict) -> None:
        if verdict.handle is not None:
            verdict.handle.stopped(verdict.stop)
        self.wake(verdict.flags)

    async def read_body(self, stream: H2Stream, limit: int):
        """The whole received body of `stream`, giving its window back as it
        is consumed."""
        pieces, size = [], 0
        while True:
            while stream.chunks:
                payload, budgeted = stream.chunks.popleft()
                size += len(payload)
                if size > limit:
                    raise StreamStopped("body too large")
                pieces.append(payload)
                self.wake(self.release_capacity(stream.sid, len(payload)))
                if budgeted:
                    self.release_data_frame(stream.sid, len(payload))
            if stream.stop is not None:
                raise StreamStopped(f"stream stopped: {stream.stop!r}")
            if stream.eof:
                return b"".join(pieces)
            stream.data.clear()
            await stream.data.wait()

    async def send_all(self, stream: H2Stream, data: bytes, end: bool) -> bool:
        """Frames `data` under the windows, waiting for them as needed;
        False when the stream stopped."""
        offset = 0
        while True:
            stream.window.clear()
            v = self.send_data(stream.sid, data, offset, end)
            self.wake(v.flags)
            if v.handle is not None:
                v.handle.stopped(v.reader_stop)
            if v.stopped is not None:
                return False
            offset += v.sent
            if v.done:
                return True
            if v.sent == 0:
                await stream.window.wait()
