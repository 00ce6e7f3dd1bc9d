"""One HTTP/2 client connection: each request a stream of its own, as many
at once as the server's stream limit allows, each body sent while its
answer is read."""

from __future__ import annotations

import asyncio
import contextlib
import time
from collections.abc import AsyncIterable
from typing import Any

import _quillon as q

from ..h2 import CANCEL, NO_ERROR, H2Driver, H2Stream
from ._errors import LocalProtocolError, ReadError, ReadTimeout, RemoteProtocolError, WriteError, WriteTimeout
from ._models import Request, Timeout
from ._net import Notify, Stale, Transport, ignore, settle_quietly
from ._h1 import stop

# Streams a new connection may open before the server's SETTINGS say how
# many it allows: what the widely used HTTP/2 libraries assume, so servers
# are sized for it, and a stream beyond the real limit costs the whole
# connection.
ASSUMED_STREAM_LIMIT = 100
REFUSED_STREAM = int(q.H2Reason.REFUSED_STREAM)
# Headers HTTP/2 forbids (RFC 9113 8.2.2): HTTP/1.1 connection management
# that a caller's headers may still carry.
CONNECTION_FIELDS = ("connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade", "host")


class ClientStream(H2Stream):
    __slots__ = ("upload_error",)

    def __init__(self) -> None:
        super().__init__()
        self.upload_error: Exception | None = None  # what ended the body's sending early


class H2Connection(H2Driver):
    http2 = True
    notify: Notify
    idle_since: float
    life: asyncio.Future[None]
    transport: Transport
    settled: asyncio.Event  # the server's first SETTINGS arrived: what it allows is known

    @classmethod
    def over(cls, transport: Transport) -> H2Connection:
        # No server push: nothing here would take a pushed stream.
        conn = cls("client", initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                   max_header_list_size=65536, max_send_buf_size=1 << 20, enable_push=False)
        conn.apply_stream_limit(ASSUMED_STREAM_LIMIT)
        conn.notify = ignore  # the pool's, once it holds the connection
        conn.transport = transport
        conn.idle_since = time.monotonic()
        conn.settled = asyncio.Event()
        conn.start(transport.writer)
        conn.life = asyncio.ensure_future(conn.live())
        return conn

    async def live(self) -> None:
        """The read pump; when it ends, so does every stream still open."""
        try:
            await self.read_pump(self.transport.reader)
        except Exception as e:  # a frame the core refused outside its protocol errors
            for handle, stop_ in self.fail(e, "connection failed"):
                handle.stopped(stop_, "connection")
        finally:
            await self.finish()
            self.transport.close()
            self.notify()

    @property
    def usable(self) -> bool:
        return not self.life.done()

    @property
    def idle(self) -> bool:
        return self.num_streams == 0 and self.num_open_streams == 0

    @property
    def stream_hint(self) -> int | None:
        return self.peer_max_concurrent_streams

    def learn_stream_limit(self, limit: int) -> None:
        if self.peer_max_concurrent_streams is None:
            self.apply_stream_limit(limit)

    def try_acquire(self) -> bool:
        # After the server's GOAWAY the connection drains: it finishes its
        # streams and takes no new ones.
        return not self.life.done() and self.goaway_info() is None and self.try_claim_slot()

    def release(self) -> None:
        """Gives back a slot that opened no stream."""
        self.release_slot_count()
        self.notify()

    def wake(self, flags: int) -> None:
        super().wake(flags)
        if flags & q.H2_FLAG_SLOT_FREED:
            if self.idle:
                self.idle_since = time.monotonic()
            self.notify()

    def recv_settings(self, frame: q.H2FrameSettings) -> tuple[bool, list[Any], int]:
        initial, wake_windows, flags = super().recv_settings(frame)
        if initial:
            self.settled.set()
        if initial and frame.max_concurrent_streams is None:
            # The server names no limit: the assumed one no longer holds.
            self.apply_stream_limit(None)
            flags |= q.H2_FLAG_SLOT_FREED
        return initial, wake_windows, flags

    def recv_go_away(self, frame: q.H2FrameGoAway) -> tuple[list[tuple[Any, q.H2Stopped]], int]:
        result = super().recv_go_away(frame)
        self.notify()  # waiters look elsewhere now
        return result

    async def aclose(self) -> None:
        if not self.life.done():
            # Said before the pumps stop, so the server knows the end is meant.
            with contextlib.suppress(q.QuillonError):
                self.wake(self.send_goaway(NO_ERROR))
        self.life.cancel()
        await asyncio.gather(self.life, return_exceptions=True)

    async def handle(self, request: Request, timeout: Timeout,
                     protocol: str | None = None) -> tuple[int, q.HeaderMap, str, H2Body]:
        """Opens a stream for `request` on a slot already claimed, and reads
        the answer's head; the body follows from the returned reader.
        `protocol` makes a CONNECT an extended one, its stream left open
        for what the protocol carries."""
        headers = request.headers
        for name in CONNECTION_FIELDS:
            if name in headers:
                del headers[name]
        body = request.body
        if isinstance(body, bytes) and "content-length" not in headers:
            headers["content-length"] = str(len(body))
        stream = ClientStream()
        try:
            # protocol= goes only with an extended CONNECT: plain requests run on a core built before it
            extended = {} if protocol is None else {"protocol": protocol}
            sid = self.open_stream(request.method, request.target, headers, body is None and protocol is None,
                                   request.method == "HEAD", stream, scheme=request.scheme,
                                   authority=request.authority, **extended)
        except (q.H2Error, ValueError) as e:
            self.notify()
            raise LocalProtocolError(str(e)) from e
        if sid is None:
            self.notify()
            raise Stale("connection going away", unsent=True, busy=self.served_others())
        stream.sid = sid
        self.kick.set()
        # The body goes out while the answer comes in: reading the answer is
        # what gives the server window back, and a server may answer (and
        # stop reading) before the body is through.
        sender = None
        offset = None if body is None else self.send_now(stream, body)
        if body is not None and offset is not None:
            sender = asyncio.ensure_future(self.send_body(stream, body, timeout.write, offset))
            sender.add_done_callback(settle_quietly)
        try:
            try:
                await self.wait_data(stream, stream.headed, timeout.read)
            except asyncio.TimeoutError:
                raise ReadTimeout(f"no answer for {timeout.read}s") from None
            if stream.head is None:
                raise self.no_answer(stream, sender)
        except BaseException:
            if sender is not None:
                await stop(sender)
            if stream.stop is None:
                self.reset(self.reset_stream(sid, CANCEL))
            raise
        return stream.head.status, stream.head.headers, "HTTP/2", H2Body(self, stream, sender, timeout)

    def no_answer(self, stream: ClientStream, sender: asyncio.Future[None] | None) -> Exception:
        """What a stream that stopped before its answer's head means."""
        if stream.upload_error is not None and stream.stopped_by == "local":
            return stream.upload_error
        stop_ = stream.stop
        info = self.goaway_info()
        reason = getattr(stop_, "reason", None)
        if reason == REFUSED_STREAM or (info is not None and stream.sid > info[0]):
            return Stale("the server did not process the request", unsent=True, busy=self.served_others())
        if getattr(stop_, "conn", False) or stream.stopped_by == "connection":
            if sender is not None and sender.done() and not sender.cancelled() and sender.exception():
                return WriteError(str(sender.exception()))
            return Stale("connection closed before the answer") if stream.stopped_by == "connection" \
                else RemoteProtocolError(f"connection ended: {stop_!r}")
        return RemoteProtocolError(f"stream reset before the answer: {stop_!r}")

    def served_others(self) -> bool:
        info = self.goaway_info()
        return info is not None and info[0] > 0

    def send_now(self, stream: ClientStream, body: bytes | AsyncIterable[bytes]) -> int | None:
        """Frames what the windows take of a body at once, with no task:
        None when that was all of it, else the offset to go on from."""
        if not isinstance(body, bytes):
            return 0
        v = self.send_data(stream.sid, body, 0, True)
        self.queued += v.sent
        self.wake(v.flags)
        if v.handle is not None:
            v.handle.stopped(v.reader_stop, "local")
        return None if v.done or v.stopped is not None else v.sent

    async def wait_data(self, stream: ClientStream, event: asyncio.Event, seconds: float | None) -> None:
        if seconds is None:
            await event.wait()
        else:
            async with asyncio.timeout(seconds):
                await event.wait()

    async def send_body(self, stream: ClientStream, body: bytes | AsyncIterable[bytes], seconds: float | None,
                        offset: int = 0) -> None:
        try:
            if isinstance(body, bytes):
                await self.send_piece(stream, body, True, seconds, offset)
                return
            async for piece in body:
                if piece:
                    await self.send_piece(stream, bytes(piece), False, seconds)
            await self.send_piece(stream, b"", True, seconds)
        except Exception as e:
            # A server that takes nothing will not answer either, and a
            # caller's body that fails leaves the request cut short: either
            # way the stream ends, and its reader says why.
            stream.upload_error = e
            if stream.stop is None and (isinstance(e, WriteTimeout) or not isinstance(e, WriteError)):
                self.reset(self.reset_stream(stream.sid, CANCEL))
            raise

    async def send_piece(self, stream: ClientStream, data: bytes, end: bool, seconds: float | None,
                         offset: int = 0) -> None:
        """`H2Driver.send_all` with a write timeout on each wait for window."""
        while True:
            stream.window.clear()
            v = self.frame_data(stream.sid, data, offset, end)
            if v.stopped is not None:
                raise WriteError(f"stream stopped: {v.stopped!r}")
            offset += v.sent
            if v.done:
                return
            if v.sent == 0:
                try:
                    await self.wait_data(stream, stream.window, seconds)
                except asyncio.TimeoutError:
                    raise WriteTimeout(f"the server took nothing for {seconds}s") from None


class H2Body:
    """An answer's body, its window given back as it is read. Closed before
    its end, the stream is reset (CANCEL) and the connection goes on."""

    def __init__(self, conn: H2Connection, stream: ClientStream, sender: asyncio.Future[None] | None,
                 timeout: Timeout) -> None:
        self.conn, self.stream, self.sender, self.timeout = conn, stream, sender, timeout
        self.trailers: q.HeaderMap | None = None
        self.done = False

    async def read(self) -> bytes:
        stream, conn = self.stream, self.conn
        try:
            while True:
                if stream.chunks:
                    return conn.consume(stream)
                if stream.ended:
                    # A reset after the end (a server stopping an upload it
                    # no longer needs) does not spoil the answer.
                    self.trailers = stream.trailers
                    await self.end()
                    return b""
                if self.done:
                    return b""
                if stream.stop is not None:
                    if stream.upload_error is not None and stream.stopped_by == "local":
                        raise stream.upload_error
                    raise RemoteProtocolError(f"stream reset in the answer's body: {stream.stop!r}") \
                        if stream.stopped_by == "peer" else ReadError(f"connection ended: {stream.stop!r}")
                stream.data.clear()
                try:
                    await conn.wait_data(stream, stream.data, self.timeout.read)
                except asyncio.TimeoutError:
                    raise ReadTimeout(f"no more of the answer for {self.timeout.read}s") from None
        except BaseException:
            await self.end()
            raise

    async def end(self) -> None:
        if self.done:
            return
        self.done = True
        if self.sender is not None and not self.sender.done():
            # The answer ended (or failed) before the upload did.
            await stop(self.sender)
        if self.stream.stop is None and self.conn.has_stream(self.stream.sid):
            self.conn.reset(self.conn.reset_stream(self.stream.sid, CANCEL))

    async def aclose(self) -> None:
        await self.end()
