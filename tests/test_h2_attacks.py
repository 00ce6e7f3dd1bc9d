"""HTTP/2 against hostile peers: a server-role H2Streams driven in memory by
crafted frames (hyperframe, hpack), one group per attack class. Each case
asserts what goes back on the wire (RST_STREAM or GOAWAY and its code) and
a bound on what the module holds, never a timing."""

import hpack
import pytest
from hyperframe.frame import (ContinuationFrame, DataFrame, GoAwayFrame, HeadersFrame, PingFrame,
                              RstStreamFrame, SettingsFrame, WindowUpdateFrame)

import _quillon as q
from _h2wire import peer_frames as parse
from h2_pump import BASE

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
LIST_MAX = 16384  # our SETTINGS_MAX_HEADER_LIST_SIZE in this suite
GET = [(":method", "GET"), (":scheme", "https"), (":path", "/"), (":authority", "a.test")]
PROTOCOL_ERROR, REFUSED_STREAM, ENHANCE_YOUR_CALM = 1, 7, 11


def held(record):
    """Decoded header bytes a record keeps, counted as HPACK counts them."""
    if not isinstance(record, q.H2FrameHeaders):
        return 0
    pseudo = {":method": record.method, ":scheme": record.scheme, ":authority": record.authority,
              ":path": record.path}
    fields = list(record.headers.items()) + [(k, v) for k, v in pseudo.items() if v is not None]
    return sum(len(k) + len(v) + 32 for k, v in fields)


class Driver:
    """One side of a connection and the dispatch loop of the example driver:
    stream errors answered with reset_on_error, a connection error with
    GOAWAY, and receive called again while the module holds a backlog."""

    def __init__(self, role="server", ack=True, **kw):
        self.c = q.H2Streams(role, **{**BASE, "max_header_list_size": LIST_MAX, **kw})
        self.enc = hpack.Encoder()
        self.opened, self.heads, self.batches = {}, {}, []
        self.error = None
        self.c.begin()
        hello = [SettingsFrame(0)] + ([SettingsFrame(0, flags=["ACK"])] if ack else [])
        self.send(*hello, raw=PREFACE if self.c.is_server else b"")
        self.hello = self.out()  # what we sent first (a client's preface misread as frames)

    def send(self, *frames, raw=b""):
        data = raw + b"".join(f if isinstance(f, bytes) else f.serialize() for f in frames)
        c = self.c
        try:
            while True:
                records = c.receive(data)
                self.batches.append(sum(held(r) for r in records))
                for r in records:
                    self.dispatch(r)
                if not c.has_backlog():
                    break
                data = b""
        except (q.H2ProtocolError, q.H2FlowControlError) as e:
            self.error = e
            c.send_goaway(e.args[0])

    def dispatch(self, r):
        c = self.c
        try:
            if isinstance(r, q.H2FrameHeaders):
                v = c.recv_headers(r, object() if c.is_server else None)
                if v.kind == q.H2_HEADERS_OPENED:
                    self.opened[r.stream_id] = r
                elif v.kind == q.H2_HEADERS_HEAD:
                    self.heads[r.stream_id] = r
            elif isinstance(r, q.H2FrameData):
                c.recv_data(r)
            elif isinstance(r, q.H2FrameSettings):
                c.recv_settings(r)
            elif isinstance(r, q.H2FramePing):
                c.recv_ping(r)
            elif isinstance(r, q.H2FrameWindowUpdate):
                c.recv_window_update(r)
            elif isinstance(r, q.H2FrameRstStream):
                c.recv_reset(r)
            elif isinstance(r, q.H2FrameGoAway):
                c.recv_go_away(r)
            elif isinstance(r, q.H2FrameStreamError):
                c.reset_on_error(r.stream_id, r.error_code)
        except q.H2StreamError as e:
            c.reset_on_error(e.args[0], e.args[1])

    def head(self, sid, fields, end=True):
        """The block in a HEADERS frame, with CONTINUATION frames past 16384 octets."""
        block = self.enc.encode(fields)
        parts = [block[i:i + 16384] for i in range(0, len(block), 16384)] or [b""]
        first = HeadersFrame(sid, parts[0], flags=["END_STREAM"] if end else [])
        rest = [ContinuationFrame(sid, p) for p in parts[1:]]
        (rest or [first])[-1].flags.add("END_HEADERS")
        return b"".join(f.serialize() for f in [first] + rest)

    def out(self):
        view, _ = self.c.take_pending()
        data = bytes(view)
        view.release()
        return parse(data)

    def verdicts(self):
        """RST_STREAM (stream, code) pairs and the GOAWAY code, as written."""
        frames = self.out()
        resets = [(f.stream_id, f.error_code) for f in frames if isinstance(f, RstStreamFrame)]
        goaways = [f.error_code for f in frames if isinstance(f, GoAwayFrame)]
        return resets, goaways[0] if goaways else None


def status_of(frames, sid):
    dec = hpack.Decoder()
    return [dict(dec.decode(f.data)).get(":status") for f in frames if isinstance(f, HeadersFrame) and
            f.stream_id == sid]


# --- malformed heads --------------------------------------------------------------------

def without(name, fields=GET):
    return [f for f in fields if f[0] != name]


def replaced(name, value, fields=GET):
    return [(k, value if k == name else v) for k, v in fields]


CONNECT = [(":method", "CONNECT"), (":authority", "a.test:443")]
EXTENDED = [(":method", "CONNECT"), (":protocol", "websocket"), (":scheme", "https"), (":path", "/chat"),
            (":authority", "a.test")]


@pytest.mark.parametrize("fields, served", [
    (without(":method"), False),
    (without(":scheme"), False),
    (without(":path"), False),
    (replaced(":path", ""), False),
    (replaced(":path", "index.html"), False),
    (replaced(":path", "*"), False),
    (GET + [("x-a", " v")], False),
    (GET + [("x-a", "v\t")], False),
    (replaced(":authority", "a.test "), False),
    (GET + [(":status", "200")], False),
    ([], False),
    ([("content-type", "text/plain")], False),
    (CONNECT + [(":path", "/")], False),
    (CONNECT + [(":scheme", "https")], False),
    (without(":authority", CONNECT), False),
    (GET + [(":protocol", "websocket")], False),
    (without(":path", EXTENDED), False),
    (without(":authority", EXTENDED), False),
    (without(":authority"), True),
    (CONNECT, True),
    (EXTENDED, False),  # we never advertised SETTINGS_ENABLE_CONNECT_PROTOCOL
    (GET + [("x-a", "a \t b")], True),
    ([(":method", "OPTIONS"), (":scheme", "http"), (":path", "*")], True),
])
def test_request_heads_are_checked_before_they_are_served(fields, served):
    d = Driver()
    # Twice: the second time HPACK sends the fields from its table.
    d.send(d.head(1, fields), d.head(3, fields))
    assert sorted(d.opened) == ([1, 3] if served else [])
    assert d.verdicts() == ([] if served else [(1, PROTOCOL_ERROR), (3, PROTOCOL_ERROR)], None)
    # The table stayed in step: the next request decodes, and a later id is
    # still required.
    d.send(d.head(5, GET + [("x-next", "1")]))
    assert d.opened[5].headers["x-next"] == b"1" and d.error is None


@pytest.mark.parametrize("enabled", [False, True])
def test_extended_connect_is_served_once_we_advertised_it(enabled):
    d = Driver(enable_connect_protocol=enabled)
    assert d.hello[0].settings.get(SettingsFrame.ENABLE_CONNECT_PROTOCOL) == (1 if enabled else None)
    d.send(d.head(1, EXTENDED), d.head(3, GET))
    assert d.verdicts() == ([] if enabled else [(1, PROTOCOL_ERROR)], None)
    assert {sid: r.protocol for sid, r in d.opened.items()} == ({1: "websocket", 3: None} if enabled else {3: None})


def test_trailers_carry_no_pseudo_header():
    d = Driver()
    d.send(d.head(1, without(":method") + [(":method", "POST")], end=False))
    d.send(d.head(1, [(":path", "/"), ("x-trailer", "1")]))
    assert d.verdicts() == ([(1, PROTOCOL_ERROR)], None)


def client_with_stream():
    d = Driver("client")
    assert d.c.try_claim_slot()
    assert d.c.open_stream("GET", "https://a.test/", None, True, False, object()) == 1
    d.out()
    return d


@pytest.mark.parametrize("blocks, answered", [
    ([[(":status", "200")]], True),
    ([[(":status", "103")], [(":status", "200")]], True),
    ([[("content-type", "text/plain")]], False),
    ([[]], False),
    ([[(":status", "200"), (":path", "/")]], False),
    ([[(":method", "GET")]], False),
    ([[(":status", "200")], [(":status", "200"), ("x-trailer", "1")]], False),  # trailers with :status
    ([[(":status", "200"), ("x-a", "v ")]], False),
])
def test_response_heads_are_checked_before_they_are_delivered(blocks, answered):
    d = client_with_stream()
    for fields in blocks[:-1]:
        d.send(d.head(1, fields, end=False))
    d.send(d.head(1, blocks[-1]))
    assert d.verdicts() == ([] if answered else [(1, PROTOCOL_ERROR)], None)
    assert (1 in d.heads) == (answered or len(blocks) > 1)


# --- heads over our header-list size -------------------------------------------------------

BIG = GET + [("x-big", "v" * 20000), ("content-type", "text/plain")]  # over LIST_MAX, under four times it


@pytest.mark.parametrize("end", [True, False])
def test_an_over_size_request_is_answered_431_and_never_served(end):
    d = Driver()
    d.send(d.head(1, BIG, end=end))
    assert not d.opened and d.error is None
    frames = d.out()
    assert status_of(frames, 1) == ["431"] and "END_STREAM" in frames[0].flags
    # A body still coming is refused and its frames absorbed.
    assert [(f.stream_id, f.error_code) for f in frames if isinstance(f, RstStreamFrame)] == ([] if end else [(1, 0)])
    if not end:
        d.send(DataFrame(1, b"late", flags=["END_STREAM"]))
        assert d.verdicts() == ([], None)
    d.send(d.head(3, GET))
    assert list(d.opened) == [3] and max(d.batches) <= LIST_MAX


def test_an_over_size_response_is_a_stream_error():
    d = client_with_stream()
    d.send(d.head(1, [(":status", "200")] + BIG[4:]))
    assert d.verdicts() == ([(1, PROTOCOL_ERROR)], None) and not d.heads


# --- header-list limits, before and after our SETTINGS are acknowledged ------------------

@pytest.mark.parametrize("ack", [True, False])
def test_continuation_flood_is_cut_by_our_limit(ack):
    # 16384 bytes of list in 16384-byte frames: five CONTINUATION frames,
    # whether or not the peer ever acknowledged our SETTINGS.
    d = Driver(ack=ack)
    d.send(HeadersFrame(1, d.enc.encode(GET)), *[ContinuationFrame(1, b"")] * 5)
    assert d.error is None and not d.opened
    d.send(ContinuationFrame(1, b""))
    assert d.error.args == (ENHANCE_YOUR_CALM, "too_many_continuations")
    assert d.verdicts() == ([], ENHANCE_YOUR_CALM)


@pytest.mark.parametrize("ack", [True, False])
def test_hpack_reference_bomb_is_cut_by_our_limit(ack):
    # One 4038-byte table entry, then a 20-octet block of references to it:
    # past four times our list size the connection ends, before or after the
    # ACK, and nothing of the block is kept.
    d = Driver(ack=ack)
    d.send(d.head(1, GET + [("x-bomb", "v" * 4000)]))
    assert list(d.opened) == [1]
    d.send(HeadersFrame(3, b"\x82\x87\x84" + b"\xbe" * 17, flags=["END_HEADERS", "END_STREAM"]))
    assert d.error.args == (ENHANCE_YOUR_CALM, "decoded header list size over abuse limit")
    assert d.verdicts()[1] == ENHANCE_YOUR_CALM
    assert list(d.opened) == [1] and max(d.batches) < LIST_MAX


# --- many small blocks that each decode large, in one read ------------------------------------

BATCH_BOUND = (1 << 20) + 65536  # what one receive call may hand back: 1 MiB plus one header list


@pytest.mark.parametrize("blocks, concurrency, opened, goaway", [
    (40, None, 41, None),  # over two batches' worth: every stream served, nothing lost
    (2000, 100, 100, ENHANCE_YOUR_CALM),  # the rest refused until the reset cap ends it
])
def test_one_read_of_small_blocks_is_decoded_in_bounded_batches(blocks, concurrency, opened, goaway):
    d = Driver(max_header_list_size=65536, max_concurrent_streams=concurrency)
    d.send(d.head(1, GET + [("x-bomb", "v" * 4000)]))
    # 17-octet blocks of 14 references to the 4038-octet entry: 56 KB each.
    bomb = b"\x82\x87\x84" + b"\xbe" * 14
    d.send(b"".join(HeadersFrame(sid, bomb, flags=["END_HEADERS", "END_STREAM"]).serialize()
                    for sid in range(3, 3 + 2 * blocks, 2)))
    assert len(d.opened) == opened and max(d.batches) <= BATCH_BOUND
    resets, code = d.verdicts()
    assert code == goaway and all(c == REFUSED_STREAM for _, c in resets)
    if goaway is None:
        assert len(d.batches) >= 4 and not d.c.has_backlog()


# --- resets: the peer's (Rapid Reset) and those it provokes from us (MadeYouReset) -------------

def test_rapid_reset_before_the_application_pulls_the_streams():
    d = Driver()
    pairs = [d.head(sid, GET, end=False) + RstStreamFrame(sid, error_code=8).serialize() for sid in range(1, 42, 2)]
    d.send(*pairs[:20])
    assert d.error is None and repr(d.c).startswith("H2Streams(role=server, streams=0, active=0")
    d.send(pairs[20])
    assert d.error.args == (ENHANCE_YOUR_CALM, "too_many_resets")
    assert d.verdicts() == ([], ENHANCE_YOUR_CALM)
    assert d.c.num_streams == 1  # the one in flight; none of the reset ones is kept


PROVOKE = {
    "window overflow": lambda d, sid: [d.head(sid, GET, end=False),
                                       WindowUpdateFrame(sid, window_increment=2**31 - 1).serialize()],
    "body over content-length": lambda d, sid: [d.head(sid, GET + [("content-length", "1")], end=False),
                                                DataFrame(sid, b"ab").serialize()],
    "trailers without END_STREAM": lambda d, sid: [d.head(sid, GET, end=False), d.head(sid, [("x", "1")], end=False)],
    "malformed head": lambda d, sid: [d.head(sid, without(":path"))],
    # Five references to one indexed 4000-octet field: over our list size
    # in a few octets a head, so a thousand 431 answers cost little to send.
    "over-size head": lambda d, sid: [d.head(sid, GET + [("x-big", "v" * 4000)] * 5, end=False)],
}


@pytest.mark.parametrize("provoke", PROVOKE.values(), ids=PROVOKE.keys())
def test_provoked_resets_are_capped(provoke):
    d = Driver()
    d.send(*[f for sid in range(1, 2049, 2) for f in provoke(d, sid)])
    resets, code = d.verdicts()
    assert len(resets) == 1024 and code is None and d.c.local_error_resets == 1024
    d.send(*provoke(d, 2049))
    assert d.error.args == (ENHANCE_YOUR_CALM, "too many stream resets")
    assert d.verdicts() == ([], ENHANCE_YOUR_CALM)
    assert d.c.num_streams <= 1 and repr(d.c).startswith(f"H2Streams(role=server, streams={d.c.num_streams},")


# --- control-frame and DATA floods -----------------------------------------------------

@pytest.mark.parametrize("flood, limit, message", [
    (PingFrame(0, opaque_data=b"12345678"), 1000, "too_many_control_frames"),
    (SettingsFrame(0), 1000, "too_many_control_frames"),
    (DataFrame(1, b""), 100, "too_many_data_frames"),
])
def test_floods_end_in_enhance_your_calm(flood, limit, message):
    # Nobody reads what we queue: the replies stay bounded, and the flood
    # fails the connection one frame past its allowance.
    d = Driver()
    d.send(d.head(1, GET, end=False))
    d.out()
    d.send(*[flood] * limit)
    assert d.error is None
    d.send(flood)
    assert d.error.args == (ENHANCE_YOUR_CALM, message)
    frames = d.out()
    assert isinstance(frames[-1], GoAwayFrame) and frames[-1].error_code == ENHANCE_YOUR_CALM
    assert len(frames) <= limit + 1
