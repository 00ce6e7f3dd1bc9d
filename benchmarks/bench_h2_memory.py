"""Memory an idle connection holds: an H2Streams after begin() (the state
of a server waiting on a quiet HTTP/2 connection), next to an H2Codec alone,
an idle HTTP/1 server state and the h2 package's H2Connection after
initiate_connection().

Target: at most 8 KiB per idle H2Streams.

C++ allocations are invisible to tracemalloc, so each figure is measured
over many live instances: the growth of resident memory (everything: the C
heap, the interpreter's arenas, page rounding) and, within it, of the C
heap alone (glibc mallinfo2: bytes in use, mmap'd chunks included). Each
kind is measured in a fresh interpreter, so no memory freed by another
measurement is reused.

    QUILLON_BUILD_DIR=build/dev python benchmarks/bench_h2_memory.py
"""

import ctypes
import gc
import os
import subprocess
import sys

import _harness  # noqa: F401  (puts the development build on the path)

import h2.config
import h2.connection

import _quillon as q

COUNT = 2000
TARGET = 8 * 1024
KW = dict(initial_window_size=65535, connection_window=1048576, max_frame_size=16384,
          max_header_list_size=65536, max_send_buf_size=1 << 20)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def _c_heap():
    m = _libc.mallinfo2()
    return m.uordblks + m.hblkhd


_PAGE = os.sysconf("SC_PAGE_SIZE")


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def bytes_per_instance(make):
    """(resident, C heap) growth per live instance of make()."""
    make()  # first-use costs (types, caches) are not per connection
    gc.collect()
    r0, c0 = _resident(), _c_heap()
    keep = [make() for _ in range(COUNT)]
    gc.collect()
    r1, c1 = _resident(), _c_heap()
    del keep
    return (r1 - r0) / COUNT, (c1 - c0) / COUNT


class Transport:
    pass


def idle_streams(role):
    def make():
        s = q.H2Streams(role, **KW)
        s.begin()
        s.take_pending()
        return s
    return make


def idle_codec():
    return q.H2Codec("server")


def idle_h1():
    return q.H1ServerState(q.H1Codec(), Transport())


def idle_h2_package():
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
    c.initiate_connection()
    c.data_to_send()
    return c


KINDS = {
    "H2Streams('server') after begin()": idle_streams("server"),
    "H2Streams('client') after begin()": idle_streams("client"),
    "H2Codec('server')": idle_codec,
    "H1ServerState + H1Codec": idle_h1,
    "h2 H2Connection after initiate_connection()": idle_h2_package,
}


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--one":
        print(*bytes_per_instance(list(KINDS.values())[int(sys.argv[2])]))
        return
    rows = []
    for i, name in enumerate(KINDS):
        out = subprocess.run([sys.executable, __file__, "--one", str(i)], check=True, capture_output=True,
                             text=True).stdout
        rows.append((name, tuple(float(x) for x in out.split())))
    print("\nMemory held per idle connection (bytes per live instance)")
    print(f"  {'':<46}{'resident':>10}{'C heap':>10}")
    for name, (rss, heap) in rows:
        print(f"  {name:<46}{rss:>10,.0f}{heap:>10,.0f}")
    worst = max(rows[0][1][0], rows[1][1][0])
    print(f"\n  idle H2Streams: {worst:,.0f} resident bytes; target <= {TARGET:,}"
          f" ({'met' if worst <= TARGET else 'not met'}, {worst / TARGET:.2f}x the target)")


if __name__ == "__main__":
    main()
