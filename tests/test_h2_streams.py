import gc
import weakref

import pytest
from hyperframe.frame import PingFrame, SettingsFrame, WindowUpdateFrame

import _quillon as q
from _h2wire import peer_frames

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=16384, max_send_buf_size=1 << 20)


def conn(role="client", **kw):
    return q.H2Streams(role, **{**BASE, **kw})


def pending(c):
    view, stopping = c.take_pending()
    assert stopping is False
    return bytes(view)


def records(data):
    """Frame records as the frame layer builds them from `data`."""
    return q.H2Codec("client").receive(data)


def settings_record(settings=None, ack=False):
    f = SettingsFrame(0, settings=settings or {}, flags=["ACK"] if ack else [])
    (rec,) = records(f.serialize())
    return rec


@pytest.mark.parametrize("kwargs, message", [
    (dict(role="proxy"), "role must be 'client' or 'server', got proxy"),
    (dict(max_frame_size=16383), "max_frame_size must be in [16384, 16777215], got 16383"),
    (dict(max_frame_size=16777216), "max_frame_size must be in [16384, 16777215], got 16777216"),
    (dict(initial_window_size=2**31), "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    (dict(connection_window=2**31), "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
    # the role is checked before the sizes
    (dict(role="", max_frame_size=1), "role must be 'client' or 'server', got "),
])
def test_construction_errors(kwargs, message):
    role = kwargs.pop("role", "client")
    with pytest.raises(ValueError) as info:
        conn(role, **kwargs)
    assert str(info.value) == message


def test_construction_limits_and_types():
    conn(max_frame_size=16384, initial_window_size=2**31 - 1)
    conn("server", max_frame_size=16777215, connection_window=2**31 - 1)
    with pytest.raises(TypeError, match="max_send_buf_size"):
        conn(max_send_buf_size="big")
    with pytest.raises(TypeError):
        q.H2Streams("client", 65535)  # the settings are keyword-only
    with pytest.raises(OverflowError, match="initial_window_size"):
        conn(initial_window_size=2**32)


def test_defaults_and_repr():
    c = conn(max_local_error_reset_streams=None)
    assert repr(c) == "H2Streams(role=client, streams=0, active=0, failed=False, goaway=False)"
    assert (c.is_server, c.num_streams, c.num_open_streams, c.stream_limit) == (False, 0, 0, None)
    assert (c.peer_initial_window_size, c.peer_max_frame_size, c.peer_max_concurrent_streams) == (65535, 16384, None)
    assert (c.conn_send_window, c.conn_recv_available) == (65535, 65535)
    assert (c.data_frame_budget_available, c.data_frame_budget_empty_frames) == (32767, 0)
    assert (c.max_pending_accept_reset_streams, c.max_local_error_reset_streams) == (20, None)
    assert conn().max_local_error_reset_streams == 1024
    assert conn(data_frame_budget=2**64 - 1).data_frame_budget_available == 2**64 - 1
    assert conn(connection_window=1048576).data_frame_budget_available == 524288
    assert (c.graceful, c.shutdown_final, c.goaway_replied, c.last_processed_id, c.max_stream_id) == (
        False, False, False, 0, 2**31 - 1)
    assert (c.has_stream(1), c.is_recv_end_stream(1), c.stream_state(1), c.stream_send_window(1),
            c.stream_recv_unreleased(1), c.stream_recv_reclaimed(1), c.in_reset_store(1)) == (
        False, False, None, None, None, None, False)


def test_client_handshake():
    c = conn(initial_window_size=1000, max_frame_size=32768, max_header_list_size=8192,
             max_concurrent_streams=7, enable_push=False, enable_connect_protocol=True)
    assert not c.has_pending()
    c.begin()
    data = pending(c)
    assert data.startswith(PREFACE)
    (s,) = peer_frames(data[24:])
    assert isinstance(s, SettingsFrame) and "ACK" not in s.flags
    # a client advertises neither MAX_CONCURRENT_STREAMS nor ENABLE_CONNECT_PROTOCOL
    assert s.settings == {SettingsFrame.INITIAL_WINDOW_SIZE: 1000, SettingsFrame.MAX_FRAME_SIZE: 32768,
                          SettingsFrame.MAX_HEADER_LIST_SIZE: 8192, SettingsFrame.ENABLE_PUSH: 0}
    c.begin()  # the handshake happens once
    assert not c.has_pending()


@pytest.mark.parametrize("window, update", [(1048576, 1048576 - 65535), (65535, None), (65535 + 32766, None),
                                            (65535 + 32767, 32767)])
def test_server_handshake_and_first_window_update(window, update):
    s = conn("server", connection_window=window, max_concurrent_streams=100)
    s.begin()
    got = peer_frames(pending(s))
    assert isinstance(got[0], SettingsFrame)
    assert got[0].settings[SettingsFrame.MAX_CONCURRENT_STREAMS] == 100
    assert SettingsFrame.ENABLE_PUSH not in got[0].settings
    if update is None:
        assert len(got) == 1
    else:
        assert isinstance(got[1], WindowUpdateFrame) and got[1].stream_id == 0
        assert got[1].window_increment == update
    assert s.conn_recv_available == window


def test_settings_exchanged_both_ways():
    client, server = conn(), conn("server", max_concurrent_streams=3)
    client.begin()
    server.begin()
    hello = pending(client)
    assert hello.startswith(PREFACE)
    (srv_view,) = records(hello[24:])
    (cli_view,) = records(pending(server))
    assert cli_view.max_concurrent_streams == 3

    initial, wake, flags = client.recv_settings(cli_view)
    assert (initial, wake, flags) == (True, [], q.H2_FLAG_WAKE | q.H2_FLAG_SLOT_FREED)
    assert (client.stream_limit, client.peer_max_concurrent_streams) == (3, 3)
    initial, wake, flags = server.recv_settings(srv_view)
    assert (initial, wake, flags) == (True, [], q.H2_FLAG_WAKE)
    assert server.stream_limit is None  # a server only stores the peer's limit

    for side in (client, server):
        (ack,) = peer_frames(pending(side))
        assert isinstance(ack, SettingsFrame) and "ACK" in ack.flags and ack.settings == {}
    ack_for_server = settings_record(ack=True)
    assert server.recv_settings(ack_for_server) == (False, [], 0)
    with pytest.raises(q.H2ProtocolError) as info:
        server.recv_settings(ack_for_server)
    assert info.value.args == (1, "received unexpected settings ack")

    assert client.recv_settings(settings_record())[0] is False  # a second SETTINGS


def test_ack_before_our_settings_is_a_protocol_error():
    c = conn()
    with pytest.raises(q.H2ProtocolError) as info:
        c.recv_settings(settings_record(ack=True))
    assert info.value.args == (1, "received unexpected settings ack")


def test_peer_settings_values():
    c = conn()
    rec = settings_record({SettingsFrame.MAX_FRAME_SIZE: 20000, SettingsFrame.INITIAL_WINDOW_SIZE: 70000,
                              SettingsFrame.HEADER_TABLE_SIZE: 100})
    assert c.recv_settings(rec) == (True, [], q.H2_FLAG_WAKE)
    assert (c.peer_max_frame_size, c.peer_initial_window_size) == (20000, 70000)
    with pytest.raises(TypeError, match="H2FrameSettings"):
        c.recv_settings(object())


@pytest.mark.parametrize("role", ["client", "server"])
def test_ping_and_its_ack(role):
    c = conn(role)
    (ping,) = records(PingFrame(0, opaque_data=b"\x00\x01\x02\x03\x04\x05\x06\xff").serialize())
    assert c.recv_ping(ping) == q.H2_FLAG_WAKE
    (pong,) = peer_frames(pending(c))
    assert isinstance(pong, PingFrame) and "ACK" in pong.flags
    assert pong.opaque_data == b"\x00\x01\x02\x03\x04\x05\x06\xff"
    # an ACK, even one carrying the shutdown payload, needs an active graceful shutdown
    (ack,) = records(PingFrame(0, flags=["ACK"], opaque_data=b"SHUTDOWN").serialize())
    assert c.recv_ping(ack) == 0 and not c.has_pending() and not c.shutdown_final
    with pytest.raises(TypeError, match="H2FramePing"):
        c.recv_ping(ping.data)


def test_prime_matches_the_server_preface():
    s = conn("server")
    assert s.prime(b"GET ") is False
    assert s.prime(PREFACE[:5]) is None
    assert s.prime(PREFACE[5:]) is True
    assert s.prime(b"more") is True  # joins the read buffer
    assert conn().prime(PREFACE[:5]) is True  # a client expects no preface


def test_take_pending_hands_out_a_read_only_view():
    c = conn()
    view, stopping = c.take_pending()
    assert (len(view), stopping, c.has_pending()) == (0, False, False)
    c.begin()
    assert c.has_pending()
    view, _ = c.take_pending()
    assert view.readonly and bytes(view[:24]) == PREFACE and not c.has_pending()
    with pytest.raises(TypeError):
        view[0] = 0
    del view
    c.recv_ping(records(PingFrame(0, opaque_data=b"12345678").serialize())[0])
    assert len(pending(c)) == 17  # the recycled buffer holds only the new frame


def test_task_handles():
    c = conn()
    read, pump = object(), object()
    assert c.take_read_handle() is None
    c.store_task_handles(read, pump)
    assert c.take_read_handle() is read and c.take_read_handle() is None
    assert c.take_pump_handle() is pump and c.take_pump_handle() is None


def test_subclass_cycle_through_a_handle_is_collected():
    class Driver(q.H2Streams):
        def __init__(self, role, **settings):
            super().__init__()
            self.events = {}

    class Task:
        pass

    d = Driver("server", **BASE)
    assert d.is_server and d.events == {}
    task = Task()
    task.conn = d  # the handle refers back to the connection holding it
    d.store_task_handles(task, None)
    alive = weakref.ref(task)
    del d, task
    gc.collect()
    assert alive() is None


def test_extended_connect_needs_the_peers_setting():
    from hpack import Decoder
    from hyperframe.frame import HeadersFrame

    c = conn()
    c.begin()
    pending(c)
    headers = q.HeaderMap({"sec-websocket-version": "13"})
    assert c.try_claim_slot()
    with pytest.raises(ValueError, match="SETTINGS_ENABLE_CONNECT_PROTOCOL"):
        c.open_stream("CONNECT", "/chat", headers, False, False, object(), scheme="https", authority="a.test",
                      protocol="websocket")
    assert c.num_open_streams == 0  # the slot came back
    rec = settings_record({SettingsFrame.ENABLE_CONNECT_PROTOCOL: 1})
    assert (rec.enable_connect_protocol, settings_record().enable_connect_protocol) == (True, None)
    assert not c.peer_enable_connect_protocol
    c.recv_settings(rec)
    assert c.peer_enable_connect_protocol
    pending(c)
    for method, protocol in [("GET", "websocket"), ("CONNECT", "web socket")]:
        assert c.try_claim_slot()
        with pytest.raises(ValueError, match=":protocol"):
            c.open_stream(method, "/chat", headers, False, False, object(), scheme="https", authority="a.test",
                          protocol=protocol)
    assert c.try_claim_slot()
    assert c.open_stream("CONNECT", "/chat?x", headers, False, False, object(), scheme="https", authority="a.test",
                         protocol="websocket") == 1
    (frame,) = peer_frames(pending(c))
    assert isinstance(frame, HeadersFrame) and "END_STREAM" not in frame.flags
    assert Decoder().decode(frame.data) == [(":method", "CONNECT"), (":protocol", "websocket"), (":scheme", "https"),
                                            (":authority", "a.test"), (":path", "/chat?x"),
                                            ("sec-websocket-version", "13")]
