"""Whole HTTP/2 exchanges: our client against our server, each of them
against the h2 package as an independent peer, and the object shared by
threads as a real driver shares it."""

import threading
from collections import defaultdict

import pytest
import h2.config
import h2.connection
import h2.events

import _quillon as q
from h2_pump import Handle, Sender, connect, run_senders, shuttle, Side

WINDOWS = [
    dict(),  # every window at the protocol default
    dict(initial_window_size=20000, connection_window=1 << 20, max_frame_size=32768),
]


def body(n, seed):
    return bytes((seed + i) % 251 for i in range(n))


@pytest.mark.parametrize("kw", WINDOWS)
def test_exchange_between_our_client_and_our_server(kw):
    client, server = connect(kw, kw)
    requests = {}
    for i in range(4):
        assert client.c.try_claim_slot()
        h = Handle()
        sid = client.c.open_stream("POST", "https://example.test/up", q.HeaderMap([("x-n", str(i))]),
                                   False, False, h)
        requests[sid] = body(150000 + i, i)
    assert list(requests) == [1, 3, 5, 7]
    run_senders([Sender(client, sid, b, q.HeaderMap([("x-sum", "1")]) if sid == 3 else None)
                 for sid, b in requests.items()], client, server)
    assert {sid: bytes(server.bodies[sid]) for sid in requests} == requests
    assert server.trailers[3]["x-sum"] == b"1" and server.ended == set(requests)

    responses = {sid: body(130000 + sid, sid + 7) for sid in requests}
    for sid in requests:
        assert server.c.send_response_head(sid, 200, None, False).stopped is None
    run_senders([Sender(server, sid, b, q.HeaderMap([("grpc-status", "0")]) if sid == 5 else None)
                 for sid, b in responses.items()], server, client)
    assert {sid: bytes(client.bodies[sid]) for sid in requests} == responses
    assert client.heads[1].status == 200 and client.heads[1].headers.get("date")
    assert client.trailers[5]["grpc-status"] == b"0"
    for side in (client, server):
        assert side.c.num_streams == 0 and not any(side.c.has_stream(s) for s in requests)
        assert side.c.conn_recv_available == kw.get("connection_window", 65535)
    assert client.c.num_open_streams == 0


def test_graceful_shutdown_with_a_stream_in_flight():
    client, server = connect()
    client.c.try_claim_slot()
    sid = client.c.open_stream("POST", "/", None, False, False, Handle(), scheme="http", authority="a")
    upload = Sender(client, sid, body(100000, 1))
    upload.step()
    shuttle(client, server)
    assert server.c.begin_graceful_shutdown() == q.H2_FLAG_WAKE
    assert server.c.begin_graceful_shutdown() == 0
    shuttle(client, server)  # GOAWAY(2^31-1) + PING out, the ACK back: phase 2
    assert server.c.graceful and server.c.shutdown_final and server.c.max_stream_id == sid
    assert client.c.is_closed() and client.c.goaway_info()[0] == server.c.max_stream_id
    assert client.c.open_stream("GET", "/", None, True, False, Handle(), scheme="http", authority="a") is None
    run_senders([upload], client, server)
    assert len(server.bodies[sid]) == 100000
    server.c.send_response_head(sid, 204, None, True)
    assert server.c.num_streams == 0
    shuttle(client, server)
    assert client.c.num_streams == 0
    assert client.c.maybe_goaway_reply() == q.H2_FLAG_WAKE | q.H2_FLAG_CONN_DONE
    assert client.c.maybe_goaway_reply() == 0
    err = client.c.conn_error()
    assert isinstance(err, q.ConnectionClosedError) and "GOAWAY exchanged" in str(err)


# --- the h2 package as the peer ------------------------------------------------------


class H2Peer:
    def __init__(self, client_side):
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=client_side,
                                                                         header_encoding=None))
        self.conn.initiate_connection()
        self.bodies = defaultdict(bytearray)
        self.heads, self.ended, self.resets, self.outgoing = {}, set(), {}, {}
        self.terminated = None

    def feed(self, data):
        for ev in self.conn.receive_data(data):
            if isinstance(ev, (h2.events.RequestReceived, h2.events.ResponseReceived)):
                self.heads[ev.stream_id] = dict(ev.headers)
            elif isinstance(ev, h2.events.DataReceived):
                self.bodies[ev.stream_id] += ev.data
                self.conn.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            elif isinstance(ev, h2.events.StreamEnded):
                self.ended.add(ev.stream_id)
            elif isinstance(ev, h2.events.StreamReset):
                self.resets[ev.stream_id] = ev.error_code
                self.outgoing.pop(ev.stream_id, None)
            elif isinstance(ev, h2.events.ConnectionTerminated):
                self.terminated = ev

    def send_body(self, sid, data):
        self.outgoing[sid] = [data, 0]

    def take(self):
        for sid, st in list(self.outgoing.items()):
            data, off = st
            while off < len(data):
                n = min(self.conn.local_flow_control_window(sid), self.conn.max_outbound_frame_size, len(data) - off)
                if n <= 0:
                    break
                self.conn.send_data(sid, data[off:off + n])
                off += n
            st[1] = off
            if off == len(data):
                self.conn.end_stream(sid)
                del self.outgoing[sid]
        return self.conn.data_to_send()


def drive(ours, peer, senders=()):
    senders = list(senders)
    for _ in range(10000):
        for s in senders:
            s.step()
        out_ours, out_peer = ours.take(), peer.take()
        if not out_ours and not out_peer and all(s.done for s in senders):
            return
        peer.feed(out_ours)
        ours.feed(out_peer)
    raise AssertionError("exchange did not finish")


def test_our_client_against_h2_server():
    ours, peer = Side("client"), H2Peer(client_side=False)
    ours.c.begin()
    drive(ours, peer)
    assert ours.c.peer_max_concurrent_streams == peer.conn.local_settings.max_concurrent_streams
    uploads = {}
    for i in range(20):
        assert ours.c.try_claim_slot()
        sid = ours.c.open_stream("PUT", f"https://peer.test/{i}", None, False, False, Handle())
        uploads[sid] = body(70000 + i, i)
    senders = [Sender(ours, sid, b) for sid, b in uploads.items()]
    # stream 7 is cancelled by the application half-way
    drive(ours, peer, [s for s in senders if s.sid != 7] + [Sender(ours, 7, uploads[7][:20000])])
    v = ours.c.reset_stream(7, 8)
    assert v.stop.reason == 8 and not v.stop.conn
    for sid in uploads:
        if sid != 7:
            assert bytes(peer.bodies[sid]) == uploads[sid]
            peer.conn.send_headers(sid, [(b":status", b"200")])
            peer.send_body(sid, body(100000, sid))
    drive(ours, peer)
    assert peer.resets == {7: 8}
    for sid in uploads:
        if sid != 7:
            assert bytes(ours.bodies[sid]) == body(100000, sid)
    assert ours.c.num_streams == 0 and ours.c.num_open_streams == 0
    peer.conn.close_connection(last_stream_id=0)
    ours.feed(peer.take())
    assert ours.goaway == ([], q.H2_FLAG_SLOT_FREED)
    assert ours.c.goaway_info() == (0, 0, b"")
    assert ours.c.maybe_goaway_reply() == 5
    assert isinstance(ours.c.conn_error(), q.ConnectionClosedError)


def test_our_client_streams_above_the_peer_goaway_are_aborted():
    ours, peer = Side("client"), H2Peer(client_side=False)
    ours.c.begin()
    drive(ours, peer)
    handles = {}
    for _ in range(3):
        ours.c.try_claim_slot()
        h = Handle()
        handles[ours.c.open_stream("GET", "https://peer.test/", None, True, False, h)] = h
    drive(ours, peer)
    peer.conn.close_connection(error_code=0, last_stream_id=1)
    ours.feed(peer.take())
    pairs, flags = ours.goaway
    sid_of = {id(h): sid for sid, h in handles.items()}
    assert sorted((sid_of[id(h)], stop.reason, stop.conn) for h, stop in pairs) == [(3, 0, True), (5, 0, True)]
    assert flags & q.H2_FLAG_SLOT_FREED
    assert ours.c.has_stream(1) and not ours.c.has_stream(3)
    assert ours.c.num_open_streams == 1 and ours.c.maybe_goaway_reply() == 0


def test_our_server_against_h2_client():
    ours, peer = Side("server", max_concurrent_streams=50), H2Peer(client_side=True)
    ours.c.begin()
    drive(ours, peer)
    uploads = {}
    for i in range(20):
        sid = peer.conn.get_next_available_stream_id()
        peer.conn.send_headers(sid, [(b":method", b"POST"), (b":path", b"/u"), (b":scheme", b"https"),
                                     (b":authority", b"us"), (b"content-length", str(90000 + i).encode())])
        uploads[sid] = body(90000 + i, i)
        peer.send_body(sid, uploads[sid])
    drive(ours, peer)
    assert ours.c.last_processed_id == max(uploads)
    assert {sid: bytes(ours.bodies[sid]) for sid in uploads} == uploads
    senders = []
    for sid in uploads:
        v = ours.c.send_response_head(sid, 200, q.HeaderMap([("server", "quillon")]), False)
        assert v.stopped is None
        senders.append(Sender(ours, sid, body(120000, sid), q.HeaderMap([("x-done", "yes")])))
    drive(ours, peer, senders)
    for sid in uploads:
        assert peer.heads[sid][b":status"] == b"200" and b"date" in peer.heads[sid]
        assert bytes(peer.bodies[sid]) == body(120000, sid)
    assert peer.ended >= set(uploads)
    assert ours.c.num_streams == 0 and not ours.c.has_stream(1)
    peer.conn.close_connection()
    ours.feed(peer.take())
    assert ours.goaway == ([], q.H2_FLAG_SLOT_FREED)
    assert ours.c.maybe_goaway_reply() == 5
    peer.feed(ours.take())
    assert peer.terminated is None or peer.terminated.error_code == 0


# --- threads -------------------------------------------------------------------------


def test_threads_send_receive_and_write_concurrently():
    """Application threads send on many streams while one thread feeds the
    peer's bytes in and another takes and credits batches."""
    client, server = connect()
    n_streams, size = 16, 60000
    sids = []
    for _ in range(n_streams):
        client.c.try_claim_slot()
        sids.append(client.c.open_stream("POST", "http://h/", None, False, False, Handle()))
    wire = []  # client -> server batches
    lock = threading.Lock()
    stop = threading.Event()
    errors = []

    def app(sid):
        data = body(size, sid)
        off = 0
        try:
            while off < size:
                v = client.c.send_data(sid, data, off, True)
                off += v.sent
                if v.sent == 0:
                    stop.wait(0.0005)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def writer():
        while not stop.is_set() or client.c.has_pending():
            view, _ = client.c.take_pending()
            if len(view):
                with lock:
                    wire.append(bytes(view))
            else:
                stop.wait(0.0002)
            view.release()
            client.c.credit_written()

    def reader():
        while not stop.is_set():
            with lock:
                batches = wire[:]
                wire.clear()
            for b in batches:
                server.feed(b)
            out = server.take()
            if out:
                client.feed(out)

    threads = [threading.Thread(target=app, args=(sid,)) for sid in sids]
    pumps = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in pumps + threads:
        t.start()
    for t in threads:
        t.join(60)
    deadline = 0
    while any(len(server.bodies[s]) < size for s in sids) and deadline < 2000:
        stop.wait(0.01)
        deadline += 1
    stop.set()
    for t in pumps:
        t.join(60)
    assert not errors
    assert {s: bytes(server.bodies[s]) for s in sids} == {s: body(size, s) for s in sids}
