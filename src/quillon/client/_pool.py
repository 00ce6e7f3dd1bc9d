"""The connections of every origin: HTTP/1.1 ones taking one exchange at a
time, HTTP/2 ones carrying many streams, within the client's limits.

Handing out a connection costs the same with 1 or 100 open: idle HTTP/1.1
connections wait on a stack per origin (the most recently used first, its
socket the likeliest still open) and in one queue across origins, oldest
first, which the keep-alive limits trim from the front. HTTP/2 connections
are few per origin and are tried in turn. Connections that die while busy
are dropped when their exchange ends; a sweep at most once a second drops
the ones that die or expire while idle."""

from __future__ import annotations

import asyncio
import collections
import time
from collections.abc import Awaitable, Callable
from typing import Any, Protocol

import _quillon as q

from ._errors import PoolTimeout
from ._models import Limits, Request, Timeout

Key = tuple[str, str, int, str]  # scheme, host, port, and the proxy it goes through ("" for none)
SWEEP_EVERY = 1.0


class Connection(Protocol):
    http2: bool
    idle_since: float
    notify: Callable[[], None]  # the connection came free, closed, or has room again

    @property
    def usable(self) -> bool: ...

    @property
    def idle(self) -> bool: ...

    def try_acquire(self) -> bool: ...

    @property
    def stream_hint(self) -> int | None:
        """The stream limit the server named, when it did (HTTP/2)."""
        ...

    def learn_stream_limit(self, limit: int) -> None: ...

    def release(self) -> None: ...

    async def aclose(self) -> None: ...

    async def handle(self, request: Request, timeout: Timeout) -> tuple[int, q.HeaderMap, str, Any]: ...


Dial = Callable[[Key, Request, Timeout], Awaitable[Connection]]


class Pool:
    """Hands out a connection per request: an HTTP/2 one with a free stream
    slot, else an idle HTTP/1.1 one, else a new one while the limits allow,
    else the first to come free within the pool timeout.

    While a connection of an origin is being dialled with HTTP/2 possible,
    other requests for it wait to learn its protocol (and its room) rather
    than each dial their own."""

    def __init__(self, limits: Limits, dial: Dial, http2: bool) -> None:
        self.limits = limits
        self.dial = dial
        self.http2 = http2
        self.conns: dict[Key, list[Connection]] = {}  # every open connection
        self.multiplexed: dict[Key, list[Connection]] = {}  # the HTTP/2 ones
        self.idle_stack: dict[Key, list[Connection]] = {}  # idle HTTP/1.1 ones, last used on top
        self.idle_order: collections.OrderedDict[Connection, Key] = collections.OrderedDict()
        self.dialling: dict[Key, int] = {}
        self.count = 0  # connections open or being dialled
        self.changed = asyncio.Event()  # replaced each time it is set, so every waiter wakes once
        self.swept = time.monotonic()
        self.closed = False
        self.closing: set[asyncio.Task[None]] = set()  # connections being closed, kept until they are
        self.draining: set[Connection] = set()  # out of the pool, closed once their streams end

    def notify(self) -> None:
        self.changed.set()
        self.changed = asyncio.Event()

    async def acquire(self, key: Key, request: Request, timeout: Timeout) -> Connection:
        """A connection holding a slot for `request`: released by the
        exchange when its answer is read."""
        if self.closed:
            raise RuntimeError("the client is closed: no request can be sent with it")
        deadline = None if timeout.pool is None else time.monotonic() + timeout.pool
        while True:
            conn = self.take(key)
            if conn is not None:
                return conn
            conns = self.conns.get(key, ())
            dialling = self.dialling.get(key, 0)
            # A connection being dialled may be HTTP/2 with room for many.
            waiting_for_h2 = self.http2 and dialling > 0 and all(c.http2 for c in conns)
            per_origin = self.limits.max_connections_per_origin
            room = per_origin is None or len(conns) + dialling < per_origin
            limit = self.limits.max_connections
            if not waiting_for_h2 and room and (limit is None or self.count < limit or self.evict_idle()):
                conn = await self.open(key, request, timeout)
                if conn.try_acquire():
                    return conn
                continue
            changed = self.changed
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                raise PoolTimeout(f"no connection came free within {timeout.pool}s")
            try:
                async with asyncio.timeout(left):
                    await changed.wait()
            except TimeoutError:
                raise PoolTimeout(f"no connection came free within {timeout.pool}s") from None

    def take(self, key: Key) -> Connection | None:
        now = time.monotonic()
        if now - self.swept > SWEEP_EVERY:
            self.sweep(now)
        for conn in self.multiplexed.get(key, ()):
            if conn.try_acquire():
                return conn
        stack = self.idle_stack.get(key)
        expiry = self.limits.keepalive_expiry
        while stack:
            conn = stack.pop()
            del self.idle_order[conn]
            if expiry is not None and now - conn.idle_since > expiry:
                self.drop(key, conn)
            elif conn.try_acquire():
                return conn
            elif not conn.usable:
                self.drop(key, conn)
        return None

    async def open(self, key: Key, request: Request, timeout: Timeout) -> Connection:
        self.count += 1
        self.dialling[key] = self.dialling.get(key, 0) + 1
        try:
            conn = await self.dial(key, request, timeout)
        except BaseException:
            self.count -= 1
            raise
        finally:
            self.dialling[key] -= 1
            if not self.dialling[key]:
                del self.dialling[key]
            self.notify()
        conn.notify = lambda: self.released(key, conn)
        if conn.http2:
            # A new connection to an origin starts from the stream limit the
            # origin's server named on another, not from the assumed one.
            known = [c.stream_hint for c in self.multiplexed.get(key, ()) if c.stream_hint is not None]
            if known:
                conn.learn_stream_limit(min(known))
            self.multiplexed.setdefault(key, []).append(conn)
        self.conns.setdefault(key, []).append(conn)
        return conn

    def released(self, key: Key, conn: Connection) -> None:
        """An exchange ended, a stream slot freed, or the connection closed."""
        if not conn.usable:
            self.drop(key, conn)
        elif not conn.http2 and conn.idle and conn not in self.idle_order:
            self.idle_stack.setdefault(key, []).append(conn)
            self.idle_order[conn] = key
            keep = self.limits.max_keepalive_connections
            while keep is not None and len(self.idle_order) > keep:
                self.evict_idle()
        self.notify()

    def drop(self, key: Key, conn: Connection, gently: bool = False) -> None:
        """Takes `conn` out of the pool and closes it; `gently`, an HTTP/2
        one still carrying streams closes once they end."""
        conns = self.conns.get(key)
        if conns is None or conn not in conns:
            return
        conns.remove(conn)
        if not conns:
            del self.conns[key]
        if conn.http2:
            self.multiplexed[key].remove(conn)
            if not self.multiplexed[key]:
                del self.multiplexed[key]
        elif self.idle_order.pop(conn, None) is not None:
            self.idle_stack[key].remove(conn)
        if not self.idle_stack.get(key, True):
            del self.idle_stack[key]
        self.count -= 1
        if gently and conn.http2 and conn.usable and not conn.idle:
            self.draining.add(conn)

            def settle() -> None:
                if conn in self.draining and (conn.idle or not conn.usable):
                    self.draining.discard(conn)
                    self.close(conn)

            conn.notify = settle
            return
        self.close(conn)

    def close(self, conn: Connection) -> None:
        task = asyncio.ensure_future(conn.aclose())
        self.closing.add(task)
        task.add_done_callback(self.closing.discard)

    def forget(self, key: Key, conn: Connection) -> None:
        """A connection that failed under a request: no request gets it
        again. An HTTP/2 one may have failed only that request (a stream
        refused, or beyond the server's GOAWAY): its other streams still
        get their answers."""
        self.drop(key, conn, gently=True)
        self.notify()

    def evict_idle(self) -> bool:
        """Closes the longest idle HTTP/1.1 connection, or else an HTTP/2
        one with no stream, to make room; False if none is idle."""
        if self.idle_order:
            conn, key = next(iter(self.idle_order.items()))
            self.drop(key, conn)
            return True
        for key, conns in self.multiplexed.items():
            for conn in conns:
                if conn.idle:
                    self.drop(key, conn)
                    return True
        return False

    def sweep(self, now: float) -> None:
        """Drops connections that died or expired while idle."""
        self.swept = now
        expiry = self.limits.keepalive_expiry
        for key, conns in list(self.conns.items()):
            for conn in list(conns):
                expired = expiry is not None and conn.idle and now - conn.idle_since > expiry
                if expired or not conn.usable:
                    self.drop(key, conn)

    async def aclose(self) -> None:
        self.closed = True
        conns = [conn for conns in self.conns.values() for conn in conns] + list(self.draining)
        self.draining.clear()
        self.conns.clear()
        self.multiplexed.clear()
        self.idle_stack.clear()
        self.idle_order.clear()
        self.count = 0
        await asyncio.gather(*(conn.aclose() for conn in conns), *self.closing, return_exceptions=True)
