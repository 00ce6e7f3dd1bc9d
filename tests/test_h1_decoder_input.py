"""H1BodyDecoder decoding straight from the bytes objects it was fed: pieces
come out of the caller's object (the object itself when a piece is all of
it), while order, leftovers, end of input and reference counts behave exactly
as with an internal buffer."""
import sys
import threading

import pytest

from _quillon import H1BodyDecoder, H1BodyError, H1Codec


def drain(d):
    out = []
    while (piece := d.decode()) is not None:
        assert type(piece) is bytes and piece
        out.append(piece)
    return out


@pytest.mark.parametrize(
    "kind,length,data,same",
    [
        ("length", 10, b"0123456789", True),
        ("length", 20, b"0123456789", True),  # more to come: still all body
        ("length", 4, b"0123456789", False),  # body ends inside the object
        ("close", 0, b"x" * 8192, True),
        ("close", 0, b"x" * 8193, False),  # pieces are capped at 8192
        ("chunked", 0, b"a\r\n0123456789\r\n", False),
    ],
)
def test_a_piece_that_is_the_whole_object_is_that_object(kind, length, data, same):
    d = H1BodyDecoder(kind, length)
    d.feed(data)
    piece = d.decode()
    assert (piece is data) is same
    assert piece == (data if same else {"length": data[:4], "close": data[:8192]}.get(kind, data[3:13]))


def test_order_is_kept_when_input_arrives_while_fed_bytes_are_unread():
    d = H1BodyDecoder("chunked")
    d.feed(b"3\r\nabc\r\n2\r\nde")
    assert d.decode() == b"abc" and d.buffered == 7
    d.feed(b"\r\n0\r\n\r\nNEXT")  # joins the unread rest of the first object
    assert d.buffered == 18
    assert drain(d) == [b"de"] and d.is_complete and d.buffered == 4


def test_take_body_into_appends_after_unread_fed_bytes():
    c = H1Codec()
    c.receive_request_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 8\r\n\r\n")
    d = H1BodyDecoder("length", 8)
    d.feed(b"abcd")
    c.feed(b"efghNEXT")
    c.take_body_into(d)
    assert d.buffered == 12 and drain(d) == [b"abcdefgh"] and d.buffered == 4 and d.is_complete


@pytest.mark.parametrize("kind,length", [("length", 5), ("chunked", 0)])
def test_end_of_input_with_fed_bytes_unread(kind, length):
    d = H1BodyDecoder(kind, length)
    data = b"ab" if kind == "length" else b"5\r\nab"
    d.feed(data)
    d.mark_eof()
    assert d.decode() == b"ab"
    with pytest.raises(H1BodyError) as e:
        d.decode()
    assert e.value.args[0] == "unexpected_eof" and not d.is_complete


def test_bytes_subclass_is_decoded_but_never_handed_back():
    class B(bytes):
        pass

    d = H1BodyDecoder("length", 3)
    d.feed(B(b"xyz"))
    piece = d.decode()
    assert type(piece) is bytes and piece == b"xyz" and d.is_complete


def test_fed_objects_are_released():
    chunk = b"q" * 1000
    before = sys.getrefcount(chunk)
    for kind, length in [("length", 10**6), ("length", 10), ("close", 0), ("chunked", 0)]:
        d = H1BodyDecoder(kind, length)
        d.feed(chunk)  # held unread, released with the decoder
        del d
        d = H1BodyDecoder(kind, length)
        d.feed(chunk)
        d.feed(b"more")  # unread rest moved into the decoder's own buffer
        try:
            drain(d)
        except H1BodyError:
            pass  # a chunked body of "qqq..." is malformed: only the references matter here
        del d
    assert sys.getrefcount(chunk) == before


def test_one_feeder_and_one_reader_on_two_threads():
    body = bytes(range(256)) * 64
    chunks = [body[i:i + 1000] for i in range(0, len(body), 1000)]
    wire = b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"
    d = H1BodyDecoder("chunked")
    out = []

    def feeder():
        for i in range(0, len(wire), 333):
            d.feed(wire[i:i + 333])

    def reader():
        while not d.is_complete:
            piece = d.decode()
            if piece is not None:
                out.append(piece)

    threads = [threading.Thread(target=feeder), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert b"".join(out) == body and d.buffered == 0
