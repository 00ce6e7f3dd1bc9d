"""The ASGI application every server in the WebSocket benchmark runs: it
accepts any WebSocket and echoes each message. Bare ASGI, no framework.

    uvicorn --app-dir benchmarks/peers asgi_ws_app:app --ws websockets"""


async def app(scope, receive, send):
    if scope["type"] != "websocket":
        return
    await receive()
    await send({"type": "websocket.accept"})
    while True:
        message = await receive()
        if message["type"] != "websocket.receive":
            return
        await send({"type": "websocket.send", "bytes": message.get("bytes"), "text": message.get("text")})
