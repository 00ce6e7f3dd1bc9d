"""The asyncio half of an HTTP/1.1 server connection over
`_quillon.H1ServerState`, and the body-decode loop the server and the
client share. Every protocol decision (where the next head comes from, who
owns the transport read, whether a response may be written, reuse, drain,
hand-off) is the connection state's; this file moves bytes, runs the
handlers and keeps the deadlines.

A request whose handler answers without waiting is served on the spot
inside the read callback; the first one that must wait moves the
connection to a task, which runs until the connection is idle again. A
handler that pushes (the ASGI adapter: `handler.Push`) starts its own task
from the read callback and answers from the loop, where a whole response
is written on the spot, so a request costs the driver no task. Other
handlers that must start in a task keep the connection in its task, idle
waits included. One
deadline runs at a time on the link: the head timeout from the
connection's start or a head's first byte until the head is complete, the
idle timeout while the server waits between requests or for more of a
request body, none while a response is produced (the write timeout guards
that)."""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine
from typing import Any, Protocol

import _quillon as q
from .handler import (MAX_DRAIN, TEXT, BodyError, Handler, Push, Request, Response, body_length, settle,
                      skip_body, start)
from .link import Link, close_transport

# Answers of pipelined requests gathered into one write.
FLUSH_SIZE = 64 * 1024


async def decoded(decoder: q.H1BodyDecoder, more: Callable[[], Awaitable[bytes]]) -> AsyncIterator[bytes]:
    """Each piece of a body as `decoder` frees it, fed from `more()` (b""
    for the end of input) whenever it needs bytes."""
    while True:
        piece = decoder.decode()
        if piece is not None:
            if piece:
                yield piece
        elif decoder.is_complete:
            return
        else:
            data = await more()
            if data:
                decoder.feed(data)
            else:
                decoder.mark_eof()


class H1Site(Protocol):
    """What an HTTP/1 connection needs from its server."""

    handler: Handler
    eager: bool  # the handler may start inside the read callback, with no task (see handler.start)

    @property
    def push(self) -> Push | None: ...  # the handler's way to answer with no task of the driver's (handler.Push)
    connections: set[Any]
    websocket: Any  # the WebSocket options (`websocket.Options`), None when off

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> None: ...

    def log(self, peer: str, request: Request, status: int | None, note: str | None = None) -> None: ...

    async def serve_h2(self, link: Link, preface: bytes) -> None: ...


class H1Body:
    """A request body read on demand: the first read answers a pending
    `Expect: 100-continue` and takes the transport read from the state."""

    def __init__(self, conn: H1ServerConnection, seq: int, decoder: q.H1BodyDecoder, expect_continue: bool) -> None:
        self.conn, self.seq, self.decoder = conn, seq, decoder
        self.expect_continue = expect_continue
        self.started = False
        self.complete = False
        self.trailers: q.HeaderMap | None = None
        self.owned = False  # the state gave this reader the transport read
        self.failed = False  # the framing broke: the connection cannot go on
        self.pieces: AsyncIterator[bytes] | None = None

    async def more(self) -> bytes:
        return await self.conn.read_more() if self.owned else b""

    async def read(self) -> bytes:
        if self.complete:
            return b""
        if not self.started:
            self.started = True
            conn = self.conn
            if conn.timeouts.body is not None:
                conn.body_end = conn.link.loop.time() + conn.timeouts.body
            if self.expect_continue and conn.try_send_continue(self.seq):
                conn.link.write(conn.codec.continue_response())
            self.owned = conn.begin_body_read(self.seq)
            self.pieces = decoded(self.decoder, self.more)
        assert self.pieces is not None
        try:
            piece = await anext(self.pieces, b"")
        except q.H1BodyError as e:
            self.failed = True
            self.release()
            raise BodyError(f"bad request body: {e}") from e
        if not piece:
            self.complete = True
            self.trailers = self.decoder.take_trailers()
            self.release()
        return piece

    def release(self) -> None:
        """Gives the transport read back (the handler is done reading)."""
        if self.owned:
            self.owned = False
            self.conn.end_body_read(self.seq, self.complete)


class H1ServerConnection(q.H1ServerState):
    """One HTTP/1.1 server connection (the module docstring says how it
    serves)."""

    def start(self, link: Link, site: H1Site) -> None:
        self.link = link
        self.site = site
        self.push = site.push
        self.timeouts = link.timeouts
        site.connections.add(self)
        self.sniffing: bytes | None = b""
        self.body_end: float | None = None
        self.allow_trailers = True
        self.phase = "fresh"  # then "head", "busy", "idle"
        self.current: Request | None = None  # the last request read
        link.deadline(self.timeouts.head, self.head_expired)
        link.sink = self.on_read
        link.lost = self.client_left
        self.next_step(*self.begin_read())

    def client_left(self) -> None:
        """The socket closed: a handler still at work on its request learns
        it (`peer_gone`; an ASGI application's `receive` then says
        `http.disconnect`), as a reset stream tells it over HTTP/2."""
        if self.current is not None:
            self.current.peer_gone.set()

    def close_all(self) -> None:
        close_transport(self.mark_closed()[0])
        self.link.sink = None
        self.site.connections.discard(self)

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

    async def read_more(self) -> bytes:
        """The next read of a request body, waiting at most the idle
        timeout for it, and no later than the body's own deadline (a body
        that trickles in a byte per idle timeout would hold the
        connection for ever)."""
        wait = self.timeouts.idle
        if self.body_end is not None:
            left = max(0.0, self.body_end - self.link.loop.time())
            wait = left if wait is None else min(wait, left)
        self.link.deadline(wait, self.close_all)
        data = await self.link.read()
        self.link.clear_deadline()
        return data

    # -- the synchronous path -------------------------------------------------

    def on_read(self, data: bytes) -> None:
        """A read finished while the connection was idle or between the
        pieces of a head."""
        if self.unpark_idle_read() or not data:
            self.close_all()
            return
        if self.sniffing is not None:
            # While the first bytes could still be the start of the HTTP/2
            # client preface, wait for the rest, so the codec judges all of it.
            data = self.sniffing + data
            if len(data) < len(q.H2_PREFACE) and q.H2_PREFACE.startswith(data):
                self.sniffing = data
                self.await_head()
                self.begin_read()  # park the idle read again
                return
            self.sniffing = None
        self.serve_now(data)

    def next_step(self, code: int, obj: Any) -> None:
        """Acts on the state's read verdict while serving from the read
        callback."""
        if code == q.H1_READ_PARSE:
            self.serve_now(b"")
        elif code == q.H1_READ_TRANSPORT:
            if self.phase != "fresh":  # a new connection waits for its first head
                self.await_idle()  # the idle read is the link's next data_received
        elif code in (q.H1_NEXT_DRAIN, q.H1_READ_WATCHER):
            self.go_async(self.async_next(code, obj))
        else:
            close_transport(obj)
            self.close_all()

    def serve_now(self, data: bytes, pushed: tuple[Request, H1Body | None, int, Any] | None = None) -> None:
        """Serves the requests in `data` and the codec's buffer on the spot,
        while their answers come without waiting; `pushed` is a pushing
        handler's answer to the request in flight, which goes first."""
        # The answers to every request in this read go out in one write:
        # pipelined requests then cost one send, not one each. Past
        # FLUSH_SIZE they go out, and once the transport is full the rest
        # waits, unparsed, until the client reads.
        out: list[bytes] = []
        size = 0
        site, link = self.site, self.link
        handler = site.handler
        try:
            while True:
                if pushed is None:
                    try:
                        accepted = self.accept_head(data)
                    except q.H1ParseError as e:
                        self.go_async(self.parse_failed(e))
                        return
                    if accepted is None:
                        self.await_head()
                        return  # the rest of the head comes with the next read
                    request, body, seq = self.request(*accepted)
                    if not site.eager:
                        if out:
                            self.flush(out)
                        self.start_task(request, body, seq)
                        return
                    answer = start(handler, request)
                else:
                    request, body, seq, answer = pushed
                    pushed = None
                if (not isinstance(answer, Response) or answer.stream is not None or self.upgraded
                        or (body is not None and not body.complete and (body.started or body.failed))):
                    # Not whole, or its request body is half read (the
                    # reader owns the transport read): a task finishes it.
                    self.flush(out)
                    self.go_async(self.finish_async(request, body, seq, answer))
                    return
                code, head_bytes, _armed = self.start_response(seq, request, answer, None)
                if head_bytes is not None:  # H1_REQ_OK
                    piece = self.whole(request, answer, head_bytes)
                    out.append(piece)
                    size += len(piece)
                    site.log(link.peer, request, answer.status)
                else:
                    site.log(link.peer, request, None, "client closed")
                switch, close, transport, _leftover = self.finish_response(seq)
                if switch or close:
                    self.flush(out)
                    close_transport(transport)
                    self.close_all()
                    return
                if size >= FLUSH_SIZE or link.paused:
                    self.flush(out)
                    size = 0
                    if link.paused:
                        self.go_async(self.writable())
                        return
                code, obj = self.begin_read()
                if code == q.H1_READ_TRANSPORT:
                    self.await_idle()  # the answers go out as this returns
                    return
                if code != q.H1_READ_PARSE:
                    self.flush(out)
                    self.next_step(code, obj)
                    return
                data = b""
        finally:
            if out:
                self.flush(out)

    def start_task(self, request: Request, body: H1Body | None, seq: int) -> None:
        """Starts a handler that cannot start on the spot: in a task of its
        own that pushes its answer back here, or in the connection's task."""
        push = self.push
        if push is None or request.upgrade is not None:
            self.go_async(self.finish_async(request, body, seq, self.site.handler(request)))
            return
        # Until the answer comes, reads queue for the application (its
        # request body) or for the next request.
        self.link.sink = None
        push(request, lambda answer: self.pushed(request, body, seq, answer))

    def pushed(self, request: Request, body: H1Body | None, seq: int,
               answer: Response | Awaitable[Response]) -> None:
        """A pushing handler's answer, called from the event loop: served
        on the spot like an eager one's, then back to the read callback
        with what arrived meanwhile."""
        link = self.link
        link.sink = self.on_read
        self.serve_now(b"", (request, body, seq, answer))
        if link.sink is not None and (link.inbox or link.eof):
            self.on_read(link.take_inbox())

    def flush(self, out: list[bytes]) -> None:
        if out:
            self.link.write(out[0] if len(out) == 1 else b"".join(out))
            out.clear()

    def request(self, head: q.H1RequestHead, seq: int,
                decoder: q.H1BodyDecoder) -> tuple[Request, H1Body | None, int]:
        self.busy()
        self.allow_trailers = head.allow_trailers
        self.body_end = None  # when the body being read must have ended
        body = None if head.body_kind == "empty" else H1Body(self, seq, decoder, head.expect_continue)
        link = self.link
        request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1",
                          None if body is None else body.read, scheme=link.scheme, client=link.client,
                          server=link.local)
        self.current = request
        if head.is_upgrade and self.site.websocket is not None:
            from .websocket import H1Opening, upgrade_asked
            if upgrade_asked(head.headers):
                request.upgrade = H1Opening(self, seq, request, self.site.websocket)
        return request, body, seq

    # -- the asynchronous path ------------------------------------------------

    def go_async(self, coro: Coroutine[Any, Any, bool]) -> None:
        self.link.sink = None  # reads now queue for the task
        self.site.spawn(self.run_async(coro))

    async def run_async(self, first: Coroutine[Any, Any, bool]) -> None:
        """Serves requests one at a time until the connection is idle again
        (back to the read callback) or done."""
        try:
            if not await first:
                return self.close_all()
            while True:
                code, obj = self.begin_read()
                if code == q.H1_READ_TRANSPORT and (self.site.eager or self.push is not None):
                    # Idle again: back to serving from the read callback,
                    # starting with whatever arrived meanwhile. (A handler
                    # that must start in a task keeps this one: the next
                    # request then costs no new task.)
                    self.await_idle()
                    data = self.link.take_inbox()
                    self.link.sink = self.on_read
                    if data or self.link.eof:
                        self.on_read(data)
                    return
                if not await self.async_next(code, obj):
                    return self.close_all()
        except (ConnectionError, OSError):
            self.close_all()

    async def writable(self) -> bool:
        await self.link.drain()
        return True

    async def async_next(self, code: int, obj: Any) -> bool:
        """Reads the next head where the state says it comes from and serves
        its request; False when the connection is done."""
        data = b"" if code == q.H1_READ_PARSE else await self.async_read_start(code, obj)
        if data is None:
            return False
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
        request, body, seq = self.request(*accepted)
        handler = self.site.handler
        return await self.finish_async(request, body, seq,
                                       start(handler, request) if self.site.eager else handler(request))

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
            got, error = self.take_watcher_result()
            return None if closed or error is not None or not got else got
        close_transport(obj)
        return None

    async def drain(self) -> bool:
        """Reads the unread rest of a request body, up to MAX_DRAIN."""
        drained = 0
        decoder = self.current_decoder()
        if decoder is None:
            return True
        try:
            async for piece in decoded(decoder, self.read_more):
                drained += len(piece)
                if drained > MAX_DRAIN:
                    return False
        except q.H1BodyError:
            return False
        return True

    async def parse_failed(self, e: q.H1ParseError) -> bool:
        if e.args[0] == "version_h2":
            # HTTP/2 with prior knowledge: the bytes read so far and the
            # transport go to an HTTP/2 connection.
            preface = self.codec.take_body() + self.link.take_inbox()
            self.fail_read()
            self.site.connections.discard(self)
            await self.site.serve_h2(self.link, preface)
            return False
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is not None:
            if status is not None:
                transport.write(self.codec.serialize_response(status, TEXT, keep_alive=False, content_length=0))
            transport.close()
        return False

    async def finish_async(self, request: Request, body: H1Body | None, seq: int,
                           answer: Response | Awaitable[Response]) -> bool:
        """Waits for the handler's answer, then writes it; False when the
        connection ends."""
        if body is None:
            return await self.respond(request, seq, answer if isinstance(answer, Response) else await settle(answer))
        try:
            response = answer if isinstance(answer, Response) else await settle(answer)
        except BodyError:
            if not body.failed:
                raise
        if body.failed:
            close_transport(self.fail_response(seq))
            self.site.log(self.link.peer, request, None, "bad request body")
            return False
        if response.stream is None:
            body.release()  # else the stream may read on; the read is given back after it
        try:
            return await self.respond(request, seq, response)
        finally:
            body.release()

    # -- the one response path: the head, then the body ----------------------

    def trailers_of(self, response: Response) -> q.HeaderMap | None:
        """The trailers that will be sent: the codec drops them for a
        request that did not say `TE: trailers`."""
        return response.trailers if self.allow_trailers else None

    def start_response(self, seq: int, request: Request, response: Response,
                       done: asyncio.Event | None) -> tuple[int, bytes | None, bool]:
        """Claims the response slot and frames the head: content-length when
        the body's size is known and no trailers go out, chunked otherwise.
        A `trailer` field announces only trailers that will be sent."""
        headers = response.headers
        trailers = self.trailers_of(response)
        if response.trailers is not None and trailers is None and "trailer" in headers:
            headers = q.HeaderMap(headers)
            del headers["trailer"]
        streamed = response.stream is not None
        length = body_length(response)
        chunked = trailers is not None or (streamed and length is None)
        while True:
            code, head, armed = self.respond_head(
                seq, response.status, headers, done,
                content_length=None if chunked else length, chunked=chunked, want=streamed)
            # H1_REQ_CONTINUE: the 100 Continue was claimed and is already
            # written (this driver writes it synchronously); claim again.
            if code != q.H1_REQ_CONTINUE:
                return code, head, armed

    def whole(self, request: Request, response: Response, head: bytes) -> bytes:
        """Head, body and end of a response whose body is bytes, as one write."""
        trailers = self.trailers_of(response)
        codec = self.codec
        if trailers is None and request.method != "HEAD":
            return codec.serialize_head_and_body(head, response.body)
        # The codec frames no body for HEAD, but the message still ends.
        body = codec.serialize_data(response.body) if response.body and request.method != "HEAD" else b""
        return b"".join((head, body, codec.serialize_trailers(trailers) if trailers else codec.serialize_end()))

    async def respond(self, request: Request, seq: int, response: Response) -> bool:
        """Writes `response` and logs it; False when the connection ends."""
        if self.upgraded:  # a WebSocket took the connection: its handler has returned
            await request.upgrade.end(response)
            return False
        streamed = response.stream is not None
        done = asyncio.Event() if streamed else None  # the watcher's, only while a body streams
        code, head, armed = self.start_response(seq, request, response, done)
        if code != q.H1_REQ_OK or head is None:
            self.site.log(self.link.peer, request, None, "client closed")
            if code == q.H1_REQ_PEER_CLOSED:
                close_transport(self.fail_response(seq))
            return False
        if armed and done is not None:
            self.store_watcher_handle(asyncio.ensure_future(self.watch(request, done)))
        w = self.link
        codec = self.codec
        written = False  # every byte of the response is with the transport
        try:
            if response.stream is None or request.method == "HEAD":
                await skip_body(response)
                w.write(self.whole(request, response, head))
            else:
                w.write(head)
                sent = 0
                async for piece in response.stream:
                    if self.peer_closed_flag(seq):
                        break
                    w.write(codec.serialize_data(piece))
                    sent += len(piece)
                    await w.drain()
                if request.peer_gone.is_set():
                    # A body of known length that went out whole was
                    # delivered; the client closing after it ended only
                    # the connection.
                    close_transport(self.fail_response(seq))
                    whole = response.length is not None and sent == response.length
                    self.site.log(self.link.peer, request, response.status, None if whole else "connection closed")
                    return False
                trailers = self.trailers_of(response)
                w.write(codec.serialize_trailers(trailers) if trailers else codec.serialize_end())
            written = True
            await w.drain()
        except (ConnectionError, q.H1Error):
            close_transport(self.fail_response(seq))
            # A client that closes once it has read the response (or while
            # its last bytes are in flight) ended the connection, not this
            # request.
            self.site.log(self.link.peer, request, response.status, None if written else "connection closed")
            return False
        except Exception:
            # The body failed after its head went out: the message can only
            # end by closing the connection.
            traceback.print_exc()
            close_transport(self.fail_response(seq))
            self.site.log(self.link.peer, request, response.status, "handler failed")
            return False
        self.site.log(self.link.peer, request, response.status)
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
