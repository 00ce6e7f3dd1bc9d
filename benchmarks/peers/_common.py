"""What the peer servers share: the route they all answer, the cached Date
value and the command line. Each peer differs only in its protocol library."""

import argparse
import asyncio
import email.utils
import time

MAX_BYTES = 1 << 20  # the body is built in memory; a benchmark never needs more

REASONS = {200: b"OK", 400: b"Bad Request", 404: b"Not Found"}

_date = [0, b""]


def http_date() -> bytes:
    # Formatting a date per request would cost more than the parse; once a second.
    now = int(time.time())
    if now != _date[0]:
        _date[0], _date[1] = now, email.utils.formatdate(now, usegmt=True).encode()
    return _date[1]


def route(target: bytes):
    """(status, content type, body) for a request target."""
    path = target.split(b"?", 1)[0]
    if path.startswith(b"/bytes/"):
        try:
            n = int(path[7:])
        except ValueError:
            n = -1
        if 0 <= n <= MAX_BYTES:
            return 200, b"application/octet-stream", b"x" * n
        return 400, b"text/plain", b"bad length\n"
    return 404, b"text/plain", b"not found\n"


def run(protocol_factory) -> None:
    """Serves protocol_factory on --host/--port until interrupted, on the
    event loop named by --loop."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    args = ap.parse_args()
    if args.loop == "uvloop":
        import uvloop

        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())

    async def main():
        server = await asyncio.get_running_loop().create_server(protocol_factory, args.host, args.port)
        async with server:
            await server.serve_forever()

    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
