"""The ASGI adapter with a real framework (Starlette) and bare ASGI apps,
driven through the handler API with an in-memory request; and several
worker processes sharing one port."""

import asyncio
import contextlib
import contextvars
import gc
import logging
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import anyio
import pytest

import _quillon as q

from quillon.asgi import ASGIApp, ClientDisconnected, Lifespan, LifespanError, load_app  # noqa: E402
from quillon.handler import Request, ResponseAborted  # noqa: E402

starlette = pytest.importorskip("starlette")
from starlette.applications import Starlette  # noqa: E402
from starlette.background import BackgroundTask  # noqa: E402
from starlette.middleware import Middleware  # noqa: E402
from starlette.middleware.base import BaseHTTPMiddleware  # noqa: E402
from starlette.responses import FileResponse, JSONResponse, PlainTextResponse, StreamingResponse  # noqa: E402
from starlette.routing import Mount, Route  # noqa: E402


def make_request(method="GET", target="/", pieces=None, headers=(), version="HTTP/1.1"):
    """A request whose body reader hands out `pieces`, counting its calls."""
    calls = []

    async def reader():
        calls.append(None)
        return pieces[len(calls) - 1] if len(calls) <= len(pieces) else b""

    request = Request(method, target, q.HeaderMap(list(headers)), version, reader if pieces is not None else None,
                      client=("127.0.0.1", 5000), server=("127.0.0.1", 8000))
    return request, calls


async def collect(response):
    if response.stream is None:
        return response.body
    return b"".join([piece async for piece in response.stream])


def starlette_app(events):
    @contextlib.asynccontextmanager
    async def lifespan(app):
        events.append("startup")
        yield {"greeting": "hi"}
        events.append("shutdown")

    async def hello(request):
        return PlainTextResponse(f"{request.state.greeting} {request.path_params['name']} "
                                 f"{request.query_params.get('x')} {request.url.path}")

    async def echo(request):
        chunks = [chunk.decode() async for chunk in request.stream() if chunk]
        return JSONResponse({"chunks": chunks, "type": request.headers["content-type"]})

    async def numbers(request):
        async def gen():
            for i in range(10):
                yield b"%d," % i
        return StreamingResponse(gen(), media_type="text/plain")

    async def boom(request):
        raise RuntimeError("boom")

    async def later(request):
        async def work():
            await asyncio.sleep(0.01)
            events.append("background")
        return PlainTextResponse("later", background=BackgroundTask(work))

    async def tag(request, call_next):
        # Runs the route in a task group of its own (anyio), around the
        # whole response.
        response = await call_next(request)
        response.headers["x-tag"] = "1"
        return response

    tagged = Starlette(routes=[Route("/later", later)], middleware=[Middleware(BaseHTTPMiddleware, dispatch=tag)])
    return Starlette(routes=[Route("/hello/{name}", hello), Route("/echo", echo, methods=["POST"]),
                             Route("/numbers", numbers), Route("/boom", boom), Mount("/tagged", tagged)],
                     lifespan=lifespan)


@pytest.mark.parametrize("method, target, pieces, status, body, streamed", [
    ("GET", "/hello/ann%20b?x=1", None, 200, b"hi ann b 1 /hello/ann b", False),
    ("GET", "http://example.org/hello/ann?x=2", None, 200, b"hi ann 2 /hello/ann", False),  # absolute form
    ("HEAD", "/hello/ann", None, 200, b"", False),
    ("POST", "/echo", [b"ab", b"cd", b"e"], 200, b'{"chunks":["ab","cd","e"],"type":"text/plain"}', False),
    ("GET", "/numbers", None, 200, b"0,1,2,3,4,5,6,7,8,9,", True),
    ("GET", "/nowhere", None, 404, b"Not Found", False),
    ("GET", "/boom", None, 500, b"Internal Server Error", False),
    ("GET", "/tagged/later", None, 200, b"later", True),
])
def test_starlette(method, target, pieces, status, body, streamed):
    events = []

    async def main():
        lifespan = Lifespan(starlette_app(events))
        await lifespan.startup()
        assert events == ["startup"]
        request, calls = make_request(method, target, pieces, [("content-type", "text/plain")])
        response = await ASGIApp(lifespan.app, state=lifespan.state)(request)
        got = await collect(response)
        await lifespan.shutdown()
        return response, got, calls

    response, got, calls = asyncio.run(main())
    assert events == ["startup", "background", "shutdown"] if target == "/tagged/later" else ["startup", "shutdown"]
    assert (response.status, got, response.stream is not None) == (status, body, streamed)
    if target == "/tagged/later":
        assert response.headers["x-tag"] == b"1"
    if method == "HEAD":
        assert response.headers["content-length"] == b"22"  # "hi ann None /hello/ann"
    if pieces is not None:
        assert len(calls) == len(pieces) + 1  # read on demand, to the end and no further


async def run_raw(app, request=None, depth=4):
    request = request or make_request()[0]
    response = await ASGIApp(app, queue_depth=depth)(request)
    try:
        return response, await collect(response), None
    except Exception as e:
        return response, None, e


async def raises_first(scope, receive, send):
    raise RuntimeError("before the start")


async def returns_early(scope, receive, send):
    pass


async def raises_midway(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"part", "more_body": True})
    await asyncio.sleep(0)
    raise RuntimeError("after the start")


async def short_body(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"10")]})
    await send({"type": "http.response.body", "body": b"abc"})


async def long_body(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"2")]})
    await send({"type": "http.response.body", "body": b"abc"})


async def with_trailers(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [], "trailers": True})
    await send({"type": "http.response.body", "body": b"data"})
    await send({"type": "http.response.trailers", "headers": [(b"x-sum", b"1")], "more_trailers": True})
    await asyncio.sleep(0)
    await send({"type": "http.response.trailers", "headers": [(b"x-sum", b"2")]})


@pytest.mark.parametrize("app, status, body, error, length", [
    (raises_first, 500, b"Internal Server Error\n", None, None),
    (returns_early, 500, b"Internal Server Error\n", None, None),
    (raises_midway, 200, None, ResponseAborted, None),
    (short_body, 200, b"abc", None, 10),  # streamed with its length: the driver cuts it off
    (long_body, 200, None, ResponseAborted, 2),  # `send` refuses what the length does not allow
    (with_trailers, 200, b"data", None, None),
])
def test_raw_app_outcomes(app, status, body, error, length, caplog):
    response, got, e = asyncio.run(run_raw(app))
    assert (response.status, got, type(e) if e else None, response.length) == (status, body, error, length)
    if app is with_trailers:
        assert response.trailers.get_all("x-sum") == [b"1", b"2"]


@pytest.mark.parametrize("from_task", [False, True])
@pytest.mark.parametrize("ending", ["aclose", "peer_gone"])
def test_streaming_pace_and_disconnect(from_task, ending):
    """An endless producer (in the handler's flow, or in a task of its own)
    stays within a few pieces of a reader that stops, and learns of the
    client's leaving through `send` and then `receive`."""
    sent, outcome = [], []

    async def endless(scope, receive, send):
        assert (await receive())["type"] == "http.request"
        await send({"type": "http.response.start", "status": 200, "headers": []})

        async def produce():
            try:
                while True:
                    await send({"type": "http.response.body", "body": b"x" * 100, "more_body": True})
                    sent.append(1)
            except ClientDisconnected:
                outcome.append((await receive())["type"])
        await (asyncio.ensure_future(produce()) if from_task else produce())

    async def main():
        request, _ = make_request()
        response = await ASGIApp(endless, queue_depth=3)(request)
        first = await response.stream.__anext__()
        for _ in range(20):
            await asyncio.sleep(0)
        held = len(sent)
        if ending == "aclose":
            await response.stream.aclose()
        else:
            request.peer_gone.set()
            with pytest.raises(ResponseAborted):
                async for _ in response.stream:
                    pass
        return first, held

    first, held = asyncio.run(main())
    assert first == b"x" * 100 and held <= 3
    assert outcome == ["http.disconnect"]


ORIGIN = contextvars.ContextVar("ORIGIN")
ENDED = contextvars.ContextVar("ENDED")


async def scoped(scope, receive, send):
    """Holds an anyio task group and cancel scope across its sends."""
    async with anyio.create_task_group() as tg:
        with anyio.CancelScope():
            await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"4")]})
            for i in range(3):
                await send({"type": "http.response.body", "body": b"%d" % i, "more_body": True})
                await anyio.sleep(0)
            tg.start_soon(send, {"type": "http.response.body", "body": b"t", "more_body": True})
    await send({"type": "http.response.body", "body": b""})
    ENDED.get().append("ended")


async def contextual(scope, receive, send):
    """Sets a context variable before its first await, reads it after."""
    ORIGIN.set(ORIGIN.get("unset") + ">app")
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"30")]})
    for _ in range(3):
        await asyncio.sleep(0)
        await send({"type": "http.response.body", "body": ORIGIN.get().encode(), "more_body": True})
    await send({"type": "http.response.body", "body": b""})
    ENDED.get().append("ended")


@pytest.mark.parametrize("way", ["called", "pushed"])
@pytest.mark.parametrize("reading", ["to the end", "in another task", "up to its length, then dropped"])
@pytest.mark.parametrize("app", ["scoped", "contextual", "file"])
def test_app_runs_in_one_task(app, reading, way, tmp_path, caplog):
    """However the driver reads the response (the HTTP/2 one stops at the
    declared length and drops the stream), the application runs in one
    task to its end, in a context of its own copied from the caller's."""
    data = os.urandom(150_000)  # more than one of FileResponse's pieces
    (tmp_path / "f.bin").write_bytes(data)

    async def file(request):
        async def record():
            ENDED.get().append("ended")
        return FileResponse(tmp_path / "f.bin", background=BackgroundTask(record))

    apps = {"scoped": (scoped, b"012t"), "contextual": (contextual, b"caller>app" * 3),
            "file": (Starlette(routes=[Route("/", file)]), data)}
    target, expected = apps[app]

    async def read(response):
        got = b""
        async for piece in response.stream:
            got += piece
            if reading.startswith("up to") and len(got) == response.length:
                break
        return got

    async def main():
        ORIGIN.set("caller")
        ENDED.set(ended := [])
        adapter = ASGIApp(target, queue_depth=1)
        if way == "called":
            response = await adapter(make_request()[0])
        else:  # as a driver does: the answer comes back from the application's task
            answered = asyncio.get_running_loop().create_future()
            adapter.push(make_request()[0], answered.set_result)
            response = await answered
        got = await (asyncio.ensure_future(read(response)) if reading == "in another task" else read(response))
        del response
        end = time.monotonic() + 5
        while len(asyncio.all_tasks()) > 1 and time.monotonic() < end:
            await asyncio.sleep(0.01)
        return got, len(asyncio.all_tasks()), ORIGIN.get(), ended

    with caplog.at_level(logging.WARNING):
        got, tasks, origin, ended = asyncio.run(main())
        gc.collect()
    assert (got, tasks, origin, ended) == (expected, 1, "caller", ["ended"])
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


ENDINGS = ["handler cancelled", "peer gone while streaming", "stream closed"]


@pytest.mark.parametrize("ending, stuck", [(e, False) for e in ENDINGS + ["peer gone before the head"]]
                         + [(e, True) for e in ENDINGS])
def test_app_told_of_the_end_then_cancelled(ending, stuck):
    """An application whose request ends under it hears `http.disconnect`
    and `send` raises; one that does not end by itself is cancelled after
    the grace period, not before. (Before the head, a stuck application is
    the driver's to cancel: it cancels the handler.)"""
    grace, seen, ended = 0.3, [], []

    async def app(scope, receive, send):
        try:
            assert (await receive())["type"] == "http.request"
            if ending != "handler cancelled" and ending != "peer gone before the head":
                await send({"type": "http.response.start", "status": 200, "headers": []})
                await send({"type": "http.response.body", "body": b"x", "more_body": True})
            if stuck:
                await asyncio.sleep(30)
            seen.append((await receive())["type"])
            with pytest.raises(ClientDisconnected):
                await send({"type": "http.response.body", "body": b"y"})
            seen.append("send raised")
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise
        finally:
            ended.append(time.monotonic())

    async def main():
        request = make_request()[0]
        handling = asyncio.ensure_future(ASGIApp(app, grace=grace)(request))
        await asyncio.sleep(0.01)
        t0 = time.monotonic()
        if ending == "handler cancelled":
            handling.cancel()
        elif ending == "peer gone before the head":
            request.peer_gone.set()
            assert (await handling).status == 500
        else:
            response = await handling
            assert await response.stream.__anext__() == b"x"
            t0 = time.monotonic()
            if ending == "stream closed":
                await response.stream.aclose()
                assert ended  # aclose waits for the application
            else:
                request.peer_gone.set()
                with pytest.raises(ResponseAborted):
                    await response.stream.__anext__()
        while not ended:
            await asyncio.sleep(0.01)
        return ended[0] - t0

    took = asyncio.run(asyncio.wait_for(main(), 10))
    assert seen == (["cancelled"] if stuck else ["http.disconnect", "send raised"])
    assert (took >= grace * 0.9) == stuck


def test_lifespan_outcomes():
    async def failing(scope, receive, send):
        await receive()
        await send({"type": "lifespan.startup.failed", "message": "no database"})

    async def main():
        with pytest.raises(LifespanError, match="no database"):
            await Lifespan(failing).startup()
        unsupported = Lifespan(raises_first)
        await unsupported.startup()
        await unsupported.shutdown()
        return unsupported.supported

    assert asyncio.run(main()) is False


@pytest.mark.parametrize("ref, error", [
    ("quillon.asgi:ASGIApp", None), ("quillon.asgi", ValueError), ("quillon.asgi:nothing", ValueError), ("no_such_module:app", ImportError)])
def test_load_app(ref, error):
    if error is None:
        assert load_app(ref) is ASGIApp
    else:
        with pytest.raises(error):
            load_app(ref)


WORKER = r"""
import asyncio, os, signal, sys
from quillon import workers

async def serve(sock):
    async def answer(reader, writer):
        await reader.readuntil(b"\r\n\r\n")
        writer.write(b"HTTP/1.0 200 OK\r\n\r\n%d" % os.getpid())
        await writer.drain()
        writer.close()
    server = await asyncio.start_server(answer, sock=sock)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    server.close()
    await server.wait_closed()
    os.write(1, b"stopped %d\n" % os.getpid())  # one write: the two workers share the pipe
    return 0

sys.exit(workers.serve_on(serve, "127.0.0.1", int(sys.argv[2]), workers=2))
"""


def test_two_workers_share_a_port_and_stop_on_sigterm():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([sys.executable, "-c", WORKER, "-", str(port)], stdout=subprocess.PIPE)
    try:
        pids, end = set(), time.monotonic() + 20
        while len(pids) < 2 and time.monotonic() < end:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=2) as c:
                    c.sendall(b"GET / HTTP/1.0\r\n\r\n")
                    pids.add(int(c.makefile("rb").read().split(b"\r\n\r\n")[1]))
            except (OSError, ValueError, IndexError):
                time.sleep(0.05)
        assert len(pids) == 2, pids
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
    assert {int(line.split()[1]) for line in out.decode().splitlines()} == pids
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)
