"""The client's WebSocket in process on loopback: against the project's
server (an ASGI application and a handler), and against the websockets
package's, uvicorn's and hypercorn's (HTTP/1.1 and HTTP/2) servers; refusals, bad answers and timeouts
against a scripted server; over HTTP/2 streams, with TLS and through a
tunnel, and back to HTTP/1.1 when the server has no extended CONNECT."""

import asyncio
import base64
import contextlib
import hashlib
import os
import socket

import hypercorn.asyncio
import hypercorn.config
import pytest
import uvicorn
from test_client import cert, connect_proxy  # noqa: F401 (a fixture)
from test_websocket import Serving, echo_app, echo_handler, refusing_app, refusing_handler
from websockets.asyncio.server import serve as websockets_serve

import quillon
import quillon.client as qc
from quillon.asgi import ASGIApp

TIMEOUT = 20
BIG = os.urandom(300_000)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, TIMEOUT))


@contextlib.asynccontextmanager
async def websockets_echo():
    async def echo(ws):
        async for message in ws:
            if message == "close":
                await ws.close(4000, "asked")
            else:
                await ws.send(message)

    async with websockets_serve(echo, "127.0.0.1", 0, subprotocols=["two"]) as server:
        yield f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}", None


@contextlib.asynccontextmanager
async def uvicorn_echo():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(echo_app, ws="websockets-sansio", lifespan="off", log_level="error"))
    task = asyncio.ensure_future(server.serve(sockets=[sock]))
    while not server.started:
        await asyncio.sleep(0.01)
    try:
        yield f"ws://127.0.0.1:{sock.getsockname()[1]}", echo_app
    finally:
        server.should_exit = True
        await task


@contextlib.asynccontextmanager
async def hypercorn_echo():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen()
    config = hypercorn.config.Config()
    config.bind, config.loglevel = [f"fd://{sock.fileno()}"], "CRITICAL"
    stop = asyncio.Event()
    task = asyncio.ensure_future(hypercorn.asyncio.serve(echo_app, config, shutdown_trigger=stop.wait))
    await asyncio.sleep(0.2)
    try:
        # (hypercorn tells the application 1006 however a client closes)
        yield f"ws://127.0.0.1:{sock.getsockname()[1]}", None
    finally:
        stop.set()
        await task  # (the server closes the socket)


@contextlib.asynccontextmanager
async def own_echo(handler):
    echo_app.last = None
    async with Serving(handler) as s:
        yield s.url, echo_app  # (the handler notes its close in the same place)


SERVERS = {"own-asgi": lambda: own_echo(ASGIApp(echo_app)), "own-handler": lambda: own_echo(echo_handler),
           "websockets": websockets_echo, "uvicorn": uvicorn_echo, "hypercorn": hypercorn_echo,
           "hypercorn-h2": hypercorn_echo}


@pytest.mark.parametrize("deflate", [True, False], ids=["deflate", "plain"])
@pytest.mark.parametrize("server", SERVERS)
def test_echo(server, deflate):
    http2 = server.endswith("-h2")

    async def main():
        async with SERVERS[server]() as (url, noted), qc.Client(http2=http2) as client:
            async with client.websocket(url.replace("ws:", "http:") + "/p", subprotocols=["one", "two"],
                                        per_message_deflate=deflate) as ws:
                assert (ws.status_code, ws.http_version) == ((200, "HTTP/2") if http2 else (101, "HTTP/1.1"))
                assert ws.subprotocol == "two"
                assert bool(ws.protocol.extensions) is deflate
                for message in ["héllo", b"\x00\xff", BIG, "x" * 70000]:
                    await ws.send(message)
                    assert await ws.receive() == message
                await ws.send("close")
                assert [m async for m in ws] == []
                assert (ws.close_code, ws.close_reason) == (4000, "asked")
                with pytest.raises(qc.WebSocketClosed):
                    await ws.send("late")
            if noted is not None:
                async with client.websocket(url) as ws:
                    await ws.close(4321, "bye")
                await asyncio.sleep(0.05)
                assert (noted.last["code"], noted.last["reason"]) == (4321, "bye")

    run(main())


@pytest.mark.parametrize("handler, path, status, body, http2", [
    (ASGIApp(refusing_app), "/deny", 418, b"teapot", False),
    (ASGIApp(refusing_app), "/deny", 418, b"teapot", True),
    (ASGIApp(refusing_app), "/close", 403, None, False),
    (ASGIApp(refusing_app), "/close", 403, None, True),
    (refusing_handler, "/plain", 200, b"plain", False),  # (over HTTP/2 a 200 accepts)
], ids=["asgi-http-answer", "asgi-http-answer-h2", "asgi-close", "asgi-close-h2", "handler-plain"])
def test_refusals_carry_the_answer(handler, path, status, body, http2):
    async def main():
        async with Serving(handler) as s, qc.Client(http2=http2) as client:
            for _ in range(2):  # the refused opening's connection serves the next
                with pytest.raises(qc.WebSocketRejected) as refused:
                    async with client.websocket(s.url + path):
                        pass
                assert refused.value.status_code == status
                assert refused.value.response.http_version == ("HTTP/2" if http2 else "HTTP/1.1")
                assert body is None or refused.value.content == body
            assert client.pool.count == 1

    run(main())


def accept_for(head):
    key = next(line.split(b":", 1)[1].strip() for line in head.split(b"\r\n")
               if line.lower().startswith(b"sec-websocket-key:"))
    return base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())


@contextlib.asynccontextmanager
async def scripted(answer):
    """A server that reads one opening and writes what `answer(head)`
    makes of it in one write (None: stays silent)."""
    async def serve(reader, writer):
        head = await reader.readuntil(b"\r\n\r\n")
        reply = answer(head)
        if reply is None:
            await reader.read()
        else:
            writer.write(reply)
            await writer.drain()
            await reader.read()
        writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    async with server:
        yield f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}"


def switch(accept=None, extra=b""):
    return lambda head: (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         b"Sec-WebSocket-Accept: " + (accept or accept_for(head)) + b"\r\n" + extra + b"\r\n")


def test_frames_sent_with_the_switch_are_read():
    async def main():
        frames = b"\x81\x05hello\x88\x06\x0f\xa0done"  # a text message and a close (4000, "done")
        async with scripted(lambda head: switch()(head) + frames) as url, qc.Client() as client:
            async with client.websocket(url) as ws:
                assert [m async for m in ws] == ["hello"]
                assert (ws.close_code, ws.close_reason) == (4000, "done")

    run(main())


@pytest.mark.parametrize("answer", [
    switch(accept=b"d3Jvbmc="),
    switch(extra=b"Sec-WebSocket-Protocol: unoffered\r\n"),
    switch(extra=b"Sec-WebSocket-Extensions: x-unknown\r\n"),
    lambda head: b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n",
], ids=["accept", "subprotocol", "extension", "upgrade"])
def test_bad_switches_fail_the_opening(answer):
    async def main():
        async with scripted(answer) as url, qc.Client() as client:
            with pytest.raises(qc.RemoteProtocolError):
                async with client.websocket(url):
                    pass
            assert client.pool.count == 0

    run(main())


def test_timeouts_and_the_pool():
    async def main():
        async with scripted(lambda head: None) as silent, qc.Client(timeout=qc.Timeout(5, read=0.2)) as client:
            with pytest.raises(qc.ReadTimeout):
                async with client.websocket(silent):
                    pass
        limits = qc.Limits(max_connections=1)
        async with scripted(lambda head: None) as silent, \
                qc.Client(limits=limits, timeout=qc.Timeout(5, pool=0.2)) as client:
            hung = asyncio.ensure_future(client.websocket(silent).__aenter__())
            await asyncio.sleep(0.1)
            with pytest.raises(qc.PoolTimeout):
                async with client.websocket(silent):
                    pass
            hung.cancel()
        # An open WebSocket holds no place in the pool.
        async with Serving(ASGIApp(echo_app)) as s, qc.Client(limits=limits, timeout=1) as client:
            async with client.websocket(s.url) as ws:
                async with client.websocket(s.url) as other:
                    await other.send("second")
                    assert await other.receive() == "second"
                await ws.send("first")
                assert await ws.receive() == "first"

    run(main())


@pytest.mark.parametrize("via_proxy", [False, True], ids=["direct", "tunnel"])
def test_wss_over_http2(cert, monkeypatch, via_proxy):  # noqa: F811
    for name in ("https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    seen = []

    async def main():
        tls = quillon.Config(ssl_certfile=cert[0], ssl_keyfile=cert[1]).ssl_context()
        async with Serving(ASGIApp(echo_app), ssl=tls) as s, contextlib.AsyncExitStack() as stack:
            if via_proxy:
                monkeypatch.setenv("https_proxy", await stack.enter_async_context(connect_proxy(seen)))
            async with qc.Client(http2=True, verify=cert[0]) as client:
                async with client.websocket(s.url.replace("ws:", "wss:")) as ws:
                    assert ws.http_version == "HTTP/2"
                    await ws.send(BIG)
                    assert await ws.receive() == BIG
        assert len(seen) == via_proxy

    run(main())


@pytest.mark.parametrize("handler", [ASGIApp(echo_app), echo_handler], ids=["asgi", "handler"])
def test_http2_streams(handler):
    async def main():
        echo_app.last = None
        async with Serving(handler) as s, qc.Client(http2=True) as client:
            async with client.websocket(s.url + "/p", subprotocols=["one", "two"]) as ws, \
                    client.websocket(s.url) as other:
                assert (ws.status_code, ws.http_version, ws.subprotocol) == (200, "HTTP/2", "two")
                assert ws.protocol.extensions and client.pool.count == 1
                for message in [BIG, "héllo", b"", "x" * 70000]:
                    await ws.send(message)
                    await other.send(message)
                    assert await other.receive() == message == await ws.receive()
                await ws.send("close")
                assert [m async for m in ws] == []
                assert (ws.close_code, ws.close_reason) == (4000, "asked")
                await other.close(4321, "bye")
            await asyncio.sleep(0.05)
            assert (echo_app.last["code"], echo_app.last["reason"]) == (4321, "bye")

    run(main())


def test_http2_without_extended_connect_falls_back():
    async def main():
        async with Serving(refusing_handler, ws="none") as s, qc.Client(http2=True) as client:
            with pytest.raises(qc.WebSocketRejected) as refused:
                async with client.websocket(s.url + "/plain"):
                    pass
            assert (refused.value.status_code, refused.value.response.http_version) == (200, "HTTP/1.1")

    run(main())
