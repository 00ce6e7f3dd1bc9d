"""`Client`: requests to any number of origins over a pool of HTTP/1.1 and
HTTP/2 connections, with redirects, proxies, timeouts and retries."""

from __future__ import annotations

import base64
import contextlib
import ssl
from collections.abc import AsyncIterator, Mapping, Sequence
from http.cookiejar import CookieJar
from typing import Any
from urllib.parse import unquote, urljoin, urlsplit, urlunsplit

import _quillon as q

from ..websocket import Options as WSOptions
from ._cookies import Cookies
from ._errors import (HTTPError, LocalProtocolError, ReadError, RemoteProtocolError, TooManyRedirects,
                      TransportError)
from ._h1 import H1Connection
from ._h2 import H2Connection
from ._models import (ACCEPT_ENCODING, IDEMPOTENT, UNSET, Content, HeaderInit, Limits, ParamInit, Request,
                      Response, Timeout, encode_body, join_url, merge_headers, with_params)
from ._net import Stale, open_transport, tls_context
from ._pool import Connection, Key, Pool
from ._ws import ClientWebSocket, open_websocket

USER_AGENT = "quillon"
DEFAULT_TIMEOUT = Timeout(5.0)
DEFAULT_LIMITS = Limits()
WS_DEFAULTS = WSOptions()
# The largest body `request` reads whole: a server cannot make the client
# hold more (`stream` reads any size piece by piece).
MAX_BODY = 1 << 30
# Tries of a request no server acted on (refused, beyond a GOAWAY, never
# written) before the client gives up on it.
UNSENT_TRIES = 3
# Tries of a request left over by servers that went on answering others on
# the connection (a GOAWAY after so many requests): a burst larger than
# what one connection takes is served over a few connections in turn,
# while a server that never gets to this request still ends the retries.
BUSY_TRIES = 50
# Fields that carry the caller's credentials: never sent to another origin
# a redirect leads to.
CREDENTIALS = ("authorization", "proxy-authorization", "cookie")


class Client:
    """An HTTP client with a connection pool, in the shape httpx users know:

        async with Client(base_url="https://api.example", http2=True) as client:
            r = await client.get("/items", params={"page": 2})
            r.raise_for_status()
            items = r.json()

            async with client.stream("GET", "/big") as r:
                async for piece in r.aiter_bytes():
                    ...

    `http2=True` speaks HTTP/2 with prior knowledge to http: URLs and
    offers it by ALPN to https: ones. `verify` is True (system CAs), False,
    a CA bundle path or an `ssl.SSLContext`; `cert` a client certificate
    file or (cert, key[, password]). `trust_env` takes proxies from the
    environment (http_proxy, https_proxy, all_proxy, no_proxy). `cookies`
    (a dict or an `http.cookiejar.CookieJar`) starts the cookies kept
    from answers and sent with the requests they match (`client.cookies`)."""

    def __init__(self, *, base_url: str = "", headers: HeaderInit | None = None, params: ParamInit | None = None,
                 auth: tuple[str, str] | None = None, cookies: dict[str, str] | CookieJar | None = None,
                 timeout: Timeout | float | None = DEFAULT_TIMEOUT, limits: Limits = DEFAULT_LIMITS,
                 http2: bool = False, verify: bool | str | ssl.SSLContext = True,
                 cert: str | tuple[str, ...] | None = None, trust_env: bool = True,
                 follow_redirects: bool = False, max_redirects: int = 20, max_body: int | None = MAX_BODY,
                 insecure: bool = False) -> None:
        self.base_url = base_url
        self.headers = q.HeaderMap({"user-agent": USER_AGENT, "accept": "*/*", "accept-encoding": ACCEPT_ENCODING})
        if auth is not None:
            self.headers["authorization"] = basic_auth(*auth)
        merge_headers(self.headers, headers)
        self.params = params
        self.cookies = Cookies(jar=cookies) if isinstance(cookies, CookieJar) else Cookies(cookies)
        self.timeout = Timeout(timeout)
        self.http2 = http2
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self.max_body = max_body
        self.verify: bool | str | ssl.SSLContext = False if insecure else verify
        self.cert = cert
        self.proxies = q.ProxyMatcher.from_env() if trust_env else None
        self._tls: ssl.SSLContext | None = None
        self._tls_h1: ssl.SSLContext | None = None  # for WebSocket openings when HTTP/2 is offered
        self.pool = Pool(limits, self.dial, http2)

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *_exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        await self.pool.aclose()

    close = aclose

    # -- the request methods ---------------------------------------------------------

    async def request(self, method: str, url: str, headers: HeaderInit | None = None, body: Content | None = None,
                      *, params: ParamInit | None = None, content: Content | None = None,
                      data: Mapping[str, Any] | bytes | str | None = None, json: Any = None,
                      auth: tuple[str, str] | None = None, timeout: Timeout | float | None = UNSET,
                      follow_redirects: bool | None = None) -> Response:
        """Sends the request and reads the whole answer. `body` is the older
        name of `content`."""
        response = await self.send(self.build_request(method, url, params=params, headers=headers,
                                                      content=content if content is not None else body,
                                                      data=data, json=json, auth=auth),
                                   timeout=timeout, follow_redirects=follow_redirects)
        try:
            await response.aread(self.max_body)
        finally:
            await response.aclose()
        return response

    @contextlib.asynccontextmanager
    async def stream(self, method: str, url: str, *, params: ParamInit | None = None,
                     headers: HeaderInit | None = None, content: Content | None = None,
                     data: Mapping[str, Any] | bytes | str | None = None, json: Any = None,
                     auth: tuple[str, str] | None = None, timeout: Timeout | float | None = UNSET,
                     follow_redirects: bool | None = None) -> AsyncIterator[Response]:
        """The answer with its body still to read; closed on leaving."""
        response = await self.send(self.build_request(method, url, params=params, headers=headers, content=content,
                                                      data=data, json=json, auth=auth),
                                   timeout=timeout, follow_redirects=follow_redirects)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(self, url: str, **kw: Any) -> Response:
        return await self.request("GET", url, **kw)

    async def head(self, url: str, **kw: Any) -> Response:
        return await self.request("HEAD", url, **kw)

    async def options(self, url: str, **kw: Any) -> Response:
        return await self.request("OPTIONS", url, **kw)

    async def delete(self, url: str, **kw: Any) -> Response:
        return await self.request("DELETE", url, **kw)

    async def post(self, url: str, **kw: Any) -> Response:
        return await self.request("POST", url, **kw)

    async def put(self, url: str, **kw: Any) -> Response:
        return await self.request("PUT", url, **kw)

    async def patch(self, url: str, **kw: Any) -> Response:
        return await self.request("PATCH", url, **kw)

    def websocket(self, url: str, *, subprotocols: Sequence[str] = (), headers: HeaderInit | None = None,
                  params: ParamInit | None = None, auth: tuple[str, str] | None = None,
                  timeout: Timeout | float | None = UNSET, max_size: int | None = WS_DEFAULTS.max_size,
                  max_queue: int = WS_DEFAULTS.max_queue, ping_interval: float | None = WS_DEFAULTS.ping_interval,
                  ping_timeout: float | None = WS_DEFAULTS.ping_timeout,
                  close_timeout: float = WS_DEFAULTS.close_timeout,
                  per_message_deflate: bool = True) -> contextlib.AbstractAsyncContextManager[ClientWebSocket]:
        """A WebSocket to `url` (ws:, wss:, http: or https:), closed on
        leaving:

            async with client.websocket("wss://example.org/chat", subprotocols=["chat"]) as ws:
                await ws.send("hello")
                reply = await ws.receive()      # str or bytes
                async for message in ws: ...    # until the server closes

        A server that does not switch raises `WebSocketRejected` (with its
        answer's `status_code`); a closed WebSocket raises `WebSocketClosed`
        from `send` and `receive`. The timeouts bound the opening (connect,
        pool, read) and each send (write); an open WebSocket's liveness is
        the pings' (`ping_interval`, `ping_timeout`) to judge. `max_size` is
        the largest message taken, `max_queue` how many wait unread before
        reading stops."""
        options = WSOptions(max_size=max_size, max_queue=max_queue, ping_interval=ping_interval,
                            ping_timeout=ping_timeout, per_message_deflate=per_message_deflate,
                            close_timeout=close_timeout)
        return open_websocket(self, url, subprotocols, headers, params, auth,
                              self.timeout if timeout is UNSET else Timeout(timeout), options)

    def build_request(self, method: str, url: str, *, params: ParamInit | None = None,
                      headers: HeaderInit | None = None, content: Content | None = None,
                      data: Mapping[str, Any] | bytes | str | None = None, json: Any = None,
                      auth: tuple[str, str] | None = None) -> Request:
        full = with_params(with_params(join_url(self.base_url, url), self.params), params)
        fields = q.HeaderMap(self.headers)
        merge_headers(fields, headers)
        parts = urlsplit(full)
        if parts.username is not None:
            # Credentials in the URL become basic auth; the URL sent on
            # (to a proxy, in redirects) goes without them.
            if auth is None:
                auth = (unquote(parts.username), unquote(parts.password or ""))
            full = urlunsplit(parts._replace(netloc=parts.netloc.rpartition("@")[2]))
        if auth is not None:
            fields["authorization"] = basic_auth(*auth)
        return Request(method, full, fields, encode_body(content, data, json, fields))

    async def send(self, request: Request, *, timeout: Timeout | float | None = UNSET,
                   follow_redirects: bool | None = None) -> Response:
        """Sends `request`, following redirects when asked; the answer's body
        is still to be read (or closed) by the caller."""
        limits = self.timeout if timeout is UNSET else Timeout(timeout)
        follow = self.follow_redirects if follow_redirects is None else follow_redirects
        history: list[Response] = []
        while True:
            if "cookie" not in request.headers:
                self.cookies.add_to(request)
            response = await self.send_once(request, limits)
            self.cookies.take_from(response)
            if not (follow and response.is_redirect):
                response.history = history
                return response
            await response.aclose()
            history.append(response)
            if len(history) > self.max_redirects:
                raise TooManyRedirects(f"more than {self.max_redirects} redirects")
            request = self.redirected(request, response)

    def redirected(self, request: Request, response: Response) -> Request:
        """The request a redirect asks for (RFC 9110 15.4): 303 turns
        anything but HEAD into GET, 301 and 302 turn POST into GET; a
        changed method drops the body. Credentials stay behind when the
        origin changes."""
        location = response.headers["location"].decode("latin-1")
        url = urljoin(request.url, location)
        if "#" not in location and "#" in request.url:
            url = url.split("#")[0] + "#" + request.url.split("#", 1)[1]
        method = request.method
        status = response.status_code
        if (status == 303 and method != "HEAD") or (status in (301, 302) and method == "POST"):
            method = "GET"
        headers = q.HeaderMap(request.headers)
        for name in ("host", "proxy-authorization", "cookie"):  # the new route and URL set their own
            if name in headers:
                del headers[name]
        body = request.body
        if method != request.method:
            body = None
            for name in ("content-length", "content-type", "transfer-encoding"):
                if name in headers:
                    del headers[name]
        elif not request.replayable:
            raise LocalProtocolError("a request with a streamed body cannot follow a redirect that repeats it")
        old, new = urlsplit(request.url), urlsplit(url)
        if (old.scheme, old.hostname, old.port) != (new.scheme, new.hostname, new.port):
            for name in CREDENTIALS:
                if name in headers:
                    del headers[name]
        return Request(method, url, headers, body)

    async def send_once(self, request: Request, timeout: Timeout) -> Response:
        """One request and answer head, on a pooled connection or a new one.
        A request the server cannot have acted on goes again on another
        connection (a few times; more while servers go on answering others
        before turning it away); one that died under the request before any
        of its answer came, once, when it may be repeated."""
        key, target, proxy_auth = self.route(request)
        request.target = target
        request.headers.setdefault("host", request.authority)
        if proxy_auth and key[3] and request.scheme == "http":
            request.headers["proxy-authorization"] = proxy_auth
        repeated = False
        unsent = busy = 0
        while True:
            conn = await self.pool.acquire(key, request, timeout)
            # HTTP/2 carries the authority as a pseudo-header.
            sent = request.with_headers(q.HeaderMap(request.headers)) if conn.http2 else request
            try:
                status, fields, version, source = await conn.handle(sent, timeout)
            except Stale as e:
                self.pool.forget(key, conn)
                # A streamed body cannot go again: some of it is gone.
                if e.unsent and request.replayable:
                    if e.busy:
                        busy += 1
                    else:
                        unsent += 1
                    if unsent < UNSENT_TRIES and busy < BUSY_TRIES:
                        continue
                    raise ReadError("the server refused the request on every connection tried") from None
                if not e.unsent and not repeated and request.method in IDEMPOTENT and request.replayable:
                    repeated = True
                    continue
                raise ReadError(f"connection closed before the answer: {e}") from None
            except HTTPError:
                if not conn.usable:
                    self.pool.forget(key, conn)
                raise
            except (q.QuillonError, ConnectionError, OSError) as e:
                self.pool.forget(key, conn)
                raise wrap(e) from e
            return Response(status, fields, version, request, source)

    def route(self, request: Request) -> tuple[Key, str, str | None]:
        """The pool key, request target and proxy credentials of `request`:
        through a proxy, an http: request goes to it in absolute form, an
        https: one through a CONNECT tunnel pooled per target origin."""
        proxy = self.proxies.intercept(request.url) if self.proxies is not None else None
        if proxy is None:
            return (request.scheme, request.host, request.port, ""), request.target, None
        if request.scheme == "http":
            return ("http", request.host, request.port, proxy.uri), request.url.split("#")[0], proxy.basic_auth()
        return ("https", request.host, request.port, proxy.uri), request.target, proxy.basic_auth()

    def tls(self, http1: bool = False) -> ssl.SSLContext:
        if http1 and self.http2:
            if self._tls_h1 is None:
                self._tls_h1 = tls_context(self.verify, self.cert, False)
            return self._tls_h1
        if self._tls is None:
            self._tls = tls_context(self.verify, self.cert, self.http2)
        return self._tls

    async def dial(self, key: Key, request: Request, timeout: Timeout) -> Connection:
        scheme, host, port, proxy_uri = key
        # A WebSocket's connections ("ws", "wss") are HTTP/1.1 ones, to
        # upgrade: tunnelled through a proxy, as a forward proxy may not
        # pass an upgrade on.
        upgrade = scheme in ("ws", "wss")
        if upgrade:
            scheme = "https" if scheme == "wss" else "http"
        tunnel = None
        dial_host, dial_port = host, port
        if proxy_uri:
            _s, proxy_host, proxy_port, _a = q.uri_parts(proxy_uri)
            if proxy_host is None or proxy_port is None:
                raise LocalProtocolError(f"unsupported proxy: {proxy_uri}")
            if scheme == "https" or upgrade:
                match = self.proxies.intercept(request.url) if self.proxies is not None else None
                tunnel = (proxy_host, proxy_port, match.basic_auth() if match is not None else None)
            else:
                dial_host, dial_port = proxy_host, proxy_port
        ctx = (self.tls(upgrade) if scheme == "https" else None)
        transport = await open_transport(dial_host, dial_port, ctx, host, tunnel, timeout.connect)
        # Cleartext HTTP/2 is prior knowledge, except to a forward proxy,
        # which speaks HTTP/1.1.
        if self.http2 and not upgrade and (transport.alpn == "h2" if ctx is not None else not proxy_uri):
            return H2Connection.over(transport)
        return H1Connection.over(transport)


def basic_auth(user: str, password: str) -> str:
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode("ascii")


def wrap(e: BaseException) -> TransportError:
    """The client's exception for one the core or the socket raised."""
    if isinstance(e, (q.H1Error, q.H2Error)):
        return RemoteProtocolError(str(e))
    return ReadError(str(e) or type(e).__name__)
