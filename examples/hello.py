"""A handler to copy from: serve it with `quillon hello:handle` from this
folder, or run this file (`python hello.py`), which calls `quillon.run`.

The handler API is one coroutine: it gets a `quillon.Request` and returns a
`quillon.Response`. Bodies are read on demand, so a handler that answers
without reading never pulls an upload through."""

from __future__ import annotations

import quillon
from quillon import Request, Response


async def handle(request: Request) -> Response:
    if request.method == "POST":
        data = await request.body(limit=1 << 20)
        return Response(200, {"content-type": "text/plain"}, b"%d bytes\n" % len(data))
    return Response(200, {"content-type": "text/plain"}, b"hello\n")


if __name__ == "__main__":
    # Any setting of the command line, by its Config name.
    quillon.run(handle, port=8080, timeout_keep_alive=5)
