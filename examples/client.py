"""Fetch one URL with the `_quillon` core and print the status, headers and body.

    python examples/client.py URL [--http2] [-d DATA] [-k]

HTTP/1.1 runs through `H1ClientState` (who owns the connection) and
`H1Codec` (the bytes). With --http2 the request goes over HTTP/2
(`H2Streams`): with prior knowledge for http: URLs, by ALPN for https: URLs.
Plain-HTTP/1.1 URLs go through a forward proxy when the environment names
one (`ProxyMatcher.from_env()`). `-k` skips certificate checks for https.
"""

from __future__ import annotations

import argparse
import asyncio
import ssl
import sys
from collections.abc import Awaitable
from typing import Any
from urllib.parse import urlsplit

import _quillon as q
from h1driver import decoded
from h2driver import READ_SIZE, H2Driver, H2Stream


class Transport:
    __slots__ = ("reader", "writer")

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader = reader
        self.writer = writer

    def close(self) -> None:
        self.writer.close()


def tls_context(insecure: bool, alpn: list[str]) -> ssl.SSLContext:
    ctx = ssl.create_default_context()
    if insecure:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    ctx.set_alpn_protocols(alpn)
    return ctx


class H1Client(q.H1ClientState):
    """One HTTP/1.1 connection; one request at a time."""

    codec: q.H1Codec

    async def fetch(self, method: str, target: str, headers: q.HeaderMap,
                    body: bytes | None) -> tuple[Any, bytes, q.HeaderMap | None, bool]:
        if not self.try_begin_exchange():
            raise RuntimeError("connection busy")
        transport = self.transport_ref()
        if transport is None:
            raise q.ConnectionClosedError("connection closed")
        codec = self.codec
        try:
            self.exchange_started()
            if body is None:
                out = codec.serialize_request(method, target, headers)
            else:
                request_head = codec.serialize_request(method, target, headers, content_length=len(body))
                out = codec.serialize_head_and_body(request_head, body)
            transport.writer.write(out)
            await transport.writer.drain()
            head = None
            while head is None:
                data = await transport.reader.read(READ_SIZE)
                if not data:
                    raise q.ConnectionClosedError("connection closed before the response head")
                head = codec.receive_head(data)
            if head.http10:
                self.set_peer_http10(True)
            decoder = q.H1BodyDecoder(head.body_kind, head.content_length or 0)
            codec.take_body_into(decoder)
            reader = transport.reader
            pieces = [piece async for piece in decoded(decoder, lambda: reader.read(READ_SIZE))]
            reusable = head.keep_alive and not codec.request_connection_close and decoder.buffered == 0
            return head, b"".join(pieces), decoder.take_trailers(), reusable
        except BaseException as e:
            t = self.fail(e)
            if t is not None:
                t.close()
            raise
        finally:
            self.end_exchange()


async def fetch_h1(url: str, data: bytes | None,
                   insecure: bool) -> tuple[Any, bytes, q.HeaderMap | None, bool]:
    scheme, host, port, authority = q.uri_parts(url)
    if scheme not in ("http", "https") or host is None:
        raise SystemExit(f"unsupported URL: {url}")
    headers = q.HeaderMap({"host": authority if port not in (80, 443) else host, "user-agent": "quillon-example"})
    parts = urlsplit(url)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    dial_host, dial_port = host, port
    proxy = q.ProxyMatcher.from_env().intercept(url) if scheme == "http" else None
    if proxy is not None:
        _s, proxy_host, proxy_port, _a = q.uri_parts(proxy.uri)
        if proxy_host is None:
            raise SystemExit(f"unsupported proxy: {proxy.uri}")
        dial_host, dial_port = proxy_host, proxy_port
        target = url  # absolute form through a forward proxy
        auth = proxy.basic_auth()
        if auth:
            headers["proxy-authorization"] = auth
    ssl_ctx = tls_context(insecure, ["http/1.1"]) if scheme == "https" else None
    reader, writer = await asyncio.open_connection(dial_host, dial_port, ssl=ssl_ctx,
                                                   server_hostname=host if ssl_ctx else None)
    client = H1Client(Transport(reader, writer))
    client.codec = q.H1Codec()
    try:
        method = "POST" if data is not None else "GET"
        return await client.fetch(method, target, headers, data)
    finally:
        t = client.close_now()
        if t is not None:
            t.close()


MAX_BODY = 1 << 30


class H2Client(H2Driver):
    async def fetch(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, method: str, scheme: str,
                    authority: str, target: str, headers: q.HeaderMap,
                    body: bytes | None) -> tuple[Any, bytes, q.HeaderMap | None]:
        self.start(writer)
        pump = asyncio.ensure_future(self.read_pump(reader))
        try:
            if not self.try_claim_slot():
                raise q.ConnectionClosedError("no stream slot")
            stream = H2Stream()
            sid = self.open_stream(method, target, headers, body is None, method == "HEAD", stream,
                                   scheme=scheme, authority=authority)
            if sid is None:
                raise q.ConnectionClosedError("connection closed")
            stream.sid = sid
            self.kick.set()
            if body is not None and not await self.send_all(stream, body, True):
                raise ConnectionError(f"request stopped: {stream.stop!r}")
            await wait_either(stream.headed.wait(), pump)
            if stream.head is None:
                raise q.ConnectionClosedError(f"no response: {stream.stop!r}")
            data = await self.read_body(stream, MAX_BODY)
            return stream.head, data, stream.trailers
        finally:
            pump.cancel()
            await asyncio.gather(pump, return_exceptions=True)
            await self.finish()


async def wait_either(aw: Awaitable[Any], task: asyncio.Future[Any]) -> None:
    first = asyncio.ensure_future(aw)
    await asyncio.wait([first, task], return_when=asyncio.FIRST_COMPLETED)
    first.cancel()


async def fetch_h2(url: str, data: bytes | None,
                   insecure: bool) -> tuple[int, str, q.HeaderMap, bytes, q.HeaderMap | None]:
    scheme, host, port, authority = q.uri_parts(url)
    if scheme not in ("http", "https") or host is None:
        raise SystemExit(f"unsupported URL: {url}")
    parts = urlsplit(url)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    ssl_ctx = tls_context(insecure, ["h2"]) if scheme == "https" else None
    reader, writer = await asyncio.open_connection(host, port, ssl=ssl_ctx,
                                                   server_hostname=host if ssl_ctx else None)
    try:
        if ssl_ctx is not None and writer.get_extra_info("ssl_object").selected_alpn_protocol() != "h2":
            raise SystemExit("the server did not choose h2")
        client = H2Client("client", initial_window_size=1 << 20, connection_window=1 << 24, max_frame_size=16384,
                          max_header_list_size=65536, max_send_buf_size=1 << 20)
        headers = q.HeaderMap({"user-agent": "quillon-example"})
        method = "POST" if data is not None else "GET"
        head, body, trailers = await client.fetch(reader, writer, method, scheme,
                                                  (authority if port not in (80, 443) else None) or host, target,
                                                  headers, data)
        return head.status, "HTTP/2", head.headers, body, trailers
    finally:
        writer.close()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("url")
    ap.add_argument("-d", "--data", help="send DATA as the request body (POST)")
    ap.add_argument("-k", "--insecure", action="store_true", help="skip TLS certificate checks")
    ap.add_argument("--http2", action="store_true", help="use HTTP/2")
    args = ap.parse_args(argv)
    data = args.data.encode() if args.data is not None else None
    if args.http2:
        status, version, headers, body, trailers = asyncio.run(fetch_h2(args.url, data, args.insecure))
    else:
        head, body, trailers, _reuse = asyncio.run(fetch_h1(args.url, data, args.insecure))
        status, version, headers = head.status, "HTTP/1.0" if head.http10 else "HTTP/1.1", head.headers
    out = sys.stdout
    out.write(f"{version} {status}\n")
    for name, value in headers.items():
        out.write(f"{name}: {value.decode('latin-1')}\n")
    out.write("\n")
    out.flush()
    sys.stdout.buffer.write(body)
    sys.stdout.buffer.flush()
    if trailers:
        if body and not body.endswith(b"\n"):
            out.write("\n")
        for name, value in trailers.items():
            out.write(f"{name}: {value.decode('latin-1')}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
