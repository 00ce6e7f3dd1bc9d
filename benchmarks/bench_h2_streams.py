"""HTTP/2 connection object: handshake, SETTINGS and PING, and the stream
primitives, against the pure-Python h2 package doing the same work.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_h2_streams.py
"""

import _harness  # noqa: F401  (puts the development build on the path)

import h2.config
import h2.connection
import h2.settings
import h2.stream
import h2.windows
from hyperframe.frame import PingFrame, SettingsFrame

import _quillon as q

KW = dict(initial_window_size=65535, connection_window=1048576, max_frame_size=16384,
          max_header_list_size=65536, max_send_buf_size=1 << 20)

PING = PingFrame(0, opaque_data=b"abcdefgh").serialize()
PEER_SETTINGS = SettingsFrame(0, settings={SettingsFrame.MAX_CONCURRENT_STREAMS: 100,
                                           SettingsFrame.INITIAL_WINDOW_SIZE: 131072}).serialize()
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def ours_handshake():
    c = q.H2Streams("client", **KW)
    c.begin()
    view, _ = c.take_pending()
    for f in c.receive(PEER_SETTINGS):
        c.recv_settings(f)
    return view


def h2_handshake():
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    c.increment_flow_control_window(1048576 - 65535)
    c.data_to_send()
    c.receive_data(PEER_SETTINGS)
    return c.data_to_send()


def make_ours_ping():
    c = q.H2Streams("client", **KW)

    def run():
        for f in c.receive(PING):
            c.recv_ping(f)
        return c.take_pending()
    return run


def make_h2_ping():
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    c.data_to_send()

    def run():
        c.receive_data(PING)
        return c.data_to_send()
    return run


def ours_window():
    f = q.H2FlowControl()
    f.inc_window(65535)
    f.assign_capacity(65535)
    f.send_data(16384)
    f.assign_capacity(16384)
    return f.unclaimed_capacity()


def h2_window():
    w = h2.windows.WindowManager(65535)
    w.window_consumed(16384)
    return w.process_bytes(16384)


def main():
    from _harness import ns_per_call, report
    report("HTTP/2 connection object", [
        ("handshake: preface, SETTINGS, peer SETTINGS", ns_per_call(ours_handshake), {"h2": ns_per_call(h2_handshake)}),
        ("PING in, PING ACK out", ns_per_call(make_ours_ping()), {"h2": ns_per_call(make_h2_ping())}),
        ("window pair: open, spend, release, check", ns_per_call(ours_window), {"h2": ns_per_call(h2_window)}),
    ])


if __name__ == "__main__":
    main()
