"""Body framing through H1Codec and body decoding through H1BodyDecoder."""
import re
import sys

import pytest

from _quillon import H1BodyDecoder, H1BodyError, H1Codec, H1UserError, HeaderMap

BODY_ERROR = "error reading a body from connection: "
TERMINATOR = b"0\r\n\r\n"


def aborted(n):
    return ("body_write_aborted", f"user body write aborted: early end, expected {n} more bytes")


def response_codec(request=b"GET / HTTP/1.1\r\nhost: h\r\nte: trailers\r\n\r\n", **kwargs):
    """A server codec with a request recorded and a response head encoded."""
    c = H1Codec(date_header=False)
    c.receive_request_head(request)
    head = c.serialize_response(200, **kwargs)
    return c, head


def drain(decoder):
    out = []
    while (piece := decoder.decode()) is not None:
        assert type(piece) is bytes and piece
        out.append(piece)
    return b"".join(out)


@pytest.mark.parametrize(
    "kwargs,same",
    [
        ({"content_length": 26}, True),
        ({"http10": True, "chunked": True}, True),  # close-delimited
        ({"chunked": True}, False),
    ],
)
def test_serialize_data_returns_the_callers_object_where_framing_allows(kwargs, same):
    c, _ = response_codec(**kwargs)
    chunk = bytes(range(26))
    out = c.serialize_data(chunk)
    assert (out is chunk) is same
    assert out == (chunk if same else b"1A\r\n" + chunk + b"\r\n")
    assert c.serialize_data(b"") == b""  # never a terminator, whatever the framing


def test_declared_length_truncates_then_ends_quietly():
    c, _ = response_codec(content_length=5)
    chunk = b"hello world"
    assert c.serialize_data(chunk) == b"hello"
    assert c.serialize_data(b"!") == b"" and c.body_is_eof()
    assert c.serialize_end() == b""
    with pytest.raises(ValueError) as e:
        c.serialize_data(b"x")
    assert e.value.args == ("serialize_data with no request in flight",)
    assert H1Codec().serialize_data(b"") == b""


@pytest.mark.parametrize(
    "finish,missing",
    [
        (lambda c: c.serialize_end(), 3),
        (lambda c: c.serialize_trailers(HeaderMap([("x-t", "1")])), 3),
        (lambda c: c.serialize_head_and_body(b"HEAD", b"a"), 2),
    ],
)
def test_short_body_aborts_and_drops_the_encoder(finish, missing):
    c, _ = response_codec(content_length=5)
    c.serialize_data(b"ab")
    with pytest.raises(H1UserError) as e:
        finish(c)
    assert e.value.args == aborted(missing)
    assert c.serialize_end() == b"" and c.body_is_eof()


def test_terminator_is_one_shared_object():
    ends = []
    for kwargs in ({"chunked": True}, {"chunked": True, "headers": HeaderMap([("trailer", "content-type")])}):
        c, _ = response_codec(**kwargs)
        ends.append(c.serialize_end())
        c, _ = response_codec(**kwargs)  # no declared trailer is sent: the bare terminator
        ends.append(c.serialize_trailers(HeaderMap([("content-type", "x"), ("x-undeclared", "1")])))
    c, _ = response_codec(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n", chunked=True, headers=HeaderMap([("trailer", "x-t")]))
    ends.append(c.serialize_trailers(HeaderMap([("x-t", "1")])))  # the request did not accept trailers
    client = H1Codec()
    client.serialize_request("POST", "/", chunked=True)
    ends.append(client.serialize_end())
    assert ends[0] == TERMINATOR and all(e is ends[0] for e in ends)
    assert client.serialize_end() == b""  # the encoder is gone


def test_serialize_head_and_body():
    c, head = response_codec(chunked=True, headers=HeaderMap([("trailer", "x-t")]))
    whole = c.serialize_head_and_body(head, b"abc", HeaderMap([("x-t", "1")]))
    assert whole == head + b"3\r\nabc\r\n0\r\nx-t: 1\r\n\r\n"
    c, head = response_codec(content_length=3)
    assert c.serialize_head_and_body(head, b"abcdef") == head + b"abc"
    # Bodyless framings give back the caller's head object itself.
    c, head = response_codec(b"HEAD / HTTP/1.1\r\nhost: h\r\n\r\n", content_length=3)
    assert c.serialize_head_and_body(head, b"abc") is head
    fresh_head = b"GET / HTTP/1.1\r\nhost: h\r\n\r\n"
    assert H1Codec().serialize_head_and_body(fresh_head, b"ignored") is fresh_head


@pytest.mark.parametrize(
    "call,exc,message",
    [
        (lambda c, d: c.serialize_data(bytearray(b"x")), TypeError, "argument 'chunk' must be bytes"),
        (lambda c, d: c.serialize_trailers(None), TypeError, "argument 'trailers' must be HeaderMap, not NoneType"),
        (lambda c, d: c.serialize_head_and_body("h"), TypeError, "argument 'head' must be bytes"),
        (lambda c, d: c.serialize_head_and_body(b"h", "b"), TypeError, "argument 'body' must be bytes"),
        (lambda c, d: c.serialize_head_and_body(b"h", None, {}), TypeError, "argument 'trailers' must be HeaderMap"),
        (lambda c, d: c.take_body_into(H1Codec()), TypeError, "argument 'decoder' must be H1BodyDecoder, not "),
        (lambda c, d: H1BodyDecoder(b"length"), TypeError, "argument 'kind' must be str, not bytes"),
        (lambda c, d: H1BodyDecoder("length", 1.0), TypeError, "argument 'length' must be int, not float"),
        (lambda c, d: H1BodyDecoder("length", -1), OverflowError, "argument 'length' out of range"),
        (lambda c, d: H1BodyDecoder("length", length=2**64), OverflowError, "argument 'length' out of range"),
        (lambda c, d: d.feed("x"), TypeError, "H1BodyDecoder.feed() argument 'data' must be bytes"),
        (lambda c, d: d.decode(1), TypeError, None),
    ],
)
def test_body_argument_errors(call, exc, message):
    c, _ = response_codec(chunked=True)
    c.feed(b"kept")
    d = H1BodyDecoder("chunked")
    with pytest.raises(exc, match=re.escape(message) if message else None):
        call(c, d)
    assert c.buffered() == 4 and d.buffered == 0 and not c.body_is_eof()


def test_decoder_surface():
    assert H1BodyDecoder.__text_signature__ == "(kind, length=0)"
    assert H1BodyDecoder("length", 2**64 - 1).is_complete is False
    for kind, length in [("empty", 9), ("length", 0), ("bogus", 5), ("", 0)]:
        d = H1BodyDecoder(kind, length)
        d.feed(b"next message")
        assert (d.is_complete, d.decode(), d.buffered, d.take_trailers()) == (True, None, 12, None)
    d = H1BodyDecoder(kind="length", length=5)
    d.feed(b"abcdefgh")
    assert d.decode() == b"abcde" and d.is_complete and d.buffered == 3 and d.decode() is None
    for prop in ("is_complete", "buffered"):
        with pytest.raises(AttributeError):
            setattr(d, prop, 0)


@pytest.mark.parametrize(
    "kind,length,data,eof,pieces,io_kind,text",
    [
        ("length", 5, b"ab", True, [b"ab"], "unexpected_eof", "end of file before message length reached"),
        ("chunked", 0, b"5\r\nab", True, [b"ab"], "unexpected_eof", "end of file before message length reached"),
        ("chunked", 0, b"5\r\nhello\r", True, [b"hello"], "unexpected_eof", "unexpected EOF during chunk size line"),
        ("chunked", 0, b"", True, [], "unexpected_eof", "unexpected EOF during chunk size line"),
        ("chunked", 0, b"ffffffffffffffff\r\nabc", True, [b"abc"], "unexpected_eof",
         "end of file before message length reached"),
        ("chunked", 0, b"1" + b"0" * 16 + b"\r\n", False, [], "invalid_data", "invalid chunk size: overflow"),
        ("chunked", 0, b"-1\r\n", False, [], "invalid_input", "Invalid chunk size line: missing size digit"),
        ("chunked", 0, b"5x\r\n", False, [], "invalid_input", "Invalid chunk size line: Invalid Size"),
        ("chunked", 0, b"5\r\nhelloXX", False, [b"hello"], "invalid_input", "Invalid chunk body CR"),
        ("chunked", 0, b"5;a=b\nhello", False, [], "invalid_data", "invalid chunk extension contains newline"),
        ("chunked", 0, b"1;" + b"e" * 16384 + b"\r\n", False, [], "invalid_data", "chunk extensions over limit"),
        ("chunked", 0, b"0\r\n" + b"t: v\r\n" * 101 + b"\r\n", False, [], "invalid_data",
         "chunk trailers count overflow"),
        ("chunked", 0, b"0\r\nt: " + b"v" * 16400, False, [], "invalid_data", "chunk trailers bytes over limit"),
        ("chunked", 0, b"0\r\nbad name: v\r\n\r\n", False, [], "invalid_input", "invalid header name"),
    ],
)
def test_decode_failures(kind, length, data, eof, pieces, io_kind, text):
    d = H1BodyDecoder(kind, length)
    d.feed(data)
    if eof:
        d.mark_eof()
    got = []
    with pytest.raises(H1BodyError) as e:
        while True:
            piece = d.decode()
            assert piece is not None, "a failing body must not look merely incomplete"
            got.append(piece)
    assert got == pieces
    assert type(e.value) is H1BodyError and e.value.args == (io_kind, BODY_ERROR + text)
    assert not d.is_complete


PIPELINED_GET = b"GET /admin HTTP/1.1\r\nHost: h\r\n\r\n"


@pytest.mark.parametrize(
    "section,text",
    [
        (b"0\r\n\n", "Invalid chunk end CR"),
        (b"0\r\nVary: *\n\n", "Invalid trailer end CR"),
        (b"0\r\nVary: *\r\n\n", "Invalid chunk end CR"),
    ],
)
def test_bare_lf_in_trailer_section_fails_and_keeps_the_next_request(section, text):
    data = section + PIPELINED_GET
    d = H1BodyDecoder("chunked")
    d.feed(data)
    with pytest.raises(H1BodyError) as e:
        d.decode()
    assert e.value.args == ("invalid_input", BODY_ERROR + text)
    # The bare LF is the last byte taken: the pipelined request is still there.
    bare_lf_end = re.search(rb"(?<!\r)\n", data).end()
    assert not d.is_complete and d.buffered == len(data) - bare_lf_end and d.take_trailers() is None


CHUNKED = (b"5;name=value\r\nhello\r\n1A\r\n" + bytes(range(65, 91)) + b"\r\n0\r\n"
           b"X-Sum: 1\r\nx-sum: 2\r\nother: z\r\n\r\nPIPELINED")


def test_chunked_byte_at_a_time_equals_whole():
    whole = H1BodyDecoder("chunked")
    whole.feed(CHUNKED)
    body = drain(whole)
    assert body == b"hello" + bytes(range(65, 91)) and whole.is_complete and whole.buffered == 9
    trailers = whole.take_trailers()
    assert type(trailers) is HeaderMap and whole.take_trailers() is None
    assert trailers.items() == [("x-sum", b"1"), ("x-sum", b"2"), ("other", b"z")]

    d = H1BodyDecoder("chunked")
    pieces = []
    for i in range(len(CHUNKED)):
        d.feed(CHUNKED[i:i + 1])
        while (piece := d.decode()) is not None:
            pieces.append(piece)
        assert d.is_complete == (i >= len(CHUNKED) - 10)
    assert b"".join(pieces) == body and d.buffered == 9 and d.take_trailers() == trailers


def test_take_body_into_moves_the_read_buffer():
    c = H1Codec()
    head = c.receive_request_head(b"POST / HTTP/1.1\r\nhost: h\r\ntransfer-encoding: chunked\r\n\r\n" + CHUNKED[:20])
    d = H1BodyDecoder(head.body_kind)
    c.take_body_into(d)
    assert c.buffered() == 0 and d.buffered == 20
    c.take_body_into(d)  # nothing left: no change
    assert d.buffered == 20
    c.feed(CHUNKED[20:])
    c.take_body_into(d)  # appended after what the decoder already holds
    assert drain(d) == b"hello" + bytes(range(65, 91)) and d.is_complete and d.buffered == 9


def test_shared_and_returned_objects_keep_balanced_reference_counts():
    c, _ = response_codec(chunked=True)
    terminator = c.serialize_end()
    chunk, head = b"x" * 100, b"HTTP/1.1 200 OK\r\n\r\n"
    before = [sys.getrefcount(o) for o in (terminator, chunk, head, H1Codec.continue_response())]
    for _ in range(200):
        c.serialize_response(200, chunked=True)
        c.serialize_end()
        c.serialize_response(200, content_length=100)
        assert c.serialize_data(chunk) is chunk
        c.reset()
        assert c.serialize_head_and_body(head, b"ignored") is head
        H1Codec.continue_response()
    after = [sys.getrefcount(o) for o in (terminator, chunk, head, H1Codec.continue_response())]
    assert after == before
