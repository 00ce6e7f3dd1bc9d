"""Complete HTTP/2 exchanges in memory: a client and a server H2Streams in
one process against two h2 package connections doing the same work, and a
bulk transfer on one stream against a plain copy of the same bytes.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_h2_exchange.py
"""

import time

import _harness  # noqa: F401  (puts the development build on the path)

import h2.config
import h2.connection
import h2.events

import _quillon as q

STREAMS = 100
BODY = bytes(range(256)) * 4  # 1 KiB
BIG = 1 << 24
KW = dict(initial_window_size=BIG, connection_window=BIG, max_frame_size=16384,
          max_header_list_size=65536, max_send_buf_size=1 << 20)
Headers, Data, Settings, Ping, WindowUpdate = (q.H2FrameHeaders, q.H2FrameData, q.H2FrameSettings,
                                               q.H2FramePing, q.H2FrameWindowUpdate)


class Handle:
    __slots__ = ()


def take(c):
    view, _ = c.take_pending()
    data = bytes(view)
    view.release()
    c.credit_written()
    return data


def dispatch(c, data, on_headers):
    """The read pump's loop: each record to its recv_* method."""
    for f in c.receive(data):
        t = type(f)
        if t is Data:
            v = c.recv_data(f)
            n = len(f.data)
            if v.budgeted:
                c.release_data_frame(f.stream_id, n)
            c.release_capacity(f.stream_id, f.flow_controlled_len)
        elif t is Headers:
            on_headers(f)
        elif t is WindowUpdate:
            c.recv_window_update(f)
        elif t is Settings:
            c.recv_settings(f)
        elif t is Ping:
            c.recv_ping(f)


def ours_pair(**kw):
    client, server = q.H2Streams("client", **{**KW, **kw}), q.H2Streams("server", **{**KW, **kw})
    client.begin()
    server.begin()
    for _ in range(3):
        dispatch(server, take(client), None)
        dispatch(client, take(server), None)
    return client, server


def make_ours_round():
    client, server = ours_pair()
    handle = Handle()
    response_fields = q.HeaderMap([("content-type", "application/octet-stream"), ("content-length", "1024")])
    done = [0]

    def server_headers(f):
        sid = f.stream_id
        server.recv_headers(f, handle)
        server.accepted(sid)
        server.send_response_head(sid, 200, response_fields, False)
        server.send_data(sid, BODY, 0, True)

    def client_headers(f):
        v = client.recv_headers(f)
        done[0] += v.eof

    def run():
        for _ in range(STREAMS):
            client.try_claim_slot()
            client.open_stream("GET", "/item", None, True, False, handle, scheme="https", authority="bench")
        dispatch(server, take(client), server_headers)
        dispatch(client, take(server), client_headers)
        dispatch(server, take(client), None)  # window updates
        assert client.num_streams == 0 and server.num_streams == 0
    return run


def make_h2_round():
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    server = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
    client.initiate_connection()
    client.increment_flow_control_window(BIG - 65535)
    server.initiate_connection()
    for _ in range(3):
        server.receive_data(client.data_to_send())
        client.receive_data(server.data_to_send())
    request = [(":method", "GET"), (":path", "/item"), (":scheme", "https"), (":authority", "bench")]
    response = [(":status", "200"), ("content-type", "application/octet-stream"), ("content-length", "1024")]

    def run():
        for _ in range(STREAMS):
            client.send_headers(client.get_next_available_stream_id(), request, end_stream=True)
        for ev in server.receive_data(client.data_to_send()):
            if isinstance(ev, h2.events.RequestReceived):
                server.send_headers(ev.stream_id, response)
                server.send_data(ev.stream_id, BODY, end_stream=True)
        for ev in client.receive_data(server.data_to_send()):
            if isinstance(ev, h2.events.DataReceived):
                client.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
        server.receive_data(client.data_to_send())
    return run


def best_seconds(fn, rounds, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(rounds):
            fn()
        best = min(best, (time.perf_counter() - t) / rounds)
    return best


def bulk_ours(payload):
    client, server = ours_pair(initial_window_size=2**31 - 1, connection_window=2**31 - 1,
                               max_frame_size=16777215, max_send_buf_size=len(payload))
    client.try_claim_slot()
    sid = client.open_stream("POST", "/bulk", None, False, False, Handle(), scheme="https", authority="b")
    got = 0

    def on_headers(f):
        server.recv_headers(f, Handle())

    off = 0
    t = time.perf_counter()
    while off < len(payload):
        off += client.send_data(sid, payload, off, True).sent
        view, _ = client.take_pending()
        for f in server.receive(bytes(view)):
            if type(f) is Data:
                v = server.recv_data(f)
                got += len(v.payload or b"")
                server.release_capacity(sid, f.flow_controlled_len)
            elif type(f) is Headers:
                on_headers(f)
        view.release()
        client.credit_written()
    elapsed = time.perf_counter() - t
    assert got == len(payload)
    return elapsed


def main():
    ours = make_ours_round()
    peer = make_h2_round()
    ours()
    peer()
    t_peer = best_seconds(peer, 3)
    t_ours = best_seconds(ours, 30)
    print(f"\nHTTP/2 exchange: {STREAMS} concurrent GETs, 200 with a 1 KiB body, client and server in memory")
    print(f"  ours   {STREAMS / t_ours:>12,.0f} requests/s")
    print(f"  h2     {STREAMS / t_peer:>12,.0f} requests/s")
    print(f"  speed-up (h2 time / ours): {t_peer / t_ours:.1f}x")
    ratio = t_peer / t_ours
    print(f"  target: at least 100x h2: {ratio:.1f}x  {'met' if ratio >= 100 else 'NOT met'}")

    payload = bytes(range(256)) * (1 << 18)  # 64 MiB
    t_bulk = min(bulk_ours(payload) for _ in range(3))
    t_copy = min(best_seconds(lambda: bytes(memoryview(payload)), 1) for _ in range(3))
    mib = len(payload) / (1 << 20)
    print(f"\nBulk: {mib:.0f} MiB on one stream, client to server")
    print(f"  ours        {mib / t_bulk:>10,.0f} MiB/s")
    print(f"  bytes copy  {mib / t_copy:>10,.0f} MiB/s")
    print(f"  ratio (ours time / copy time): {t_bulk / t_copy:.1f}x")


if __name__ == "__main__":
    main()
