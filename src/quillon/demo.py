"""The demo routes `quillon` serves when it is given no application:

    /          a small HTML page
    /echo      the request body echoed back (chunked, with a trailer, when the
               request body was chunked)
    /bytes/N   N bytes, streamed in 16 KiB pieces
    /slow      a few lines with pauses between them (stops early when the
               client goes away)

They are written for the eager start (`handler.start`): each answers
without waiting when it can, so the drivers serve them without a task."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator

import _quillon as q

from .handler import TEXT, BodyTooLarge, Handler, Request, Response, error_response

PIECE = 16384
MAX_ECHO = 64 * 1024 * 1024  # an echo body is held in memory; bound it

INDEX = b"""<!doctype html>
<html><head><title>quillon example</title></head>
<body><h1>It works</h1>
<p>Served by an asyncio driver over the <code>_quillon</code> protocol core.</p>
<ul><li><a href="/echo">/echo</a> (POST a body)</li>
<li><a href="/bytes/1024">/bytes/1024</a></li><li><a href="/slow">/slow</a></li></ul>
</body></html>
"""

# Header maps of the fixed responses, built once: the drivers only read them.
HTML = q.HeaderMap({"content-type": "text/html; charset=utf-8"})
OCTETS = q.HeaderMap({"content-type": "application/octet-stream"})
BLOCK = b"x" * PIECE


# ---------------------------------------------------------------------------
# Handlers (shared by every protocol)


async def index(request: Request) -> Response:
    return Response(200, HTML, INDEX)


async def echo(request: Request) -> Response:
    try:
        body = await request.body(MAX_ECHO)
    except BodyTooLarge:
        return error_response(413, "body too large for the echo route")
    headers: dict[str, str | bytes] = {
        "content-type": request.headers.get("content-type", b"application/octet-stream")}
    if request.version != "HTTP/2" and b"chunked" not in request.headers.get("transfer-encoding", b"").lower():
        return Response(200, headers, body)
    # A trailer over HTTP/2, or for a client that sent chunks (the driver
    # sends it, and announces it, only where the client said `TE: trailers`).
    headers["trailer"] = "x-echo-length"
    return Response(200, headers, body, trailers=q.HeaderMap({"x-echo-length": str(len(body))}))


async def stream_bytes(n: int) -> AsyncIterator[bytes]:
    while n > 0:
        piece = BLOCK[: min(n, PIECE)]
        n -= len(piece)
        yield piece


async def some_bytes(request: Request) -> Response:
    try:
        n = int(request.path[len("/bytes/"):])
    except ValueError:
        n = -1
    if not 0 <= n <= 1 << 34:
        return error_response(400, "bad length")
    if n <= PIECE:
        return Response(200, OCTETS, BLOCK[:n])
    return Response(200, OCTETS, stream=stream_bytes(n), length=n)


async def slow_lines(request: Request) -> AsyncIterator[bytes]:
    for i in range(5):
        if request.peer_gone.is_set():
            return
        yield b"line %d\n" % i
        try:
            await asyncio.wait_for(request.peer_gone.wait(), 0.2)
        except asyncio.TimeoutError:
            pass


async def slow(request: Request) -> Response:
    return Response(200, TEXT, stream=slow_lines(request))


async def not_found(request: Request) -> Response:
    return error_response(404, "not found")


ROUTES: dict[str, Handler] = {"/": index, "/echo": echo, "/slow": slow}


async def route(request: Request) -> Response:
    """The server's one handler: picks a route's handler by path."""
    if request.method == "CONNECT":
        # A 2xx would tell the client its tunnel is open.
        return Response(405, {"content-type": "text/plain", "allow": "GET, HEAD, POST"}, b"no tunnels here\n")
    handler = ROUTES.get(request.path)
    if handler is None:
        handler = some_bytes if request.path.startswith("/bytes/") else not_found
    return await handler(request)
