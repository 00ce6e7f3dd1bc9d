"""The example server and client against real HTTP peers (curl, nghttp2's
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
EXAMPLES = ROOT / "examples"
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
    def __init__(self, *extra):
        self.port = free_port()
        # A file, not a pipe: a pipe nobody reads during a load test fills
        # up and stalls the server on its log line.
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, str(EXAMPLES / "server.py"), "--port", str(self.port), *extra],
            stdout=self.log, stderr=subprocess.STDOUT, env=env())
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


def need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (.ci/run installs it)")


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


@pytest.mark.parametrize("flag, version", [("--http1.1", "HTTP/1.1"), ("--http2-prior-knowledge", "HTTP/2")])
def test_graceful_shutdown_finishes_the_request_in_flight(flag, version):
    need("curl")
    s = Server()
    try:
        p = subprocess.Popen(["curl", "-sS", flag, "--max-time", "30", s.url("/slow")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=tool_env())
        time.sleep(0.3)
        s.proc.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=TIMEOUT)
        assert p.returncode == 0, err
        assert out == b"".join(b"line %d\n" % i for i in range(5))
        assert s.proc.wait(timeout=15) == 0
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
    r = run([sys.executable, str(EXAMPLES / "client.py"), *args], env=env())
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
    s = Server("--tls", *cert)
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
