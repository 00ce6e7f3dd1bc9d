"""The handler API the example server drivers share: an application is
`async def handler(request: Request) -> Response`.

A request carries its method, target, headers and a body read on demand
(`await request.read()` for the next piece, `await request.body()` for all
of it; over HTTP/1 the first read answers `Expect: 100-continue`). A
response is whole bytes or an async iterator of pieces, with trailers that
the iterator may fill in before it ends.

Handlers start eagerly: a handler runs inside the read callback that
brought its request until it first waits, so one that answers at once
costs no task. Until then there is no current task, so `asyncio.timeout`
must wait for the first `await` (use `asyncio.wait_for`, or await anything
first); everything else behaves as in a task.
"""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import AsyncGenerator, AsyncIterator, Awaitable, Callable, Coroutine
from typing import Any, Protocol

import _quillon as q


class BodyTooLarge(Exception):
    """A body went past the limit its reader was given."""


class RequestAborted(ConnectionError):
    """The request cannot be read on: its body broke its framing, or the
    client reset it. Handlers may let it propagate; the driver ends the
    request (and an HTTP/1 connection) without the usual answer."""


class Body(Protocol):
    """A request body, read on demand by the handler."""

    started: bool  # the handler asked for it
    complete: bool  # read to its end
    trailers: q.HeaderMap | None  # the body's trailers, once it has ended

    async def read(self) -> bytes:
        """The next piece; b"" once the body has ended."""
        ...


class NoBody:
    """The body of a request that has none (one instance serves all)."""

    started = False
    complete = True
    trailers: q.HeaderMap | None = None

    async def read(self) -> bytes:
        return b""


NO_BODY = NoBody()


class Request:
    __slots__ = ("method", "target", "path", "headers", "version", "chunked", "sent", "reader", "_peer_gone")

    def __init__(self, method: str, target: str, headers: q.HeaderMap, version: str, reader: Body = NO_BODY,
                 chunked: bool = False) -> None:
        self.method = method
        self.target = target
        self.path = target.partition("?")[0]
        self.headers = headers
        self.version = version
        self.reader = reader
        self.chunked = chunked  # the client can take trailers (a chunked HTTP/1.1 request, or HTTP/2)
        self.sent: int | None = None  # the status of the response head, once it is out
        self._peer_gone: asyncio.Event | None = None

    async def read(self) -> bytes:
        """The next piece of the body; b"" at its end."""
        return await self.reader.read()

    async def body(self, limit: int) -> bytes:
        """The whole body; `BodyTooLarge` past `limit` bytes."""
        pieces: list[bytes] = []
        size = 0
        while piece := await self.reader.read():
            size += len(piece)
            if size > limit:
                raise BodyTooLarge(f"request body over {limit} bytes")
            pieces.append(piece)
        return b"".join(pieces)

    @property
    def trailers(self) -> q.HeaderMap | None:
        """The request's trailers, once its body has ended."""
        return self.reader.trailers

    @property
    def peer_gone(self) -> asyncio.Event:
        """Set when the client goes away while the response is produced."""
        if self._peer_gone is None:
            self._peer_gone = asyncio.Event()
        return self._peer_gone


class Response:
    """What a handler answers: a status, headers (a HeaderMap, or a dict made
    into one), and either whole bytes or an async iterator of pieces
    (streamed; with `length` its size is announced, else HTTP/1.1 chunks
    it). `trailers`, when given, go after the body; a streamed body may fill
    them in until it ends."""

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

    @property
    def whole(self) -> bool:
        """Bytes known now, nothing to stream and no trailers."""
        return self.stream is None and self.trailers is None

    async def skip_body(self) -> None:
        """A HEAD answer produces no body: a body generator is closed unrun."""
        if isinstance(self.stream, AsyncGenerator):
            await self.stream.aclose()


Handler = Callable[[Request], Coroutine[Any, Any, Response]]
# Request body a driver reads and drops for a handler that left it unread,
# to keep the connection (HTTP/1) or answer after the request (HTTP/2).
MAX_DRAIN = 1024 * 1024
TEXT = q.HeaderMap({"content-type": "text/plain"})


def error_response(status: int, text: str) -> Response:
    return Response(status, TEXT, text.encode() + b"\n")


def failed() -> Response:
    """A handler raised: the traceback goes to stderr, the client gets 500."""
    traceback.print_exc()
    return error_response(500, "internal server error")


def start(handler: Handler, request: Request) -> Response | Awaitable[Response]:
    """Runs `handler` until it first waits: its response when it answered
    at once, else an awaitable that finishes it (and raises what the
    handler raised of `ConnectionError`). A handler that raises anything
    else answers 500."""
    coro = handler(request)
    try:
        yielded = coro.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]
    except ConnectionError as e:
        return reraise(e)
    except Exception:
        return failed()
    return finish(coro, yielded)


async def reraise(e: BaseException) -> Response:
    raise e


async def finish(coro: Coroutine[Any, Any, Response], yielded: Any) -> Response:
    """Drives a coroutine that `start` ran up to its first wait, as a task
    would: each future it yields is awaited, then it resumes."""
    while True:
        try:
            try:
                if yielded is None:
                    await asyncio.sleep(0)  # a bare yield
                else:
                    yielded._asyncio_future_blocking = False
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

