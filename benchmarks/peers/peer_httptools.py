"""The benchmark's HTTP/1.1 peer on httptools: an asyncio.Protocol feeding
one HttpRequestParser per connection (the design uvicorn's httptools mode
uses), each request's header fields collected as a real server does,
keep-alive, pipelined requests answered in order within one write.

    python benchmarks/peers/peer_httptools.py --port N

Serves `/bytes/N` exactly as the example server does (status 200,
content-type application/octet-stream, content-length N, date); anything
else is a 404."""

import asyncio

import httptools

from _common import REASONS, http_date, route, run

MAX_URL = 8192  # the parser hands the target over in pieces; bound what is kept


class HttptoolsProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.parser = httptools.HttpRequestParser(self)
        self.url = b""
        self.headers = []
        self.out = []
        self.closing = False

    # Parser callbacks (run inside feed_data, in request order). The header
    # fields are collected as uvicorn's httptools mode does: no real server
    # can skip them.
    def on_message_begin(self):
        self.url = b""
        self.headers = []

    def on_header(self, name, value):
        # As a real server does: every field kept, its name lower-cased.
        self.headers.append((name.lower(), value))

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


if __name__ == "__main__":
    run(HttptoolsProtocol)
