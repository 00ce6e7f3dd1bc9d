"""The command line: `quillon` or `python -m quillon`.

    quillon [--host 127.0.0.1] [--port 8080] [--tls CERT KEY]
        [--handler MODULE:NAME | --asgi MODULE:APP] [--workers N] [--loop asyncio|uvloop]
        [--head-timeout 10] [--idle-timeout 5] [--write-timeout 30] [--shutdown-timeout 10]

With no application it serves the demo routes (`quillon.demo`)."""

from __future__ import annotations

import argparse
import sys

from . import server, workers
from .link import Timeouts


def timeout(text: str) -> float | None:
    """A timeout option: seconds, or 0 for none."""
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("a timeout is 0 (none) or more seconds")
    return value or None


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    app = ap.add_mutually_exclusive_group()
    app.add_argument("--handler", metavar="MODULE:NAME",
                     help="serve this async handler instead of the example routes")
    app.add_argument("--asgi", metavar="MODULE:APP", help="serve this ASGI 3 application (with its lifespan)")
    workers.add_arguments(ap)
    d = Timeouts()
    ap.add_argument("--head-timeout", type=timeout, default=d.head, metavar="S",
                    help=f"seconds to receive a whole request head (default {d.head})")
    ap.add_argument("--idle-timeout", type=timeout, default=d.idle, metavar="S",
                    help=f"seconds a connection may wait idle or for more of a body (default {d.idle})")
    ap.add_argument("--write-timeout", type=timeout, default=d.write, metavar="S",
                    help=f"seconds a write may make no progress (default {d.write})")
    ap.add_argument("--shutdown-timeout", type=float, default=d.shutdown, metavar="S",
                    help=f"seconds requests in flight get on shutdown (default {d.shutdown})")
    return ap.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    return workers.serve_on(lambda sock: server.serve(sock, args), args.host, args.port, workers=args.workers,
                            loop=args.loop)


if __name__ == "__main__":
    sys.exit(main())
