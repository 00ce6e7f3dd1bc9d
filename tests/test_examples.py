"""The server and client against real HTTP peers (curl, nghttp2's
tools, Python's http.server). Each test bounds its own time and stops the
processes it started."""

import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TIMEOUT = 60


def env():
    e = dict(os.environ)
    build = e.get("QUILLON_BUILD_DIR")
    if build:
        e["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(build), e.get("PYTHONPATH")]))
    for k in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        e.pop(k, None)
    return e


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, output=lambda: "", deadline=15.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError("server exited: " + output())
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start listening")


class Server:
    def __init__(self, *extra, environ=None):
        self.port = free_port()
        # A file, not a pipe: a pipe nobody reads during a load test fills
        # up and stalls the server on its log line.
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quillon", "--port", str(self.port), *extra],
            stdout=self.log, stderr=subprocess.STDOUT, env=environ or env())
        wait_listening(self.port, self.proc, self.output)

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def url(self, path, scheme="http"):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.output()


@pytest.fixture
def server():
    s = Server()
    yield s
    s.stop()


def need(tool, why=".ci/run installs it"):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed ({why})")


def tool_env():
    # Peers are not our code: keep the sanitizer runtime out of them.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run(cmd, **kw):
    kw.setdefault("env", tool_env())
    return subprocess.run(cmd, capture_output=True, timeout=TIMEOUT, **kw)


def curl(*args, **kw):
    need("curl")
    r = run(["curl", "-sS", "--max-time", "30", *args], **kw)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stdout


# ---------------------------------------------------------------------------
# HTTP/1.1 with curl


def test_curl_get_and_keep_alive_reuse(server):
    out = curl("-w", "\n%{http_code} %{num_connects}\n", server.url("/"), server.url("/bytes/5"))
    assert b"It works" in out
    # Two responses over one connection: the second transfer opened none.
    assert re.findall(rb"\n(\d{3}) (\d+)\n", out) == [(b"200", b"1"), (b"200", b"0")]
    assert out.endswith(b"xxxxx\n200 0\n")


def test_curl_post_one_mebibyte(server, tmp_path):
    body = os.urandom(1 << 20)
    f = tmp_path / "body"
    f.write_bytes(body)
    assert curl("--data-binary", f"@{f}", server.url("/echo")) == body


def test_curl_chunked_upload_gets_trailer(server, tmp_path):
    body = os.urandom(300_000)
    f = tmp_path / "body"
    f.write_bytes(body)
    out = curl("-D", "-", "-H", "Transfer-Encoding: chunked", "-H", "TE: trailers",
               "--data-binary", f"@{f}", server.url("/echo"))
    head, _, rest = out.partition(b"\r\n\r\n")
    assert b"transfer-encoding: chunked" in head.lower()
    assert rest.startswith(body)
    assert f"x-echo-length: {len(body)}".encode() in rest[len(body):].lower()


def test_curl_expect_continue(server, tmp_path):
    body = os.urandom(200_000)
    f = tmp_path / "body"
    f.write_bytes(body)
    need("curl")
    r = run(["curl", "-sS", "-v", "--max-time", "30", "-H", "Expect: 100-continue",
             "--data-binary", f"@{f}", server.url("/echo")])
    assert r.returncode == 0
    assert b"HTTP/1.1 100 Continue" in r.stderr
    assert r.stdout == body


@pytest.mark.parametrize("h1", [True, False], ids=["h1", "h2"])
def test_h2load_bounded_load(server, h1):
    need("h2load")
    r = run(["h2load", *(["--h1"] if h1 else []), "-n", "20000", "-c", "10", "-m", "10", server.url("/bytes/64")])
    out = r.stdout.decode()
    assert r.returncode == 0, out + r.stderr.decode()
    assert "20000 succeeded" in out, out


@pytest.mark.parametrize("deadline", [None, "0.3"], ids=["finishes", "cut-at-deadline"])
@pytest.mark.parametrize("flag, version", [("--http1.1", "HTTP/1.1"), ("--http2-prior-knowledge", "HTTP/2")])
def test_graceful_shutdown_finishes_the_request_in_flight(flag, version, deadline):
    need("curl")
    s = Server(*(["--timeout-graceful-shutdown", deadline] if deadline else []))
    try:
        p = subprocess.Popen(["curl", "-sS", flag, "--max-time", "30", s.url("/slow")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=tool_env())
        time.sleep(0.3)
        t0 = time.monotonic()
        s.proc.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=TIMEOUT)
        assert s.proc.wait(timeout=15) == 0
        lines = b"".join(b"line %d\n" % i for i in range(5))
        if deadline is None:
            assert p.returncode == 0, err
            assert out == lines
        else:
            # /slow needs a second; the deadline cuts it short.
            assert p.returncode != 0 and lines.startswith(out) and out != lines
            assert time.monotonic() - t0 < 0.9
    finally:
        log = s.stop()
    assert f'"GET /slow {version}" 200' in log


# ---------------------------------------------------------------------------
# HTTP/2


def test_curl_http2_prior_knowledge(server, tmp_path):
    body = os.urandom(500_000)
    f = tmp_path / "body"
    f.write_bytes(body)
    out = curl("--http2-prior-knowledge", "-D", "-", "--data-binary", f"@{f}", server.url("/echo"))
    head, _, rest = out.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/2 200")
    assert rest.startswith(body)
    # curl writes the trailer block after the body.
    assert f"x-echo-length: {len(body)}".encode() in rest[len(body):]
    assert b'"POST /echo HTTP/2" 200' in server.stop().encode()


def test_nghttp_many_concurrent_streams(server):
    need("nghttp")
    r = run(["nghttp", "-n", "-s", "-m", "200", server.url("/bytes/3000")])
    assert r.returncode == 0, r.stderr.decode()
    assert len(re.findall(rb"\s200\s+\S+\s+/bytes/3000\n", r.stdout)) == 200, r.stdout.decode()


def test_nghttp_body_larger_than_every_window(server, tmp_path):
    need("nghttp")
    # Beyond the server's stream (1 MiB) and connection (16 MiB) windows and
    # nghttp's own 64 KiB ones, in both directions.
    body = os.urandom(20 * (1 << 20))
    f = tmp_path / "body"
    f.write_bytes(body)
    r = run(["nghttp", "-d", str(f), server.url("/echo")])
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout == body


# ---------------------------------------------------------------------------
# The example client


def client(*args):
    r = run([sys.executable, "-m", "quillon.client", *args], env=env())
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return r.stdout


def test_example_client_against_python_http_server(tmp_path):
    (tmp_path / "hello.txt").write_bytes(b"hello from http.server\n")
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "http.server", "--protocol", "HTTP/1.1", "--bind", "127.0.0.1",
                             str(port)], cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(port, proc)
        out = client(f"http://127.0.0.1:{port}/hello.txt")
    finally:
        proc.terminate()
        proc.wait(timeout=15)
    assert out.startswith(b"HTTP/1.0 200\n") or out.startswith(b"HTTP/1.1 200\n")
    assert out.endswith(b"\n\nhello from http.server\n")


def test_example_client_posts_to_example_server(server):
    out = client("-d", "ping", server.url("/echo"))
    assert out.startswith(b"HTTP/1.1 200\n")
    assert out.endswith(b"\n\nping")


def peers(log, request_line):
    """The client address of each access-log line for `request_line`."""
    return re.findall(rf'^(\S+) "{re.escape(request_line)}" ', log, re.M)


def test_example_client_reuses_one_keep_alive_connection(server):
    out = client("-n", "3", "-d", "ping", server.url("/echo"), server.url("/bytes/5"))
    assert out.count(b"HTTP/1.1 200\n") == 6
    assert out.count(b"\n\nping") == 3 and out.count(b"\n\nxxxxx") == 3
    log = server.stop()
    seen = peers(log, "POST /echo HTTP/1.1") + peers(log, "POST /bytes/5 HTTP/1.1")
    assert len(seen) == 6 and len(set(seen)) == 1, log


@pytest.fixture(scope="module")
def cert(tmp_path_factory):
    need("openssl")
    d = tmp_path_factory.mktemp("tls")
    crt, key = d / "cert.pem", d / "key.pem"
    r = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=localhost",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", str(key), "-out", str(crt)])
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    return str(crt), str(key)


@pytest.mark.parametrize("flag, version", [("--http1.1", b"1.1"), ("--http2", b"2")])
def test_curl_over_tls_with_alpn(cert, flag, version):
    s = Server("--ssl-certfile", cert[0], "--ssl-keyfile", cert[1])
    try:
        out = curl(flag, "--cacert", cert[0], "-w", "\n%{http_version}", s.url("/bytes/10", "https"))
    finally:
        s.stop()
    assert out == b"x" * 10 + b"\n" + version


@pytest.mark.parametrize("tls", [False, True], ids=["cleartext", "tls"])
def test_example_client_against_nghttpd(tmp_path, cert, tls):
    need("nghttpd")
    (tmp_path / "index.html").write_bytes(b"<p>from nghttpd</p>\n")
    port = free_port()
    args = ["nghttpd", "-d", str(tmp_path), str(port)]
    args += [cert[1], cert[0]] if tls else ["--no-tls"]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=tool_env())
    try:
        wait_listening(port, proc)
        scheme = "https" if tls else "http"
        out = client("--http2", "-k", f"{scheme}://127.0.0.1:{port}/index.html")
    finally:
        proc.terminate()
        proc.wait(timeout=15)
    assert out.startswith(b"HTTP/2 200\n")
    assert out.endswith(b"\n\n<p>from nghttpd</p>\n")


# ---------------------------------------------------------------------------
# A server on a real network: HEAD, frame ends, backpressure, timeouts


@pytest.mark.parametrize("flag", ["--http1.1", "--http2-prior-knowledge"])
def test_curl_head_gets_the_head_only(server, flag):
    body = curl(flag, server.url("/"))
    # curl fails the transfer when a HEAD answer carries a body.
    head = curl(flag, "-I", server.url("/")).lower()
    assert head.split(b" ")[1] == b"200"
    assert f"content-length: {len(body)}".encode() in head


def test_h2_end_stream_rides_on_the_last_frame(server):
    need("nghttp")
    r = run(["nghttp", "-nv", server.url("/"), server.url("/bytes/40000"), server.url("/bytes/0")])
    out = r.stdout.decode()
    assert r.returncode == 0, out
    ends = re.findall(r"recv (DATA|HEADERS) frame <length=(\d+), flags=0x0([15])", out)
    # One END_STREAM per response: on the last DATA, or on HEADERS when empty.
    assert sorted((kind, flags) for kind, _, flags in ends if flags == "1") == [("DATA", "1"), ("DATA", "1")]
    assert ("HEADERS", "5") in {(kind, flags) for kind, _, flags in ends}
    assert not [e for e in ends if e[0] == "DATA" and e[1] == "0"]


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)) * 1024


class H2Raw:
    """A hand-driven HTTP/2 client socket, for clients no library would be."""

    def __init__(self, port, window=None):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.enc = hpack.Encoder()
        settings = {frame.SettingsFrame.INITIAL_WINDOW_SIZE: window} if window else {}
        self.send(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", frame.SettingsFrame(0, settings))
        if window:
            self.send(frame.WindowUpdateFrame(0, window - 65535))

    def send(self, *frames):
        self.sock.sendall(b"".join(f if isinstance(f, bytes) else f.serialize() for f in frames))

    def request(self, sid, path, method="GET", end=True, extra=()):
        fields = [(":method", method), (":scheme", "http"), (":authority", "t"), (":path", path), *extra]
        self.send(frame.HeadersFrame(sid, self.enc.encode(fields), flags=["END_HEADERS"] + (["END_STREAM"] if end else [])))

    def frames(self, deadline=10.0):
        """Frames received until the server closes (or the deadline)."""
        self.sock.settimeout(deadline)
        data = b""
        try:
            while chunk := self.sock.recv(65536):
                data += chunk
        except (ConnectionResetError, socket.timeout):
            pass
        out = []
        while len(data) >= 9:
            f, length = frame.Frame.parse_frame_header(memoryview(data[:9]))
            if len(data) < 9 + length:
                break
            f.parse_body(memoryview(data[9:9 + length]))
            out.append(f)
            data = data[9 + length:]
        return out


def closed_within(sock, seconds):
    """Whether the server ends the connection within `seconds`, reading
    whatever it sent first."""
    sock.settimeout(seconds)
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            if not sock.recv(1 << 20):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        pass
    return False


hpack = pytest.importorskip("hpack")
frame = pytest.importorskip("hyperframe.frame")


def flood_without_reading(sock, data, seconds):
    sock.setblocking(False)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            sock.send(data)
        except BlockingIOError:
            time.sleep(0.01)


@pytest.fixture
def lean_server():
    # Under AddressSanitizer freed memory sits in quarantine and would read
    # as growth; the check is about what the server keeps alive.
    e = env()
    if e.get("ASAN_OPTIONS") is not None:
        e["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    s = Server(environ=e)
    yield s
    s.stop()


@pytest.mark.parametrize("h2", [False, True], ids=["h1-pipelined", "h2-100-streams"])
def test_a_client_that_never_reads_costs_bounded_memory(lean_server, h2):
    server = lean_server
    before = rss(server.proc.pid)
    if h2:
        c = H2Raw(server.port, window=(1 << 31) - 1)
        for i in range(100):
            c.request(2 * i + 1, "/bytes/1000000000")
        sock = c.sock
        time.sleep(3)
    else:
        sock = socket.create_connection(("127.0.0.1", server.port))
        flood_without_reading(sock, b"GET /bytes/16384 HTTP/1.1\r\nhost: t\r\n\r\n" * 100, 3)
    grown = rss(server.proc.pid) - before
    sock.close()
    # Unbounded, this grew by over 100 MB; the bound is a few buffers.
    assert grown < 16 << 20, grown


def slow_server(*extra):
    return Server("--head-timeout", "0.5", "--timeout-keep-alive", "0.5", "--write-timeout", "0.5", *extra)


@pytest.fixture
def hasty():
    s = slow_server()
    yield s
    s.stop()


def test_slow_heads_get_408_and_idle_connections_close(hasty):
    slow = [socket.create_connection(("127.0.0.1", hasty.port)) for _ in range(10)]
    for s in slow:
        s.sendall(b"GET / HTTP/1.1\r\n")
    t0 = time.monotonic()
    for _ in range(10):  # one byte per socket every 0.2 s, until the server gives up
        time.sleep(0.2)
        for s in slow:
            try:
                s.send(b"x")
            except OSError:
                pass
    for s in slow:
        s.settimeout(5)
        assert s.recv(4096).startswith(b"HTTP/1.1 408 ")
        s.close()
    assert time.monotonic() - t0 < 3
    idle = socket.create_connection(("127.0.0.1", hasty.port))
    idle.sendall(b"GET /bytes/3 HTTP/1.1\r\nhost: t\r\n\r\n")
    idle.settimeout(5)
    t0 = time.monotonic()
    assert idle.recv(4096).endswith(b"xxx")
    assert idle.recv(4096) == b"" and time.monotonic() - t0 < 3
    silent = socket.create_connection(("127.0.0.1", hasty.port))
    silent.settimeout(5)
    assert silent.recv(4096) == b""  # nothing was asked: no 408 either


def test_h2_stalled_body_and_idle_connection_time_out(hasty):
    c = H2Raw(hasty.port)
    c.request(1, "/bytes/3")
    c.request(3, "/echo", method="POST", end=False)
    c.send(frame.DataFrame(3, b"x"))  # and no more
    t0 = time.monotonic()
    for _ in range(2):  # pings do not keep a connection alive
        time.sleep(0.15)
        c.send(frame.PingFrame(0, b"12345678"))
    got = c.frames()
    assert time.monotonic() - t0 < 3
    assert [type(f).__name__ for f in got if f.stream_id == 1] == ["HeadersFrame", "DataFrame"]
    assert [(type(f).__name__, f.error_code) for f in got if f.stream_id == 3] == [("RstStreamFrame", 8)]
    assert isinstance(got[-1], frame.GoAwayFrame) and got[-1].error_code == 0 and got[-1].last_stream_id == 3


@pytest.mark.parametrize("h2", [False, True], ids=["h1", "h2"])
def test_a_stalled_reader_is_cut_at_the_write_timeout(hasty, h2):
    if h2:
        c = H2Raw(hasty.port, window=(1 << 31) - 1)
        c.request(1, "/bytes/17179869184")
        time.sleep(0.3)
        # A fatal frame while our writes are blocked: the connection still ends.
        c.send(frame.PingFrame(0, b"1234567"))
        sock = c.sock
    else:
        sock = socket.create_connection(("127.0.0.1", hasty.port))
        sock.sendall(b"GET /bytes/17179869184 HTTP/1.1\r\nhost: t\r\n\r\n")
    time.sleep(1.5)
    assert closed_within(sock, 5)
    sock.close()
    assert re.search(r'"GET /bytes/17179869184 HTTP/[12](\.1)?" 200 connection closed', hasty.stop())


def test_h2_access_log_and_early_answers_respect_the_request(server):
    c = H2Raw(server.port)
    c.request(1, "/", method="POST", end=False)
    c.send(frame.RstStreamFrame(1, 8))
    # A body that breaks its content-length gets the stream error, not an answer.
    c.request(3, "/", method="POST", end=False, extra=[("content-length", "1")])
    c.send(frame.DataFrame(3, b"ab", flags=["END_STREAM"]))
    c.request(5, "/bytes/2")
    got = c.frames(deadline=2)
    assert [type(f).__name__ for f in got if f.stream_id == 3] == ["RstStreamFrame"]
    assert [f.error_code for f in got if f.stream_id == 3] == [1]
    c.sock.close()
    log = server.stop()
    assert '"POST / HTTP/2" - reset by client (CANCEL)' in log
    assert '"POST / HTTP/2" - reset by server (PROTOCOL_ERROR)' in log
    assert '"GET /bytes/2 HTTP/2" 200\n' in log


def test_h2_whole_answer_larger_than_the_stream_window(server):
    c = H2Raw(server.port)
    c.send(frame.SettingsFrame(0, {frame.SettingsFrame.INITIAL_WINDOW_SIZE: 100}))
    c.request(1, "/bytes/1000")
    c.request(3, "/bytes/10")
    time.sleep(0.5)
    c.send(frame.WindowUpdateFrame(1, 900))
    got = [f for f in c.frames(deadline=2) if isinstance(f, frame.DataFrame)]
    c.sock.close()
    for sid, size in ((1, 1000), (3, 10)):
        mine = [f for f in got if f.stream_id == sid]
        assert sum(len(f.data) for f in mine) == size and "END_STREAM" in mine[-1].flags
    assert server.stop().count(" 200\n") == 2


@pytest.mark.parametrize("tls", [True, False], ids=["tls", "cleartext"])
def test_h2spec_strict(cert, tls):
    need("h2spec", "no Debian package; put it on PATH to run this")
    s = Server(*(["--ssl-certfile", cert[0], "--ssl-keyfile", cert[1]] if tls else []))
    try:
        r = run(["h2spec", "--strict", "-p", str(s.port), "-o", "5", *(["-t", "-k"] if tls else [])])
    finally:
        s.stop()
    out = r.stdout.decode(errors="replace")
    total, passed, _skipped, failed = map(int, re.search(r"(\d+) tests, (\d+) passed, (\d+) skipped, (\d+) failed",
                                                      out).groups())
    if tls:
        assert failed == 0 and passed == total, out
    else:
        # Cleartext bytes that are not the HTTP/2 preface are read as
        # HTTP/1 (the port speaks both), so that one case sees a 400.
        assert failed == 1 and "invalid connection preface" in out.split("Failures:")[-1].lower(), out


HANDLERS = '''
import asyncio
import _quillon as q
from quillon import Request, Response


TOGETHER = []


async def handle(request: Request) -> Response:
    if request.path == "/together":
        # Answers once as many requests as the query says wait here at once.
        waiter = asyncio.get_running_loop().create_future()
        TOGETHER.append(waiter)
        if len(TOGETHER) == int(request.target.partition("?")[2]):
            for w in TOGETHER:
                w.set_result(None)
            TOGETHER.clear()
        try:
            await asyncio.wait_for(asyncio.shield(waiter), 10)
        except asyncio.TimeoutError:
            TOGETHER.remove(waiter)
            return Response(504, body=b"alone")
        return Response(200, body=b"together")
    if request.path == "/fail":
        raise RuntimeError("a handler bug")
    if request.path == "/later":
        await asyncio.sleep(0.05)
        return Response(200, body=b"later")
    if request.path == "/broken":
        async def breaks():
            yield b"a"
            raise RuntimeError("a body bug")

        return Response(200, stream=breaks())
    if request.path == "/pieces":
        trailers = q.HeaderMap()
        first = await request.read()

        async def back():
            n = 1
            yield first
            while piece := await request.read():
                n += 1
                yield piece
            trailers["x-pieces"] = str(n)

        return Response(200, {"trailer": "x-pieces"}, stream=back(), trailers=trailers)
    return Response(200, body=b"ignored the body")
'''


def serve_handlers(d):
    (d / "handlers.py").write_text(HANDLERS)
    e = env()
    e["PYTHONPATH"] = os.pathsep.join([str(d), e.get("PYTHONPATH", "")])
    return Server("handlers:handle", environ=e)


@pytest.fixture(scope="module")
def handler_server(tmp_path_factory):
    s = serve_handlers(tmp_path_factory.mktemp("app"))
    yield s
    s.stop()


@pytest.mark.parametrize("flag", ["--http1.1", "--http2-prior-knowledge"])
def test_handler_api(handler_server, flag, tmp_path):
    need("curl")
    url = handler_server.url
    r = run(["curl", "-sS", flag, "-o", "/dev/null", "-w", "%{http_code}", url("/fail")])
    assert r.stdout == b"500"
    # A body that fails after its head cannot end well: the client sees it cut.
    assert run(["curl", "-sS", flag, url("/broken")]).returncode != 0
    assert curl(flag, url("/later")) == b"later"
    body = os.urandom(300_000)
    f = tmp_path / "body"
    f.write_bytes(body)
    # The response streams the request body back as the handler reads it.
    out = curl(flag, "-D", "-", "-H", "Transfer-Encoding: chunked", "-H", "TE: trailers", "--data-binary", f"@{f}",
               url("/pieces"))
    _head, _, rest = out.partition(b"\r\n\r\n")
    assert rest.startswith(body)
    assert int(re.search(rb"x-pieces: (\d+)", rest[len(body):]).group(1)) >= 1
    # A handler that never reads the body: no 100 Continue is sent for it.
    r = run(["curl", "-sS", "-v", flag, "--max-time", "30", "-H", "Expect: 100-continue", "--data-binary", f"@{f}",
             url("/ignore")])
    assert r.returncode == 0 and r.stdout == b"ignored the body"
    assert b"100 Continue" not in r.stderr


def test_example_client_runs_http2_requests_concurrently_on_one_connection(tmp_path):
    s = serve_handlers(tmp_path)
    try:
        out = client("--http2", "-n", "4", s.url("/together?4"))
    finally:
        log = s.stop()
    assert out.count(b"HTTP/2 200\n") == 4 and out.count(b"\n\ntogether") == 4
    seen = peers(log, "GET /together?4 HTTP/2")
    assert len(seen) == 4 and len(set(seen)) == 1, log


STARLETTE_APP = '''
import contextlib, os
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse, StreamingResponse
from starlette.routing import Route

MARKS = os.environ["LIFESPAN_MARKS"]


def mark(text):
    with open(MARKS, "a") as f:
        f.write(text + "\\n")


@contextlib.asynccontextmanager
async def lifespan(app):
    mark("startup")
    yield
    mark("shutdown")


async def hello(request):
    return PlainTextResponse("hello " + request.path_params["name"])


async def count(request):
    pieces = [len(piece) async for piece in request.stream() if piece]
    return PlainTextResponse(f"{sum(pieces)} bytes")


async def stream(request):
    async def lines():
        for i in range(3):
            yield f"line {i}\\n"
    return StreamingResponse(lines())


async def boom(request):
    raise RuntimeError("an application bug")


app = Starlette(routes=[Route("/hello/{name}", hello), Route("/count", count, methods=["POST"]),
                        Route("/stream", stream), Route("/boom", boom)], lifespan=lifespan)
'''


def test_asgi_starlette_app_over_both_protocols(tmp_path):
    need("curl")
    pytest.importorskip("starlette")
    (tmp_path / "starlette_app.py").write_text(STARLETTE_APP)
    marks = tmp_path / "marks"
    e = env()
    e["PYTHONPATH"] = os.pathsep.join([str(tmp_path), e.get("PYTHONPATH", "")])
    e["LIFESPAN_MARKS"] = str(marks)
    s = Server("starlette_app:app", environ=e)
    body = tmp_path / "body"
    body.write_bytes(os.urandom(200_000))
    try:
        # The port listens before the application has started: wait for it.
        end = time.monotonic() + 10
        while not marks.exists() and time.monotonic() < end:
            time.sleep(0.05)
        assert marks.read_text() == "startup\n"
        for flag in ("--http1.1", "--http2-prior-knowledge"):
            assert curl(flag, s.url("/hello/world")) == b"hello world"
            assert curl(flag, "--data-binary", f"@{body}", s.url("/count")) == b"200000 bytes"
            assert curl(flag, s.url("/stream")) == b"line 0\nline 1\nline 2\n"
            codes = [run(["curl", "-sS", flag, "-o", "/dev/null", "-w", "%{http_code}", s.url(path)]).stdout
                     for path in ("/nowhere", "/boom")]
            assert codes == [b"404", b"500"]
    finally:
        s.stop()
    assert marks.read_text() == "startup\nshutdown\n"


@pytest.mark.parametrize("extra", [["--loop", "uvloop"], ["--workers", "2"]], ids=["uvloop", "two-workers"])
def test_event_loop_and_workers_options(extra):
    need("curl")
    if "uvloop" in extra:
        pytest.importorskip("uvloop")
    s = Server(*extra)
    try:
        for flag in ("--http1.1", "--http2-prior-knowledge"):
            for _ in range(3):
                assert curl(flag, s.url("/bytes/10")) == b"x" * 10
    finally:
        log = s.stop()
    assert s.proc.returncode == 0, log
    assert log.count('"GET /bytes/10 ') == 6
