"""Several server processes on one port, and the choice of event loop.

    serve_on(serve, host, port, workers=N, loop="uvloop")

runs `await serve(sock)` in N worker processes, each on a listening socket
of its own bound to the same address with SO_REUSEPORT, so the kernel
spreads new connections over them (one shared accept queue would wake every
worker for each connection). `serve` owns its socket and its shutdown: it
stops on SIGINT/SIGTERM, which the parent forwards to every worker, and the
parent returns once all of them have finished. With one worker it runs in
this process, with no fork."""

from __future__ import annotations

import asyncio
import importlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import socket
import sys
from typing import Any, Callable, Coroutine

Serve = Callable[[socket.socket], Coroutine[Any, Any, int | None]]

LOOPS = ("asyncio", "uvloop")
BACKLOG = 1024
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
KILL_AFTER = 30.0  # a worker still running this long after the stop signal is killed


def add_arguments(parser: Any) -> None:
    """Adds `--workers N` and `--loop {asyncio,uvloop}` to an argparse parser."""
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="server processes sharing the port (SO_REUSEPORT)")
    parser.add_argument("--loop", choices=LOOPS, default="asyncio", help="event loop implementation")


def use_loop(name: str) -> None:
    """Makes `asyncio.run` use the named event loop; a clear error when
    uvloop is asked for and not installed."""
    if name == "asyncio":
        asyncio.set_event_loop_policy(None)
        return
    if name != "uvloop":
        raise ValueError(f"unknown event loop {name!r} (choose from {', '.join(LOOPS)})")
    try:
        # By name, so that type-checking the examples does not need it installed.
        uvloop = importlib.import_module("uvloop")
    except ImportError:
        raise SystemExit("--loop uvloop: uvloop is not installed (python -m pip install uvloop)") from None
    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())


def listen(host: str, port: int, reuse_port: bool) -> socket.socket:
    """A listening TCP socket on host:port."""
    info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    sock = socket.socket(info[0], socket.SOCK_STREAM, info[2])
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(info[4])
        sock.listen(BACKLOG)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def _worker(serve: Serve, host: str, port: int, loop: str) -> None:
    # The parent's handlers forward signals; a worker starts from the
    # defaults, which `serve` replaces with its graceful stop.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    use_loop(loop)
    # Each worker binds its own socket: the kernel balances between the
    # listening sockets of one SO_REUSEPORT group.
    sock = listen(host, port, reuse_port=True)
    sys.exit(asyncio.run(serve(sock)) or 0)


def serve_on(serve: Serve, host: str, port: int, *, workers: int = 1, loop: str = "asyncio",
             kill_after: float = KILL_AFTER) -> int:
    """Runs `serve` in `workers` processes on host:port and returns an exit
    status: 0 when every worker ended with 0, else the first other one. A
    worker that ends on its own (a crash) stops the others too. Port 0 picks
    one free port for all workers."""
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
        port = holder.getsockname()[1]
        return _supervise(serve, host, port, workers, loop, kill_after)
    finally:
        holder.close()


def _supervise(serve: Serve, host: str, port: int, workers: int, loop: str, kill_after: float) -> int:
    ctx = multiprocessing.get_context("fork")
    procs = [ctx.Process(target=_worker, args=(serve, host, port, loop)) for _ in range(workers)]
    stopping = False

    def stop(*_: Any) -> None:
        nonlocal stopping
        stopping = True
        for p in procs:
            if p.pid is not None and p.exitcode is None:
                os.kill(p.pid, signal.SIGTERM)

    old = {sig: signal.signal(sig, stop) for sig in STOP_SIGNALS}
    try:
        # A stop signal that arrives while the workers start waits until
        # they all exist, so that each of them is told.
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            for p in procs:
                p.start()
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
        pending = {p.sentinel: p for p in procs}
        while pending:
            ready = multiprocessing.connection.wait(list(pending), kill_after if stopping else None)
            if not ready:
                for p in pending.values():
                    p.kill()
                continue
            for sentinel in ready:
                assert isinstance(sentinel, int)
                pending.pop(sentinel).join()
            if not stopping:
                stop()  # a worker ended by itself: take the rest down too
    finally:
        for sig, handler in old.items():
            signal.signal(sig, handler)
    # A worker killed by a signal has a negative exit code.
    codes = [p.exitcode or 0 for p in procs]
    return next((c if c > 0 else 1 for c in codes if c != 0), 0)
