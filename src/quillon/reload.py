"""`--reload`: the server runs in a child process that is replaced each
time a watched Python file changes (watchfiles, the `reload` extra). The
parent holds the listening socket, so the port stays taken across
restarts and connections wait in its queue meanwhile; it never imports the
application, so each child imports it afresh. A child that fails (an
edit that does not import, say) is started again at the next change."""

from __future__ import annotations

import asyncio
import importlib
import logging
import multiprocessing
import os
import signal
import threading
from typing import Any

from .config import Config, ConfigError, fail

logger = logging.getLogger("quillon.error")


def run(app: Any, config: Config) -> int:
    from .server import EXIT_BIND, release

    if app is not None and not isinstance(app, str):
        raise ConfigError("--reload needs the application as a reference, MODULE:NAME")
    try:
        watchfiles: Any = importlib.import_module("watchfiles")
    except ImportError:
        raise ConfigError("--reload needs watchfiles: python -m pip install 'quillon[reload]'") from None
    dirs = [os.path.abspath(d) for d in config.reload_dirs or ["."]]
    for d in dirs:
        if not os.path.isdir(d):
            raise ConfigError(f"--reload-dir: {d} is not a folder")
    try:
        sock = config.bind()
    except OSError as e:
        fail(e.strerror or e)
        return EXIT_BIND
    stop = threading.Event()
    old = {sig: signal.signal(sig, lambda *_: stop.set()) for sig in (signal.SIGINT, signal.SIGTERM)}
    ctx = multiprocessing.get_context("fork")
    child = None
    try:
        logger.info("watching %s for changes", ", ".join(dirs))
        while not stop.is_set():
            child = ctx.Process(target=serve_child, args=(app, config, sock))
            child.start()
            changes = None
            for changes in watchfiles.watch(*dirs, watch_filter=watchfiles.PythonFilter(), stop_event=stop,
                                            rust_timeout=500, yield_on_timeout=True, raise_interrupt=False):
                if changes:
                    break
            if changes:
                names = sorted({os.path.relpath(path) for _, path in changes})
                logger.info("%s changed: restarting", ", ".join(names))
            finish(child, config.timeout_graceful_shutdown)
            child = None
    finally:
        for sig, handler in old.items():
            signal.signal(sig, handler)
        if child is not None:
            finish(child, config.timeout_graceful_shutdown)
        release(sock, config)
    return 0


def serve_child(app: str | None, config: Config, sock: Any) -> None:
    from .app import AppError, resolve
    from .server import EXIT_STARTUP, EXIT_USAGE, StartupError, serve_socket
    from .workers import use_loop

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        use_loop(config.loop)
        application = resolve(app, config)
        asyncio.run(serve_socket(sock, application, config, config.ssl_context()))
    except (AppError, ConfigError) as e:
        fail(e)
        os._exit(EXIT_USAGE)
    except StartupError as e:
        fail(e)
        os._exit(EXIT_STARTUP)
    except KeyboardInterrupt:
        pass


def finish(child: Any, timeout: float) -> None:
    if child.exitcode is None and child.pid is not None:
        os.kill(child.pid, signal.SIGTERM)
    child.join(timeout + 5.0)
    if child.exitcode is None:
        child.kill()
        child.join()
