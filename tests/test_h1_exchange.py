"""Whole HTTP/1 exchanges run by hand: our codec in both roles, and our codec
against h11 as an independent peer in both directions."""
import h11
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _quillon import H1BodyDecoder, H1Codec, HeaderMap


def read_body(codec, head, more=b"", eof=False):
    """Decodes the body that follows `head`: the bytes the codec read past
    the head, then `more`. Returns (body, decoder)."""
    d = H1BodyDecoder(head.body_kind, head.content_length or 0)
    codec.take_body_into(d)
    d.feed(more)
    if eof:
        d.mark_eof()
    out = b""
    while (piece := d.decode()) is not None:
        out += piece
    return out, d


def trailers_of(decoder):
    t = decoder.take_trailers()
    return grouped(t.items() if t is not None else [])


def send_body(codec, body, trailers=None, split=7):
    out = b"".join(codec.serialize_data(body[i:i + split]) for i in range(0, len(body), split))
    return out + (codec.serialize_trailers(HeaderMap(trailers)) if trailers else codec.serialize_end())


def grouped(pairs):
    """name -> values in order: the view both parsers must agree on."""
    out = {}
    for name, value in pairs:
        name = name.decode() if isinstance(name, bytes) else name
        out.setdefault(name.lower(), []).append(value.encode() if isinstance(value, str) else bytes(value))
    return out


def test_chunked_exchange_with_trailers_then_pipelined_requests():
    client, server = H1Codec(), H1Codec(date_header=False)
    body = bytes(range(256)) * 40
    wire = client.serialize_request(
        "POST", "http://user:pw@example.com/upload?x=1",
        HeaderMap([("host", "example.com"), ("te", "trailers"), ("trailer", "x-digest")]), chunked=True)
    wire += send_body(client, body, [("x-digest", "abc"), ("x-undeclared", "no")], split=1000)
    assert client.body_is_eof()

    cut = wire.index(b"\r\n\r\n") + 10  # the head and a few body bytes arrive first
    head = server.receive_request_head(wire[:cut])
    assert head.target == "http://example.com/upload?x=1"
    assert (head.method, head.body_kind, head.allow_trailers, head.keep_alive) == ("POST", "chunked", True, True)
    got, dec = read_body(server, head, wire[cut:])
    assert got == body and dec.is_complete and dec.buffered == 0
    assert dec.take_trailers().items() == [("x-digest", b"abc")]

    resp = server.serialize_response(200, HeaderMap([("trailer", "x-sum")]), keep_alive=head.keep_alive,
                                     chunked=True)
    resp += send_body(server, b"result", [("x-sum", "6")])
    assert not server.response_is_last
    rhead = client.receive_head(resp)
    assert (rhead.status, rhead.body_kind, rhead.keep_alive) == (200, "chunked", True)
    got, dec = read_body(client, rhead)
    assert got == b"result" and dec.take_trailers().items() == [("x-sum", b"6")]
    assert dec.buffered == 0 and client.buffered() == 0

    # Reuse: a bodyless request and one with a length, pipelined in one write.
    client.reset()
    server.reset()
    first = client.serialize_request("GET", "/a", HeaderMap([("host", "h")]))
    client.reset()
    second = client.serialize_request("PUT", "/b", HeaderMap([("host", "h")]), content_length=5)
    second += send_body(client, b"12345")
    a = server.receive_request_head(first + second)
    assert (a.target, a.body_kind) == ("/a", "empty") and server.buffered() == len(second)
    server.reset()
    b = server.receive_request_head(b"")
    assert (b.target, b.body_kind, b.content_length) == ("/b", "length", 5)
    got, dec = read_body(server, b)
    assert got == b"12345" and dec.is_complete
    for length in (0, 3):
        server.reset()
        client.reset()
        client.serialize_request("GET", "/")
        resp = server.serialize_head_and_body(server.serialize_response(200, content_length=length), b"xyz"[:length])
        rhead = client.receive_head(resp + b"HTTP/1.1")  # the next response's first bytes stay buffered
        assert (rhead.body_kind, rhead.content_length) == (("length", 3) if length else ("empty", 0))
        got, dec = read_body(client, rhead)
        assert got == b"xyz"[:length] and dec.buffered == 8


def test_pipelined_leftover_goes_back_to_the_codec():
    server = H1Codec()
    wire = b"POST /1 HTTP/1.1\r\nhost: h\r\ncontent-length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\nhost: h\r\n\r\n"
    head = server.receive_request_head(wire)
    got, dec = read_body(server, head)
    assert got == b"abc" and dec.buffered == 28
    server.reset()
    server.feed(wire[-dec.buffered:])
    assert server.receive_request_head(b"").target == "/2"


@pytest.mark.parametrize("method,status", [("HEAD", 200), ("GET", 204), ("GET", 304), ("HEAD", 404)])
def test_bodyless_responses_leave_the_next_response_intact(method, status):
    client, server = H1Codec(), H1Codec(date_header=False)
    server.receive_request_head(client.serialize_request(method, "/", HeaderMap([("host", "h")])))
    head = server.serialize_response(status, content_length=10)
    assert server.body_is_eof() and server.serialize_head_and_body(head, b"x" * 10) is head
    assert (b"content-length: 10" in head) == (method == "HEAD")
    nxt = b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"
    rhead = client.receive_head(head + nxt)
    assert (rhead.status, rhead.body_kind, rhead.content_length, rhead.keep_alive) == (status, "empty", 0, True)
    assert client.buffered() == len(nxt)
    client.reset()
    client.serialize_request("GET", "/")
    after = client.receive_head(b"")
    assert after.status == 200 and read_body(client, after)[0] == b"ok"


def test_http10_peers():
    # A keep-alive HTTP/1.0 client; the server streams a body of unknown
    # length, which an HTTP/1.0 peer can only receive close-delimited.
    client, server = H1Codec(), H1Codec(date_header=False)
    wire = client.serialize_request("GET", "/old", HeaderMap([("host", "h")]), http10=True)
    assert wire.startswith(b"GET /old HTTP/1.0\r\n") and b"connection: keep-alive\r\n" in wire
    head = server.receive_request_head(wire)
    assert (head.http10, head.keep_alive) == (True, True)
    resp = server.serialize_response(200, keep_alive=head.keep_alive, http10=head.http10, chunked=True)
    assert resp.startswith(b"HTTP/1.0 200 OK\r\n") and b"transfer-encoding" not in resp
    assert server.response_close_delimited
    resp += send_body(server, b"streamed body")
    rhead = client.receive_head(resp)
    assert (rhead.http10, rhead.body_kind, rhead.content_length) == (True, "close", None)
    got, dec = read_body(client, rhead)
    assert got == b"streamed body" and not dec.is_complete
    got, dec = read_body(client, rhead, eof=True)
    assert got == b"" and dec.is_complete

    # A plain HTTP/1.0 request: no keep-alive, so the server closes.
    server = H1Codec(date_header=False)
    head = server.receive_request_head(b"GET / HTTP/1.0\r\n\r\n")
    assert (head.http10, head.keep_alive) == (True, False)
    resp = server.serialize_response(200, keep_alive=head.keep_alive, http10=True, content_length=2)
    assert resp == b"HTTP/1.0 200 OK\r\ncontent-length: 2\r\n\r\n" and server.response_is_last
    client = H1Codec()
    client.serialize_request("GET", "/", http10=True)
    rhead = client.receive_head(resp + server.serialize_data(b"hi"))
    assert (rhead.keep_alive, rhead.http10) == (False, True) and read_body(client, rhead)[0] == b"hi"


def test_expect_continue_and_connect_tunnel():
    client, server = H1Codec(), H1Codec(date_header=False)
    wire = client.serialize_request("PUT", "/big", HeaderMap([("host", "h"), ("expect", "100-continue")]),
                                   content_length=4)
    head = server.receive_request_head(wire)
    assert head.expect_continue and server.buffered() == 0
    assert client.receive_head(H1Codec.continue_response()) is None and client.buffered() == 0
    got, _ = read_body(server, head, client.serialize_data(b"data"))
    assert got == b"data"
    rhead = client.receive_head(server.serialize_response(201))
    assert (rhead.status, rhead.body_kind) == (201, "empty")

    client, server = H1Codec(), H1Codec(date_header=False)
    head = server.receive_request_head(client.serialize_request("CONNECT", "example.com:443", HeaderMap([("host", "example.com:443")]))
                                      + b"\x16\x03")
    assert (head.is_upgrade, head.target) == (True, "example.com:443")
    assert server.take_body() == b"\x16\x03"
    resp = server.serialize_response(200)
    assert resp == b"HTTP/1.1 200 OK\r\n\r\n" and server.response_is_last
    rhead = client.receive_head(resp + b"\x16\x03\x01")
    assert (rhead.is_upgrade, rhead.keep_alive, rhead.body_kind) == (True, False, "empty")
    assert client.take_body() == b"\x16\x03\x01"


# ---------------------------------------------------------------------------
# Differential tests against h11

def h11_events(conn, data):
    conn.receive_data(data)
    events = []
    while True:
        e = conn.next_event()
        if e is h11.NEED_DATA or e is h11.PAUSED:
            return events
        events.append(e)
        if type(e) is h11.EndOfMessage:
            return events


def h11_message(events):
    """(head event, body, trailers) from one message's events."""
    head, body, trailers = events[0], b"", {}
    for e in events[1:]:
        if type(e) is h11.Data:
            body += bytes(e.data)
        elif type(e) is h11.EndOfMessage:
            trailers = grouped(e.headers)
    assert type(events[-1]) is h11.EndOfMessage
    return head, body, trailers


def ours_request(method, target, headers, body, framing, trailers):
    c = H1Codec()
    kw = {"content_length": len(body)} if framing == "length" else {"chunked": True} if framing else {}
    hdrs = [("host", "example.com")] + headers + declared(trailers)
    return c.serialize_request(method, target, HeaderMap(hdrs), **kw) + send_body(c, body, trailers)


def framing_headers(body, framing):
    return {"length": [("content-length", str(len(body)))], "chunked": [("transfer-encoding", "chunked")]}.get(
        framing, [])


def declared(trailers):
    return [("trailer", ", ".join(n for n, _ in trailers))] if trailers else []


def h11_request(method, target, headers, body, framing, trailers):
    conn = h11.Connection(h11.CLIENT)
    hdrs = [("host", "example.com")] + headers + framing_headers(body, framing)
    wire = conn.send(h11.Request(method=method, target=target, headers=hdrs))
    if body:
        wire += conn.send(h11.Data(data=body))
    return wire + conn.send(h11.EndOfMessage(headers=trailers if framing == "chunked" else []))


REQUESTS = [
    ("GET", "/", [], b"", None, []),
    ("GET", "/search?q=a%20b&x=1", [("accept", "*/*"), ("x-dup", "1"), ("x-dup", "2"), ("x-empty", "")], b"", None, []),
    ("POST", "/form", [("content-type", "application/x-www-form-urlencoded")], b"a=1&b=2", "length", []),
    ("PUT", "/blob", [("x-meta", b"caf\xc3\xa9 \t tab")], bytes(range(256)) * 5, "chunked", []),
    ("DELETE", "/item/7", [("X-Mixed-Case", "V")], b"", "length", []),
    ("PATCH", "/p", [], b"diff", "chunked", [("x-checksum", "abc"), ("x-checksum", "def")]),
    ("OPTIONS", "*", [], b"", None, []),
    ("GET", "http://example.com:8080/abs?x", [], b"", None, []),
]


def check_request_agrees(method, target, headers, body, framing, trailers):
    expected = grouped([("host", "example.com")] + headers)
    # We encode, h11 and we both parse.
    wire = ours_request(method, target, headers, body, framing, trailers)
    req, h11_body, h11_trailers = h11_message(h11_events(h11.Connection(h11.SERVER), wire))
    server = H1Codec()
    head = server.receive_request_head(wire)
    our_body, dec = read_body(server, head)
    assert (req.method.decode(), req.target.decode()) == (head.method, head.target) == (method, target)
    assert grouped(req.headers) == grouped(head.headers.items())
    assert grouped(req.headers) == {**expected, **grouped(declared(trailers) + framing_headers(body, framing))}
    assert h11_body == our_body == body
    assert h11_trailers == trailers_of(dec) == grouped(trailers)
    # h11 encodes, we parse.
    wire = h11_request(method, target, headers, body, framing, trailers)
    server = H1Codec()
    head = server.receive_request_head(wire)
    our_body, dec = read_body(server, head)
    assert (head.method, head.target) == (method, target)
    assert grouped(head.headers.items()) == {**expected, **grouped(framing_headers(body, framing))}
    assert our_body == body and trailers_of(dec) == grouped(trailers if framing == "chunked" else [])
    assert server.buffered() == 0 and dec.buffered == 0


@pytest.mark.parametrize("message", REQUESTS, ids=lambda m: f"{m[0]}-{m[4]}")
def test_requests_agree_with_h11(message):
    check_request_agrees(*message)


RESPONSES = [
    (200, [("content-type", "text/plain")], b"hello", "length", []),
    (404, [("x-dup", "a"), ("x-dup", "b")], b"", "length", []),
    (200, [], bytes(range(256)) * 9, "chunked", []),
    (500, [("retry-after", "5")], b"oops", "chunked", [("x-status", "failed"), ("x-n", "1")]),
    (204, [("x-id", "7")], b"", None, []),
    (304, [("etag", '"abc"')], b"", None, []),
    (301, [("location", "https://example.com/new")], b"", "length", []),
]


def check_response_agrees(status, headers, body, framing, trailers):
    kw = {"content_length": len(body)} if framing == "length" else {"chunked": True} if framing else {}
    hdrs = headers + declared(trailers)
    # We encode (as the server of an h11 client), h11 and we both parse.
    h11_client = h11.Connection(h11.CLIENT)
    request = h11_client.send(h11.Request(method="GET", target="/", headers=[("host", "h"), ("te", "trailers")]))
    request += h11_client.send(h11.EndOfMessage())
    server, client = H1Codec(), H1Codec()
    server.receive_request_head(request)
    client.serialize_request("GET", "/")
    wire = server.serialize_response(status, HeaderMap(hdrs), **kw) + send_body(server, body, trailers)
    resp, h11_body, h11_trailers = h11_message(h11_events(h11_client, wire))
    head = client.receive_head(wire)
    our_body, dec = read_body(client, head)
    assert resp.status_code == head.status == status
    assert grouped(resp.headers) == grouped(head.headers.items())
    assert grouped(headers).items() <= grouped(resp.headers).items()
    assert h11_body == our_body == body
    assert h11_trailers == trailers_of(dec) == grouped(trailers)
    # h11 encodes (as the server of our client), we parse.
    client = H1Codec()
    h11_server = h11.Connection(h11.SERVER)
    h11_events(h11_server, client.serialize_request("GET", "/", HeaderMap([("host", "h")])))
    wire = h11_server.send(h11.Response(status_code=status, headers=headers + framing_headers(body, framing)))
    if body:
        wire += h11_server.send(h11.Data(data=body))
    wire += h11_server.send(h11.EndOfMessage(headers=trailers))
    head = client.receive_head(wire)
    our_body, dec = read_body(client, head)
    assert head.status == status and head.keep_alive
    assert grouped(head.headers.items()) == {**grouped(headers), **grouped(framing_headers(body, framing))}
    assert our_body == body and trailers_of(dec) == grouped(trailers)
    assert dec.is_complete and dec.buffered == 0 and client.buffered() == 0


@pytest.mark.parametrize("message", RESPONSES, ids=lambda m: f"{m[0]}-{m[3]}")
def test_responses_agree_with_h11(message):
    check_response_agrees(*message)


RESERVED = {"host", "content-length", "transfer-encoding", "connection", "te", "trailer", "expect", "upgrade",
            "keep-alive", "proxy-connection"}
TOKEN = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
names = st.text(TOKEN, min_size=1, max_size=20).filter(lambda n: n.lower() not in RESERVED)
visible = st.binary(min_size=1, max_size=8).map(lambda b: bytes(0x21 + x % 94 if x < 0x80 else x for x in b))
values = st.lists(visible, max_size=4).flatmap(
    lambda words: st.lists(st.sampled_from([b" ", b"\t", b"  "]), min_size=max(len(words) - 1, 0),
                           max_size=max(len(words) - 1, 0)).map(
        lambda gaps: b"".join(w + g for w, g in zip(words, gaps + [b""]))))
header_lists = st.lists(st.tuples(names, values), max_size=12)
bodies = st.binary(max_size=2000)


@settings(max_examples=100, deadline=None)
@given(headers=header_lists, body=bodies, framing=st.sampled_from(["length", "chunked"]),
       trailers=st.lists(st.tuples(st.sampled_from(["x-t1", "x-t2"]), values), max_size=3))
def test_random_messages_agree_with_h11(headers, body, framing, trailers):
    trailers = trailers if framing == "chunked" else []
    check_request_agrees("POST", "/r", headers, body, framing, trailers)
    check_response_agrees(200, headers, body, framing, trailers)
