"""The HTTP/2 frame layer through H2Codec: per-type checks, header blocks
across CONTINUATION frames and their limits, records, encoders and the
static helpers."""
import json
import os

import pytest

import _quillon as q
from _h2wire import peer_frames
from _testdata import h2_data_dir


def frame(ftype, flags, stream_id, payload=b""):
    return len(payload).to_bytes(3, "big") + bytes([ftype, flags]) + stream_id.to_bytes(4, "big") + payload


DATA, HEADERS, PRIORITY, RST, SETTINGS, PUSH, PING, GOAWAY, WINDOW, CONT = range(10)
END_STREAM, END_HEADERS, PADDED, PRIO = 0x1, 0x4, 0x8, 0x20
GET = b"\x82\x86\x84\x01\x01a"  # :method GET, :scheme http, :path /, :authority a (not indexed)


def receive(*frames, codec=None):
    return (codec or q.H2Codec("server")).receive(b"".join(frames))


def fails(data, reason, message, codec=None):
    with pytest.raises(q.H2ProtocolError) as e:
        (codec or q.H2Codec("server")).receive(data)
    assert e.value.args == (reason, message)


def load(name):
    return "failed to load frame: " + name


# --- per-type checks ---------------------------------------------------------

@pytest.mark.parametrize(
    "data, reason, message",
    [
        (frame(DATA, 0, 0, b"x"), 1, load("InvalidStreamId")),
        (frame(DATA, PADDED, 1), 1, load("TooMuchPadding")),
        (frame(DATA, PADDED, 1, b"\x05abcd"), 1, load("TooMuchPadding")),
        (frame(HEADERS, END_HEADERS, 0, GET), 1, load("InvalidStreamId")),
        (frame(HEADERS, END_HEADERS | PADDED, 1), 1, load("MalformedMessage")),
        (frame(HEADERS, END_HEADERS | PRIO, 1, b"\0\0\0"), 1, load("MalformedMessage")),
        (frame(HEADERS, END_HEADERS | PADDED, 1, b"\x07" + GET), 1, load("TooMuchPadding")),
        (frame(PRIORITY, 0, 0, b"\0\0\0\1\x10"), 1, "PRIORITY frame with stream ID 0"),
        (frame(PRIORITY, 0, 1, b"\0\0\0\3"), 1, load("InvalidPayloadLength")),
        (frame(RST, 0, 1, b"\0\0\0"), 1, load("InvalidPayloadLength")),
        (frame(SETTINGS, 0, 1), 1, load("InvalidStreamId")),
        (frame(SETTINGS, 1, 0, b"\0\1\0\0\0\0"), 1, load("InvalidPayloadLength")),
        (frame(SETTINGS, 0, 0, b"\0\1\0\0\0"), 1, load("InvalidPayloadAckSettings")),
        (frame(SETTINGS, 0, 0, b"\0\2\0\0\0\2"), 1, load("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\0\4\x80\0\0\0"), 1, load("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\0\5\0\0\x3f\xff"), 1, load("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\0\5\1\0\0\0"), 1, load("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\0\x08\0\0\0\2"), 1, load("InvalidSettingValue")),
        (frame(PUSH, END_HEADERS, 1, b"\0\0\0\2" + GET), 1, "PUSH_PROMISE received but server push is disabled"),
        (frame(PING, 0, 1, b"12345678"), 1, load("InvalidStreamId")),
        (frame(PING, 0, 0, b"1234567"), 1, load("BadFrameSize")),
        (frame(GOAWAY, 0, 0, b"1234567"), 1, load("BadFrameSize")),
        (frame(WINDOW, 0, 1, b"\0\0\1"), 1, load("BadFrameSize")),
        (frame(WINDOW, 0, 1, b"\x80\0\0\0"), 1, load("InvalidWindowUpdateValue")),
        (frame(CONT, END_HEADERS, 1, GET), 1, "received unexpected CONTINUATION frame"),
        (frame(HEADERS, 0, 1, GET) + frame(DATA, 0, 1, b"x"), 1, "expected CONTINUATION frame"),
        (frame(HEADERS, 0, 1, GET) + frame(CONT, END_HEADERS, 3), 1,
         "CONTINUATION frame stream ID does not match previous frame stream ID"),
        (b"\0\x40\x01" + bytes(6), 6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE"),
        (frame(HEADERS, END_HEADERS, 1, GET[:-1]), 1, "HPACK decoding failed: Hpack(NeedMore(StringUnderflow))"),
    ],
)
def test_frame_checks(data, reason, message):
    fails(data, reason, message)


def test_a_raised_error_discards_the_records_of_the_call():
    codec = q.H2Codec()
    with pytest.raises(q.H2ProtocolError):
        codec.receive(frame(PING, 0, 0, b"12345678") + frame(PING, 0, 0, b"1"))


def test_records_and_their_properties():
    settings = frame(SETTINGS, 0, 0, b"".join(i.to_bytes(2, "big") + v.to_bytes(4, "big") for i, v in
                                              [(1, 100), (2, 1), (3, 7), (4, 1000), (5, 20000), (6, 9),
                                               (7, 1), (8, 1), (99, 5), (3, 8)]))
    padded = frame(DATA, PADDED | END_STREAM, 1, b"\x04" + bytes(4))
    records = receive(
        frame(DATA, 0, 3, b"hello"), padded, settings, frame(SETTINGS, 1, 0), frame(PING, 1, 0, b"abcdefgh"),
        frame(GOAWAY, 0, 0, b"\x80\0\0\5\0\0\0\2debug"), frame(WINDOW, 0, 0, b"\xff\xff\xff\xff"),
        frame(RST, 0, 0, b"\0\0\0\x08"), frame(PRIORITY, 0, 5, b"\0\0\0\1\x10"), frame(0xFA, 0xFF, 1, b"??"),
        frame(HEADERS, END_HEADERS | END_STREAM, 7, b"\x88\x5c\x040012"),
    )
    data, pad, s, ack, ping, goaway, window, rst, prio, head = records
    assert (data.stream_id, data.end_stream, data.data, data.flow_controlled_len, data.padding) == (3, False,
                                                                                                b"hello", 5, 0)
    assert (pad.end_stream, pad.data, pad.flow_controlled_len, pad.padding) == (True, b"", 5, 5)
    assert (s.ack, s.header_table_size, s.enable_push, s.max_concurrent_streams, s.initial_window_size,
            s.max_frame_size, s.max_header_list_size) == (False, 100, True, 8, 1000, 20000, 9)
    assert (ack.ack, ack.header_table_size, ack.enable_push) == (True, None, None)
    assert (ping.ack, ping.data) == (True, b"abcdefgh")
    assert (goaway.last_stream_id, goaway.error_code, goaway.debug_data) == (5, 2, b"debug")
    assert (window.stream_id, window.increment) == (0, 0x7FFFFFFF)
    assert (rst.stream_id, rst.error_code, prio.stream_id) == (0, 8, 5)
    assert (head.stream_id, head.end_stream, head.end_headers, head.status, head.is_informational) == (
        7, True, True, 200, False)
    assert (head.method, head.path, head.content_length, head.content_length_invalid) == (None, None, 12, False)
    assert repr(data) == "Data(stream_id=3, end_stream=false, len=5)"
    assert repr(s) == ("Settings(ack=false, max_concurrent_streams=Some(8), initial_window_size=Some(1000), "
                       "max_frame_size=Some(20000))")
    assert repr(ack) == "Settings(ack=true, max_concurrent_streams=None, initial_window_size=None, max_frame_size=None)"
    assert repr(head) == "Headers(stream_id=7, status=Some(200), end_stream=true, fields=1)"
    for record in records:
        with pytest.raises(AttributeError):
            record.stream_id = 9
        with pytest.raises(TypeError):
            type(record)()


def test_request_pseudo_headers_and_shared_scheme_strings():
    (a,) = receive(frame(HEADERS, END_HEADERS, 1, b"\x82\x87\x84\x41\x03h:1"))
    (b,) = receive(frame(HEADERS, END_HEADERS, 1, b"\x83\x87\x85\x41\x03h:1"))
    assert (a.method, a.scheme, a.authority, a.path, a.status) == ("GET", "https", "h:1", "/", None)
    assert a.scheme is b.scheme
    assert repr(a) == "Headers(stream_id=1, status=None, end_stream=false, fields=0)"


@pytest.mark.parametrize(
    "value, length, invalid",
    [(b"0012", 12, False), (b"12a", None, True), (b"", 0, False), (b"9" * 19, 10**19 - 1, False),
     (b"1" * 20, None, True), (b"-1", None, True)],
)
def test_content_length(value, length, invalid):
    block = b"\x0f\x0d" + bytes([len(value)]) + value + b"\x0f\x0d\x015"
    (h,) = receive(frame(HEADERS, END_HEADERS, 1, b"\x88" + block))
    assert (h.content_length, h.content_length_invalid) == (length, invalid)


# --- stream errors -------------------------------------------------------------

@pytest.mark.parametrize(
    "block",
    [b"\x40\x0aconnection\x05close", b"\x40\x02te\x04gzip", b"\x82\x82",
     b"\x0f\x2b\x01x\x82"],  # the last: a pseudo-header after a regular field
)
def test_malformed_blocks_are_stream_errors_in_wire_order(block):
    records = receive(frame(HEADERS, END_HEADERS, 1, block), frame(DATA, 0, 1, b"after"))
    assert [type(r) for r in records] == [q.H2FrameStreamError, q.H2FrameData]
    assert (records[0].stream_id, records[0].error_code) == (1, 1)
    assert repr(records[0]) == "StreamError(stream_id=1, error_code=1)"


def test_self_dependent_priority_is_a_stream_error():
    (e,) = receive(frame(PRIORITY, 0, 3, b"\0\0\0\3\x10"))
    assert isinstance(e, q.H2FrameStreamError) and e.stream_id == 3


INDEXING = b"\x40\x01k\x01v"  # k: v, inserted at 62


@pytest.mark.parametrize("split", [False, True])
def test_self_dependent_headers_still_keep_the_table_in_step(split):
    # The block is decoded, its entry inserted, so the peer's next reference
    # to index 62 resolves; the stream gets one error record.
    prio = b"\0\0\0\1\x10"
    if split:
        first = [frame(HEADERS, PRIO, 1, prio + GET), frame(CONT, END_HEADERS, 1, INDEXING)]
    else:
        first = [frame(HEADERS, PRIO | END_HEADERS, 1, prio + GET + INDEXING)]
    records = receive(*first, frame(HEADERS, END_HEADERS, 3, GET + b"\xbe"))
    assert [type(r) for r in records] == [q.H2FrameStreamError, q.H2FrameHeaders]
    assert records[0].stream_id == 1 and records[1].headers["k"] == b"v"


def test_a_block_malformed_before_its_end_is_decoded_to_the_end():
    records = receive(
        frame(HEADERS, 0, 1, b"\x40\x0aconnection\x05close"),
        frame(CONT, 0, 1, INDEXING[:3]),
        frame(CONT, END_HEADERS, 1, INDEXING[3:]),
        frame(HEADERS, END_HEADERS, 3, GET + b"\xbe"),
    )
    assert [type(r) for r in records] == [q.H2FrameStreamError, q.H2FrameHeaders]
    assert records[1].headers["k"] == b"v"


# --- header blocks and their limits ----------------------------------------------

def test_a_representation_split_across_fragments_is_decoded_once_whole():
    block = GET + b"\x40\x05x-big\x7f\x21" + b"v" * 160  # a 160-octet literal
    parts = [block[i:i + 7] for i in range(0, len(block), 7)]
    frames = [frame(HEADERS, 0, 1, parts[0])] + [frame(CONT, 0, 1, p) for p in parts[1:-1]]
    (h,) = receive(*frames, frame(CONT, END_HEADERS, 1, parts[-1]))
    assert h.headers["x-big"] == b"v" * 160 and h.method == "GET"


def test_oversized_lists_keep_only_what_fits():
    codec = q.H2Codec("server")
    codec.set_max_header_list_size(100)
    block = b"\x88" + b"".join(b"\x40\x02x" + bytes([48 + i]) + b"\x0a" + b"v" * 10 for i in range(5))
    (h,) = codec.receive(frame(HEADERS, END_HEADERS, 1, block))
    # :status 200 takes 42, each field 44: only the first fits below 100.
    assert h.status == 200 and list(h.headers.keys()) == ["x0"]


def test_the_abuse_limit_counts_every_field_across_fragments():
    codec = q.H2Codec("server")
    codec.set_max_header_list_size(100)
    field = b"\x40\x02xx\x3c" + b"v" * 60  # 94 octets a field
    codec.receive(frame(HEADERS, 0, 1, b"\x88"))
    for _ in range(3):  # 42 + 3 * 94 = 324: over the list size, within four times
        assert codec.receive(frame(CONT, 0, 1, field)) == []
    fails(frame(CONT, 0, 1, field), 11, "decoded header list size over abuse limit", codec)


def test_continuation_flood_by_count():
    codec = q.H2Codec("server")
    codec.receive(frame(HEADERS, 0, 1, b"\x82"))
    flood = frame(CONT, 0, 1)
    assert codec.receive(flood * 1280) == []
    (h,) = codec.receive(frame(CONT, END_HEADERS, 1, b"\x84"))  # the last one does not count
    assert h.path == "/"
    flood = frame(CONT, 0, 3)
    codec.receive(frame(HEADERS, 0, 3, b"\x82") + flood * 1280)
    fails(flood, 11, "too_many_continuations", codec)


def test_continuation_count_follows_the_limits():
    codec = q.H2Codec("server")
    codec.set_max_recv_frame_size(16384 * 4)
    codec.set_max_header_list_size(16384 * 40)  # n = 10: 12 continuations
    codec.receive(frame(HEADERS, 0, 1, b"\x82") + frame(CONT, 0, 1) * 12)
    fails(frame(CONT, 0, 1), 11, "too_many_continuations", codec)


def test_continuation_flood_by_size_is_bounded():
    codec = q.H2Codec("server")
    codec.set_max_header_list_size(64)
    # Over size at once, then a literal that never completes.
    codec.receive(frame(HEADERS, 0, 1, b"\x40\x01a\x28" + b"v" * 40 + b"\x40\x01b\x7f\xff\x7f"))
    assert codec.receive(frame(CONT, 0, 1, b"v" * 40)) == []
    fails(frame(CONT, 0, 1, b"v" * 20), 9, "CONTINUATION frame header block size over ignorable limit", codec)


# --- feeding ---------------------------------------------------------------------

STREAM = [
    frame(SETTINGS, 0, 0, b"\0\3\0\0\0\x64"),
    frame(HEADERS, PADDED | PRIO, 1, b"\x02\0\0\0\0\x10" + GET[:3] + b"pp"),
    frame(CONT, END_HEADERS, 1, GET[3:]),
    frame(DATA, END_STREAM, 1, b"x" * 300),
    frame(PING, 0, 0, b"12345678"),
]


def summary(records):
    return [(type(r).__name__, repr(r), getattr(r, "data", None)) for r in records]


def test_byte_at_a_time_returns_each_record_at_its_last_octet():
    whole = summary(receive(*STREAM))
    codec = q.H2Codec("server")
    wire = b"".join(STREAM)
    frame_ends = [sum(map(len, STREAM[:i + 1])) for i in range(len(STREAM))]
    record_ends = set(frame_ends) - {frame_ends[1]}  # HEADERS waits for its CONTINUATION
    got = []
    for i in range(len(wire)):
        records = codec.receive(wire[i:i + 1])
        assert bool(records) == (i + 1 in record_ends)
        got += records
        assert codec.buffered() == i + 1 - max([0] + [e for e in frame_ends if e <= i + 1])
    assert summary(got) == whole and codec.buffered() == 0


def test_partial_frames_stay_buffered():
    codec = q.H2Codec()
    wire = frame(DATA, 0, 1, b"abcdef")
    assert codec.receive(wire[:4]) == [] and codec.buffered() == 4
    assert codec.receive(wire[4:12]) == [] and codec.buffered() == 12
    (d,) = codec.receive(wire[12:] + wire[:3])
    assert d.data == b"abcdef" and codec.buffered() == 3


def test_an_oversized_frame_header_fails_before_its_payload():
    codec = q.H2Codec()
    fails(b"\0\x40\x01\0\0\0\0\0\1", 6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE", codec)
    assert codec.buffered() == 9
    codec = q.H2Codec()
    codec.set_max_recv_frame_size(16385)
    (d,) = codec.receive(frame(DATA, 0, 1, b"x" * 16385))
    assert len(d.data) == 16385


def test_preface():
    p = q.H2_PREFACE
    assert [q.H2Codec.match_preface(x) for x in (p[:16], b"X", b"", p + b"\0", p[:5] + b"X")] == [
        None, False, None, True, False]
    codec = q.H2Codec("server")
    assert codec.feed_preface(p[:10]) is None
    assert codec.feed_preface(b"junk") is False
    assert codec.feed_preface(p[10:] + frame(PING, 0, 0, b"12345678")[:5]) is True
    assert codec.buffered() == 5


# --- shared vectors ----------------------------------------------------------------

FRAMES_DIR = h2_data_dir() / "h2frames"


def test_shared_frame_vectors():
    def load_case(path):
        return json.loads((FRAMES_DIR / path).read_text())

    for path, check in {
        "data/normal.json": lambda r, p: r.data == p["data"].encode()
        and r.padding == p["padding_length"] + 1,
        "goaway/normal.json": lambda r, p: (r.last_stream_id, r.error_code, r.debug_data)
        == (p["last_stream_id"], p["error_code"], p["additional_debug_data"].encode()),
        "ping/normal.json": lambda r, p: r.data == p["opaque_data"].encode(),
        "priority/normal.json": lambda r, p: isinstance(r, q.H2FramePriority),
        "rst_stream/normal.json": lambda r, p: r.error_code == p["error_code"],
        "settings/normal.json": lambda r, p: [r.header_table_size, r.max_concurrent_streams]
        == [v for _, v in p["settings"]],
        "window_update/normal.json": lambda r, p: r.increment == p["window_size_increment"],
    }.items():
        case = load_case(path)
        (record,) = q.H2Codec().receive(bytes.fromhex(case["wire"]))
        assert check(record, case["frame"]["frame_payload"]), path
        assert getattr(record, "stream_id", 0) == case["frame"]["stream_identifier"]
    # Every error vector is a connection error here, except the stream-id
    # rules the connection logic applies to GOAWAY and RST_STREAM.
    passed_on = {"goaway-frame-stream.json", "rst_stream-frame-stream.json"}
    for path in sorted((FRAMES_DIR / "error").glob("*.json")):
        wire = bytes.fromhex(json.loads(path.read_text())["wire"])
        if path.name in passed_on:
            assert len(q.H2Codec().receive(wire)) == 1
        else:
            with pytest.raises(q.H2ProtocolError):
                q.H2Codec().receive(wire)


# --- encoders ---------------------------------------------------------------------

def test_control_frame_encoders():
    c = q.H2Codec()
    s, = peer_frames(c.serialize_settings(max_header_list_size=6, header_table_size=1, enable_push=False,
                                          initial_window_size=4, max_frame_size=16384, max_concurrent_streams=3))
    assert list(s.settings.items()) == [(1, 1), (2, 0), (3, 3), (4, 4), (5, 16384), (6, 6)]
    assert c.serialize_settings() == frame(SETTINGS, 0, 0)
    assert c.serialize_settings_ack() == frame(SETTINGS, 1, 0)
    w, r, p, pa, g = peer_frames(c.serialize_window_update(3, 0xFFFF) + c.serialize_rst_stream(5, 8)
                                 + c.serialize_ping(b"abcdefgh") + c.serialize_ping_ack(b"abcdefgh")
                                 + c.serialize_go_away(7, 2, b"bye"))
    assert (w.stream_id, w.window_increment, r.stream_id, r.error_code) == (3, 0xFFFF, 5, 8)
    assert (p.opaque_data, p.flags, "ACK" in pa.flags) == (b"abcdefgh", set(), True)
    assert (g.stream_id, g.last_stream_id, g.error_code, g.additional_data) == (0, 7, 2, b"bye")
    assert c.serialize_go_away(7, 2) == frame(GOAWAY, 0, 0, b"\0\0\0\7\0\0\0\2")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: q.H2Codec().serialize_settings(max_frame_size=16383), ValueError,
         "max_frame_size must be in [16384, 16777215], got 16383"),
        (lambda: q.H2Codec().serialize_settings(initial_window_size=2**31), ValueError,
         "initial_window_size must be <= 2147483647, got 2147483648"),
        (lambda: q.H2Codec().serialize_ping(b"1234567"), ValueError, "ping payload must be exactly 8 bytes"),
        (lambda: q.H2Codec().set_max_recv_frame_size(2**24), ValueError,
         "max_frame_size must be in [16384, 16777215], got 16777216"),
        (lambda: q.H2Codec().set_send_max_frame_size(0), ValueError,
         "max_frame_size must be in [16384, 16777215], got 0"),
        (lambda: q.H2Codec().serialize_data(2**31, b""), ValueError, "stream_id must be below 2**31, got 2147483648"),
        (lambda: q.H2Codec.is_client_initiated(2**31), ValueError, "stream_id must be below 2**31, got 2147483648"),
        (lambda: q.H2Codec("Client"), ValueError, "role must be 'client' or 'server', got \"Client\""),
        (lambda: q.H2Codec('a"\n'), ValueError, "role must be 'client' or 'server', got \"a\\\"\\n\""),
        (lambda: q.H2Codec().serialize_response_headers(1, 99), ValueError, "invalid status: invalid status code"),
        (lambda: q.H2Codec().serialize_request_headers(1, "G T", "/"), ValueError,
         "invalid method: invalid HTTP method"),
        (lambda: q.H2Codec().serialize_request_headers(1, "GET", "http://"), ValueError,
         "invalid url: invalid format"),
        (lambda: q.H2Codec().serialize_request_headers(1, "GET", "/x", scheme="https"), ValueError,
         "request target is a bare path but the connection has no authority; pass authority=... to H2Connection "
         "or use an absolute-URL target"),
        (lambda: q.H2Codec().serialize_window_update(1, 2**32), OverflowError, None),
        (lambda: q.H2Codec().receive("text"), TypeError, None),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as e:
        call()
    if message is not None:
        assert str(e.value) == message


def test_data_encoder():
    codec = q.H2Codec()
    assert codec.serialize_data(1, b"abc", True) == frame(DATA, END_STREAM, 1, b"abc")
    with pytest.raises(q.H2UserError) as e:
        codec.serialize_data(1, bytes(16385))
    assert e.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    codec.set_send_max_frame_size(16385)
    assert len(codec.serialize_data(1, bytes(16385))) == 16394


@pytest.mark.parametrize(
    "method, target, kwargs, expected",
    [
        ("GET", "https://example.com:8443/a?b=1", {}, [("GET", "https", "example.com:8443", "/a?b=1")]),
        ("GET", "https://user@example.com", {}, [("GET", "https", "example.com", "/")]),
        ("POST", "/up", {"scheme": "http", "authority": "h"}, [("POST", "http", "h", "/up")]),
        ("OPTIONS", "http://h", {}, [("OPTIONS", "http", "h", "*")]),
        ("CONNECT", "h:443", {}, [("CONNECT", None, "h:443", None)]),
    ],
)
def test_request_encoder(method, target, kwargs, expected):
    codec, server = q.H2Codec(), q.H2Codec("server")
    wire = codec.serialize_request_headers(3, method, target, q.HeaderMap([("x-a", "1")]), True, **kwargs)
    (h,) = server.receive(wire)
    assert [(h.method, h.scheme, h.authority, h.path)] == expected
    assert (h.stream_id, h.end_stream, h.headers["x-a"]) == (3, True, b"1")


def test_response_and_trailer_encoders():
    codec, client = q.H2Codec("server"), q.H2Codec()
    (r,) = client.receive(codec.serialize_response_headers(1, 103))
    assert (r.status, r.is_informational, r.end_stream) == (103, True, False)
    (r,) = client.receive(codec.serialize_response_headers(1, 200, auto_date=True))
    assert r.headers["date"] == q.http_date()
    (r,) = client.receive(codec.serialize_response_headers(1, 200, q.HeaderMap([("date", "x")]), auto_date=True))
    assert r.headers.get_all("date") == [b"x"]
    (t,) = client.receive(codec.serialize_trailers(1, q.HeaderMap([("x-t", "1")])))
    assert (t.end_stream, t.status, t.headers["x-t"]) == (True, None, b"1")


def test_large_blocks_are_split_into_continuation_frames():
    codec, server = q.H2Codec(), q.H2Codec("server")
    headers = q.HeaderMap([(f"x-{i}", os.urandom(3000).hex()) for i in range(10)])
    wire = codec.serialize_request_headers(1, "GET", "http://h/", headers, end_stream=True)
    frames = peer_frames(wire)
    assert [type(f).__name__ for f in frames] == ["HeadersFrame"] + ["ContinuationFrame"] * (len(frames) - 1)
    assert [("END_HEADERS" in f.flags) for f in frames] == [False] * (len(frames) - 1) + [True]
    assert "END_STREAM" in frames[0].flags and all(len(f.data) <= 16384 for f in frames)
    (h,) = server.receive(wire)
    assert h.headers == headers


def test_check_send_headers_and_helpers():
    q.H2Codec.check_send_headers(q.HeaderMap([("te", "trailers"), ("x", "1")]))
    for bad in [("connection", "close"), ("te", "gzip"), ("upgrade", "h2c"), ("proxy-connection", "x"),
                ("keep-alive", "1"), ("transfer-encoding", "chunked")]:
        with pytest.raises(q.H2UserError) as e:
            q.H2Codec.check_send_headers(q.HeaderMap([bad]))
        assert e.value.args == ("malformed_headers", "malformed headers")
    assert [q.H2Codec.method_is_head(m) for m in ("HEAD", "head", "GET", "HE AD")] == [True, False, False, False]
    assert [q.H2Codec.is_client_initiated(i) for i in (1, 2, 0)] == [True, False, False]
    assert q.H2Codec().role_client and not q.H2Codec("server").role_client
