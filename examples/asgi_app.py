"""An ASGI 3 application to copy from: `quillon asgi_app:app` from this folder.

Any ASGI framework's application (Starlette, FastAPI, Django's ASGI
handler) is served the same way."""

from __future__ import annotations

from typing import Any, Awaitable, Callable

Message = dict[str, Any]


async def app(scope: dict[str, Any], receive: Callable[[], Awaitable[Message]],
              send: Callable[[Message], Awaitable[None]]) -> None:
    if scope["type"] != "http":
        return  # lifespan: nothing to set up
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if not message.get("more_body", False):
            break
    text = b"hello\n" if not body else b"%d bytes\n" % len(body)
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/plain"), (b"content-length", b"%d" % len(text))]})
    await send({"type": "http.response.body", "body": text})
