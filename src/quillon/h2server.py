"""The HTTP/2 server connection: the shared pumps of `h2` plus a handler
per request stream."""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import AsyncIterator, Awaitable
from typing import TYPE_CHECKING, Any, Protocol

import _quillon as q

from .h2 import CANCEL, INTERNAL_ERROR, NO_ERROR, PREFACE_SIZE, H2Driver, H2Stream, StreamStopped
from .handler import MAX_DRAIN, Handler, Request, Response, body_length, settle, skip_body, start

if TYPE_CHECKING:
    from .link import Link


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
