"""HPACK through H2Codec: the shared HPACK stories, cross-checks with the
`hpack` package, RFC 7541 Appendix C, decoder errors, size updates and the
encoder's indexing policy."""
import json

import pytest
from hpack import Decoder as PeerDecoder, Encoder as PeerEncoder

import _quillon as q
from _testdata import h2_data_dir


TESTDATA = h2_data_dir()
ENCODERS = ["go-hpack", "nghttp2", "nghttp2-change-table-size", "python-hpack", "swift-nio-hpack-plain-text"]
PSEUDO = (":method", ":scheme", ":authority", ":path")
CONNECTION_SPECIFIC = {"connection", "transfer-encoding", "upgrade", "keep-alive", "proxy-connection"}


def _stories(directory):
    if TESTDATA is None:
        return []
    return sorted((TESTDATA / "hpack" / directory).glob("story_*.json"))


def headers_frame(stream_id, block, flags=0x5):
    return len(block).to_bytes(3, "big") + bytes([1, flags]) + stream_id.to_bytes(4, "big") + block


def decode_blocks(blocks, codec=None):
    """Each block in a HEADERS frame of its own stream, through one codec."""
    codec = codec or q.H2Codec("server")
    out = []
    for i, block in enumerate(blocks):
        (record,) = codec.receive(headers_frame(2 * i + 1, block))
        out.append(record)
    return out


def as_list(record):
    """The decoded head as (name, value) text pairs: pseudo-headers first."""
    pairs = [(":status", str(record.status))] if record.status is not None else []
    for name, attr in zip(PSEUDO, ("method", "scheme", "authority", "path")):
        if getattr(record, attr) is not None:
            pairs.append((name, getattr(record, attr)))
    return pairs + [(n, v.decode()) for n, v in record.headers.items()]


def expected_list(pairs):
    """What a header map makes of a list: pseudo-headers in record order,
    then regular fields grouped at their name's first position."""
    pseudo = dict(p for p in pairs if p[0].startswith(":"))
    out = [(":status", pseudo[":status"])] if ":status" in pseudo else []
    out += [(n, pseudo[n]) for n in PSEUDO if n in pseudo]
    groups = {}
    for n, v in pairs:
        if not n.startswith(":"):
            groups.setdefault(n, []).append(v)
    return out + [(n, v) for n, vs in groups.items() for v in vs]


def malformed(pairs):
    return any(n in CONNECTION_SPECIFIC or (n == "te" and v != "trailers") for n, v in pairs)


def case_pairs(case):
    return [next(iter(h.items())) for h in case["headers"]]


@pytest.mark.parametrize("encoder", ENCODERS)
def test_every_story_decodes_block_by_block(encoder):
    stories = _stories(encoder)
    assert stories
    blocks = 0
    for story in stories:
        codec = q.H2Codec("server")
        for i, case in enumerate(json.loads(story.read_text())["cases"]):
            if case.get("header_table_size") is not None:
                codec.set_recv_header_table_size(case["header_table_size"])
            (record,) = codec.receive(headers_frame(2 * i + 1, bytes.fromhex(case["wire"])))
            pairs = case_pairs(case)
            if malformed(pairs):
                # Connection-specific fields make the block a stream error;
                # the blocks after it prove the table stayed in step.
                assert isinstance(record, q.H2FrameStreamError) and record.stream_id == 2 * i + 1
            else:
                assert as_list(record) == expected_list(pairs), (story.name, case["seqno"])
            blocks += 1
    assert blocks == 627


def _raw_cases():
    for story in _stories("raw-data"):
        yield story, [case_pairs(c) for c in json.loads(story.read_text())["cases"]]


def encode_with_codec(codec, pairs):
    fields = q.HeaderMap([(n, v) for n, v in pairs if not n.startswith(":")])
    pseudo = dict(p for p in pairs if p[0].startswith(":"))
    if ":status" in pseudo:
        return codec.serialize_response_headers(1, int(pseudo[":status"]), fields)
    return codec.serialize_request_headers(
        1, pseudo[":method"], pseudo[":path"], fields, scheme=pseudo[":scheme"], authority=pseudo[":authority"]
    )


def test_our_encoder_output_decodes_with_the_hpack_package():
    count = 0
    for story, cases in _raw_cases():
        codec, peer = q.H2Codec(), PeerDecoder()
        for pairs in cases:
            frame = encode_with_codec(codec, pairs)
            assert frame[3] == 1 and frame[4] & 0x4
            assert peer.decode(frame[9:]) == expected_list(pairs), story.name
            count += 1
    assert count > 500


def test_blocks_the_hpack_package_encodes_decode_with_ours():
    for story, cases in _raw_cases():
        peer, codec = PeerEncoder(), q.H2Codec("server")
        cases = [c for c in cases if not malformed(c)]
        records = decode_blocks([peer.encode(c) for c in cases], codec)
        assert [as_list(r) for r in records] == [expected_list(c) for c in cases], story.name


# RFC 7541 Appendix C: C.3 and C.4 are requests (plain and Huffman), C.5 and
# C.6 responses with a 256-octet table (set here by a size update ahead of the
# first block), whose evictions the later blocks depend on.
C_REQUESTS = [
    [(":method", "GET"), (":scheme", "http"), (":path", "/"), (":authority", "www.example.com")],
    [(":method", "GET"), (":scheme", "http"), (":path", "/"), (":authority", "www.example.com"),
     ("cache-control", "no-cache")],
    [(":method", "GET"), (":scheme", "https"), (":path", "/index.html"), (":authority", "www.example.com"),
     ("custom-key", "custom-value")],
]
C_RESPONSES = [
    [(":status", "302"), ("cache-control", "private"), ("date", "Mon, 21 Oct 2013 20:13:21 GMT"),
     ("location", "https://www.example.com")],
    [(":status", "307"), ("cache-control", "private"), ("date", "Mon, 21 Oct 2013 20:13:21 GMT"),
     ("location", "https://www.example.com")],
    [(":status", "200"), ("cache-control", "private"), ("date", "Mon, 21 Oct 2013 20:13:22 GMT"),
     ("location", "https://www.example.com"), ("content-encoding", "gzip"),
     ("set-cookie", "foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1")],
]
SIZE_256 = "3fe101"
APPENDIX_C = {
    "C.3": (C_REQUESTS, "", [
        "828684410f7777772e6578616d706c652e636f6d",
        "828684be58086e6f2d6361636865",
        "828785bf400a637573746f6d2d6b65790c637573746f6d2d76616c7565",
    ]),
    "C.4": (C_REQUESTS, "", [
        "828684418cf1e3c2e5f23a6ba0ab90f4ff",
        "828684be5886a8eb10649cbf",
        "828785bf408825a849e95ba97d7f8925a849e95bb8e8b4bf",
    ]),
    "C.5": (C_RESPONSES, SIZE_256, [
        "4803333032580770726976617465611d4d6f6e2c203231204f637420323031332032303a31333a323120474d54"
        "6e1768747470733a2f2f7777772e6578616d706c652e636f6d",
        "4803333037c1c0bf",
        "88c1611d4d6f6e2c203231204f637420323031332032303a31333a323220474d54c05a04677a69707738666f6f"
        "3d4153444a4b48514b425a584f5157454f50495541585157454f49553b206d61782d6167653d333630303b2076"
        "657273696f6e3d31",
    ]),
    "C.6": (C_RESPONSES, SIZE_256, [
        "488264025885aec3771a4b6196d07abe941054d444a8200595040b8166e082a62d1bff6e919d29ad171863c78f"
        "0b97c8e9ae82ae43d3",
        "4883640effc1c0bf",
        "88c16196d07abe941054d444a8200595040b8166e084a62d1bffc05a839bd9ab77ad94e7821dd7f2e6c7b335df"
        "dfcd5b3960d5af27087f3672c1ab270fb5291f9587316065c003ed4ee5b1063d5007",
    ]),
}


@pytest.mark.parametrize("section", sorted(APPENDIX_C))
def test_rfc7541_appendix_c(section):
    heads, prefix, wires = APPENDIX_C[section]
    blocks = [bytes.fromhex(prefix + wires[0])] + [bytes.fromhex(w) for w in wires[1:]]
    assert [as_list(r) for r in decode_blocks(blocks)] == [expected_list(h) for h in heads]


@pytest.mark.parametrize(
    "block, name",
    [
        (b"\x80", "InvalidTableIndex"),
        (b"\xbe", "InvalidTableIndex"),
        (b"\x0f\x2f\x00", "InvalidTableIndex"),
        (b"\xff\xff\xff\xff\xff\xff", "IntegerOverflow"),
        (b"\xff\x80", "NeedMore(IntegerUnderflow)"),
        (b"\x40", "NeedMore(UnexpectedEndOfStream)"),
        (b"\x40\x05ab", "NeedMore(StringUnderflow)"),
        (b"\x40\x81\x00\x00", "InvalidHuffmanCode"),  # padding bits not all ones
        (b"\x40\x84\xff\xff\xff\xff\x00", "InvalidHuffmanCode"),  # EOS in the string
        (b"\x40\x81\xfe\x00", "InvalidHuffmanCode"),  # eight bits of padding
        (b"\x40\x01A\x00", "InvalidUtf8"),  # upper-case name
        (b"\x40\x01a\x01\x00", "InvalidUtf8"),  # NUL in a value
        (b"\x41\x02\xc3\x28", "InvalidUtf8"),  # :authority not UTF-8
        (b"\x42\x03G T", "InvalidUtf8"),  # :method not a token
        (b"\x48\x0220", "InvalidStatusCode"),
        (b"\x48\x03abc", "InvalidStatusCode"),
        (b"\x40\x04:foo\x00", "InvalidPseudoheader"),
        (b"\x82\x20", "InvalidMaxDynamicSize"),  # size update after a field
        (b"\x3f\xe2\x1f", "InvalidMaxDynamicSize"),  # 4097: above the permitted size
    ],
)
def test_decoder_errors_are_connection_errors(block, name):
    with pytest.raises(q.H2ProtocolError) as e:
        q.H2Codec("server").receive(headers_frame(1, block))
    assert e.value.args == (1, f"HPACK decoding failed: Hpack({name})")


def test_size_updates():
    # Two at the very start are fine; a later block may grow back.
    (r,) = decode_blocks([b"\x20\x3f\xe1\x1f\x82"])
    assert r.method == "GET"
    # The larger of two queued sizes is permitted; nothing above it.
    codec = q.H2Codec("server")
    codec.set_recv_header_table_size(100)
    codec.set_recv_header_table_size(50)
    (r,) = codec.receive(headers_frame(1, b"\x3f\x45\x82"))  # 100
    assert r.method == "GET"
    with pytest.raises(q.H2ProtocolError, match=r"InvalidMaxDynamicSize"):
        codec.receive(headers_frame(3, b"\x3f\x46\x82"))  # 101


def test_an_entry_larger_than_the_table_empties_it():
    small = b"\x3f\x21"  # table size 64
    entry = b"\x40\x01a\x011"  # 34 octets: fits
    big = b"\x40\x01b\x28" + b"x" * 40  # 73 octets: does not
    codec = q.H2Codec("server")
    decode_blocks([small + entry], codec)
    (r,) = codec.receive(headers_frame(3, b"\xbe"))
    assert r.headers["a"] == b"1"
    codec.receive(headers_frame(5, big))
    with pytest.raises(q.H2ProtocolError, match=r"InvalidTableIndex"):
        codec.receive(headers_frame(7, b"\xbe"))


def block_of(frame):
    assert frame[3] == 1
    return frame[9:]


def response(codec, **fields):
    return block_of(codec.serialize_response_headers(1, 204, q.HeaderMap(list(fields.items()))))


def test_never_indexed_fields_stay_out_of_the_table():
    codec = q.H2Codec()
    first = response(codec, **{"content-length": "5"})
    assert first == response(codec, **{"content-length": "5"})
    assert first[0] == 0x89 and first[1] == 0x0F and first[2] == 0x0D  # 204, then literal, index 28


def test_repeated_fields_are_indexed_once_inserted():
    codec = q.H2Codec()
    first = response(codec, **{"x-custom": "v"})
    assert first[1] == 0x40 and first[2] & 0x80  # literal name, Huffman-coded
    assert response(codec, **{"x-custom": "v"}) == b"\x89\xbe"


@pytest.mark.parametrize("entry_size, indexed", [(3072, True), (3073, False)])
def test_fields_taking_most_of_the_table_are_not_inserted(entry_size, indexed):
    codec = q.H2Codec()
    fields = {"x-big": "v" * (entry_size - 32 - len("x-big"))}
    response(codec, **fields)
    assert (response(codec, **fields) == b"\x89\xbe") is indexed


def test_every_non_empty_string_is_huffman_coded():
    block = response(q.H2Codec(), **{"x-a": "b" * 200, "x-empty": ""})
    peer = PeerDecoder()
    assert peer.decode(block) == [(":status", "204"), ("x-a", "b" * 200), ("x-empty", "")]
    # 0x40, then each string's H bit (the 200-octet value takes a two-octet length).
    assert block[1] == 0x40 and block[2] & 0x80
    assert block.endswith(b"\x00")


@pytest.mark.parametrize(
    "sizes, prefix",
    [([8192], b""), ([0, 4096], b"\x20\x3f\xe1\x1f"), ([100], b"\x3f\x45"), ([0, 100, 50], b"\x20\x3f\x13")],
)
def test_encoder_size_updates(sizes, prefix):
    codec = q.H2Codec()
    for size in sizes:
        codec.set_send_header_table_size(size)
    assert response(codec) == prefix + b"\x89"
    assert response(codec) == b"\x89"  # sent once
