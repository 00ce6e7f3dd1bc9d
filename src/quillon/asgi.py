"""ASGI 3 on the handler API: `ASGIApp(app)` is a handler that runs an ASGI
application's `http` scope for each request, `Lifespan(app)` runs its
`lifespan` scope around the server's life, and `load_app("module:attr")`
finds the application the way other ASGI servers' command lines do.

Each application call runs in a task of its own from start to end, as
under any other ASGI server, so context variables, anyio cancel scopes and
task groups hold across its awaits. The handler answers as soon as the
response head is known: with the whole body when the application has
already finished (the common case), else with a stream fed by a short
queue, so the application stays only a few pieces ahead of the client. A
driver may call it and await the answer, or have it pushed (`push`): the
answer then comes from the application's own task as it ends, or from a
callback right after its step, and the driver needs no task of its own. An application whose client has gone is told
so (`receive` answers `http.disconnect`, `send` raises), and is cancelled
if it has not finished a grace period later."""

from __future__ import annotations

import asyncio
import collections
import contextvars
import importlib
import logging
import sys
import types
from typing import Any, Awaitable, Callable, Generator, MutableMapping
from urllib.parse import unquote

import _quillon as q  # type: ignore[import-not-found, unused-ignore]

from .handler import Request, Respond, Response, ResponseAborted

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

# 2.4: `send` raises an OSError once the client is gone, so applications
# need not watch `receive` for a disconnect while they stream.
ASGI_HTTP_VERSION = "2.4"
HTTP_VERSIONS = {"HTTP/1.1": "1.1", "HTTP/2": "2", "HTTP/1.0": "1.0"}

# Body pieces the application may send ahead of the client before its
# `send` waits for the driver to take one.
QUEUE_DEPTH = 4

# Seconds an application may go on once its client has gone (or the
# driver has stopped reading its response) before it is cancelled: long
# enough to notice the disconnect and clean up, short enough that a stuck
# one does not pile up.
GRACE = 5.0

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


def _content_length(headers: Any) -> int | None:
    value = headers.get("content-length")
    return int(value) if value is not None and value.isdigit() else None


def _wake(waiter: asyncio.Future[None] | None) -> None:
    if waiter is not None and not waiter.done():
        waiter.set_result(None)


class _Exchange:
    """One request: the application's task, its `receive` and `send`, and
    the body pieces it has sent that the driver has not taken yet.

    Each side waits on at most one thing of the other's: the handler on
    `ready` (a head, or the end), the driver on `data` (a piece, or the
    end), senders on `room` (the driver took a piece) and `receive`, once
    the request body is read, on `over` (the client left or the response
    is complete)."""

    __slots__ = ("request", "loop", "depth", "grace", "head_only", "task", "stage", "status", "headers", "length",
                 "sent", "trailers", "pieces", "finished", "error", "left", "body_read", "ready", "data", "room", "over",
                 "watcher", "timer", "respond", "caller")

    def __init__(self, request: Request, loop: asyncio.AbstractEventLoop, depth: int, grace: float):
        self.request = request
        self.loop = loop
        self.depth = depth
        self.grace = grace
        self.head_only = request.method == "HEAD"
        self.task: asyncio.Task[None] | None = None
        self.stage = START
        self.status = 500
        self.headers: Any = None
        self.length: int | None = None  # the declared content-length
        self.sent = 0  # body bytes the application has sent
        self.trailers: Any = None
        self.pieces: collections.deque[bytes] = collections.deque()
        self.finished = False  # the application returned or raised
        self.error: BaseException | None = None
        self.left = False  # nothing more reaches the client: it went, or the driver stopped reading
        self.body_read = False  # the request body was delivered to its end
        self.ready: asyncio.Future[None] | None = None
        self.data: asyncio.Future[None] | None = None
        self.room: asyncio.Event | None = None
        self.over: asyncio.Event | None = None
        self.watcher: asyncio.Task[None] | None = None
        self.timer: asyncio.TimerHandle | None = None
        # A pushing driver's callback, and the context it runs in (the
        # driver's, not the application's).
        self.respond: Respond | None = None
        self.caller: contextvars.Context | None = None

    async def run(self, app: App, scope: Scope) -> None:
        try:
            if self.respond is None:
                await app(scope, self.receive, self.send)
            else:
                await self.stepped(app(scope, self.receive, self.send))
        except Exception as e:
            self.error = e
            self.log_failure()
        except BaseException as e:
            self.error = e
            raise
        finally:
            self.finished = True
            if self.timer is not None:
                self.timer.cancel()
            if self.watcher is not None:
                self.watcher.cancel()
            self.head_known()
            _wake(self.data)
            # Tasks the application left behind must not wait on it.
            if self.room is not None:
                self.room.set()
            if self.over is not None:
                self.over.set()

    def log_failure(self) -> None:
        if self.stage == DONE:
            log.exception("ASGI application failed after its response", exc_info=self.error)
        elif self.left or self.request.gone:
            pass  # most likely what its `send` or `receive` told it
        elif self.stage == START:
            log.exception("ASGI application failed before its response", exc_info=self.error)
        else:
            log.exception("ASGI application failed during its response", exc_info=self.error)

    # -- the application's side

    async def receive(self) -> Message:
        request = self.request
        if self.left or request.gone:
            return {"type": "http.disconnect"}
        if not self.body_read:
            try:
                piece = await request.read()
            except ConnectionError:
                self.body_read = True
                return {"type": "http.disconnect"}
            if piece:
                return {"type": "http.request", "body": piece, "more_body": True}
            self.body_read = True
            return {"type": "http.request", "body": b"", "more_body": False}
        # Nothing more will come from the client: the next event is its
        # leaving, or the end of this exchange.
        if not (self.stage == DONE or self.finished):
            self.watch()
            if self.over is None:
                self.over = asyncio.Event()
            await self.over.wait()
        return {"type": "http.disconnect"}

    async def send(self, message: Message) -> None:
        if (self.left or self.request.gone) and self.owes():
            raise ClientDisconnected("client disconnected")
        kind = message["type"]
        if kind == "http.response.body" and self.stage == BODY:
            body = message.get("body", b"")
            if body:
                self.sent += len(body)
                if self.length is not None and self.sent > self.length:
                    raise RuntimeError("ASGI response body longer than its content-length")
                self.pieces.append(body if type(body) is bytes else bytes(body))
                _wake(self.data)
            if not message.get("more_body", False):
                if self.trailers is None:
                    self.complete()
                else:
                    self.stage = TRAILERS
            elif len(self.pieces) >= self.depth:
                await self.wait_for_room()
        elif kind == "http.response.start" and self.stage == START:
            status = message["status"]
            if type(status) is not int or not 200 <= status <= 999:
                raise ValueError(f"response status {status!r} cannot be sent")
            self.headers = q.HeaderMap(message.get("headers", ()))
            self.length = _content_length(self.headers)
            if message.get("trailers", False):
                self.trailers = q.HeaderMap()
            self.status = status
            self.stage = BODY
            self.head_known()
        elif kind == "http.response.trailers" and self.stage == TRAILERS:
            for name, value in message.get("headers", ()):
                self.trailers.add(name, value)
            if not message.get("more_trailers", False):
                self.complete()
        else:
            raise RuntimeError(f"ASGI message {kind!r} not expected here")

    def head_known(self) -> None:
        """The response head is known, or will never be: the handler's
        answer can be made. A pushing driver gets it at once when the
        application has finished (its whole body goes out with the head),
        else when the step that made it known ends (`stepped`)."""
        _wake(self.ready)
        if self.finished and self.respond is not None:
            self.deliver()

    @types.coroutine
    def stepped(self, coro: Awaitable[None]) -> Generator[Any, Any, None]:
        """Awaits `coro` as `await` would, and after each of its steps
        answers a pushing driver once the head is known. A quick
        application finishes in its first step: its answer then goes out
        whole, from that step, with no callback scheduled for it."""
        steps = coro.__await__()
        sent: Any = None
        thrown: BaseException | None = None
        while True:
            try:
                yielded = steps.send(sent) if thrown is None else steps.throw(thrown)
            except StopIteration:
                return
            if self.respond is not None and self.stage != START:
                self.deliver()
            sent, thrown = None, None
            try:
                sent = yield yielded
            except BaseException as e:  # a cancellation, or the task closed: the application gets it
                thrown = e

    def deliver(self) -> None:
        respond, self.respond = self.respond, None
        if respond is None:
            return
        assert self.caller is not None
        try:
            # In the driver's context: a task it starts from here (the next
            # request's) must not inherit the application's variables.
            self.caller.run(respond, self.response())
        except Exception as e:
            self.loop.call_exception_handler({"message": "answering an ASGI request failed", "exception": e})

    def response(self) -> Response:
        """The handler's answer once the head is known: the whole body when
        the application has finished, else a stream of it."""
        headers, length = self.headers, self.length
        if self.stage == START:
            if self.error is None and not (self.left or self.request.gone):
                log.error("ASGI application returned without a response")
            return Response(500, TEXT, FAILED)
        if self.stage == DONE:
            body = b"".join(self.pieces)
            if self.head_only and length is None and body:
                headers["content-length"] = str(len(body))
                length = len(body)
            if self.finished:
                if self.head_only:
                    return Response(self.status, headers, b"", trailers=self.trailers)
                if length is None or length == len(body):
                    return Response(self.status, headers, body, trailers=self.trailers)
                # A declared length the body does not fill: streamed, so the
                # driver's framing cuts the response off instead of sending a
                # head that promises what never comes.
        elif self.head_only:
            self.abandon()  # the head is all that goes out: no use making the body
        elif not self.finished:
            self.watch()
        return Response(self.status, headers, stream=_BodyStream(self), length=length, trailers=self.trailers)

    async def wait_for_room(self) -> None:
        while len(self.pieces) >= self.depth and not (self.left or self.finished):
            if self.room is None:
                self.room = asyncio.Event()
            self.room.clear()
            await self.room.wait()
        if self.left or self.finished:
            raise ClientDisconnected("client disconnected")

    def complete(self) -> None:
        self.stage = DONE
        if self.over is not None:
            self.over.set()

    def owes(self) -> bool:
        """Whether the client still lacks part of the response: once it has
        all (a body to its declared length, or an ended one), what the
        application does is its own work (a background task), which may
        go on after the client has gone."""
        if self.stage == DONE:
            return False
        return self.length is None or self.sent < self.length or self.trailers is not None

    # -- the client's leaving

    def watch(self) -> None:
        """Watches for the client's leaving while the application may wait
        on something that would not otherwise end."""
        if self.watcher is None and not (self.finished or self.left):
            if self.request.gone:
                self.abandon()
            else:
                self.watcher = self.loop.create_task(self.peer_gone())

    async def peer_gone(self) -> None:
        await self.request.peer_gone.wait()
        self.watcher = None
        self.abandon()

    def abandon(self, bound: bool = False) -> None:
        """Nothing more of the response reaches the client: tells the
        application, and cancels it if it runs on past the grace period
        while it still owes the client part of the response (or, `bound`,
        at all)."""
        if self.left:
            if bound and self.timer is None:
                self.bound()
            return
        self.left = True
        self.pieces.clear()
        _wake(self.data)
        if self.room is not None:
            self.room.set()
        if self.over is not None:
            self.over.set()
        if self.watcher is not None:
            self.watcher.cancel()
            self.watcher = None
        if bound or self.owes():
            self.bound()

    def bound(self) -> None:
        if not self.finished and self.task is not None:
            self.timer = self.loop.call_later(self.grace, self.task.cancel, "ASGI application outlived its request")


class _BodyStream:
    """The response body as the driver reads it. It ends once the
    application has returned, so work the application does after its last
    piece (a background task) finishes before the driver ends the response.
    A driver that stops reading early awaits `aclose()`: the application's
    `send` raises `ClientDisconnected`, and `aclose` returns once the
    application has ended (cancelled after the grace period if need be),
    unless the response was whole and only the application's own work
    remains."""

    __slots__ = ("ex",)

    def __init__(self, ex: _Exchange):
        self.ex = ex

    def __aiter__(self) -> _BodyStream:
        return self

    async def __anext__(self) -> bytes:
        ex = self.ex
        if ex.head_only:
            raise StopAsyncIteration
        while not ex.pieces:
            if ex.finished:
                if ex.stage != DONE or ex.left:
                    raise ResponseAborted("the ASGI application did not complete its response") from ex.error
                raise StopAsyncIteration
            data = ex.data = ex.loop.create_future()
            try:
                await data
            except asyncio.CancelledError:
                ex.abandon(bound=True)
                raise
            finally:
                ex.data = None
        piece = ex.pieces.popleft()
        if ex.room is not None and len(ex.pieces) < ex.depth:
            ex.room.set()
        return piece

    async def aclose(self) -> None:
        ex = self.ex
        if ex.finished or ex.task is None:
            return
        ex.abandon()
        if ex.timer is not None:
            # Cancelling this wait leaves the application to the timer.
            await asyncio.wait((ex.task,))

    def __del__(self) -> None:
        # Dropped unfinished without `aclose` (as the HTTP/2 driver does
        # once it has the declared length): the application is told, and
        # bounded, all the same.
        ex = self.ex
        if not (ex.finished or ex.left or ex.loop.is_closed()):
            ex.loop.call_soon_threadsafe(ex.abandon)


class ASGIApp:
    """A handler running `app`'s `http` scope for each request.

    `state` is the lifespan state (`Lifespan.state`), copied into each
    request's scope; `root_path` is where the application is mounted;
    `queue_depth` bounds the body pieces the application may send ahead of
    the client; `grace` is how long (seconds) it may run on once its client
    has gone or the driver stopped reading its response, before it is
    cancelled."""

    def __init__(self, app: App, *, state: dict[str, Any] | None = None, root_path: str = "",
                 queue_depth: int = QUEUE_DEPTH, grace: float = GRACE):
        self.app = app
        self.state = state
        self.root_path = root_path
        self.queue_depth = max(1, queue_depth)
        self.grace = grace

    def scope(self, request: Request) -> Scope:
        headers = request.headers.raw_items()
        if request.authority is not None and "host" not in request.headers:
            headers.insert(0, (b"host", request.authority.encode()))
        scope: Scope = {
            "type": "http",
            "asgi": {"version": "3.0", "spec_version": ASGI_HTTP_VERSION},
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
        if request.upgrade is not None:  # a WebSocket opening, and the server serves them
            from .websocket import run_asgi
            return await run_asgi(self.app, self.scope(request), request, self.grace)
        loop = asyncio.get_running_loop()
        ex = _Exchange(request, loop, self.queue_depth, self.grace)
        ready = ex.ready = loop.create_future()
        # In a copy of the current context, as any task.
        ex.task = loop.create_task(ex.run(self.app, self.scope(request)))
        try:
            await ready
        except asyncio.CancelledError:
            ex.abandon(bound=True)
            raise
        ex.ready = None
        return ex.response()

    def push(self, request: Request, respond: Respond) -> asyncio.Task[None]:
        """As a call, but answered through `respond` (see `handler.Push`)."""
        loop = asyncio.get_running_loop()
        ex = _Exchange(request, loop, self.queue_depth, self.grace)
        ex.respond = respond
        ex.caller = contextvars.copy_context()
        task = ex.task = loop.create_task(ex.run(self.app, self.scope(request)))
        return task


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
