"""The connections of every origin: HTTP/1.1 ones taking one exchange at a
time, HTTP/2 ones carrying many streams, within the client's limits."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Awaitable, Callable
from typing import Any, Protocol

import _quillon as q

from ._errors import PoolTimeout
from ._models import Limits, Request, Timeout

Key = tuple[str, str, int, str]  # scheme, host, port, and the proxy it goes through ("" for none)


class Connection(Protocol):
    http2: bool
    idle_since: float

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


Dial = Callable[[Key, Request, Timeout, Callable[[], None]], Awaitable[Connection]]


class Pool:
    """Hands out a connection per request: an HTTP/2 one with a free stream
    slot, else an idle HTTP/1.1 one, else a new one while the limits allow,
    else the first to come free within the pool timeout.

    While the first connection of an origin is being dialled with HTTP/2
    possible, other requests for it wait to learn its protocol rather than
    each dial their own."""

    def __init__(self, limits: Limits, dial: Dial, http2: bool) -> None:
        self.limits = limits
        self.dial = dial
        self.http2 = http2
        self.conns: dict[Key, list[Connection]] = {}
        self.dialling: dict[Key, int] = {}
        self.count = 0  # connections open or being dialled
        self.changed = asyncio.Event()  # replaced each time it is set, so every waiter wakes once
        self.closed = False
        self.closing: set[asyncio.Task[None]] = set()  # connections being closed, kept until they are

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
            self.prune()
            conns = self.conns.get(key, ())
            for conn in conns:
                if conn.try_acquire():
                    return conn
            dialling = self.dialling.get(key, 0)
            # A connection being dialled may be HTTP/2 with room for many.
            waiting_for_h2 = self.http2 and dialling > 0 and all(conn.http2 for conn in conns)
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
                await asyncio.wait_for(changed.wait(), left)
            except asyncio.TimeoutError:
                raise PoolTimeout(f"no connection came free within {timeout.pool}s") from None

    async def open(self, key: Key, request: Request, timeout: Timeout) -> Connection:
        self.count += 1
        self.dialling[key] = self.dialling.get(key, 0) + 1
        try:
            conn = await self.dial(key, request, timeout, self.released)
        except BaseException:
            self.count -= 1
            raise
        finally:
            self.dialling[key] -= 1
            if not self.dialling[key]:
                del self.dialling[key]
            self.notify()
        # A new connection to an origin starts from the stream limit the
        # origin's server named on another, not from the assumed one.
        known = [c.stream_hint for c in self.conns.get(key, ()) if c.stream_hint is not None]
        if known:
            conn.learn_stream_limit(min(known))
        self.conns.setdefault(key, []).append(conn)
        return conn

    def prune(self) -> None:
        """Forgets dead connections and closes idle ones past their expiry."""
        expiry = self.limits.keepalive_expiry
        now = time.monotonic()
        for key, conns in list(self.conns.items()):
            for conn in list(conns):
                stale = expiry is not None and conn.idle and now - conn.idle_since > expiry
                if not conn.usable or stale:
                    self.drop(key, conn)
            if not conns:
                del self.conns[key]

    def drop(self, key: Key, conn: Connection) -> None:
        conns = self.conns.get(key)
        if conns is not None and conn in conns:
            conns.remove(conn)
            self.count -= 1
            task = asyncio.ensure_future(conn.aclose())
            self.closing.add(task)
            task.add_done_callback(self.closing.discard)

    def forget(self, key: Key, conn: Connection) -> None:
        """A connection that failed under a request: no request gets it
        again."""
        self.drop(key, conn)
        self.notify()

    def evict_idle(self) -> bool:
        """Closes the longest idle connection to make room; False if none
        is idle."""
        idle = [(conn.idle_since, key, conn) for key, conns in self.conns.items() for conn in conns if conn.idle]
        if not idle:
            return False
        _since, key, conn = min(idle, key=lambda t: t[0])
        self.drop(key, conn)
        return True

    def released(self) -> None:
        """An exchange ended: keeps at most max_keepalive_connections idle."""
        keep = self.limits.max_keepalive_connections
        if keep is not None:
            idle = [(conn.idle_since, key, conn) for key, conns in self.conns.items() for conn in conns
                    if conn.idle and conn.usable]
            idle.sort(key=lambda t: t[0])
            for _since, key, conn in idle[:max(0, len(idle) - keep)]:
                self.drop(key, conn)
        self.notify()

    async def aclose(self) -> None:
        self.closed = True
        conns = [conn for conns in self.conns.values() for conn in conns]
        self.conns.clear()
        self.count = 0
        await asyncio.gather(*(conn.aclose() for conn in conns), *self.closing, return_exceptions=True)
