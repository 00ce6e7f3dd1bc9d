"""The accepted socket both server drivers run on: an `asyncio.Protocol`
that hands reads to whoever serves the connection, with the backpressure
and the deadlines a server on a real network needs."""

from __future__ import annotations

import asyncio
import collections
import socket
from collections.abc import Callable
from typing import Protocol, cast

# Backpressure bounds of one connection: the transport's write buffer high
# mark, and the unread bytes queued before reading stops.
WRITE_HIGH = 64 * 1024
INBOX_LIMIT = 64 * 1024


class Site(Protocol):
    """What a link needs from the server that accepted it."""

    timeouts: Timeouts
    links: set[Link]

    def connection_made(self, link: Link) -> None: ...


class Timeouts:
    """How long the server waits for a client, in seconds (None: no limit)."""

    __slots__ = ("head", "idle", "write", "shutdown", "body", "grace")

    def __init__(self, head: float | None = 10.0, idle: float | None = 5.0, write: float | None = 30.0,
                 shutdown: float = 10.0, body: float | None = None, grace: float = 5.0) -> None:
        self.head = head  # from a connection's start, or a head's first byte, to the complete head
        self.idle = idle  # nothing arriving while the server waits: between requests, inside a body
        self.write = write  # a write making no progress: the client stopped reading
        self.shutdown = shutdown  # graceful shutdown: requests in flight get this long, then are cut
        self.body = body  # from the first read of a request body to its end (a body trickled in slowly)
        self.grace = grace  # a handler whose client left (an HTTP/2 reset) is cancelled after this long


class Link(asyncio.Protocol):
    """One accepted socket. Bytes that arrive while no coroutine waits for
    them go straight to the connection (most requests are served inside
    `data_received`, with no task switch); otherwise they queue for the
    coroutine that reads. The same object is the opaque transport the
    connection states hold and hand back, and the reader/writer face the
    HTTP/2 driver uses.

    Backpressure: once the transport's write buffer passes WRITE_HIGH
    (`pause_writing`) the link stops reading until it drains
    (`resume_writing`), and so does a queue of INBOX_LIMIT unread bytes: a
    client that sends without reading costs at most those two buffers plus
    one read."""

    def __init__(self, site: Site) -> None:
        self.site = site
        self.timeouts = site.timeouts
        self.transport: asyncio.Transport | None = None
        self.peer = "-"  # the client's address for the log
        self.client: tuple[str, int] | None = None  # (host, port) of each end, when a socket has them
        self.local: tuple[str, int] | None = None
        self.scheme = "http"
        self.sink: Callable[[bytes], None] | None = None  # called with each read while nothing awaits one
        self.lost: Callable[[], object] | None = None  # told once the socket has closed
        self.inbox: collections.deque[bytes] = collections.deque()
        self.inbox_size = 0
        self.eof = False
        self.waiter: asyncio.Future[None] | None = None
        self.paused = False  # the transport asked us to stop writing
        self.reading = True
        self.drained: asyncio.Future[None] | None = None
        self.loop = asyncio.get_running_loop()
        # The deadline: when it falls and what then. The one timer behind it
        # is re-armed only when it would fire late, so the deadlines a
        # request moves through cost no timer each.
        self.when: float | None = None
        self.expire: Callable[[], object] = self.abort
        self.timer: asyncio.TimerHandle | None = None
        self.gone = asyncio.Event()

    # asyncio.Protocol

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # uvloop's transports have the interface without the base class.
        self.transport = transport = cast(asyncio.Transport, transport)
        transport.set_write_buffer_limits(high=WRITE_HIGH)
        sock = transport.get_extra_info("socket")
        if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            # asyncio sets this only on sockets whose protocol number says
            # TCP; without it a response written in two pieces waits for
            # the client's delayed ACK.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        peer = transport.get_extra_info("peername")
        self.peer = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
        self.client = (peer[0], peer[1]) if isinstance(peer, tuple) else None
        local = transport.get_extra_info("sockname")
        self.local = (local[0], local[1]) if isinstance(local, tuple) else None
        if transport.get_extra_info("ssl_object") is not None:
            self.scheme = "https"
        self.site.links.add(self)
        self.site.connection_made(self)

    def alpn(self) -> str | None:
        assert self.transport is not None
        tls = self.transport.get_extra_info("ssl_object")
        return None if tls is None else tls.selected_alpn_protocol()

    def data_received(self, data: bytes) -> None:
        if self.sink is not None and not self.inbox and self.waiter is None:
            self.sink(data)
            return
        self.inbox.append(data)
        self.inbox_size += len(data)
        if self.inbox_size >= INBOX_LIMIT:
            self.steer_reading()
        self.wake()

    def eof_received(self) -> bool:
        self.eof = True
        self.wake()
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.eof = True
        self.when = None
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.wake()
        self.settle_drain()
        if self.sink is not None and self.waiter is None:
            self.sink(b"")
        self.sink = None
        lost, self.lost = self.lost, None
        if lost is not None:
            lost()
        self.site.links.discard(self)
        self.gone.set()

    def pause_writing(self) -> None:
        self.paused = True
        self.steer_reading()

    def resume_writing(self) -> None:
        self.paused = False
        self.steer_reading()
        self.settle_drain()

    # The face the drivers use

    def steer_reading(self) -> None:
        """Reads stop while the write side is full or the inbox is: the
        client then waits in its own send buffer, not in our memory."""
        want = not self.paused and self.inbox_size < INBOX_LIMIT
        t = self.transport
        if want == self.reading or t is None or t.is_closing():
            return
        self.reading = want
        if want:
            t.resume_reading()
        else:
            t.pause_reading()

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    def settle_drain(self) -> None:
        if self.drained is not None and not self.drained.done():
            self.drained.set_result(None)

    async def read(self, _size: int = -1) -> bytes:
        """The next read off the socket (its size is the socket's)."""
        while not self.inbox:
            if self.eof:
                return b""
            self.waiter = asyncio.get_running_loop().create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None
        data = self.inbox.popleft()
        self.inbox_size -= len(data)
        if not self.reading:
            self.steer_reading()
        return data

    def take_inbox(self) -> bytes:
        data = b"".join(self.inbox)
        self.inbox.clear()
        self.inbox_size = 0
        self.steer_reading()
        return data

    def end_input(self) -> None:
        """Readers see the end of input now, whatever the socket holds."""
        self.eof = True
        self.wake()

    def write(self, data: bytes | memoryview) -> None:
        assert self.transport is not None
        self.transport.write(data)

    async def drain(self) -> None:
        """Returns once the write buffer is below its low mark; a client
        that reads nothing for the write timeout loses the connection."""
        t = self.transport
        if t is None or t.is_closing():
            raise ConnectionResetError("connection closed")
        if not self.paused:
            return
        if self.drained is None or self.drained.done():
            self.drained = asyncio.get_running_loop().create_future()
        done, _ = await asyncio.wait({self.drained}, timeout=self.timeouts.write)
        if not done:
            self.abort()
            raise ConnectionResetError("write timed out")
        if t.is_closing():
            raise ConnectionResetError("connection closed")

    def close(self) -> None:
        """Closes after the buffered bytes are written, or after the write
        timeout when the client does not take them."""
        t = self.transport
        if t is None:
            return
        if not t.is_closing():
            t.close()
        if t.get_write_buffer_size() and self.timeouts.write is not None:
            self.arm(self.timeouts.write, self.abort)

    def abort(self) -> None:
        if self.transport is not None:
            self.transport.abort()

    def deadline(self, seconds: float | None, expire: Callable[[], object]) -> None:
        """One deadline per link: a new one replaces the last. A closing
        link keeps only its linger deadline."""
        if self.transport is None or self.transport.is_closing():
            return
        if seconds is None:
            self.when = None
        else:
            self.arm(seconds, expire)

    def arm(self, seconds: float, expire: Callable[[], object]) -> None:
        when = self.loop.time() + seconds
        self.when, self.expire = when, expire
        if self.timer is None or self.timer.when() > when:
            if self.timer is not None:
                self.timer.cancel()
            self.timer = self.loop.call_at(when, self.fire)

    def clear_deadline(self) -> None:
        if self.transport is not None and not self.transport.is_closing():
            self.when = None  # a pending timer finds nothing to do

    def fire(self) -> None:
        self.timer = None
        if self.when is None:
            return
        if self.loop.time() < self.when:
            self.timer = self.loop.call_at(self.when, self.fire)
            return
        self.when = None
        self.expire()


def close_transport(t: Link | None) -> None:
    if t is not None:
        t.close()
