"""H2Streams' send path, receive path, resets, GOAWAY, shutdown and failure,
one behaviour at a time, driven by raw frames from an independent encoder
(hyperframe, hpack)."""

import ctypes
import gc

import hpack
import pytest
from hyperframe.frame import (DataFrame, GoAwayFrame, HeadersFrame, PingFrame, RstStreamFrame,
                              SettingsFrame, WindowUpdateFrame)

import _quillon as q
from _h2wire import peer_frames
from h2_pump import BASE, Handle

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
REQ = [(":method", "POST"), (":path", "/"), (":scheme", "https"), (":authority", "a")]


class Peer:
    """The far side, as raw frames fed to the connection under test."""

    def __init__(self, role="client", **kw):
        self.c = q.H2Streams(role, **{**BASE, **kw})
        self.enc = hpack.Encoder()
        self.c.begin()
        if self.c.is_server:
            self.c.receive(PREFACE)
        self.out()

    def feed(self, *frames):
        return self.c.receive(b"".join(f.serialize() for f in frames))

    def headers(self, sid, fields, end=False, spare=None):
        flags = ["END_HEADERS"] + (["END_STREAM"] if end else [])
        (rec,) = self.feed(HeadersFrame(sid, self.enc.encode(fields), flags=flags))
        return self.c.recv_headers(rec, spare)

    def request(self, sid, extra=(), end=False):
        return self.headers(sid, REQ + list(extra), end, spare=Handle(sid))

    def data(self, sid, payload, end=False, pad=None):
        f = DataFrame(sid, payload, flags=(["END_STREAM"] if end else []) + (["PADDED"] if pad else []))
        if pad:
            f.pad_length = pad
        (rec,) = self.feed(f)
        return self.c.recv_data(rec)

    def open(self, end_stream=False, method="POST", **kw):
        assert self.c.try_claim_slot()
        return self.c.open_stream(method, "https://x.test/", None, end_stream, method == "HEAD", Handle(), **kw)

    def respond(self, sid, extra=(), end=False):
        return self.headers(sid, [(":status", "200")] + list(extra), end)

    def out(self):
        view, _ = self.c.take_pending()
        data = bytes(view)
        view.release()
        return peer_frames(data)


def raises(exc, args, fn, *a):
    with pytest.raises(exc) as info:
        fn(*a)
    assert info.value.args == args


# --- admission and opening -----------------------------------------------------------


def test_slots_follow_the_limit():
    c = Peer().c
    c.apply_stream_limit(1)
    assert c.try_claim_slot() and not c.try_claim_slot()
    c.release_slot_count()
    c.release_slot_count()
    assert c.num_open_streams == 0 and c.try_claim_slot()
    c.apply_stream_limit(None)
    assert c.try_claim_slot()
    c.apply_stream_limit(0)
    assert not c.can_open()
    c.release_slot_count()
    c.release_slot_count()
    assert c.num_open_streams == 0 and not c.can_open()


def goaway(p):
    p.c.recv_go_away(p.feed(GoAwayFrame(0, last_stream_id=0))[0])


@pytest.mark.parametrize("prepare, call, outcome", [
    (goaway, dict(), None),
    (lambda p: p.c.fail(), dict(), None),
    (lambda p: p.c.set_next_stream_id(2**31 + 1), dict(),
     (q.H2ProtocolError, (7, "stream ID space exhausted (OverflowedStreamId)"))),
    (None, dict(method="GE T"), (ValueError, None)),
    (None, dict(target="http://[bad"), (ValueError, None)),
    (None, dict(target="/bare"), (ValueError, None)),
    (None, dict(headers="x: y"), (TypeError, None)),
    (None, dict(headers=q.HeaderMap([("connection", "close")])), (q.H2Error, None)),
])
def test_open_stream_releases_the_slot_when_no_stream_comes(prepare, call, outcome):
    p = Peer()
    if prepare:
        prepare(p)
    args = dict(method="GET", target="https://x.test/", headers=None, end_stream=True, is_head=False,
                handle=Handle())
    args.update(call)
    assert p.c.try_claim_slot()
    if outcome is None:
        assert p.c.open_stream(**args) is None
    else:
        with pytest.raises(outcome[0]) as info:
            p.c.open_stream(**args)
        if outcome[1]:
            assert info.value.args == outcome[1]
    assert p.c.num_open_streams == 0 and p.c.num_streams == 0
    assert not [f for f in p.out() if isinstance(f, HeadersFrame)]


def test_a_server_cannot_open_streams():
    p = Peer("server")
    assert p.c.try_claim_slot()
    raises(q.H2UserError, ("rejected", "open_stream: a server cannot open request streams"), p.c.open_stream,
           "GET", "https://x.test/", None, True, False, Handle())
    assert p.c.num_open_streams == 0 and p.c.num_streams == 0 and p.out() == []


def test_stream_ids_increase_on_the_wire():
    p = Peer()
    assert [p.open(), p.open(True)] == [1, 3]
    assert [(f.stream_id, "END_STREAM" in f.flags) for f in p.out()] == [(1, False), (3, True)]
    assert p.c.stream_state(1) == "Open { local: Streaming, remote: AwaitingHeaders }"


# --- sending -------------------------------------------------------------------------


def test_send_data_within_windows_and_reopened_by_window_update():
    p = Peer()
    sid = p.open()
    body = bytes(100000)
    sent = []
    while (v := p.c.send_data(sid, body, sum(sent), True)).sent:
        sent.append(v.sent)
        assert v.flags == q.H2_FLAG_WAKE and not v.done
    assert sent == [16384] * 3 + [16383] and v.stopped is None
    assert p.c.conn_send_window == 0 and p.c.stream_send_window(sid) == 0
    (h,) = p.c.recv_window_update(p.feed(WindowUpdateFrame(0, window_increment=50000))[0])
    assert p.c.send_data(sid, body, 65535, True).sent == 0  # the stream window is still 0
    assert p.c.recv_window_update(p.feed(WindowUpdateFrame(sid, window_increment=50000))[0]) == [h]
    v = p.c.send_data(sid, body, 65535, True)
    assert v.sent == 16384 and isinstance(h, Handle)
    frames = [f for f in p.out() if isinstance(f, DataFrame)]
    assert sum(len(f.data) for f in frames) == 65535 + 16384 and not any("END_STREAM" in f.flags for f in frames)


def test_send_buffer_room_and_credit():
    p = Peer(max_send_buf_size=20000)
    sid = p.open()
    assert [p.c.send_data(sid, bytes(50000), off, False).sent for off in (0, 16384, 20000)] == [16384, 3616, 0]
    assert p.c.stream_send_buffered(sid) == 20000
    p.c.take_pending()
    handles = p.c.credit_written()
    assert len(handles) == 1 and p.c.stream_send_buffered(sid) == 0  # one handle for two frames
    assert p.c.credit_written() == []
    assert p.c.send_data(sid, bytes(50000), 20000, False).sent == 16384


def test_empty_data_ends_the_stream_and_writes_nothing_otherwise():
    p = Peer()
    sid = p.open()
    p.out()
    for data, offset in ((b"", 0), (b"ab", 2)):
        v = p.c.send_data(sid, data, offset, False)  # no empty non-final frame: a peer counts those as abuse
        assert (v.sent, v.done, v.stopped, v.flags) == (0, True, None, 0)
    assert p.out() == []
    v = p.c.send_data(sid, b"", 0, True)
    assert (v.sent, v.done, v.stopped) == (0, True, None)
    (data,) = p.out()
    assert data.data == b"" and "END_STREAM" in data.flags
    assert p.c.send_data(sid, b"more", 0, True).stopped.reason is None
    with pytest.raises(ValueError):
        p.c.send_data(sid, b"ab", 3, False)


def test_write_batch_is_zero_copy_and_its_buffer_comes_back():
    class Py_buffer(ctypes.Structure):
        _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                    ("rest", ctypes.c_byte * 64)]

    def address(view):
        b = Py_buffer()
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(view), ctypes.byref(b), 0)
        addr = b.buf
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(b))
        return addr

    p = Peer()
    sid = p.open()
    p.out()
    p.c.send_data(sid, b"a" * 3000, 0, False)
    first, _ = p.c.take_pending()
    assert first.readonly and len(first) == 3009
    p.c.send_data(sid, b"b" * 3000, 0, False)
    second, _ = p.c.take_pending()  # a fresh buffer: the first is still out
    assert bytes(first[9:]) == b"a" * 3000 and bytes(second[9:]) == b"b" * 3000
    assert address(first) != address(second)
    spent = address(first)
    first.release()
    gc.collect()
    p.c.send_data(sid, b"c" * 10, 0, False)
    third, _ = p.c.take_pending()  # the spare became the pending buffer as this one left
    p.c.send_data(sid, b"d" * 10, 0, False)
    fourth, _ = p.c.take_pending()
    assert address(fourth) == spent and bytes(fourth[9:]) == b"d" * 10 and bytes(third[9:]) == b"c" * 10
    c = p.c
    del p
    keep, stopping = c.take_pending()
    c.stop_pump()
    assert c.take_pending()[1] is True and not stopping
    del c
    assert len(keep) == 0  # the batch keeps its connection alive


def test_response_head_checks_and_completion_resets_the_unread_request():
    p = Peer("server")
    p.request(1)
    with pytest.raises(q.H2UserError):
        p.c.send_response_head(1, 200, q.HeaderMap([("transfer-encoding", "chunked")]), False)
    with pytest.raises(ValueError, match="invalid status"):
        p.c.send_response_head(1, 42, None, False)
    assert p.out() == []
    v = p.c.send_response_head(1, 200, None, True)
    assert v.done and isinstance(v.handle, Handle) and (v.reader_stop.reason, v.reader_stop.conn) == (0, False)
    head, rst = p.out()
    assert [(k, v) for k, v in hpack.Decoder().decode(head.data) if k == "date"]
    assert (rst.stream_id, rst.error_code) == (1, 0)
    assert not p.c.has_stream(1) and p.c.num_streams == 0
    p = Peer("server", auto_date_header=False)
    p.request(1, end=True)
    with pytest.raises(q.H2UserError):
        p.c.send_response_head(1, 200, q.HeaderMap([("te", "gzip")]), False)
    p.c.send_response_head(1, 204, None, True)
    (head,) = p.out()
    assert hpack.Decoder().decode(head.data) == [(":status", "204")]


# --- receiving -----------------------------------------------------------------------


def test_padding_is_charged_and_released_at_once():
    p = Peer()
    sid = p.open()
    p.respond(sid)
    v = p.data(sid, b"x" * 100, pad=10)
    assert v.payload == b"x" * 100 and v.budgeted
    assert p.c.stream_recv_unreleased(sid) == 100 and p.c.conn_recv_available == 65535 - 100


def test_window_updates_are_batched_and_never_exceed_what_was_received():
    p = Peer()
    sid = p.open()
    p.respond(sid)
    for _ in range(4):
        p.data(sid, bytes(10000))
    p.out()
    # 40000 received: the stream window is 25535, so an update waits for 12767 released bytes
    assert p.c.release_capacity(sid, 12766) == 0
    assert p.c.release_capacity(sid, 1) == q.H2_FLAG_WAKE
    updates = [(f.stream_id, f.window_increment) for f in p.out()]
    assert updates == [(sid, 12767), (0, 12767)]  # the connection window moved alike
    # releasing more than the stream holds credits only what it holds, however often
    for _ in range(3):
        p.c.release_capacity(sid, 1 << 30)
    got = {f.stream_id: f.window_increment for f in p.out()}
    assert got == {sid: 40000 - 12767, 0: 40000 - 12767}
    assert p.c.stream_recv_unreleased(sid) == 0 and p.c.conn_recv_available == 65535
    assert p.c.release_capacity(sid, 5000) == 0 and p.out() == []


def test_stream_and_connection_windows_enforced():
    p = Peer(initial_window_size=1000)
    p.c.recv_settings(p.feed(SettingsFrame(0, flags=["ACK"]))[0])  # 1000 is in force once acknowledged
    sid = p.open()
    p.respond(sid)
    raises(q.H2StreamError, (sid, 3, "library"), p.data, sid, bytes(1001))
    assert p.c.conn_recv_available == 65535
    p2 = Peer(initial_window_size=100000)
    p2.c.recv_settings(p2.feed(SettingsFrame(0, flags=["ACK"]))[0])
    sid = p2.open()
    p2.respond(sid)
    for _ in range(3):
        p2.data(sid, bytes(16384))
    p2.data(sid, bytes(16383))
    with pytest.raises(q.H2FlowControlError):
        p2.data(sid, b"x")


@pytest.mark.parametrize("steps", [
    [("data", b"abcdef", False)],
    [("data", b"abcd", False), ("data", b"", True)],
    [("data", b"abc", False), ("trailers",)],
])
def test_content_length_violations(steps):
    p = Peer()
    sid = p.open()
    p.respond(sid, [("content-length", "5")])
    *ok, bad = steps
    for _, payload, end in ok:
        p.data(sid, payload, end)
    before = p.c.conn_recv_available
    call = (p.headers, sid, [("x", "y")], True) if bad == ("trailers",) else (p.data, sid, bad[1], bad[2])
    raises(q.H2StreamError, (sid, 1, "library"), *call)
    assert p.c.conn_recv_available == before


def test_head_response_and_bad_content_length():
    p = Peer()
    sid = p.open(method="HEAD")
    p.respond(sid, [("content-length", "1000")])
    raises(q.H2StreamError, (sid, 1, "library"), p.data, sid, b"x")
    sid = p.open()
    raises(q.H2StreamError, (sid, 1, "library"), p.respond, sid, [("content-length", "12x")])
    sid = p.open()
    raises(q.H2StreamError, (sid, 1, "library"), p.headers, sid, [(":status", "103")], True)
    assert p.headers(sid, [(":status", "103")]).kind == q.H2_HEADERS_IGNORED
    assert p.respond(sid).kind == q.H2_HEADERS_HEAD
    raises(q.H2StreamError, (sid, 1, "library"), p.headers, sid, [("x", "trailer")], False)


@pytest.mark.parametrize("size, limit", [(0, 100), (1, 25600 // 255), (100, 25600 // 156)])
def test_data_frame_budget(size, limit):
    p = Peer(data_frame_budget=25600)
    sid = p.open()
    p.respond(sid)
    for _ in range(limit):
        v = p.data(sid, bytes(size))
        assert v.budgeted and (v.payload is None) == (size == 0)
    raises(q.H2ProtocolError, (11, "too_many_data_frames"), p.data, sid, bytes(size))


def test_consumed_chunks_return_their_charge():
    p = Peer()
    sid = p.open()
    p.respond(sid)
    budget = p.c.data_frame_budget_available
    p.data(sid, bytes(100))
    assert p.c.stream_data_budget_charged(sid) == 156
    assert p.c.data_frame_budget_available == budget - 156
    p.c.release_data_frame(sid, 100)
    p.c.release_data_frame(sid, 100)  # nothing left to return
    assert p.c.data_frame_budget_available == budget and p.c.stream_data_budget_charged(sid) == 0


def test_closed_stream_stays_until_released():
    # A second stream stays open, so counting the closed one out twice shows.
    p = Peer()
    p.open()
    sid = p.open(end_stream=True)
    p.respond(sid)
    v = p.data(sid, b"hello", end=True)
    assert v.eof and v.flags & q.H2_FLAG_SLOT_FREED
    assert p.c.num_streams == 1 and p.c.num_open_streams == 1 and p.c.has_stream(sid)
    p.c.release_capacity(sid, 5)
    assert not p.c.has_stream(sid) and p.c.num_streams == 1


@pytest.mark.parametrize("role, frame, outcome", [
    ("client", lambda p: p.data(9, b"x"), (q.H2ProtocolError, (1, "frame on idle stream 9"))),
    ("client", lambda p: p.respond(9), (q.H2ProtocolError, (1, "frame on idle stream 9"))),
    ("client", lambda p: p.c.recv_window_update(p.feed(WindowUpdateFrame(9, window_increment=1))[0]),
     (q.H2ProtocolError, (1, "frame on idle stream 9"))),
    ("server", lambda p: (p.request(5), p.request(3)), (q.H2ProtocolError, (1, "invalid new stream id 3"))),
    ("server", lambda p: p.headers(1, REQ), (ValueError, ("recv_headers: the server role needs a spare stream handle",))),
    ("server", lambda p: (p.request(1, end=True), p.c.send_response_head(1, 200, None, True), p.data(1, b"x")),
     (q.H2StreamError, (1, 5, "library"))),
    ("server", lambda p: (p.request(1, end=True), p.data(1, b"x")),
     (q.H2ProtocolError, (1, "unexpected DATA on stream 1"))),
])
def test_receive_violations(role, frame, outcome):
    p = Peer(role)
    with pytest.raises(outcome[0]) as info:
        frame(p)
    assert info.value.args == outcome[1]


def test_server_refuses_streams_past_its_limit():
    p = Peer("server", max_concurrent_streams=1)
    assert p.request(1).kind == q.H2_HEADERS_OPENED and p.c.last_processed_id == 1
    raises(q.H2StreamError, (3, 7, "library"), p.request, 3)
    assert p.c.reset_on_error(3, 7).handle is None
    assert p.c.in_reset_store(3)
    assert p.data(3, b"late").payload is None  # swallowed, window returned
    assert [(type(f), f.error_code) for f in p.out()] == [(RstStreamFrame, 7)]


# --- resets --------------------------------------------------------------------------


def test_reset_stream_and_the_reset_store():
    p = Peer()
    sid = p.open()
    p.respond(sid)
    p.data(sid, bytes(3000))
    v = p.c.reset_stream(sid, 8)
    assert isinstance(v.handle, Handle) and (v.stop.reason, v.stop.conn) == (8, False)
    assert v.flags & q.H2_FLAG_WAKE and v.flags & q.H2_FLAG_SLOT_FREED
    assert not p.c.has_stream(sid) and p.c.in_reset_store(sid) and p.c.conn_recv_available == 65535
    last = p.out()[-1]
    assert (type(last), last.stream_id, last.error_code) == (RstStreamFrame, sid, 8)
    assert p.data(sid, b"late").payload is None and p.respond(sid).kind == q.H2_HEADERS_IGNORED
    empty = p.c.reset_stream(99, 8)
    assert (empty.handle, empty.stop, empty.flags) == (None, None, 0)
    with pytest.raises(ValueError):
        p.c.reset_stream(1, 8, "nobody")


def test_reset_store_holds_at_most_fifty():
    p = Peer()
    for sid in range(1, 121, 2):
        p.c.reset_on_error(sid, 1)
    stored = [sid for sid in range(1, 121, 2) if p.c.in_reset_store(sid)]
    assert stored == list(range(1, 101, 2))
    assert len(p.out()) == 60  # every reset is still sent


@pytest.mark.parametrize("cap", [2, None])
def test_local_error_reset_cap(cap):
    p = Peer(max_local_error_reset_streams=cap)
    for sid in (1, 3):
        p.c.reset_on_error(sid, 1)
    if cap is None:
        p.c.reset_on_error(5, 1)
        assert p.c.local_error_resets == 3
    else:
        raises(q.H2ProtocolError, (11, "too many stream resets"), p.c.reset_on_error, 5, 1)
        assert p.c.local_error_resets == 3


@pytest.mark.parametrize("accept", [False, True])
def test_rapid_reset_before_accept(accept):
    p = Peer("server")
    rst = lambda sid: p.c.recv_reset(p.feed(RstStreamFrame(sid, error_code=8))[0])  # noqa: E731
    for i in range(20):
        sid = 2 * i + 1
        p.request(sid)
        if accept:
            p.c.accepted(sid)
        p.data(sid, b"x" * 1000)
        handle, stop, notify, _ = rst(sid)
        assert isinstance(handle, Handle) and stop.reason == 8 and notify
        assert p.c.send_data(sid, b"late", 0, True).stopped.reason == 8  # the sender learns why
    assert p.c.conn_recv_available == 65535  # the unread bytes came back
    p.request(41)
    if accept:
        rst(41)
        assert p.c.num_streams == 0
    else:
        raises(q.H2ProtocolError, (11, "too_many_resets"), rst, 41)


@pytest.mark.parametrize("ended", [False, True])
def test_aclose_body(ended):
    p = Peer()
    sid = p.open(end_stream=True)
    p.respond(sid)
    p.data(sid, bytes(2000), end=ended)
    p.out()
    v = p.c.aclose_body(sid)
    assert p.c.conn_recv_available == 65535 and not p.c.has_stream(sid)
    if ended:
        assert (v.handle, v.stop) == (None, None) and p.out() == []
    else:
        assert v.stop.reason == 8 and [f.error_code for f in p.out()] == [8]


# --- GOAWAY, shutdown, failure -------------------------------------------------------


def test_goaway_may_not_raise_last_stream_id():
    p = Peer()
    frame = lambda last: p.feed(GoAwayFrame(0, last_stream_id=last))[0]  # noqa: E731
    p.c.recv_go_away(frame(5))
    p.c.recv_go_away(frame(3))
    raises(q.H2ProtocolError, (1, "GOAWAY may not raise last_stream_id"), p.c.recv_go_away, frame(7))
    assert p.c.goaway_info() == (3, 0, b"") and p.c.is_closed() and not p.c.is_failed()


def test_server_keeps_client_streams_on_the_client_goaway():
    p = Peer("server")
    p.request(1)
    p.request(3)
    pairs, _ = p.c.recv_go_away(p.feed(GoAwayFrame(0, last_stream_id=0, error_code=0))[0])
    assert pairs == [] and p.c.num_streams == 2
    assert p.c.maybe_goaway_reply() == 0  # streams still active
    p.data(1, b"body", end=True)
    assert p.c.send_response_head(1, 200, None, True).stopped is None
    assert p.c.send_goaway(2) == q.H2_FLAG_WAKE
    assert [(f.last_stream_id, f.error_code) for f in p.out() if isinstance(f, GoAwayFrame)] == [(3, 2)]


def test_graceful_shutdown_phase_two_ignores_late_streams():
    p = Peer("server")
    p.request(1)
    p.c.begin_graceful_shutdown()
    goaway, ping = p.out()
    assert goaway.last_stream_id == 2**31 - 1 and ping.opaque_data == b"SHUTDOWN"
    p.request(3)
    assert p.c.recv_ping(p.feed(PingFrame(0, opaque_data=b"SHUTDOWN", flags=["ACK"]))[0]) == q.H2_FLAG_WAKE
    (final,) = p.out()
    assert final.last_stream_id == 3 and p.c.max_stream_id == 3 and p.c.shutdown_final
    assert p.headers(5, REQ, spare=Handle()).kind == q.H2_HEADERS_IGNORED
    assert p.data(5, b"x").payload is None and not p.c.has_stream(5)
    for sid in (1, 3):
        p.c.reset_stream(sid, 8)
    assert p.c.num_streams == 0


def test_fail_fans_out_and_keeps_the_first_error():
    p = Peer()
    sids = [p.open() for _ in range(3)]
    p.respond(sids[0])
    first, second = RuntimeError("first"), RuntimeError("second")
    pairs = p.c.fail(first)
    assert sorted(type(h).__name__ for h, _ in pairs) == ["Handle"] * 3
    assert all((s.reason, s.conn) == (None, True) for _, s in pairs)
    assert p.c.fail(second) == [] and p.c.conn_error() is first
    assert p.c.is_failed() and p.c.is_closed() and p.c.num_open_streams == 0
    assert p.c.send_data(sids[1], b"x", 0, True).stopped.conn
    assert repr(p.c).endswith("failed=True, goaway=False)")
    other = Peer().c
    assert other.conn_error() is None
    other.fail(None, "transport lost")
    err = other.conn_error()
    assert type(err) is q.ConnectionClosedError and err.args[0] == "transport lost"


@pytest.mark.parametrize("frame", [PingFrame(0, opaque_data=b"12345678"), SettingsFrame(0)])
def test_control_reply_flood_is_bounded(frame):
    p = Peer()
    handle = p.c.recv_ping if isinstance(frame, PingFrame) else p.c.recv_settings
    (rec,) = p.feed(frame)
    for _ in range(1000):
        handle(rec)
    raises(q.H2ProtocolError, (11, "too_many_control_frames"), handle, rec)
    p.c.take_pending()  # the writer took them: replies may queue again
    handle(rec)


def test_recv_methods_check_the_record_class():
    p = Peer()
    (ping,) = p.feed(PingFrame(0))
    for m in (p.c.recv_headers, p.c.recv_data, p.c.recv_window_update, p.c.recv_reset, p.c.recv_go_away):
        with pytest.raises(TypeError):
            m(ping)


def test_gigabytes_each_way_leave_the_windows_as_new():
    # Flow control bounds the bytes in flight, never the total: well past
    # 4 GiB each way over one stream, every frame's window given back as a
    # peer would, and the connection still sends and receives like a new one.
    top, frame_max = 2**31 - 1, 2**24 - 1
    p = Peer(initial_window_size=top, connection_window=top, max_frame_size=frame_max, max_send_buf_size=1 << 25)
    for rec in p.feed(SettingsFrame(0, flags=["ACK"]),
                      SettingsFrame(0, settings={SettingsFrame.MAX_FRAME_SIZE: frame_max,
                                                 SettingsFrame.INITIAL_WINDOW_SIZE: top})):
        p.c.recv_settings(rec)
    p.c.recv_window_update(p.feed(WindowUpdateFrame(0, window_increment=top - 65535))[0])
    sid = p.open()
    p.respond(sid)
    p.out()
    chunk = bytes(frame_max)
    credit = p.feed(WindowUpdateFrame(0, window_increment=frame_max), WindowUpdateFrame(sid, window_increment=frame_max))
    (inbound,) = p.feed(DataFrame(sid, chunk))  # applied again and again: the windows see each one
    sent = received = 0
    granted = {0: top, sid: top}  # what our WINDOW_UPDATEs let the peer send
    while sent < 9 * 2**29:
        v = p.c.send_data(sid, chunk, 0, False)
        assert v.sent == frame_max and v.stopped is None
        sent += v.sent
        view, _ = p.c.take_pending()
        at = 0
        while at < len(view):  # frame headers only: the payloads are not copied
            n, kind, target = int.from_bytes(view[at:at + 3], "big"), view[at + 3], int.from_bytes(view[at + 5:at + 9], "big")
            if kind == 8:
                granted[target] += int.from_bytes(view[at + 9:at + 13], "big")
            at += 9 + n
        view.release()
        p.c.credit_written()
        for rec in credit:
            p.c.recv_window_update(rec)
        assert min(granted.values()) - received >= frame_max
        assert p.c.recv_data(inbound).payload is not None
        received += frame_max
        p.c.release_capacity(sid, frame_max)
    assert received == sent > 4 * 2**30
    assert (p.c.conn_send_window, p.c.stream_send_window(sid), p.c.conn_recv_available) == (top, top, top)
    assert p.c.send_data(sid, chunk, 0, True).done
