"""Fetch one URL with the `_quillon` core and print the status, headers and body.

    python examples/client.py URL [-d DATA] [-k]

HTTP/1.1 runs through `H1ClientState` (who owns the connection) and
`H1Codec` (the bytes). Plain-HTTP URLs go through a forward proxy when the
environment names one (`ProxyMatcher.from_env()`). `-k` skips certificate
checks for https.
"""

from __future__ import annotations

import argparse
import asyncio
import ssl
import sys
from urllib.parse import urlsplit

import _quillon as q

READ_SIZE = 65536


class Transport:
    __slots__ = ("reader", "writer")

    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    def close(self):
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

    async def fetch(self, method: str, target: str, headers: q.HeaderMap, body: bytes | None):
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
                head = codec.serialize_request(method, target, headers, content_length=len(body))
                out = codec.serialize_head_and_body(head, body)
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
            pieces = []
            while True:
                piece = decoder.decode()
                if piece is not None:
                    pieces.append(piece)
                    continue
                if decoder.is_complete:
                    break
                data = await transport.reader.read(READ_SIZE)
                if data:
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
            reusable = head.keep_alive and not codec.request_connection_close and decoder.buffered == 0
            return head, b"".join(pieces), decoder.take_trailers(), reusable
        except BaseException as e:
            t = self.fail(e)
            if t is not None:
                t.close()
            raise
        finally:
            self.end_exchange()


async def fetch_h1(url: str, data: bytes | None, insecure: bool):
    scheme, host, port, authority = q.uri_parts(url)
    if scheme not in ("http", "https") or host is None:
        raise SystemExit(f"unsupported URL: {url}")
    headers = q.HeaderMap({"host": authority if port not in (80, 443) else host, "user-agent": "quillon-example"})
    parts = urlsplit(url)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    dial_host, dial_port = host, port
    proxy = q.ProxyMatcher.from_env().intercept(url) if scheme == "http" else None
    if proxy is not None:
        _s, dial_host, dial_port, _a = q.uri_parts(proxy.uri)
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


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("url")
    ap.add_argument("-d", "--data", help="send DATA as the request body (POST)")
    ap.add_argument("-k", "--insecure", action="store_true", help="skip TLS certificate checks")
    args = ap.parse_args(argv)
    data = args.data.encode() if args.data is not None else None
    head, body, trailers, _reuse = asyncio.run(fetch_h1(args.url, data, args.insecure))
    out = sys.stdout
    out.write(f"{'HTTP/1.0' if head.http10 else 'HTTP/1.1'} {head.status}\n")
    for name, value in head.headers.items():
        out.write(f"{name}: {value.decode('latin-1')}\n")
    out.write("\n")
    out.flush()
    sys.stdout.buffer.write(body)
    sys.stdout.buffer.flush()
    if trailers:
        for name, value in trailers.items():
            out.write(f"{name}: {value.decode('latin-1')}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
