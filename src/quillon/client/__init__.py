"""An asyncio HTTP/1.1 and HTTP/2 client on the `_quillon` core.

    async with Client(http2=True) as client:
        r = await client.get("https://example.org/")

`python -m quillon.client URL...` fetches URLs from the command line."""

from __future__ import annotations

from ._client import Client
from ._errors import (ConnectError, ConnectTimeout, DecodingError, HTTPError, HTTPStatusError, InvalidURL,
                      LocalProtocolError, NetworkError, PoolTimeout, ProtocolError, ProxyError, ReadError, ReadTimeout,
                      RemoteProtocolError, StreamError, TimeoutException, TooLarge, TooManyRedirects, TransportError,
                      WriteError, WriteTimeout)
from ._models import Limits, Request, Response, Timeout
from ._ws import ClientWebSocket, WebSocketClosed, WebSocketRejected

__all__ = [
    "Client", "Limits", "Request", "Response", "Timeout",
    "HTTPError", "InvalidURL", "TransportError", "TimeoutException", "ConnectTimeout", "ReadTimeout",
    "WriteTimeout", "PoolTimeout", "NetworkError", "ConnectError", "ReadError", "WriteError", "ProxyError",
    "ProtocolError", "RemoteProtocolError", "LocalProtocolError", "TooManyRedirects", "HTTPStatusError",
    "StreamError", "TooLarge", "DecodingError", "ClientWebSocket", "WebSocketClosed", "WebSocketRejected",
]
