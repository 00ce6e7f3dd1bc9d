"""A minimal synchronous driver for H2Streams, shared by the exchange tests
and the benchmark: bytes from one side's take_pending fed to the other's
receive, every record dispatched to its recv_* method, bodies read (and
their capacity released) as soon as they arrive."""

from collections import defaultdict

import _quillon as q

BASE = dict(initial_window_size=65535, connection_window=65535, max_frame_size=16384,
            max_header_list_size=65536, max_send_buf_size=1 << 20)


class Handle:
    """The per-stream object a driver would keep (events, queues)."""

    def __init__(self, sid=None):
        self.sid = sid
        self.stop = None


class Side:
    def __init__(self, role, **kw):
        self.c = q.H2Streams(role, **{**BASE, **kw})
        self.heads = {}
        self.bodies = defaultdict(bytearray)
        self.trailers = {}
        self.ended = set()
        self.opened = []  # server: (sid, frame) of new requests
        self.resets = {}
        self.goaway = None
        self.woken = 0

    def take(self):
        view, _ = self.c.take_pending()
        data = bytes(view)
        view.release()
        self.woken += len(self.c.credit_written())
        return data

    def feed(self, data):
        self.apply(self.c.receive(data))
        while self.c.has_backlog():
            self.apply(self.c.receive(b""))

    def apply(self, records):
        c = self.c
        for f in records:
            kind = type(f).__name__
            if kind == "H2FrameSettings":
                c.recv_settings(f)
            elif kind == "H2FramePing":
                c.recv_ping(f)
            elif kind == "H2FrameHeaders":
                v = c.recv_headers(f, spare=Handle(f.stream_id) if c.is_server else None)
                if v.kind == q.H2_HEADERS_OPENED:
                    c.accepted(f.stream_id)
                    self.opened.append((f.stream_id, f))
                elif v.kind == q.H2_HEADERS_HEAD:
                    self.heads[f.stream_id] = f
                elif v.kind == q.H2_HEADERS_TRAILERS:
                    self.trailers[f.stream_id] = f.headers
                if v.eof:
                    self.ended.add(f.stream_id)
            elif kind == "H2FrameData":
                v = c.recv_data(f)
                if v.payload is not None:
                    self.bodies[f.stream_id] += v.payload
                if v.budgeted:
                    c.release_data_frame(f.stream_id, len(f.data))
                c.release_capacity(f.stream_id, len(f.data))
                if v.eof:
                    self.ended.add(f.stream_id)
            elif kind == "H2FrameWindowUpdate":
                c.recv_window_update(f)
            elif kind == "H2FrameRstStream":
                handle, stop, _, _ = c.recv_reset(f)
                self.resets[f.stream_id] = stop
            elif kind == "H2FrameGoAway":
                self.goaway = c.recv_go_away(f)
            elif kind == "H2FrameStreamError":
                c.reset_on_error(f.stream_id, f.error_code)


def connect(client_kw=None, server_kw=None):
    client, server = Side("client", **(client_kw or {})), Side("server", **(server_kw or {}))
    client.c.begin()
    server.c.begin()
    shuttle(client, server)
    return client, server


def shuttle(a, b):
    """Moves bytes both ways until neither side has anything to send."""
    while a.c.has_pending() or b.c.has_pending():
        b.feed(a.take())
        a.feed(b.take())


class Sender:
    """Sends one body over several send_data calls, as an application task would."""

    def __init__(self, side, sid, body, trailers=None):
        self.side, self.sid, self.body, self.trailers = side, sid, body, trailers
        self.offset = 0
        self.done = False

    def step(self):
        if self.done:
            return False
        end = self.trailers is None
        v = self.side.c.send_data(self.sid, self.body, self.offset, end)
        assert v.stopped is None
        self.offset += v.sent
        if v.done:
            if self.trailers is not None:
                assert self.side.c.send_trailers(self.sid, self.trailers).done
            self.done = True
        return v.sent > 0 or v.done


def run_senders(senders, a, b):
    while not all(s.done for s in senders):
        progressed = [s.step() for s in senders]
        if not any(progressed):
            raise AssertionError("senders stalled: no window was ever reopened")
        shuttle(a, b)
