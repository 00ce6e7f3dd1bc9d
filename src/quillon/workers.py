"""Worker processes that stay up, and the choice of event loop.

`Supervisor(target, n).run()` forks n workers, each running
`target(ready)`, and keeps n of them running until it is told to stop:

- a worker that ends while the server runs (a crash, or a graceful exit
  after its request limit) is replaced; one of the first workers that ends
  before it said `ready()` failed to start, and takes the others down with
  it, since its replacement would fail the same way (a later replacement
  that fails is tried again after a pause);
- SIGHUP replaces every worker gracefully: a new one starts for each, and
  each old one is told to stop once a new one is ready;
- SIGINT and SIGTERM stop them all (each gets SIGTERM and finishes its
  requests in flight); a worker still there `stop_timeout` later is killed.

Workers on one TCP port each bind a listening socket of their own with
SO_REUSEPORT, so the kernel spreads new connections over them (one shared
accept queue would wake every worker for each connection); a UNIX socket
or an inherited one is shared. The price: connections still queued on a
worker's own socket when it stops are reset, so a graceful replacement is
graceful for the connections it accepted."""

from __future__ import annotations

import asyncio
import importlib
import logging
import multiprocessing
import multiprocessing.connection
import os
import signal
import socket
import sys
import time
from typing import Any, Callable, Coroutine

from .config import ConfigError, fail

Serve = Callable[[socket.socket], Coroutine[Any, Any, int | None]]
Target = Callable[[Callable[[], None]], int]

LOOPS = ("auto", "asyncio", "uvloop")
BACKLOG = 2048
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Beyond the workers' own shutdown timeout: the time a worker may take to
# close down once its requests are done or cut.
KILL_MARGIN = 5.0
# A replacement that fails to start is tried again after this long, rather
# than in a loop as fast as it can fail.
RESPAWN_DELAY = 1.0

logger = logging.getLogger("quillon.error")


def use_loop(name: str) -> None:
    """Makes `asyncio.run` use the named event loop ("auto": uvloop when it
    is installed); ConfigError when uvloop is asked for and not installed."""
    if name not in LOOPS:
        raise ConfigError(f"--loop: unknown event loop {name!r} (choose from {', '.join(LOOPS)})")
    if name == "asyncio":
        asyncio.set_event_loop_policy(None)
        return
    try:
        # By name, so that type-checking does not need it installed.
        uvloop = importlib.import_module("uvloop")
    except ImportError:
        if name == "auto":
            asyncio.set_event_loop_policy(None)
            return
        raise ConfigError("--loop uvloop: uvloop is not installed (python -m pip install uvloop)") from None
    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())


class WorkerFailed(Exception):
    """Raised by a worker's target that cannot start: the supervisor says
    why once, however many workers fail the same way."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class Worker:
    __slots__ = ("process", "ready_fd", "ready", "retiring", "told", "failure")

    def __init__(self, process: Any, ready_fd: int) -> None:
        self.process = process
        self.ready_fd: int | None = ready_fd  # read end: one byte once serving, EOF once gone
        self.ready = False
        self.retiring = False  # replaced by SIGHUP: stopped once its successor is ready
        self.told = False  # sent SIGTERM
        self.failure = ""  # why it could not start, as it said before exiting


class Supervisor:
    def __init__(self, target: Target, count: int, stop_timeout: float | None = None) -> None:
        if count < 1:
            raise ValueError("workers must be at least 1")
        self.target = target
        self.count = count
        self.kill_after = (stop_timeout or 0.0) + KILL_MARGIN
        self.workers: list[Worker] = []
        self.signals: list[int] = []
        self.stopping: float | None = None  # when the stop began
        self.serving = False  # some worker has started: a later failure to start is not fatal
        self.respawns: list[float] = []  # when to try again for workers that failed to start
        self.status = 0
        self.ctx = multiprocessing.get_context("fork")

    def run(self) -> int:
        """Runs workers until told to stop; 0 when every worker ended with
        0, else the first other status (1 for one killed by a signal)."""
        wake_r, wake_w = os.pipe()
        os.set_blocking(wake_r, False)
        os.set_blocking(wake_w, False)
        old_wakeup = signal.set_wakeup_fd(wake_w)
        old = {sig: signal.signal(sig, self.on_signal) for sig in SIGNALS}
        self.wake_fds = (wake_r, wake_w)
        try:
            for _ in range(self.count):
                self.spawn()
            while self.workers:
                self.step(wake_r)
        finally:
            signal.set_wakeup_fd(old_wakeup)
            for sig, handler in old.items():
                signal.signal(sig, handler)
            os.close(wake_r)
            os.close(wake_w)
            for w in self.workers:
                w.process.kill()
        return self.status

    def on_signal(self, sig: int, _frame: Any) -> None:
        self.signals.append(sig)

    def spawn(self) -> None:
        ready_r, ready_w = os.pipe()
        # A stop signal that arrives while the worker forks waits until it
        # exists, so that it is told.
        signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)
        try:
            process = self.ctx.Process(target=self.child, args=(ready_r, ready_w), daemon=False)
            process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)
        os.close(ready_w)
        self.workers.append(Worker(process, ready_r))

    def child(self, ready_r: int, ready_w: int) -> None:
        # The parent's handlers and wake-up pipe are not the worker's: it
        # starts from the defaults, which its server replaces with its
        # graceful stop. SIGHUP is for the parent alone.
        signal.set_wakeup_fd(-1)
        for fd in (ready_r, *self.wake_fds):
            os.close(fd)
        for w in self.workers:
            if w.ready_fd is not None:
                os.close(w.ready_fd)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, SIGNALS)  # blocked by the parent around the fork

        def ready() -> None:
            os.write(ready_w, b"r")

        try:
            status = self.target(ready)
        except KeyboardInterrupt:
            status = 0
        except WorkerFailed as e:
            os.write(ready_w, b"e" + str(e).encode()[:4000])
            status = e.status
        sys.exit(status)

    def step(self, wake_r: int) -> None:
        timeout = None
        now = time.monotonic()
        if self.stopping is not None:
            timeout = max(0.0, self.stopping + self.kill_after - now)
        elif self.respawns:
            timeout = max(0.0, min(self.respawns) - now)
        waits: list[Any] = [wake_r] + [w.process.sentinel for w in self.workers]
        waits += [w.ready_fd for w in self.workers if w.ready_fd is not None]
        ready = set(multiprocessing.connection.wait(waits, timeout))
        if wake_r in ready:
            try:
                while os.read(wake_r, 512):
                    pass
            except BlockingIOError:
                pass
        while self.signals:
            sig = self.signals.pop(0)
            if sig == signal.SIGHUP:
                self.reload()
            else:
                self.stop()
        for w in list(self.workers):
            if w.ready_fd is not None and w.ready_fd in ready:
                self.on_ready(w)
        for w in list(self.workers):
            if w.process.sentinel in ready:
                self.on_exit(w)
        due = [t for t in self.respawns if t <= time.monotonic()]
        for t in due:
            self.respawns.remove(t)
            if self.stopping is None:
                self.spawn()
        if not ready and self.stopping is not None:
            for w in self.workers:
                logger.warning("worker %d did not stop in time: killed", w.process.pid)
                w.process.kill()

    def on_ready(self, w: Worker) -> None:
        assert w.ready_fd is not None
        said = os.read(w.ready_fd, 4096)
        if said.startswith(b"e"):
            w.failure = said[1:].decode(errors="replace")
        elif said:
            w.ready = self.serving = True
            retiring = next((o for o in self.workers if o.retiring and not o.told), None)
            if retiring is not None:
                self.terminate(retiring)
        else:  # the worker is gone; its sentinel says so
            os.close(w.ready_fd)
            w.ready_fd = None

    def on_exit(self, w: Worker) -> None:
        w.process.join()
        self.workers.remove(w)
        while w.ready_fd is not None:  # what it said just before it ended
            self.on_ready(w)
        code = w.process.exitcode or 0
        if self.stopping is not None or w.retiring:
            # A worker told to stop before it had put in its own handler
            # (still starting: importing, running the lifespan startup) dies
            # of the SIGTERM itself: that is the stop asked for, not a failure.
            if not (w.told and code == -signal.SIGTERM):
                self.note(code)
            return
        if not w.ready:
            why = w.failure or f"exit status {code}"
            if self.serving:
                # A replacement that cannot start: an old worker kept for it
                # serves on, else another try later.
                logger.error("worker %d failed to start: %s", w.process.pid, why)
                keep = next((o for o in self.workers if o.retiring and not o.told), None)
                if keep is not None:
                    keep.retiring = False
                else:
                    self.respawns.append(time.monotonic() + RESPAWN_DELAY)
                return
            if not self.status:  # the first failure says it for all
                fail(w.failure or f"worker {w.process.pid} failed to start ({why})")
            self.note(code or 1)
            self.stop()
            return
        how = "exited" if code >= 0 else f"was killed by signal {-code}"
        (logger.info if code == 0 else logger.warning)("worker %d %s: starting another", w.process.pid, how)
        self.spawn()

    def note(self, code: int) -> None:
        if code and not self.status:
            self.status = code if code > 0 else 1

    def reload(self) -> None:
        if self.stopping is not None:
            return
        logger.info("SIGHUP: replacing the workers")
        current = [w for w in self.workers if not w.retiring]
        for w in current:
            w.retiring = True
        for _ in current:
            self.spawn()

    def stop(self) -> None:
        if self.stopping is not None:
            return
        self.stopping = time.monotonic()
        for w in self.workers:
            self.terminate(w)

    def terminate(self, w: Worker) -> None:
        w.told = True
        if w.process.pid is not None and w.process.exitcode is None:
            try:
                os.kill(w.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass


# ---------------------------------------------------------------------------
# Any asyncio server on one TCP port


def listen(host: str, port: int, reuse_port: bool, backlog: int = BACKLOG) -> socket.socket:
    """A listening TCP socket on host:port."""
    info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    sock = socket.socket(info[0], socket.SOCK_STREAM, info[2])
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(info[4])
        sock.listen(backlog)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def serve_on(serve: Serve, host: str, port: int, *, workers: int = 1, loop: str = "asyncio",
             kill_after: float = 30.0) -> int:
    """Runs `await serve(sock)` in `workers` processes on host:port, each
    on a listening socket of its own, and returns an exit status as
    `Supervisor.run` does. `serve` owns its socket and stops on SIGTERM.
    Port 0 picks one free port for all workers. With one worker it runs in
    this process, with no fork."""
    if workers < 1:
        raise ValueError("workers must be at least 1")
    if workers == 1:
        use_loop(loop)
        return asyncio.run(serve(listen(host, port, reuse_port=False))) or 0
    # The parent holds the port while the workers start (bound, not
    # listening, so it is never handed a connection): port 0 then resolves
    # once, and no other program can take the port between two workers.
    info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    holder = socket.socket(info[0], socket.SOCK_STREAM)
    try:
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        holder.bind(info[4])
        bound = holder.getsockname()[1]

        def target(ready: Callable[[], None]) -> int:
            use_loop(loop)
            sock = listen(host, bound, reuse_port=True)
            ready()
            return asyncio.run(serve(sock)) or 0

        return Supervisor(target, workers, max(0.0, kill_after - KILL_MARGIN)).run()
    finally:
        holder.close()
