"""The benchmark's HTTP/1.1 peer on httptools: an asyncio.Protocol feeding
one HttpRequestParser per connection (the design uvicorn's httptools mode
uses), keep-alive, pipelined requests answered in order within one write.

    python benchmarks/peers/peer_httptools.py --port N

Serves `/bytes/N` exactly as the example server does (status 200,
content-type application/octet-stream, content-length N, date); anything
else is a 404."""

import argparse
import asyncio
import email.utils
import time

import httptools

MAX_BYTES = 1 << 20  # the body is built in memory; a benchmark never needs more
MAX_URL = 8192  # the parser hands the target over in pieces; bound what is kept

REASONS = {200: b"OK", 400: b"Bad Request", 404: b"Not Found"}
_date = [0, b""]


def http_date() -> bytes:
    # Formatting a date per request would cost more than the parse; once a second.
    now = int(time.time())
    if now != _date[0]:
        _date[0], _date[1] = now, email.utils.formatdate(now, usegmt=True).encode()
    return _date[1]


def route(target: bytes):
    path = target.split(b"?", 1)[0]
    if path.startswith(b"/bytes/"):
        try:
            n = int(path[7:])
        except ValueError:
            n = -1
        if 0 <= n <= MAX_BYTES:
            return 200, b"application/octet-stream", b"x" * n
        return 400, b"text/plain", b"bad length\n"
    return 404, b"text/plain", b"not found\n"


class HttptoolsProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.parser = httptools.HttpRequestParser(self)
        self.url = b""
        self.out = []
        self.closing = False

    # Parser callbacks (run inside feed_data, in request order).
    def on_message_begin(self):
        self.url = b""

    def on_url(self, url):
        self.url += url
        if len(self.url) > MAX_URL:
            raise httptools.HttpParserError("target too long")

    def on_message_complete(self):
        if self.closing:
            return  # pipelined after a request that closes the connection
        status, ctype, body = route(self.url)
        keep = self.parser.should_keep_alive()
        self.out.append(b"HTTP/1.1 %d %s\r\ncontent-type: %s\r\ncontent-length: %d\r\ndate: %s\r\n%s\r\n%s" % (
            status, REASONS[status], ctype, len(body), http_date(),
            b"" if keep else b"connection: close\r\n", body))
        if not keep:
            self.closing = True

    def data_received(self, data):
        try:
            self.parser.feed_data(data)
        except httptools.HttpParserUpgrade:
            self.closing = True  # no upgrades here
        except httptools.HttpParserError:
            if not self.closing:
                self.out.append(b"HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\nconnection: close\r\n\r\n")
            self.closing = True
        if self.out:
            self.transport.write(b"".join(self.out))
            self.out.clear()
        if self.closing:
            self.transport.close()


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    args = ap.parse_args()
    server = await asyncio.get_running_loop().create_server(HttptoolsProtocol, args.host, args.port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
