"""ASGI 3 on the handler API: `ASGIApp(app)` is a handler that runs an ASGI
application's `http` scope for each request, `Lifespan(app)` runs its
`lifespan` scope around the server's life, and `load_app("module:attr")`
finds the application the way other ASGI servers' command lines do.

The application runs in a task of its own, because its `send` calls and the
driver's writes must overlap: body pieces pass through a short queue, so an
application that produces faster than the client reads waits in `send`
instead of filling memory. An application that has sent its whole response
by the time the driver looks (the common case: a handful of bytes) is
answered with one whole-bytes response, with no stream at all."""

from __future__ import annotations

import asyncio
import collections
import importlib
import logging
import sys
from typing import Any, Awaitable, Callable, MutableMapping
from urllib.parse import unquote

import _quillon as q  # type: ignore[import-not-found, unused-ignore]

from handler import Request, Response, ResponseAborted

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

# 2.4: `send` raises an OSError once the client is gone, so applications
# need not watch `receive` for a disconnect while they stream.
ASGI = {"version": "3.0", "spec_version": "2.4"}
LIFESPAN_ASGI = {"version": "3.0", "spec_version": "2.0"}
EXTENSIONS: dict[str, dict[str, Any]] = {"http.response.trailers": {}}
HTTP_VERSIONS = {"HTTP/1.1": "1.1", "HTTP/2": "2", "HTTP/1.0": "1.0"}

# Body pieces the application may have sent ahead of the client: enough to
# keep the driver busy while the application produces the next one.
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


class _Exchange:
    """One request's `receive` and `send`, and the queue between the
    application and the response stream the driver reads."""

    __slots__ = ("request", "started", "stage", "status", "headers", "trailers", "pieces", "depth", "failure",
                 "abandoned", "ready", "nudge", "body_sent")

    def __init__(self, request: Request, depth: int):
        self.request = request
        self.started: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.stage = START
        self.status = 500
        self.headers: Any = None
        self.trailers: Any = None
        self.pieces: collections.deque[bytes] = collections.deque()
        self.depth = depth
        self.failure: BaseException | None = None
        self.abandoned = False  # the driver dropped the response stream
        self.ready: asyncio.Future[None] | None = None  # the stream waits for a piece
        self.nudge = asyncio.Event()  # room in the queue, or the stream was dropped
        self.body_sent = False  # the request body was delivered to its end

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
        while not (request.peer_gone.is_set() or self.abandoned or self.stage == DONE):
            self.nudge.clear()
            await _either(request.peer_gone, self.nudge)
        return {"type": "http.disconnect"}

    async def send(self, message: Message) -> None:
        if self.abandoned or self.request.peer_gone.is_set():
            raise ClientDisconnected("client disconnected")
        kind = message["type"]
        if kind == "http.response.body" and self.stage == BODY:
            body = message.get("body", b"")
            if body:
                if type(body) is not bytes:
                    body = bytes(body)
                while len(self.pieces) >= self.depth:
                    self.nudge.clear()
                    await _either(self.nudge, self.request.peer_gone)
                    if self.abandoned or self.request.peer_gone.is_set():
                        raise ClientDisconnected("client disconnected")
                self.pieces.append(body)
            if not message.get("more_body", False):
                self.stage = DONE if self.trailers is None else TRAILERS
                self.nudge.set()
            self.wake_stream()
        elif kind == "http.response.start" and self.stage == START:
            status = message["status"]
            if type(status) is not int or not 200 <= status <= 999:
                raise ValueError(f"response status {status!r} cannot be sent")
            self.headers = q.HeaderMap(message.get("headers", ()))
            if message.get("trailers", False):
                self.trailers = q.HeaderMap()
            self.status = status
            self.stage = BODY
            self.started.set_result(None)
        elif kind == "http.response.trailers" and self.stage == TRAILERS:
            for name, value in message.get("headers", ()):
                self.trailers.add(name, value)
            if not message.get("more_trailers", False):
                self.stage = DONE
                self.nudge.set()
                self.wake_stream()
        else:
            raise RuntimeError(f"ASGI message {kind!r} not expected here")

    # -- the driver's side

    def wake_stream(self) -> None:
        if self.ready is not None and not self.ready.done():
            self.ready.set_result(None)

    def fail(self, error: BaseException) -> None:
        """The application failed or returned early after its start."""
        self.failure = error
        self.wake_stream()

    def abandon(self) -> None:
        if self.stage != DONE:
            self.abandoned = True
            self.nudge.set()


class _BodyStream:
    """The response body as the driver reads it, fed by the application's
    `send`. A driver that stops reading (the client went away) closes it or
    drops it, and the application's next `send` raises."""

    __slots__ = ("ex",)

    def __init__(self, ex: _Exchange):
        self.ex = ex

    def __aiter__(self) -> _BodyStream:
        return self

    async def __anext__(self) -> bytes:
        ex = self.ex
        while True:
            if ex.pieces:
                piece = ex.pieces.popleft()
                ex.nudge.set()
                return piece
            if ex.stage == DONE:
                raise StopAsyncIteration
            if ex.failure is not None:
                raise ResponseAborted("the application failed during its response") from ex.failure
            ex.ready = asyncio.get_running_loop().create_future()
            try:
                await ex.ready
            finally:
                ex.ready = None

    async def aclose(self) -> None:
        self.ex.abandon()

    def __del__(self) -> None:
        self.ex.abandon()


class ASGIApp:
    """A handler running `app`'s `http` scope for each request.

    `state` is the lifespan state (`Lifespan.state`), copied into each
    request's scope; `root_path` is where the application is mounted."""

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
            "asgi": ASGI,
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
            "extensions": EXTENSIONS,
        }
        if self.state is not None:
            scope["state"] = self.state.copy()
        return scope

    async def __call__(self, request: Request) -> Response:
        ex = _Exchange(request, self.queue_depth)
        task = asyncio.ensure_future(self.run(ex, self.scope(request)))
        try:
            await ex.started
        except asyncio.CancelledError:
            task.cancel()
            raise
        if ex.stage == START:
            return Response(500, TEXT, FAILED)
        headers = ex.headers
        length = _content_length(headers)
        if ex.stage == DONE:
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

    async def run(self, ex: _Exchange, scope: Scope) -> None:
        try:
            await self.app(scope, ex.receive, ex.send)
        except Exception as e:
            if ex.stage == START:
                log.exception("ASGI application failed before its response")
                ex.started.set_result(None)
            elif ex.stage != DONE:
                if not (ex.abandoned or ex.request.peer_gone.is_set()):
                    log.exception("ASGI application failed during its response")
                ex.fail(e)
            else:
                log.exception("ASGI application failed after its response")
            return
        if ex.stage == START:
            log.error("ASGI application returned without a response")
            ex.started.set_result(None)
        elif ex.stage != DONE:
            ex.fail(RuntimeError("ASGI application returned before its response was complete"))


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
        scope: Scope = {"type": "lifespan", "asgi": LIFESPAN_ASGI, "state": self.state}
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


def load_app(spec: str, app_dir: str | None = ".") -> App:
    """The object named by "module:attribute" (the attribute may be dotted),
    importing the module with `app_dir` first on the path."""
    module_name, _, attr = spec.partition(":")
    if not module_name or not attr:
        raise ValueError(f"application {spec!r} is not of the form module:attribute")
    if app_dir is not None and app_dir not in sys.path:
        sys.path.insert(0, app_dir)
    obj: Any = importlib.import_module(module_name)
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise ValueError(f"module {module_name!r} has no attribute {attr!r}") from None
    if not callable(obj):
        raise ValueError(f"{spec!r} is not callable")
    app: App = obj
    return app
