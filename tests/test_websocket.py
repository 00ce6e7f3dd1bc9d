"""WebSocket in process on loopback: the websockets client (and wsproto's
framing carried by the h2 library over HTTP/2) against ASGI applications,
handlers, and Starlette and FastAPI routes, and Chromium over HTTP/1.1 and
HTTP/2; openings done wrong; hostile frames; the bounds on a client that
floods."""

import asyncio
import base64
import dataclasses
import os
import shutil
import socket
import ssl
import subprocess
import struct
import zlib
from urllib.parse import unquote

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest
import wsproto.connection
import wsproto.events
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

from quillon import Request, Response
from quillon.asgi import ASGIApp
from quillon.config import Config
from quillon.link import Link
from quillon.server import Server

TIMEOUT = 20


class Serving:
    def __init__(self, handler, ssl=None, **settings):
        config = Config(**{"timeout_graceful_shutdown": 1, **settings})
        self.server = Server(handler, config.timeouts(), config=config)
        self.ssl = ssl

    async def __aenter__(self):
        self.listener = await asyncio.get_running_loop().create_server(lambda: Link(self.server), "127.0.0.1", 0,
                                                                       ssl=self.ssl)
        self.url = f"ws://127.0.0.1:{self.listener.sockets[0].getsockname()[1]}"
        return self

    async def __aexit__(self, *exc):
        self.listener.close()
        await self.server.shutdown()


def run(coro):
    asyncio.run(asyncio.wait_for(coro, TIMEOUT))


async def echo_app(scope, receive, send):
    assert scope["type"] == "websocket" and (await receive())["type"] == "websocket.connect"
    offered = scope["subprotocols"]
    await send({"type": "websocket.accept", "subprotocol": offered[-1] if offered else None,
                "headers": [(b"x-path", scope["path"].encode())]})
    while (message := await receive())["type"] == "websocket.receive":
        if message.get("text") == "close":
            await send({"type": "websocket.close", "code": 4000, "reason": "asked"})
            break
        if message.get("text") == "raise":
            raise RuntimeError("asked to")
        await send({"type": "websocket.send", "text": message.get("text"), "bytes": message.get("bytes")})
    else:
        echo_app.last = message


async def echo_handler(request: Request) -> Response:
    offered = request.headers.get("sec-websocket-protocol")
    ws = await request.websocket(offered.decode().split(",")[-1].strip() if offered else None,
                                 {"x-path": unquote(request.path)})
    try:
        while (message := await ws.receive()) != "close":  # WebSocketClosed let through: a normal end
            if message == "raise":
                raise RuntimeError("asked to")
            await ws.send(message)
        await ws.close(4000, "asked")
    finally:
        echo_app.last = {"code": ws.close_code, "reason": ws.close_reason}
    return Response(200)


@pytest.mark.parametrize("deflate", [True, False])
@pytest.mark.parametrize("serve", [ASGIApp(echo_app), echo_handler], ids=["asgi", "handler"])
def test_echo(serve, deflate):
    big = os.urandom(300_000)

    async def main():
        async with Serving(serve, ws_per_message_deflate=deflate) as s:
            async with connect(s.url + "/a%20b?q", subprotocols=["one", "two"],
                               compression="deflate" if deflate else None) as ws:
                assert ws.subprotocol == "two" and ws.response.headers["x-path"] == "/a b"
                assert bool(ws.protocol.extensions) is deflate
                for message in ["héllo", b"\x00\xff", big, "x" * 70000]:
                    await ws.send(message)
                    assert await ws.recv() == message
                await ws.send(["frag", "mented"])  # one message in three frames
                assert await ws.recv() == "fragmented"
                await ws.send("close")
                with pytest.raises(ConnectionClosed) as closed:
                    await ws.recv()
                assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (4000, "asked")
            async with connect(s.url) as ws:
                await ws.send("raise")
                with pytest.raises(ConnectionClosed) as closed:
                    await ws.recv()
                assert closed.value.rcvd.code == 1011
            async with connect(s.url) as ws:
                await ws.close(4321, "bye")
            await asyncio.sleep(0.05)
            assert (echo_app.last["code"], echo_app.last["reason"]) == (4321, "bye")

    run(main())


async def refusing_app(scope, receive, send):
    if scope["type"] == "http":  # the server does not serve WebSockets
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"plain http"})
        return
    await receive()
    if scope["path"] == "/deny":
        await send({"type": "websocket.http.response.start", "status": 418, "headers": [(b"x-no", b"1")]})
        await send({"type": "websocket.http.response.body", "body": b"tea", "more_body": True})
        await send({"type": "websocket.http.response.body", "body": b"pot"})
    elif scope["path"] == "/boom":
        raise RuntimeError("boom")
    elif scope["path"] == "/close":
        await send({"type": "websocket.close"})
    # else: returns without a word


async def refusing_handler(request):
    if request.path == "/plain":
        return Response(200, {}, b"plain")
    await request.websocket()
    return Response(500)


KEY = base64.b64encode(b"k" * 16)


def opening(path=b"/", key=KEY, version=b"13", extra=b""):
    return (b"GET %s HTTP/1.1\r\nhost: x\r\nupgrade: websocket\r\nconnection: keep-alive, Upgrade\r\n"
            b"sec-websocket-key: %s\r\nsec-websocket-version: %s\r\n%s\r\n" % (path, key, version, extra))


async def open_raw(url, request):
    reader, writer = await asyncio.open_connection(*url[5:].split(":"))
    writer.write(request)
    head = await reader.readuntil(b"\r\n\r\n")
    return reader, writer, head


@pytest.mark.parametrize("serve, request_bytes, status, expect", [
    (refusing_app, opening(b"/deny"), 418, b"teapot"),
    ("ws-none", opening(), 200, b"plain http"),
    (refusing_app, opening(b"/boom"), 500, b""),
    (refusing_app, opening(b"/close"), 403, b""),
    (refusing_app, opening(b"/silent"), 403, b""),
    (refusing_app, opening(key=b"short"), 400, b"Key"),
    (refusing_app, opening(version=b"8"), 426, b"sec-websocket-version: 13"),
    (refusing_app, opening(extra=b"content-length: 2\r\n") + b"hi", 400, b"body"),
    (refusing_handler, opening(version=b"8"), 426, b"sec-websocket-version: 13"),
    (refusing_handler, b"GET /ws HTTP/1.1\r\nhost: x\r\n\r\n", 426, b"upgrade: websocket"),
    (refusing_handler, opening(b"/plain"), 200, b"plain"),
], ids=["denial", "ws-none", "raises", "closes", "returns", "bad-key", "version", "body", "h-version", "h-not-ws", "h-plain"])
def test_openings_answered_with_http(serve, request_bytes, status, expect):
    async def main():
        settings = {"ws": "none"} if serve == "ws-none" else {}
        async with Serving(ASGIApp(refusing_app) if serve != refusing_handler else serve, **settings) as s:
            reader, writer, head = await open_raw(s.url, request_bytes)
            rest = await reader.read(1000) if b"content-length: 0\r\n" not in head else b""
            writer.close()
            assert head.startswith(b"HTTP/1.1 %d " % status) and expect in head + rest

    run(main())


def frame(opcode, payload=b"", fin=True, rsv=0, mask=True):
    length = len(payload)
    size = bytes([length | 0x80 * mask]) if length < 126 else bytes([126 | 0x80 * mask]) + struct.pack("!H", length)
    key = b"\x01\x02\x03\x04"
    body = bytes(b ^ key[i % 4] for i, b in enumerate(payload)) if mask else payload
    return bytes([0x80 * fin | rsv << 4 | opcode]) + size + (key if mask else b"") + body


async def close_code(reader):
    """The code of the close frame the server sends, skipping what comes first."""
    while True:
        first, second = await reader.readexactly(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", await reader.readexactly(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", await reader.readexactly(8))[0]
        payload = await reader.readexactly(length)
        if first & 0x0F == 8:
            return struct.unpack("!H", payload[:2])[0]


def deflated(data):
    c = zlib.compressobj(wbits=-12)
    return (c.compress(data) + c.flush(zlib.Z_SYNC_FLUSH))[:-4]


@pytest.mark.parametrize("frames, code", [
    ([frame(1, b"hi", mask=False)], 1002),
    ([frame(1, b"hi", rsv=1)], 1002),
    ([frame(9, b"p" * 126)], 1002),
    ([frame(9, b"p", fin=False)], 1002),
    ([frame(8, struct.pack("!H", 1005))], 1002),
    ([frame(8, struct.pack("!H", 999))], 1002),
    ([frame(0, b"stray")], 1002),
    ([frame(1, b"\xff\xfe")], 1007),
    ([frame(1, b"ok\xe2", fin=False), frame(0, b"\x28")], 1007),
    ([frame(2, b"x" * 2000)], 1009),
    ([frame(2, b"x" * 600, fin=False), frame(0, b"x" * 600)], 1009),
    ([frame(3, b"")], 1002),
    ([frame(2, deflated(b"x" * 100_000), rsv=4)], 1009),
], ids=["unmasked", "rsv", "big-ping", "fragmented-ping", "close-1005", "close-999", "stray-cont", "utf8",
        "utf8-split", "too-big", "too-big-fragments", "opcode",
        "inflates-too-big"])
def test_hostile_frames_close_with_their_code(frames, code):
    async def main():
        async with Serving(ASGIApp(echo_app), ws_max_size=1024) as s:
            reader, writer, head = await open_raw(s.url, opening(
                extra=b"sec-websocket-extensions: permessage-deflate; client_max_window_bits\r\n"))
            assert head.startswith(b"HTTP/1.1 101 ") and b"permessage-deflate" in head
            writer.write(b"".join(frames))
            assert await close_code(reader) == code
            assert await reader.read() == b""  # and the server closes the connection
            writer.close()

    run(main())


def test_frames_sent_with_the_opening_are_not_lost():
    async def main():
        async with Serving(ASGIApp(echo_app)) as s:
            # The HTTP/1 state has read them with the head: they reach the session first.
            reader, writer, head = await open_raw(s.url, opening() + frame(1, b"early") + frame(2, b"bird"))
            assert head.startswith(b"HTTP/1.1 101 ")
            assert await reader.readexactly(13) == b"\x81\x05early\x82\x04bird"
            writer.close()

    run(main())


def test_a_client_that_floods_instead_of_closing_is_cut():
    async def main():
        async with Serving(ASGIApp(echo_app), ws_max_queue=2) as s:
            s.server.websocket = dataclasses.replace(s.server.websocket, close_timeout=0.5)
            reader, writer, head = await open_raw(s.url, opening() + frame(1, b"close"))
            assert await close_code(reader) == 4000
            (ws,) = s.server.connections
            start = asyncio.get_running_loop().time()
            with pytest.raises(ConnectionError):
                while True:  # data, never the close the server waits for
                    writer.write(frame(2, b"x") * 1000)
                    await writer.drain()
                    assert len(ws.messages) <= 2
                    await asyncio.sleep(0.01)
            assert asyncio.get_running_loop().time() - start < 3

    run(main())


@pytest.mark.parametrize("flood", ["messages", "pings"])
def test_a_flooding_client_stops_being_read(flood):
    sessions = []

    async def handler(request):
        sessions.append(await request.websocket())
        await asyncio.sleep(TIMEOUT)
        return Response(200)

    async def main():
        async with Serving(handler, ws_max_queue=4, ws_per_message_deflate=False) as s:
            reader, writer, head = await open_raw(s.url, opening())
            while not sessions:
                await asyncio.sleep(0.01)
            for sock in (writer.get_extra_info("socket"), sessions[0].channel.link.transport.get_extra_info("socket")):
                for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):  # small kernel buffers fill soon
                    sock.setsockopt(socket.SOL_SOCKET, option, 16384)
            count = 0
            try:
                while True:  # until the client's own buffers are full too
                    writer.write(b"".join(frame(9 if flood == "pings" else 2, b"%d" % n)
                                          for n in range(count + 1, count + 1001)))
                    count += 1000
                    await asyncio.wait_for(writer.drain(), 1.0)
            except asyncio.TimeoutError:
                pass
            ws = sessions[0]
            # Held: a few queued messages, one read's worth of frames, the buffers.
            assert len(ws.messages) <= 4 + 65536 // 7 and ws.channel.link.inbox_size <= 2 * 65536
            assert count > 10_000
            if flood == "messages":  # nothing was lost: the flood is read as the queue empties
                for n in range(1, 1000):
                    assert await ws.receive() == b"%d" % n
            writer.transport.abort()

    run(main())


def test_the_server_ends_silent_clients_and_says_when_it_goes():
    async def main():
        s = await Serving(ASGIApp(echo_app), ws_ping_interval=0.1, ws_ping_timeout=0.5).__aenter__()
        async with connect(s.url, ping_interval=None) as ws:  # answers pings all the same
            await asyncio.sleep(0.8)
            await ws.send("still")
            assert await ws.recv() == "still"
        reader, writer, head = await open_raw(s.url, opening())  # answers none
        assert await asyncio.wait_for(close_code(reader), 5) == 1011
        writer.close()
        async with connect(s.url) as ws:
            closing = asyncio.ensure_future(s.__aexit__())
            with pytest.raises(ConnectionClosed) as closed:
                await ws.recv()
            assert closed.value.rcvd.code == 1001
            await closing

    run(main())


def starlette_app():
    from fastapi import FastAPI, WebSocket, WebSocketDisconnect
    from starlette.responses import PlainTextResponse

    app = FastAPI()
    app.state.left = []

    @app.websocket("/chat/{room}")
    async def chat(websocket: WebSocket, room: str):
        await websocket.accept(subprotocol="v1")
        try:
            while True:
                data = await websocket.receive_json()
                await websocket.send_json({"room": room, "got": data})
        except WebSocketDisconnect as e:
            app.state.left.append(e.code)

    @app.websocket("/guarded")
    async def guarded(websocket: WebSocket):
        await websocket.close(code=1008)

    @app.websocket("/private")
    async def private(websocket: WebSocket):
        await websocket.send_denial_response(PlainTextResponse("sign in first", 401))
    return app


def test_fastapi_routes():
    app = starlette_app()

    async def main():
        async with Serving(ASGIApp(app)) as s:
            async with connect(s.url + "/chat/7", subprotocols=["v1"]) as ws:
                await ws.send('{"n": 1}')
                assert await ws.recv() == '{"room":"7","got":{"n":1}}'
            for path, status in (("/guarded", 403), ("/nowhere", 403), ("/private", 401)):
                reader, writer, head = await open_raw(s.url, opening(path.encode()))
                assert head.startswith(b"HTTP/1.1 %d " % status)
                writer.close()
            await asyncio.sleep(0.05)
            assert app.state.left == [1000]

    run(main())


@pytest.mark.parametrize("serve", [ASGIApp(echo_app), echo_handler], ids=["asgi", "handler"])
def test_http2_extended_connect(serve, capsys):
    echo_app.last = None

    async def main():
        async with Serving(serve) as s:
            reader, writer = await asyncio.open_connection(*s.url[5:].split(":"))
            h2c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
            h2c.initiate_connection()
            ws = wsproto.connection.Connection(wsproto.connection.ConnectionType.CLIENT)
            events, got, part = [], [], []

            async def exchange(until):
                while True:
                    writer.write(h2c.data_to_send())
                    if until():
                        return
                    for e in h2c.receive_data(await reader.read(65536)):
                        events.append(e)
                        if isinstance(e, h2.events.DataReceived) and e.data:
                            h2c.acknowledge_received_data(e.flow_controlled_length, 1)
                            ws.receive_data(e.data)
                            for m in ws.events():  # wsproto hands over a message in parts
                                part.append(getattr(m, "data", m))
                                if getattr(m, "message_finished", True):
                                    got.append(part[0] if len(part) == 1 else type(part[0])().join(part))
                                    part.clear()

            await exchange(lambda: any(isinstance(e, h2.events.RemoteSettingsChanged) for e in events))
            assert h2c.remote_settings[h2.settings.SettingCodes.ENABLE_CONNECT_PROTOCOL] == 1
            h2c.send_headers(1, [(":method", "CONNECT"), (":protocol", "websocket"), (":scheme", "http"),
                                 (":path", "/over/h2"), (":authority", "x"), ("sec-websocket-version", "13"),
                                 ("sec-websocket-protocol", "p")])
            await exchange(lambda: any(isinstance(e, h2.events.ResponseReceived) for e in events))
            head = dict(next(e for e in events if isinstance(e, h2.events.ResponseReceived)).headers)
            assert head[b":status"] == b"200" and head[b"sec-websocket-protocol"] == b"p"
            sent = [wsproto.events.TextMessage("over h2"), wsproto.events.BytesMessage(b"\1" * 70000),
                    wsproto.events.CloseConnection(4001, "done")]
            for n, message in enumerate(sent, 1):
                data = ws.send(message)
                for i in range(0, len(data), 16384):
                    h2c.send_data(1, data[i:i + 16384])
                await exchange(lambda: len(got) == n)
            assert got[:2] == ["over h2", b"\1" * 70000] and got[2].code == 4001
            await asyncio.sleep(0.05)
            assert echo_app.last["code"] == 4001 and "Traceback" not in capsys.readouterr().err
            writer.close()

    run(main())


PAGE = b"""<!doctype html><script>
const ws = new WebSocket(location.origin.replace("http", "ws") + "/ws", ["chat"]);
ws.onopen = () => ws.send("hello " + "x".repeat(70000));
ws.onmessage = (e) => {
  fetch("/done?" + [e.data.length, e.data.slice(0, 5), ws.protocol, ws.extensions.split(";")[0]].join(","));
  ws.close(4000, "bye");
};
ws.onerror = () => fetch("/done?error");
</script>"""


@pytest.mark.parametrize("tls", [False, True], ids=["http1", "http2-tls"])
def test_chromium(tls, tmp_path):
    if shutil.which("chromium") is None or (tls and shutil.which("openssl") is None):
        pytest.skip("chromium (and openssl for TLS) not installed")
    seen = {}

    async def handler(request):
        if request.path == "/ws":
            seen["version"] = request.version
            ws = await request.websocket("chat")
            async for message in ws:
                await ws.send(message.upper())
            seen["closed"] = ws.close_code
        elif request.path == "/done":
            if not seen["done"].done():
                seen["done"].set_result(request.query)
        return Response(200, {"content-type": "text/html"}, PAGE)

    async def main():
        seen["done"] = asyncio.get_running_loop().create_future()
        ctx = None
        if tls:  # a browser speaks HTTP/2 only over TLS, and then opens its WebSocket on the same connection
            crt, key = tmp_path / "crt.pem", tmp_path / "key.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=x",
                            "-keyout", key, "-out", crt], check=True, capture_output=True)
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ctx.load_cert_chain(crt, key)
            ctx.set_alpn_protocols(["h2", "http/1.1"])
        # The browser is not ours to sanitize: a sanitizer preloaded for
        # this process would break it.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        async with Serving(handler, ssl=ctx) as s:
            browser = await asyncio.create_subprocess_exec(
                "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--ignore-certificate-errors",
                f"--user-data-dir={tmp_path}", s.url.replace("ws", "https" if tls else "http", 1) + "/",
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            try:
                assert await seen["done"] == "70006,HELLO,chat,permessage-deflate"
                await asyncio.sleep(0.2)
            finally:
                browser.kill()
                await browser.wait()
        assert seen["version"] == ("HTTP/2" if tls else "HTTP/1.1") and seen["closed"] == 4000

    run(main())
