"""A small asyncio HTTP/1.1 server driven entirely by the `_quillon` core.

    python examples/server.py [--host 127.0.0.1] [--port 8080] [--tls CERT KEY]

Routes:
    /          a small HTML page
    /echo      the request body echoed back (chunked, with a trailer, when the
               request body was chunked)
    /bytes/N   N bytes, streamed in 16 KiB pieces
    /slow      a few lines with pauses between them (stops early when the
               client goes away)

Every protocol decision is the core's: `H1ServerState` says where the next
read comes from, who owns the transport read, whether a response may be
written and whether the connection is reused; `H1Codec` parses and frames
the bytes. This file only moves bytes between the socket and the core and
runs the handlers. SIGINT/SIGTERM stop accepting, let requests in flight
finish, and close idle connections at once.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import ssl
import sys

import _quillon as q

log = logging.getLogger("quillon.example")

READ_SIZE = 65536
PIECE = 16384
MAX_ECHO = 64 * 1024 * 1024  # an echo body is held in memory; bound it
MAX_DRAIN = 1024 * 1024  # unread body bytes discarded before closing instead
SHUTDOWN_GRACE = 10.0

INDEX = b"""<!doctype html>
<html><head><title>quillon example</title></head>
<body><h1>It works</h1>
<p>Served by an asyncio driver over the <code>_quillon</code> protocol core.</p>
<ul><li><a href="/echo">/echo</a> (POST a body)</li>
<li><a href="/bytes/1024">/bytes/1024</a></li><li><a href="/slow">/slow</a></li></ul>
</body></html>
"""


class Transport:
    """The transport object the connection states hold and hand back: only
    this driver ever calls it."""

    __slots__ = ("reader", "writer")

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.reader = reader
        self.writer = writer

    def close(self) -> None:
        self.writer.close()


def close_transport(t) -> None:
    if t is not None:
        t.close()


class Response:
    """What a handler answers: a status, headers, and either whole bytes or
    an async iterator of pieces (streamed, chunked unless a length is set)."""

    def __init__(self, status=200, headers=None, body=b"", stream=None, length=None, trailers=None):
        self.status = status
        self.headers = q.HeaderMap(headers or {})
        self.body = body
        self.stream = stream
        self.length = length
        self.trailers = trailers


class Request:
    def __init__(self, method: str, target: str, headers: q.HeaderMap, version: str, body: bytes, chunked: bool):
        self.method = method
        self.target = target
        self.path = target.split("?", 1)[0]
        self.headers = headers
        self.version = version
        self.body = body
        self.chunked = chunked
        self.peer_gone = asyncio.Event()


# ---------------------------------------------------------------------------
# Handlers (shared by every protocol)


async def stream_bytes(n: int):
    block = b"x" * PIECE
    while n > 0:
        piece = block[: min(n, PIECE)]
        n -= len(piece)
        yield piece


async def slow_lines(request: Request):
    for i in range(5):
        if request.peer_gone.is_set():
            return
        yield b"line %d\n" % i
        try:
            await asyncio.wait_for(request.peer_gone.wait(), 0.2)
        except asyncio.TimeoutError:
            pass


def route(request: Request) -> Response:
    path = request.path
    if path == "/":
        return Response(200, {"content-type": "text/html; charset=utf-8"}, INDEX)
    if path == "/echo":
        headers = {"content-type": request.headers.get("content-type", b"application/octet-stream")}
        if request.chunked:
            # Sent only to a client that said it accepts trailers (TE).
            headers["trailer"] = "x-echo-length"
            trailers = q.HeaderMap({"x-echo-length": str(len(request.body))})
            return Response(200, headers, request.body, trailers=trailers)
        return Response(200, headers, request.body)
    if path.startswith("/bytes/"):
        try:
            n = int(path[len("/bytes/"):])
        except ValueError:
            n = -1
        if not 0 <= n <= 1 << 34:
            return Response(400, {"content-type": "text/plain"}, b"bad length\n")
        return Response(200, {"content-type": "application/octet-stream"}, stream=stream_bytes(n), length=n)
    if path == "/slow":
        return Response(200, {"content-type": "text/plain"}, stream=slow_lines(request))
    return Response(404, {"content-type": "text/plain"}, b"not found\n")


def wants_body(path: str) -> bool:
    return path == "/echo"


# ---------------------------------------------------------------------------
# HTTP/1.1


class H1Connection(q.H1ServerState):
    """One HTTP/1.1 connection: the core state plus the driver's tasks."""

    async def serve(self, server: "Server", peer: str) -> None:
        self.server = server
        self.peer = peer
        t = self.transport_ref()
        self.reader, self.writer = t.reader, t.writer
        try:
            while await self.one_request():
                pass
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            close_transport(self.mark_closed()[0])

    async def read(self) -> bytes:
        try:
            return await self.reader.read(READ_SIZE)
        except (ConnectionError, OSError):
            return b""

    async def next_read(self):
        """The bytes that start the next head, b"" to parse what the codec
        holds, or None when the connection is done."""
        code, obj = self.begin_read()
        if code == q.H1_NEXT_DRAIN:
            code, obj = self.drain_done(await self.drain())
        if code == q.H1_NEXT_CLOSE:
            close_transport(obj)
            return None
        if code in (q.H1_NEXT_NONE, q.H1_READ_SHUTDOWN, q.H1_READ_EOF):
            return None
        if code == q.H1_NEXT_RAISE:
            raise RuntimeError("the previous response is unfinished")
        if code == q.H1_READ_PARSE:
            return b""
        if code == q.H1_READ_WATCHER:
            # The mid-message watcher's read is still parked: it is the one
            # to await, and its result starts the next request.
            await obj.wait()
            closed = self.unpark_idle_read()
            await self.join_watcher()
            data, error = self.take_watcher_result()
            return None if closed or error is not None or not data else data
        data = await self.read()  # H1_READ_TRANSPORT
        if self.unpark_idle_read() or not data:
            return None
        return data

    async def drain(self) -> bool:
        decoder = self.current_decoder()
        drained = 0
        try:
            while drained <= MAX_DRAIN:
                piece = decoder.decode()
                if piece is not None:
                    drained += len(piece)
                    continue
                if decoder.is_complete:
                    return True
                data = await self.read()
                if not data:
                    decoder.mark_eof()
                else:
                    decoder.feed(data)
        except q.H1BodyError:
            pass
        return False

    async def one_request(self) -> bool:
        data = await self.next_read()
        if data is None:
            return False
        while True:
            try:
                accepted = self.accept_head(data)
            except q.H1ParseError:
                await self.reject_head()
                return False
            if accepted is not None:
                break
            data = await self.read()
            if not data:
                return False
        head, seq, decoder = accepted
        request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1", b"",
                          head.body_kind == "chunked")
        if wants_body(request.path):
            try:
                request.body = await self.read_body(head, seq, decoder)
            except q.H1BodyError:
                close_transport(self.fail_response(seq))
                return False
        response = route(request)
        ok = await self.respond(request, seq, response)
        self.server.log(self.peer, request, response.status)
        return ok

    async def reject_head(self) -> None:
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is None:
            return
        if status is not None:
            head = self.codec.serialize_response(status, q.HeaderMap({"content-type": "text/plain"}),
                                                 keep_alive=False, content_length=0)
            transport.writer.write(head)
            try:
                await transport.writer.drain()
            except ConnectionError:
                pass
        transport.close()

    async def read_body(self, head, seq, decoder) -> bytes:
        if head.expect_continue and self.try_send_continue(seq):
            self.writer.write(self.codec.continue_response())
        if not self.begin_body_read(seq):
            return b""
        pieces, size, complete = [], 0, False
        try:
            while True:
                piece = decoder.decode()
                if piece is not None:
                    size += len(piece)
                    if size > MAX_ECHO:
                        raise q.H1BodyError("body too large for the echo route")
                    pieces.append(piece)
                    continue
                if decoder.is_complete:
                    complete = True
                    return b"".join(pieces)
                data = await self.read()
                if data:
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
        finally:
            self.end_body_read(seq, complete)

    async def respond(self, request: Request, seq: int, response: Response) -> bool:
        streamed = response.stream is not None
        length = response.length if streamed else len(response.body)
        chunked = response.trailers is not None or (streamed and length is None)
        done = asyncio.Event()
        while True:
            code, head, armed = self.respond_head(
                seq, response.status, response.headers, done,
                content_length=None if chunked else length, chunked=chunked, want=streamed)
            # H1_REQ_CONTINUE: the 100 Continue was claimed and is already
            # written (this driver writes it synchronously); claim again.
            if code != q.H1_REQ_CONTINUE:
                break
        if code == q.H1_REQ_PEER_CLOSED:
            close_transport(self.fail_response(seq))
            return False
        if code != q.H1_REQ_OK:
            return False
        if armed:
            self.store_watcher_handle(asyncio.ensure_future(self.watch(request, done)))
        w = self.writer
        w.write(head)
        codec = self.codec
        try:
            if streamed:
                async for piece in response.stream:
                    if self.peer_closed_flag(seq):
                        break
                    w.write(codec.serialize_data(piece))
                    await w.drain()
            elif response.body:
                w.write(codec.serialize_data(response.body))
            if request.peer_gone.is_set():
                close_transport(self.fail_response(seq))
                return False
            w.write(codec.serialize_trailers(response.trailers) if response.trailers else codec.serialize_end())
            await w.drain()
        except (ConnectionError, q.H1Error):
            close_transport(self.fail_response(seq))
            return False
        switch, close, transport, _leftover = self.finish_response(seq)
        if switch or close:
            close_transport(transport)
            return False
        return True

    async def watch(self, request: Request, done: asyncio.Event) -> None:
        """The mid-message watcher: a read parked while a response streams,
        so a client that goes away is noticed."""
        data, error = None, None
        try:
            data = await self.reader.read(READ_SIZE)
        except (ConnectionError, OSError) as e:
            error = e
        except asyncio.CancelledError:
            self.watcher_aborted()
            done.set()
            raise
        if self.watcher_completed(data, error):
            request.peer_gone.set()
        done.set()

    async def join_watcher(self) -> None:
        handle = self.take_watcher_handle()
        if handle is not None:
            await handle


# ---------------------------------------------------------------------------
# Server


class Server:
    def __init__(self):
        self.connections: set = set()
        self.tasks: set = set()
        self.count = 0

    def log(self, peer: str, request: Request, status: int) -> None:
        log.info('%s "%s %s %s" %d', peer, request.method, request.target, request.version, status)

    async def on_client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        self.tasks.add(task)
        peer = writer.get_extra_info("peername")
        peer = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
        conn = H1Connection(q.H1Codec(), Transport(reader, writer))
        self.connections.add(conn)
        try:
            await conn.serve(self, peer)
        finally:
            self.connections.discard(conn)
            self.tasks.discard(task)
            writer.close()

    async def shutdown(self) -> None:
        for conn in list(self.connections):
            close_transport(conn.request_shutdown())
        if self.tasks:
            await asyncio.wait(list(self.tasks), timeout=SHUTDOWN_GRACE)


def make_tls(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    ctx.set_alpn_protocols(["http/1.1"])
    return ctx


async def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
    server = Server()
    tls = make_tls(*args.tls) if args.tls else None
    listener = await asyncio.start_server(server.on_client, args.host, args.port, ssl=tls)
    port = listener.sockets[0].getsockname()[1]
    log.info("serving on %s://%s:%d", "https" if tls else "http", args.host, port)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    log.info("shutting down")
    listener.close()
    await server.shutdown()
    await listener.wait_closed()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
