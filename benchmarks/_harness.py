"""Shared timing for the benchmark scripts: every figure is a ratio against a
peer measured in the same run, on the same machine, with the same inputs."""

import os
import sys
import timeit

_build = os.environ.get("QUILLON_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

_TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")


def h2_data_dir():
    """The public HTTP/2 test data, found (or unpacked from the copy packed
    with the tests) exactly as the tests find it."""
    sys.path.insert(0, os.path.abspath(_TESTS))
    try:
        from _testdata import h2_data_dir as find
    finally:
        sys.path.pop(0)
    return find()


def ns_per_call(fn, min_time=0.2, repeat=5):
    """Best-of-`repeat` nanoseconds per call of `fn`."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2))
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


def report(title, rows):
    """rows: (operation, ours_ns, {peer: peer_ns}). Prints speed-ups (peer/ours)."""
    print(f"\n{title}")
    print(f"  {'operation':<44}{'ours ns':>10}  peers (ns, speed-up = peer/ours)")
    for op, ours, peers in rows:
        parts = "  ".join(f"{name} {ns:,.0f} ({ns / ours:.2f}x)" for name, ns in peers.items())
        print(f"  {op:<44}{ours:>10,.0f}  {parts}")
