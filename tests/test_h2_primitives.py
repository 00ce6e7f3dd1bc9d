import pytest

import _quillon as q

PROTO = (q.H2ProtocolError, (1, "unspecific protocol error detected"))
UNEXPECTED = (q.H2UserError, ("unexpected_frame_type", "unexpected frame type"))

# How to reach each state from Idle.
PATHS = {
    "Idle": [],
    "ReservedLocal": [("reserve_local",)],
    "ReservedRemote": [("reserve_remote",)],
    "Open { local: Streaming, remote: AwaitingHeaders }": [("send_open", False)],
    "Open { local: AwaitingHeaders, remote: AwaitingHeaders }": [("recv_open", False, True)],
    "Open { local: AwaitingHeaders, remote: Streaming }": [("recv_open", False, False)],
    "Open { local: Streaming, remote: Streaming }": [("send_open", False), ("recv_open", False, False)],
    "HalfClosedLocal(AwaitingHeaders)": [("send_open", True)],
    "HalfClosedLocal(Streaming)": [("send_open", True), ("recv_open", False, False)],
    "HalfClosedRemote(AwaitingHeaders)": [("recv_open", True, False)],
    "HalfClosedRemote(Streaming)": [("send_open", False), ("recv_open", True, False)],
    "Closed(EndStream)": [("send_open", True), ("recv_open", True, False)],
    "Closed(Error(Reset(1, CANCEL, User)))": [("set_reset", 1, 8, "user")],
}


def state(name):
    s = q.H2StreamState()
    for call, *args in PATHS[name]:
        getattr(s, call)(*args)
    assert repr(s) == name
    return s


OAH = "Open { local: AwaitingHeaders, remote: AwaitingHeaders }"
OAS = "Open { local: AwaitingHeaders, remote: Streaming }"
OSA = "Open { local: Streaming, remote: AwaitingHeaders }"
OSS = "Open { local: Streaming, remote: Streaming }"
HCL_A, HCL_S = "HalfClosedLocal(AwaitingHeaders)", "HalfClosedLocal(Streaming)"
HCR_A, HCR_S = "HalfClosedRemote(AwaitingHeaders)", "HalfClosedRemote(Streaming)"
END = "Closed(EndStream)"
RESET = "Closed(Error(Reset(1, CANCEL, User)))"

# (start, call, result or (exception type, args), end state)
TRANSITIONS = [
    ("Idle", ("send_open", False), None, OSA),
    ("Idle", ("send_open", True), None, HCL_A),
    (OAH, ("send_open", False), None, OSA),
    (OAS, ("send_open", True), None, HCL_S),
    (HCR_A, ("send_open", False), None, HCR_S),
    (HCR_A, ("send_open", True), None, END),
    ("ReservedLocal", ("send_open", False), None, HCR_S),
    ("ReservedLocal", ("send_open", True), None, END),
    (OSA, ("send_open", False), UNEXPECTED, OSA),
    (HCL_A, ("send_open", False), UNEXPECTED, HCL_A),
    (HCR_S, ("send_open", True), UNEXPECTED, HCR_S),
    ("ReservedRemote", ("send_open", False), UNEXPECTED, "ReservedRemote"),
    (END, ("send_open", False), UNEXPECTED, END),
    ("Idle", ("recv_open", True, True), True, HCR_A),
    ("Idle", ("recv_open", False, True), True, OAH),
    ("Idle", ("recv_open", False, False), True, OAS),
    ("ReservedRemote", ("recv_open", True, False), True, END),
    ("ReservedRemote", ("recv_open", False, True), True, "ReservedRemote"),
    ("ReservedRemote", ("recv_open", False, False), True, HCL_S),
    (OSA, ("recv_open", True, False), False, HCR_S),
    (OSA, ("recv_open", False, True), False, OSA),
    (OSA, ("recv_open", False, False), False, OSS),
    (HCL_A, ("recv_open", True, True), False, END),
    (HCL_A, ("recv_open", False, True), False, HCL_A),
    (HCL_A, ("recv_open", False, False), False, HCL_S),
    (OSS, ("recv_open", False, False), PROTO, OSS),
    (HCL_S, ("recv_open", True, False), PROTO, HCL_S),
    (HCR_A, ("recv_open", False, False), PROTO, HCR_A),
    ("ReservedLocal", ("recv_open", False, False), PROTO, "ReservedLocal"),
    (END, ("recv_open", True, False), PROTO, END),
    ("Idle", ("reserve_remote",), None, "ReservedRemote"),
    (OSA, ("reserve_remote",), PROTO, OSA),
    ("Idle", ("reserve_local",), None, "ReservedLocal"),
    ("ReservedLocal", ("reserve_local",), UNEXPECTED, "ReservedLocal"),
    (OSS, ("recv_close",), None, HCR_S),
    (HCL_S, ("recv_close",), None, END),
    ("Idle", ("recv_close",), PROTO, "Idle"),
    (HCR_S, ("recv_close",), PROTO, HCR_S),
    (END, ("recv_close",), PROTO, END),
    (OSA, ("recv_reset", 1, 2, False), None, "Closed(Error(Reset(1, INTERNAL_ERROR, Remote)))"),
    (HCR_S, ("recv_reset", 1, 99, False), None, "Closed(ErrorAfterEndStream(Reset(1, Reason(0x63), Remote)))"),
    (END, ("recv_reset", 1, 8, False), None, END),
    (END, ("recv_reset", 1, 8, True), None, "Closed(ErrorAfterEndStream(Reset(1, CANCEL, Remote)))"),
    (RESET, ("recv_reset", 1, 7, True), None, "Closed(Error(Reset(1, REFUSED_STREAM, Remote)))"),
    (OSA, ("recv_eof",), None, 'Closed(Error(Io(BrokenPipe, "stream closed because of a broken pipe")))'),
    (END, ("recv_eof",), None, END),
    (OSS, ("send_close",), True, HCL_S),
    (HCR_S, ("send_close",), True, END),
    (OAS, ("send_close",), False, OAS),
    (HCL_S, ("send_close",), False, HCL_S),
    (RESET, ("send_close",), False, RESET),
    (END, ("set_reset", 5, 1, "library"), None, "Closed(Error(Reset(5, PROTOCOL_ERROR, Library)))"),
    (OSA, ("set_scheduled_reset", 8), True, "Closed(ScheduledLibraryReset(CANCEL))"),
    (END, ("set_scheduled_reset", 8), False, END),
]


@pytest.mark.parametrize("start, call, result, end", TRANSITIONS)
def test_stream_state_transition(start, call, result, end):
    s = state(start)
    method, *args = call
    if isinstance(result, tuple):
        with pytest.raises(result[0]) as info:
            getattr(s, method)(*args)
        assert info.value.args == result[1]
    else:
        assert getattr(s, method)(*args) is result
    assert repr(s) == end


# (state, predicates that hold); every other predicate is false.
PREDICATES = [
    ("Idle", {"is_idle", "is_recv_headers"}),
    ("ReservedRemote", {"is_send_closed", "is_recv_headers"}),
    (OSA, {"is_send_streaming", "is_recv_headers"}),
    (HCL_S, {"is_send_closed", "is_recv_streaming"}),
    (HCR_S, {"is_send_streaming", "is_recv_end_stream"}),
    (END, {"is_closed", "is_send_closed", "is_recv_end_stream"}),
    (RESET, {"is_closed", "is_send_closed", "is_reset", "is_local_error"}),
]
ALL_PREDICATES = sorted(
    {"is_idle", "is_closed", "is_reset", "is_scheduled_reset", "is_local_error", "is_remote_reset",
     "is_send_streaming", "is_send_closed", "is_recv_headers", "is_recv_streaming", "is_recv_end_stream"})


@pytest.mark.parametrize("name, true", PREDICATES)
def test_stream_state_predicates(name, true):
    s = state(name)
    assert {p for p in ALL_PREDICATES if getattr(s, p)()} == true


def test_remote_reset_after_end_stream_reads_as_clean_end():
    s = state(HCR_S)
    s.recv_reset(1, 8, False)
    assert s.is_recv_end_stream() and s.is_remote_reset() and not s.is_local_error()
    assert s.ensure_recv_open() is False


@pytest.mark.parametrize("setup, raised", [
    (lambda s: s.set_reset(3, 8, "remote"), (q.H2StreamError, (3, 8, "remote"))),
    (lambda s: s.set_scheduled_reset(8), (q.H2ProtocolError, (8, "stream no longer needed"))),
    (lambda s: s.recv_eof(), (q.ConnectionClosedError, ("stream closed because of a broken pipe",))),
])
def test_ensure_recv_open_raises_stored_error(setup, raised):
    s = state(OSA)
    assert s.ensure_recv_open() is True
    setup(s)
    with pytest.raises(raised[0]) as info:
        s.ensure_recv_open()
    assert info.value.args == raised[1]


def test_scheduled_reset_is_read_back_and_local():
    s = state(OSA)
    assert s.get_scheduled_reset() is None
    s.set_scheduled_reset(8)
    assert s.get_scheduled_reset() == 8 and s.is_local_error()


def test_bad_initiator_and_stream_id():
    s = q.H2StreamState()
    with pytest.raises(ValueError, match=r"^initiator must be 'user' \| 'library' \| 'remote', got boss$"):
        s.set_reset(1, 8, "boss")
    with pytest.raises(ValueError):
        s.set_reset(2**31, 8, "user")
    with pytest.raises(OverflowError):
        s.recv_reset(1, 2**32, False)
    assert s.is_idle()


def test_reason():
    with pytest.raises(ValueError, match="^14 is not a valid H2Reason$"):
        q.H2Reason(14)
    assert q.H2Reason(8) == 8 and not (q.H2Reason(8) != q.H2Reason.CANCEL)
    assert q.H2Reason(8) is q.H2Reason.CANCEL
    assert repr(q.H2Reason(11)) == str(q.H2Reason(11)) == "H2Reason.ENHANCE_YOUR_CALM"
    assert int(q.H2Reason.HTTP_1_1_REQUIRED) == 13 == hash(q.H2Reason(13))
    assert [0, 1, 2][q.H2Reason(2)] == 2
    assert q.H2Reason(1) != 2 and q.H2Reason(1) != "1" and q.H2Reason(1) != -1
    with pytest.raises(TypeError):
        q.H2Reason(1) < q.H2Reason(2)


MAX = 2**31 - 1


def test_flow_control_boundaries():
    f = q.H2FlowControl()
    f.inc_window(MAX)
    with pytest.raises(q.H2FlowControlError) as info:
        f.inc_window(1)
    assert info.value.args == (3,) and f.window_size() == MAX
    with pytest.raises(ValueError, match=r"^window size 2147483648 exceeds the maximum 2147483647 \(RFC 9113 6.9.1\)$"):
        f.inc_window(MAX + 1)
    f.assign_capacity(MAX)
    with pytest.raises(q.H2FlowControlError):
        f.assign_capacity(1)
    # the bottom of the range: -2^31 is reachable, one below is not
    g = q.H2FlowControl()
    g.claim_capacity(MAX)
    g.claim_capacity(1)
    assert g.available() == -(2**31)
    with pytest.raises(q.H2FlowControlError):
        g.claim_capacity(1)
    # dec_recv_window changes neither value when one of them would overflow
    h = q.H2FlowControl()
    h.claim_capacity(MAX)
    h.claim_capacity(1)
    with pytest.raises(q.H2FlowControlError):
        h.dec_recv_window(1)
    assert (h.window_size(), h.available()) == (0, -(2**31))


def test_flow_control_send_and_windows():
    f = q.H2FlowControl()
    f.send_data(0)
    with pytest.raises(q.H2FlowControlError):
        f.send_data(1)
    f.inc_window(10)
    f.assign_capacity(10)
    f.send_data(10)
    assert (f.window_size(), f.available()) == (0, 0)
    f.dec_send_window(5)
    assert f.window_size() == 0 and not f.has_unavailable()  # negative reads as 0
    with pytest.raises(q.H2FlowControlError):
        f.send_data(1)
    f.inc_window(5)
    f.dec_recv_window(0)
    assert repr(f) == "H2FlowControl(window_size=0, available=0)"


@pytest.mark.parametrize("available, unclaimed", [(149, None), (150, 50), (100, None), (90, None)])
def test_unclaimed_capacity(available, unclaimed):
    f = q.H2FlowControl()
    f.inc_window(100)
    f.assign_capacity(available)
    assert f.unclaimed_capacity() == unclaimed
    assert f.has_unavailable() == (available < 100)


def test_content_length():
    head = q.H2ContentLength(True)
    head.set(10)
    assert head.is_head() and head.dec(0) and not head.dec(1) and head.is_satisfied()
    c = q.H2ContentLength()
    assert c.dec(2**64 - 1) and c.is_satisfied()
    c.set(5)
    assert not c.is_satisfied() and not c.dec(6) and c.dec(5) and c.is_satisfied() and not c.dec(1)


@pytest.mark.parametrize("kwargs, budget", [
    ({}, 32767), ({"connection_window": 1048576}, 524288), ({"connection_window": 1000}, 25600),
    ({"configured": 7, "connection_window": 1048576}, 7),
])
def test_budget_resolution(kwargs, budget):
    assert q.H2DataFrameBudget(**kwargs).available == budget


def test_budget_arithmetic():
    b = q.H2DataFrameBudget()
    assert b.record(1) == 255 and b.available == 32767 - 255
    assert b.record(300) == 0 and b.available == 32767 - 255 + 44
    b.release(255)
    assert b.available == 32767  # never above the starting budget
    assert b.record(256) == 0 and b.record(2**64 - 1) == 0 and b.available == 32767
    small = q.H2DataFrameBudget(configured=300)
    assert small.record(1) == 255
    with pytest.raises(q.H2ProtocolError) as info:
        small.record(200)  # 56 needed, 45 left
    assert info.value.args == (11, "too_many_data_frames") and small.available == 45


def test_budget_empty_frames():
    b = q.H2DataFrameBudget()
    for _ in range(100):
        assert b.record(0) == 0
    for _ in range(2):
        with pytest.raises(q.H2ProtocolError) as info:
            b.record(0)
        assert info.value.args == (11, "too_many_data_frames")
        assert b.empty_frames == 101


def test_record_classes_are_not_constructible():
    with pytest.raises(TypeError):
        q.H2Stopped()
