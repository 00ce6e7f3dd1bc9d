"""H1Codec as the host sees it: the object, its head records and head parsing."""
import sys

import pytest

from _quillon import H1Codec, H1Error, H1ParseError, H1RequestHead, H1ResponseHead, HeaderMap, QuillonError

PARSE_TEXT = {
    "method": "invalid HTTP method parsed",
    "version": "invalid HTTP version parsed",
    "version_h2": "invalid HTTP version parsed (found HTTP2 preface)",
    "uri": "invalid URI",
    "uri_too_long": "URI too long",
    "header_token": "invalid HTTP header parsed",
    "header_content_length_invalid": "invalid content-length parsed",
    "header_transfer_encoding_invalid": "invalid transfer-encoding parsed",
    "header_transfer_encoding_unexpected": "unexpected transfer-encoding parsed",
    "header_transfer_encoding_unsupported": "unsupported transfer-encoding parsed",
    "header_host_invalid": "missing or repeated host header",
    "too_large": "message head is too large",
    "status": "invalid HTTP status-code parsed",
}
H2_PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
STANDARD_METHODS = ["OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY"]


def req(fields=b"", line=b"GET / HTTP/1.1", host=b"host: h\r\n"):
    return line + b"\r\n" + host + fields + b"\r\n"


def many_headers(n):
    return b"".join(b"h%d: v\r\n" % i for i in range(n))


def client_after(method):
    """A client codec that has recorded `method` for the response to come."""
    c = H1Codec()
    c.serialize_request(method, "/")
    return c


SIGNATURES = {
    H1Codec: "(*, max_headers=None, ignore_invalid_headers=False, title_case_headers=False, "
    "date_header=True, max_buf_size=417792)",
    H1Codec.receive_head: "($self, data)",
    H1Codec.receive_request_head: "($self, data)",
    H1Codec.feed: "($self, data)",
    H1Codec.take_body_into: "($self, decoder)",
    H1Codec.serialize_request: "($self, method, url, headers=None, *, http10=False, content_length=None, chunked=False)",
    H1Codec.serialize_response: "($self, status, headers=None, *, keep_alive=True, http10=False, "
    "content_length=None, chunked=False)",
    H1Codec.serialize_data: "($self, chunk)",
    H1Codec.serialize_trailers: "($self, trailers)",
    H1Codec.serialize_head_and_body: "($self, head, body=None, trailers=None)",
    H1Codec.continue_response: "()",
    H1Codec.connection_close: "(headers)",
}


@pytest.mark.parametrize("obj,sig", SIGNATURES.items(), ids=lambda o: getattr(o, "__name__", None))
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig


def test_new_codec_state():
    c = H1Codec()
    assert c.max_buf_size == 417792 and c.parse_error_status is None
    assert (c.request_connection_close, c.response_is_last, c.response_close_delimited) == (False, False, False)
    assert c.buffered() == 0 and c.body_is_eof() is True and c.take_body() == b""
    assert H1Codec(max_buf_size=8192).max_buf_size == 8192
    with pytest.raises(ValueError) as e:
        H1Codec(max_buf_size=8191)
    assert e.value.args == ("the max_buf_size cannot be smaller than 8192",)
    with pytest.raises(AttributeError):
        c.max_buf_size = 9000
    with pytest.raises(TypeError, match="takes no positional arguments"):
        H1Codec(100)


@pytest.mark.parametrize(
    "kwargs,exc,name",
    [
        ({"max_headers": "100"}, TypeError, "max_headers"),
        ({"max_headers": -1}, OverflowError, "max_headers"),
        ({"ignore_invalid_headers": 1}, TypeError, "ignore_invalid_headers"),
        ({"title_case_headers": None}, TypeError, "title_case_headers"),
        ({"date_header": "yes"}, TypeError, "date_header"),
        ({"max_buf_size": 8192.0}, TypeError, "max_buf_size"),
        ({"max_buf_size": 2**64}, OverflowError, "max_buf_size"),
    ],
)
def test_constructor_argument_errors_name_the_argument(kwargs, exc, name):
    with pytest.raises(exc, match=f"argument '{name}'"):
        H1Codec(**kwargs)


@pytest.mark.parametrize("method", ["receive_head", "receive_request_head", "feed"])
@pytest.mark.parametrize("data", [bytearray(b"GET"), memoryview(b"GET"), "GET", None])
def test_data_must_be_bytes(method, data):
    c = H1Codec()
    with pytest.raises(TypeError, match=rf"H1Codec\.{method}\(\) argument 'data' must be bytes, not "):
        getattr(c, method)(data)
    assert c.buffered() == 0


def test_request_head_record():
    c = H1Codec()
    wire = b"POST /a?b=1 HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nTE: trailers\r\nX: 1\r\nx: 2\r\n"
    h = c.receive_request_head(wire + b"Content-Length: 3\r\n\r\nabcGET")
    assert type(h) is H1RequestHead
    assert (h.method, h.target, h.body_kind, h.content_length) == ("POST", "/a?b=1", "length", 3)
    assert (h.keep_alive, h.expect_continue, h.is_upgrade, h.http10, h.allow_trailers) == (True, True, False, False, True)
    assert type(h.headers) is HeaderMap
    assert h.headers.items() == [("host", b"x"), ("expect", b"100-continue"), ("te", b"trailers"),
                                 ("x", b"1"), ("x", b"2"), ("content-length", b"3")]
    assert h.target is h.target and h.headers is h.headers
    assert repr(h) == "H1RequestHead(method='POST', target='/a?b=1', body_kind=length)"
    assert c.buffered() == 6 and c.take_body() == b"abcGET" and c.buffered() == 0
    with pytest.raises(AttributeError):
        h.method = "GET"
    with pytest.raises(TypeError):
        H1RequestHead()


def test_response_head_record():
    c = client_after("GET")
    h = c.receive_head(b"HTTP/1.0 404 Not Found\r\nX-A: 1\r\n\r\nrest")
    assert type(h) is H1ResponseHead
    assert (h.status, h.body_kind, h.content_length, h.keep_alive, h.is_upgrade, h.http10) == (
        404, "close", None, False, False, True)
    assert h.headers.items() == [("x-a", b"1")]
    assert repr(h) == "H1ResponseHead(status=404, body_kind=close, keep_alive=false)"
    assert c.buffered() == 4
    up = client_after("GET").receive_head(b"HTTP/1.1 101 Switching Protocols\r\nupgrade: ws\r\n\r\n")
    assert (up.is_upgrade, up.keep_alive, up.body_kind, up.content_length) == (True, False, "empty", 0)
    ok = client_after("GET").receive_head(b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n")
    assert repr(ok) == "H1ResponseHead(status=200, body_kind=chunked, keep_alive=true)"
    with pytest.raises(TypeError):
        H1ResponseHead()


@pytest.mark.parametrize("method", STANDARD_METHODS + ["PROPFIND", "get"])
def test_standard_methods_are_shared_strings(method):
    line = f"{method} / HTTP/1.1\r\nhost: h\r\n\r\n".encode()
    a = H1Codec().receive_request_head(line)
    b = H1Codec().receive_request_head(line)
    assert a.method == method and b.method == method
    assert (a.method is b.method) == (method in STANDARD_METHODS)
    if method in STANDARD_METHODS:
        assert a.method is sys.intern(method)


@pytest.mark.parametrize(
    "request_side,wire,kind",
    [
        (True, req(), "empty"),
        (True, req(b"content-length: 2\r\n", b"PUT / HTTP/1.1"), "length"),
        (True, req(b"transfer-encoding: chunked\r\n", b"PUT / HTTP/1.1"), "chunked"),
        (False, b"HTTP/1.1 204 No Content\r\n\r\n", "empty"),
        (False, b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n", "length"),
        (False, b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", "chunked"),
        (False, b"HTTP/1.1 200 OK\r\n\r\n", "close"),
    ],
)
def test_body_kinds_are_shared_strings(request_side, wire, kind):
    heads = [H1Codec().receive_request_head(wire) if request_side else client_after("GET").receive_head(wire)
             for _ in range(2)]
    assert heads[0].body_kind == kind
    assert heads[0].body_kind is heads[1].body_kind is sys.intern(kind)


def check_failure(c, call, data, kind, status):
    """`call(data)` fails with `kind`, leaves the buffer as it was, and fails
    the same way again: a failed codec stays consistently failed."""
    before = c.buffered()
    for attempt in (data, b""):
        with pytest.raises(H1ParseError) as e:
            call(attempt)
        assert type(e.value) is H1ParseError and isinstance(e.value, H1Error) and isinstance(e.value, QuillonError)
        assert e.value.args == (kind, PARSE_TEXT[kind])
        assert c.parse_error_status == status
        assert c.buffered() == before + len(data)


REQUEST_FAILURES = [
    (b"G(T / HTTP/1.1\r\n\r\n", {}, "method", 400),
    (b"GET /a\x7fb HTTP/1.1\r\n\r\n", {}, "uri", 400),
    (b"GET / HTTP/1.2\r\n\r\n", {}, "version", 400),
    (b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n", {}, "uri_too_long", 414),
    (req(b"x: a\x00b\r\n"), {}, "header_token", 400),
    (req(b"x: a\rb\r\n"), {}, "header_token", 400),
    (req(b"x: y\r\r\n"), {}, "header_token", 400),
    (req(b"x: y\r\n folded\r\n"), {}, "header_token", 400),
    (req(b"x: y\r\n folded\r\n"), {"ignore_invalid_headers": True}, "header_token", 400),
    (req(b"content-length: 1\r\ncontent-length: 2\r\n"), {}, "header_content_length_invalid", 400),
    (req(b"transfer-encoding: gzip\r\n", b"POST / HTTP/1.1"), {}, "header_transfer_encoding_invalid", 400),
    (req(b"transfer-encoding: chunked\r\n", b"POST / HTTP/1.0"), {}, "header_transfer_encoding_unexpected", 400),
    (req(b"transfer-encoding: chunked, chunked\r\n", b"POST / HTTP/1.1"), {}, "header_transfer_encoding_invalid", 400),
    (req(b"transfer-encoding: gzip, chunked\r\n", b"POST / HTTP/1.1"), {}, "header_transfer_encoding_unsupported",
     501),
    (req(b"transfer-encoding: gzip\r\ntransfer-encoding: chunked\r\n", b"POST / HTTP/1.1"), {},
     "header_transfer_encoding_unsupported", 501),
    (req(host=b""), {}, "header_host_invalid", 400),
    (req(b"x-host: h\r\n", host=b""), {}, "header_host_invalid", 400),
    (req(b"Host: h\r\n"), {}, "header_host_invalid", 400),
    (req(b"host: h2\r\n", b"GET / HTTP/1.0"), {}, "header_host_invalid", 400),
    (req(b"content-length: 18446744073709551614\r\n"), {}, "too_large", 431),
    (req(many_headers(101)), {}, "too_large", 431),
    (req(many_headers(101)), {"max_headers": None}, "too_large", 431),
    (req(many_headers(3)), {"max_headers": 2}, "too_large", 431),
    (b"GET / HTTP/1.1\r\nx: " + b"a" * (8192 - 19), {"max_buf_size": 8192}, "too_large", 431),
    (H2_PREFACE, {}, "version_h2", None),
    (H2_PREFACE + b"\x00\x00\x12\x04", {}, "version_h2", None),
    (H2_PREFACE[:16], {}, "version", 400),
]


@pytest.mark.parametrize("wire,config,kind,status", REQUEST_FAILURES)
def test_request_head_failures(wire, config, kind, status):
    c = H1Codec(**config)
    check_failure(c, c.receive_request_head, wire, kind, status)
    c.reset()
    assert c.parse_error_status is None and c.buffered() == len(wire)


@pytest.mark.parametrize(
    "wire,kind",
    [
        (b"HTTP/1.1 99 Low\r\n\r\n", "status"),
        (b"HTTP/1.1 2x0 OK\r\n\r\n", "status"),
        (b"HTTP/1.1 200 O\x01K\r\n\r\n", "status"),
        (b"ICY 200 OK\r\n\r\n", "version"),
        (b"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", "header_token"),
        (b"HTTP/1.1 200 OK\r\n" + many_headers(101) + b"\r\n", "too_large"),
        (b"HTTP/1.1 200 OK\r\ncontent-length: 5, 6\r\n\r\n", "header_content_length_invalid"),
        (b"HTTP/1.0 200 OK\r\ntransfer-encoding: chunked\r\n\r\n", "header_transfer_encoding_unexpected"),
    ],
)
def test_response_head_failures(wire, kind):
    c = client_after("GET")
    check_failure(c, c.receive_head, wire, kind, None)


def test_head_limits_are_inclusive_and_the_codec_stays_usable():
    target = b"/" + b"a" * 65533
    assert H1Codec().receive_request_head(b"GET " + target + b" HTTP/1.0\r\n\r\n").target == target.decode()
    wide = H1Codec(max_headers=200).receive_request_head(req(many_headers(101)))
    assert len(wide.headers) == 102  # host and the 101
    # 8191 of 8192 bytes buffered is not yet too large; completing the head
    # then parses it even though it ends past the cap.
    c = H1Codec(max_buf_size=8192)
    unterminated = b"GET / HTTP/1.0\r\nx: " + b"a" * (8191 - 19)
    assert c.receive_request_head(unterminated) is None and c.buffered() == 8191
    head = c.receive_request_head(b"\r\n\r\nnext")
    assert head.headers["x"] == b"a" * (8191 - 19) and c.buffered() == 4


@pytest.mark.parametrize(
    "line,skipped",
    [
        (b"bad(name: v\r\n", True),
        (b"x-ctl: a\x01z\r\n", True),
        (b"nocolon\r\n", True),
        (b"transfer-encoding : chunked\r\n", False),
        (b"Transfer-Encoding\t: chunked\r\n", False),
        (b"content-length : 5\r\n", False),
        (b"content-length: 5\x01\r\n", False),
        (b"x: a\x00b\r\n", False),
        (b"x: a\rb\r\n", False),
    ],
)
def test_ignore_invalid_headers_never_skips_a_framing_ambiguity(line, skipped):
    c = H1Codec(ignore_invalid_headers=True)
    wire = req(line + b"x-after: 1\r\n", b"POST / HTTP/1.1")
    if skipped:
        h = c.receive_request_head(wire)
        assert h.headers.items() == [("host", b"h"), ("x-after", b"1")] and h.body_kind == "empty"
    else:
        check_failure(c, c.receive_request_head, wire, "header_token", 400)
    with pytest.raises(H1ParseError) as e:
        H1Codec().receive_request_head(wire)  # without the option every such line fails
    assert e.value.args[0] == "header_token"


@pytest.mark.parametrize(
    "fields,conflict",
    [
        (b"content-length: 3\r\ntransfer-encoding: chunked\r\n", True),
        (b"transfer-encoding: chunked\r\ncontent-length: 3\r\n", True),
        (b"transfer-encoding: chunked\r\ncontent-length: nonsense\r\n", True),
        (b"transfer-encoding: chunked\r\n", False),
    ],
)
def test_content_length_with_transfer_encoding_is_chunked_and_closes(fields, conflict):
    h = H1Codec().receive_request_head(req(fields, b"POST /u HTTP/1.1") + b"0\r\n\r\n")
    assert h.body_kind == "chunked" and h.content_length is None
    assert "content-length" not in h.headers and h.headers["transfer-encoding"] == b"chunked"
    assert h.keep_alive is (not conflict)


PIECEWISE = [
    (True, b"GET /x?y HTTP/1.1\r\nHost: h\r\nA: 1\r\nA: 2\r\n\r\nrest"),
    (True, b"\r\n\nPOST / HTTP/1.1\nhost: h\ncontent-length: 3\nTE: trailers\n\nabc"),
    (True, b"PUT / HTTP/1.0\r\nconnection: keep-alive\r\ncontent-length: 0\r\n\r\n"),
    (False, b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\nbody"),
    (False, b"HTTP/1.1 200 OK\r\nconnection: close\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n"),
    (False, b"HTTP/1.0 301 Moved\nlocation: /z\n\n"),
]
REQUEST_FIELDS = ["method", "target", "keep_alive", "body_kind", "content_length", "expect_continue",
                  "is_upgrade", "http10", "allow_trailers"]
RESPONSE_FIELDS = ["status", "keep_alive", "body_kind", "content_length", "is_upgrade", "http10"]


def snapshot(head, fields):
    return [getattr(head, f) for f in fields] + [head.headers.items()]


@pytest.mark.parametrize("request_side,wire", PIECEWISE)
def test_byte_at_a_time_equals_whole(request_side, wire):
    def codec():
        return H1Codec() if request_side else client_after("GET")

    fields = REQUEST_FIELDS if request_side else RESPONSE_FIELDS
    whole_codec = codec()
    parse = whole_codec.receive_request_head if request_side else whole_codec.receive_head
    whole = parse(wire)
    c = codec()
    parse = c.receive_request_head if request_side else c.receive_head
    for i in range(len(wire)):
        head = parse(wire[i:i + 1])
        if head is not None:
            break
    assert head is not None and snapshot(head, fields) == snapshot(whole, fields)
    assert c.buffered() + len(wire) - 1 - i == whole_codec.buffered()


def test_feed_and_reset_keep_the_read_buffer():
    c = H1Codec()
    c.feed(b"GET /a HTTP/1.0\r\n\r\nGET /b HT")
    assert c.buffered() == 28
    assert c.receive_request_head(b"").target == "/a"
    c.reset()
    assert c.buffered() == 9
    assert c.receive_request_head(b"TP/1.0\r\n\r\n").target == "/b"
    # take_body empties the buffer and the next head is scanned afresh.
    c.reset()
    c.feed(b"GET / HTTP/1.1\r\nx: 1")
    assert c.receive_request_head(b"") is None
    assert c.take_body() == b"GET / HTTP/1.1\r\nx: 1" and c.buffered() == 0
    with pytest.raises(H1ParseError) as e:
        c.receive_request_head(b"GET / HTTP/9.9\r\n\r\n")
    assert e.value.args[0] == "version"
