"""The client against the project's server and against hypercorn, both in
process: stream limits, full duplex, early answers, bodies byte for byte;
then the httpx-shaped surface: bodies, redirects, timeouts, streaming,
retries, proxies and errors."""

import asyncio
import base64
import contextlib
import hashlib
import json
import os
import socket
import zlib
from urllib.parse import parse_qsl

import pytest

import quillon
import quillon.client as qc
from quillon.client import Client, Limits, Timeout
import _quillon as q
from quillon.handler import Request, Response
from quillon.link import Link
from quillon.server import Server

hypercorn = pytest.importorskip("hypercorn")
from hypercorn.asyncio import serve as hypercorn_serve  # noqa: E402
from hypercorn.config import Config  # noqa: E402

TIMEOUT = 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def own_handler(request: Request) -> Response:
    if request.path == "/slow":
        await asyncio.sleep(0.3)
        return Response(200, body=b"slow")
    query = dict(parse_qsl(request.query))
    if request.path == "/inspect":
        body = await request.body(1 << 24)
        seen = {"method": request.method, "target": request.target, "body": body.decode("latin-1"),
                "headers": {k: v.decode("latin-1") for k, v in request.headers.items()}}
        return Response(200, {"content-type": "application/json"}, json.dumps(seen).encode())
    if request.path == "/coded":
        raw = bytes(int(query["n"])) if "zeros" in query else os.urandom(int(query["n"]))
        wbits = {"gzip": 31, "deflate": 15, "raw": -15}[query["as"]]
        z = zlib.compressobj(1, zlib.DEFLATED, wbits)
        coded = z.compress(raw) + z.flush()
        return Response(200, {"content-encoding": "deflate" if query["as"] == "raw" else query["as"],
                              "x-raw-sha": hashlib.sha256(raw).hexdigest()}, coded)
    if request.path == "/login":
        return Response(303, {"set-cookie": "session=abc; Path=/", "location": "/inspect"})
    if request.path == "/loop":
        return Response(307, {"location": "/loop"})
    if request.path == "/redirect":
        return Response(int(query["status"]), {"location": query["to"]}, b"moved")
    if request.path == "/sleep":
        await asyncio.sleep(float(query["s"]))
        return Response(200, body=b"awake")
    if request.path == "/pieces":
        async def pieces():
            for _ in range(int(query["n"])):
                yield b"p" * 1000
                await asyncio.sleep(0)

        return Response(200, {"trailer": "x-done"}, stream=pieces(), trailers=q.HeaderMap({"x-done": "yes"}))
    if request.path == "/early":
        return Response(413, body=b"too large")

    first = await request.read()

    async def back():
        piece = first
        while piece:
            yield piece
            piece = await request.read()

    return Response(200, stream=back())


async def asgi_app(scope, receive, send):
    if scope["type"] != "http":
        return
    path = scope["path"]
    if path == "/slow":
        await asyncio.sleep(0.3)
    if path == "/inspect":
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        seen = {"method": scope["method"], "target": scope["raw_path"].decode() + (
                    "?" + scope["query_string"].decode() if scope["query_string"] else ""),
                "body": body.decode("latin-1"),
                "headers": {k.decode(): v.decode("latin-1") for k, v in scope["headers"]}}
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": json.dumps(seen).encode()})
        return
    if path in ("/slow", "/early"):
        status, body = (200, b"slow") if path == "/slow" else (413, b"too large")
        await send({"type": "http.response.start", "status": status, "headers": []})
        await send({"type": "http.response.body", "body": body})
        return
    await send({"type": "http.response.start", "status": 200, "headers": []})
    while True:  # each piece goes back as it arrives
        message = await receive()
        if message["type"] != "http.request":
            return
        await send({"type": "http.response.body", "body": message.get("body", b""), "more_body": True})
        if not message.get("more_body"):
            break
    await send({"type": "http.response.body", "body": b""})


@contextlib.asynccontextmanager
async def own_server(**settings):
    server = Server(own_handler, config=quillon.Config(**settings))
    listener = await asyncio.get_running_loop().create_server(lambda: Link(server), "127.0.0.1", 0)
    try:
        yield f"http://127.0.0.1:{listener.sockets[0].getsockname()[1]}"
    finally:
        listener.close()
        await server.shutdown()


@contextlib.asynccontextmanager
async def hypercorn_server():
    config = Config()
    port = free_port()
    config.bind = [f"127.0.0.1:{port}"]
    config.accesslog = config.errorlog = None
    stop = asyncio.Event()
    task = asyncio.ensure_future(hypercorn_serve(asgi_app, config, shutdown_trigger=stop.wait))
    for _ in range(200):
        try:
            _r, w = await asyncio.open_connection("127.0.0.1", port)
            w.close()
            break
        except OSError:
            await asyncio.sleep(0.02)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        stop.set()
        await asyncio.wait_for(task, 10)


SERVERS = {"own": own_server, "hypercorn": hypercorn_server}


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, TIMEOUT))


@pytest.mark.parametrize("peer", SERVERS)
def test_http2_requests_beyond_the_peer_stream_limit_wait_for_a_slot(peer):
    # Both servers allow at most 128 streams at once; the requests all start
    # before the server's SETTINGS can have arrived.
    async def go():
        async with SERVERS[peer]() as base, Client(http2=True) as client:
            return await asyncio.gather(*(client.request("GET", base + "/slow") for _ in range(150)))

    replies = run(go())
    assert [(r.status_code, r.http_version, r.content) for r in replies] == [(200, "HTTP/2", b"slow")] * 150


SIZES = [0, 1, 16383, 16384, 16385, 65535, 65536, (1 << 20) + 7]


@pytest.mark.parametrize("peer, http2", [
    ("own", False), ("hypercorn", False), ("hypercorn", True), ("own", True),
])
def test_request_bodies_come_back_byte_for_byte(peer, http2):
    bodies = [os.urandom(n) for n in SIZES]

    async def go():
        async with SERVERS[peer]() as base, Client(http2=http2) as client:
            return await asyncio.gather(*(client.request("POST", base + "/echo", body=b) for b in bodies))

    replies = run(go())
    assert [r.status_code for r in replies] == [200] * len(SIZES)
    for body, reply in zip(bodies, replies):
        assert len(reply.content) == len(body) and reply.content == body


@pytest.mark.parametrize("http2, size", [(False, 24 << 20), (True, 6 << 20)], ids=["h1", "h2"])
@pytest.mark.parametrize("peer", SERVERS)
def test_full_duplex_echo_larger_than_every_window_and_buffer(peer, http2, size):
    body = os.urandom(size)

    async def go():
        async with SERVERS[peer]() as base, Client(http2=http2) as client:
            return await client.request("POST", base + "/echo", body=body)

    reply = run(go())
    assert reply.status_code == 200 and reply.content == body


@pytest.mark.parametrize("peer, http2", [
    ("own", False), ("own", True), ("hypercorn", False),
    # hypercorn ends the connection on DATA for a stream its application
    # has finished: the next request goes again on a new one.
    ("hypercorn", True),
])
def test_an_early_answer_ends_the_upload(peer, http2):
    async def go():
        async with SERVERS[peer]() as base, Client(http2=http2) as client:
            early = await client.request("POST", base + "/early", body=os.urandom(8 << 20))
            # The connection, or a fresh one, still serves the next request.
            after = await client.request("GET", base + "/slow")
            return early, after

    early, after = run(go())
    assert (early.status_code, early.content) == (413, b"too large")
    assert (after.status_code, after.content) == (200, b"slow")


# ---------------------------------------------------------------------------
# The client's surface, against the project's server


def own(http2=False, settings=None, **kw):
    """A client and the project's server, as one async context."""
    @contextlib.asynccontextmanager
    async def both():
        async with own_server(**(settings or {})) as base, Client(base_url=base, http2=http2, **kw) as client:
            yield base, client

    return both()


async def chunks(*pieces):
    for piece in pieces:
        yield piece


BOTH = pytest.mark.parametrize("http2", [False, True], ids=["h1", "h2"])


@pytest.mark.parametrize("peer, http2", [
    ("own", False), ("hypercorn", True), ("own", True),
])
def test_request_bodies_and_query_reach_the_server(peer, http2):
    async def go():
        async with SERVERS[peer]() as base, Client(base_url=base, http2=http2, headers={"x-default": "d"},
                                                   params={"k": "v"}) as client:
            return [await client.post("/inspect", json={"a": [1, "é"]}),
                    await client.put("/inspect?x=1", data={"f": "a b", "g": ["1", "2"]}, params={"p": "&"}),
                    await client.post("inspect", content="text ✓", headers={"x-default": "mine"}),
                    await client.post("/inspect", content=chunks(b"str", b"", b"eamed"))]

    as_json, form, text, streamed = (r.json() for r in run(go()))
    assert json.loads(as_json["body"].encode("latin-1")) == {"a": [1, "é"]}
    assert as_json["headers"]["content-type"] == "application/json"
    assert (form["method"], form["target"]) == ("PUT", "/inspect?x=1&k=v&p=%26")
    assert form["body"] == "f=a+b&g=1&g=2"
    assert form["headers"]["content-type"] == "application/x-www-form-urlencoded"
    assert text["body"].encode("latin-1") == "text ✓".encode() and text["headers"]["x-default"] == "mine"
    assert form["headers"]["x-default"] == "d"
    assert streamed["body"] == "streamed"
    if not http2:
        assert streamed["headers"]["transfer-encoding"] == "chunked"


@pytest.mark.parametrize("status, method, after", [
    (301, "POST", "GET"), (302, "POST", "GET"), (302, "PUT", "PUT"), (303, "PUT", "GET"), (303, "HEAD", "HEAD"),
    (307, "POST", "POST"), (308, "PUT", "PUT"),
])
def test_redirects_follow_the_method_rules(status, method, after):
    async def go():
        async with own(follow_redirects=True) as (base, client):
            r = await client.request(method, f"/redirect?status={status}&to=/inspect", content=b"payload")
            # HEAD answers have no body to inspect: ask the same way with GET.
            return r, (await client.get("/inspect") if method == "HEAD" else None)

    r, _ = run(go())
    assert [h.status_code for h in r.history] == [status] and r.status_code == 200
    if method != "HEAD":
        seen = r.json()
        assert seen["method"] == after
        assert seen["body"] == ("payload" if after == method else "")
        assert ("content-length" in seen["headers"]) == (after == method)
    assert r.request.method == after


def test_redirects_drop_credentials_across_origins_and_stop_at_the_limit():
    async def go():
        async with own(follow_redirects=True, max_redirects=3) as (base, client):
            port = base.rsplit(":", 1)[1]
            auth = {"authorization": "Bearer secret"}
            # Credentials in the URL are sent as basic auth.
            same = await client.get(base.replace("//", "//me:p%40ss@") + f"/redirect?status=302&to={base}/inspect")
            other = await client.get(f"/redirect?status=302&to=http://localhost:{port}/inspect", headers=auth)
            not_followed = await client.get("/redirect?status=302&to=/inspect", follow_redirects=False)
            with pytest.raises(qc.TooManyRedirects):
                await client.get("/loop")
            return same.json(), other.json(), not_followed

    same, other, not_followed = run(go())
    assert same["headers"]["authorization"] == "Basic " + base64.b64encode(b"me:p@ss").decode()
    assert "authorization" not in other["headers"] and other["headers"]["host"].startswith("localhost:")
    assert not_followed.status_code == 302 and not_followed.content == b"moved"


@BOTH
def test_each_timeout_raises_its_own_exception(http2):
    async def go():
        async with own(http2, timeout=Timeout(5, read=0.2)) as (_base, client):
            with pytest.raises(qc.ReadTimeout):
                await client.get("/sleep?s=2")
            # A handler that reads nothing: the windows and socket buffers
            # fill, and sending stops.
            with pytest.raises(qc.WriteTimeout):
                await client.post("/sleep?s=3", content=os.urandom(32 << 20),
                                  timeout=Timeout(5, write=0.3))
            ok = await client.get("/slow", timeout=5)
        async with own(http2, limits=Limits(max_connections=1), timeout=Timeout(5, pool=0.1)) as (_b, client):
            hold = asyncio.ensure_future(client.get("/sleep?s=0.5"))
            await asyncio.sleep(0.05)
            other_origin = "http://localhost:" + _b.rsplit(":", 1)[1] + "/slow"
            with pytest.raises(qc.PoolTimeout):
                await client.get(other_origin)
            await hold
        return ok

    assert run(go()).content == b"slow"


def test_connect_failures_and_bad_urls_raise_the_clients_errors():
    async def go():
        async with Client(timeout=2) as client:
            with pytest.raises(qc.ConnectError):
                await client.get(f"http://127.0.0.1:{free_port()}/")
            for url in ("ftp://example.org/", "http://", "no scheme"):
                with pytest.raises(qc.InvalidURL):
                    await client.get(url)

    run(go())


@BOTH
def test_a_streamed_response_arrives_in_pieces_and_may_be_left_early(http2):
    async def go():
        async with own(http2) as (_base, client):
            async with client.stream("GET", "/pieces?n=300", headers={"te": "trailers"}) as r:
                sizes = [len(p) async for p in r.aiter_bytes()]
                trailers = r.trailers
            async with client.stream("GET", "/pieces?n=100000") as r:
                async for _ in r.aiter_bytes():
                    break
            after = await client.get("/slow")
            return sizes, trailers, after

    sizes, trailers, after = run(go())
    assert sum(sizes) == 300_000 and len(sizes) > 1
    assert trailers["x-done"] == b"yes"
    assert after.content == b"slow"


@contextlib.asynccontextmanager
async def raw_server(answer):
    """A server that runs `answer(reader, writer, n)` for the n-th request
    head of each connection."""
    async def serve(reader, writer):
        n = 0
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = next((int(line.split(b":")[1]) for line in head.lower().split(b"\r\n")
                               if line.startswith(b"content-length:")), 0)
                await reader.readexactly(length)
                n += 1
                if not await answer(reader, writer, n):
                    break
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    async with server:
        yield f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}"


async def first_only(_reader, writer, n):
    """Answers the first request of a connection; drops it at the second."""
    if n > 1:
        return False
    writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")
    await writer.drain()
    return True


@pytest.mark.parametrize("method, retried", [("GET", True), ("PUT", True), ("POST", False), ("PATCH", False)])
def test_only_a_repeatable_request_goes_again_after_a_pooled_connection_dies(method, retried):
    async def go():
        async with raw_server(first_only) as base, Client() as client:
            first = await client.request(method, base + "/", content=b"x")
            try:
                return first, await client.request(method, base + "/", content=b"x")
            except qc.ReadError as e:
                return first, e

    first, second = run(go())
    assert first.content == b"ok"
    assert (getattr(second, "content", None) == b"ok") == retried
    assert isinstance(second, qc.ReadError) != retried


@pytest.mark.parametrize("reply", [b"HTTP/1.1 200 OK\r\ncontent-length: x\r\n\r\n", b"SSH-2.0-OpenSSH\r\n\r\n",
                                   b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nshort"])
def test_a_broken_answer_raises_a_protocol_or_read_error(reply):
    async def answer(_reader, writer, _n):
        writer.write(reply)
        await writer.drain()
        return False

    async def go():
        async with raw_server(answer) as base, Client() as client:
            with pytest.raises((qc.RemoteProtocolError, qc.ReadError)) as caught:
                await client.get(base + "/")
            return caught.value

    e = run(go())
    assert not isinstance(e, q.QuillonError) and isinstance(e, qc.TransportError)


def test_http_urls_go_through_the_environments_proxy_in_absolute_form(monkeypatch):
    async def go():
        async with own_server() as proxy:
            monkeypatch.setenv("http_proxy", proxy)
            monkeypatch.delenv("no_proxy", raising=False)
            monkeypatch.delenv("NO_PROXY", raising=False)
            async with Client() as client:
                return (await client.get("http://quillon.invalid:8080/inspect?a=b")).json()

    seen = run(go())
    assert seen["target"] == "http://quillon.invalid:8080/inspect?a=b"
    assert seen["headers"]["host"] == "quillon.invalid:8080"


def test_http2_opens_another_connection_when_the_servers_stream_limit_is_reached():
    async def go():
        async with own(http2=True, settings={"h2_max_concurrent_streams": 2}) as (_base, client):
            first = await client.get("/slow")  # the server's SETTINGS are known from here on
            rest = await asyncio.gather(*(client.get("/slow") for _ in range(6)))
            return [first, *rest], len(client.pool.conns[next(iter(client.pool.conns))])

    replies, conns = run(go())
    assert [(r.status_code, r.http_version) for r in replies] == [(200, "HTTP/2")] * 7
    assert conns == 3


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    import shutil
    import subprocess
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed (.ci/run installs it)")
    d = tmp_path_factory.mktemp("tls")
    crt, key = d / "cert.pem", d / "key.pem"
    r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                        "-keyout", str(key), "-out", str(crt)],
                       capture_output=True, timeout=60,
                       # A peer tool: the sanitizer runtime stays out of it.
                       env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    assert r.returncode == 0, r.stderr
    return str(crt), str(key)


@contextlib.asynccontextmanager
async def connect_proxy(seen):
    """A forward proxy that only tunnels (CONNECT), noting each request line."""
    async def pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    async def serve(reader, writer):
        head = await reader.readuntil(b"\r\n\r\n")
        seen.append(head.split(b"\r\n")[0].decode())
        host, port = head.split()[1].decode().rsplit(":", 1)
        upstream_reader, upstream_writer = await asyncio.open_connection(host, int(port))
        writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        await asyncio.gather(pipe(reader, upstream_writer), pipe(upstream_reader, writer))

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    async with server:
        yield f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}"


@pytest.mark.parametrize("via_proxy", [False, True], ids=["direct", "tunnel"])
def test_https_verifies_the_server_and_picks_http2_by_alpn(cert, monkeypatch, via_proxy):
    for name in ("https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    seen = []

    async def go():
        server = Server(own_handler)
        listener = await asyncio.get_running_loop().create_server(lambda: Link(server), "127.0.0.1", 0,
                                                                  ssl=quillon.Config(ssl_certfile=cert[0], ssl_keyfile=cert[1]).ssl_context())
        url = f"https://127.0.0.1:{listener.sockets[0].getsockname()[1]}/slow"
        try:
            async with contextlib.AsyncExitStack() as stack:
                if via_proxy:
                    monkeypatch.setenv("https_proxy", await stack.enter_async_context(connect_proxy(seen)))
                versions = []
                for http2 in (False, True):
                    async with Client(http2=http2, verify=cert[0]) as client:
                        r = await client.get(url)
                        versions.append((r.http_version, r.content))
                async with Client(verify=False) as client:
                    versions.append(((await client.get(url)).http_version, b""))
                async with Client() as client:  # the system's CAs do not know this certificate
                    with pytest.raises(qc.ConnectError):
                        await client.get(url)
                return versions
        finally:
            listener.close()
            await server.shutdown()

    versions = run(go())
    assert versions == [("HTTP/1.1", b"slow"), ("HTTP/2", b"slow"), ("HTTP/1.1", b"")]
    assert len(seen) == (4 if via_proxy else 0) and all(line.startswith("CONNECT 127.0.0.1:") for line in seen)


@contextlib.asynccontextmanager
async def h2_server_answering(per_connection):
    """An HTTP/2 server (the h2 library) that answers `per_connection`
    requests on each connection, then says GOAWAY to the next and closes."""
    import h2.config
    import h2.connection
    import h2.events

    connections = 0

    async def serve(reader, writer):
        nonlocal connections
        connections += 1
        name = b"connection %d" % connections
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        writer.write(conn.data_to_send())
        answered, last = 0, 0
        while data := await reader.read(65536):
            for event in conn.receive_data(data):
                if isinstance(event, h2.events.RequestReceived):
                    if answered == per_connection:
                        conn.close_connection(last_stream_id=last)
                        writer.write(conn.data_to_send())
                        await writer.drain()
                        writer.close()
                        return
                    answered, last = answered + 1, event.stream_id
                    conn.send_headers(event.stream_id, [(":status", "200")])
                    conn.send_data(event.stream_id, name, end_stream=True)
            writer.write(conn.data_to_send())
            await writer.drain()
        writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    async with server:
        yield f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}"


def test_requests_beyond_a_goaway_go_again_on_a_new_connection():
    async def go():
        async with h2_server_answering(2) as base, Client(http2=True) as client:
            first = await client.post(base + "/", content=b"x")
            # Streams 3 and 5: the server answers 3, and its GOAWAY leaves 5
            # unprocessed, so even this POST may go again.
            rest = await asyncio.gather(client.post(base + "/", content=b"y"), client.post(base + "/", content=b"z"))
            return [r.content for r in (first, *rest)]

    assert sorted(run(go())) == [b"connection 1", b"connection 1", b"connection 2"]


def test_a_burst_larger_than_each_connection_takes_is_served_over_several():
    async def go():
        async with h2_server_answering(2) as base, Client(http2=True) as client:
            return await asyncio.gather(*(client.get(base + "/") for _ in range(12)))

    replies = run(go())
    per_connection = [r.content for r in replies]
    assert len(replies) == 12 and all(per_connection.count(c) <= 2 for c in per_connection)


@pytest.mark.parametrize("start, more, error", [
    (b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", b"4000\r\n" + b"x" * 0x4000 + b"\r\n", qc.TooLarge),
    (b"HTTP/1.1 200 OK\r\n", b"x-field: " + b"v" * 1000 + b"\r\n", qc.RemoteProtocolError),
], ids=["endless-body", "endless-head"])
def test_an_endless_answer_stops_at_a_limit(start, more, error):
    async def answer(_reader, writer, _n):
        writer.write(start)
        with contextlib.suppress(ConnectionError):
            for _ in range(10_000):  # 160 MB at most, if nothing stopped it
                writer.write(more)
                await writer.drain()
        return False

    async def go():
        async with raw_server(answer) as base, Client(max_body=1 << 20) as client:
            with pytest.raises(error):
                await client.get(base + "/")

    run(go())


def test_the_pool_keeps_few_idle_connections_and_not_for_long():
    async def go():
        limits = Limits(max_keepalive_connections=2, keepalive_expiry=0.2)
        async with own(limits=limits) as (_base, client):
            await asyncio.gather(*(client.get("/slow") for _ in range(5)))
            kept = client.pool.count
            await asyncio.sleep(0.3)
            await client.get("/slow")
            return kept, client.pool.count

    assert run(go()) == (2, 1)


def test_command_line_sends_method_headers_and_data_and_writes_the_body_to_a_file(tmp_path):
    import subprocess
    import sys
    import threading

    ready = threading.Event()
    running = {}

    def serve():
        async def main():
            running["loop"], running["stop"] = asyncio.get_running_loop(), asyncio.Event()
            async with own_server() as url:
                running["base"] = url
                ready.set()
                await running["stop"].wait()

        asyncio.run(main())

    loop_thread = threading.Thread(target=serve)
    loop_thread.start()
    try:
        assert ready.wait(10)
        out = tmp_path / "body"
        r = subprocess.run([sys.executable, "-m", "quillon.client", "-X", "PUT", "-H", "x-mark: here", "-d", "hi",
                            "-o", str(out), "-v", running["base"] + "/inspect"], capture_output=True, timeout=60)
    finally:
        running["loop"].call_soon_threadsafe(running["stop"].set)
        loop_thread.join(10)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"HTTP/1.1 200\n") and b"> PUT " in r.stderr
    seen = json.loads(out.read_bytes())
    assert (seen["method"], seen["body"], seen["headers"]["x-mark"]) == ("PUT", "hi", "here")


@pytest.mark.parametrize("coding", ["gzip", "deflate", "raw"])
def test_compressed_answers_are_undone_in_bounded_pieces(coding):
    async def go():
        async with own(max_body=2 << 20) as (_base, client):
            r = await client.get(f"/coded?as={coding}&n=300000")
            async with client.stream("GET", f"/coded?as={coding}&n={16 << 20}&zeros") as big:
                sizes = [len(p) async for p in big.aiter_bytes()]
            with pytest.raises(qc.TooLarge):  # 16 MiB of zeros, a few KiB on the wire
                await client.get(f"/coded?as={coding}&n={16 << 20}&zeros")
            return r, sizes

    r, sizes = run(go())
    assert hashlib.sha256(r.content).hexdigest() == r.headers["x-raw-sha"].decode()
    assert sum(sizes) == 16 << 20 and max(sizes) <= 65536


def test_a_client_certificate_is_presented_when_the_server_asks(cert):
    import ssl

    async def go():
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH, cafile=cert[0])
        tls.load_cert_chain(*cert)
        tls.verify_mode = ssl.CERT_REQUIRED
        server = Server(own_handler)
        listener = await asyncio.get_running_loop().create_server(lambda: Link(server), "127.0.0.1", 0, ssl=tls)
        url = f"https://127.0.0.1:{listener.sockets[0].getsockname()[1]}/slow"
        try:
            async with Client(verify=cert[0], cert=cert) as client:
                ok = await client.get(url)
            async with Client(verify=cert[0]) as client:
                with pytest.raises(qc.TransportError):
                    await client.get(url)
            return ok
        finally:
            listener.close()
            await server.shutdown()

    assert run(go()).content == b"slow"


def test_cookies_from_answers_go_with_the_requests_they_match():
    async def go():
        async with own(follow_redirects=True, cookies={"lang": "en"}) as (base, client):
            after_login = (await client.get("/login")).json()
            later = (await client.get("/inspect")).json()
            elsewhere = (await client.get(base.replace("127.0.0.1", "localhost") + "/inspect")).json()
            return after_login, later, elsewhere, client.cookies.get("session")

    after_login, later, elsewhere, kept = run(go())
    assert after_login["headers"]["cookie"] == later["headers"]["cookie"]
    assert sorted(later["headers"]["cookie"].split("; ")) == ["lang=en", "session=abc"]
    assert elsewhere["headers"].get("cookie") == "lang=en" and kept == "abc"
