"""One complete HTTP/1 server request cycle through H1ServerState against the
same cycle through h11.Connection, both measured in this run.

Targets: at least 20x h11; and, for a small request, the state cycle at
least 2x the httptools path below, adding at most 150 ns over the codec
alone.

The cycle, on one keep-alive connection reused from request to request:
  begin_read; the parse of a 10-header GET (accept_head, which also builds
  the body decoder); the response head with 3 headers and a 1 KiB body
  (respond_head, then the body framed and ended by the codec);
  finish_response.
h11 does the same: receive_data + next_event until the request has ended,
send(Response), send(Data), send(EndOfMessage), start_next_cycle. Both sides
produce the bytes to write; neither writes them anywhere.

The small cycle (a 3-header GET, a 1-header response with a 13-byte body)
is measured three ways: through H1ServerState (begin_read,
unpark_idle_read, accept_head, respond_head, serialize_head_and_body,
finish_response); through the codec alone (receive_request_head,
serialize_response, serialize_head_and_body, reset); and as uvicorn's
httptools mode does it: HttpRequestParser with on_url / on_header
callbacks collecting the lower-cased fields, then the response formatted
in Python."""

from _harness import ns_per_call, report

import h11
import httptools

from _quillon import H1Codec, H1ServerState, HeaderMap

REQUEST = (
    b"GET /wiki/Hypertext_Transfer_Protocol?action=view&section=3 HTTP/1.1\r\n"
    b"Host: en.wikipedia.org\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
    b"Accept-Language: en-US,en;q=0.5\r\n"
    b"Accept-Encoding: gzip, deflate, br\r\n"
    b"Referer: https://en.wikipedia.org/wiki/Main_Page\r\n"
    b"Connection: keep-alive\r\n"
    b"Cookie: WMF-Last-Access=05-Dec-2023; GeoIP=NL:NH:Amsterdam:52.37:4.89:v4\r\n"
    b"Upgrade-Insecure-Requests: 1\r\n"
    b"Sec-Fetch-Dest: document\r\n"
    b"\r\n"
)
assert REQUEST.count(b"\r\n") - 2 == 10
BODY = b"x" * 1024
HEADERS = [("content-type", "text/html; charset=utf-8"), ("cache-control", "no-cache"), ("server", "bench")]


class Transport:
    pass


def ours():
    codec = H1Codec(date_header=False)
    state = H1ServerState(codec, Transport())
    headers = HeaderMap(HEADERS)
    done = object()

    def cycle():
        state.begin_read()
        state.unpark_idle_read()
        head, seq, decoder = state.accept_head(REQUEST)
        _, out, _ = state.respond_head(seq, 200, headers, done, content_length=len(BODY))
        out += codec.serialize_data(BODY) + codec.serialize_end()
        state.finish_response(seq)
        return out

    first = cycle()
    assert first == cycle() and first.endswith(BODY) and b"content-length: 1024\r\n" in first
    return cycle


def theirs():
    conn = h11.Connection(h11.SERVER)
    headers = [(n.encode(), v.encode()) for n, v in HEADERS] + [(b"content-length", b"1024")]

    def cycle():
        conn.receive_data(REQUEST)
        while type(conn.next_event()) is not h11.EndOfMessage:
            pass
        out = conn.send(h11.Response(status_code=200, headers=headers))
        out += conn.send(h11.Data(data=BODY)) + conn.send(h11.EndOfMessage())
        conn.start_next_cycle()
        return out

    first = cycle()
    assert first.endswith(BODY) and cycle() == first
    return cycle


SMALL_REQUEST = b"GET /hello HTTP/1.1\r\nHost: example.org\r\nUser-Agent: bench/1.0\r\nAccept: */*\r\n\r\n"
SMALL_BODY = b"Hello, world!"
SMALL_HEADERS = [("content-type", "text/plain")]


def small_state():
    codec = H1Codec(date_header=False)
    state = H1ServerState(codec, Transport())
    headers = HeaderMap(SMALL_HEADERS)
    done = object()
    n = len(SMALL_BODY)

    def cycle():
        state.begin_read()
        state.unpark_idle_read()
        head, seq, decoder = state.accept_head(SMALL_REQUEST)
        _, out, _ = state.respond_head(seq, 200, headers, done, content_length=n)
        out = codec.serialize_head_and_body(out, SMALL_BODY)
        state.finish_response(seq)
        return out

    first = cycle()
    assert first == cycle() and first.endswith(SMALL_BODY)
    return cycle


def small_codec():
    codec = H1Codec(date_header=False)
    headers = HeaderMap(SMALL_HEADERS)
    n = len(SMALL_BODY)

    def cycle():
        head = codec.receive_request_head(SMALL_REQUEST)
        out = codec.serialize_response(200, headers, content_length=n)
        out = codec.serialize_head_and_body(out, SMALL_BODY)
        codec.reset()
        return out

    first = cycle()
    assert first == cycle() and first.endswith(SMALL_BODY)
    return cycle


class _UvicornLike:
    """The parser callbacks of uvicorn's httptools protocol: the target
    and every header field, names lower-cased, kept for the request."""

    __slots__ = ("url", "headers", "done")

    def on_message_begin(self):
        self.url = b""
        self.headers = []

    def on_url(self, url):
        self.url += url

    def on_header(self, name, value):
        self.headers.append((name.lower(), value))

    def on_message_complete(self):
        self.done = True


def small_httptools():
    proto = _UvicornLike()
    parser = httptools.HttpRequestParser(proto)
    n = len(SMALL_BODY)

    def cycle():
        parser.feed_data(SMALL_REQUEST)
        keep = parser.should_keep_alive()
        return b"HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\ncontent-length: %d\r\n%s\r\n%s" % (
            n, b"" if keep else b"connection: close\r\n", SMALL_BODY)

    first = cycle()
    assert first == cycle() and first.endswith(SMALL_BODY) and len(proto.headers) == 3
    return cycle


def main():
    o = ns_per_call(ours())
    t = ns_per_call(theirs())
    report("HTTP/1 server request cycle (10-header GET, 3-header response, 1 KiB body)",
           [("begin_read .. finish_response", o, {"h11": t})])
    print(f"\n  speed-up over h11: {t / o:.1f}x (target >= 20x)")

    s = ns_per_call(small_state())
    c = ns_per_call(small_codec())
    h = ns_per_call(small_httptools())
    report("HTTP/1 small request cycle (3-header GET, 1-header response, 13-byte body)",
           [("H1ServerState cycle", s, {"httptools + on_header": h, "codec alone": c})])
    print(f"\n  state cycle vs httptools: {h / s:.2f}x (target >= 2x)")
    print(f"  state layer over the codec alone: {s - c:,.0f} ns (target <= 150 ns)")


if __name__ == "__main__":
    main()
