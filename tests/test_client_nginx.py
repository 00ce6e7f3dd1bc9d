"""`quillon.Client` against nginx: over TLS with ALPN choosing HTTP/2 or
HTTP/1.1, across the connections nginx ends after a few requests, and
through nginx as a forward proxy for http: URLs. nginx hands
every request to a quillon server in this process, which answers with what
nginx saw of the client's connection and echoes any body."""

from __future__ import annotations

import asyncio
import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

import quillon
from quillon.client import Client
from quillon.handler import Request, Response
from quillon.link import Link
from quillon.server import Server

from test_nginx import NGINX, free_port

TIMEOUT = 60
# Peers are not our code: the sanitizer runtime stays out of nginx and openssl.
PEER_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def text(n: int) -> bytes:
    return b"".join(b"line %d of the text nginx compresses\n" % i for i in range(n))


async def echo(request: Request) -> Response:
    """The body back, with what nginx passed on about the client's side:
    its connection, the protocol it spoke and its request line; /text,
    text for nginx to gzip."""
    body = await request.body(1 << 26)
    h = request.headers
    fields = {name: h.get(name, b"-") for name in ("x-conn", "x-proto", "x-line")}
    if request.path == "/text":
        return Response(200, {**fields, "content-type": "text/plain"}, text(int(request.query[2:])))
    return Response(200, fields, body)


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    """Ports of nginx serving TLS with HTTP/2 offered ("h2"), TLS with
    HTTP/1.1 only ("h1"), each also closing connections after 3 requests
    ("h2-short", "h1-short"), and a forward proxy ("proxy") whose one known
    origin, http://origin.test, is the quillon server; stopped at the end."""
    if NGINX is None:
        pytest.skip("nginx is not installed (.ci/run installs Debian's nginx)")
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed (.ci/run installs it)")
    work = Path(tempfile.mkdtemp(prefix="quillon-client-nginx-"))
    work.chmod(0o755)  # nginx's workers may run as another user
    crt, key = work / "cert.pem", work / "key.pem"
    r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                        "-keyout", str(key), "-out", str(crt)], capture_output=True, timeout=60, env=PEER_ENV)
    assert r.returncode == 0, r.stderr
    key.chmod(0o644)

    # The origin runs on a loop of its own thread: each test runs its own.
    loop = asyncio.new_event_loop()
    server = Server(echo, config=quillon.Config(access_log=False))
    listener = loop.run_until_complete(loop.create_server(lambda: Link(server), "127.0.0.1", 0))
    origin = listener.sockets[0].getsockname()[1]
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    ports = {name: free_port() for name in ("h2", "h1", "proxy", "h2-short", "h1-short")}
    temp = "\n".join(f"    {kind}_temp_path {work}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi",
                                                                             "scgi"))
    tell = """
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header X-Conn $connection;
        proxy_set_header X-Proto $server_protocol;
        proxy_set_header X-Line $request;"""
    (work / "nginx.conf").write_text(f"""
worker_processes 1;
daemon off;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
{temp}
    client_max_body_size 64m;
    # Compressed on the way, so chunked on HTTP/1.1.
    gzip on;
    gzip_proxied any;
    gzip_types text/plain;
    upstream backend {{ server 127.0.0.1:{origin}; keepalive 4; }}
    upstream origin.test {{ server 127.0.0.1:{origin}; }}
    ssl_certificate {crt};
    ssl_certificate_key {key};
    server {{
        listen 127.0.0.1:{ports["h2"]} ssl http2;
        location / {{ proxy_pass http://backend; {tell} }}
    }}
    server {{
        listen 127.0.0.1:{ports["h1"]} ssl;
        location / {{ proxy_pass http://backend; {tell} }}
    }}
    server {{
        listen 127.0.0.1:{ports["h2-short"]} ssl http2;
        keepalive_requests 3;
        location / {{ proxy_pass http://backend; {tell} }}
    }}
    server {{
        listen 127.0.0.1:{ports["h1-short"]} ssl;
        keepalive_requests 3;
        location / {{ proxy_pass http://backend; {tell} }}
    }}
    server {{
        listen 127.0.0.1:{ports["proxy"]};
        # An absolute-form request's host names an upstream block: no resolver.
        location / {{ proxy_pass http://$http_host$request_uri; {tell} }}
    }}
}}
""")
    proc = subprocess.Popen([NGINX, "-p", str(work), "-e", str(work / "error.log"), "-c", str(work / "nginx.conf")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=PEER_ENV)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                for port in ports.values():
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    log = (work / "error.log").read_text() if (work / "error.log").exists() else ""
                    raise AssertionError(f"nginx did not start: {proc.stdout.read().decode() if proc.stdout else ''}"
                                         f"{log}") from None
                time.sleep(0.05)
        yield ports, str(crt)
    finally:
        proc.terminate()
        proc.wait(10)
        listener.close()
        asyncio.run_coroutine_threadsafe(server.shutdown(), loop).result(15)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(15)
        shutil.rmtree(work, ignore_errors=True)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, TIMEOUT))


async def pieces(data: bytes, size: int):
    for start in range(0, len(data), size):
        yield data[start:start + size]
        await asyncio.sleep(0)


UPLOAD = os.urandom((3 << 20) + 11)


async def exchanges(client: Client, base: str) -> dict:
    """GETs one after another, then at once; POSTs of a whole body and of
    a streamed one (chunked on HTTP/1.1)."""
    seq = [await client.get(base + "/a?x=1") for _ in range(3)]
    together = await asyncio.gather(*(client.get(base + f"/b{i}") for i in range(4)))
    posted = await client.post(base + "/up", content=UPLOAD)
    streamed = await client.post(base + "/up", content=pieces(UPLOAD, 100_000))
    async with client.stream("GET", base + "/text?n=20000") as r:
        coded = (r.headers.get("content-encoding"), r.headers.get("transfer-encoding"), await r.aread())
    return {
        "status": {r.status_code for r in (*seq, *together, posted, streamed)},
        "version": {r.http_version for r in (*seq, *together, posted, streamed)},
        "proto": {r.headers["x-proto"].decode() for r in (*seq, *together)},
        "line": seq[0].headers["x-line"].decode(),
        "seq_conns": {r.headers["x-conn"] for r in seq},
        "together_conns": {r.headers["x-conn"] for r in together},
        "echoed": [hashlib.sha256(r.content).hexdigest() for r in (posted, streamed)],
        "empty_gets": {r.content for r in (*seq, *together)},
        "coded": coded,
    }


@pytest.mark.parametrize("server,http2,version", [("h2", True, "HTTP/2"), ("h2", False, "HTTP/1.1"),
                                                  ("h1", True, "HTTP/1.1"), ("h1", False, "HTTP/1.1")],
                         ids=["h2-offered-taken", "h2-not-offered", "h2-offered-declined", "h1"])
def test_client_over_tls_to_nginx(nginx, server, http2, version):
    ports, ca = nginx

    async def go():
        async with Client(http2=http2, verify=ca, trust_env=False) as client:
            return await exchanges(client, f"https://127.0.0.1:{ports[server]}")

    seen = run(go())
    assert seen["status"] == {200} and seen["version"] == {version}
    assert seen["proto"] == {"HTTP/2.0" if version == "HTTP/2" else "HTTP/1.1"}
    assert seen["line"] == f"GET /a?x=1 {'HTTP/2.0' if version == 'HTTP/2' else 'HTTP/1.1'}"
    # Kept alive: one connection carried the GETs made one after another,
    # and with HTTP/2 the ones made at once too.
    assert len(seen["seq_conns"]) == 1
    if version == "HTTP/2":
        assert seen["together_conns"] == seen["seq_conns"]
    assert seen["echoed"] == [hashlib.sha256(UPLOAD).hexdigest()] * 2
    assert seen["empty_gets"] == {b""}
    assert seen["coded"] == (b"gzip", b"chunked" if version == "HTTP/1.1" else None, text(20000))


@pytest.mark.parametrize("server", ["h2-short", "h1-short"])
def test_client_moves_on_when_nginx_ends_connections(nginx, server):
    # nginx says goodbye after 3 requests (GOAWAY, or Connection: close):
    # requests it did not take go again on new connections.
    ports, ca = nginx

    async def go():
        async with Client(http2=True, verify=ca, trust_env=False) as client:
            base = f"https://127.0.0.1:{ports[server]}"
            seq = [await client.get(base + "/s") for _ in range(9)]
            together = await asyncio.gather(*(client.get(base + "/t") for _ in range(20)),
                                            *(client.post(base + "/p", content=UPLOAD[:200_000]) for _ in range(5)))
            return seq, together

    seq, together = run(go())
    assert {(r.status_code, r.http_version) for r in (*seq, *together)} == {
        (200, "HTTP/2" if server == "h2-short" else "HTTP/1.1")}
    assert [len({r.headers["x-conn"] for r in seq[i:i + 3]}) for i in (0, 3, 6)] == [1, 1, 1]
    assert len({r.headers["x-conn"] for r in seq}) == 3
    assert [r.content for r in together[20:]] == [UPLOAD[:200_000]] * 5


def test_client_through_nginx_as_forward_proxy(nginx, monkeypatch):
    ports, _ca = nginx
    for name in ("no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY", "HTTP_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{ports['proxy']}")

    async def go():
        # origin.test resolves nowhere: only the proxy can reach it.
        async with Client(http2=True) as client:
            return await exchanges(client, "http://origin.test")

    seen = run(go())
    assert seen["status"] == {200} and seen["version"] == {"HTTP/1.1"}
    assert seen["line"] == "GET http://origin.test/a?x=1 HTTP/1.1"
    assert len(seen["seq_conns"]) == 1
    assert seen["echoed"] == [hashlib.sha256(UPLOAD).hexdigest()] * 2
    assert seen["empty_gets"] == {b""}
    assert seen["coded"] == (b"gzip", b"chunked", text(20000))
