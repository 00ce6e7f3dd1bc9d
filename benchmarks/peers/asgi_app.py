"""The ASGI application every ASGI server in the benchmark runs: any GET
answers 13 bytes of text, with the lifespan scope acknowledged. It is bare
ASGI, no framework, so the figures measure the servers.

    uvicorn --app-dir benchmarks/peers asgi_app:app
    hypercorn asgi_app:app        (with benchmarks/peers on PYTHONPATH)
    granian --interface asgi asgi_app:app      (likewise)"""

BODY = b"Hello, world!"
HEADERS = [(b"content-type", b"text/plain"), (b"content-length", b"%d" % len(BODY))]


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            else:
                await send({"type": "lifespan.shutdown.complete"})
                return
    await send({"type": "http.response.start", "status": 200, "headers": HEADERS})
    await send({"type": "http.response.body", "body": BODY})
