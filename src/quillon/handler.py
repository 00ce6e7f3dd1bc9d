"""The handler API between the connection drivers and the application:

    async def handler(request: Request) -> Response

A driver (HTTP/1 or HTTP/2) builds a `Request` from a received head and a
reader over the body that it feeds from its own decoder; it sends back the
`Response` the handler returns. Nothing here knows which protocol carries
the exchange, so a handler, or an adapter such as the ASGI one, runs
unchanged on both.

Body reads are on demand: a driver reads no request body until the handler
asks for it, so a handler that answers without reading (a redirect, a
refusal) never pulls a large upload through, and the HTTP/1 driver answers
`expect: 100-continue` only on that first read."""

from __future__ import annotations

import asyncio
import sys
import traceback
from types import CoroutineType
from collections.abc import AsyncGenerator, Coroutine
from typing import TYPE_CHECKING, Any, AsyncIterator, Awaitable, Callable, Mapping, Union

import _quillon as q  # type: ignore[import-not-found, unused-ignore]

if TYPE_CHECKING:
    from .websocket import WebSocket

Reader = Callable[[], Awaitable[bytes]]
HeaderInit = Union["q.HeaderMap", Mapping[str, Union[str, bytes]], None]


class BodyError(ConnectionError):
    """The request body cannot be read to its end: the client went away, or
    sent a body its framing does not allow. A driver's reader raises it (or
    another `ConnectionError`); the exchange cannot go on after it."""


class ResponseAborted(ConnectionError):
    """Raised by a response stream whose producer failed after the head was
    sent. The driver then resets the stream (HTTP/2) or closes the
    connection (HTTP/1), so the client sees a cut-off response rather than
    one that looks complete."""


class Refused(Exception):
    """Raised through a handler to answer with `response` instead (a
    WebSocket opening that cannot be accepted)."""

    def __init__(self, response: Response) -> None:
        super().__init__(response.status)
        self.response = response


class BodyTooLarge(Exception):
    """`Request.body` met more bytes than its limit allows; a driver answers
    it with 413 when no response has started."""


async def _no_body() -> bytes:
    return b""


def split_target(target: str) -> tuple[str, str]:
    """(path, query) of a request target in origin form ("/a?b") or absolute
    form ("http://host/a?b", what a client sends to a proxy); "*" and an
    authority stay as they are."""
    if not target.startswith("/") and "://" in target:
        rest = target.partition("://")[2]
        slash, mark = rest.find("/"), rest.find("?")
        if slash < 0 or 0 <= mark < slash:
            target = "/" + rest[mark:] if mark >= 0 else "/"
        else:
            target = rest[slash:]
    path, _, query = target.partition("?")
    return path, query


class Request:
    """One received request head, and its body on demand.

    `headers` are the received fields (names lower-case `str`, values
    `bytes`); `version` is "HTTP/1.0", "HTTP/1.1" or "HTTP/2"; `client` and
    `server` are the (host, port) of each end when the transport has them;
    `authority` is the `:authority` of an HTTP/2 request (its `host` field
    stays in `headers` over HTTP/1).

    `reader` is the driver's body source: each call returns the next piece,
    b"" once the body is complete. None means the request has no body."""

    __slots__ = ("method", "target", "path", "query", "headers", "version", "scheme", "client", "server",
                 "authority", "grace", "upgrade", "_reader", "_done", "_peer_gone")

    def __init__(self, method: str, target: str, headers: q.HeaderMap, version: str,
                 reader: Reader | None = None, *, scheme: str = "http",
                 client: tuple[str, int] | None = None, server: tuple[str, int] | None = None,
                 authority: str | None = None):
        self.method = method
        self.target = target
        self.path, self.query = split_target(target)
        self.headers = headers
        self.version = version
        self.scheme = scheme
        self.client = client
        self.server = server
        self.authority = authority
        self._reader: Reader = reader if reader is not None else _no_body
        self._done = reader is None
        self._peer_gone: asyncio.Event | None = None
        self.grace = 5.0  # how long the handler may run on once `peer_gone` is set, where a driver enforces it
        # Set by a driver on a request that opens a WebSocket, when the
        # server serves them: how it switches (see `websocket()`).
        self.upgrade: Any = None

    @property
    def peer_gone(self) -> asyncio.Event:
        """Set by the driver when the client goes away before the response
        is complete; a long response stops producing when it sees it."""
        if self._peer_gone is None:
            self._peer_gone = asyncio.Event()
        return self._peer_gone

    @property
    def gone(self) -> bool:
        """True once `peer_gone` is set (without making the event)."""
        return self._peer_gone is not None and self._peer_gone.is_set()

    @property
    def body_complete(self) -> bool:
        """True once `read` has returned the end of the body."""
        return self._done

    async def read(self) -> bytes:
        """The next piece of the body (never empty while more follows), or
        b"" once it is complete. Raises `BodyError` (a `ConnectionError`)
        when the body cannot be completed."""
        if self._done:
            return b""
        piece = await self._reader()
        if not piece:
            self._done = True
        return piece

    async def websocket(self, subprotocol: str | None = None, headers: HeaderInit = None) -> WebSocket:
        """Accepts the WebSocket this request opens and returns it
        (`quillon.websocket.WebSocket`); what the handler returns after
        that is not sent. A request that does not open one well is
        answered with its HTTP error (400, 426) when the handler lets the
        error raised here through."""
        from .websocket import accept
        return await accept(self, subprotocol, headers)

    async def body(self, limit: int) -> bytes:
        """The rest of the body as one `bytes`; `BodyTooLarge` past `limit`
        bytes (the excess is not held)."""
        pieces, size = [], 0
        while piece := await self.read():
            size += len(piece)
            if size > limit:
                raise BodyTooLarge(f"request body over {limit} bytes")
            pieces.append(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)


class Response:
    """What a handler answers: a status, headers (a HeaderMap, or a dict made
    into one), and either whole bytes or an async iterator of pieces
    (streamed; chunked over HTTP/1.1 unless `length` gives its
    content-length), with optional trailers."""

    __slots__ = ("status", "headers", "body", "stream", "length", "trailers")

    def __init__(self, status: int = 200, headers: HeaderInit = None, body: bytes = b"",
                 stream: AsyncIterator[bytes] | None = None, length: int | None = None,
                 trailers: q.HeaderMap | None = None):
        self.status = status
        self.headers = headers if isinstance(headers, q.HeaderMap) else q.HeaderMap(headers or {})
        self.body = body
        self.stream = stream
        self.length = length
        self.trailers = trailers


Handler = Callable[[Request], Awaitable[Response]]

# What a handler may offer beside being called: `push(request, respond)`
# starts the work for `request` in a task of the handler's own and calls
# `respond` once, from the event loop (never from inside `push`), with the
# response or an awaitable of it. It returns that task (None when it
# answered without one), which a driver may count and cancel. A driver
# then serves the request with no task of its own, as uvicorn's cycles
# do; the ASGI adapter offers it.
Respond = Callable[[Union[Response, Awaitable[Response]]], None]
Push = Callable[[Request, Respond], Union["asyncio.Task[Any]", None]]


def push_of(handler: Handler) -> Push | None:
    push: Push | None = getattr(handler, "push", None)
    return push


# ---------------------------------------------------------------------------
# For drivers: running a handler, and what they need of a response

# Request body a driver reads and drops for a handler that left it unread,
# to keep the connection (HTTP/1) or answer after the request (HTTP/2).
MAX_DRAIN = 1024 * 1024
TEXT = q.HeaderMap({"content-type": "text/plain"})


def error_response(status: int, text: str) -> Response:
    return Response(status, TEXT, text.encode() + b"\n")


def failed() -> Response:
    """A handler raised: the traceback goes to stderr, the client gets 500
    (or the answer a `Refused` carries)."""
    error = sys.exc_info()[1]
    if isinstance(error, Refused):
        return error.response
    traceback.print_exc()
    return error_response(500, "internal server error")


def body_length(response: Response) -> int | None:
    """The body's size when it is known before it is sent."""
    return response.length if response.stream is not None else len(response.body)


async def skip_body(response: Response) -> None:
    """A HEAD answer produces no body: a body generator is closed unrun."""
    if isinstance(response.stream, AsyncGenerator):
        await response.stream.aclose()


def start(handler: Handler, request: Request) -> Response | Awaitable[Response]:
    """Runs `handler` until it first waits, as an eager task would: its
    response when it answered at once, else an awaitable that finishes it
    (in whatever task awaits it). Until that first wait there is no
    current task, so only handlers written for it (the example routes) are
    started this way; `settle` runs any other."""
    coro = handler(request)
    # The exact type first: the ABC check costs more than the whole step.
    if type(coro) is not CoroutineType and not isinstance(coro, Coroutine):
        return settle(coro)
    try:
        yielded = coro.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]
    except ConnectionError as e:
        return _reraise(e)
    except Exception:
        return failed()
    return _finish(coro, yielded)


async def settle(answer: Awaitable[Response]) -> Response:
    """The response `answer` comes to; 500 when the handler raises anything
    but a `ConnectionError` (the exchange itself failed: that propagates)."""
    try:
        return await answer
    except ConnectionError:
        raise
    except Exception:
        return failed()


async def _reraise(e: BaseException) -> Response:
    raise e


async def _finish(coro: Coroutine[Any, Any, Response], yielded: Any) -> Response:
    """Drives a coroutine that `start` ran up to its first wait, as a task
    would: each future it yields is awaited, then it resumes."""
    while True:
        try:
            try:
                if yielded is None:
                    await asyncio.sleep(0)  # a bare yield
                else:
                    # Waited on here rather than by a task's step; the
                    # future's own await resumes once it is done.
                    await asyncio.wait((yielded,))
            except asyncio.CancelledError as e:
                if yielded is not None:
                    yielded.cancel()
                yielded = coro.throw(e)
                continue
            yielded = coro.send(None)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        except ConnectionError:
            raise
        except Exception:
            return failed()
