"""The HTTP/2 server connection: the shared pumps of `h2` plus a handler
per request stream."""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import AsyncIterator, Awaitable
from typing import TYPE_CHECKING, Any, Protocol

import _quillon as q

from .h2 import CANCEL, INTERNAL_ERROR, NO_ERROR, PREFACE_SIZE, REFUSED_STREAM, H2Driver, H2Stream, StreamStopped
from .handler import MAX_DRAIN, Handler, Push, Request, Response, body_length, settle, skip_body, start

if TYPE_CHECKING:
    from .link import Link


class H2Site(Protocol):
    """What an HTTP/2 server connection needs from its server."""

    handler: Handler
    eager: bool  # the handler may start before its first wait outside a task's own step (see handler.start)

    @property
    def push(self) -> Push | None: ...  # the handler's way to answer with no task of the driver's (handler.Push)

    websocket: Any  # the WebSocket options (`websocket.Options`), None when off
    connections: set[Any]

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


class ServerStream(H2Stream):
    """A request stream, with the task serving it once it has one."""

    __slots__ = ("task", "grace", "answered")

    def __init__(self) -> None:
        super().__init__()
        self.task: asyncio.Task[None] | None = None
        self.grace: asyncio.TimerHandle | None = None
        self.answered = False  # a pushing handler's answer came

    def stopped(self, stop: Any, by: str) -> None:
        super().stopped(stop, by)
        task = self.task
        if task is not None and self.grace is None and not task.done() and self.request is not None:
            # Told through `peer_gone`; what the handler leaves running past
            # the grace period is cancelled, so a reset stream's work ends.
            self.grace = asyncio.get_running_loop().call_later(self.request.grace, task.cancel)


class H2ServerConnection(H2Driver):
    """One HTTP/2 server connection: the shared pumps plus a task per request
    (none for a request without a body that an eager handler answers at
    once with bytes the windows take: it is served inside the read pump).

    A stream is accepted (and so counts as taken by the application) only
    once the whole received batch that opened it has been dispatched: a
    peer that resets streams as it opens them (Rapid Reset) then has those
    resets counted by the core's pending-accept cap, whichever route the
    stream asked for. A handler counts against `max_handlers` until it has
    finished, reset or not: beyond it new streams are refused
    (REFUSED_STREAM), so the stream limit bounds work, not just open
    streams.

    While no request is in progress the connection has a deadline: the head
    timeout until the first request, the idle timeout after each; bytes
    that open no stream (pings, settings, a header block dribbled in) do not
    move it. At the deadline it says GOAWAY and closes."""

    async def serve(self, link: Link, site: H2Site, preface: bytes, send_budget: int | None,
                    max_handlers: int = 128) -> None:
        self.site, self.link, self.peer = site, link, link.peer
        self.handlers: set[asyncio.Task[None]] = set()
        self.senders: set[asyncio.Task[None]] = set()  # finishing a pushing handler's answer
        self.fresh: list[ServerStream] = []  # opened in this batch, to answer once it is dispatched
        self.max_handlers = max_handlers
        self.push = site.push
        self.start(link, send_budget, link.timeouts.idle, link.timeouts.body)
        link.deadline(link.timeouts.head, self.expire)
        try:
            # The sniffer already read the client preface (and maybe more).
            if self.prime(preface[:PREFACE_SIZE]) is True:
                await self.read_pump(link, preface[PREFACE_SIZE:])
        finally:
            tasks = self.handlers | self.senders
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await self.finish()

    def new_stream(self) -> H2Stream:
        return ServerStream()

    def done(self) -> bool:
        return bool(self.shutdown_final and self.num_streams == 0)

    def expire(self) -> None:
        self.wake(self.send_goaway(NO_ERROR))  # with the last stream served
        self.link.end_input()  # the read pump ends, then the pumps flush and close

    def opened(self, stream: H2Stream) -> None:
        assert isinstance(stream, ServerStream)
        if len(self.handlers) + len(self.fresh) >= self.max_handlers:
            self.reset(self.reset_stream(stream.sid, REFUSED_STREAM))
            return
        self.link.clear_deadline()
        if (stream.eof and self.site.eager) or self.push is not None:
            self.fresh.append(stream)
        else:
            self.spawn(stream, None, None)

    def batch_done(self) -> None:
        if not self.fresh:
            return
        fresh, self.fresh = self.fresh, []
        for stream in fresh:
            # One reset in the same batch leaves it unaccepted: the core
            # counted that reset toward its cap.
            if stream.stop is not None:
                continue
            if self.push is None:
                self.answer_now(stream)
            else:
                self.push_now(stream)
        if not self.handlers:
            self.link.deadline(self.link.timeouts.idle, self.expire)

    def handler_done(self, task: asyncio.Task[None]) -> None:
        self.handlers.discard(task)
        if not self.handlers:
            self.link.deadline(self.link.timeouts.idle, self.expire)

    def request_of(self, stream: H2Stream) -> Request:
        head = stream.head
        link = self.link
        # Received DATA may already be queued with END_STREAM: the stream
        # has ended, but its body is still to be read.
        body = None if stream.eof and not stream.chunks else H2Body(self, stream)
        request = Request(head.method or "GET", head.path or "/", head.headers, "HTTP/2",
                          None if body is None else body.read, scheme=head.scheme or link.scheme,
                          client=link.client, server=link.local, authority=head.authority)
        request.grace = link.timeouts.grace
        if head.protocol == "websocket" and head.method == "CONNECT" and self.site.websocket is not None:
            from .websocket import H2Opening
            request.upgrade = H2Opening(self, stream, request, self.site.websocket, self.site.connections)
        stream.request = request
        return request

    def answer_now(self, stream: ServerStream) -> None:
        """Serves a request without a body from inside the read pump: with
        no task when its eager handler answers at once with bytes the
        windows take, else in a task that finishes what was started."""
        self.accepted(stream.sid)
        request = self.request_of(stream)
        answer = start(self.site.handler, request)
        if not isinstance(answer, Response):
            self.spawn(stream, request, answer)
            return
        self.send_now(stream, request, answer)

    def send_now(self, stream: ServerStream, request: Request, answer: Response, counted: bool = True) -> bool:
        """Sends what goes at once of a whole answer and logs it when that
        was all; False when a task (`counted` as the stream's handler, see
        `spawn`) sends the rest."""
        offset = self.begin_response(stream, request, answer)
        if offset is None:
            self.site.log(self.peer, request, stream.status, stop_note(stream))
        elif self.complete(request, answer, offset):
            self.site.log(self.peer, request, stream.status)
        else:
            self.spawn(stream, request, answer, offset, counted)
            return False
        return True

    def push_now(self, stream: ServerStream) -> None:
        """Starts a pushing handler on a request: its task counts as the
        stream's handler, and its answer comes to `pushed`."""
        self.accepted(stream.sid)
        request = self.request_of(stream)
        assert self.push is not None
        if request.upgrade is not None:
            self.spawn(stream, request, None)
            return
        task = self.push(request, lambda answer: self.pushed(stream, request, answer))
        if task is not None:
            stream.task = task
            self.handlers.add(task)
            task.add_done_callback(lambda task: self.push_done(task, stream, request))

    def push_done(self, task: asyncio.Task[None], stream: ServerStream, request: Request) -> None:
        # A task cancelled before its first step (the connection ended at
        # once) never answered: its request is logged here.
        if not stream.answered:
            self.site.log(self.peer, request, stream.status,
                          "connection closed" if stream.stop is None else stop_note(stream))
        self.handler_done(task)

    def pushed(self, stream: ServerStream, request: Request, answer: Response | Awaitable[Response]) -> None:
        """A pushing handler's answer: sent from here when it is whole and
        the request has ended, else by a task that finishes it."""
        stream.answered = True
        if stream.stop is not None:
            self.site.log(self.peer, request, stream.status, stop_note(stream))
            return
        if not (isinstance(answer, Response) and answer.stream is None and (request.body_complete or stream.eof)):
            self.spawn(stream, request, answer, None, counted=False)
            return
        if not self.send_now(stream, request, answer, counted=False):
            return
        while stream.chunks:  # body the handler left unread: its window goes back
            self.consume(stream)

    def spawn(self, stream: ServerStream, request: Request | None, answer: Response | Awaitable[Response] | None,
              offset: int | None = None, counted: bool = True) -> None:
        """Serves the stream in a task; `counted`: the task is its handler
        (not when a pushing handler's own task already is)."""
        task = self.link.loop.create_task(self.respond(stream, request, answer, offset))
        if counted:
            stream.task = task
            self.handlers.add(task)
            task.add_done_callback(self.handler_done)
        else:
            self.senders.add(task)
            task.add_done_callback(self.senders.discard)

    async def respond(self, stream: ServerStream, request: Request | None,
                      answer: Response | Awaitable[Response] | None, offset: int | None) -> None:
        """Runs the handler (unless `answer` is what it already gave) and
        sends its response; `offset` says how much of it already went out
        (None: nothing yet)."""
        if request is None:
            self.accepted(stream.sid)
            request = self.request_of(stream)
        try:
            if stream.stop is not None:
                raise StreamStopped("reset before the handler ran")
            if answer is None:
                handler = self.site.handler
                answer = start(handler, request) if self.site.eager else handler(request)
            try:
                response = answer if isinstance(answer, Response) else await settle(answer)
            except ConnectionError:
                if request.upgrade is None or not request.upgrade.switched:
                    raise
                response = Response()  # the handler let its WebSocket's closing through: a normal end
            if request.upgrade is not None and request.upgrade.switched:
                await request.upgrade.end(response)  # the stream carried a WebSocket, now ended
                return
            if offset is None:
                if (not request.body_complete and response.stream is None and not stream.eof
                        and request.upgrade is None):
                    # A response that reads no body goes out once the request
                    # has ended, so a client that breaks its own framing (a
                    # DATA frame beyond content-length) sees the stream error
                    # instead of a response. (A streamed one may still read it.)
                    await self.discard_body(stream, MAX_DRAIN)
                if stream.stop is not None:
                    raise StreamStopped("reset while the handler ran")
                offset = self.begin_response(stream, request, response)
            if offset is not None and await self.finish_response(stream, request, response, offset):
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
        except asyncio.CancelledError:  # the client left and the grace ran out, or the connection ended
            self.site.log(self.peer, request, stream.status,
                          "connection closed" if stream.stop is None else stop_note(stream))
            raise
        finally:
            if stream.grace is not None:
                stream.grace.cancel()
            while stream.chunks:  # body the handler left unread: its window goes back
                self.consume(stream)
        self.site.log(self.peer, request, stream.status, stop_note(stream))

    # -- the one response path: what goes out at once, then the rest -------

    def begin_response(self, stream: H2Stream, request: Request, response: Response) -> int | None:
        """Sends the head, and as much of a whole body as the windows and
        the send budget take; the body bytes sent, or None when the stream
        stopped first. A whole or known-length body carries its
        content-length (unless trailers follow: clients then stop reading
        at the length); END_STREAM rides on the last frame."""
        sid = stream.sid
        headers = response.headers
        length = body_length(response)
        if (length is not None and response.trailers is None and "content-length" not in headers
                and response.status not in (204, 304)):
            headers = q.HeaderMap(headers)
            headers["content-length"] = str(length)
        head_only = request.method == "HEAD"
        body, trailers = response.body, response.trailers
        empty = head_only or (response.stream is None and not body and trailers is None)
        v = self.send_response_head(sid, response.status, headers, empty)
        self.wake(v.flags)
        if v.stopped is not None:
            return None
        stream.status = response.status
        if empty or response.stream is not None or not body:
            return 0
        budget = self.send_budget
        if budget is not None and self.queued + self.writing >= budget:
            return 0
        d = self.frame_data(sid, body, 0, trailers is None)
        return None if d.stopped is not None else d.sent

    @staticmethod
    def complete(request: Request, response: Response, offset: int) -> bool:
        """Whether `begin_response` sent all of `response`."""
        if request.method == "HEAD":
            return response.stream is None
        return response.stream is None and response.trailers is None and offset == len(response.body)

    async def finish_response(self, stream: H2Stream, request: Request, response: Response, offset: int) -> bool:
        """Sends what `begin_response` left of `response`; False when the
        stream stopped first."""
        if request.method == "HEAD":
            await skip_body(response)  # a HEAD answer produces no body
            return True
        trailers = response.trailers
        if response.stream is None:
            body = response.body
            if offset < len(body) and not await self.send_all(stream, body, trailers is None, offset):
                return False
        elif not await self.send_pieces(stream, response.stream, response.length, trailers is None):
            return False
        if trailers is not None:
            v = self.send_trailers(stream.sid, trailers)
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
