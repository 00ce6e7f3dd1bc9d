"""The client's WebSocket: the opening handshake over HTTP/1.1 (an
Upgrade on a connection of its own) or, when the client speaks HTTP/2 and
the server allows extended CONNECT, on a stream of a pooled HTTP/2
connection; then the same session the server runs
(`quillon.websocket.WebSocket`), over the `websockets` package's client
framing, which masks what it sends.

    async with client.websocket("wss://example.org/chat") as ws:
        await ws.send("hello")
        async for message in ws:
            ..."""

from __future__ import annotations

import asyncio
import base64
import contextlib
import os
from collections.abc import AsyncIterator, Sequence
from typing import TYPE_CHECKING, Any, cast

import _quillon as q
from websockets.client import ClientProtocol
from websockets.datastructures import Headers
from websockets.exceptions import InvalidHandshake
from websockets.extensions.base import ClientExtensionFactory
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory
from websockets.protocol import State
from websockets.typing import Subprotocol
from websockets.uri import parse_uri

from ..websocket import INTERNAL_ERROR, NORMAL, Options, StreamChannel, WebSocket, WebSocketClosed, accept_key
from ._errors import HTTPError, ReadError, ReadTimeout, RemoteProtocolError, TooLarge, TransportError
from ._h1 import Switched
from ._h2 import H2Connection
from ._models import HeaderInit, ParamInit, Request, Response, Timeout
from ._net import Stale, Transport, within
from ._pool import Key

if TYPE_CHECKING:
    from ._client import Client

# What of a refusal's body the exception keeps: enough for an error page.
REFUSAL_BODY = 65536
UNSENT_TRIES = 3


class WebSocketRejected(HTTPError):
    """The server answered the opening with something else than a switch
    to WebSocket: `status_code`, `headers` and `content` are its answer's
    (`response` the whole answer)."""

    def __init__(self, response: Response) -> None:
        super().__init__(f"the server refused the WebSocket: {response.status_code} {response.reason_phrase}".rstrip())
        self.response = response
        self.status_code = response.status_code
        self.headers = response.headers
        self.content = response.content if response._content is not None else b""


class ClientWebSocket(WebSocket):
    """A WebSocket the client opened. Beyond the session's `send`,
    `receive`, `async for`, `close`, `close_code` and `close_reason`:
    `subprotocol` (the one the server chose, or None), and the server's
    answer to the opening (`status_code`, `headers`, `http_version`)."""

    status_code: int
    headers: q.HeaderMap
    http_version: str


class TransportChannel:
    """The socket after the switch: first the bytes read past the 101's
    head, then the socket's. A write the server takes nothing of for the
    write timeout cuts the connection, as any failed write does."""

    def __init__(self, transport: Transport, leftover: bytes, write_timeout: float | None) -> None:
        self.transport = transport
        self.leftover = leftover
        self.write_timeout = write_timeout

    async def recv(self) -> bytes:
        if self.leftover:
            data, self.leftover = self.leftover, b""
            return data
        return await self.transport.read()

    async def send(self, data: bytes) -> None:
        if data:
            if self.transport.transport is None or self.transport.transport.is_closing():
                raise ConnectionResetError("connection closed")
            self.transport.write(data)
        try:
            await within(self.transport.drain(), self.write_timeout)
        except asyncio.TimeoutError:
            raise ConnectionResetError(f"the server took nothing for {self.write_timeout}s") from None

    async def close(self) -> None:
        self.transport.close()

    def abort(self) -> None:
        if self.transport.transport is not None:
            self.transport.transport.abort()


def websocket_url(url: str) -> str:
    """The http(s) URL an opening is sent to: ws: and wss: name the same
    resources as http: and https:."""
    scheme, sep, rest = url.partition(":")
    lower = scheme.lower()
    if sep and lower in ("ws", "wss"):
        return ("https" if lower == "wss" else "http") + ":" + rest
    return url


def opening_headers(key: str | None, subprotocols: Sequence[str], framing: ClientProtocol) -> dict[str, str]:
    fields = {"sec-websocket-version": "13"}
    if key is not None:  # HTTP/1.1's; an HTTP/2 stream needs no proof it was understood
        fields.update({"upgrade": "websocket", "connection": "Upgrade", "sec-websocket-key": key})
    if subprotocols:
        fields["sec-websocket-protocol"] = ", ".join(subprotocols)
    offers: list[ClientExtensionFactory] = list(framing.available_extensions or ())
    if offers:
        fields["sec-websocket-extensions"] = ", ".join(
            "; ".join([f.name, *(k if v is None else f"{k}={v}" for k, v in f.get_request_params())])
            for f in offers)
    return fields


def negotiate(framing: ClientProtocol, fields: q.HeaderMap) -> None:
    """Takes the server's choice of subprotocol and extensions; a choice
    we did not offer fails the opening."""
    headers = Headers([(name, value.decode("latin-1")) for name, value in fields.items()
                       if name.lower().startswith("sec-websocket-")])
    try:
        framing.extensions = framing.process_extensions(headers)
        framing.subprotocol = framing.process_subprotocol(headers)
    except InvalidHandshake as e:
        raise RemoteProtocolError(f"bad WebSocket answer: {e}") from e


@contextlib.asynccontextmanager
async def open_websocket(client: Client, url: str, subprotocols: Sequence[str], headers: HeaderInit | None,
                         params: ParamInit | None, auth: tuple[str, str] | None, timeout: Timeout,
                         options: Options) -> AsyncIterator[ClientWebSocket]:
    ws = await connect(client, url, subprotocols, headers, params, auth, timeout, options)
    try:
        yield ws
    except asyncio.CancelledError:
        ws.abort()
        raise
    except BaseException:
        await ws.close(INTERNAL_ERROR)
        raise
    else:
        await ws.close(NORMAL)


async def connect(client: Client, url: str, subprotocols: Sequence[str], headers: HeaderInit | None,
                  params: ParamInit | None, auth: tuple[str, str] | None, timeout: Timeout,
                  options: Options) -> ClientWebSocket:
    """Opens the WebSocket: over HTTP/2 when the client speaks it and the
    server allows, else with the Upgrade request on a pooled HTTP/1.1
    connection (pooled apart from the client's other requests, as one
    that switches is never given back), checked, then the socket taken."""
    if client.http2:
        ws = await connect_h2(client, url, subprotocols, headers, params, auth, timeout, options)
        if ws is not None:
            return ws
    key = base64.b64encode(os.urandom(16)).decode()
    request, framing = opening(client, "GET", url, key, subprotocols, headers, params, auth, options)
    route, _target, _proxy_auth = client.route(request)
    pool_key = ("wss" if request.scheme == "https" else "ws", route[1], route[2], route[3])
    request.headers.setdefault("host", request.authority)
    response = await exchange(client, pool_key, request, timeout)
    client.cookies.take_from(response)
    source = response._source
    if response.status_code != 101 or not isinstance(source, Switched):
        raise await refused(response)
    try:
        accepted = response.headers.get_all("sec-websocket-accept")
        if [a.strip() for a in accepted] != [accept_key(key.encode()).encode()]:
            raise RemoteProtocolError("bad WebSocket answer: wrong Sec-WebSocket-Accept")
        if not any(t.strip().lower() == b"websocket" for v in response.headers.get_all("upgrade")
                   for t in v.split(b",")):
            raise RemoteProtocolError("bad WebSocket answer: it switched to another protocol")
        negotiate(framing, response.headers)
    except BaseException:
        await response.aclose()
        raise
    transport, leftover = source.take()
    ws = ClientWebSocket(TransportChannel(transport, leftover, timeout.write), framing, options,
                         framing.subprotocol)
    ws.status_code, ws.headers, ws.http_version = 101, response.headers, response.http_version
    return ws


def opening(client: Client, method: str, url: str, key: str | None, subprotocols: Sequence[str],
            headers: HeaderInit | None, params: ParamInit | None, auth: tuple[str, str] | None,
            options: Options) -> tuple[Request, ClientProtocol]:
    request = client.build_request(method, websocket_url(url), params=params, headers=headers, auth=auth)
    framing = ClientProtocol(parse_uri("ws://placeholder/"), state=State.OPEN, max_size=options.max_size,
                             subprotocols=[Subprotocol(s) for s in subprotocols] or None,
                             extensions=[ClientPerMessageDeflateFactory(client_max_window_bits=True)]
                             if options.per_message_deflate else None)
    for name, value in opening_headers(key, subprotocols, framing).items():
        request.headers[name] = value
    if "accept-encoding" in request.headers:  # (a body only comes with a refusal)
        del request.headers["accept-encoding"]
    if "cookie" not in request.headers:
        client.cookies.add_to(request)
    return request, framing


async def refused(response: Response) -> WebSocketRejected:
    try:
        await response.aread(REFUSAL_BODY)
    except (TooLarge, TransportError):
        pass
    finally:
        await response.aclose()
    return WebSocketRejected(response)


async def connect_h2(client: Client, url: str, subprotocols: Sequence[str], headers: HeaderInit | None,
                     params: ParamInit | None, auth: tuple[str, str] | None, timeout: Timeout,
                     options: Options) -> ClientWebSocket | None:
    """The WebSocket on a stream of the origin's HTTP/2 connection (an
    extended CONNECT); None when the origin speaks HTTP/1.1 or its server
    does not allow extended CONNECT."""
    from ._client import wrap

    request, framing = opening(client, "CONNECT", url, None, subprotocols, headers, params, auth, options)
    key, _target, _proxy_auth = client.route(request)
    if key[3] and request.scheme == "http":
        return None  # a forward proxy speaks HTTP/1.1
    pool = client.pool
    conn = await pool.acquire(key, request, timeout)
    if not isinstance(conn, H2Connection):
        conn.release()
        return None
    if not conn.settled.is_set():
        # The server's first SETTINGS say whether it takes extended CONNECT.
        waiter = asyncio.ensure_future(conn.settled.wait())
        either: list[asyncio.Future[Any]] = [waiter, conn.life]
        try:
            await asyncio.wait(either, timeout=timeout.read, return_when=asyncio.FIRST_COMPLETED)
        finally:
            waiter.cancel()
        if not conn.settled.is_set():
            conn.release()
            if conn.life.done():
                pool.forget(key, conn)
                raise ReadError("the HTTP/2 connection closed before the server's SETTINGS")
            raise ReadTimeout(f"no SETTINGS from the server for {timeout.read}s")
    if not conn.peer_enable_connect_protocol:
        conn.release()
        return None
    try:
        status, fields, version, body = await conn.handle(request.with_headers(q.HeaderMap(request.headers)),
                                                          timeout, protocol="websocket")
    except Stale:
        pool.forget(key, conn)
        return None  # the connection is going away: HTTP/1.1 it is
    except HTTPError:
        if not conn.usable:
            pool.forget(key, conn)
        raise
    except (q.QuillonError, ConnectionError, OSError) as e:
        pool.forget(key, conn)
        raise wrap(e) from e
    response = Response(status, fields, version, request, body)
    client.cookies.take_from(response)
    if not 200 <= status < 300:
        raise await refused(response)
    try:
        negotiate(framing, fields)
    except BaseException:
        await response.aclose()
        raise
    # (The server's WebSocket channel works on any HTTP/2 driver's stream.)
    ws = ClientWebSocket(StreamChannel(cast(Any, conn), body.stream), framing, options, framing.subprotocol)
    ws.status_code, ws.headers, ws.http_version = status, fields, version
    return ws


async def exchange(client: Client, key: Key, request: Request, timeout: Timeout) -> Response:
    """The opening and its answer's head. A kept-alive connection that
    turns out closed gets the opening again on another: it has no body
    and asks for nothing the server could have acted on."""
    from ._client import wrap

    pool = client.pool
    for _attempt in range(UNSENT_TRIES):
        conn = await pool.acquire(key, request, timeout)
        try:
            status, fields, version, source = await conn.handle(request, timeout)
        except Stale:
            pool.forget(key, conn)
            continue
        except HTTPError:
            if not conn.usable:
                pool.forget(key, conn)
            raise
        except (q.QuillonError, ConnectionError, OSError) as e:
            pool.forget(key, conn)
            raise wrap(e) from e
        return Response(status, fields, version, request, source)
    raise ReadError("the server closed every connection the WebSocket opening was sent on")


__all__ = ["ClientWebSocket", "WebSocketRejected", "WebSocketClosed", "open_websocket"]
