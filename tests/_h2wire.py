"""Bytes we wrote, read back as frames by an independent parser
(hyperframe), for the tests that check our output on the wire."""

from hyperframe.frame import Frame


def peer_frames(data):
    """Every whole frame in `data`, in order."""
    out = []
    while data:
        f, length = Frame.parse_frame_header(memoryview(data[:9]))
        f.parse_body(memoryview(data[9:9 + length]))
        out.append(f)
        data = data[9 + length:]
    return out
