"""The command line and Config: every option reaching its setting, bad
values refused with one line, the server honouring what the settings add
(in process), and the process-level promises (exit statuses, UNIX sockets,
inherited sockets, workers that stay up) through `python -m quillon`."""

import asyncio
import contextlib
import dataclasses
import json
import logging
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time

import pytest

import _quillon as q

from quillon import Config, ConfigError, Response, serve
from quillon.__main__ import parse
from quillon.app import AppError, resolve
from quillon.config import env_name
from quillon.server import StartupError

# ---------------------------------------------------------------------------
# Options and settings

# (command line, setting, value it must arrive as): one row per option, at
# least; test_every_setting_has_a_row keeps it complete.
OPTIONS = [
    (["--host", "0.0.0.0"], "host", "0.0.0.0"),
    (["--port", "9001"], "port", 9001),
    (["--uds", "/tmp/q.sock"], "uds", "/tmp/q.sock"),
    (["--fd", "3"], "fd", 3),
    (["--backlog", "17"], "backlog", 17),
    (["--workers", "3"], "workers", 3),
    (["--loop", "uvloop"], "loop", "uvloop"),
    (["--reload"], "reload", True),
    (["--reload-dir", "a", "--reload-dir", "b"], "reload_dirs", ["a", "b"]),
    (["--interface", "handler"], "interface", "handler"),
    (["--factory"], "factory", True),
    (["--app-dir", "src"], "app_dir", "src"),
    (["--lifespan", "off"], "lifespan", "off"),
    (["--root-path", "/api"], "root_path", "/api"),
    (["--log-level", "warning"], "log_level", "warning"),
    (["--log-config", "log.json"], "log_config", "log.json"),
    (["--no-access-log"], "access_log", False),
    (["--no-proxy-headers"], "proxy_headers", False),
    (["--forwarded-allow-ips", "*"], "forwarded_allow_ips", "*"),
    (["--no-server-header"], "server_header", False),
    (["--no-date-header"], "date_header", False),
    (["--header", "x-a: 1", "--header", "x-b:2"], "headers", ["x-a: 1", "x-b:2"]),
    (["--limit-concurrency", "5"], "limit_concurrency", 5),
    (["--limit-connections", "6"], "limit_connections", 6),
    (["--limit-max-requests", "7"], "limit_max_requests", 7),
    (["--head-timeout", "1.5"], "head_timeout", 1.5),
    (["--timeout-keep-alive", "2"], "timeout_keep_alive", 2.0),
    (["--write-timeout", "0"], "write_timeout", 0.0),
    (["--timeout-graceful-shutdown", "3"], "timeout_graceful_shutdown", 3.0),
    (["--body-timeout", "60"], "body_timeout", 60.0),
    (["--handler-grace", "0.5"], "handler_grace", 0.5),
    (["--ssl-certfile", "c.pem"], "ssl_certfile", "c.pem"),
    (["--ssl-certfile", "c.pem", "--ssl-keyfile", "k.pem"], "ssl_keyfile", "k.pem"),
    (["--ssl-certfile", "c.pem", "--ssl-keyfile-password", "pw"], "ssl_keyfile_password", "pw"),
    (["--ssl-certfile", "c.pem", "--ssl-ca-certs", "ca.pem"], "ssl_ca_certs", "ca.pem"),
    (["--ssl-certfile", "c.pem", "--ssl-ca-certs", "ca.pem", "--ssl-cert-reqs", "2"], "ssl_cert_reqs", 2),
    (["--ssl-certfile", "c.pem", "--ssl-ciphers", "ECDHE"], "ssl_ciphers", "ECDHE"),
    (["--h2-max-concurrent-streams", "10"], "h2_max_concurrent_streams", 10),
    (["--h2-initial-window-size", "70000"], "h2_initial_window_size", 70000),
    (["--h2-connection-window", "80000"], "h2_connection_window", 80000),
    (["--h2-max-frame-size", "32768"], "h2_max_frame_size", 32768),
    (["--h2-max-header-list-size", "4096"], "h2_max_header_list_size", 4096),
    (["--h2-max-send-buf-size", "65536"], "h2_max_send_buf_size", 65536),
    (["--h2-send-budget", "65536"], "h2_send_budget", 65536),
    (["--ws", "none"], "ws", "none"),
    (["--ws-max-size", "1024"], "ws_max_size", 1024),
    (["--ws-max-queue", "2"], "ws_max_queue", 2),
    (["--ws-ping-interval", "0"], "ws_ping_interval", 0.0),
    (["--ws-ping-timeout", "5"], "ws_ping_timeout", 5.0),
    (["--no-ws-per-message-deflate"], "ws_per_message_deflate", False),
]


def test_every_setting_has_a_row():
    assert {f.name for f in dataclasses.fields(Config)} == {row[1] for row in OPTIONS}


@pytest.mark.parametrize("argv, name, value", OPTIONS, ids=[row[1] for row in OPTIONS])
def test_option_reaches_its_setting(argv, name, value):
    app, config = parse(["mod:app", *argv], environ={})
    assert app == "mod:app"
    assert getattr(config, name) == value
    # The same value from the environment.
    if name not in ("ssl_keyfile", "ssl_keyfile_password", "ssl_ca_certs", "ssl_cert_reqs", "ssl_ciphers"):
        text = "\n".join(value) if isinstance(value, list) else str(value)
        assert getattr(parse([], environ={env_name(name): text})[1], name) == value


def test_the_command_line_wins_over_the_environment():
    env = {"QUILLON_APP": "m:a", "QUILLON_PORT": "9000", "QUILLON_ACCESS_LOG": "no"}
    assert parse([], environ=env)[0] == "m:a"
    app, config = parse(["x:y", "--port", "9001", "--access-log"], environ=env)
    assert (app, config.port, config.access_log) == ("x:y", 9001, True)


@pytest.mark.parametrize("settings, message", [
    ({"port": "http"}, "--port: 'http' is not an integer"),
    ({"port": 70000}, "--port: 70000 is not a port number"),
    ({"workers": 0}, "--workers: 0 is below 1"),
    ({"loop": "tokio"}, "--loop: 'tokio' is not one of auto, asyncio, uvloop"),
    ({"access_log": "maybe"}, "--access-log: 'maybe' is not true or false"),
    ({"timeout_keep_alive": -1}, "--timeout-keep-alive: -1.0 is below 0"),
    ({"limit_concurrency": 0}, "--limit-concurrency: 0 is below 1"),
    ({"headers": ["no colon"]}, "--header: 'no colon' is not 'Name: Value'"),
    ({"forwarded_allow_ips": "10.0.0.0/33"}, "--forwarded-allow-ips: '10.0.0.0/33' is not a network"),
    ({"ssl_keyfile": "k.pem"}, "--ssl-keyfile needs --ssl-certfile"),
    ({"ssl_certfile": "c.pem", "ssl_cert_reqs": 5}, "--ssl-cert-reqs: 5 is not 0, 1 or 2"),
    ({"ssl_certfile": "c.pem", "ssl_cert_reqs": 2}, "--ssl-cert-reqs needs --ssl-ca-certs"),
    ({"uds": "/tmp/s", "fd": 3}, "--uds and --fd: choose one"),
    ({"root_path": "api/"}, "--root-path: 'api/' must start with '/'"),
    ({"h2_max_frame_size": 100}, "--h2-max-frame-size: 100 is below 16384"),
    ({"h2_initial_window_size": 1 << 31}, "--h2-initial-window-size: 2147483648 is above 2147483647"),
    ({"reload": True, "workers": 2}, "--reload and --workers: choose one"),
    ({"bogus": 1}, "unknown setting 'bogus'"),
])
def test_bad_values_are_refused_with_the_option_named(settings, message):
    with pytest.raises(ConfigError) as e:
        Config.from_env({}, **settings)
    assert str(e.value).startswith(message)


def test_what_the_drivers_take():
    t = Config(head_timeout=0, timeout_keep_alive=7, write_timeout=9, timeout_graceful_shutdown=4,
               body_timeout=0, handler_grace=2).timeouts()
    assert (t.head, t.idle, t.write, t.shutdown, t.body, t.grace) == (None, 7, 9, 4, None, 2)
    # The HTTP/2 settings are the frame engine's own keywords.
    settings = Config(h2_max_concurrent_streams=3, date_header=False).h2_settings()
    q.H2Streams("server", **settings)
    assert settings["max_concurrent_streams"] == 3 and settings["auto_date_header"] is False
    assert Config(headers=["X-A: 1", "server: mine"]).default_headers() == [("x-a", "1"), ("server", "mine")]
    assert Config(server_header=False).default_headers() == []


@pytest.mark.parametrize("files, message", [
    (("missing.pem", None), "--ssl-certfile: cannot load missing.pem: No such file"),
    (("garbage.pem", None), "--ssl-certfile: cannot load garbage.pem"),
])
def test_unusable_certificates(tmp_path, monkeypatch, files, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "garbage.pem").write_text("not a certificate\n")
    with pytest.raises(ConfigError, match="^" + message):
        Config(ssl_certfile=files[0], ssl_keyfile=files[1]).ssl_context()


@pytest.fixture(scope="module")
def pems(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("openssl is not installed (.ci/run installs it)")
    d = tmp_path_factory.mktemp("pems")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=t",
                    "-keyout", d / "key.pem", "-out", d / "cert.pem"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkey", "-in", d / "key.pem", "-aes256", "-passout", "pass:secret",
                    "-out", d / "locked.pem"], check=True, capture_output=True)
    return {name: str(d / f"{name}.pem") for name in ("cert", "key", "locked")}


@pytest.mark.parametrize("settings, verify, error", [
    ({"ssl_keyfile": "key"}, ssl.CERT_NONE, None),
    ({"ssl_keyfile": "locked", "ssl_keyfile_password": "secret"}, ssl.CERT_NONE, None),
    ({"ssl_keyfile": "locked", "ssl_keyfile_password": "wrong"}, None, "--ssl-certfile: cannot load"),
    ({"ssl_keyfile": "key", "ssl_ca_certs": "cert", "ssl_cert_reqs": 2}, ssl.CERT_REQUIRED, None),
    ({"ssl_keyfile": "key", "ssl_ca_certs": "cert", "ssl_cert_reqs": 1}, ssl.CERT_OPTIONAL, None),
    ({"ssl_keyfile": "key", "ssl_ca_certs": "key"}, None, "--ssl-ca-certs: cannot load"),
    ({"ssl_keyfile": "key", "ssl_ciphers": "ECDHE-RSA-AES128-GCM-SHA256"}, ssl.CERT_NONE, None),
    ({"ssl_keyfile": "key", "ssl_ciphers": "NO-SUCH-CIPHER"}, None, "--ssl-ciphers: OpenSSL knows none"),
])
def test_tls_settings(pems, settings, verify, error):
    files = {k: pems.get(v, v) if k in ("ssl_keyfile", "ssl_ca_certs") else v for k, v in settings.items()}
    config = Config(ssl_certfile=pems["cert"], **files)
    if error:
        with pytest.raises(ConfigError, match="^" + re.escape(error)):
            config.ssl_context()
        return
    ctx = config.ssl_context()
    assert ctx.verify_mode == verify
    if "ssl_ciphers" in settings:
        assert {c["name"] for c in ctx.get_ciphers() if c["protocol"] == "TLSv1.2"} == {settings["ssl_ciphers"]}


@pytest.fixture
def quillon_loggers():
    names = ("quillon", "quillon.error", "quillon.access")
    saved = [(n, logging.getLogger(n).handlers[:], logging.getLogger(n).level, logging.getLogger(n).propagate)
             for n in names]
    yield
    for name, handlers, level, propagate in saved:
        logger = logging.getLogger(name)
        logger.handlers[:], logger.level, logger.propagate = handlers, level, propagate


@pytest.mark.parametrize("level, access_on, error_on", [
    ("info", True, True), ("warning", False, True), ("critical", False, False), ("trace", True, True)])
def test_log_level_reaches_the_loggers(quillon_loggers, level, access_on, error_on):
    Config(log_level=level).configure_logging()
    assert logging.getLogger("quillon.access").isEnabledFor(logging.INFO) is access_on
    assert logging.getLogger("quillon.error").isEnabledFor(logging.ERROR) is error_on
    assert logging.getLogger("quillon.asgi").isEnabledFor(5) is (level == "trace")


# ---------------------------------------------------------------------------
# Finding the application


async def handler_one(request):
    return Response(200, body=b"h")


async def asgi_three(scope, receive, send):
    pass


async def takes_any(*args):
    pass


def factory():
    return handler_one


class NotCallable:
    pass


BROKEN = "raise RuntimeError('import-time bug')\n"


@pytest.mark.parametrize("ref, settings, kind, message", [
    (handler_one, {}, "handler", None),
    (asgi_three, {}, "asgi", None),
    ("test_cli:handler_one", {}, "handler", None),
    (takes_any, {"interface": "asgi"}, "asgi", None),
    (factory, {"factory": True}, "handler", None),
    (takes_any, {}, None, "cannot tell whether"),
    ("nowhere_at_all:app", {}, None, "cannot import nowhere_at_all:app: no module named 'nowhere_at_all'"),
    ("test_cli:nothing", {}, None, "module 'test_cli' has no attribute 'nothing'"),
    ("test_cli", {}, None, "'test_cli' is not a reference of the form MODULE:NAME"),
    ("broken_app:app", {}, None, "importing 'broken_app' raised RuntimeError: import-time bug"),
    ("test_cli:BROKEN", {}, None, "test_cli:BROKEN is not callable (it is a str)"),
    (NotCallable(), {}, None, "is not callable"),
])
def test_resolving_the_application(tmp_path, ref, settings, kind, message):
    (tmp_path / "broken_app.py").write_text(BROKEN)
    config = Config(app_dir=str(tmp_path), **settings)
    if message is not None:
        with pytest.raises(AppError, match=re.escape(message)):
            resolve(ref, config)
        return
    app = resolve(ref, config)
    assert (app.asgi is not None, app.handler is not None) == (kind == "asgi", kind == "handler")


# ---------------------------------------------------------------------------
# The server in process


async def whoami(request):
    if request.path == "/hold":
        await asyncio.sleep(0.5)
    return Response(200, {"content-type": "text/plain"}, f"{request.client[0]} {request.scheme}".encode())


@contextlib.asynccontextmanager
async def running(app, **settings):
    config = Config(port=0, **settings)
    sock = config.bind()
    started = asyncio.get_running_loop().create_future()
    task = asyncio.ensure_future(serve(app, config, sock=sock, ready=started.set_result))
    await asyncio.wait([started, task], return_when=asyncio.FIRST_COMPLETED)
    if task.done():
        task.result()
    server = started.result()
    try:
        yield server, sock.getsockname()[1]
    finally:
        server.stop()
        await asyncio.wait_for(task, 10)


async def fetch(port, path="/", headers=()):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    lines = [f"GET {path} HTTP/1.1", "host: t", "connection: close", *(f"{k}: {v}" for k, v in headers)]
    writer.write(("\r\n".join(lines) + "\r\n\r\n").encode())
    data = await asyncio.wait_for(reader.read(), 10)
    writer.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode().lower(), body


XFF = [("x-forwarded-for", "203.0.113.9"), ("x-forwarded-proto", "https")]


@pytest.mark.parametrize("settings, headers, seen", [
    ({}, XFF, "203.0.113.9 https"),
    ({"proxy_headers": False}, XFF, "127.0.0.1 http"),
    ({"forwarded_allow_ips": "10.0.0.1"}, XFF, "127.0.0.1 http"),
    ({"forwarded_allow_ips": "127.0.0.0/8"}, [("x-forwarded-for", "203.0.113.9, 127.0.0.5")], "203.0.113.9 http"),
    ({"forwarded_allow_ips": "*"}, [("x-forwarded-for", "198.51.100.1, 203.0.113.9")], "198.51.100.1 http"),
    ({}, [("x-forwarded-for", "198.51.100.1, 203.0.113.9")], "203.0.113.9 http"),
    ({}, [("forwarded", 'for="[2001:db8::1]:4711";proto=https, for=127.0.0.1')], "2001:db8::1 https"),
    ({}, [("forwarded", "for=unknown;proto=https")], "127.0.0.1 https"),
])
def test_proxy_headers_are_believed_only_from_trusted_peers(settings, headers, seen):
    async def main():
        async with running(whoami, **settings) as (_, port):
            return await fetch(port, headers=headers)

    assert asyncio.run(main())[1].decode() == seen


@pytest.mark.parametrize("settings, present, absent", [
    ({}, ["server: quillon", "date: "], []),
    ({"server_header": False, "date_header": False}, [], ["server:", "date:"]),
    ({"headers": ["X-Extra: yes", "Server: edge"]}, ["x-extra: yes", "server: edge"], ["server: quillon"]),
])
def test_default_response_headers(settings, present, absent):
    async def main():
        async with running(whoami, **settings) as (_, port):
            return await fetch(port)

    head, _ = asyncio.run(main())
    assert all(h in head for h in present) and not any(h in head for h in absent), head


def test_limits_on_requests_and_connections():
    async def main():
        async with running(whoami, limit_concurrency=1) as (_, port):
            held = asyncio.ensure_future(fetch(port, "/hold"))
            await asyncio.sleep(0.2)
            busy, _ = await fetch(port)
            first, _ = await held
            after, _ = await fetch(port)
        async with running(whoami, limit_connections=1) as (_, port):
            r1, w1 = await asyncio.open_connection("127.0.0.1", port)
            refused = await fetch(port)
            w1.close()
        return busy, first, after, refused

    busy, first, after, refused = asyncio.run(main())
    assert busy.startswith("http/1.1 503") and first.startswith("http/1.1 200") and after.startswith("http/1.1 200")
    assert refused == ("", b"")


def test_access_log_and_request_limit(caplog):
    caplog.set_level(logging.INFO, logger="quillon.access")

    async def main(**settings):
        async with running(whoami, **settings) as (server, port):
            await fetch(port, "/a?b", headers=[("x-forwarded-for", "203.0.113.9")])
            await fetch(port, "/c")
            return server.stopping.is_set()

    assert asyncio.run(main(access_log=False)) is False
    assert not [r for r in caplog.records if r.name == "quillon.access"]
    # The request limit stops the server once its last request is logged.
    assert asyncio.run(main(limit_max_requests=2)) is True
    lines = [r.getMessage() for r in caplog.records if r.name == "quillon.access"]
    assert lines == ['203.0.113.9:0 "GET /a?b HTTP/1.1" 200', '127.0.0.1:' + lines[1].split(":")[1].split()[0]
                     + ' "GET /c HTTP/1.1" 200']


def lifespan_app(events, supported=True):
    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            if not supported:
                raise RuntimeError("no lifespan here")
            while True:
                message = await receive()
                events.append(message["type"])
                await send({"type": message["type"] + ".complete"})
                if message["type"] == "lifespan.shutdown":
                    return
        events.append(scope["root_path"])
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})
    return app


@pytest.mark.parametrize("mode, supported, events, error", [
    ("auto", True, ["lifespan.startup", "/api", "lifespan.shutdown"], None),
    ("auto", False, ["/api"], None),
    ("off", True, ["/api"], None),
    ("on", False, [], "does not support the lifespan scope"),
])
def test_lifespan_and_root_path(mode, supported, events, error):
    seen = []

    async def main():
        async with running(lifespan_app(seen, supported), lifespan=mode, root_path="/api") as (_, port):
            assert (await fetch(port))[1] == b"ok"

    if error:
        with pytest.raises(StartupError, match=error):
            asyncio.run(main())
    else:
        asyncio.run(main())
    assert seen == events


# ---------------------------------------------------------------------------
# The command line as a process


def quillon(*args, cwd=None, pass_fds=(), env=None):
    return subprocess.Popen([sys.executable, "-m", "quillon", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, cwd=cwd, pass_fds=pass_fds, env=env)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_usage_errors_are_one_line_and_leave_nothing_running(tmp_path):
    (tmp_path / "garbage.pem").write_text("nope\n")
    (tmp_path / "failing.py").write_text(
        "async def app(scope, receive, send):\n"
        "    if scope['type'] == 'lifespan':\n"
        "        await receive()\n"
        "        await send({'type': 'lifespan.startup.failed', 'message': 'no database'})\n")
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    port = str(taken.getsockname()[1])
    cases = [
        (["--port", "http"], 2, "--port: 'http' is not an integer"),
        (["--no-such-option"], 2, "unrecognized arguments: --no-such-option"),
        (["--loop", "tokio"], 2, "--loop: 'tokio' is not one of"),
        (["nowhere_at_all:app"], 2, "no module named 'nowhere_at_all'"),
        (["failing:nothing"], 2, "module 'failing' has no attribute 'nothing'"),
        (["--ssl-certfile", "garbage.pem"], 2, "--ssl-certfile: cannot load garbage.pem"),
        (["--log-config", "missing.json"], 2, "--log-config: cannot use missing.json"),
        (["--port", port], 1, f"cannot listen on 127.0.0.1:{port}: Address already in use"),
        (["--port", port, "--workers", "2"], 1, f"cannot listen on 127.0.0.1:{port}: Address already in use"),
        (["--fd", "0"], 1, "--fd 0: Socket operation on non-socket"),
        (["--port", "0", "failing:app"], 3, "startup failed: no database"),
        (["--port", "0", "--workers", "2", "failing:app"], 3, "startup failed: no database"),
    ]
    procs = [(quillon(*argv, cwd=tmp_path), status, message) for argv, status, message in cases]
    try:
        for proc, status, message in procs:
            _, err = proc.communicate(timeout=30)
            errors = [line for line in err.decode().splitlines() if not line.startswith("INFO:")]
            assert proc.returncode == status, err
            assert len(errors) == 1 and message in errors[0], err
    finally:
        taken.close()


def get_pid(port=None, uds=None, headers=()):
    """The pid of the worker that answers, from a handler that tells it."""
    sock = socket.socket(socket.AF_UNIX) if uds else socket.socket()
    with sock:
        sock.settimeout(5)
        sock.connect(uds or ("127.0.0.1", port))
        extra = "".join(f"{k}: {v}\r\n" for k, v in headers)
        sock.sendall(f"GET / HTTP/1.1\r\nhost: t\r\nconnection: close\r\n{extra}\r\n".encode())
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    return data.partition(b"\r\n\r\n")[2].decode()


PID_APP = '''
import os
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route

async def home(request):
    return PlainTextResponse(f"{os.getpid()} {request.client.host} {request.url.scheme}")

app = Starlette(routes=[Route("/", home)])
'''


def wait_for(probe, deadline=20.0):
    end = time.monotonic() + deadline
    while True:
        try:
            return probe()
        except (OSError, ValueError):
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    return proc.returncode, out.decode(), err.decode()


def pids_of(answers):
    return {int(a.split()[0]) for a in answers}


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


SLOW_START_APP = """
import asyncio, os, pathlib

async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        await receive()
        pathlib.Path(f"starting-{os.getpid()}").touch()
        await asyncio.sleep(60)
"""


def test_workers_stopped_while_starting_exit_cleanly(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW_START_APP)
    proc = quillon("slow:app", "--workers", "2", "--port", "0", cwd=tmp_path)
    try:
        end = time.monotonic() + 20
        while len(list(tmp_path.glob("starting-*"))) < 2 and time.monotonic() < end:
            time.sleep(0.05)
    finally:
        status, _out, err = stop(proc)
    assert status == 0, err


def test_starlette_on_a_unix_socket_with_workers_and_proxy_headers(tmp_path):
    pytest.importorskip("starlette")
    (tmp_path / "main.py").write_text(PID_APP)
    uds = str(tmp_path / "s.sock")
    proc = quillon("main:app", "--workers", "2", "--uds", uds, "--proxy-headers", "--forwarded-allow-ips", "*",
                   "--no-access-log", cwd=tmp_path)
    try:
        headers = [("x-forwarded-for", "203.0.113.9"), ("x-forwarded-proto", "https")]
        answers = [wait_for(lambda: get_pid(uds=uds, headers=headers)) for _ in range(20)]
        assert {a.split(" ", 1)[1] for a in answers} == {"203.0.113.9 https"}
    finally:
        status, out, err = stop(proc)
    assert status == 0, err
    assert '"GET /' not in out + err  # no access log
    assert not os.path.exists(uds)
    assert all(gone(pid) for pid in pids_of(answers))


def test_serving_on_an_inherited_socket(tmp_path):
    pytest.importorskip("starlette")
    (tmp_path / "main.py").write_text(PID_APP)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    port = listener.getsockname()[1]
    proc = quillon("main:app", "--fd", str(listener.fileno()), cwd=tmp_path, pass_fds=[listener.fileno()])
    listener.close()
    try:
        assert int(wait_for(lambda: get_pid(port)).split()[0]) == proc.pid
    finally:
        status, _, err = stop(proc)
    assert status == 0, err


def test_workers_are_replaced_one_by_one_on_death_and_all_on_sighup(tmp_path):
    pytest.importorskip("starlette")
    (tmp_path / "main.py").write_text(PID_APP)
    port = free_port()
    proc = quillon("main:app", "--workers", "2", "--port", str(port), "--limit-max-requests", "1000", cwd=tmp_path)

    def workers(n=2):
        end = time.monotonic() + 20
        seen = set()
        while len(seen) < n and time.monotonic() < end:
            seen |= pids_of([wait_for(lambda: get_pid(port))])
        return seen

    try:
        first = workers()
        victim = min(first)
        os.kill(victim, signal.SIGKILL)
        wait_for(lambda: gone(victim) or int(""))
        second = set()
        end = time.monotonic() + 20
        while (len(second) < 2 or victim in second) and time.monotonic() < end:
            second = workers()
        assert victim not in second and len(second & first) == 1
        proc.send_signal(signal.SIGHUP)
        third = set()
        end = time.monotonic() + 20
        while (len(third) < 2 or third & second) and time.monotonic() < end:
            third = workers()
            time.sleep(0.1)
        assert len(third) == 2 and not third & second
    finally:
        status, _, err = stop(proc)
    assert status == 0, err
    assert all(gone(pid) for pid in first | second | third)


def test_run_from_python_with_a_request_limit(tmp_path):
    pytest.importorskip("starlette")
    (tmp_path / "main.py").write_text(PID_APP)
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-c", f"import quillon, main; quillon.run(main.app, port={port}, "
                             "limit_max_requests=3)"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        pids = [int(wait_for(lambda: get_pid(port)).split()[0]) for _ in range(7)]
    finally:
        status, _, err = stop(proc)
    assert status == 0, err
    assert len(set(pids[:3])) == 1 and len(set(pids[3:6])) == 1 and pids[0] != pids[3] != pids[6]


def test_log_config_file_routes_the_access_log(tmp_path):
    log = tmp_path / "access.log"
    (tmp_path / "log.json").write_text(json.dumps({
        "version": 1, "disable_existing_loggers": False,
        "handlers": {"file": {"class": "logging.FileHandler", "filename": str(log)}},
        "loggers": {"quillon.access": {"handlers": ["file"], "propagate": False}},
    }))
    port = free_port()
    proc = quillon("--port", str(port), "--log-config", "log.json", cwd=tmp_path)
    try:
        wait_for(lambda: get_pid(port))
    finally:
        status, out, err = stop(proc)
    assert status == 0, err
    assert '"GET / HTTP/1.1" 200' in log.read_text() and '"GET /' not in out


def test_reload_restarts_on_a_change(tmp_path):
    pytest.importorskip("watchfiles")
    pytest.importorskip("starlette")
    (tmp_path / "main.py").write_text(PID_APP)
    port = free_port()
    proc = quillon("main:app", "--port", str(port), "--reload", cwd=tmp_path)
    try:
        before = int(wait_for(lambda: get_pid(port)).split()[0])
        time.sleep(0.5)  # the watcher starts after the first child
        (tmp_path / "main.py").write_text(PID_APP + "\n# changed\n")
        end = time.monotonic() + 20
        after = before
        while after == before and time.monotonic() < end:
            time.sleep(0.2)
            after = int(wait_for(lambda: get_pid(port)).split()[0])
    finally:
        status, _, err = stop(proc)
    assert status == 0, err
    assert after != before and gone(before)
