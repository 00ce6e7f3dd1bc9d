"""WebSocket: RFC 6455 over an HTTP/1.1 Upgrade, RFC 8441 over an HTTP/2
extended CONNECT stream, for handlers (`ws = await request.websocket()`)
and ASGI applications (the `websocket` scope).

A driver marks a request that opens a WebSocket by setting
`request.upgrade` to its opening (`H1Opening`, `H2Opening`): the one thing
that differs between the protocols, how the answer goes out and what
carries the frames afterwards (a `Channel`: the raw socket with the bytes
the HTTP/1 state had already buffered, or the stream's DATA both ways).
Everything else is shared: the opening's checks, the session, the limits.

The framing is the `websockets` package's sans-IO `ServerProtocol`: it
checks every received frame (masking, reserved bits, control frame size
and fragmentation, close codes, the message size limit, through
permessage-deflate too), unmasks in C and compresses, and that package's
own asyncio server runs on the same layer, so it is kept well. (wsproto,
the other sans-IO choice, unmasks in Python: several times the CPU per
byte of a large message.) Only the socket work, the message queue and the
keepalive are ours.

Memory per session is bounded: a message is at most `max_size` bytes,
at most `max_queue` of them wait for the application before reading
stops (the client then waits in its own send buffer), and what a client
makes the server write (pongs to a ping flood) stops reading as the
write buffer fills."""

from __future__ import annotations

import asyncio
import base64
import binascii
import codecs
import collections
import hashlib
import logging
import os
from collections.abc import MutableMapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Protocol

import _quillon as q
from websockets.datastructures import Headers
from websockets.exceptions import InvalidHandshake, InvalidState
from websockets.extensions.base import Extension
from websockets.extensions.permessage_deflate import ServerPerMessageDeflateFactory
from websockets.frames import Frame, Opcode
from websockets.protocol import Protocol as Framing
from websockets.protocol import State
from websockets.server import ServerProtocol

from .handler import HeaderInit, Refused, Request, Response

if TYPE_CHECKING:
    from .h1server import H1ServerConnection
    from .h2 import H2Stream
    from .h2server import H2ServerConnection
    from .link import Link

log = logging.getLogger("quillon.websocket")

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
NORMAL, GOING_AWAY, ABNORMAL, INTERNAL_ERROR = 1000, 1001, 1006, 1011
TEXT_HEADERS = {"content-type": "text/plain; charset=utf-8"}


@dataclass(frozen=True)
class Options:
    """The server's WebSocket limits (`Config`'s `ws_*` settings)."""

    max_size: int | None = 16 * 1024 * 1024  # largest message received, bytes
    max_queue: int = 32  # received messages held for the application before reading stops
    ping_interval: float | None = 20.0
    ping_timeout: float | None = 20.0
    per_message_deflate: bool = True
    close_timeout: float = 10.0  # how long a closing handshake may take before the connection is cut


class WebSocketClosed(ConnectionError):
    """The WebSocket is closed: `code` and `reason` are the client's close
    frame's (1006 when the connection ended without one)."""

    def __init__(self, code: int, reason: str = "") -> None:
        super().__init__(f"WebSocket closed ({code}{': ' + reason if reason else ''})")
        self.code = code
        self.reason = reason


# ---------------------------------------------------------------------------
# What carries the frames


class Channel(Protocol):
    async def recv(self) -> bytes:
        """The next bytes from the client; b"" at the end of its input."""

    async def send(self, data: bytes) -> None:
        """Sends `data` in order with every earlier send; ConnectionError
        once that is impossible."""

    async def close(self) -> None:
        """Ends our side once what was sent is out."""

    def abort(self) -> None: ...


class Opening:
    """A request that opens a WebSocket, as its driver answers it: `switch`
    sends the acceptance with `headers` and returns the channel."""

    version = "HTTP/1.1"

    def __init__(self, request: Request, options: Options, registry: set[Any]) -> None:
        self.request = request
        self.options = options
        self.registry = registry  # the server's open connections, told of a shutdown
        self.session: WebSocket | None = None  # the accepted session, until its end is settled
        self.switched = False  # the acceptance went out: the handler's response is not sent

    async def switch(self, headers: q.HeaderMap) -> Channel:
        raise NotImplementedError

    async def end(self, response: Response) -> None:
        """The handler returned after accepting: a session it left open
        ends (1011 when the handler failed)."""
        if self.session is not None:
            await self.session.close(INTERNAL_ERROR if response.status >= 500 else NORMAL)


class H1Opening(Opening):
    """An `Upgrade: websocket` request: accepted with 101, after which the
    HTTP/1 state hands over the socket and the bytes it had buffered."""

    def __init__(self, conn: H1ServerConnection, seq: int, request: Request, options: Options) -> None:
        super().__init__(request, options, conn.site.connections)
        self.conn, self.seq = conn, seq

    async def switch(self, headers: q.HeaderMap) -> Channel:
        conn = self.conn
        while True:
            code, head, _armed = conn.respond_head(self.seq, 101, headers, None)
            if code != q.H1_REQ_CONTINUE:
                break
        if code != q.H1_REQ_OK or head is None:
            raise ConnectionResetError("client closed")
        link = conn.link
        link.write(head)
        switched, _close, transport, leftover = conn.finish_response(self.seq)
        if not switched or transport is None:
            raise ConnectionResetError("connection closed")
        self.switched = True
        link.sink = None  # every read is the session's now
        conn.site.connections.discard(conn)
        conn.site.log(link.peer, self.request, 101)
        return LinkChannel(link, leftover or b"")


class LinkChannel:
    """The raw socket after an HTTP/1 switch: first the bytes the HTTP/1
    state had read past the request, then the socket's."""

    def __init__(self, link: Link, leftover: bytes) -> None:
        self.link = link
        self.leftover = leftover

    async def recv(self) -> bytes:
        if self.leftover:
            data, self.leftover = self.leftover, b""
            return data
        return await self.link.read()

    async def send(self, data: bytes) -> None:
        if data:
            if self.link.transport is None or self.link.transport.is_closing():
                raise ConnectionResetError("connection closed")
            self.link.write(data)
        await self.link.drain()

    async def close(self) -> None:
        self.link.close()

    def abort(self) -> None:
        self.link.abort()


class H2Opening(Opening):
    """An extended CONNECT with `:protocol websocket`: accepted with 200,
    after which the stream's DATA carries the frames both ways."""

    version = "HTTP/2"

    def __init__(self, conn: H2ServerConnection, stream: H2Stream, request: Request, options: Options,
                 registry: set[Any]) -> None:
        super().__init__(request, options, registry)
        self.conn, self.stream = conn, stream

    async def switch(self, headers: q.HeaderMap) -> Channel:
        conn, stream = self.conn, self.stream
        v = conn.send_response_head(stream.sid, 200, headers, False)
        conn.wake(v.flags)
        if v.stopped is not None:
            raise ConnectionResetError("stream reset")
        stream.status = 200
        self.switched = True
        conn.site.log(conn.peer, self.request, 200)
        return StreamChannel(conn, stream)


class StreamChannel:
    """A WebSocket's HTTP/2 stream. Its received DATA is taken (and the
    window given back) only as the session reads, so a client that floods
    a session whose queue is full meets flow control. No body timeout
    applies: an idle WebSocket is the pings' to judge."""

    def __init__(self, conn: H2ServerConnection, stream: H2Stream) -> None:
        self.conn, self.stream = conn, stream
        self.lock = asyncio.Lock()  # one send at a time: DATA frames of two sends must not interleave
        self.ended = False

    async def recv(self) -> bytes:
        stream = self.stream
        while True:
            if stream.chunks:
                return self.conn.consume(stream)
            if stream.eof or stream.stop is not None:
                return b""
            stream.data.clear()
            await stream.data.wait()

    async def send(self, data: bytes) -> None:
        async with self.lock:
            if self.ended or not await self.conn.send_all(self.stream, data, False):
                raise ConnectionResetError("stream closed")

    async def close(self) -> None:
        async with self.lock:
            if not self.ended and self.stream.stop is None:
                self.ended = True
                await self.conn.send_all(self.stream, b"", True)

    def abort(self) -> None:
        if self.stream.stop is None:
            self.conn.reset(self.conn.reset_stream(self.stream.sid, int(q.H2Reason.CANCEL)))


def upgrade_asked(headers: q.HeaderMap) -> bool:
    """Whether an HTTP/1 upgrade request asks for a WebSocket."""
    return any(token.strip().lower() == b"websocket" for value in headers.get_all("upgrade")
               for token in value.split(b","))


# ---------------------------------------------------------------------------
# The opening


class Handshake:
    """What a well-formed opening asked for: its key (HTTP/1), the
    subprotocols offered, and the extensions the server takes."""

    def __init__(self, key: bytes | None, subprotocols: list[str], extensions_header: str | None,
                 extensions: list[Extension]) -> None:
        self.key = key
        self.subprotocols = subprotocols
        self.extensions_header = extensions_header
        self.extensions = extensions


def refusal(status: int, text: str, headers: dict[str, str] | None = None) -> Response:
    return Response(status, {**TEXT_HEADERS, **(headers or {})}, f"{text}\n".encode())


def tokens(values: list[bytes]) -> list[str]:
    return [t.strip() for v in values for t in v.decode("latin-1").split(",") if t.strip()]


def handshake(request: Request, opening: Opening) -> Handshake | Response:
    """The opening's checks: a `Handshake`, or the HTTP error to answer."""
    headers = request.headers
    versions = headers.get_all("sec-websocket-version")
    if [v.strip() for v in versions] != [b"13"]:
        return refusal(426, "WebSocket version 13 is required", {"sec-websocket-version": "13"})
    key = None
    if opening.version == "HTTP/1.1":
        if not request.body_complete:  # (over HTTP/2 the stream's DATA is the WebSocket)
            return refusal(400, "a WebSocket opening has no body")
        if request.method != "GET":
            return refusal(400, "a WebSocket opens with GET")
        if "upgrade" not in [t.lower() for t in tokens(headers.get_all("connection"))]:
            return refusal(400, "a WebSocket opening says 'Connection: Upgrade'")
        keys = headers.get_all("sec-websocket-key")
        try:
            if len(keys) != 1 or len(base64.b64decode(keys[0].strip(), validate=True)) != 16:
                raise ValueError
        except (ValueError, binascii.Error):
            return refusal(400, "bad Sec-WebSocket-Key")
        key = keys[0].strip()
    header: str | None = None
    extensions: list[Extension] = []
    offers = headers.get_all("sec-websocket-extensions")
    if offers and opening.options.per_message_deflate:
        probe = ServerProtocol(extensions=[deflate()])
        try:
            header, extensions = probe.process_extensions(
                Headers([("Sec-WebSocket-Extensions", v.decode("latin-1")) for v in offers]))
        except InvalidHandshake as e:
            return refusal(400, f"bad Sec-WebSocket-Extensions: {e}")
    return Handshake(key, tokens(headers.get_all("sec-websocket-protocol")), header, extensions)


def deflate() -> ServerPerMessageDeflateFactory:
    # Small windows: a compressing session costs tens of KiB, not hundreds.
    return ServerPerMessageDeflateFactory(server_max_window_bits=12, client_max_window_bits=12,
                                          compress_settings={"memLevel": 5})


def accept_key(key: bytes) -> str:
    return base64.b64encode(hashlib.sha1(key + GUID).digest()).decode()


async def accept(request: Request, subprotocol: str | None = None, headers: HeaderInit = None) -> WebSocket:
    """Accepts the WebSocket `request` opens (see `Request.websocket`)."""
    opening = request.upgrade
    if not isinstance(opening, Opening):
        raise Refused(refusal(426, "this resource is a WebSocket", {"upgrade": "websocket",
                                                                   "connection": "Upgrade"}))
    if opening.session is not None:
        raise RuntimeError("this WebSocket is already accepted")
    shake = handshake(request, opening)
    if isinstance(shake, Response):
        raise Refused(shake)
    return await open_session(opening, shake, subprotocol, headers)


async def open_session(opening: Opening, shake: Handshake, subprotocol: str | None,
                       extra: HeaderInit | list[tuple[bytes, bytes]]) -> WebSocket:
    out = q.HeaderMap()
    if opening.version == "HTTP/1.1":
        assert shake.key is not None
        out["upgrade"] = "websocket"
        out["connection"] = "Upgrade"
        out["sec-websocket-accept"] = accept_key(shake.key)
    if shake.extensions_header is not None:
        out["sec-websocket-extensions"] = shake.extensions_header
    if subprotocol is not None:
        out["sec-websocket-protocol"] = subprotocol
    if extra:
        items: Any = extra.items() if isinstance(extra, (dict, q.HeaderMap)) else extra
        for name, value in items:
            if name.lower() not in (b"sec-websocket-accept", "sec-websocket-accept"):
                out.add(name, value)
    options = opening.options
    protocol = ServerProtocol(state=State.OPEN, max_size=options.max_size)
    protocol.extensions = shake.extensions
    protocol.subprotocol = subprotocol  # type: ignore[assignment]
    channel = await opening.switch(out)
    session = opening.session = WebSocket(channel, protocol, options, subprotocol, opening.registry)
    return session


# ---------------------------------------------------------------------------
# The session


class WebSocket:
    """An accepted WebSocket.

        message = await ws.receive()      # str or bytes; WebSocketClosed once closed
        await ws.send("text" or b"bytes")
        await ws.close(1000, "bye")

    or `async for message in ws`. `close_code` and `close_reason` say how
    it ended, once it has. Nothing in it is the server's but its framing
    (`protocol`), so a client's session is the same over a client framing."""

    def __init__(self, channel: Channel, protocol: Framing, options: Options, subprotocol: str | None,
                 registry: set[Any] | None = None) -> None:
        self.channel = channel
        self.protocol = protocol
        self.options = options
        self.subprotocol = subprotocol
        self.messages: collections.deque[str | bytes] = collections.deque()
        self.arrived = asyncio.Event()  # a message, or the end
        self.room = asyncio.Event()  # the application took a message from a full queue
        self.buffer = bytearray()  # a fragmented message so far
        self.decoder: Any = None  # the UTF-8 check of a fragmented text message
        self.binary = False
        self.pings: dict[bytes, asyncio.Future[None]] = {}
        self.ended = asyncio.Event()  # the connection is closed
        self.channel_closed = False
        self.cut = False  # the connection was aborted
        self.close_code: int | None = None
        self.close_reason = ""
        self.registry = registry
        self.closer: asyncio.Task[None] | None = None
        if registry is not None:
            registry.add(self)
        self.reader = asyncio.ensure_future(self.read_loop())
        self.keeper = (asyncio.ensure_future(self.keepalive(options.ping_interval, options.ping_timeout))
                       if options.ping_interval else None)

    # -- the application's side

    async def receive(self) -> str | bytes:
        while not self.messages:
            if self.ended.is_set():
                raise WebSocketClosed(self.close_code or ABNORMAL, self.close_reason)
            self.arrived.clear()
            await self.arrived.wait()
        message = self.messages.popleft()
        if len(self.messages) < self.options.max_queue:
            self.room.set()
        return message

    def __aiter__(self) -> WebSocket:
        return self

    async def __anext__(self) -> str | bytes:
        try:
            return await self.receive()
        except WebSocketClosed:
            raise StopAsyncIteration from None

    async def send(self, message: str | bytes) -> None:
        """Sends a text (str) or binary message; WebSocketClosed once the
        WebSocket is closing or closed."""
        p = self.protocol
        try:
            if isinstance(message, str):
                p.send_text(message.encode())
            else:
                p.send_binary(message)
        except InvalidState:
            raise WebSocketClosed(self.close_code or p.close_code or ABNORMAL, self.close_reason) from None
        await self.flush()

    async def close(self, code: int = NORMAL, reason: str = "") -> None:
        """Starts the closing handshake (unless it has begun) and waits for
        it to end, at most the close timeout."""
        p = self.protocol
        if p.state is State.OPEN:
            try:
                p.send_close(code, reason)
            except Exception:  # a code the application may not send: the session still closes
                p.send_close(INTERNAL_ERROR)
            self.room.set()  # a reader held back by a full queue reads on to the client's close
            await self.flush()
        try:
            await asyncio.wait_for(self.ended.wait(), self.options.close_timeout)
        except asyncio.TimeoutError:
            self.abort()
            await self.ended.wait()

    @property
    def closed(self) -> bool:
        return self.ended.is_set()

    # -- the server's side

    def request_shutdown(self) -> None:
        """The server is shutting down: the client is told (1001)."""
        if self.closer is None and not self.ended.is_set():
            self.closer = asyncio.ensure_future(self.close(GOING_AWAY, "server shutting down"))

    async def flush(self) -> None:
        writes = self.protocol.data_to_send()
        if not writes:
            return
        eof = b"" in writes
        data = b"".join(writes)
        try:
            await self.channel.send(data)
            if eof:
                await self.close_channel()
        except (ConnectionError, OSError):
            self.abort()

    def abort(self) -> None:
        """Cuts the connection; the reader sees its end."""
        self.cut = True
        self.channel.abort()
        self.room.set()

    async def close_channel(self) -> None:
        if not self.channel_closed:
            self.channel_closed = True
            await self.channel.close()

    async def read_loop(self) -> None:
        p, channel, options = self.protocol, self.channel, self.options
        loop = asyncio.get_running_loop()
        deadline = None  # once closing: when the client's close must have come
        try:
            while True:
                while len(self.messages) >= options.max_queue and p.state is State.OPEN and not self.cut:
                    self.room.clear()
                    await self.room.wait()
                try:
                    if p.state is State.OPEN:
                        data = await channel.recv()
                    else:
                        # Closing: the client gets the close timeout, in all, to finish.
                        if deadline is None:
                            deadline = loop.time() + options.close_timeout
                        data = await asyncio.wait_for(channel.recv(), max(0.0, deadline - loop.time()))
                except (ConnectionError, OSError):
                    data = b""
                except asyncio.TimeoutError:
                    channel.abort()
                    data = b""
                if data:
                    p.receive_data(data)
                else:
                    p.receive_eof()
                for frame in p.events_received():
                    if isinstance(frame, Frame) and not self.on_frame(frame):
                        break
                await self.flush()
                if not data or p.state is State.CLOSED:
                    break
        finally:
            self.close_code = int(p.close_code or ABNORMAL)
            self.close_reason = p.close_reason or ""
            if p.close_rcvd is None and p.close_sent is not None and p.close_sent.code != NORMAL:
                # We failed it (a bad frame, a message too big, no pong):
                # that code says why.
                self.close_code, self.close_reason = int(p.close_sent.code), p.close_sent.reason
            self.ended.set()
            self.arrived.set()
            for waiter in self.pings.values():
                waiter.cancel()
            self.pings.clear()
            if self.keeper is not None:
                self.keeper.cancel()
            if self.registry is not None:
                self.registry.discard(self)
            try:
                await self.close_channel()
            except (ConnectionError, OSError):
                channel.abort()

    def on_frame(self, frame: Frame) -> bool:
        """Takes one received frame; False when it failed the connection.

        A fragmented message gathers in one bytearray: a byte per byte
        received, however small its fragments (a list of pieces would cost
        dozens of bytes per one-byte fragment). Text is checked as it comes,
        so bad UTF-8 fails the connection at once, not at the message's end."""
        op = frame.opcode
        if op is Opcode.TEXT or op is Opcode.BINARY:
            self.binary = op is Opcode.BINARY
            if frame.fin:  # the common case: a whole message in one frame
                return self.deliver(frame.data)
            self.buffer = bytearray(frame.data)
            self.decoder = None if self.binary else codecs.getincrementaldecoder("utf-8")()
        elif op is Opcode.CONT:
            self.buffer += frame.data
        elif op is Opcode.PONG:
            self.ponged(bytes(frame.data))
            return True
        else:
            return True  # ping (answered by the framing) or close
        if self.decoder is not None:
            try:
                self.decoder.decode(frame.data, frame.fin)
            except UnicodeDecodeError as e:
                self.protocol.fail(1007, f"invalid UTF-8 at position {e.start}")
                return False
        if frame.fin:
            buffer, self.buffer, self.decoder = self.buffer, bytearray(), None
            return self.deliver(buffer)
        return True

    def deliver(self, data: bytes | bytearray | memoryview) -> bool:
        if len(self.messages) >= self.options.max_queue and self.protocol.state is not State.OPEN:
            return True  # we are closing and the application reads no more: dropped, not held
        if self.binary:
            self.messages.append(bytes(data))
        else:
            try:
                self.messages.append(str(data, "utf-8"))
            except UnicodeDecodeError as e:
                self.protocol.fail(1007, f"invalid UTF-8 at position {e.start}")
                return False
        self.arrived.set()
        return True

    def ponged(self, data: bytes) -> None:
        # A pong answers its ping and every earlier one.
        if data in self.pings:
            for payload in list(self.pings):
                waiter = self.pings.pop(payload)
                if not waiter.done():
                    waiter.set_result(None)
                if payload == data:
                    break

    async def keepalive(self, interval: float, timeout: float | None) -> None:
        loop = asyncio.get_running_loop()
        p = self.protocol
        while True:
            await asyncio.sleep(interval)
            if p.state is not State.OPEN:
                return
            payload = os.urandom(4)
            p.send_ping(payload)
            if timeout is None:  # nothing awaits the pong: nothing is kept for it
                await self.flush()
                continue
            waiter = self.pings[payload] = loop.create_future()
            await self.flush()
            try:
                await asyncio.wait_for(asyncio.shield(waiter), timeout)
            except asyncio.TimeoutError:
                if p.state is State.OPEN:
                    p.fail(INTERNAL_ERROR, "keepalive ping timeout")
                    await self.flush()
                self.abort()
                return


# ---------------------------------------------------------------------------
# ASGI

CONNECTING, OPEN, RESPONDING, CLOSED = range(4)


class ASGISession:
    """One `websocket` scope: the application's `receive` and `send`, and
    what the handler answers once the application has decided (accepted,
    closed before accepting: 403, or answered with HTTP itself)."""

    def __init__(self, request: Request, opening: Opening, shake: Handshake) -> None:
        self.request, self.opening, self.shake = request, opening, shake
        self.stage = CONNECTING
        self.connected = False
        self.ws: WebSocket | None = None
        self.status = 403
        self.headers: Any = None
        self.body: list[bytes] = []
        self.decided = asyncio.get_running_loop().create_future()

    def decide(self) -> None:
        if not self.decided.done():
            self.decided.set_result(None)

    async def receive(self) -> dict[str, Any]:
        if not self.connected:
            self.connected = True
            return {"type": "websocket.connect"}
        if self.stage == CONNECTING:
            await asyncio.shield(self.decided)
        ws = self.ws
        if ws is None:
            return {"type": "websocket.disconnect", "code": ABNORMAL, "reason": ""}
        try:
            message = await ws.receive()
        except WebSocketClosed as e:
            return {"type": "websocket.disconnect", "code": e.code, "reason": e.reason}
        if isinstance(message, str):
            return {"type": "websocket.receive", "text": message}
        return {"type": "websocket.receive", "bytes": message}

    async def send(self, message: dict[str, Any]) -> None:
        kind = message["type"]
        if self.stage == OPEN and self.ws is not None:
            if kind == "websocket.send":
                text, data = message.get("text"), message.get("bytes")
                await self.ws.send(text if text is not None else (data if data is not None else b""))
                return
            if kind == "websocket.close":
                self.stage = CLOSED
                await self.ws.close(message.get("code") or NORMAL, message.get("reason") or "")
                return
        elif self.stage == CONNECTING:
            if kind == "websocket.accept":
                self.ws = await open_session(self.opening, self.shake, message.get("subprotocol"),
                                             list(message.get("headers") or ()))
                self.stage = OPEN
                self.decide()
                return
            if kind == "websocket.close":
                self.stage = CLOSED
                self.decide()
                return
            if kind == "websocket.http.response.start":
                status = message["status"]
                if type(status) is not int or not 100 <= status <= 999 or status == 101:
                    raise ValueError(f"response status {status!r} cannot be sent")
                self.status, self.headers = status, q.HeaderMap(message.get("headers", ()))
                self.stage = RESPONDING
                return
        elif self.stage == RESPONDING and kind == "websocket.http.response.body":
            self.body.append(bytes(message.get("body", b"")))
            if not message.get("more_body", False):
                self.stage = CLOSED
                self.decide()
            return
        elif self.ws is not None or self.decided.done():
            raise WebSocketClosed(self.ws.close_code or ABNORMAL if self.ws is not None else ABNORMAL)
        raise RuntimeError(f"ASGI message {kind!r} not expected here")

    def response(self) -> Response:
        if self.headers is not None:
            return Response(self.status, self.headers, b"".join(self.body))
        return refusal(self.status, "WebSocket refused" if self.status == 403 else "internal server error")


def asgi_scope(http_scope: MutableMapping[str, Any], request: Request) -> dict[str, Any]:
    scope = dict(http_scope)
    scope["type"] = "websocket"
    scope["asgi"] = {"version": "3.0", "spec_version": "2.4"}
    scope["scheme"] = "wss" if request.scheme in ("https", "wss") else "ws"
    del scope["method"]
    scope["subprotocols"] = tokens(request.headers.get_all("sec-websocket-protocol"))
    scope["extensions"] = {"websocket.http.response": {}}
    return scope


async def run_asgi(app: Callable[..., Any], http_scope: MutableMapping[str, Any], request: Request, grace: float) -> Response:
    """Runs the application's `websocket` scope for `request`: the
    response for an opening it does not accept; otherwise the session runs
    to its end before this returns (what is returned then is not sent)."""
    opening = request.upgrade
    assert isinstance(opening, Opening)
    shake = handshake(request, opening)
    if isinstance(shake, Response):
        return shake
    session = ASGISession(request, opening, shake)
    task = asyncio.ensure_future(app(asgi_scope(http_scope, request), session.receive, session.send))
    failed = False
    try:
        await asyncio.wait((task, session.decided), return_when=asyncio.FIRST_COMPLETED)
        ws = session.ws
        if ws is None:
            if task.done() and not task.cancelled() and task.exception() is not None and not session.decided.done():
                log.error("ASGI application failed before accepting the WebSocket", exc_info=task.exception())
                session.status = 500
            session.decide()
            if not task.done():  # told of the end by `receive`; bounded like any other
                asyncio.get_running_loop().call_later(grace, task.cancel)
            return session.response()
        # Accepted: the session lasts until the application returns, or
        # (a grace period after the client left) is cancelled.
        ended = asyncio.ensure_future(ws.ended.wait())
        try:
            await asyncio.wait((task, ended), return_when=asyncio.FIRST_COMPLETED)
            if not task.done():
                await asyncio.wait((task,), timeout=grace)
        finally:
            ended.cancel()
        if not task.done():
            task.cancel()
            await asyncio.wait((task,))
        elif not task.cancelled() and task.exception() is not None:
            failed = not isinstance(task.exception(), ConnectionError)
            if failed:
                log.error("ASGI application failed on a WebSocket", exc_info=task.exception())
        await ws.close(INTERNAL_ERROR if failed else NORMAL)
        opening.session = None  # closed here: nothing left for the driver to end
        return Response(500 if failed else 200)
    except asyncio.CancelledError:
        task.cancel()
        if session.ws is not None:
            session.ws.abort()
        raise
