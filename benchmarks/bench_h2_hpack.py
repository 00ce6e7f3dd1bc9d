"""HPACK and the HTTP/2 frame layer against the `hpack` package (the
pure-Python HPACK of the h2 stack), and H2Codec.receive over DATA frames
against a plain copy of the same bytes, all measured in this run.

Targets:
  decoding every block of the HPACK stories   >= 100x hpack.Decoder
  encoding every head of the raw-data stories >= 100x hpack.Encoder
  receive() of 16 KiB DATA frames             within 2x of a bytes copy

Our side goes through the whole public path: HEADERS frames into
H2Codec.receive (frame parsing, HPACK, header map and record objects), one
call per block and, as a driver sees them after a large read, one call per
run of blocks; and
serialize_*_headers for encoding (HPACK and frame header). hpack works on
bare blocks and lists. Each story is one compression context on both sides,
started fresh for every timed run. The stories come from the test data the
tests use ($QUILLON_TESTDATA, a shared/testdata folder beside an ancestor, or
the copy packed in tests/data).
"""

import ctypes
import json
import os

from _harness import h2_data_dir, ns_per_call, report

from hpack import Decoder, Encoder

from _quillon import H2Codec, HeaderMap

ENCODERS = ["go-hpack", "nghttp2", "nghttp2-change-table-size", "python-hpack", "swift-nio-hpack-plain-text"]


def headers_frame(stream_id, block):
    return len(block).to_bytes(3, "big") + b"\x01\x05" + stream_id.to_bytes(4, "big") + block


def load():
    root = h2_data_dir() / "hpack"
    wire_stories, raw_stories = [], []
    for enc in ENCODERS:
        for path in sorted((root / enc).glob("story_*.json")):
            cases = json.loads(path.read_text())["cases"]
            wire_stories.append([(c.get("header_table_size"), bytes.fromhex(c["wire"])) for c in cases])
    for path in sorted((root / "raw-data").glob("story_*.json")):
        cases = json.loads(path.read_text())["cases"]
        raw_stories.append([[next(iter(h.items())) for h in c["headers"]] for c in cases])
    return wire_stories, raw_stories


def main():
    wire_stories, raw_stories = load()
    blocks = sum(map(len, wire_stories))

    # --- decoding
    our_inputs = [
        [(size, headers_frame(2 * i + 1, block)) for i, (size, block) in enumerate(story)] for story in wire_stories
    ]

    def ours_decode():
        for story in our_inputs:
            codec = H2Codec("server")
            receive = codec.receive
            for size, frame in story:
                if size is not None:
                    codec.set_recv_header_table_size(size)
                receive(frame)

    # The same frames as a driver sees them when a read returns many: one
    # receive() per run of blocks between table-size changes.
    runs = []
    for story in our_inputs:
        chunks = []
        for size, frame in story:
            if size is not None or not chunks:
                chunks.append([size, b""])
            chunks[-1][1] += frame
        runs.append(chunks)

    def ours_decode_batched():
        for chunks in runs:
            codec = H2Codec("server")
            for size, data in chunks:
                if size is not None:
                    codec.set_recv_header_table_size(size)
                codec.receive(data)

    def hpack_decode():
        for story in wire_stories:
            d = Decoder()
            for size, block in story:
                if size is not None:
                    d.max_allowed_table_size = size
                d.decode(block)

    # --- encoding
    heads = []
    for story in raw_stories:
        out = []
        for pairs in story:
            pseudo = dict(p for p in pairs if p[0].startswith(":"))
            fields = HeaderMap([p for p in pairs if not p[0].startswith(":")])
            if ":status" in pseudo:
                out.append((True, (1, int(pseudo[":status"]), fields), {}))
            else:
                kw = {"scheme": pseudo[":scheme"], "authority": pseudo[":authority"]}
                out.append((False, (1, pseudo[":method"], pseudo[":path"], fields), kw))
        heads.append(out)
    peer_heads = [[[p for p in pairs] for pairs in story] for story in raw_stories]
    cases = sum(map(len, heads))

    def ours_encode():
        for story in heads:
            codec = H2Codec()
            req, resp = codec.serialize_request_headers, codec.serialize_response_headers
            for is_response, args, kw in story:
                if is_response:
                    resp(*args)
                else:
                    req(*args, **kw)

    def hpack_encode():
        for story in peer_heads:
            e = Encoder()
            for pairs in story:
                e.encode(pairs)

    # --- DATA frames
    payload = os.urandom(16384)
    frame = (16384).to_bytes(3, "big") + b"\x00\x00" + (1).to_bytes(4, "big") + payload
    stream = frame * 64
    codec = H2Codec()
    assert len(codec.receive(stream)) == 64
    view = memoryview(stream)
    offsets = [(9 + i * len(frame), (i + 1) * len(frame)) for i in range(64)]

    rows = [
        (f"decode {blocks} story blocks (receive)", ns_per_call(ours_decode, repeat=3),
         {"hpack.Decoder": ns_per_call(hpack_decode, repeat=3)}),
        (f"decode {blocks} story blocks (batched receive)", ns_per_call(ours_decode_batched, repeat=3),
         {"hpack.Decoder": ns_per_call(hpack_decode, repeat=3)}),
        (f"encode {cases} raw-data heads", ns_per_call(ours_encode, repeat=3),
         {"hpack.Encoder": ns_per_call(hpack_encode, repeat=3)}),
    ]
    report("HPACK (whole stories per run)", rows)
    hpack_rows = rows
    # Both sides allocate and free about 1 MiB per call. Left to itself,
    # glibc may hand that back to the kernel on every free and fault it in
    # again on the next call, depending on what the process did before, so
    # the allocator is pinned to its steady state (no trimming, no mmap for
    # these sizes) for both sides alike.
    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.mallopt(-1, 256 << 20)  # M_TRIM_THRESHOLD
        libc.mallopt(-3, 256 << 20)  # M_MMAP_THRESHOLD
    except OSError:
        pass
    peers = {"bytes copy of the stream": ns_per_call(lambda: bytes(view)),
             "bytes copy per payload": ns_per_call(lambda: [bytes(view[a:b]) for a, b in offsets])}
    rows = [("receive 64 x 16 KiB DATA frames", ns_per_call(lambda: codec.receive(stream)), peers)]
    report("HTTP/2 frame layer (speed-up < 1: slower than the peer)", rows)

    print("\nTargets (ratios measured in this run)")
    for op, ours, peers in hpack_rows:
        (peer, ns), = peers.items()
        target(f"{op}: >= 100x {peer}", ns / ours, 100.0)
    op, ours, peers = rows[0]
    target(f"{op}: within 2x of a bytes copy (copy / ours)", peers["bytes copy of the stream"] / ours, 0.5)


def target(what, ratio, need):
    print(f"  {what:<72} {ratio:7.2f}x  {'met' if ratio >= need else 'NOT met'}")


if __name__ == "__main__":
    main()
