"""ASGI 3 on the handler API: `ASGIApp(app)` is a handler that runs an ASGI
application's `http` scope for each request, `Lifespan(app)` runs its
`lifespan` scope around the server's life, and `load_app("module:attr")`
finds the application the way other ASGI servers' command lines do.

The application runs inside the driver's task, a step at a time, and
never ahead of the client: `send` of a body piece hands control back to
the driver, which resumes the application when it wants the next piece.
An application that has sent its whole response before it first waits (the
common case: a handful of bytes) costs no task and no trip through the
event loop, and is answered with one whole-bytes response."""

from __future__ import annotations

import asyncio
import collections
import contextvars
import importlib
import logging
import sys
from typing import Any, Awaitable, Callable, Coroutine, Generator, MutableMapping
from urllib.parse import unquote

import _quillon as q  # type: ignore[import-not-found, unused-ignore]

from .handler import Request, Response, ResponseAborted

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

# 2.4: `send` raises an OSError once the client is gone, so applications
# need not watch `receive` for a disconnect while they stream.
SPEC_VERSION = "2.4"
HTTP_VERSIONS = {"HTTP/1.1": "1.1", "HTTP/2": "2", "HTTP/1.0": "1.0"}

# Body pieces a task the application started (rather than the one it runs
# in) may send ahead of the client before its `send` waits.
QUEUE_DEPTH = 4

log = logging.getLogger("quillon.asgi")

TEXT = q.HeaderMap({"content-type": "text/plain; charset=utf-8"})
FAILED = b"Internal Server Error\n"

# Where an exchange is, as the application's messages move it.
START, BODY, TRAILERS, DONE = range(4)


class ClientDisconnected(OSError):
    """Raised into the application by `send` once the client has gone."""


class LifespanError(RuntimeError):
    """The application reported a failed startup or shutdown, or failed
    while its lifespan was running."""


async def _either(a: asyncio.Event, b: asyncio.Event) -> None:
    """Returns once either event is set."""
    if a.is_set() or b.is_set():
        return
    waits = {asyncio.ensure_future(a.wait()), asyncio.ensure_future(b.wait())}
    try:
        await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
    finally:
        for w in waits:
            w.cancel()


def _content_length(headers: Any) -> int | None:
    value = headers.get("content-length")
    return int(value) if value is not None and value.isdigit() else None


class _Pause:
    """What `send` awaits in the driving task once a body piece is queued:
    it hands control back to the driver, which writes the piece and resumes
    the application when it wants the next one."""

    __slots__ = ()

    def __await__(self) -> Generator[Any, None, None]:
        yield _PAUSE


_PAUSE = object()
_BARE = object()  # the application yielded None (asyncio.sleep(0))


class _Run:
    """Awaits a generator: `await _Run(gen)` runs it in the awaiting task."""

    __slots__ = ("gen",)

    def __init__(self, gen: Generator[Any, None, None]):
        self.gen = gen

    def __await__(self) -> Generator[Any, None, None]:
        return self.gen


class _Exchange:
    """One request: the application coroutine, its `receive` and `send`,
    and the body pieces it has sent that the driver has not taken yet.

    The application runs inside the task that awaits the handler and then
    reads the response stream (the driver's), one step at a time, each step
    in a context of its own. An application that answers without waiting
    finishes inside the handler call, with no task and no trip through the
    event loop; one that streams is resumed each time the driver wants the
    next piece, so it never runs ahead of the client. The futures it waits
    on pass up to the driver's task as if it awaited them itself, which
    keeps `current_task()` (and cancel scopes built on it) the same from
    the first step to the last."""

    __slots__ = ("request", "coro", "ctx", "driver", "stage", "status", "headers", "trailers", "pieces", "depth",
                 "finished", "error", "waiting", "wake", "nudge", "body_sent", "abandoned")

    def __init__(self, request: Request, depth: int):
        self.request = request
        self.coro: Coroutine[Any, Any, None] | None = None
        self.ctx = contextvars.copy_context()
        self.driver: asyncio.Task[Any] | None = None
        self.stage = START
        self.status = 500
        self.headers: Any = None
        self.trailers: Any = None
        self.pieces: collections.deque[bytes] = collections.deque()
        self.depth = depth
        self.finished = False  # the application coroutine returned or raised
        self.error: BaseException | None = None
        self.waiting: Any = None  # the future the application waits on, or _BARE
        self.wake: asyncio.Future[None] | None = None  # the driver waits for `waiting` or a piece
        self.nudge: asyncio.Event | None = None  # for `receive` and other tasks' `send`: something changed
        self.body_sent = False  # the request body was delivered to its end
        self.abandoned = False  # the driver stopped reading the response

    # -- the application's side

    async def receive(self) -> Message:
        request = self.request
        if not self.body_sent:
            try:
                piece = await request.read()
            except ConnectionError:
                self.body_sent = True
                return {"type": "http.disconnect"}
            if piece:
                return {"type": "http.request", "body": piece, "more_body": True}
            self.body_sent = True
            return {"type": "http.request", "body": b"", "more_body": False}
        # Nothing more will come from the client: the next event is its
        # leaving, or the end of this exchange.
        while not (request.gone or self.abandoned or self.stage == DONE):
            await _either(request.peer_gone, self.fresh_nudge())
        return {"type": "http.disconnect"}

    async def send(self, message: Message) -> None:
        if self.abandoned or self.request.gone:
            raise ClientDisconnected("client disconnected")
        kind = message["type"]
        if kind == "http.response.body" and self.stage == BODY:
            body = message.get("body", b"")
            if body:
                self.pieces.append(body if type(body) is bytes else bytes(body))
            if not message.get("more_body", False):
                self.stage = DONE if self.trailers is None else TRAILERS
                self.poke()
            elif self.pieces:
                await self.hand_over()
        elif kind == "http.response.start" and self.stage == START:
            status = message["status"]
            if type(status) is not int or not 200 <= status <= 999:
                raise ValueError(f"response status {status!r} cannot be sent")
            self.headers = q.HeaderMap(message.get("headers", ()))
            if message.get("trailers", False):
                self.trailers = q.HeaderMap()
            self.status = status
            self.stage = BODY
        elif kind == "http.response.trailers" and self.stage == TRAILERS:
            for name, value in message.get("headers", ()):
                self.trailers.add(name, value)
            if not message.get("more_trailers", False):
                self.stage = DONE
                self.poke()
        else:
            raise RuntimeError(f"ASGI message {kind!r} not expected here")

    async def hand_over(self) -> None:
        """Lets the driver write the queued pieces before the application
        goes on."""
        if asyncio.current_task() is self.driver:
            await _Pause()
        else:
            # Sent from a task the application started: wake the driver,
            # and hold this task while the driver is behind.
            self.woken(None)
            while len(self.pieces) >= self.depth:
                await _either(self.fresh_nudge(), self.request.peer_gone)
                if self.abandoned or self.request.gone:
                    raise ClientDisconnected("client disconnected")

    def fresh_nudge(self) -> asyncio.Event:
        if self.nudge is None:
            self.nudge = asyncio.Event()
        self.nudge.clear()
        return self.nudge

    def poke(self) -> None:
        if self.nudge is not None:
            self.nudge.set()

    # -- the driver's side

    def woken(self, _future: Any) -> None:
        if self.wake is not None and not self.wake.done():
            self.wake.set_result(None)

    def step(self, error: BaseException | None = None) -> None:
        """Runs the application up to its next wait, in its own context."""
        assert self.coro is not None
        try:
            if error is None:
                yielded = self.ctx.run(self.coro.send, None)
            else:
                yielded = self.ctx.run(self.coro.throw, error)
        except StopIteration:
            self.finished = True
            return
        except BaseException as e:
            self.finished, self.error = True, e
            if isinstance(e, Exception):
                self.log_failure()
            return
        if yielded is _PAUSE:
            return
        if yielded is None:
            self.waiting = _BARE
        elif getattr(yielded, "_asyncio_future_blocking", False):
            yielded._asyncio_future_blocking = False
            self.waiting = yielded
        else:
            self.step(RuntimeError(f"ASGI application awaited {yielded!r}, which is not a future"))

    def log_failure(self) -> None:
        if self.stage == START:
            log.exception("ASGI application failed before its response", exc_info=self.error)
        elif self.stage == DONE:
            log.exception("ASGI application failed after its response", exc_info=self.error)
        elif not (self.abandoned or self.request.gone):
            log.exception("ASGI application failed during its response", exc_info=self.error)

    def drive(self, until_head: bool) -> Generator[Any, None, None]:
        """Runs the application until the driver has something to do: a body
        piece, the end of the application, or (`until_head`) a known head
        while the application waits. The futures it waits on are yielded to
        the driver's task."""
        self.driver = asyncio.current_task()
        while not (self.finished or self.pieces or (until_head and self.stage != START and self.waiting is not None)):
            waiting = self.waiting
            if waiting is None:
                self.step()
                continue
            self.waiting = None
            if waiting is _BARE:
                try:
                    yield None
                except GeneratorExit:
                    self.close()
                    raise
                except BaseException as e:
                    self.step(e)
                    continue
                self.step()
                continue
            if not waiting.done():
                # Wait for the application's future, or for a piece sent by
                # another of its tasks.
                wake = self.wake = asyncio.get_running_loop().create_future()
                waiting.add_done_callback(self.woken)
                wake._asyncio_future_blocking = True
                try:
                    yield wake
                except GeneratorExit:
                    self.close()
                    raise
                except BaseException as e:
                    # The driver's task was cancelled: so is what the
                    # application waits on, as a task of its own would.
                    waiting.remove_done_callback(self.woken)
                    waiting.cancel()
                    self.wake = None
                    self.step(e)
                    continue
                self.wake = None
                waiting.remove_done_callback(self.woken)
                if not waiting.done():
                    self.waiting = waiting  # woken for a piece from another task
                    continue
            self.step()

    def close(self) -> None:
        self.finished = True
        if self.coro is not None:
            self.coro.close()

    def outcome(self) -> None:
        """Re-raises what must not be turned into an HTTP answer: the
        driver's own cancellation, an interpreter exit."""
        if self.error is not None and not isinstance(self.error, Exception):
            raise self.error


class _BodyStream:
    """The response body as the driver reads it: each read resumes the
    application until it has sent the next piece. It ends once the
    application has returned, so work the application does after its last
    piece (a background task) finishes before the driver ends the response.
    A driver that stops reading early awaits `aclose()`, which ends the
    application with `ClientDisconnected` raised from its `send`."""

    __slots__ = ("ex",)

    def __init__(self, ex: _Exchange):
        self.ex = ex

    def __aiter__(self) -> _BodyStream:
        return self

    async def __anext__(self) -> bytes:
        ex = self.ex
        if not ex.pieces and not ex.finished:
            await _Run(ex.drive(False))
        if ex.pieces:
            piece = ex.pieces.popleft()
            ex.poke()
            return piece
        ex.outcome()
        if ex.stage != DONE:
            raise ResponseAborted("the ASGI application did not complete its response") from ex.error
        raise StopAsyncIteration

    async def aclose(self) -> None:
        ex = self.ex
        if ex.finished:
            return
        ex.abandoned = True
        ex.poke()
        ex.pieces.clear()
        if ex.waiting is None:  # paused in `send`: that `send` raises
            ex.step(ClientDisconnected("client disconnected"))
        while not ex.finished:
            await _Run(ex.drive(False))
            ex.pieces.clear()

    def __del__(self) -> None:
        ex = self.ex
        if not ex.finished and not ex.abandoned:
            try:
                asyncio.get_running_loop().create_task(self.aclose())
            except RuntimeError:
                ex.close()


class ASGIApp:
    """A handler running `app`'s `http` scope for each request.

    `state` is the lifespan state (`Lifespan.state`), copied into each
    request's scope; `root_path` is where the application is mounted;
    `queue_depth` bounds the pieces a task the application started may
    send ahead of the client. Await the handler, and read the response
    stream, in one task: the application runs in it."""

    def __init__(self, app: App, *, state: dict[str, Any] | None = None, root_path: str = "",
                 queue_depth: int = QUEUE_DEPTH):
        self.app = app
        self.state = state
        self.root_path = root_path
        self.queue_depth = max(1, queue_depth)

    def scope(self, request: Request) -> Scope:
        headers = request.headers.raw_items()
        if request.authority is not None and "host" not in request.headers:
            headers.insert(0, (b"host", request.authority.encode()))
        scope: Scope = {
            "type": "http",
            "asgi": {"version": "3.0", "spec_version": SPEC_VERSION},
            "http_version": HTTP_VERSIONS.get(request.version, "1.1"),
            "method": request.method,
            "scheme": request.scheme,
            "path": unquote(request.path) if "%" in request.path else request.path,
            "raw_path": request.path.encode(),
            "query_string": request.query.encode(),
            "root_path": self.root_path,
            "headers": headers,
            "client": request.client,
            "server": request.server,
            "extensions": {"http.response.trailers": {}},
        }
        if self.state is not None:
            scope["state"] = self.state.copy()
        return scope

    async def __call__(self, request: Request) -> Response:
        ex = _Exchange(request, self.queue_depth)
        ex.coro = self.app(self.scope(request), ex.receive, ex.send)  # type: ignore[assignment]
        await _Run(ex.drive(True))
        ex.outcome()
        if ex.stage == START:
            if ex.error is None:
                log.error("ASGI application returned without a response")
            return Response(500, TEXT, FAILED)
        headers = ex.headers
        length = _content_length(headers)
        if ex.finished and ex.stage == DONE:
            body = b"".join(ex.pieces)
            if request.method == "HEAD":
                if body and length is None:
                    headers["content-length"] = str(len(body))
                return Response(ex.status, headers, b"", trailers=ex.trailers)
            if length is None or length == len(body):
                return Response(ex.status, headers, body, trailers=ex.trailers)
            # A declared length the body does not fill: streamed, so the
            # driver's framing cuts the response off instead of sending a
            # head that promises what never comes.
        return Response(ex.status, headers, stream=_BodyStream(ex), length=length, trailers=ex.trailers)


class Lifespan:
    """The application's `lifespan` scope: `startup()` before serving,
    `shutdown()` after. An application that raises before sending anything
    does not support the scope, and is served without it."""

    def __init__(self, app: App):
        self.app = app
        self.state: dict[str, Any] = {}
        self.supported = True
        self.task: asyncio.Task[None] | None = None
        self.events: asyncio.Queue[Message] = asyncio.Queue()
        self.replies: asyncio.Queue[Message | BaseException | None] = asyncio.Queue()
        self.sent = False

    async def receive(self) -> Message:
        return await self.events.get()

    async def send(self, message: Message) -> None:
        self.sent = True
        await self.replies.put(message)

    async def run(self) -> None:
        scope: Scope = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}, "state": self.state}
        try:
            await self.app(scope, self.receive, self.send)
        except Exception as e:
            if not self.sent:
                log.info("ASGI application does not support lifespan (%r)", e)
                self.supported = False
            await self.replies.put(e)
        finally:
            await self.replies.put(None)

    async def exchange(self, phase: str) -> None:
        await self.events.put({"type": f"lifespan.{phase}"})
        reply = await self.replies.get()
        if isinstance(reply, BaseException):
            if not self.supported:
                return
            raise LifespanError(f"ASGI application failed during {phase}") from reply
        if reply is None:
            if phase == "startup":
                if self.sent:
                    raise LifespanError("ASGI application ended its lifespan during startup")
                self.supported = False
            return
        if reply.get("type") == f"lifespan.{phase}.complete":
            return
        if reply.get("type") == f"lifespan.{phase}.failed":
            raise LifespanError(f"{phase} failed: {reply.get('message', '')}")
        raise LifespanError(f"unexpected lifespan message {reply.get('type')!r} during {phase}")

    async def startup(self) -> None:
        """Runs the application's startup; raises `LifespanError` when it
        reports failure or fails."""
        self.task = asyncio.ensure_future(self.run())
        await self.exchange("startup")

    async def shutdown(self) -> None:
        """Runs the application's shutdown and waits for the scope to end."""
        task = self.task
        if task is None:
            return
        self.task = None
        try:
            if self.supported and not task.done():
                await self.exchange("shutdown")
        finally:
            if not task.done():
                task.cancel()
            await asyncio.gather(task, return_exceptions=True)


def load_app(ref: str, app_dir: str | None = ".") -> App:
    """The object named by "module:attribute" (the attribute may be dotted),
    importing the module with `app_dir` first on the path."""
    module_name, _, attr = ref.partition(":")
    if not module_name or not attr:
        raise ValueError(f"application {ref!r} is not of the form module:attribute")
    if app_dir is not None and app_dir not in sys.path:
        sys.path.insert(0, app_dir)
    obj: Any = importlib.import_module(module_name)
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise ValueError(f"module {module_name!r} has no attribute {attr!r}") from None
    if not callable(obj):
        raise ValueError(f"{ref!r} is not callable")
    app: App = obj
    return app
