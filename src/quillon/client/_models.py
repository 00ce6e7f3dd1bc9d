"""The values a caller hands the client and gets back: timeouts, pool
limits, the request as the connections see it, and the response."""

from __future__ import annotations

import codecs
import json as jsonlib
import zlib
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator, Mapping
from http import HTTPStatus
from typing import Any, Protocol, TypeAlias
from urllib.parse import urlencode, urlsplit

import _quillon as q

from ._errors import DecodingError, HTTPStatusError, InvalidURL, StreamError, TooLarge

HeaderInit: TypeAlias = "q.HeaderMap | Mapping[str, str | bytes] | Iterable[tuple[str, str | bytes]]"
ParamInit: TypeAlias = "Mapping[str, Any] | Iterable[tuple[str, Any]] | str"
Content: TypeAlias = "bytes | str | AsyncIterable[bytes]"
# Requests a server may see twice without harm (RFC 9110 9.2.2): the only
# ones retried after a connection died under them.
IDEMPOTENT = frozenset({"GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"})


class _Unset:
    pass


UNSET: Any = _Unset()


class Timeout:
    """Seconds each wait may take (None: no limit): `connect` for a new
    connection (TCP, proxy tunnel and TLS together), `read` for each piece
    of the answer, `write` for each piece of the request to be taken,
    `pool` for a connection to come free."""

    __slots__ = ("connect", "read", "write", "pool")

    def __init__(self, timeout: Timeout | float | None = 5.0, *, connect: float | None = UNSET,
                 read: float | None = UNSET, write: float | None = UNSET, pool: float | None = UNSET) -> None:
        if isinstance(timeout, Timeout):
            base: tuple[float | None, ...] = (timeout.connect, timeout.read, timeout.write, timeout.pool)
        else:
            base = (timeout,) * 4
        given = (connect, read, write, pool)
        chosen = [b if g is UNSET else g for g, b in zip(given, base)]
        self.connect: float | None = chosen[0]
        self.read: float | None = chosen[1]
        self.write: float | None = chosen[2]
        self.pool: float | None = chosen[3]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Timeout) and all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __repr__(self) -> str:
        return (f"Timeout(connect={self.connect}, read={self.read}, write={self.write}, pool={self.pool})")


class Limits:
    """How many connections the pool keeps: `max_connections` open at once
    (None: no cap), `max_connections_per_origin` of them to one origin,
    `max_keepalive_connections` kept idle, each idle one closed after
    `keepalive_expiry` seconds."""

    __slots__ = ("max_connections", "max_connections_per_origin", "max_keepalive_connections", "keepalive_expiry")

    def __init__(self, *, max_connections: int | None = 100, max_connections_per_origin: int | None = None,
                 max_keepalive_connections: int | None = 20, keepalive_expiry: float | None = 5.0) -> None:
        self.max_connections = max_connections
        self.max_connections_per_origin = max_connections_per_origin
        self.max_keepalive_connections = max_keepalive_connections
        self.keepalive_expiry = keepalive_expiry


def join_url(base: str, url: str) -> str:
    """`url` on top of a base URL: a relative one is appended to the base's
    path, as a REST base URL ("https://api/v1/") is meant."""
    if not base or urlsplit(url).scheme:
        return url
    if url.startswith("?") or not url:
        return base + url
    return base.rstrip("/") + "/" + url.lstrip("/")


def with_params(url: str, params: ParamInit | None) -> str:
    if not params:
        return url
    extra = params if isinstance(params, str) else urlencode(
        list(params.items()) if isinstance(params, Mapping) else list(params), doseq=True)
    base, hash_, fragment = url.partition("#")
    joined = base + ("&" if "?" in base else "?") + extra
    return joined + hash_ + fragment


def merge_headers(into: q.HeaderMap, more: HeaderInit | None) -> None:
    """Sets each field of `more` in `into`, replacing what that name had."""
    if more is None:
        return
    pairs = more.items() if isinstance(more, (Mapping, q.HeaderMap)) else more
    seen: set[str] = set()
    for name, value in pairs:
        key = name.lower()
        if key in seen:
            into.add(name, value)
        else:
            into[name] = value
            seen.add(key)


def encode_body(content: Content | None, data: Mapping[str, Any] | bytes | str | None,
                json: Any, headers: q.HeaderMap) -> bytes | AsyncIterable[bytes] | None:
    """The request body from whichever of content, form data or JSON was
    given, with the content-type it implies unless the caller set one."""
    if json is not None:
        headers.setdefault("content-type", "application/json")
        return jsonlib.dumps(json, ensure_ascii=False, separators=(",", ":")).encode()
    if isinstance(data, Mapping):
        headers.setdefault("content-type", "application/x-www-form-urlencoded")
        return urlencode(list(data.items()), doseq=True).encode()
    if data is not None:
        content = data
    if isinstance(content, str):
        return content.encode()
    return content


class Request:
    """One request as the connections see it: where it goes and what it
    carries. `body` is bytes, an async iterable of bytes (sent as it
    comes; such a request cannot be repeated), or None."""

    __slots__ = ("method", "url", "headers", "body", "scheme", "host", "port", "authority", "target")

    def __init__(self, method: str, url: str, headers: q.HeaderMap, body: bytes | AsyncIterable[bytes] | None):
        self.method = method.upper()
        self.url = url
        self.headers = headers
        self.body = body
        try:
            scheme, host, port, _authority = q.uri_parts(url)
        except ValueError as e:
            raise InvalidURL(f"invalid URL {url!r}: {e}") from None
        if scheme not in ("http", "https") or not host or port is None:
            raise InvalidURL(f"unsupported URL: {url!r}")
        parts = urlsplit(url)
        self.scheme, self.host, self.port = scheme, host, port
        name = f"[{host}]" if ":" in host else host
        self.authority = name if port == (443 if scheme == "https" else 80) else f"{name}:{port}"
        self.target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")

    def with_headers(self, headers: q.HeaderMap) -> Request:
        twin = Request.__new__(Request)
        for name in Request.__slots__:
            setattr(twin, name, getattr(self, name))
        twin.headers = headers
        return twin

    @property
    def replayable(self) -> bool:
        return self.body is None or isinstance(self.body, bytes)

    def __repr__(self) -> str:
        return f"<Request {self.method} {self.url}>"


# Content-codings the client undoes (and asks for), with zlib's window
# flag for each; deflate's second entry is the raw stream some servers send.
DECODERS = {b"gzip": (zlib.MAX_WBITS | 16,), b"x-gzip": (zlib.MAX_WBITS | 16,),
            b"deflate": (zlib.MAX_WBITS, -zlib.MAX_WBITS)}
ACCEPT_ENCODING = "gzip, deflate"
# The most one step of decompression makes: a small compressed piece that
# expands hugely comes out in pieces this size, never all at once.
DECODE_PIECE = 65536


class Decompressor:
    """Undoes one content-coding, piece by piece, within DECODE_PIECE at a
    time."""

    def __init__(self, coding: bytes) -> None:
        self.wbits = DECODERS[coding]
        self.zlib = zlib.decompressobj(self.wbits[0])
        self.started = False

    def decode(self, data: bytes) -> Iterator[bytes]:
        while data:
            try:
                out = self.zlib.decompress(data, DECODE_PIECE)
            except zlib.error as e:
                if not self.started and len(self.wbits) > 1:
                    self.wbits = self.wbits[1:]
                    self.zlib = zlib.decompressobj(self.wbits[0])
                    continue
                raise DecodingError(f"the body's content-coding is broken: {e}") from e
            self.started = True
            if out:
                yield out
            data = self.zlib.unconsumed_tail

    def end(self) -> Iterator[bytes]:
        try:
            out = self.zlib.flush()
        except zlib.error as e:
            raise DecodingError(f"the body's content-coding is broken: {e}") from e
        if out:
            yield out


class BodySource(Protocol):
    """A connection's reader of one response body."""

    trailers: q.HeaderMap | None

    async def read(self) -> bytes:
        """The next piece; b"" once the body is whole."""
        ...

    async def aclose(self) -> None:
        """Stops reading; a body not read to its end costs the connection
        (HTTP/1.1) or the stream (HTTP/2)."""
        ...


class Response:
    """One answer. Made by `Client.request` with its body read whole
    (`content`), or by `Client.stream` with the body still to come
    (`aiter_bytes`, `aread`)."""

    def __init__(self, status_code: int, headers: q.HeaderMap, http_version: str, request: Request,
                 source: BodySource | None) -> None:
        self.status_code = status_code
        self.headers = headers
        self.http_version = http_version
        self.request = request
        self.url = request.url
        self.history: list[Response] = []
        self._source = source
        self._content: bytes | None = None if source is not None else b""
        self._streamed = False
        self._closed = source is None

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"

    @property
    def reason_phrase(self) -> str:
        try:
            return HTTPStatus(self.status_code).phrase
        except ValueError:
            return ""

    @property
    def is_success(self) -> bool:
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    @property
    def trailers(self) -> q.HeaderMap | None:
        """The trailer fields, once the body has been read to its end."""
        return None if self._source is None else self._source.trailers

    @property
    def content(self) -> bytes:
        if self._content is None:
            raise StreamError("the body has not been read: await response.aread() first")
        return self._content

    @property
    def encoding(self) -> str:
        ctype = self.headers.get("content-type", b"").decode("latin-1")
        for param in ctype.split(";")[1:]:
            key, _, value = param.strip().partition("=")
            if key.lower() == "charset":
                name = value.strip().strip('"')
                try:
                    return codecs.lookup(name).name
                except LookupError:
                    break
        return "utf-8"

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    def json(self, **kw: Any) -> Any:
        return jsonlib.loads(self.content, **kw)

    def raise_for_status(self) -> Response:
        if 400 <= self.status_code < 600:
            kind = "Client error" if self.status_code < 500 else "Server error"
            raise HTTPStatusError(f"{kind} '{self.status_code} {self.reason_phrase}' for url '{self.url}'", self)
        return self

    async def aread(self, limit: int | None = None) -> bytes:
        """The whole body (read once, then kept); TooLarge past `limit`
        bytes."""
        if self._content is None:
            pieces = []
            size = 0
            async for piece in self.aiter_bytes():
                size += len(piece)
                if limit is not None and size > limit:
                    raise TooLarge(f"the response body passed {limit} bytes")
                pieces.append(piece)
            self._content = b"".join(pieces)
        return self._content

    async def aiter_bytes(self) -> AsyncIterator[bytes]:
        """Each piece of the body as it arrives, its content-coding (gzip,
        deflate) undone."""
        if self._content is not None:
            if self._content:
                yield self._content
            return
        coding = self.headers.get("content-encoding", b"").strip().lower()
        if coding not in DECODERS:
            async for piece in self.aiter_raw():
                yield piece
            return
        decoder = Decompressor(coding)
        async for piece in self.aiter_raw():
            for out in decoder.decode(piece):
                yield out
        for out in decoder.end():
            yield out

    async def aiter_raw(self) -> AsyncIterator[bytes]:
        """Each piece of the body as it arrives, as it was sent."""
        if self._streamed or self._closed or self._source is None:
            raise StreamError("the body was already read or closed")
        self._streamed = True
        try:
            while piece := await self._source.read():
                yield piece
        finally:
            await self.aclose()

    async def aiter_text(self) -> AsyncIterator[str]:
        """The body as text, piece by piece, in the answer's charset."""
        decoder = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        async for piece in self.aiter_bytes():
            if text := decoder.decode(piece):
                yield text
        if text := decoder.decode(b"", final=True):
            yield text

    async def aiter_lines(self) -> AsyncIterator[str]:
        """The body as lines of text, without their line ends."""
        pending = ""
        async for text in self.aiter_text():
            lines = (pending + text).splitlines(keepends=True)
            pending = lines.pop() if lines and not lines[-1].endswith(("\n", "\r")) else ""
            for line in lines:
                yield line.rstrip("\r\n")
        if pending:
            yield pending

    async def aclose(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self._source is not None:
            await self._source.aclose()
