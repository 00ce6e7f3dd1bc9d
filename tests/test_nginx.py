"""The nginx recipe of docs/deployment.md, run as written in front of a
quillon server: read from the page (so the page cannot drift from what
was tested), with only its two addresses changed to free local ports,
inside a minimal nginx main configuration of the test's own."""

from __future__ import annotations

import asyncio
import hashlib
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

import quillon
from quillon import Request, Response

PAGE = Path(__file__).resolve().parent.parent / "docs" / "deployment.md"
NGINX = shutil.which("nginx") or next((p for p in ("/usr/sbin/nginx",) if os.access(p, os.X_OK)), None)


def recipe() -> str:
    text = PAGE.read_text()
    m = re.search(r"<!-- nginx recipe[^>]*-->\n```nginx\n(.*?)^```", text, re.S | re.M)
    assert m, "docs/deployment.md has no nginx recipe block"
    return m[1]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def app(request: Request) -> Response:
    """Says which upstream connection carried the request and what nginx
    forwarded; answers an upload with its size and digest."""
    if request.method == "POST":
        digest, size = hashlib.sha256(), 0
        while piece := await request.read():
            digest.update(piece)
            size += len(piece)
        return Response(200, {"content-type": "text/plain"}, f"{size} {digest.hexdigest()}".encode())
    h = request.headers
    fields = [str(request.client[1]), h.get("x-forwarded-for", b"-").decode(), h.get("x-forwarded-proto", b"-").decode()]
    return Response(200, {"content-type": "text/plain"}, " ".join(fields).encode())


class Backend:
    """quillon on a free port, in a thread of this process."""

    def __init__(self) -> None:
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.ready = threading.Event()
        self.thread = threading.Thread(target=asyncio.run, args=(self.main(),), daemon=True)
        self.thread.start()
        assert self.ready.wait(10), "quillon did not start"

    async def main(self) -> None:
        self.loop = asyncio.get_running_loop()

        def ready(server: quillon.server.Server) -> None:
            self.server = server
            self.ready.set()

        # The socket's peer is nginx: proxy headers off, so request.client
        # is nginx's end of the upstream connection.
        await quillon.serve(app, quillon.Config(proxy_headers=False, access_log=False), sock=self.sock, ready=ready)

    def stop(self) -> None:
        self.loop.call_soon_threadsafe(self.server.stop)
        self.thread.join(15)
        self.sock.close()


@pytest.fixture
def nginx():
    if NGINX is None:
        pytest.skip("nginx is not installed (.ci/run installs Debian's nginx)")
    backend = Backend()
    work = Path(tempfile.mkdtemp(prefix="quillon-nginx-"))
    work.chmod(0o755)  # nginx's workers may run as another user
    port = free_port()
    block = recipe()
    for old, new in (("listen 80;", f"listen 127.0.0.1:{port};"),
                     ("server 127.0.0.1:8000;", f"server 127.0.0.1:{backend.port};")):
        assert block.count(old) == 1, f"the recipe no longer has {old!r}"
        block = block.replace(old, new)
    temp = "\n".join(f"    {kind}_temp_path {work}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi",
                                                                             "scgi"))
    (work / "nginx.conf").write_text(f"""
worker_processes 1;
daemon off;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
{temp}
{block}
}}
""")
    # nginx is not our code: the sanitizer runtime stays out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen([NGINX, "-p", str(work), "-e", str(work / "error.log"), "-c", str(work / "nginx.conf")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    log = (work / "error.log").read_text() if (work / "error.log").exists() else ""
                    raise AssertionError(f"nginx did not start: {proc.stdout.read().decode() if proc.stdout else ''}"
                                         f"{log}") from None
                time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        proc.wait(10)
        backend.stop()
        shutil.rmtree(work, ignore_errors=True)


def fetch(port: int, method: str = "GET", body: bytes | None = None) -> tuple[int, str]:
    """One request on a new client connection to nginx."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        c.request(method, "/", body=body)
        r = c.getresponse()
        return r.status, r.read().decode()
    finally:
        c.close()


def test_nginx_recipe(nginx):
    port = nginx
    status, text = fetch(port)
    assert status == 200
    upstream, forwarded_for, proto = text.split()
    assert (forwarded_for, proto) == ("127.0.0.1", "http")

    upload = os.urandom(10 * 1024 * 1024)
    status, text = fetch(port, "POST", upload)
    assert status == 200 and text == f"{len(upload)} {hashlib.sha256(upload).hexdigest()}"

    # Each request came on a new client connection; nginx carried them all
    # over the one upstream connection it keeps alive.
    ports = {fetch(port)[1].split()[0] for _ in range(5)}
    assert ports == {upstream}
