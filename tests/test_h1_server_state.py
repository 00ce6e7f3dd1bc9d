"""H1ServerState: full request cycles against a stand-in transport, staleness, hand-off and shutdown."""
import gc
import threading
import weakref

import pytest

import _quillon as q
from _quillon import H1Codec, H1ServerState


class Transport:
    """A stand-in transport: the state only stores and returns it."""


def server(**kw):
    t = Transport()
    return H1ServerState(H1Codec(date_header=False), t, **kw), t


def read_body(dec, more=b""):
    if more:
        dec.feed(more)
    out = b""
    while (piece := dec.decode()) is not None:
        out += piece
    return out


def respond(s, seq, status=200, body=b"ok", **kw):
    code, head, armed = s.respond_head(seq, status, None, object(), content_length=len(body), **kw)
    assert code == q.H1_REQ_OK
    return head


def test_constructor_and_repr():
    with pytest.raises(TypeError, match="argument 'codec' must be H1Codec"):
        H1ServerState(object(), Transport())
    c = H1Codec()
    s = H1ServerState(c, None, keep_alive=False, half_close=True)
    assert s.codec is c and not s.keep_alive_enabled and s.half_close
    assert repr(s) == ("H1ServerState(seq=0, closed=false, reusable=true, responded=false, response_done=true, "
                       "watcher=false)")
    assert s.begin_read() == (q.H1_READ_EOF, None)


def test_keep_alive_and_pipelined_requests_with_bodies():
    s, t = server()
    assert s.begin_read() == (q.H1_READ_TRANSPORT, t) and s.unpark_idle_read() is False
    wire = (b"POST /1 HTTP/1.1\r\nhost: h\r\ncontent-length: 3\r\n\r\nabc"
            b"POST /2 HTTP/1.1\r\nhost: h\r\ntransfer-encoding: chunked\r\n\r\n2\r\nde\r\n0\r\n\r\n"
            b"GET /3 HTTP/1.1\r\nhost: h\r\n\r\n")
    assert s.accept_head(wire[:20]) is None
    data, seen = wire[20:], []
    for expected_seq in (1, 2, 3):
        head, seq, dec = s.accept_head(data)
        data = b""
        assert seq == expected_seq == s.current_seq and s.current_decoder() is dec
        assert s.begin_body_read(seq) is (head.body_kind != "empty") and s.begin_body_read(seq) is False
        seen.append((head.target, read_body(dec)))
        s.end_body_read(seq, dec.is_complete)
        assert b"connection" not in respond(s, seq)
        assert s.begin_read() == (q.H1_NEXT_RAISE, None)  # the response is still being written
        assert s.finish_response(seq) == (False, False, None, None)
        assert s.begin_read() == ((q.H1_READ_PARSE, None) if seq < 3 else (q.H1_READ_TRANSPORT, t))
        assert s.current_decoder() is None
    assert seen == [("/1", b"abc"), ("/2", b"de"), ("/3", b"")]


def test_expect_continue_is_claimed_once_before_the_head():
    s, _ = server()
    _, seq, dec = s.accept_head(b"PUT / HTTP/1.1\r\nhost: h\r\nexpect: 100-continue\r\ncontent-length: 2\r\n\r\n")
    assert s.try_send_continue(seq) is True and s.try_send_continue(seq) is False
    assert s.respond_head(seq, 200, None, object()) == (q.H1_REQ_CONTINUE, None, False)
    assert respond(s, seq).startswith(b"HTTP/1.1 200 OK")
    assert s.respond_head(seq, 200, None, object()) == (q.H1_REQ_ALREADY, None, False)
    fresh, _ = server()
    _, seq10, _ = fresh.accept_head(b"PUT / HTTP/1.0\r\nexpect: 100-continue\r\ncontent-length: 2\r\n\r\n")
    assert fresh.try_send_continue(seq10) is False  # HTTP/1.0 has no interim responses


def test_unread_body_is_drained_and_a_parked_reader_closes():
    s, t = server()
    _, seq, dec = s.accept_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 4\r\n\r\nab")
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (q.H1_NEXT_DRAIN, None)
    assert read_body(dec, b"cdGET /next HTTP/1.1\r\nhost: h\r\n\r\n") == b"abcd"
    assert s.drain_done(True) == (q.H1_READ_PARSE, None)
    head, seq, _ = s.accept_head(b"")
    assert head.target == "/next"
    # A second request whose reader is parked on the transport cannot be drained.
    s.accept_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 9\r\n\r\n")
    seq = s.current_seq
    assert s.begin_body_read(seq)
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (q.H1_NEXT_CLOSE, t) and s.closed and s.transport_ref() is None
    other, t2 = server()
    _, seq, _ = other.accept_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 9\r\n\r\n")
    respond(other, seq)
    other.finish_response(seq)
    assert other.begin_read() == (q.H1_NEXT_DRAIN, None) and other.drain_done(False) == (q.H1_NEXT_CLOSE, t2)


@pytest.mark.parametrize("end, verdict", [
    (lambda s: s.request_shutdown(), (q.H1_READ_SHUTDOWN, None)),
    (lambda s: s.mark_closed(), (q.H1_READ_EOF, None)),
], ids=["shutdown", "closed"])
def test_drain_completing_after_the_connection_ended_says_how(end, verdict):
    s, _ = server()
    _, seq, dec = s.accept_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 4\r\n\r\n")
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (q.H1_NEXT_DRAIN, None)
    end(s)
    assert read_body(dec, b"abcd") == b"abcd"
    assert s.drain_done(True) == verdict


def test_client_leaving_mid_response():
    s, t = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    done, handle = object(), object()
    code, head, armed = s.respond_head(seq, 200, None, done, chunked=True, want=True)
    assert (code, armed, s.watcher_parked, s.watcher_done() is done) == (q.H1_REQ_OK, True, True, True)
    assert s.store_watcher_handle(handle) is None
    assert s.peer_closed_now(seq) is None  # in the window: wait for the watcher
    assert s.watcher_completed(b"") is True and not s.reusable and s.peer_closed_flag(seq)
    assert s.close_window(seq) is True and s.close_window(seq) is False
    assert s.peer_closed_now(seq) is True
    assert s.take_watcher_handle() is handle and s.take_watcher_result() == (b"", None) and not s.has_watcher
    assert s.finish_response(seq) == (False, True, t, None)


def test_a_non_reusable_connection_says_connection_close():
    # The close follows this response: the client must not send another request into it.
    s, t = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    s.mark_unusable()
    assert b"connection: close" in respond(s, seq)
    assert s.finish_response(seq) == (False, True, t, None)
    s, t = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    assert s.arm_watcher(seq, object())  # peer_closed() asked before the response
    assert s.watcher_completed(None, OSError("reset")) is True  # the client left: nothing is written
    assert s.respond_head(seq, 200, None, object()) == (q.H1_REQ_PEER_CLOSED, None, False)
    assert s.respond_head(seq, 200, None, object()) == (q.H1_REQ_ALREADY, None, False)
    assert s.fail_response(seq) is t and s.closed


@pytest.mark.parametrize(
    "request_head,status,outcome",
    [
        (b"GET /ws HTTP/1.1\r\nhost: h\r\nupgrade: websocket\r\nconnection: upgrade\r\n\r\n", 101, "hand_off"),
        (b"CONNECT h:443 HTTP/1.1\r\nhost: h:443\r\n\r\n", 200, "hand_off"),
        (b"CONNECT h:443 HTTP/1.1\r\nhost: h\r\n\r\n", 407, "reuse"),  # refused: the bytes are the next request
        (b"GET / HTTP/1.1\r\nhost: h\r\n\r\n", 101, "close"),  # nothing to switch to
    ],
)
def test_upgrade_and_tunnel_hand_off_the_buffered_bytes(request_head, status, outcome):
    s, t = server()
    _, seq, _ = s.accept_head(request_head + b"\x16\x03tunnel")
    s.respond_head(seq, status, None, object())
    finished = s.finish_response(seq)
    if outcome == "hand_off":
        assert finished == (True, False, t, b"\x16\x03tunnel") and s.upgraded and s.closed
    elif outcome == "close":
        assert finished == (False, True, t, None) and not s.upgraded
    else:
        assert finished == (False, False, None, None) and s.begin_read() == (q.H1_READ_PARSE, None)
        return
    assert s.transport_ref() is None and s.mark_closed() == (None, None, True)


def test_detach_waits_for_a_parked_watcher_and_keeps_its_bytes():
    s, t = server()
    _, seq, dec = s.accept_head(b"POST / HTTP/1.1\r\nhost: h\r\ncontent-length: 2\r\n\r\nhi")
    assert read_body(dec) == b"hi"
    s.end_body_read(seq, True)
    assert s.arm_watcher(seq, object(), want=True) is True
    assert s.detach(seq) == (q.H1_REQ_PARKED, None, None)
    assert s.watcher_completed(b"raw") is False  # bytes are the peer's, not a close
    assert s.detach(seq) == (q.H1_REQ_OK, t, b"raw")
    assert s.upgraded and s.detach(seq) == (q.H1_REQ_ALREADY, None, None)
    assert s.respond_head(seq, 200, None, object()) == (q.H1_REQ_ALREADY, None, False)


def test_graceful_shutdown_with_an_idle_read_parked():
    s, t = server()
    assert s.begin_read() == (q.H1_READ_TRANSPORT, t)
    assert s.request_shutdown() is t and s.closed and s.shutdown_requested
    assert s.unpark_idle_read() is True
    # Mid-request, the shutdown makes the current response the last.
    s, t = server()
    assert s.begin_read() == (q.H1_READ_TRANSPORT, t)
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")  # the idle read is over
    assert s.request_shutdown() is None and not s.closed and not s.reusable
    assert b"connection: close" in respond(s, seq)
    assert s.finish_response(seq) == (False, True, t, None) and s.begin_read() == (q.H1_NEXT_NONE, None)


def test_stop_serving_keeps_the_transport_for_mark_closed():
    s, t = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    s.stop_serving()
    assert s.closed and s.transport_ref() is t  # the last response may still be written
    assert s.begin_read() == (q.H1_NEXT_NONE, None)
    assert s.mark_closed() == (t, None, True) and s.transport_ref() is None


STALE_CALLS = [
    (lambda s: s.try_send_continue(1), False),
    (lambda s: s.begin_body_read(1), False),
    (lambda s: s.end_body_read(1, True), None),
    (lambda s: s.peer_closed_now(1), False),
    (lambda s: s.peer_closed_flag(1), False),
    (lambda s: s.arm_watcher(1, object(), want=True, head_negotiated=True), False),
    (lambda s: s.close_window(1), False),
    (lambda s: s.respond_head(1, 200, None, object()), (q.H1_REQ_STALE, None, False)),
    (lambda s: s.finish_response(1), (False, False, None, None)),
    (lambda s: s.fail_response(1), None),  # refused: it must not cut off the current request
    (lambda s: s.detach(1), (q.H1_REQ_STALE, None, None)),
]


@pytest.mark.parametrize("call,result", STALE_CALLS)
def test_calls_for_an_earlier_request_are_stale(call, result):
    s, t = server()
    _, seq, _ = s.accept_head(b"GET /a HTTP/1.1\r\nhost: h\r\n\r\nPOST /b HTTP/1.1\r\nhost: h\r\nexpect: 100-continue\r\n"
                              b"content-length: 1\r\n\r\n")
    respond(s, seq)
    s.finish_response(seq)
    assert s.begin_read() == (q.H1_READ_PARSE, None)
    _, seq2, _ = s.accept_head(b"")
    before = repr(s)
    assert call(s) == result
    assert repr(s) == before and s.transport_ref() is t and seq2 == 2
    assert s.try_send_continue(2) and s.begin_body_read(2)  # the current request is untouched


def test_watcher_is_not_armed_when_it_could_see_more_than_a_close():
    s, _ = server(half_close=True)
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    assert s.arm_watcher(seq, object()) is False  # a half-close is not the client leaving
    s, _ = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\nGET /next HTTP/1.1\r\n\r\n")
    assert s.arm_watcher(seq, object()) is False and s.codec.buffered() > 0  # a next request to read
    s, _ = server()
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\nupgrade: h2c\r\n\r\n")
    assert s.arm_watcher(seq, object()) is False  # switching protocols is not decided yet
    assert s.respond_head(seq, 200, None, object(), want=True)[2] is True


def test_racing_closers_get_the_transport_once():
    for _ in range(30):
        s, t = server()
        _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
        calls = [lambda: s.fail_response(seq), s.fail_read, lambda: s.mark_closed()[0], lambda: s.detach(seq)[1]]
        barrier = threading.Barrier(len(calls))
        got = []

        def run(fn):
            barrier.wait()
            got.append(fn())

        threads = [threading.Thread(target=run, args=(fn,)) for fn in calls]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert [g for g in got if g is not None] == [t]


def test_subclass_cycle_through_transport_and_watcher_is_collected():
    class Conn(H1ServerState):
        pass

    t = Transport()
    s = Conn(H1Codec(), t)
    t.owner = s
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    s.respond_head(seq, 200, None, [s], chunked=True, want=True)
    assert s.store_watcher_handle({"conn": s}) is None
    ref = weakref.ref(s)
    del s, t
    gc.collect()
    assert ref() is None
