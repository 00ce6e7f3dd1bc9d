"""A small asyncio HTTP/1.1 and HTTP/2 server driven entirely by the `_quillon` core.

    python examples/server.py [--host 127.0.0.1] [--port 8080] [--tls CERT KEY]

Routes:
    /          a small HTML page
    /echo      the request body echoed back (chunked, with a trailer, when the
               request body was chunked)
    /bytes/N   N bytes, streamed in 16 KiB pieces
    /slow      a few lines with pauses between them (stops early when the
               client goes away)

HTTP/2 runs over cleartext with prior knowledge (the HTTP/1 codec spots the
client preface and the bytes move to `H2Streams.prime`) and over TLS when
ALPN picks h2.

Every protocol decision is the core's: `H1ServerState` says where the next
read comes from, who owns the transport read, whether a response may be
written and whether the connection is reused; `H1Codec` parses and frames
the bytes; `H2Streams` keeps every stream's state and window and hands back
the frames to write as one batch. This file only moves bytes between the socket and the core and
runs the handlers. SIGINT/SIGTERM stop accepting, let requests in flight
finish, and close idle connections at once.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import signal
import ssl
import sys

import _quillon as q
from h2driver import H2Driver, H2Stream


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


class Link(asyncio.Protocol):
    """One accepted socket. Bytes that arrive while no coroutine waits for
    them go straight to the connection (most requests are served inside
    `data_received`, with no task switch); otherwise they queue for the
    coroutine that reads. The same object is the opaque transport the
    connection states hold and hand back, and the reader/writer face the
    HTTP/2 driver uses."""

    def __init__(self, server: "Server"):
        self.server = server
        self.transport = None
        self.sink = None  # called with each read while nothing awaits one
        self.inbox = collections.deque()
        self.eof = False
        self.waiter = None
        self.paused = False
        self.drained = None
        self.gone = asyncio.Event()

    # asyncio.Protocol

    def connection_made(self, transport) -> None:
        self.transport = transport
        peer = transport.get_extra_info("peername")
        self.peer = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
        self.server.links.add(self)
        tls = transport.get_extra_info("ssl_object")
        if tls is not None and tls.selected_alpn_protocol() == "h2":
            self.server.spawn(self, serve_h2(self, b""))
        else:
            H1Connection(q.H1Codec(), self).start(self)

    def data_received(self, data: bytes) -> None:
        if self.sink is not None and not self.inbox and self.waiter is None:
            self.sink(data)
            return
        self.inbox.append(data)
        self.wake()

    def eof_received(self):
        self.eof = True
        self.wake()
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        return False

    def connection_lost(self, exc) -> None:
        self.eof = True
        self.wake()
        if self.drained is not None and not self.drained.done():
            self.drained.set_result(None)
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        self.sink = None
        self.server.links.discard(self)
        self.gone.set()

    def pause_writing(self) -> None:
        self.paused = True

    def resume_writing(self) -> None:
        self.paused = False
        if self.drained is not None and not self.drained.done():
            self.drained.set_result(None)

    # The face the drivers use

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    async def read(self, _size: int = READ_SIZE) -> bytes:
        while not self.inbox:
            if self.eof:
                return b""
            self.waiter = asyncio.get_running_loop().create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None
        return self.inbox.popleft()

    def take_inbox(self) -> bytes:
        data = b"".join(self.inbox)
        self.inbox.clear()
        return data

    def write(self, data) -> None:
        self.transport.write(data)

    async def drain(self) -> None:
        if self.transport.is_closing():
            raise ConnectionResetError("connection closed")
        if self.paused:
            self.drained = asyncio.get_running_loop().create_future()
            await self.drained

    def close(self) -> None:
        self.transport.close()


def close_transport(t) -> None:
    if t is not None:
        t.close()


class Response:
    """What a handler answers: a status, headers (a HeaderMap, or a dict made
    into one), and either whole bytes or an async iterator of pieces
    (streamed, chunked unless a length is set)."""

    __slots__ = ("status", "headers", "body", "stream", "length", "trailers")

    def __init__(self, status=200, headers=None, body=b"", stream=None, length=None, trailers=None):
        self.status = status
        self.headers = headers if isinstance(headers, q.HeaderMap) else q.HeaderMap(headers or {})
        self.body = body
        self.stream = stream
        self.length = length
        self.trailers = trailers


class Request:
    __slots__ = ("method", "target", "path", "headers", "version", "body", "chunked", "_peer_gone")

    def __init__(self, method: str, target: str, headers: q.HeaderMap, version: str, body: bytes, chunked: bool):
        self.method = method
        self.target = target
        self.path = target.partition("?")[0]
        self.headers = headers
        self.version = version
        self.body = body
        self.chunked = chunked
        self._peer_gone = None

    @property
    def peer_gone(self) -> asyncio.Event:
        """Set when the client goes away while the response is produced."""
        if self._peer_gone is None:
            self._peer_gone = asyncio.Event()
        return self._peer_gone


# ---------------------------------------------------------------------------
# Handlers (shared by every protocol)


async def stream_bytes(n: int):
    while n > 0:
        piece = BLOCK[: min(n, PIECE)]
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


# Header maps of the fixed responses, built once: the drivers only read them.
HTML = q.HeaderMap({"content-type": "text/html; charset=utf-8"})
OCTETS = q.HeaderMap({"content-type": "application/octet-stream"})
TEXT = q.HeaderMap({"content-type": "text/plain"})
BLOCK = b"x" * PIECE


def route(request: Request) -> Response:
    path = request.path
    if path == "/":
        return Response(200, HTML, INDEX)
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
            return Response(400, TEXT, b"bad length\n")
        if n <= PIECE:
            return Response(200, OCTETS, BLOCK[:n])
        return Response(200, OCTETS, stream=stream_bytes(n), length=n)
    if path == "/slow":
        return Response(200, TEXT, stream=slow_lines(request))
    return Response(404, TEXT, b"not found\n")


def wants_body(path: str) -> bool:
    return path == "/echo"


# ---------------------------------------------------------------------------
# HTTP/1.1


class H1Connection(q.H1ServerState):
    """One HTTP/1.1 connection. A request whose answer needs no waiting (no
    body to read, a whole response) is served on the spot inside the read
    callback; the first one that must wait moves the connection to a task,
    which runs until the connection is idle again."""

    def start(self, link: Link) -> None:
        self.link = link
        self.server = link.server
        self.server.connections.add(self)
        self.sniffing = b""
        link.sink = self.on_read
        self.next_step()

    def close_all(self) -> None:
        close_transport(self.mark_closed()[0])
        self.link.sink = None
        self.server.connections.discard(self)

    # -- the synchronous path -------------------------------------------------

    def on_read(self, data: bytes) -> None:
        """A read finished while the connection was idle or between the
        pieces of a head."""
        if self.unpark_idle_read() or not data:
            self.close_all()
            return
        if self.sniffing is not None:
            # While the first bytes could still be the start of the HTTP/2
            # client preface, wait for the rest, so the codec judges all of it.
            data = self.sniffing + data
            if len(data) < len(q.H2_PREFACE) and q.H2_PREFACE.startswith(data):
                self.sniffing = data
                self.begin_read()  # park the idle read again
                return
            self.sniffing = None
        self.serve_now(data)

    def next_step(self) -> None:
        """Where the next head comes from, decided by the state."""
        code, obj = self.begin_read()
        if code == q.H1_READ_PARSE:
            self.serve_now(b"")
        elif code == q.H1_READ_TRANSPORT:
            pass  # the idle read is the link's next data_received
        elif code in (q.H1_NEXT_DRAIN, q.H1_READ_WATCHER):
            self.go_async(self.async_next(code, obj))
        else:
            close_transport(obj)
            self.close_all()

    def serve_now(self, data: bytes) -> None:
        # The answers to every request in this read go out in one write:
        # pipelined requests then cost one send, not one each.
        out = []
        try:
            while True:
                try:
                    accepted = self.accept_head(data)
                except q.H1ParseError as e:
                    self.go_async(self.parse_failed(e))
                    return
                if accepted is None:
                    return  # the rest of the head comes with the next read
                head, seq, decoder = accepted
                request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1",
                                  b"", head.body_kind == "chunked")
                response = None if wants_body(request.path) else route(request)
                if response is None or response.stream is not None or response.trailers is not None:
                    self.flush(out)
                    self.go_async(self.finish_async(head, seq, decoder, request, response))
                    return
                code, head_bytes, _armed = self.respond_head(seq, response.status, response.headers, None,
                                                             content_length=len(response.body))
                if code == q.H1_REQ_OK:
                    out.append(self.codec.serialize_head_and_body(head_bytes, response.body))
                    self.server.log(self.link.peer, request, response.status)
                switch, close, transport, _leftover = self.finish_response(seq)
                if switch or close:
                    self.flush(out)
                    close_transport(transport)
                    self.close_all()
                    return
                code, obj = self.begin_read()
                if code != q.H1_READ_PARSE:
                    self.flush(out)
                    self.after_begin_read(code, obj)
                    return
                data = b""
        finally:
            self.flush(out)

    def flush(self, out: list) -> None:
        if out:
            self.link.write(out[0] if len(out) == 1 else b"".join(out))
            out.clear()

    def after_begin_read(self, code: int, obj) -> None:
        if code == q.H1_READ_TRANSPORT:
            return
        if code in (q.H1_NEXT_DRAIN, q.H1_READ_WATCHER):
            self.go_async(self.async_next(code, obj))
            return
        close_transport(obj)
        self.close_all()

    # -- the asynchronous path ------------------------------------------------

    def go_async(self, coro) -> None:
        self.link.sink = None  # reads now queue for the task
        self.server.spawn(self.link, self.run_async(coro))

    async def run_async(self, first) -> None:
        try:
            if not await first:
                return self.close_all()
            while True:
                code, obj = self.begin_read()
                if code == q.H1_READ_TRANSPORT:
                    # Idle again: back to serving from the read callback,
                    # starting with whatever arrived meanwhile.
                    data = self.link.take_inbox()
                    self.link.sink = self.on_read
                    if data or self.link.eof:
                        self.on_read(data)
                    return
                if code == q.H1_READ_PARSE:
                    data = b""
                else:
                    data = await self.async_read_start(code, obj)
                    if data is None:
                        return self.close_all()
                if not await self.one_request(data):
                    return self.close_all()
        except (ConnectionError, OSError):
            self.close_all()

    async def async_next(self, code: int, obj) -> bool:
        data = await self.async_read_start(code, obj)
        return data is not None and await self.one_request(data)

    async def async_read_start(self, code: int, obj):
        """The bytes that start the next head, or None when the connection
        is done."""
        if code == q.H1_NEXT_DRAIN:
            code, obj = self.drain_done(await self.drain())
            if code == q.H1_READ_PARSE:
                return b""
            if code == q.H1_READ_TRANSPORT:
                data = await self.link.read()
                return None if self.unpark_idle_read() or not data else data
        if code == q.H1_READ_WATCHER:
            # The mid-message watcher's read is still parked: it is the one
            # to await, and its result starts the next request.
            await obj.wait()
            closed = self.unpark_idle_read()
            handle = self.take_watcher_handle()
            if handle is not None:
                await handle
            data, error = self.take_watcher_result()
            return None if closed or error is not None or not data else data
        close_transport(obj)
        return None

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
                data = await self.link.read()
                if not data:
                    decoder.mark_eof()
                else:
                    decoder.feed(data)
        except q.H1BodyError:
            pass
        return False

    async def one_request(self, data: bytes) -> bool:
        while True:
            try:
                accepted = self.accept_head(data)
            except q.H1ParseError as e:
                return await self.parse_failed(e)
            if accepted is not None:
                break
            data = await self.link.read()
            if not data:
                return False
        head, seq, decoder = accepted
        request = Request(head.method, head.target, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1", b"",
                          head.body_kind == "chunked")
        return await self.finish_async(head, seq, decoder, request, None)

    async def finish_async(self, head, seq, decoder, request: Request, response) -> bool:
        if response is None:
            if wants_body(request.path):
                try:
                    request.body = await self.read_body(head, seq, decoder)
                except q.H1BodyError:
                    close_transport(self.fail_response(seq))
                    return False
            response = route(request)
        ok = await self.respond(request, seq, response)
        self.server.log(self.link.peer, request, response.status)
        return ok

    async def parse_failed(self, e: q.H1ParseError) -> bool:
        if e.args[0] == "version_h2":
            # HTTP/2 with prior knowledge: the bytes read so far and the
            # transport go to an HTTP/2 connection.
            preface = self.codec.take_body() + self.link.take_inbox()
            self.fail_read()
            self.server.connections.discard(self)
            await serve_h2(self.link, preface)
            return False
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is not None:
            if status is not None:
                transport.write(self.codec.serialize_response(
                    status, q.HeaderMap({"content-type": "text/plain"}), keep_alive=False, content_length=0))
            transport.close()
        return False

    async def read_body(self, head, seq, decoder) -> bytes:
        if head.expect_continue and self.try_send_continue(seq):
            self.link.write(self.codec.continue_response())
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
                data = await self.link.read()
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
        w = self.link
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
        try:
            data = await self.link.read()
        except asyncio.CancelledError:
            self.watcher_aborted()
            done.set()
            raise
        if self.watcher_completed(data, None):
            request.peer_gone.set()
        done.set()


# ---------------------------------------------------------------------------
# HTTP/2


class H2Connection(H2Driver):
    """One HTTP/2 connection: the shared pumps plus a task per request."""

    async def serve(self, server: "Server", peer: str, reader, writer, preface: bytes) -> None:
        self.server, self.peer = server, peer
        self.handlers: set = set()
        self.start(writer)
        try:
            # The sniffer already read the client preface (and maybe more).
            if self.prime(preface[:24]) is True:
                await self.read_pump(reader, preface[24:])
        finally:
            for t in list(self.handlers):
                t.cancel()
            await asyncio.gather(*self.handlers, return_exceptions=True)
            await self.finish()

    def done(self) -> bool:
        return self.shutdown_final and self.num_streams == 0

    def opened(self, stream: H2Stream) -> None:
        task = asyncio.ensure_future(self.respond(stream))
        self.handlers.add(task)
        task.add_done_callback(self.handlers.discard)

    async def respond(self, stream: H2Stream) -> None:
        self.accepted(stream.sid)
        head = stream.head
        request = Request(head.method, head.path or "/", head.headers, "HTTP/2", b"", False)
        try:
            if wants_body(request.path):
                request.body = await self.read_body(stream, MAX_ECHO)
                request.chunked = True  # an HTTP/2 response can always carry trailers
            response = route(request)
            await self.send_response(stream, response)
        except ConnectionError:
            self.reset(self.reset_stream(stream.sid, 8))  # CANCEL
            return
        self.server.log(self.peer, request, response.status)

    async def send_response(self, stream: H2Stream, response: Response) -> None:
        sid = stream.sid
        empty = response.stream is None and not response.body and response.trailers is None
        v = self.send_response_head(sid, response.status, response.headers, empty)
        self.wake(v.flags)
        if v.stopped is not None or empty:
            return
        pieces = response.stream if response.stream is not None else single(response.body)
        async for piece in pieces:
            if not await self.send_all(stream, piece, False):
                return
        if response.trailers is not None:
            v = self.send_trailers(sid, response.trailers)
            self.wake(v.flags)
        else:
            await self.send_all(stream, b"", True)


async def single(body: bytes):
    if body:
        yield body


H2_SETTINGS = dict(initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                   max_header_list_size=65536, max_send_buf_size=1 << 20, max_concurrent_streams=128)


# ---------------------------------------------------------------------------
# Server


class Server:
    def __init__(self):
        self.links: set = set()  # open sockets
        self.connections: set = set()  # connection states, for shutdown
        self.tasks: set = set()
        self.out = sys.stdout

    def log(self, peer: str, request: Request, status: int) -> None:
        self.out.write(f'{peer} "{request.method} {request.target} {request.version}" {status}\n')

    def spawn(self, link: Link, coro) -> None:
        task = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def shutdown(self) -> None:
        for conn in list(self.connections):
            if isinstance(conn, H2Connection):
                conn.wake(conn.begin_graceful_shutdown())
            else:
                close_transport(conn.request_shutdown())
        links = [link.gone.wait() for link in list(self.links)]
        if links:
            await asyncio.wait([asyncio.ensure_future(w) for w in links], timeout=SHUTDOWN_GRACE)


async def serve_h2(link: Link, preface: bytes) -> None:
    """Runs an HTTP/2 connection on `link`, starting from the bytes already
    read (the client preface, whole or in part, and maybe more)."""
    while len(preface) < len(q.H2_PREFACE):
        more = await link.read()
        if not more:
            link.close()
            return
        preface += more
    h2 = H2Connection("server", **H2_SETTINGS)
    link.server.connections.add(h2)
    try:
        await h2.serve(link.server, link.peer, link, link, preface)
    finally:
        link.server.connections.discard(h2)
        link.close()


def make_tls(cert: str, key: str) -> ssl.SSLContext:
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    return ctx


async def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = ap.parse_args(argv)
    server = Server()
    tls = make_tls(*args.tls) if args.tls else None
    loop = asyncio.get_running_loop()
    listener = await loop.create_server(lambda: Link(server), args.host, args.port, ssl=tls)
    port = listener.sockets[0].getsockname()[1]
    print(f"serving on {'https' if tls else 'http'}://{args.host}:{port}", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    print("shutting down", flush=True)
    listener.close()
    await server.shutdown()
    await listener.wait_closed()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
