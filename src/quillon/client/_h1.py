"""One HTTP/1.1 client connection: exchanges take turns on it, each
request body sent while the answer is read."""

from __future__ import annotations

import asyncio
import time
from collections.abc import AsyncIterable
from typing import Any

import _quillon as q

from ._errors import LocalProtocolError, ReadError, RemoteProtocolError, WriteError
from ._models import Request, Timeout
from ._net import Notify, Stale, Transport, close_transport, drain, ignore, read_some, settle_quietly

# A request body goes out in pieces this size, each drained before the
# next, so the socket buffers bound what is held and reading goes on.
SEND_PIECE = 262144


class H1Connection(q.H1ClientState):
    """The core's `H1ClientState` says who holds the connection and whether
    it is dead; this class moves the bytes."""

    http2 = False
    codec: q.H1Codec
    notify: Notify  # tells the pool the connection came free or closed
    idle_since: float
    exchanges: int

    @classmethod
    def over(cls, transport: Transport) -> H1Connection:
        conn = cls(transport)
        conn.codec = q.H1Codec()
        conn.notify = ignore  # the pool's, once it holds the connection
        conn.idle_since = time.monotonic()
        conn.exchanges = 0
        return conn

    @property
    def usable(self) -> bool:
        return not self.is_dead()

    @property
    def idle(self) -> bool:
        return not self.busy

    stream_hint = None

    def learn_stream_limit(self, limit: int) -> None:
        pass

    def try_acquire(self) -> bool:
        if self.is_dead():
            return False
        transport = self.transport_ref()
        if transport is not None and transport.reader.at_eof():
            # The server closed it while it was idle: no request need find
            # that out by failing.
            close_transport(self.close_now())
            return False
        return self.try_begin_exchange()

    def release(self) -> None:
        if self.end_exchange():
            self.idle_since = time.monotonic()
            self.notify()

    async def aclose(self) -> None:
        close_transport(self.close_now())
        self.notify()

    async def handle(self, request: Request, timeout: Timeout) -> tuple[int, q.HeaderMap, str, H1Body | Switched]:
        """Sends `request` on the acquired connection and reads the answer's
        head; the body follows from the returned reader, and the connection
        is free again once that reader is done."""
        transport = self.transport_ref()
        if transport is None or self.is_dead():
            self.release()
            raise Stale("connection closed", unsent=True)
        self.exchanges += 1
        reused = self.exchanges > 1
        codec = self.codec
        sender: asyncio.Future[None] | None = None
        try:
            self.exchange_started()
            body = request.body
            try:
                if body is None:
                    head = codec.serialize_request(request.method, request.target, request.headers)
                elif isinstance(body, bytes):
                    head = codec.serialize_request(request.method, request.target, request.headers,
                                                   content_length=len(body))
                else:
                    head = codec.serialize_request(request.method, request.target, request.headers, chunked=True)
            except (q.H1Error, ValueError) as e:
                raise LocalProtocolError(str(e)) from e
            if body is None:
                transport.writer.write(head)
                self.writer_done()
            elif isinstance(body, bytes) and len(body) <= SEND_PIECE:
                transport.writer.write(head + body)
                self.writer_done()
            else:
                # The body goes out while the answer is read: a server that
                # answers as it reads, or early, is never left waiting on a
                # client that reads only once it has sent everything.
                sender = asyncio.ensure_future(self.send_body(transport, head, body, timeout.write))
                sender.add_done_callback(settle_quietly)
            answer = None
            seen = False
            while answer is None:
                try:
                    data = await read_during(transport.reader, timeout.read, sender)
                except ReadError as e:
                    if reused and not seen:
                        raise Stale(str(e), unsent=False) from e
                    raise upload_failure(sender) or e
                if not data:
                    if reused and not seen:
                        raise Stale("kept-alive connection closed before the answer")
                    raise upload_failure(sender) or ReadError("connection closed before the answer")
                seen = True
                try:
                    answer = codec.receive_head(data)
                except q.H1Error as e:
                    raise RemoteProtocolError(f"malformed answer: {e}") from e
            if answer.status == 101 and "upgrade" in request.headers:
                # The socket now speaks what the request switched to: it and
                # the bytes read past the head go to the caller.
                return 101, answer.headers, "HTTP/1.1", Switched(self, codec.take_body())
            if answer.http10:
                self.set_peer_http10(True)
            decoder = q.H1BodyDecoder(answer.body_kind, answer.content_length or 0)
            codec.take_body_into(decoder)
            reader = H1Body(self, transport, decoder, sender, answer.keep_alive, timeout)
            return answer.status, answer.headers, "HTTP/1.0" if answer.http10 else "HTTP/1.1", reader
        except BaseException as e:
            if sender is not None:
                await stop(sender)
            close_transport(self.fail(e if isinstance(e, Exception) else None))
            self.release()
            raise

    async def send_body(self, transport: Transport, head: bytes, body: bytes | AsyncIterable[bytes],
                        seconds: float | None) -> None:
        writer, codec = transport.writer, self.codec
        writer.write(head)
        if isinstance(body, bytes):
            view = memoryview(body)
            for start in range(0, len(body), SEND_PIECE):
                await drain(writer, seconds)
                writer.write(view[start:start + SEND_PIECE])
        else:
            async for piece in body:
                if piece:
                    await drain(writer, seconds)
                    writer.write(codec.serialize_data(bytes(piece)))
            writer.write(codec.serialize_end())
        # Whole in the transport's hands: an answer read from here on
        # leaves the connection fit for another exchange.
        self.writer_done()
        await drain(writer, seconds)


async def read_during(reader: Transport, seconds: float | None,
                      sender: asyncio.Future[None] | None) -> bytes:
    """A read while the body may still be going out. A write timeout ends
    it at once (a server that takes nothing will not answer); a failed
    write does not, as the answer may already be on its way."""
    if sender is None or sender.done():
        return await read_some(reader, seconds)
    read = asyncio.ensure_future(read_some(reader, seconds))
    try:
        pending: list[asyncio.Future[Any]] = [read, sender]
        await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
        failure = upload_failure(sender)
        if not read.done() and failure is not None and not isinstance(failure, WriteError):
            raise failure
        return await read
    finally:
        await stop(read)


def upload_failure(sender: asyncio.Future[None] | None) -> BaseException | None:
    """The error that ended the upload, when it ended in one: the real
    cause of an answer that then never came (the caller's own, when its
    body failed)."""
    if sender is None or not sender.done() or sender.cancelled():
        return None
    return sender.exception()


async def stop(sender: asyncio.Future[Any]) -> None:
    if not sender.done():
        sender.cancel()
    await asyncio.gather(sender, return_exceptions=True)


class H1Body:
    """The answer's body, decoded as it is read. Read to its end, it frees
    the connection for the next exchange; closed before, it closes the
    connection (the rest of the body is still on the wire)."""

    def __init__(self, conn: H1Connection, transport: Transport, decoder: q.H1BodyDecoder,
                 sender: asyncio.Future[None] | None, keep_alive: bool, timeout: Timeout) -> None:
        self.conn, self.transport, self.decoder = conn, transport, decoder
        self.sender, self.keep_alive, self.timeout = sender, keep_alive, timeout
        self.trailers: q.HeaderMap | None = None
        self.done = False

    async def read(self) -> bytes:
        decoder = self.decoder
        try:
            while not self.done:
                piece = decoder.decode()
                if piece:
                    return piece
                if piece is None and decoder.is_complete:
                    await self.finish()
                    return b""
                if piece is None:
                    data = await read_during(self.transport.reader, self.timeout.read, self.sender)
                    if data:
                        decoder.feed(data)
                    else:
                        decoder.mark_eof()
            return b""
        except q.QuillonError as e:
            await self.fail(e)
            raise RemoteProtocolError(f"malformed body: {e}") from e
        except BaseException as e:
            await self.fail(e)
            raise

    async def finish(self) -> None:
        self.done = True
        self.trailers = self.decoder.take_trailers()
        conn = self.conn
        sender = self.sender
        # An answer that came before the whole request went out leaves the
        # request cut short: the connection cannot carry another.
        whole = conn.writer_finished and upload_failure(sender) is None
        if sender is not None and not whole:
            await stop(sender)
        if not (whole and self.keep_alive and not conn.codec.request_connection_close
                and self.decoder.buffered == 0):
            close_transport(conn.close_now())
        conn.release()

    async def fail(self, e: BaseException) -> None:
        if self.done:
            return
        self.done = True
        if self.sender is not None:
            await stop(self.sender)
        close_transport(self.conn.fail(e if isinstance(e, Exception) else None))
        self.conn.release()

    async def aclose(self) -> None:
        if not self.done:
            await self.fail(ReadError("the body was closed before its end"))


class Switched:
    """The answer to an upgrade the server took, as a body that has none:
    `take` hands over the socket (and the connection leaves the pool);
    closed untaken, the socket is closed."""

    trailers = None

    def __init__(self, conn: H1Connection, leftover: bytes) -> None:
        self.conn, self.leftover = conn, leftover
        self.done = False

    def take(self) -> tuple[Transport, bytes]:
        transport = self.conn.upgrade()
        self.done = True
        self.conn.release()
        if transport is None:
            raise ReadError("connection closed")
        return transport, self.leftover

    async def read(self) -> bytes:
        return b""

    async def aclose(self) -> None:
        if not self.done:
            self.done = True
            close_transport(self.conn.close_now())
            self.conn.release()


__all__ = ["H1Connection", "H1Body", "Switched"]
