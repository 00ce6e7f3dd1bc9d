"""The server in process, on loopback, with independent clients (h11's
parser, the h2 library): every request body reaches every serving path
whole, however it arrives, and what a hostile HTTP/2 client can make a
connection do stays bounded."""

import asyncio
import contextvars
import logging
import os
import ssl
import subprocess

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions
import h11
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hyperframe.frame import GoAwayFrame, HeadersFrame, RstStreamFrame

import _quillon as q
from quillon import Request, Response, demo
from quillon.asgi import ASGIApp
from quillon.link import Link, Timeouts
from quillon.server import Server

from _h2wire import peer_frames

SIZES = [0, 1, 16383, 16384, 16385, 65535, 65536, 1_000_000]
TIMEOUT = 30


async def echo_handler(request: Request) -> Response:
    body = await request.body(1 << 24)
    return Response(200, {"content-type": "application/octet-stream"}, body)


async def echo_app(scope, receive, send):
    if scope["type"] != "http":
        return
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if not message.get("more_body", False):
            break
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"%d" % len(body))]})
    await send({"type": "http.response.body", "body": body})


PATHS = {"routes": (demo.route, True), "handler": (echo_handler, False), "asgi": (ASGIApp(echo_app), False)}


@pytest.fixture(scope="module")
def tls_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("tls")
    crt, key = d / "cert.pem", d / "key.pem"
    try:
        r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out",
                            str(crt)], capture_output=True)
    except FileNotFoundError:
        pytest.skip("openssl is not installed")
    assert r.returncode == 0, r.stderr
    return str(crt), str(key)


class Serving:
    """A server on an ephemeral loopback port inside the running loop."""

    def __init__(self, handler, eager, tls=None, timeouts=None):
        self.server = Server(handler, timeouts or Timeouts(), eager=eager)
        self.tls = tls

    async def __aenter__(self):
        ctx = None
        if self.tls:
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ctx.load_cert_chain(*self.tls)
            ctx.set_alpn_protocols(["h2", "http/1.1"])
        loop = asyncio.get_running_loop()
        self.listener = await loop.create_server(lambda: Link(self.server), "127.0.0.1", 0, ssl=ctx)
        self.port = self.listener.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc):
        self.listener.close()
        await self.server.shutdown()
        await self.listener.wait_closed()

    async def connect(self):
        ctx = None
        if self.tls:
            ctx = ssl.create_default_context(cafile=self.tls[0])
            ctx.set_alpn_protocols(["h2"])
        return await asyncio.open_connection("127.0.0.1", self.port, ssl=ctx)


async def send_in(writer, data, arrival, split_at):
    """Writes `data` as the arrival pattern says: whole, in the pieces
    `split_at` cuts, a byte at a time, or the first piece then the rest
    after a pause."""
    if arrival == "whole":
        pieces = [data]
    elif arrival == "bytes":
        pieces = [data[i:i + 1] for i in range(len(data))]
    else:
        cuts = [0, *sorted(c for c in set(split_at) if 0 < c < len(data)), len(data)]
        pieces = [data[a:b] for a, b in zip(cuts, cuts[1:])]
    for i, piece in enumerate(pieces):
        writer.write(piece)
        await writer.drain()
        if arrival == "delayed" and i == 0:
            await asyncio.sleep(0.05)
        elif arrival == "pieces":
            await asyncio.sleep(0.001)


async def h1_exchange(serving, body, chunked, arrival):
    reader, writer = await serving.connect()
    if chunked:
        head = b"POST /echo HTTP/1.1\r\nhost: t\r\ntransfer-encoding: chunked\r\n\r\n"
        framed = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 20000]), body[i:i + 20000])
                          for i in range(0, len(body), 20000)) + b"0\r\n\r\n"
    else:
        head = b"POST /echo HTTP/1.1\r\nhost: t\r\ncontent-length: %d\r\n\r\n" % len(body)
        framed = body
    cuts = [len(head), *range(len(head) + 16384, len(head) + len(framed), 16384)]
    await send_in(writer, head + framed, arrival, cuts)
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="POST", target="/echo", headers=[("host", "t"), ("content-length", "0")]))
    conn.send(h11.EndOfMessage())
    got, status = [], None
    while True:
        event = conn.next_event()
        if event is h11.NEED_DATA:
            conn.receive_data(await reader.read(65536))
        elif isinstance(event, h11.Response):
            status = event.status_code
        elif isinstance(event, h11.Data):
            got.append(event.data)
        elif isinstance(event, (h11.EndOfMessage, h11.ConnectionClosed)):
            break
    writer.close()
    return status, b"".join(got)


class H2Client:
    """An h2-library client over a stream pair: a handshake, then requests."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
        self.events = []

    async def handshake(self):
        self.conn.initiate_connection()
        self.conn.increment_flow_control_window(1 << 24)
        self.writer.write(self.conn.data_to_send())
        while not any(isinstance(e, h2.events.RemoteSettingsChanged) for e in self.events):
            await self.pump()

    async def pump(self):
        data = await asyncio.wait_for(self.reader.read(65536), TIMEOUT)
        if not data:
            raise ConnectionError("server closed")
        try:
            events = self.conn.receive_data(data)
        except h2.exceptions.ProtocolError:
            if any(isinstance(e, h2.events.ConnectionTerminated) for e in self.events):
                return  # what the server finishes after its GOAWAY
            raise
        for event in events:
            self.events.append(event)
            if isinstance(event, h2.events.DataReceived):
                self.conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
        self.writer.write(self.conn.data_to_send())

    def reply(self, sid):
        """(status, body, ended) of stream `sid` so far."""
        status, body, ended = None, [], False
        for e in self.events:
            if getattr(e, "stream_id", None) != sid:
                continue
            if isinstance(e, h2.events.ResponseReceived):
                status = int(dict(e.headers)[b":status"])
            elif isinstance(e, h2.events.DataReceived):
                body.append(e.data)
            elif isinstance(e, (h2.events.StreamEnded, h2.events.StreamReset)):
                ended = True
        return status, b"".join(body), ended


async def h2_exchange(serving, body, arrival):
    client = H2Client(*await serving.connect())
    await client.handshake()
    conn, sid = client.conn, 1
    conn.send_headers(sid, [(b":method", b"POST"), (b":path", b"/echo"), (b":scheme", b"http"),
                            (b":authority", b"t"), (b"content-length", b"%d" % len(body))], end_stream=not body)
    sent = 0
    while True:
        # As much of the body as the windows take goes out, framed, in the
        # arrival pattern asked; the rest once the server opens them.
        room = min(conn.local_flow_control_window(sid), len(body) - sent) if body else 0
        for i in range(sent, sent + room, 16384):
            piece = body[i:min(i + 16384, sent + room)]
            conn.send_data(sid, piece, end_stream=i + len(piece) == len(body))
        sent += room
        out = conn.data_to_send()
        cuts, offset = [], 0
        while offset < len(out):
            offset += 9 + int.from_bytes(out[offset:offset + 3], "big")
            cuts.append(offset)
        await send_in(client.writer, out, arrival if sent == room else "whole", cuts)
        status, got, ended = client.reply(sid)
        if ended:
            break
        await client.pump()
    client.writer.close()
    return status, got


PROTOCOLS = ["h1-length", "h1-chunked", "h2c", "h2-tls"]
ARRIVALS = ["whole", "pieces", "bytes", "delayed"]


async def exchange(protocol, path, body, arrival, tls_files):
    handler, eager = PATHS[path]
    async with Serving(handler, eager, tls=tls_files if protocol == "h2-tls" else None) as serving:
        if protocol.startswith("h1"):
            return await h1_exchange(serving, body, protocol == "h1-chunked", arrival)
        return await h2_exchange(serving, body, arrival)


@pytest.mark.parametrize("arrival", ARRIVALS)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("path", list(PATHS))
def test_every_request_body_reaches_every_path_whole(path, protocol, size, arrival, request):
    if arrival == "bytes" and size > 16385:
        pytest.skip("a byte at a time is for the frame and chunk edges")
    tls = request.getfixturevalue("tls_files") if protocol == "h2-tls" else None
    body = os.urandom(size)
    status, got = asyncio.run(asyncio.wait_for(exchange(protocol, path, body, arrival, tls), TIMEOUT))
    assert status == 200
    assert len(got) == size and got == body


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(size=st.integers(0, 70000), cuts=st.lists(st.integers(1, 71000), max_size=8),
       path=st.sampled_from(list(PATHS)), protocol=st.sampled_from(["h1-length", "h1-chunked", "h2c"]))
def test_any_split_of_a_request_body_arrives_whole(size, cuts, path, protocol):
    async def go():
        handler, eager = PATHS[path]
        async with Serving(handler, eager) as serving:
            if protocol == "h2c":
                return await h2_exchange_cut(serving, body, cuts)
            reader, writer = await serving.connect()
            head = b"POST /echo HTTP/1.1\r\nhost: t\r\ncontent-length: %d\r\n\r\n" % len(body)
            data = head + body
            if protocol == "h1-chunked":
                head = b"POST /echo HTTP/1.1\r\nhost: t\r\ntransfer-encoding: chunked\r\n\r\n"
                data = head + (b"%x\r\n%s\r\n" % (len(body), body) if body else b"") + b"0\r\n\r\n"
            await send_in(writer, data, "pieces", cuts)
            raw = b""
            while chunk := await reader.read(65536):
                raw += chunk
                if len(raw) >= len(body) and b"\r\n\r\n" in raw:
                    head_end = raw.index(b"\r\n\r\n") + 4
                    if len(raw) - head_end >= len(body):
                        break
            writer.close()
            return raw[raw.index(b"\r\n\r\n") + 4:]

    body = os.urandom(size)
    assert asyncio.run(asyncio.wait_for(go(), TIMEOUT)) == body


async def h2_exchange_cut(serving, body, cuts):
    client = H2Client(*await serving.connect())
    await client.handshake()
    conn = client.conn
    conn.send_headers(1, [(b":method", b"POST"), (b":path", b"/echo"), (b":scheme", b"http"), (b":authority", b"t")],
                      end_stream=not body)
    for i in range(0, len(body), 16384):
        conn.send_data(1, body[i:i + 16384], end_stream=i + 16384 >= len(body))
    await send_in(client.writer, conn.data_to_send(), "pieces", cuts)
    while not client.reply(1)[2]:
        await client.pump()
    client.writer.close()
    return client.reply(1)[1]


# ---------------------------------------------------------------------------
# A hostile HTTP/2 client: resets that cost nothing to send


class RawH2:
    """Frames written with the h2 library's encoder and read back with
    hyperframe, so a connection the server ends mid-exchange can still be
    read to its last frame."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
        self.buffer = b""
        self.frames = []

    async def start(self):
        self.conn.initiate_connection()
        self.writer.write(self.conn.data_to_send())
        await self.writer.drain()

    def send(self):
        self.writer.write(self.conn.data_to_send())

    def parse(self, data):
        self.buffer += data
        while len(self.buffer) >= 9:
            length = int.from_bytes(self.buffer[:3], "big")
            if len(self.buffer) < 9 + length:
                break
            self.frames.extend(peer_frames(self.buffer[:9 + length]))
            self.buffer = self.buffer[9 + length:]

    async def read(self, wait):
        try:
            data = await asyncio.wait_for(self.reader.read(65536), wait)
        except asyncio.TimeoutError:
            return True
        except ConnectionError:
            return False
        self.parse(data)
        return bool(data)

    def goaway(self):
        return next((f for f in self.frames if isinstance(f, GoAwayFrame)), None)

    def opened(self, sid):
        self.conn.send_headers(sid, [(b":method", b"GET"), (b":path", b"/"), (b":scheme", b"http"),
                                     (b":authority", b"t")], end_stream=True)


async def rapid_reset(serving, streams, burst):
    raw = RawH2(*await serving.connect())
    await raw.start()
    sid = 1
    while sid < 2 * streams and raw.goaway() is None:
        for _ in range(burst):
            raw.opened(sid)
            raw.conn.reset_stream(sid, h2.errors.ErrorCodes.CANCEL)
            sid += 2
        try:
            raw.send()
            await raw.writer.drain()
        except ConnectionError:
            break
        if not await raw.read(0.001):
            break
    while raw.goaway() is None and await raw.read(TIMEOUT):
        pass
    raw.writer.close()
    return raw.frames


@pytest.mark.parametrize("path", ["routes", "handler"])
def test_rapid_reset_ends_in_enhance_your_calm_on_every_route(path):
    handler, eager = PATHS[path]

    async def go():
        async with Serving(handler, eager) as serving:
            return await rapid_reset(serving, 50_000, 100)

    frames = asyncio.run(asyncio.wait_for(go(), 60))
    goaway = next(f for f in frames if isinstance(f, GoAwayFrame))
    assert goaway.error_code == h2.errors.ErrorCodes.ENHANCE_YOUR_CALM
    # Bounded: the connection ended within a few bursts, not 50,000 streams on.
    assert goaway.last_stream_id < 1000
    assert sum(isinstance(f, HeadersFrame) for f in frames) < 500


class LongPoll:
    """A handler that waits for news that never comes: `cooperative` stops
    when the client leaves, otherwise it ignores that."""

    def __init__(self, cooperative):
        self.cooperative = cooperative
        self.running = 0
        self.peak = 0
        self.started = asyncio.Event()
        self.told = 0

    async def __call__(self, request):
        self.running += 1
        self.peak = max(self.peak, self.running)
        self.started.set()
        try:
            if self.cooperative:
                await request.peer_gone.wait()
                self.told += 1
            else:
                await asyncio.sleep(3600)
            return Response(200, body=b"news")
        finally:
            self.running -= 1


class LongPollApp(LongPoll):
    """The same as an ASGI application: `cooperative` waits on `receive`
    for the disconnect."""

    async def __call__(self, scope, receive, send):
        self.running += 1
        self.peak = max(self.peak, self.running)
        try:
            while (await receive())["type"] != "http.request":
                pass
            if self.cooperative:
                assert (await receive())["type"] == "http.disconnect"
                self.told += 1
            else:
                await asyncio.sleep(3600)
        finally:
            self.running -= 1


@pytest.mark.parametrize("asgi", [False, True], ids=["handler", "asgi"])
@pytest.mark.parametrize("cooperative", [True, False], ids=["cooperative", "stubborn"])
def test_streams_reset_under_their_handlers_stop_them_and_count_until_they_do(cooperative, asgi):
    app = LongPollApp(cooperative) if asgi else None
    handler = app or LongPoll(cooperative)

    async def go():
        served = ASGIApp(app, grace=0.3) if app else handler
        async with Serving(served, False, timeouts=Timeouts(grace=0.3)) as serving:
            raw = RawH2(*await serving.connect())
            await raw.start()
            sid = 1
            for _round in range(5):  # 500 streams in all, 100 at a time
                first = sid
                for _ in range(100):
                    raw.opened(sid)
                    sid += 2
                raw.send()
                while handler.running < 100 and handler.running + refused(raw) < (sid - 1) // 2 and await raw.read(1):
                    pass
                for s in range(first, sid, 2):
                    raw.conn.reset_stream(s, h2.errors.ErrorCodes.CANCEL)
                raw.send()
                await raw.read(0.01)
            await asyncio.sleep(0.6)  # past the grace period
            left = handler.running
            raw.writer.close()
            return left, refused(raw)

    left, refusals = asyncio.run(asyncio.wait_for(go(), TIMEOUT))
    assert left == 0
    assert handler.peak <= 128  # the server's stream limit bounds handlers, reset streams' included
    if cooperative:
        assert handler.told > 0  # told through peer_gone, before any cancel
    else:
        assert refusals > 0  # streams past the limit while the reset ones' handlers still ran


@pytest.mark.parametrize("cancelled", [False, True], ids=["answered", "cancelled before it starts"])
def test_a_pushed_request_leaves_the_concurrency_count_however_its_task_ends(cancelled):
    """A driver may cancel a handler's task before its first step (its
    connection ended in the same step): the count of running handlers
    must come back down all the same, or the limit would refuse everything."""
    from quillon.config import Config
    from quillon.server import front

    async def go():
        server = Server(ASGIApp(echo_app), Timeouts())
        served = front(server.handler, server, Config(limit_concurrency=4))
        answers = []
        for _ in range(6):
            task = served.push(Request("GET", "/", q.HeaderMap({"host": "t"}), "HTTP/1.1"), answers.append)
            if cancelled:
                task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            await asyncio.sleep(0)
        return server.active, [a.status for a in answers]

    active, statuses = asyncio.run(go())
    assert active == 0
    assert statuses == ([] if cancelled else [200] * 6)


@pytest.mark.parametrize("asgi", [False, True], ids=["handler", "asgi"])
def test_an_http1_client_that_leaves_mid_request_is_told_to_its_handler(asgi):
    """A long poll over HTTP/1.1 (no response started, the body read) learns
    that its client closed the connection, as over HTTP/2 a reset tells it."""
    handler = LongPollApp(True) if asgi else LongPoll(True)

    async def go():
        async with Serving(ASGIApp(handler) if asgi else handler, False) as serving:
            reader, writer = await serving.connect()
            writer.write(b"GET /poll HTTP/1.1\r\nhost: t\r\n\r\n")
            while handler.running == 0:
                await asyncio.sleep(0.01)
            writer.transport.abort()  # gone at once, as a closed browser tab
            for _ in range(100):
                if handler.running == 0:
                    break
                await asyncio.sleep(0.01)
            return handler.told, handler.running

    assert asyncio.run(asyncio.wait_for(go(), TIMEOUT)) == (1, 0)


def refused(raw):
    return sum(isinstance(f, RstStreamFrame) and f.error_code == h2.errors.ErrorCodes.REFUSED_STREAM
               for f in raw.frames)


async def streamed_then_lingers(request):
    async def pieces():
        yield b"a" * 10
        yield b"b" * 10
        await asyncio.sleep(0.1)  # the client has it all and leaves meanwhile

    return Response(200, stream=pieces(), length=20)


@pytest.mark.parametrize("te, announced", [(b"", False), (b"te: trailers\r\n", True)])
def test_h1_trailers_are_announced_only_when_sent(te, announced):
    async def go():
        async with Serving(demo.route, True) as serving:
            reader, writer = await serving.connect()
            writer.write(b"POST /echo HTTP/1.1\r\nhost: t\r\ntransfer-encoding: chunked\r\n%s\r\n3\r\nabc\r\n0\r\n\r\n"
                         % te)
            conn = h11.Connection(h11.CLIENT)
            conn.send(h11.Request(method="POST", target="/", headers=[("host", "t"), ("te", "trailers")]))
            head, trailers = None, None
            while trailers is None:
                event = conn.next_event()
                if event is h11.NEED_DATA:
                    conn.receive_data(await asyncio.wait_for(reader.read(65536), TIMEOUT))
                elif isinstance(event, h11.Response):
                    head = dict(event.headers)
                elif isinstance(event, h11.EndOfMessage):
                    trailers = dict(event.headers)
            writer.close()
            return head, trailers

    head, trailers = asyncio.run(go())
    assert (b"trailer" in head) is announced
    assert trailers == ({b"x-echo-length": b"3"} if announced else {})


def test_whole_answers_carry_their_length_and_complete_ones_log_as_such(caplog):
    caplog.set_level(logging.INFO, logger="quillon.access")

    async def go():
        async with Serving(streamed_then_lingers, False) as serving:
            reader, writer = await serving.connect()
            writer.write(b"GET / HTTP/1.1\r\nhost: t\r\n\r\n")
            data = b""
            while not data.endswith(b"a" * 10 + b"b" * 10):
                data += await asyncio.wait_for(reader.read(65536), TIMEOUT)
            writer.close()
            await asyncio.sleep(0.3)
            h1_log = "\n".join(caplog.messages)
        async with Serving(demo.route, True) as serving:
            client = H2Client(*await serving.connect())
            await client.handshake()
            client.conn.send_headers(1, [(b":method", b"GET"), (b":path", b"/bytes/10"), (b":scheme", b"http"),
                                         (b":authority", b"t")], end_stream=True)
            client.writer.write(client.conn.data_to_send())
            while not client.reply(1)[2]:
                await client.pump()
            head = next(e for e in client.events if isinstance(e, h2.events.ResponseReceived))
            client.writer.close()
        return h1_log, dict(head.headers)

    h1_log, h2_head = asyncio.run(asyncio.wait_for(go(), TIMEOUT))
    assert h1_log.rstrip().endswith('"GET / HTTP/1.1" 200')
    assert h2_head[b"content-length"] == b"10"


SEEN = contextvars.ContextVar("SEEN", default="fresh")


async def marking_app(scope, receive, send):
    """Answers what its context held when it began, then marks it; the
    slow ones answer after a wait, the streamed ones in pieces."""
    seen = SEEN.get()
    SEEN.set(scope["path"])
    size = 0
    while True:
        message = await receive()
        size += len(message.get("body", b""))
        if not message.get("more_body", False):
            break
    answer = b"%s %s %d" % (seen.encode(), scope["path"].encode(), size)
    if "slow" in scope["path"]:
        await asyncio.sleep(0.01)
    if "streamed" in scope["path"]:
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for piece in (answer[:3], answer[3:]):
            await send({"type": "http.response.body", "body": piece, "more_body": True})
            await asyncio.sleep(0)
        await send({"type": "http.response.body", "body": b""})
        return
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", b"%d" % len(answer))]})
    await send({"type": "http.response.body", "body": answer})


@pytest.mark.parametrize("pipelined", [True, False], ids=["pipelined", "one at a time"])
def test_asgi_requests_on_one_connection_answer_in_order_each_in_a_fresh_context(pipelined):
    paths = [f"/{i}" + ["", "-slow", "-streamed"][i % 3] for i in range(12)]
    wire = [b"POST %s HTTP/1.1\r\nhost: t\r\ncontent-length: %d\r\n\r\n%s" % (p.encode(), i, b"x" * i)
            for i, p in enumerate(paths)]

    async def go():
        async with Serving(ASGIApp(marking_app), False) as serving:
            reader, writer = await serving.connect()
            if pipelined:
                writer.write(b"".join(wire))
            conn = h11.Connection(h11.CLIENT)
            answers = []
            for i, path in enumerate(paths):
                if not pipelined:
                    writer.write(wire[i])
                # The client side of h11's state, for reading the answer.
                conn.send(h11.Request(method="POST", target=path, headers=[("host", "t"), ("content-length", "0")]))
                conn.send(h11.EndOfMessage())
                body = b""
                while not isinstance(event := conn.next_event(), h11.EndOfMessage):
                    if event is h11.NEED_DATA:
                        conn.receive_data(await reader.read(65536))
                    elif isinstance(event, h11.Data):
                        body += event.data
                answers.append(body.decode())
                conn.start_next_cycle()
            writer.close()
            return answers

    answers = asyncio.run(asyncio.wait_for(go(), TIMEOUT))
    assert answers == [f"fresh {path} {i}" for i, path in enumerate(paths)]


async def trickled(serving, h2c):
    """Sends a 100-byte body one byte every 50 ms: never idle long, never done."""
    reader, writer = await serving.connect()
    if h2c:
        client = H2Client(reader, writer)
        await client.handshake()
        client.conn.send_headers(1, [(b":method", b"POST"), (b":path", b"/"), (b":scheme", b"http"),
                                     (b":authority", b"t")])
        writer.write(client.conn.data_to_send())
    else:
        writer.write(b"POST / HTTP/1.1\r\nhost: t\r\ncontent-length: 100\r\n\r\n")
    try:
        for i in range(100):
            if h2c:
                client.conn.send_data(1, b"x")
                writer.write(client.conn.data_to_send())
            else:
                writer.write(b"x")
            await writer.drain()
            await asyncio.sleep(0.05)
            if h2c:
                try:
                    await asyncio.wait_for(client.pump(), 0.001)
                except asyncio.TimeoutError:
                    pass
                if client.reply(1)[2]:
                    return i
    except ConnectionError:
        return i
    return 100


@pytest.mark.parametrize("h2c", [False, True], ids=["h1", "h2c"])
def test_a_trickled_body_is_cut_at_the_body_deadline(h2c):
    async def go():
        async with Serving(echo_handler, False, timeouts=Timeouts(idle=1.0, body=0.5)) as serving:
            return await trickled(serving, h2c)

    # Cut after about 0.5 s of the 5 s the body would take.
    assert asyncio.run(asyncio.wait_for(go(), TIMEOUT)) < 40


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET / HTTP/1.1\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\nhost: a\r\nhost: b\r\n\r\n", 400),
    (b"POST /echo HTTP/1.1\r\nhost: t\r\ntransfer-encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 501),
    (b"CONNECT example.org:443 HTTP/1.1\r\nhost: example.org:443\r\n\r\n", 405),
])
def test_heads_the_server_must_refuse(request_bytes, status):
    async def go():
        async with Serving(demo.route, True) as serving:
            reader, writer = await serving.connect()
            writer.write(request_bytes)
            line = await asyncio.wait_for(reader.readline(), TIMEOUT)
            writer.close()
            return line

    assert asyncio.run(go()).split()[1] == b"%d" % status

